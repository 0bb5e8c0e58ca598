"""The per-query view of the summary store, behind `tarnwick context`.

The packer excerpts the first three entries of each chosen file's "functions"
map (Key Code) and lists them (Recommended Reads); the store keeps that map
in source order, whatever the question.  `focus_summaries` hands it a view in
which each chosen file's map starts with the functions, methods (as
``Class.method``, with their own lines) and classes that match the question,
without the entries an excerpt already shows.  The stored records are never
changed.

The matches are the retrieval result's per-file ``"symbols"``; a result
without them (one made by another retrieval step) gets the graph's symbol
nodes of the chosen files ranked as retrieval ranks symbols, with the
search package's documents and scores (`match_symbols`).  The question's
terms are retrieval's too (`search.tokens.query_terms`).
"""

from __future__ import annotations

import itertools
from collections.abc import Callable

from .search.corpus import DECLARATION_KINDS
from .search.rank import TYPE_TERMS
from .search.tokens import query_terms
from .search.weights import DEFAULT_WEIGHTS, RankingWeights
from .windows import LONG_LINES, Source, best_window, source_lines

__all__ = ["base_file", "focus_summaries", "line_range", "match_symbols", "strong_matches", "symbol_matches"]

TOP_FILES = 8  # the files the packer considers (its max_files)
# The packer excerpts the first three entries of a file's "functions" map,
# in source order, within 80 lines.
PICKS_PER_FILE = 3
EXCERPT_LINES = 80
# A weaker match shown beside the best in fewer lines than this is left out.
MIN_EXCERPT_LINES = 8
# A function is one piece of behaviour: when it matches best it is shown
# itself (through the window that answers, when long), never replaced by an
# inner function of it as a class is by its methods.
FUNCTION_KINDS = frozenset(("function", "method"))

def line_range(record: dict) -> tuple[int, int] | None:
    """A record's ("line_start", "line_end"), 0-based and inclusive, or None
    when they are not a usable range."""
    start, end = record.get("line_start"), record.get("line_end")
    if type(start) is int and type(end) is int and 0 <= start <= end:
        return start, end
    return None


def _symbol_nodes(nodes: list, paths: list[str]) -> dict[str, list[dict]]:
    """The symbol nodes of the files in ``paths``, per file, in graph order."""
    found: dict[str, list[dict]] = {path: [] for path in paths}
    try:
        # A graph has tens of thousands of nodes and only a few hundred are
        # wanted: select them without a Python-level step per node.
        near = itertools.compress(nodes, map(found.__contains__, map(dict.get, nodes, itertools.repeat("path"))))
        near = list(near)
    except TypeError:  # a node that is not a dict, or an unhashable path
        near = [n for n in nodes if isinstance(n, dict) and isinstance(n.get("path"), str)]
    for node in near:
        if node.get("kind") == "symbol":
            symbols = found.get(node.get("path"))
            if symbols is not None:
                symbols.append(node)
    return found


def _description(record: object, name: str, kind: object) -> str:
    if not isinstance(record, dict):
        return ""
    members = record.get("classes" if kind == "class" else "functions")
    info = members.get(name) if isinstance(members, dict) else None
    description = info.get("description") if isinstance(info, dict) else None
    return description if isinstance(description, str) else ""


def match_symbols(
    terms: dict, files: dict[str, list[dict]], records: dict, weights: RankingWeights = DEFAULT_WEIGHTS
) -> dict[str, list[dict]]:
    """Rank the symbol nodes of a few files against the question's weighted
    ``terms`` (`query_terms`) as retrieval ranks symbols: ``files`` maps a
    path to its symbol nodes, ``records`` a path to its summary record,
    whose descriptions count as docstrings.  Returns per path the matches
    best first, in the shape of the retrieval result's per-file "symbols"."""
    if not terms:
        return {path: [] for path in files}
    # Only a result without retrieval's symbols comes here: the corpus
    # builder stays unloaded on the usual road.
    from .search.build import symbol_corpus
    from .search.rank import rank_symbols

    described = {
        path: [(node, _description(records.get(path), node.get("name"), node.get("symbol_kind"))) for node in nodes]
        for path, nodes in files.items()
    }
    return rank_symbols(symbol_corpus(described, weights), terms, weights)


