"""One indexing run: walk, reuse or parse, resolve, write (see the package's
docstring for the steps)."""

from __future__ import annotations

import json
import os
import sqlite3
import stat
import sys
import threading
import time
from dataclasses import dataclass, field
from itertools import islice
from operator import attrgetter, lt

from ..atomic import sweep_temporaries, told_as
from ..collector import paused, settling
from ..datadir import (
    DATA_DIR,
    DIGESTS_NAME,
    GRAPH_NAME,
    MANIFEST_NAME,
    SUMMARIES_NAME,
    mixed_set_problem,
    read_manifest,
    record_identities,
)
from ..errors import TarnwickError
from ..wording import counted
from .cache import Cache, DamagedCache, prove, search_docs, signature, taken_over
from .dependents import link
from .extractors import missing_package
from .history import HISTORY_NAME, cache_text, history_field, read_history
from ..search.content import add_texts
from ..search.full_build import shares as graph_shares
from ..search.reader import indexed_generation
from ..search.store import INDEX_NAME, PackedRecords
from ..search.update import update_takes
from .output import encode, manifest_text, new_generation
from .parsed import Parsed
from .seen import SourcesSeen
from .layout import FILES, NODES, SECTIONS, Layout, PreviousFiles, StaleLayout, plan_pieces
from .lock import run_lock
from .handoff import graph_change
from .publish import ensure_gitignore, publish, remove_retired
from .revouch import revouch
from .pool import stack_size_for, start_workers, stop_workers, summarize_in_workers, summarize_serially
from .summarize import FileResult
from .takeover import UnsoundRow, by_heads, by_stamps, sources_of
from .writer import GraphNeeded, StoredRecords, iter_values, read_list, write_outputs
from .walk import DEFAULT_MAX_FILE_BYTES, walk_project

# Below this many files a pool costs more than it saves.
PARALLEL_MIN_FILES = 48
# More changed files than one in this many: the outputs are written whole.
SPLICE_SHARE = 4
# Progress is shown by default from this many files on (on a terminal).
PROGRESS_MIN_FILES = 200


@dataclass
class IndexStats:
    """Figures of one indexing run."""

    root: str
    files: int = 0
    functions: int = 0
    methods: int = 0
    classes: int = 0
    nodes: int = 0
    edges: int = 0
    # (relative path, reason) of files left out by the walk.
    skipped: list = field(default_factory=list)
    skipped_dirs: int = 0
    # (relative path, message) of files that could not be read or parsed.
    unparsable: list = field(default_factory=list)
    # Relative paths of files a grammar could read only in part.
    partial: list = field(default_factory=list)
    # Vendored or generated folders ("vendor/") and files left out.
    vendored: list = field(default_factory=list)
    # Folders and files left out by .gitignore or --exclude.
    ignored: int = 0
    # Source files in languages no extractor reads: language -> count.
    unsupported: dict = field(default_factory=dict)
    # Files taken over unchanged from the previous run (an unparsable one too).
    reused: int = 0
    # Of the files indexed, those taken over unchanged.
    unchanged: int = 0
    # Lines to show once: unusable ignore patterns, missing parser packages.
    warnings: list = field(default_factory=list)
    seconds: float = 0.0
    summaries_path: str = ""
    graph_path: str = ""
    search_index_path: str = ""

    def summary_line(self) -> str:
        extra = "".join(
            f", {count} {label}"
            for count, label in (
                (len(self.partial), "partly parsed"),
                (len(self.vendored), "vendored or generated"),
                (self.ignored, "ignored"),
                (sum(self.unsupported.values()), "in languages not read"),
            )
            if count
        )
        unchanged = f", {self.unchanged} unchanged" if self.unchanged else ""
        return (
            f"indexed {counted(self.files, 'file')}{unchanged}: {counted(self.functions, 'function')}, "
            f"{counted(self.methods, 'method')}, {counted(self.classes, 'class', 'classes')}, "
            f"{counted(self.edges, 'edge')}; {len(self.skipped)} skipped, "
            f"{len(self.unparsable)} unparsable{extra}; {self.seconds:.2f}s"
        )


