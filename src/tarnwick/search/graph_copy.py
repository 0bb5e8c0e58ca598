"""The search index's copies of the graph: the compact copy in chunks of files
(`compact`, table ``chunks``, its top-level keys in ``graph``) and each
file's part (`parts`, table ``parts``), written whole by a full build and,
by an update, only where the files that changed reach.

A file's share of the graph (its nodes and the edges it is the source of)
changes only when it is parsed or resolved again; the indexer names the
others.  An update re-encodes the chunks that hold a changed, added or
removed file (with the one before, when a removed file began its chunk),
the parts of the changed files, and the edge parts of the files their old
or new edges lead to.  Nothing else is read or written, so the cost follows
the change, not the project.
"""

from __future__ import annotations

from bisect import bisect_right

from . import compact, parts
from .compact import base
from .store import from_sql_text, to_sql_text, write_graph_rows as write_rows


class StaleCopy(Exception):
    """The previous copy cannot be updated (missing, damaged, or the graph
    not of the shape it rebuilds): build it whole."""


def full_rows(graph: dict):
    """(top, chunk rows, part rows) of ``graph`` (`write_rows` puts them in
    place), or None when the graph is not of the shape the copy rebuilds."""
    found = compact.shares(graph)
    if found is None:
        return None
    try:
        chunks = [(chunk[0].fid, compact.encode_chunk(chunk)) for chunk in compact.chunks_of(found.values())]
    except (ValueError, TypeError, OverflowError):
        return None
    edges = parts.touching(found)
    part_rows = [(fid, parts.encode_nodes(share.nodes), parts.encode_edges(fid, edges[fid])) for fid, share in found.items()]
    return compact.encode_top(graph), chunks, part_rows


def update_rows(db, top: dict, new: dict, removed: set, limit: int) -> None:
    """Update the copy for a graph of the top-level keys ``top``, whose
    files' shares ``new`` (`compact.shares`, by id) may differ from the
    previous graph's and whose files ``removed`` are gone; the others'
    shares are unchanged.  ``limit`` bounds what one part may inflate to.
    Raises `StaleCopy` when the previous copy cannot be updated."""
    if db.execute("SELECT count(*) FROM graph WHERE name = 'top'").fetchone()[0] != 1:
        raise StaleCopy
    if new is None:
        raise StaleCopy
    db.execute("UPDATE graph SET data = ? WHERE name = 'top'", (compact.encode_top(top),))
    try:
        _update_parts(db, new, removed, limit)
        _update_chunks(db, new, removed)
    except (ValueError, TypeError, IndexError, OverflowError):
        raise StaleCopy from None


def old_edges(db, fids, limit: int) -> dict:
    """By file id, the keyed edges of the parts of ``fids`` (those with one)."""
    rows = []
    for fid in sorted(fids):
        row = db.execute("SELECT edges FROM parts WHERE id = ?", (to_sql_text(fid),)).fetchone()
        if row is not None:
            rows.append((fid, parts.keyed(row[0], limit, fid)[1]))
    return dict(rows)


def part_nodes(blob, limit: int) -> list:
    """The nodes of a file's part (ValueError when it is damaged)."""
    return parts.nodes_of(blob, limit)[1]


def _update_parts(db, new: dict, removed: set, limit: int) -> None:
    gone = new.keys() | removed  # the files whose outgoing edges are replaced
    old = old_edges(db, gone, limit)
    own = {fid: parts.keyed_edges(share) for fid, share in new.items()}
    into: dict = {}  # file id -> the new edges of changed files that lead to it
    for fid, items in own.items():
        for item in items:
            target = base(item[2]["to"])
            if target != fid:
                into.setdefault(target, []).append(item)
    reached = set(into)
    for fid, items in old.items():
        reached.update(base(edge["to"]) for _, _, edge in items if edge["from"] == fid)
    reached -= gone
    for fid in removed:
        db.execute("DELETE FROM parts WHERE id = ?", (to_sql_text(fid),))
    # The changed files' parts: their nodes and edges, and what other files
    # left unchanged lead to them.
    for fid, share in sorted(new.items()):
        kept = [item for item in old.get(fid, ()) if item[2]["from"] not in gone]
        edges = sorted(kept + own[fid] + into.get(fid, []), key=parts.edge_key)
        db.execute(
            "INSERT OR REPLACE INTO parts VALUES (?, ?, ?)",
            (to_sql_text(fid), parts.encode_nodes(share.nodes), parts.encode_edges(fid, edges)),
        )
    # The files they lead to (or led to): the edges from changed files replaced.
    for fid, items in sorted(old_edges(db, reached, limit).items()):
        kept = [item for item in items if item[2]["from"] not in gone]
        edges = sorted(kept + into.get(fid, []), key=parts.edge_key)
        db.execute("UPDATE parts SET edges = ? WHERE id = ?", (parts.encode_edges(fid, edges), to_sql_text(fid)))


def _update_chunks(db, new: dict, removed: set) -> None:
    firsts = sorted(from_sql_text(first) for (first,) in db.execute("SELECT first FROM chunks"))
    if any(type(first) is not str for first in firsts):
        raise StaleCopy
    affected = set()
    for fid in new.keys() | removed:
        at = max(bisect_right(firsts, fid) - 1, 0)
        affected.add(at)
        if fid in removed and at > 0 and firsts[at] == fid:
            affected.add(at - 1)  # what is left of its chunk joins the one before
    if not firsts:
        affected = {0}
    at = 0
    ordered = sorted(affected)
    while at < len(ordered):
        end = at
        while end + 1 < len(ordered) and ordered[end + 1] == ordered[end] + 1:
            end += 1
        _rechunk(db, firsts, ordered[at], ordered[end], new, removed)
        at = end + 1


def _rechunk(db, firsts: list, low: int, high: int, new: dict, removed: set) -> None:
    """Encode again the chunks ``low`` to ``high`` (numbers in ``firsts``)."""
    held = firsts[low : high + 1]
    shares = []
    for first in held:
        row = db.execute("SELECT data FROM chunks WHERE first = ?", (to_sql_text(first),)).fetchone()
        if row is None:
            raise StaleCopy
        shares.extend(share for share in compact.decode_chunk(row[0]) if share.fid not in new and share.fid not in removed)
    start = firsts[low] if low > 0 else None
    stop = firsts[high + 1] if high + 1 < len(firsts) else None
    shares.extend(
        share for fid, share in new.items() if (start is None or fid >= start) and (stop is None or fid < stop)
    )
    shares.sort(key=lambda share: share.fid)
    for first in held:
        db.execute("DELETE FROM chunks WHERE first = ?", (to_sql_text(first),))
    db.executemany(
        "INSERT INTO chunks VALUES (?, ?)",
        ((to_sql_text(chunk[0].fid), compact.encode_chunk(chunk)) for chunk in compact.chunks_of(shares)),
    )