# --------------------------------------------------------------------------
# The per-query view of the summary store


def _function_lines(info: object) -> tuple[int, int] | None:
    lines = info.get("lines") if isinstance(info, dict) else None
    if isinstance(lines, list) and len(lines) == 2:
        return line_range({"line_start": lines[0], "line_end": lines[1]})
    return None


def _inside(inner: tuple[int, int], outer: tuple[int, int]) -> bool:
    return outer[0] <= inner[0] and inner[1] <= outer[1]


def _overlaps(a: tuple[int, int], b: tuple[int, int]) -> bool:
    return a[0] <= b[1] and b[0] <= a[1]


def strong_matches(matches: list, weights: RankingWeights = DEFAULT_WEIGHTS) -> list[dict]:
    """The matches that score at least ``weights.relative_floor`` of the best one."""
    scores = [m.get("score") if isinstance(m, dict) else None for m in matches]
    best = max((s for s in scores if isinstance(s, (int, float))), default=0.0)
    return [
        m
        for m, s in zip(matches, scores)
        if isinstance(m, dict) and not (isinstance(s, (int, float)) and 0 < s < best * weights.relative_floor)
    ]


def _fits(lines: tuple[int, int], taken: list[tuple[int, int]]) -> bool:
    """Whether a stored function can fill an excerpt slot without cutting the
    matches in ``taken`` short.

    The excerpts of a file are shown in source order within EXCERPT_LINES
    lines: one that starts after all others can only be cut itself, any
    other must fit in what is left.
    """
    if not taken or lines[0] > max(start for start, _ in taken):
        return True
    return sum(end - start + 1 for start, end in taken) + lines[1] - lines[0] + 1 <= EXCERPT_LINES


def _shown(spans: list[tuple[int, int]]) -> list[int]:
    """How many lines of each span the packer shows: it takes them in source
    order and cuts the one that crosses EXCERPT_LINES (and drops the rest)."""
    shown = [0] * len(spans)
    total = 0
    for i in sorted(range(len(spans)), key=lambda i: spans[i][0]):
        span = spans[i][1] - spans[i][0] + 1
        take = min(span, EXCERPT_LINES - total)
        if take <= 0:
            break
        shown[i] = take
        total += take
    return shown


def _picks(
    matches: list[dict],
    stored: dict,
    weights: RankingWeights = DEFAULT_WEIGHTS,
    source: Source | None = None,
    terms: set | None = None,
    declarations_last: bool = True,
) -> list[tuple[str, tuple[int, int], dict, dict]]:
    """The leading entries of a file's map: best matches whose lines do not
    overlap a better one's (a class and its own method never both; a large
    class gives its place to its best matching method, a function to nothing
    inside it, and an inner function is shown as part of the function around
    it; type declarations after code unless ``declarations_last`` is
    false).  A long function whose
    matching part lies past its first lines is shown from that part (its
    entry's lines are the window's, which the excerpt's header then names);
    a weaker match is left out where the packer would cut the best one short
    for it."""
    picks: list[tuple[str, tuple[int, int], dict, dict]] = []
    # Weak matches are left out: the stored functions say more.
    strong = [m for m in strong_matches(matches, weights) if line_range(m) is not None]
    if declarations_last:
        # A request is about behaviour: the code that runs goes before the
        # declarations of shapes whose doc comments spell its words.
        strong.sort(key=lambda m: m.get("symbol_kind") in DECLARATION_KINDS)
    # The file's matching functions by name: where an inner function's outer one may be found.
    known = {
        m["name"]: m
        for m in matches
        if isinstance(m, dict) and isinstance(m.get("name"), str) and m.get("symbol_kind") in FUNCTION_KINDS
    }
    for match in strong:
        if len(picks) == PICKS_PER_FILE:
            break
        match = _stand_in(match, strong, weights)
        name = match.get("name")
        lines = line_range(match)
        if not isinstance(name, str) or not name:
            continue
        # An inner function is shown as the part of its function it is.
        name, held = _enclosing(name, lines, match, known, stored)
        if any(name == n or _overlaps(held, l) for n, l, _, _ in picks):
            continue
        info = stored.get(name)
        if not isinstance(info, dict) or _function_lines(info) is None:
            # A method or class: the store keeps no record of its own.  Its
            # parameters are not recorded, which "..." says in the signature.
            info = {"params": "...", "lines": [lines[0], lines[1]]}
        window = best_window(source, lines[0], lines[1], terms) if source and terms else None
        shown = window or lines
        if window is not None or name != match.get("name"):
            info = dict(info, lines=[shown[0], shown[1]])
        spans = [_function_lines(i) or l for _, l, i, _ in picks]
        if spans and _shown([*spans, shown])[0] < _shown(spans)[0]:
            # Shown whole it would cut the best match short: its first lines
            # then, as many as leave the best whole, or nothing.
            size = _room_before_best(spans, shown)
            if size < MIN_EXCERPT_LINES:
                continue
            shown = (shown[0], shown[0] + size - 1)
            info = dict(info, lines=[shown[0], shown[1]])
        picks.append((name, held, info, match))
    return picks