@dataclass(frozen=True)
class GraphFile:
    """Whether a run places the graph file (`place`), and whether, when it
    does not, an update may leave the graph's text unmade but for the
    changed files (`counted`; see `writer.write_outputs`)."""

    place: bool
    counted: bool = True


def _last_wrote_graph(root: str) -> bool:
    """Whether a run placed the graph file that is there (one removed by
    hand, or by a run stopped before it placed the rest, stays away)."""
    return os.path.lexists(os.path.join(root, DATA_DIR, GRAPH_NAME))


class TooMuchToIndex(TarnwickError):
    """A run asked to parse at most so many files would parse more; it
    stopped before writing anything."""


class _Progress:
    """A file counter on standard error, redrawn at most ten times a second.

    Showing progress must never fail the run: a stream that is closed or
    cannot be written just turns the counter off.
    """

    def __init__(self, total: int, enabled: bool, stream=None):
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled and self.stream is not None
        self.done = 0
        self._last = 0.0

    def _show(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError, AttributeError):
            self.enabled = False

    def step(self) -> None:
        self.done += 1
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._last >= 0.1 or self.done == self.total:
            self._last = now
            self._show(f"\rindexing: {self.done}/{counted(self.total, 'file')}")

    def close(self) -> None:
        if self.enabled and self.done:
            self._show("\n")


def _default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def _summarize_all(tasks: list, jobs: int, max_file_bytes: int, progress: _Progress, take, started: list) -> list:
    stack = stack_size_for(max_file_bytes)
    if jobs <= 1 or len(tasks) < PARALLEL_MIN_FILES:
        stop_workers(started)
        return summarize_serially(tasks, stack, progress.step, threading.Event(), take)
    return summarize_in_workers(tasks, jobs, stack, progress.step, take, started)


def _data_dir(root: str, create: bool) -> str:
    """The project's data directory (created when missing and `create`).
    Refuses one that is not a real folder of the project: a link could lead
    the writes anywhere."""
    data_dir = os.path.join(root, DATA_DIR)
    if create:
        try:
            os.mkdir(data_dir)
        except FileExistsError:
            pass
    try:
        mode = os.lstat(data_dir).st_mode
    except FileNotFoundError:
        return data_dir
    if not stat.S_ISDIR(mode):
        raise NotADirectoryError(f"{data_dir} is a link or a file, not a folder of the project; nothing written")
    return data_dir


