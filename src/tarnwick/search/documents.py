"""The searchable documents: one per file and one per symbol.

Each document is a map from term to weight, the weight being the sum over
its fields of (occurrences x field weight), so a single BM25 over these
counts ranks fields by importance.  Documents are built in the indexer's
workers from what they parse (names, parameters, docstring first lines, the
attributes and keyword arguments used in a body), or, without a search
index, from the graph alone (paths, summaries, symbol names).
"""

from __future__ import annotations

import json
import posixpath
from itertools import chain

from .tokens import add_text, identifier_terms
from .weights import DEFAULT_WEIGHTS, RankingWeights

try:
    from .._words import DocumentReader, pack_documents as _pack_line
except ImportError:  # run from the sources, not built: JSON alone writes and reads
    DocumentReader = _pack_line = None

_TEST_DIRS = frozenset(("test", "tests", "testing", "unittests", "test_suite", "testsuite", "__tests__"))


_EXAMPLE_DIRS = frozenset((
    "example", "examples", "demo", "demos", "sample", "samples", "doc", "docs", "docs_src",
    "documentation", "tutorial", "tutorials", "benchmark", "benchmarks", "bench",
))


def is_example_path(path: str) -> bool:
    """True for files under a folder of examples, demos, documentation
    sources or benchmarks: they use a project's names as much as its own
    code does, but are seldom what a question about it means."""
    return any(part in _EXAMPLE_DIRS for part in path.lower().split("/")[:-1])


def _is_test_module(name: str) -> bool:
    parts = name.split(".")
    stem = name.rsplit(".", 1)[0]
    if len(parts) > 2 and parts[-2] in ("test", "spec"):  # JavaScript's app.test.ts, app.spec.js
        return True
    return stem.startswith("test_") or stem.endswith(("_test", "_tests")) or stem in ("conftest", "tests", "test")


def _test_folder(parts: list) -> str | None:
    """The outermost test folder above a path's file ("pkg/tests"), if any."""
    for i, part in enumerate(parts[:-1]):
        if part in _TEST_DIRS:
            return "/".join(parts[: i + 1])
    return None


def _holds_tests_only(folder: str) -> bool:
    """A test folder at the project's root, or a `__tests__` folder, holds
    tests whatever they define: JavaScript suites call `test(...)` and
    `it(...)` rather than defining test functions.  Inside a package, a
    test folder may be the package's own test client."""
    return "/" not in folder or folder.endswith("__tests__")


def _defines_a_test(symbol: str) -> bool:
    own = symbol.rpartition(".")[2]
    return own.startswith("test") and own != "testing" or own.endswith(("Test", "Tests"))


def find_tests(files) -> set:
    """The test files among ``files``, pairs of (path, names it defines):
    test modules, and the files under a test folder that holds tests (a
    test module, or a file defining ``test_x`` or a ``...Tests`` class).
    A test folder without any, such as a package's own test clients and
    runners, is code like any other."""
    suites = set()
    under = []
    out = set()
    for path, defined in files:
        parts = path.lower().split("/")
        folder = _test_folder(parts)
        if _is_test_module(parts[-1]):
            out.add(path)
            if folder is not None:
                suites.add(folder)
        elif folder is not None:
            under.append((path, folder))
            if _holds_tests_only(folder) or any(_defines_a_test(symbol) for symbol in defined):
                suites.add(folder)
    out.update(path for path, folder in under if folder in suites)
    return out


def test_evidence(defined) -> list:
    """The first of the names a file defines that tells a test, if any:
    all that `find_tests` needs of them."""
    return next(([name] for name in defined if _defines_a_test(name)), [])


def file_terms(path: str, summary, defined=(), weights: RankingWeights = DEFAULT_WEIGHTS) -> dict:
    """The document of one file: its path, summary and defined names."""
    doc: dict = {}
    folder, name = posixpath.split(path)
    add_text(doc, name.rsplit(".", 1)[0] if "." in name else name, weights.file_name, prose=False)
    add_text(doc, folder, weights.folder, prose=False)
    add_text(doc, summary, weights.summary)
    _add_names(doc, (part for symbol in defined for part in symbol.split(".")), weights.defined)
    return doc


def _add_names(doc: dict, names, weight: float) -> None:
    get = doc.get
    for name in names:
        for term in identifier_terms(name):
            doc[term] = get(term, 0.0) + weight


def symbol_terms(
    path: str, name: str, params=(), doc_line="", body=(), weights: RankingWeights = DEFAULT_WEIGHTS
) -> dict:
    """The document of one symbol (``name`` is ``Class.method`` for a method)."""
    doc: dict = {}
    owner, _, own = name.rpartition(".")
    add_text(doc, own, weights.name, prose=False)
    if owner:
        add_text(doc, owner, weights.owner, prose=False)
    _add_names(doc, params, weights.param)
    add_text(doc, doc_line, weights.doc)
    _add_names(doc, body, weights.body)
    file_name = posixpath.basename(path)
    add_text(doc, file_name.rsplit(".", 1)[0], weights.home, prose=False)
    return doc


# Reads the documents' lines of a run's files, keeping their terms as str.
_reader = DocumentReader() if DocumentReader is not None else None


def pack_documents(docs: list, encode) -> str:
    """A file's documents as text, as they travel from a worker and wait in
    the cache: the JSON list of the distinct weights, a line break, then
    the JSON list of the documents, each mapping its terms to positions in
    the first list.  Most weights are the few values of the text field:
    each is written out once per file, not once per term, and reading a
    position costs less than reading a number written in full.  ``encode``
    gives a value's JSON text (on one line)."""
    packed = _pack_line(docs) if _pack_line is not None else None  # written in C++, as below
    if packed is None:
        return reference_pack(docs, encode)
    weights, line = packed
    return encode(weights) + "\n" + line


def reference_pack(docs: list, encode) -> str:
    """`pack_documents` in Python: for documents other than dicts of str to
    numbers, and the reference of the C++ writer."""
    weights = list(dict.fromkeys(chain.from_iterable(doc.values() for doc in docs)))
    position = {weight: i for i, weight in enumerate(weights)}
    return encode(weights) + "\n" + encode([{term: position[weight] for term, weight in doc.items()} for doc in docs])


def unpack_documents(text: str) -> list | None:
    """The documents `pack_documents` wrote as ``text``, with their weights
    as they were, or None for text of another shape (a damaged cache
    entry)."""
    head, _, body = text.partition("\n")
    try:
        weights = json.loads(head)
        if type(weights) is not list or not all(type(w) is float or type(w) is int for w in weights):
            return None
        # The plain form the packer writes is read in C++ (its terms kept
        # for the next files); anything else the JSON reader decides on.
        docs = _reader.read(body, weights) if _reader is not None else None
        if docs is None:
            # The scanner hands each position's digits to this lookup, which
            # gives the weight itself: no second pass over the documents.
            docs = json.loads(body, parse_int={str(i): weight for i, weight in enumerate(weights)}.__getitem__)
    except (ValueError, RecursionError, KeyError):  # a position that is not one of the list's
        return None
    if type(docs) is not list or not all(type(doc) is dict for doc in docs):
        return None
    return docs