def _enclosing(name: str, lines: tuple[int, int], match: dict, known: dict, stored: dict) -> tuple:
    """(name, lines) of the function an inner function ``name`` ("outer.inner")
    is declared in, when the file's stored functions or its matching
    functions (``known``, by name) hold it; else the match's own.  A closure
    is read, called and changed as part of its function: its excerpt is
    named after that one, with its own lines."""
    if match.get("symbol_kind") != "function" or "." not in name:
        return name, lines
    outer = name
    while "." in outer:
        outer = outer.rpartition(".")[0]
        around = _function_lines(stored.get(outer))
        if around is None and outer in known:
            around = line_range(known[outer])
        if around is not None and around != lines and _inside(lines, around):
            return outer, around
    return name, lines


def _stand_in(match: dict, strong: list[dict], weights: RankingWeights) -> dict:
    """The match shown in ``match``'s place: a large class (or object
    literal) whose own members match gives its place to the best of them,
    and so on down; a function stands for itself."""
    while match.get("symbol_kind") not in FUNCTION_KINDS:
        lines = line_range(match)
        if lines[1] - lines[0] < weights.small_class_lines:
            break
        # ``strong`` is best first: the first member inside is the best one.
        inner = next((m for m in strong if line_range(m) != lines and _inside(line_range(m), lines)), None)
        if inner is None:
            break
        match = inner
    return match


def _room_before_best(spans: list[tuple[int, int]], candidate: tuple[int, int]) -> int:
    """The most lines of ``candidate`` (from its first) the packer can show
    beside ``spans`` without showing fewer lines of ``spans[0]``."""
    best = _shown(spans)[0]
    size = candidate[1] - candidate[0]
    while size > 0 and _shown([*spans, (candidate[0], candidate[0] + size - 1)])[0] < best:
        size -= 1
    return size


def _class_entries(record: dict) -> list[dict]:
    classes = record.get("classes")
    entries = []
    for name, info in classes.items() if isinstance(classes, dict) else ():
        lines = _function_lines(info)
        if isinstance(name, str) and lines is not None:
            entries.append({"name": name, "symbol_kind": "class", "line_start": lines[0], "line_end": lines[1]})
    return entries


def _focused_record(
    record: dict,
    matches: list[dict],
    weights: RankingWeights = DEFAULT_WEIGHTS,
    source: Source | None = None,
    terms: set | None = None,
    declarations_last: bool = True,
) -> tuple[dict, list[dict]]:
    stored = record.get("functions")
    stored = stored if isinstance(stored, dict) else {}
    picks = _picks(matches, stored, weights, source, terms, declarations_last)
    if not picks:
        return record, []
    functions = {name: info for name, _, info, _ in picks}
    taken = [lines for _, lines, _, _ in picks]
    shown = [_function_lines(info) or lines for _, lines, info, _ in picks]
    rest = {}
    for name, info in stored.items():
        if name in functions:
            continue
        lines = _function_lines(info)
        if lines is not None and any(_inside(lines, l) for l in taken):
            continue  # already shown by a chosen excerpt
        if len(taken) < PICKS_PER_FILE and lines is not None and _fits(lines, shown):
            # Fills a free excerpt slot without cutting the matches short.
            functions[name] = info
            taken.append(lines)
            shown.append(lines)
        else:
            rest[name] = info
    # The packer excerpts the first entries whatever they are: a stored
    # function that comes up among them for want of others shows only the
    # first lines that leave the best match whole.
    for name, info in itertools.islice(rest.items(), PICKS_PER_FILE - len(taken)):
        lines = _function_lines(info)
        if lines is not None and _shown([*shown, lines])[0] < _shown(shown)[0]:
            size = max(_room_before_best(shown, lines), 1)
            rest[name] = info = dict(info, lines=[lines[0], lines[0] + size - 1])
        shown.append(_function_lines(info) or (0, 0))
    functions.update(rest)
    view = dict(record)
    view["functions"] = functions
    return view, [match for _, _, _, match in picks]