def index_project(
    root=".",
    *,
    jobs: int | None = None,
    max_file_bytes: int = DEFAULT_MAX_FILE_BYTES,
    progress: bool | None = None,
    excludes=(),
    use_gitignore: bool = True,
    full: bool = False,
    on_wait=None,
    languages=None,
    most_parsed: int | None = None,
    graph_file: bool | None = True,
) -> IndexStats:
    """Index the project at `root` and write its `.vestra` data.

    `jobs` worker processes parse the files (default: one per available
    core; 1 parses in this process).  Files larger than `max_file_bytes` are
    skipped, and so are paths matched by `.gitignore` files (unless
    `use_gitignore` is false) or by the gitignore-style `excludes`.
    `progress` shows a file counter on standard error: None shows it for
    large projects when standard error is a terminal.  Files unchanged since
    the last run are taken from its cache unless `full` is true; the output
    is the same either way.  `languages` (names such as "python", "go")
    keeps only files in those languages; the others count as ignored.
    With `most_parsed`, a run that would parse more files than that (an
    index made by another build, a damaged cache, many edits) raises
    `TooMuchToIndex` before it writes anything.  `graph_file` writes the
    graph as one file, `graph.json` (the search index holds it in parts
    either way); False leaves it out and removes one a run left before;
    None does as the last run did (none for a new index).

    Files that cannot be read, decoded or parsed (even those that crash the
    parser) do not stop the run: they are listed in the result's
    `unparsable` and get a file node without a summary record.  Raises
    NotADirectoryError when `root` is not a folder or its `.vestra` is not a
    real folder inside it, and OSError when the files cannot be written (the
    previous ones then stay as they were).

    One run at a time writes a project's index: while another holds it,
    `on_wait()` is called once and this run waits for it to end.
    """
    started = time.perf_counter()
    root = os.path.abspath(os.fspath(root))
    if not os.path.isdir(root):
        raise NotADirectoryError(f"not a directory: {root}")
    # Refused before any work.
    data_dir = _data_dir(root, create=True)
    # Whatever fails, the user is told of the files they know, never of a temporary.
    with told_as(), run_lock(data_dir, on_wait):
        # Stale temporaries of killed runs go now.
        sweep_temporaries(data_dir)
        ensure_gitignore(data_dir)
        remove_retired(data_dir)
        graph = GraphFile(_last_wrote_graph(root) if graph_file is None else bool(graph_file))
        every_head = False
        while True:
            try:
                # What the run's large loads make lives to its end: collections
                # spare it (a full run, which parses every file, keeps them).
                with settling(not full):
                    return _index(
                        root, data_dir, started, jobs, max_file_bytes, progress, excludes, use_gitignore, full, languages,
                        most_parsed=most_parsed, graph=graph, every_head=every_head,
                    )
            except GraphNeeded:
                # An update that turned out to need the graph whole: nothing
                # was written; again, with the graph made in a scratch file.
                if not graph.counted:
                    raise
                graph = GraphFile(graph.place, counted=False)
            except UnsoundRow:
                # A head read when asked for did not hold: nothing was
                # written; again, every head read first, so that its file
                # is parsed again as any row that does not hold is.
                if every_head or full:
                    raise
                every_head = True
            except DamagedCache:
                if full:
                    raise
                # Text from the cache did not parse although its entry looked
                # sound: nothing was written, and the cache is not trusted again.
                full = True


def _index(
    root, data_dir, started, jobs, max_file_bytes, progress, excludes, use_gitignore, full, languages=None, *,
    most_parsed=None, graph=None, every_head=False,
) -> IndexStats:
    stats = IndexStats(root=root)
    jobs = jobs if jobs is not None else _default_jobs()
    # A full run parses every file: its workers start before the walk, whose
    # listing they would otherwise carry (a copy of it counts in each).
    workers = start_workers(jobs, stack_size_for(max_file_bytes)) if full and jobs > 1 and most_parsed is None else []
    try:
        return _walk_and_index(
            root, data_dir, started, stats, jobs, max_file_bytes, progress, excludes, use_gitignore, full, languages, workers,
            most_parsed, graph or GraphFile(True), every_head,
        )
    finally:
        stop_workers(workers)


def _walk_and_index(
    root, data_dir, started, stats, jobs, max_file_bytes, progress, excludes, use_gitignore, full, languages, workers,
    most_parsed, graph, every_head=False,
) -> IndexStats:
    # Before any file is looked at: a file changed from here on may keep the
    # time and size the walk saw (a coarse clock), which readers must know.
    walked_ns = time.time_ns()
    cache = Cache.load(data_dir, root, signature(), full)
    try:
        # Folders the last run's walk vouches for are not listed again.
        walk = walk_project(
            root, max_file_bytes, excludes, use_gitignore, languages, cache.db.walk_state(), walked_ns
        )
        stats.skipped = walk.skipped
        stats.skipped_dirs = walk.skipped_dirs
        stats.vendored = walk.vendored
        stats.ignored = walk.ignored
        stats.unsupported = dict(sorted(walk.unsupported.items()))
        stats.warnings = list(walk.warnings)
        # Files the last run left as they are had their parser then; the
        # cache's signature holds its version.
        sources = None if walk.as_before else _readable(walk.files, stats)
        return _index_with(
            cache, root, data_dir, started, stats, walk, sources, walked_ns, jobs, max_file_bytes, progress, full, workers,
            most_parsed, graph, every_head,
        )
    except BaseException:
        cache.db.discard()
        raise


