"""Updating the search index for the files that changed, instead of building
it again.

The index is updated in place, in one transaction written to its
write-ahead log (`index_file`): readers, each on one snapshot, and an
interrupted run still see the previous index whole until it commits.

What a change rewrites (`state` tells the changed files by fingerprint):

- the postings of the terms of the changed files' documents, their own
  entries removed and the new ones put in place;
- the terms' document frequencies, the candidates of compounds and the
  splits of those compounds whose frequencies or words changed, and the
  documents holding a compound whose split changed (those files are
  re-derived as if they had changed);
- the changed files' rows: symbols, summary record, state.

Numbers stay: a changed file keeps its number and, if its symbols still fit,
their block; a removed file's number goes to an added file or to the last
file; a file whose symbols outgrow their block gets a new one at the end
(the old block is left free; an index with too many free slots is built
again).  What the whole graph decides (flags, priors, the norms from the
average length) is worked out again for every file, which is cheap beside
the postings; the graph's copies are updated where the files whose share of
the graph changed reach (`graph_copy`).

Anything unexpected in the previous index (it is read as untrusted input)
means a full build: `update_index` returns None, and so it does when too
many files changed for an update to pay.
"""

from __future__ import annotations

from array import array
from bisect import bisect_left

from .._scoring import decode_postings, encode_postings
from ..errors import IndexProblem
from . import first_symbols, graph_copy
from . import facts
from .build import declares_only, file_documents, file_facts, graph_files, symbol_info
from .compact import SECTION
from .corpus import FLAG_DECLARATIONS
from .corpus import average_length, norms, take_length
from .index_file import InPlace
from .reader import IndexCorpus
from .state import candidates_of, fingerprint, pack_keyed_state, pack_state, term_counts, unpack_state
from .chunks import ids_of_chunk
from .store import (
    CHUNK,
    FILE_IDS,
    FORMAT,
    code_digest,
    write_facts,
    write_meta,
    array_rows,
    chunk_name,
    from_sql_text,
    symbol_row,
    to_sql_text,
)
from .tokens import _PART_MIN, add_compound_parts, compound_parts, stem
from .weights import DEFAULT_WEIGHTS, RankingWeights

# An update pays while at most this share of the files changed.
CHANGED_SHARE = 0.2
# Free symbol slots beyond this share of the live symbols call for a rebuild.
FREE_SHARE = 0.5
# Values bound in one query.
_BATCH = 500


def update_takes(files: int) -> float:
    """How many files may be added, removed or read anew for an update of an index of
    this many files; past it the index is built anew."""
    return max(8, CHANGED_SHARE * files)


class _Rebuild(Exception):
    """The previous index cannot be updated: build it again."""


def _in_batches(db, query: str, values) -> list:
    values = list(values)
    rows = []
    for start in range(0, len(values), _BATCH):
        batch = values[start : start + _BATCH]
        rows.extend(db.execute(query.format(",".join("?" * len(batch))), batch).fetchall())
    return rows


def _all_of_type(values, kind: type) -> bool:
    return not values or set(map(type, values)) == {kind}


def _counts_in(values, end: int | None = None) -> bool:
    """Whether ``values`` are whole numbers from 0 (below ``end``, if given)."""
    return not values or (_all_of_type(values, int) and min(values) >= 0 and (end is None or max(values) < end))


