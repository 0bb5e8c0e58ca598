"""Every knob of the ranking, in one record.

`RankingWeights` is passed to the functions that rank (a default stands in
when none is given), so a benchmark can sweep one knob and a test can set
one without touching module globals.  Document weights shape the search
index as it is written: changing them needs a new index to take effect on
disk, and acts at once on a corpus built in memory.
"""

from __future__ import annotations

__all__ = ["DEFAULT_WEIGHTS", "RankingWeights"]


class RankingWeights:
    """The defaults below, with any of them replaced by keyword:
    ``RankingWeights(exact=2.0)``.  Read-only once made.

    A plain class: every query process imports it, and a dataclass or a
    named tuple of this many fields costs more to create than the rest of
    the module, the dataclasses module more than the query's graph load."""

    # File documents: where a term is found in a file.
    file_name: float = 3.0  # the file's own name ("encoder" in json/encoder.py)
    folder: float = 1.5  # the folders above it
    summary: float = 1.0  # the module docstring's first line
    defined: float = 0.5  # names of the classes and functions it defines
    # Symbol documents: where a term is found in a symbol.
    name: float = 3.0  # the symbol's own name (the method part of Class.method)
    owner: float = 1.0  # the class of a method
    param: float = 1.0  # parameter names
    doc: float = 1.0  # the docstring's first line
    body: float = 0.3  # attributes, keyword arguments and calls in the body
    home: float = 0.5  # the name of the file that holds it
    # The words of the source text (`content`: comments, literals, every name),
    # each distinct word at (1 + ln count) times these.
    file_text: float = 0.2
    symbol_text: float = 0.2
    # The messages of past commits that touched a file (`indexer.history`).
    history: float = 0.3
    # A compound term ("readfile") gives its words at least this share of its weight.
    compound_share: float = 0.5

    # BM25 and the import prior.
    bm25_k1: float = 1.2
    bm25_b: float = 0.75
    # Files imported by many others are a little more likely to be what a question is about.
    prior: float = 0.08

    # Question terms.
    weak: float = 0.3  # a word that says little about code ("use", "value")
    exact: float = 2.5  # an identifier spelled as code, whole
    joined: float = 0.6  # two neighbouring words joined ("read file" as "readfile")
    short_form: float = 0.5  # the short form code uses ("max" for "maximum")

    # Files: their own score plus shares of their two best symbols, then factors.
    best_symbol_share: float = 0.6
    second_symbol_share: float = 0.25
    test_factor: float = 0.3  # a test file, when the question is not about tests
    non_test_factor: float = 0.5  # any other file, when the question asks for tests
    example_factor: float = 0.5  # examples, demos, documentation, benchmarks, unless named
    declarations_factor: float = 0.5  # a file of type declarations only, unless types are asked about
    symbols_per_file: int = 8
    # Files past the first `kept_files` scoring under `tail_floor` of the best
    # are left out: they only push the code that answers out of the budget.
    kept_files: int = 5
    tail_floor: float = 0.3

    # Matches scoring below this share of a file's best are not put first.
    relative_floor: float = 0.4
    # A class longer than this (a quarter of the excerpt lines) is shown through
    # its matching methods rather than from its first line.
    small_class_lines: int = 20

    def __init__(self, **changes) -> None:
        for name, value in changes.items():
            if name not in RankingWeights.__annotations__:
                raise TypeError(f"RankingWeights has no weight {name!r}")
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value) -> None:
        raise AttributeError("RankingWeights is read-only: make another with the changed weights")

    def __repr__(self) -> str:
        changed = ", ".join(f"{name}={value!r}" for name, value in vars(self).items())
        return f"RankingWeights({changed})"


DEFAULT_WEIGHTS = RankingWeights()