def base_file(entry: object) -> str:
    fid = entry.get("id", "") if isinstance(entry, dict) else entry
    return str(fid).split("::", 1)[0]


def symbol_matches(
    files: list,
    graph: dict | None,
    query: str,
    summaries: dict | Callable[[], dict] | None = None,
    weights: RankingWeights = DEFAULT_WEIGHTS,
) -> dict[str, list[dict]]:
    """The matching symbols of each of ``files`` (retrieval file entries), by
    base file: the entry's own "symbols" when retrieval gave them, else
    matches scored from the ``graph``'s symbol nodes (one walk for all) and
    the descriptions in ``summaries``.  A function given as ``summaries`` is
    called only then: retrieval's entries carry their symbols, and a large
    store costs more to load than the rest of a search."""
    matches: dict[str, object] = {}
    for entry in files:
        base = base_file(entry)
        if base and base not in matches:
            matches[base] = entry.get("symbols") if isinstance(entry, dict) else None
    unscored = [base for base, found in matches.items() if not isinstance(found, list)]
    if unscored:
        if callable(summaries):
            summaries = summaries()
        terms = query_terms(query, weights)
        nodes = _symbol_nodes((graph or {}).get("nodes") or (), unscored) if terms else dict.fromkeys(unscored, [])
        matches.update(match_symbols(terms, nodes, summaries or {}, weights))
    return matches


def focus_summaries(
    summaries: dict,
    files: list,
    graph: dict | None = None,
    query: str = "",
    weights: RankingWeights = DEFAULT_WEIGHTS,
    root=None,
) -> tuple[dict, dict[str, list[dict]]]:
    """Return the per-query view of ``summaries`` and the symbols put first.

    ``files`` are the retrieval result's file entries.  Each of the first
    eight that has a summary record gets a copy of it whose "functions" map
    starts with its best matches (see ``symbol_matches``).  With the
    project's ``root``, a long match is shown through the window of it that
    answers (`windows`), read from its file.  ``summaries`` itself and every
    record in it are left as they are.
    """
    chosen = [e for e in files[:TOP_FILES] if isinstance(summaries.get(base_file(e)), dict)]
    matches = symbol_matches(chosen, graph, query, summaries, weights)
    for base, found in matches.items():
        if not summaries[base].get("functions"):
            # Without a "functions" map the packer would excerpt the first
            # symbol nodes, often a class and its own methods: such a file
            # gets its classes, in source order, after its matches.
            matches[base] = list(found) + _class_entries(summaries[base])
    view = dict(summaries)
    put_first: dict[str, list[dict]] = {}
    question = set(query_terms(query, weights))
    terms = question if root is not None else set()
    declarations_last = TYPE_TERMS.isdisjoint(question)
    for base, found in matches.items():
        source = _source_if_long(root, base, found) if terms else None
        view[base], put_first[base] = _focused_record(
            summaries[base], found, weights, source, terms, declarations_last
        )
    return view, put_first


def _source_if_long(root, path: str, matches: list) -> Source | None:
    """The lines of ``path`` when one of its strong matches is long enough
    to be shown through a window, else None (nothing is read)."""
    for match in strong_matches(matches)[:PICKS_PER_FILE]:
        lines = line_range(match) if isinstance(match, dict) else None
        if lines is not None and lines[1] - lines[0] + 1 > LONG_LINES:
            return source_lines(root, path)
    return None