def _whole_array(db, name: str, code: str, count: int) -> array:
    values = array(code)
    for chunk in range(-(-count // CHUNK)):
        row = db.execute("SELECT data FROM arrays WHERE name = ?", (chunk_name(name, chunk),)).fetchone()
        if row is None or not isinstance(row[0], bytes):
            raise _Rebuild
        values.frombytes(row[0])
    if len(values) != count:
        raise _Rebuild
    return values


class _Blocks:
    """Each file's block of symbols, (first symbol, count), by its old
    number, read from `docstate` for the files an update looks at."""

    def __init__(self, db, files: int, slots: int):
        self._db = db
        self._files = files
        self._slots = slots
        self._read = {}

    def __getitem__(self, number: int) -> tuple:
        found = self._read.get(number)
        if found is None:
            row = self._db.execute("SELECT first_symbol, symbols FROM docstate WHERE number = ?", (number,)).fetchone()
            if row is None or not (0 <= number < self._files and _counts_in(row) and sum(row) <= self._slots):
                raise _Rebuild  # a file without its state, or a block past the slots
            found = self._read[number] = row
        return found

    def every(self, files: int) -> list:
        """(number, first symbol, count) of each of the table's rows, of
        `files` files, in one pass."""
        rows = self._db.execute("SELECT number, first_symbol, symbols FROM docstate ORDER BY number").fetchall()
        if [row[0] for row in rows] != list(range(files)) or not all(_counts_in(row) for row in rows):
            raise _Rebuild  # a file without its state, or one of no file
        return rows


def _file_ids(db, count: int) -> list:
    """The ids of the ``count`` files, by number."""
    ids = []
    for chunk in range(-(-count // CHUNK)):
        row = db.execute("SELECT data FROM arrays WHERE name = ?", (chunk_name(FILE_IDS, chunk),)).fetchone()
        if row is None or not isinstance(row[0], bytes):
            raise _Rebuild
        try:
            ids += ids_of_chunk(row[0], min(CHUNK, count - chunk * CHUNK))
        except ValueError:
            raise _Rebuild from None
    return ids


def _affected(candidates, changed: set) -> set:
    """The ``candidates`` whose split may change when the document
    frequencies of the terms ``changed`` do: a candidate, one of its
    heads or tails, or the stem of a head among them (a stem less its last
    letter is a prefix of the word)."""
    prefixes = {term[:-1] for term in changed if len(term) >= _PART_MIN}
    out = set()
    for term in candidates:
        size = len(term)
        if term in changed:
            out.add(term)
            continue
        cuts = range(_PART_MIN, size - _PART_MIN + 1)
        if any(term[cut:] in changed or term[:cut] in changed for cut in cuts):
            out.add(term)
        elif any(term[:k] in prefixes for k in range(_PART_MIN - 1, size)) and any(
            stem(term[:cut]) in changed for cut in cuts
        ):
            out.add(term)
    return out


def _depends_on(term: str) -> set:
    cuts = range(_PART_MIN, len(term) - _PART_MIN + 1)
    out = {term}
    for cut in cuts:
        head = term[:cut]
        out.update((term[cut:], head, stem(head)))
    return out


class _Update:
    def __init__(
        self, db, change, prepared, doc_key, records: dict, weights: RankingWeights, unchanged=(), known=False, old_docs=None
    ) -> None:
        self.db = db
        self.unchanged = unchanged
        self.change = change
        # Whether the files whose share of the graph may differ are known
        # (those the change hands over); else all of them may.
        self.known = known and change.known
        self.prepared = prepared
        self.doc_key = doc_key
        self.old_docs = old_docs
        self.keys = {}  # file id -> the key of the workers' documents its new state keeps
        self.records = records
        self.weights = weights
        self._symbol_arrays_read = None
        # Changed files that grow in place, and the files moved to make room for them.
        self.grown, self.moving = set(), set()

    # -- reading the previous index

    def load(self) -> None:
        db = self.db
        meta = dict(db.execute("SELECT key, value FROM meta").fetchall())
        self.meta = meta
        self.file_count = meta["files"]
        self.symbol_live = meta["symbols"]
        self.symbol_slots = meta["symbol_slots"]
        # The files by number, from the chunks of their ids that queries read
        # (a text per thousand files, not a row per file).
        ids = self.old_ids = _file_ids(db, self.file_count)  # the files by old number
        self.old_numbers = dict(zip(ids, range(self.file_count)))
        if len(self.old_numbers) != self.file_count:
            raise _Rebuild
        # Each file's symbols' block within the slots, read for the files
        # an update looks at (a fingerprint likewise).
        self.old_blocks = _Blocks(db, self.file_count, self.symbol_slots)

    def _old_fingerprints(self, numbers: list) -> dict:
        """By number, the fingerprints the index keeps of those files."""
        found = dict(_in_batches(self.db, "SELECT number, fingerprint FROM docstate WHERE number IN ({})", numbers))
        if len(found) != len(set(numbers)):
            raise _Rebuild
        return found

    def _unpack(self, number: int, fid: str) -> tuple[dict, list]:
        row = self.db.execute("SELECT state FROM docstate WHERE number = ?", (number,)).fetchone()
        try:
            counts, names, key = unpack_state(row[0] if row else None)
        except ValueError:
            raise _Rebuild from None
        if counts is None:
            # Counted from the documents of its key, as they were when written.
            docs = self.old_docs(fid, key) if self.old_docs is not None else None
            if docs is None or len(docs) != 1 + self.old_blocks[number][1]:
                raise _Rebuild
            counts = term_counts(docs)
        return counts, names

    def _lookup(self, table: str, column: str, terms) -> dict:
        rows = _in_batches(
            self.db, f"SELECT term, {column} FROM {table} WHERE term IN ({{}})", map(to_sql_text, set(terms))
        )
        return {from_sql_text(term): value for term, value in rows}

    def _splits(self, terms) -> dict:
        rows = _in_batches(self.db, "SELECT term, head, tail FROM splits WHERE term IN ({})", map(to_sql_text, set(terms)))
        out = {}
        for term, head, tail in rows:
            head, tail = from_sql_text(head), from_sql_text(tail)
            if not (isinstance(head, str) and isinstance(tail, str)):
                raise _Rebuild
            out[from_sql_text(term)] = (head, tail)
        return out

    # -- the update

    def run(self) -> None:
        self.load()
        self.order = self.change.files
        files = self.files = set(self.order)
        if len(files) != len(self.order):
            raise _Rebuild
        size = self.meta.get("size")
        self.limit = 4 * size + (1 << 20) if type(size) is int and size >= 0 else 1 << 20
        if self.known:
            self.entries = {}
            self.dirty = self.change.dirty()
        else:
            self.entries = graph_files(self.change.graph().get("nodes") or ())
            if self.entries.keys() != files:
                raise _Rebuild
            self.dirty = None
        self.fps = {}
        # Told by whole sets first: most updates neither add nor remove a file.
        gone, new = self.old_numbers.keys() - files, files - self.old_numbers.keys()
        removed = [fid for fid in self.old_numbers if fid in gone] if gone else []
        added = [fid for fid in self.order if fid in new] if new else []
        # A file taken over as the index's own run indexed it keeps its fingerprint.
        # Told by sets first (a one-edit run compares one file of the project), then in order.
        maybe = {fid for fid in files.difference(self.unchanged) if fid in self.old_numbers}
        compared = [fid for fid in self.order if fid in maybe] if maybe else []
        before = self._old_fingerprints([self.old_numbers[fid] for fid in compared])
        changed = [fid for fid in compared if before[self.old_numbers[fid]] != self._fingerprint(fid)]
        if len(removed) + len(added) + len(changed) > update_takes(len(files)):
            raise _Rebuild
        moved = self._renumber(removed, added)
        # Old side: the files whose entries go (by old number); new side: those whose come.
        self.old_side = {self.old_numbers[fid]: fid for fid in (*removed, *changed, *moved)}
        self.new_side = []
        self.old_counts, self.new_counts, self.new_docs = {}, {}, {}
        for number, fid in self.old_side.items():
            self.old_counts[number] = self._unpack(number, fid)
        for fid in (*changed, *added, *moved):
            self._derive(fid)
        for fid in changed:
            self._make_room(fid)
        self._count_changes()
        self.split_changes = self._changed_splits()
        for number in sorted(self._holders(self.split_changes)):
            fid = self.old_ids[number]
            if number not in self.old_side and fid in files:
                # Unchanged, but its compounds split otherwise now.
                self.old_side[number] = fid
                self.old_counts[number] = self._unpack(number, fid)
                self._derive(fid)
        self._rewrite()

    def _symbol_arrays(self) -> tuple[array, array]:
        """The previous symbols' lengths and files (read once)."""
        if self._symbol_arrays_read is None:
            self._symbol_arrays_read = (
                _whole_array(self.db, "symbol_length", "d", self.symbol_slots),
                _whole_array(self.db, "symbol_file", "I", self.symbol_slots),
            )
        return self._symbol_arrays_read

    def _make_room(self, fid: str) -> None:
        """When the changed file ``fid`` outgrows its block of symbols and
        the blocks right after it hold fewer symbols than it now has, those
        go to the end instead and it grows in place: the terms of fewer
        symbols are written again (an appended function moves a
        neighbour's few symbols, not the file's every symbol)."""
        old = self.old_numbers[fid]
        first, size = self.old_blocks[old]
        wanted = len(self.entry(fid)[3])
        if wanted <= size or first + size >= self.symbol_slots:
            return  # it fits, or it is the last block, which grows in place
        lengths, owners = self._symbol_arrays()
        movers, slot, need, cost = [], first + size, wanted - size, 0
        while need > 0 and cost < wanted:
            if slot >= self.symbol_slots:
                return  # the end reached: the file moves there instead
            owner = owners[slot]
            if owner < self.file_count and self.old_blocks[owner][0] == slot and self.old_blocks[owner][1]:
                taken = self.old_blocks[owner][1]
                if owner in self.old_side or self.old_ids[owner] not in self.files:
                    return  # a block that moves or goes anyway: no room is made
                movers.append(owner)
                cost += taken
                slot += taken
                need -= taken
            elif owner == 0 and lengths[slot] == 0.0:
                slot += 1  # a free slot
                need -= 1
            else:
                return  # not the start of a block: the file moves instead
        if need > 0 or cost >= wanted:
            return  # moving the file itself writes no more
        for owner in movers:
            mover = self.old_ids[owner]
            self.old_side[owner] = mover
            self.old_counts[owner] = self._unpack(owner, mover)
            self._derive(mover)
            self.moving.add(mover)
        self.grown.add(fid)

    def _fingerprint(self, fid: str) -> bytes:
        fp = self.fps.get(fid)
        if fp is None:
            number = self.old_numbers.get(fid) if fid in self.unchanged else None
            if number is not None:
                fp = self._old_fingerprints([number])[number]  # made from the same rows by the index's own run
            else:
                fp = fingerprint(self.entry(fid), self.doc_key(fid), self.records.get(fid))
            self.fps[fid] = fp
        return fp

    def entry(self, fid: str) -> list:
        """The `graph_files` entry of the file ``fid``: from its share when
        handed over, else from its part in the index (its share is the
        previous graph's)."""
        entry = self.entries.get(fid)
        if entry is None:
            share = self.dirty.get(fid)
            if share is not None:
                nodes = share.nodes
            else:
                row = self.db.execute("SELECT nodes FROM parts WHERE id = ?", (to_sql_text(fid),)).fetchone()
                if row is None:
                    raise _Rebuild
                nodes = graph_copy.part_nodes(row[0], self.limit)
            entry = self.entries[fid] = graph_files(nodes).get(fid)
            if entry is None:
                raise _Rebuild
        return entry


    def _renumber(self, removed: list, added: list) -> list:
        """Give every file its number: added files take the freed ones, then
        the last files move down into what is left, so numbers stay dense.
        Returns the files that moved."""
        if not removed and not added:
            self.numbers = self.old_numbers  # the same files: every number stays
            return []
        numbers = dict(self.old_numbers)
        for fid in removed:
            del numbers[fid]
        free = sorted(self.old_numbers[fid] for fid in removed)
        for fid in added:
            numbers[fid] = free.pop(0) if free else len(numbers)
        count = len(self.files)
        free = [n for n in free if n < count]
        moved = []
        for number in sorted((n for n in numbers.values() if n >= count), reverse=True):
            fid = self.old_ids[number]
            moved.append(fid)
            numbers[fid] = free.pop(0)
        self.numbers = numbers
        return moved

    def _derive(self, fid: str) -> None:
        """Take the file ``fid`` onto the new side: its documents before
        compound splitting, their term counts and its candidates."""
        entry = self.entry(fid)
        prepared = self.prepared(fid) if self.prepared else None
        docs = file_documents(entry, prepared, self.weights)
        if prepared is not None and docs is prepared:
            self.keys[fid] = self.doc_key(fid)
        self.new_side.append(fid)
        self.new_docs[fid] = docs
        self.new_counts[fid] = (term_counts(docs), candidates_of(entry))

    def _count_changes(self) -> None:
        """The changes of the terms' document frequencies (``delta``) and of
        the candidates' file counts (``candidate_rows``, the new counts)."""
        delta: dict = {}
        names_delta: dict = {}
        for sign, states in ((-1, self.old_counts.values()), (1, self.new_counts.values())):
            for counts, names in states:
                for term, n in counts.items():
                    delta[term] = delta.get(term, 0) + sign * n
                for name in names:
                    names_delta[name] = names_delta.get(name, 0) + sign
        self.delta = {term: n for term, n in delta.items() if n}
        names_delta = {name: n for name, n in names_delta.items() if n}
        self.old_refs = self._lookup("candidates", "files", names_delta)
        self.candidate_rows = {}
        for name, n in names_delta.items():
            refs = self.old_refs.get(name, 0)
            if type(refs) is not int or refs + n < 0:
                raise _Rebuild
            self.candidate_rows[name] = refs + n

    def _changed_splits(self) -> dict:
        """{compound: its new split, or None} of the candidates whose split
        changes: those whose words' frequencies changed, and those that
        came or went."""
        lost = {name for name, refs in self.candidate_rows.items() if refs == 0}
        gained = {name for name, refs in self.candidate_rows.items() if refs and not self.old_refs.get(name)}
        candidates = {from_sql_text(t) for (t,) in self.db.execute("SELECT term FROM candidates")}
        candidates = (candidates | gained) - lost
        affected = _affected(candidates, set(self.delta)) | gained
        needed = set(self.delta)
        for term in affected:
            needed |= _depends_on(term)
        df = self._lookup("terms", "df", needed)
        for term, n in self.delta.items():
            df[term] = df.get(term, 0) + n
        if not all(type(n) is int and n >= 0 for n in df.values()):
            raise _Rebuild
        frequency = {term: n for term, n in df.items() if n > 0}
        old = self._splits(affected | lost)
        new = {term: compound_parts(term, frequency) for term in affected}
        return {term: new.get(term) for term in affected | lost if old.get(term) != new.get(term)}

    def _holders(self, compounds) -> set:
        """The old numbers of the files whose documents hold any of ``compounds``."""
        if not compounds:
            return set()
        symbol_file = _whole_array(self.db, "symbol_file", "I", self.symbol_slots)
        rows = _in_batches(self.db, "SELECT postings FROM terms WHERE term IN ({})", map(to_sql_text, compounds))
        holders = set()
        for (blob,) in rows:
            files, _, symbols, _ = _decoded(blob)
            holders.update(files)
            holders.update(symbol_file[n] for n in symbols if n < len(symbol_file))
        if holders and max(holders) >= self.file_count:
            raise _Rebuild
        return holders

    def _postings(self, terms: list, gone: dict, new_files: dict, new_symbols: dict) -> None:
        """Rewrite the postings of ``terms``: the old side's entries out
        (``gone``), the new side's in."""
        db = self.db
        rows = _in_batches(db, "SELECT term, df, postings FROM terms WHERE term IN ({})", map(to_sql_text, terms))
        found = {from_sql_text(row[0]): row[1:] for row in rows}
        writes = []
        deletes = []
        for term in terms:
            row = found.get(term)
            if row is None:
                file_numbers, file_weights, symbol_numbers, symbol_weights = array("I"), array("f"), array("I"), array("f")
                df = 0
            else:
                df, blob = row
                file_numbers, file_weights, symbol_numbers, symbol_weights = _decoded(blob)
                if type(df) is not int:
                    raise _Rebuild
            places = sorted(gone.get(term, ()))
            spans = [(n, n + 1) for n, _, _ in places]
            blocks = sorted((first, first + count) for _, first, count in places)
            coming = new_files.get(term, []), new_symbols.get(term, [])
            if (
                row is not None
                and not self.delta.get(term)
                and _same(_within(file_numbers, file_weights, spans), coming[0])
                and _same(_within(symbol_numbers, symbol_weights, blocks), coming[1])
            ):
                # The entries that go are the very ones that come (most
                # terms of an edited file): the stored postings stand.
                continue
            file_numbers, file_weights = _without(file_numbers, file_weights, spans)
            symbol_numbers, symbol_weights = _without(symbol_numbers, symbol_weights, blocks)
            file_numbers, file_weights = _merged(file_numbers, file_weights, coming[0])
            symbol_numbers, symbol_weights = _merged(symbol_numbers, symbol_weights, coming[1])
            df += self.delta.get(term, 0)
            if not file_numbers and not symbol_numbers:
                deletes.append((to_sql_text(term),))
            else:
                blob = encode_postings(file_numbers, file_weights, symbol_numbers, symbol_weights)
                writes.append((to_sql_text(term), df, blob))
        db.executemany("DELETE FROM terms WHERE term = ?", deletes)
        db.executemany("INSERT OR REPLACE INTO terms VALUES (?, ?, ?)", writes)

    def _rewrite(self) -> None:
        splits, old_terms = self._split_views()
        self._place_symbols()
        new_files, new_symbols, symbol_rows = self._new_entries(splits)
        # Postings of every term either side touches, a batch of terms at a time.
        gone: dict = {}  # term -> the old side's (file number, first symbol, symbol count)
        for number, terms in old_terms.items():
            place = (number, *self.old_blocks[number])
            for term in terms:
                gone.setdefault(term, []).append(place)
        touched = sorted(gone.keys() | new_files.keys() | new_symbols.keys())
        for start in range(0, len(touched), _BATCH):
            self._postings(touched[start : start + _BATCH], gone, new_files, new_symbols)
        self._write_splits()
        self._write_file_rows(symbol_rows)
        self._write_whole()

    def _split_views(self) -> tuple[dict, dict]:
        """The splits the new side's documents are split by, and per old
        number the terms its documents held once split by the old ones."""
        needed = set()
        for counts, _ in self.old_counts.values():
            needed.update(counts)
        for counts, _ in self.new_counts.values():
            needed.update(counts)
        old = self._splits(needed)
        splits = dict(old)
        for term, found in self.split_changes.items():
            if found is None:
                splits.pop(term, None)
            else:
                splits[term] = found
        old_terms = {}
        for number, (counts, _) in self.old_counts.items():
            terms = set(counts)
            for term in counts:
                terms.update(old.get(term, ()))
            old_terms[number] = terms
        return splits, old_terms

    def _place_symbols(self) -> None:
        """Free the old side's symbol blocks and give the new side theirs:
        its own when its symbols still fit, else a new one after the last."""
        files = self.files
        self.file_length = _whole_array(self.db, "file_length", "d", self.file_count)
        self.symbol_length, self.symbol_file = self._symbol_arrays()
        freed = 0
        for number in self.old_side:
            first, count = self.old_blocks[number]
            freed += count
            for n in range(first, first + count):
                self.symbol_length[n] = 0.0
                self.symbol_file[n] = 0
        self.blocks = {}
        slots = self.symbol_slots
        for fid in self.new_side:
            wanted = len(self.entry(fid)[3])
            old = self.old_numbers.get(fid)
            if fid in self.moving:
                # Moved to make room for the file before it.
                self.blocks[fid] = slots
                slots += wanted
            elif old is not None and (self.old_blocks[old][1] >= wanted or fid in self.grown):
                self.blocks[fid] = self.old_blocks[old][0]
            elif old is not None and sum(self.old_blocks[old]) == slots:
                # The last block grows in place: its symbols keep their
                # numbers (a file edited again and again, whose block went
                # to the end the first time, rewrites only what changed).
                self.blocks[fid] = self.old_blocks[old][0]
                slots = self.old_blocks[old][0] + wanted
            else:
                self.blocks[fid] = slots
                slots += wanted
        self.live = self.symbol_live - freed + sum(len(self.entry(fid)[3]) for fid in self.new_side)
        if slots - self.live > FREE_SHARE * self.live + 1024:
            raise _Rebuild
        self.symbol_length.extend([0.0] * (slots - self.symbol_slots))
        self.symbol_file.extend([0] * (slots - self.symbol_slots))
        del self.file_length[len(files) :]
        self.file_length.extend([0.0] * (len(files) - len(self.file_length)))
        self.slots = slots

    def _new_entries(self, splits: dict) -> tuple[dict, dict, list]:
        """The new side's documents split and entered: per term its (file
        number, weight) and (symbol number, weight) pairs, and the rows of
        its symbols; their lengths and files are set."""
        new_files: dict = {}
        new_symbols: dict = {}
        symbol_rows = []
        for fid in self.new_side:
            docs = self.new_docs[fid]
            add_compound_parts(docs, splits, self.weights)
            number = self.numbers[fid]
            self.file_length[number] = take_length(docs[0])
            for term, weight in docs[0].items():
                new_files.setdefault(term, []).append((number, weight))
            for symbol, ((node, name), doc) in enumerate(zip(self.entry(fid)[3], docs[1:]), self.blocks[fid]):
                self.symbol_length[symbol] = take_length(doc)
                self.symbol_file[symbol] = number
                symbol_rows.append(symbol_row(symbol, symbol_info(node, name), number, fid))
                for term, weight in doc.items():
                    new_symbols.setdefault(term, []).append((symbol, weight))
        return new_files, new_symbols, symbol_rows

    def _write_splits(self) -> None:
        db = self.db
        for term, found in sorted(self.split_changes.items()):
            if found is None:
                db.execute("DELETE FROM splits WHERE term = ?", (to_sql_text(term),))
            else:
                db.execute("INSERT OR REPLACE INTO splits VALUES (?, ?, ?)", (to_sql_text(term), *map(to_sql_text, found)))
        for name, refs in sorted(self.candidate_rows.items()):
            if refs:
                db.execute("INSERT OR REPLACE INTO candidates VALUES (?, ?)", (to_sql_text(name), refs))
            else:
                db.execute("DELETE FROM candidates WHERE term = ?", (to_sql_text(name),))

    def _write_file_rows(self, symbol_rows: list) -> None:
        """The rows of the files that went or changed number go, then the
        new side's are written."""
        db = self.db
        for fid in self.new_side:
            self._fingerprint(fid)  # a file kept as it was has its own, read before its row goes
        for number, fid in sorted(self.old_side.items()):
            first, count = self.old_blocks[number]
            db.execute("DELETE FROM symbols WHERE number >= ? AND number < ?", (first, first + count))
            db.execute("DELETE FROM docstate WHERE number = ?", (number,))
            db.execute("DELETE FROM records WHERE number = ?", (number,))
            db.execute("DELETE FROM file_numbers WHERE id = ?", (to_sql_text(fid),))
        db.executemany("INSERT INTO symbols VALUES (?, ?, ?, ?, ?, ?, ?)", symbol_rows)
        for fid in self.new_side:
            number = self.numbers[fid]
            counts, names = self.new_counts[fid]
            key = self.keys.get(fid)
            state = pack_keyed_state(key, names) if key is not None else pack_state(counts, names)
            symbols = len(self.entry(fid)[3])
            db.execute("INSERT INTO docstate VALUES (?, ?, ?, ?, ?)", (number, self._fingerprint(fid), self.blocks[fid], symbols, state))
            db.execute("INSERT INTO file_numbers VALUES (?, ?)", (to_sql_text(fid), number))
            if fid in self.records:
                db.execute("INSERT INTO records VALUES (?, ?)", (number, self.records[fid]))

    def _write_whole(self) -> None:
        """What the whole graph decides, for every file: flags, priors and
        norms; and the graph's copies, where the change reaches."""
        db, files, numbers, weights = self.db, self.files, self.numbers, self.weights
        self.file_ids = [None] * len(files)
        for fid, number in numbers.items():
            self.file_ids[number] = fid
        flags, priors = self._facts() if self.known else self._whole_facts()
        arrays = {
            "file_flags": flags,
            "file_prior": priors,
            # The free slots' lengths are zero: the exact sum is the live symbols'.
            "file_norm": norms(self.file_length, weights, average_length(self.file_length, len(files))),
            "symbol_norm": norms(self.symbol_length, weights, average_length(self.symbol_length, self.live)),
            "symbol_file": self.symbol_file,
            "file_length": self.file_length,
            "symbol_length": self.symbol_length,
            first_symbols.NAME: self._first_symbols(),
        }
        _write_changed_rows(db, array_rows(arrays, len(files), self.slots, self.file_ids))
        self._write_graph_copy()

    def _first_symbols(self):
        """Each file's first symbol by its new number: the files kept begin
        their old blocks (as the index's own array of them says), the new
        side its new ones."""
        count = len(self.files)
        try:
            firsts = _whole_array(self.db, first_symbols.NAME, first_symbols.CODE, self.file_count)[:count]
        except _Rebuild:
            # An index written before they were kept: from every file's
            # block, as `docstate` holds them now (the new side's written).
            firsts = first_symbols.of_blocks(count, self.old_blocks.every(count))
        firsts.extend(array(first_symbols.CODE, [first_symbols.NO_SYMBOLS]) * (count - len(firsts)))
        new = ((self.numbers[fid], self.blocks[fid], len(self.entry(fid)[3])) for fid in self.new_side)
        for number, first, size in new:
            firsts[number] = first if size else first_symbols.NO_SYMBOLS
        return firsts

    def write_sources(self, sources: dict, restamped=None) -> None:
        """The `sources` rows, rewritten where a file's stamp or number
        changed.  With ``restamped`` (the files taken over whose stamp moved
        though their content did not), the rows of the other files taken
        over are their own run's, as this index is: only the rest are read
        and compared, not every row of the project."""
        db = self.db
        count = len(self.file_ids)
        numbers = self._restated(restamped) if restamped is not None and self.known else None
        if numbers is None or len(numbers) > max(_BATCH, count * CHANGED_SHARE):  # else reading all is cheaper
            old = {row[0]: row[1:] for row in db.execute("SELECT number, size, mtime_ns, digest FROM sources")}
            numbers = range(count)
        else:
            query = "SELECT number, size, mtime_ns, digest FROM sources WHERE number IN ({})"
            old = {row[0]: row[1:] for row in _in_batches(db, query, numbers)}
            db.execute("DELETE FROM sources WHERE number >= ?", (count,))
        gone, rows = [], []
        for number in numbers:
            row = sources.get(self.file_ids[number])
            if row is None:
                if number in old:
                    gone.append((number,))
            elif old.get(number) != tuple(row):
                rows.append((number, *row))
        gone.extend((number,) for number in old if number >= count)
        db.executemany("DELETE FROM sources WHERE number = ?", gone)
        db.executemany("INSERT OR REPLACE INTO sources VALUES (?, ?, ?, ?)", rows)

    def _restated(self, restamped) -> list:
        """The numbers whose `sources` row may differ from the previous
        run's, in order: those of the files not taken over as they were
        (added ones take the numbers of removed ones) or whose stamp moved,
        and those of the files moved down into freed numbers.  The numbers
        past the last file are those of no file now."""
        files, numbers = self.files, self.numbers
        restated = files.difference(self.unchanged) | files.intersection(restamped)
        out = {numbers[fid] for fid in restated}
        out.update(numbers[fid] for fid in self.new_side)  # moved ones among them
        return sorted(out)

    def _whole_facts(self) -> tuple[array, array]:
        """Flags and priors worked out from the whole graph, as a full build does."""
        kept = {}
        flags, priors = file_facts(
            self.entries, self.numbers, self.change.graph().get("edges") or (), self.weights, lambda *state: kept.update(state=state)
        )
        self.db.execute("DELETE FROM importers")
        self.db.execute("DELETE FROM test_folders")
        write_facts(self.db, *kept["state"])
        count = len(self.files)
        return array("B", (flags[n] for n in range(count))), array("f", (priors[n] for n in range(count)))

    def _facts(self) -> tuple[array, array]:
        """Flags and priors: the previous ones, worked out again where the
        files handed over reach (`facts.Delta`)."""
        old_flags = _whole_array(self.db, "file_flags", "B", self.file_count)
        old_prior = _whole_array(self.db, "file_prior", "f", self.file_count)
        for fid in self.dirty:
            self.entry(fid)
        delta = facts.Delta(self.db, self.old_numbers.keys(), self.files, self.dirty, self.entries, self._old_imports)
        reached = delta.reached()
        count = len(self.files)
        # A file that keeps its number keeps its flags and prior unless the
        # change reaches it: only those reached and those renumbered (added
        # or moved, all on the new side) are looked at.
        flags, priors = old_flags[:count], old_prior[:count]
        flags.extend(bytes(count - len(flags)))
        priors.extend(array("f", bytes(4 * (count - len(priors)))))
        renumbered = [fid for fid in self.new_side if self.numbers[fid] != self.old_numbers.get(fid)]
        for fid in (*reached, *renumbered):
            number = self.numbers[fid]
            old = self.old_numbers.get(fid)
            if fid in reached:
                if fid in self.dirty:
                    path, _, defined, symbols = self.entry(fid)
                    defined, declarations = len(defined), declares_only(symbols)
                else:
                    if old is None:
                        raise _Rebuild  # an added file is always handed over
                    path = fid
                    defined, declarations = self.old_blocks[old][1], bool(old_flags[old] & FLAG_DECLARATIONS)
                flags[number], priors[number] = delta.decide(fid, path, defined, declarations, self.weights)
            elif old is None:
                raise _Rebuild
            else:
                flags[number], priors[number] = old_flags[old], old_prior[old]
        return flags, priors

    def _old_imports(self, fids) -> dict:
        """By file id, the import edges of ``fids`` in the previous graph (their parts)."""
        imports = SECTION["imports"]
        return {
            fid: [edge for section, _, edge in items if section == imports and edge["from"] == fid]
            for fid, items in graph_copy.old_edges(self.db, fids, self.limit).items()
        }

    def _write_graph_copy(self) -> None:
        """The files whose share of the graph may have changed are those the
        indexer handed over; without its word, all of them."""
        removed = self.old_numbers.keys() - self.files
        if not self.known:
            graph_copy.write_rows(self.db, graph_copy.full_rows(self.change.graph()))
            return
        try:
            graph_copy.update_rows(self.db, self.change.top, self.dirty, removed, self.limit)
        except graph_copy.StaleCopy:
            raise _Rebuild from None


def _write_changed_rows(db, rows) -> None:
    """The `arrays` rows made (name, bytes) in place of the stored ones,
    writing only those whose bytes differ: an edit moves the norms whole
    but only a few chunks of the other arrays, and each row written is
    written twice (the log, then the file)."""
    stored = {}
    for name, data in db.execute("SELECT name, data FROM arrays"):
        stored[name] = data
    changed = []
    for name, data in rows:
        if stored.pop(name, None) != data:
            changed.append((name, data))
    db.executemany("DELETE FROM arrays WHERE name = ?", ((name,) for name in stored))
    db.executemany("INSERT OR REPLACE INTO arrays VALUES (?, ?)", changed)


def _without(numbers: array, weights: array, ranges: list) -> tuple[array, array]:
    """The postings less those whose numbers lie in the sorted [low, high) ``ranges``."""
    kept_numbers, kept_weights = array(numbers.typecode), array(weights.typecode)
    at = 0
    for low, high in ranges:
        start = bisect_left(numbers, low, at)
        kept_numbers.extend(numbers[at:start])
        kept_weights.extend(weights[at:start])
        at = max(start, bisect_left(numbers, high, start))
    kept_numbers.extend(numbers[at:])
    kept_weights.extend(weights[at:])
    return kept_numbers, kept_weights


def _within(numbers: array, weights: array, ranges: list) -> tuple[array, array]:
    """The postings whose numbers lie in the sorted [low, high) ``ranges``
    (what `_without` leaves out)."""
    taken_numbers, taken_weights = array(numbers.typecode), array(weights.typecode)
    at = 0
    for low, high in ranges:
        start = bisect_left(numbers, low, at)
        at = max(start, bisect_left(numbers, high, start))
        taken_numbers.extend(numbers[start:at])
        taken_weights.extend(weights[start:at])
    return taken_numbers, taken_weights


def _same(taken: tuple, new: list) -> bool:
    """Whether the stored postings ``taken`` (numbers, weights) are the
    (number, weight) pairs ``new``, weights as stored."""
    numbers, weights = taken
    if len(numbers) != len(new):
        return False
    pairs = sorted(new)
    return numbers == array(numbers.typecode, [n for n, _ in pairs]) and weights == array(
        weights.typecode, [w for _, w in pairs]
    )


def _merged(numbers: array, weights: array, new: list) -> tuple[array, array]:
    """The postings with the (number, weight) pairs ``new`` put in order."""
    if not new:
        return numbers, weights
    out_numbers, out_weights = array(numbers.typecode), array(weights.typecode)
    at = 0
    for number, weight in sorted(new):
        start = bisect_left(numbers, number, at)
        out_numbers.extend(numbers[at:start])
        out_weights.extend(weights[at:start])
        out_numbers.append(number)
        out_weights.append(weight)
        at = start
    out_numbers.extend(numbers[at:])
    out_weights.extend(weights[at:])
    return out_numbers, out_weights


def _decoded(blob) -> tuple:
    """A term's stored postings as four packed arrays (`_Rebuild` for damage)."""
    if not isinstance(blob, bytes):
        raise _Rebuild
    return decode_postings(blob)  # ValueError for a damaged blob


def update_index(
    root: str,
    path: str,
    generation,
    change,
    graph_identity: dict,
    prepared,
    doc_key,
    sources: dict,
    records: dict,
    kept=None,
    weights: RankingWeights = DEFAULT_WEIGHTS,
    old_docs=None,
) -> InPlace | None:
    """The index at ``path`` (built by the run of ``generation``) updated
    in place for the graph ``change`` tells of (`change.GraphChange`), in
    one transaction left open for the caller to commit (`InPlace.commit`)
    as it places the run's other files; None when it must be built again
    (no usable index, too many changes, anything unexpected in it: then it
    is as it was).

    ``prepared(file id)`` gives a file's documents and ``doc_key(file id)``
    their text (see `corpus_from_graph`); ``sources`` and ``records`` are
    `build_index`'s.  ``kept`` is (generation, file ids): files whose
    documents, symbols and record are the ones the run of that generation
    indexed; when it is the index's own run, their rows are taken as they
    are, without working out their fingerprints, and the shares the change
    hands over are taken as the only ones that may differ from that run's
    (the graph's copies, flags and priors are updated for them alone); a
    fourth item, the files among them whose stamp moved, says the
    ``sources`` of the others are that run's too (their rows are kept
    unread).  ``old_docs(file id, key)`` gives the documents of a key a
    file's state keeps, as they were when it was written (None: not at
    hand, and the index is built again).
    SQLite's errors while writing (a full disk) are raised as OSError,
    with the index as it was."""
    import sqlite3

    from .store import reason

    try:
        index = IndexCorpus(root, path)
    except IndexProblem:
        return None
    try:
        meta = index.meta
        if (
            meta.get("updatable") != 1
            or meta.get("format") != FORMAT
            or meta.get("generation") != generation
            or meta.get("code") != code_digest()
        ):
            return None
    finally:
        index.close()
    ours = kept is not None and kept[0] == generation
    unchanged = kept[1] if ours else ()
    target = None
    try:
        target = InPlace(path)
        db = target.db
        # Readers go on reading the previous index until this is committed.
        db.execute("BEGIN IMMEDIATE")
        if db.execute("SELECT value FROM meta WHERE key = 'generation'").fetchone() != (generation,):
            raise _Rebuild  # not the file looked at above
        update = _Update(db, change, prepared, doc_key, records, weights, unchanged, ours, old_docs)
        update.run()
        write_meta(db, graph_identity, len(update.file_ids), update.live, update.slots, True)
        update.write_sources(sources, kept[3] if ours and len(kept) > 3 else None)
    except (_Rebuild, KeyError, ValueError, TypeError, IndexError, OverflowError, sqlite3.DatabaseError) as exc:
        if target is not None:
            target.close()  # what was not committed is rolled back
        if isinstance(exc, sqlite3.OperationalError) and "full" in str(exc):
            raise OSError(f"{path}: {reason(exc)}") from None
        return None
    except BaseException:
        if target is not None:
            target.close()
        raise
    return target