def _index_with(
    cache, root, data_dir, started, stats, walk, sources, walked_ns, jobs, max_file_bytes, progress, full, workers,
    most_parsed=None, graph=None, every_head=False,
):
    graph = graph or GraphFile(True)
    unvouched = walk.unvouched
    if walk.as_before:
        changed = None  # no file: each is as the last run left it
    else:
        compared = sources if unvouched is None else sources_of(sources, unvouched)
        changed = {source.rel for source in compared if not cache.unchanged(source)}
    history = read_history(root, data_dir, use_cache=not full)
    if history.note:
        stats.warnings.append(history.note)
    if (
        not full
        and (changed is None or (not changed and {s.rel for s in sources} == cache.previous_paths))
        and not history.changed
        and cache.run.get("configs") == walk.configs
        and _intact(root, data_dir, cache.run, graph.place)
    ):
        # Nothing to learn and the last run's files are in place: writing
        # them again would only change their stamp.  Not a row is decoded.
        _figures_of_run(stats, cache.run)
        revouch(root, data_dir, cache.run["generation"], graph.place)
        stats.reused = walk.file_count if sources is None else len(sources)
        stats.unchanged = stats.files
        # New stamps spare the next run reading those files again, a new
        # walk state listing folders or comparing rows again.
        if walk.state_changed or walk.unvouched:
            _keep_walk(cache, walk)
        if cache.restamped or cache.db.walk_blob != cache.db.walk_state():
            for rel, stamp in cache.restamped.items():
                cache.db.restamp(rel, stamp)
            if cache.restamped:
                # The search index keeps the old stamps until a run writes it.
                since = _restamped(cache)
                cache.db.set_meta(cache.signature, dict(cache.run, restamped=None if since is None else sorted(since)))
            _commit_cache(cache, stats)
        else:
            cache.db.discard()
        stats.seconds = time.perf_counter() - started
        return stats

    if changed is None:
        sources, changed = walk.files, set()
    rels = list(map(attrgetter("rel"), sources))
    current = set(rels)
    # The results of the files taken over are made only when read: their
    # language, state and counts are those of their heads' fields.
    # An entry per file and no cycles among them: collections would only cost time.
    with paused():
        listing_kept = sources is walk.files and walk.listed == 0 and walk.unvouched is not None
        taking = (None if every_head else by_stamps(cache, sources, rels, current, changed, stats, listing_kept)) or by_heads(
            cache, sources, changed, stats
        )
    todo, links, tallies = taking.todo, taking.linked, taking.tallies
    kept_docs = taking.docs  # file -> the digest of its search documents' text (bytes)
    # What each summary was made from, for queries to tell the files edited since.
    digests = taking.digests
    parsed = Parsed(taken_over, taking.taken, digests, taking.head)
    reused_paths = set(digests)
    # Largest first for the pool; the output order is fixed afterwards.
    todo.sort(key=lambda f: -f.size)
    tasks = [(f.rel, f.path, f.language, f.grammar) for f in todo]
    if most_parsed is not None and len(tasks) > most_parsed:
        raise TooMuchToIndex(f"{len(tasks)} files to parse, more than {most_parsed}")

    def take(result: FileResult) -> FileResult:
        # Each result's texts go to the cache file as it arrives: held for
        # the whole project they would be most of the run's memory.
        result, kept_docs[result.path] = cache.spool(result)
        return result

    if progress is None:
        progress = len(tasks) >= PROGRESS_MIN_FILES and sys.stderr is not None and sys.stderr.isatty()
    counter = _Progress(len(tasks), bool(progress))
    try:
        fresh = _summarize_all(tasks, jobs, max_file_bytes, counter, take, workers)
    finally:
        counter.close()

    for result in fresh:
        if result.error is not None:
            stats.unparsable.append((result.path, result.error))
        else:
            parsed.add(result)
            tallies.append((result.counts, 1))
            if result.partial:
                stats.partial.append(result.path)
    stats.unparsable.sort()
    stats.partial.sort()
    # The walk gives its files in path order: sorted again only when not.
    paths = rels if all(map(lt, rels, islice(rels, 1, None))) else sorted(current)

    symbols = 0
    for (functions, methods, classes, count), files in tallies:
        stats.functions += functions * files
        stats.methods += methods * files
        stats.classes += classes * files
        symbols += count * files
    stats.nodes = len(paths) + symbols
    stats.files = len(parsed)

    stats.summaries_path = os.path.join(data_dir, SUMMARIES_NAME)
    stats.graph_path = os.path.join(data_dir, GRAPH_NAME) if graph.place else ""
    stats.search_index_path = os.path.join(data_dir, INDEX_NAME)

    # Files whose rows were taken over as they are: their documents, symbols
    # and record are those the last run indexed, when that run's cache was
    # saved (a history that moved changes their documents).
    kept = (cache.run.get("generation"), set() if history.changed else reused_paths)
    histories = {path: history_field(messages) for path, messages in history.messages(paths).items() if path in parsed}
    for path in kept_docs.keys() - parsed.paths():
        del kept_docs[path]  # an unparsable file has none

    def prepared(path: str) -> list | None:
        """The search documents of a file, read from the cache file when
        asked for: held for the whole project they would be most of the
        run's memory."""
        if path not in kept_docs:
            return None
        docs = search_docs(path, cache.docs(path))
        if path in histories:
            add_texts(docs[:1], [histories[path]])
        return docs

    def doc_key(path: str) -> str | None:
        """What a file's documents are made from, as text: an unchanged key
        lets the search index keep the file's rows."""
        key = kept_docs.get(path)
        return None if key is None else key.hex() + "\0" + encode(histories.get(path))

    def old_docs(path: str, key: str) -> list | None:
        """The documents of the key a file's state in the previous search
        index names (`doc_key`'s text), from the cache (None when it does
        not hold them)."""
        digest, _, history = key.partition("\0")
        try:
            text = cache.previous_docs(path, bytes.fromhex(digest))
            history = json.loads(history)
        except (ValueError, RecursionError):
            return None
        if text is None or not (history is None or _is_field(history)):
            return None
        docs = search_docs(path, text)
        if history is not None:
            add_texts(docs[:1], [history])
        return docs

    def check(path: str, record: str) -> None:
        if path in reused_paths:  # this run's own texts need no proof
            prove(path, record)

    by_rel = {f.rel: f for f in todo}
    settings_changed = cache.run.get("configs") != walk.configs
    edges, reads = link(cache, root, paths, parsed, by_rel, links, settings_changed, stats.warnings)
    # Files whose nodes and edges are the last run's: neither parsed nor resolved
    # again; and of the files taken over, those whose stamp moved (a touch).
    kept += (reused_paths - reads.keys(), _restamped(cache))

    generation = new_generation()
    digests.update((result.path, result.digest) for result in fresh)
    sources_seen = SourcesSeen(sources, digests, paths if paths is rels else None)
    # When the search index may be updated, it counts the old terms of the
    # files whose rows go from their documents as the last run left them.
    keep_docs = not full and len(fresh) <= update_takes(len(paths))
    try:
        cache.store(paths, [(r, by_rel[r.path]) for r in fresh], edges, reads, keep_docs)
    except sqlite3.Error as exc:  # a full disk, as for the other files
        raise OSError(f"{cache.db.target}: {exc}") from None
    reads.clear()
    history_text = cache_text(history) if history.changed else None
    dirty = current - kept[2]  # the files whose nodes and edges may differ from the last run's
    # The search index is told the changed files' shares only when it may be
    # updated with them: a full run, or one that changed more than an update
    # takes, builds it from the staged graph a file at a time, and holding
    # every file's shares would cost the run's peak (a full run: all of them).
    hand_off = not full and len(dirty) <= update_takes(len(paths))
    rebuild = full or len(_sources_changed(current, reused_paths, cache.previous_paths)) > update_takes(len(paths))
    # Without a graph file, an update that the search index takes from the
    # changed files' shares needs no graph text but theirs: the others'
    # blocks are only counted.
    count_only = not graph.place and graph.counted and hand_off and not rebuild
    dirty_texts = {}  # the texts the graph's new blocks are made of, for the search index too

    def texts(path: str) -> list:
        found = cache.texts(path)
        if hand_off and path in dirty:
            dirty_texts[path] = found
        return found

    outputs, previous_layout = _write_outputs(
        root, data_dir, cache, texts, paths, parsed, check, edges, generation, kept[2], graph.place, count_only
    )
    # As written: the placed files need not be read again to be vouched for.
    written = {out.name: os.stat(out.tmp) for out in outputs.placed()}
    stats.edges = sum(outputs.layout.counts) + symbols  # "contains" too
    try:
        cache.db.set_meta(cache.signature, _run_of(stats, generation, walk.configs))
        cache.db.set_layout(outputs.layout.pack(previous_layout))
        change = (
            graph_change(
                paths, parsed, dirty_texts.__getitem__, edges, dirty, generation, (stats.nodes, stats.edges),
                lambda: graph_of(), lambda: check_graph(),
            )
            if hand_off
            else None
        )
    except sqlite3.Error as exc:
        outputs.discard()
        raise OSError(f"{cache.db.target}: {exc}") from None
    except (ValueError, RecursionError):
        outputs.discard()
        raise DamagedCache("the graph's nodes in the cache are not valid JSON") from None
    dirty_texts.clear()
    # The search index needs only the graph and the documents: the rest goes
    # before the graph is read back, which keeps the run's peak memory down.
    for held in (fresh, parsed, edges, links, by_rel):
        held.clear()
    files = [(HISTORY_NAME, history_text)] if history_text is not None else []
    files.append((DIGESTS_NAME, outputs.digests_text()))
    manifest = manifest_text(generation, [(out.name, out.digest()) for out in outputs.placed()])
    # The manifest goes last: it commits the set.
    files.append((MANIFEST_NAME, manifest))

    def graph_of() -> dict:
        # What json.loads of the graph file gives, read back from it.
        outputs.need_graph()
        try:
            shared = {}
            nodes = read_list(outputs.graph.tmp, outputs.node_span, shared=shared)
            edge_list = read_list(outputs.graph.tmp, outputs.edge_span, shared=shared)
        except (ValueError, RecursionError):
            raise DamagedCache("the graph assembled from the cache is not valid JSON") from None
        return {"version": 1, "generation": generation, "nodes": nodes, "edges": edge_list}

    def check_graph() -> None:
        # Text spliced from the cache must parse, whether or not the graph is read whole.
        try:
            outputs.check_graph()
        except (ValueError, RecursionError):
            raise DamagedCache("the graph assembled from the cache is not valid JSON") from None

    # Each record again, packed small, for queries that read only the files they show.
    records = StoredRecords(outputs)
    try:
        placed = publish(
            data_dir,
            outputs,
            files,
            graph_of,
            prepared,
            sources_seen,
            walked_ns,
            PackedRecords(records),
            doc_key,
            kept,
            _GraphStream(outputs, generation, aside=jobs > 1),
            rebuild=rebuild,
            change=change,
            old_docs=old_docs,
        )
    finally:
        records.close()
    record_identities(data_dir, generation, manifest, placed, written=written)
    _keep_walk(cache, walk, current if sources is walk.files else None)
    _commit_cache(cache, stats)

    stats.seconds = time.perf_counter() - started
    return stats


