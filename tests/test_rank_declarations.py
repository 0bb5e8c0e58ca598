"""A file that only declares types counts half unless the question is about
types: its doc comments spell a feature's words, the code that does it is
elsewhere."""

import pytest

from tarnwick.search.build import corpus_from_graph, declares_only
from tarnwick.search.rank import rank
from tarnwick.search.tokens import query_terms
from tarnwick.search.weights import RankingWeights


def symbol(path, name, kind):
    return {"id": f"{path}::{name}", "kind": "symbol", "path": path, "name": name, "symbol_kind": kind,
            "line_start": 1, "line_end": 9}


def graph(declared_kinds):
    types, client = "src/types/options.ts", "src/core/client.ts"
    nodes = [
        {"id": types, "kind": "file", "path": types,
         "summary": "Options of a request: retry limit, retry delay after a timeout, retry status codes"},
        *(symbol(types, name, kind) for name, kind in zip(("RetryRequestOptions", "TimeoutOptions"), declared_kinds)),
        {"id": client, "kind": "file", "path": client, "summary": "Sends a request"},
        symbol(client, "retryRequest", "function"),
    ]
    return {"nodes": nodes, "edges": []}


def first(question, declared_kinds=("interface", "type"), weights=None):
    extra = {} if weights is None else {"weights": weights}
    corpus = corpus_from_graph(graph(declared_kinds), **extra)
    return rank(corpus, query_terms(question), 8, False, **extra)[0]["id"]


@pytest.mark.parametrize("question, declared_kinds, weights, expected", [
    # The declarations match more of the words; the code that retries comes first all the same.
    ("retry the request after a timeout", ("interface", "type"), None, "src/core/client.ts"),
    ("retry the request after a timeout", ("enum",), None, "src/core/client.ts"),
    # Without the factor, or with a function among the declarations, they lead.
    ("retry the request after a timeout", ("interface", "type"), RankingWeights(declarations_factor=1.0),
     "src/types/options.ts"),
    ("retry the request after a timeout", ("interface", "function"), None, "src/types/options.ts"),
    # A question about the types themselves.
    ("the type of the retry options after a timeout", ("interface", "type"), None, "src/types/options.ts"),
    ("which interface holds the retry delay after a timeout", ("interface", "type"), None, "src/types/options.ts"),
])
def test_a_file_of_declarations_yields_to_code_unless_types_are_asked_about(question, declared_kinds, weights,
                                                                            expected):
    assert first(question, declared_kinds, weights) == expected


@pytest.mark.parametrize("kinds, expected", [
    ((), False),  # a file without symbols declares nothing
    (("type", "interface", "enum", "struct"), True),
    (("interface", "method"), False),
    (("class",), False),  # a class holds code
])
def test_declarations_only_means_every_symbol_and_at_least_one(kinds, expected):
    assert declares_only([(symbol("a.ts", f"S{i}", kind), f"S{i}") for i, kind in enumerate(kinds)]) is expected