def _is_field(value) -> bool:
    """Whether `value` is a text field's term weights, as a key spells them."""
    return type(value) is dict and all(type(weight) in (float, int) for weight in value.values())


def _restamped(cache) -> set | None:
    """The files taken over whose stamp moved since the outputs were
    written (a touch): by this run, and by runs since that changed nothing
    else and kept their new stamps in the cache alone.  None when that is
    not known."""
    since = cache.run.get("restamped", [])
    if not (isinstance(since, list) and all(isinstance(path, str) for path in since)):
        return None
    return set(since).union(cache.restamped)


def _sources_changed(current: set, reused: set, previous: set) -> set:
    """The files added, removed or read anew (`previous`: the last run's
    files, read without their stamps): beyond what an update takes,
    the search index is built a file at a time rather than the whole graph
    parsed only to find the update will not do (files re-resolved because
    a file they import changed keep their documents: those the update takes)."""
    return (current - reused) | (previous - current)


def _write_outputs(root, data_dir, cache, texts, paths, parsed, check, edges, generation, kept, place_graph=True, count_only=False):
    """The store and the graph staged, and the last run's layout (None when
    not usable): the blocks of the `kept` files (their texts and edges the
    last run's) copied from the files the last run placed when these are
    proved to be the ones its layout describes, and only the other files'
    blocks made; else written whole.  Unless `place_graph`, the graph is
    staged only to be read (never placed): its blocks merely counted
    when the run splices (see `writer.write_outputs`), else written whole."""
    mode = "file" if place_graph else "counted" if count_only else "scratch"
    previous = _previous(root, data_dir, cache, paths, kept, mode) if mode != "scratch" else None
    if previous is not None:
        try:
            return write_outputs(data_dir, paths, parsed, texts, check, edges, generation, previous, mode), previous[0]
        except StaleLayout:
            pass
        finally:
            previous[1].close()
    return write_outputs(data_dir, paths, parsed, texts, check, edges, generation, graph=mode), None


def _previous(root, data_dir, cache, paths, kept, mode="file"):
    """(layout, open files, pieces) for `write_outputs` to copy from, or
    None: no usable layout, or so many changes that writing whole is
    cheaper than holding the changed files' blocks."""
    layout = Layout.unpack(cache.db.layout()) if not cache.db.fresh else None
    if layout is None or layout.generation != cache.run.get("generation"):
        return None
    pieces = plan_pieces(layout.paths, paths, kept)
    if sum(1 for piece in pieces if piece[0] == "new") > max(len(paths) // SPLICE_SHARE, 1):
        return None
    files = PreviousFiles.open(root, data_dir, layout, FILES if mode == "file" else (SUMMARIES_NAME,))
    return None if files is None else (layout, files, pieces)


class _GraphStream:
    """The staged graph read back a file's share at a time, as often as
    asked (`full_build.shares`); text from the cache that does not parse
    raises DamagedCache."""

    def __init__(self, outputs, generation: str, aside: bool):
        self._outputs = outputs
        self.top = {"version": 1, "generation": generation, "nodes": [], "edges": []}
        # A second core at hand gathers the postings (`postings_aside`).
        self.aside = aside

    def shares(self):
        self._outputs.need_graph()
        path, layout = self._outputs.graph.tmp, self._outputs.layout
        spans = [layout.run(section, 0, len(layout.paths)) for section in range(NODES, SECTIONS)]
        try:
            nodes, *sections = (iter_values(path, (offset, offset + size)) for offset, size in spans)
            yield from graph_shares(nodes, sections)
        except (ValueError, RecursionError):
            raise DamagedCache("the graph assembled from the cache is not valid JSON") from None


def _figures_of_run(stats: IndexStats, run: dict) -> None:
    for name in ("files", "functions", "methods", "classes", "nodes", "edges"):
        value = run.get(name)
        setattr(stats, name, value if type(value) is int else 0)
    stats.unparsable = [tuple(item) for item in run.get("unparsable", ()) if isinstance(item, list) and len(item) == 2]
    stats.partial = [path for path in run.get("partial", ()) if isinstance(path, str)]


def _run_of(stats: IndexStats, generation: str, configs: list) -> dict:
    """What the cache keeps of a run that wrote the outputs."""
    figures = {name: getattr(stats, name) for name in ("files", "functions", "methods", "classes", "nodes", "edges")}
    return {
        "generation": generation,
        "configs": configs,
        "unparsable": stats.unparsable,
        "partial": stats.partial,
        **figures,
    }


def _keep_walk(cache, walk, walked: set | None = None) -> None:
    """The walk's state goes into the cache with the rows, each of its
    files marked when its row, as this run leaves it, cannot vouch for its
    size and time.  `walked`, when given, holds the paths of the walk's
    files: those to mark are then found among the few named, not by a
    pass over every file."""
    state = walk.state
    if state is None:
        cache.db.walk_blob = None
        return
    unvouched, settled, unsettled = walk.unvouched, cache.settled, cache.unsettled
    if walked is not None and unvouched is not None:
        state.unsettled.update(
            rel for rel in unsettled | unvouched if rel in walked and (rel in unsettled or rel not in settled)
        )
        cache.db.walk_blob = state.encode()
        return
    for source in walk.files:
        rel = source.rel
        if rel in unsettled or ((unvouched is None or rel in unvouched) and rel not in settled):
            state.unsettled.add(rel)
    cache.db.walk_blob = state.encode()


def _commit_cache(cache, stats: IndexStats) -> None:
    """Keep this run's rows.  The outputs are in place by now: a cache that
    cannot be saved only costs the next run more parsing."""
    try:
        cache.db.commit()
    except (OSError, sqlite3.Error) as exc:
        cache.db.discard()
        stats.warnings.append(f"the incremental cache could not be saved ({exc}); the next run parses more files")


def _intact(root: str, data_dir: str, run: dict, with_graph: bool = True) -> bool:
    """The data files of the run that `run` describes are all there, as
    that run wrote them (the manifest's digests), search index included,
    the graph file `with_graph` or else gone."""
    if not isinstance(run.get("edges"), int):
        return False
    if indexed_generation(root, os.path.join(data_dir, INDEX_NAME)) != run.get("generation"):
        return False  # missing, damaged, or left by another run
    manifest = read_manifest(root)
    if manifest is None or manifest.get("generation") != run.get("generation"):
        return False
    names = (SUMMARIES_NAME, GRAPH_NAME) if with_graph else (SUMMARIES_NAME,)
    if not all(isinstance(manifest["files"].get(name), dict) for name in names):
        return False
    if not with_graph and (GRAPH_NAME in manifest["files"] or os.path.lexists(os.path.join(data_dir, GRAPH_NAME))):
        return False  # a graph file to take away
    return mixed_set_problem(root, run["generation"], names) is None


def _readable(files: list, stats: IndexStats) -> list:
    """The files whose parser is installed; one warning per missing parser
    package, and its files are counted as skipped."""
    missing = {}
    for grammar in {f.grammar for f in files}:
        package = missing_package(grammar)
        if package is not None:
            missing[grammar] = package
    if not missing:
        return files
    kept = []
    left = {}
    for f in files:
        package = missing.get(f.grammar)
        if package is None:
            kept.append(f)
        else:
            left.setdefault(package, []).append(f.rel)
            stats.skipped.append((f.rel, f"no parser: {package} is not installed"))
    stats.skipped.sort()
    for package, rels in sorted(left.items()):
        stats.warnings.append(f"{counted(len(rels), 'file')} not indexed: the parser is missing (pip install {package})")
    return kept

