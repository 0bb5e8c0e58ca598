"""The errors a caller tells apart: one base, and the builtin bases that
`except` clauses written before it still rely on."""

from __future__ import annotations

import pytest

from tarnwick import changed, context, errors, graph, project, scope, settings, vx
from tarnwick.search import store


@pytest.mark.parametrize(
    "error, old_base",
    [
        (project.NoIndexError("no index"), LookupError),
        (context.UnreadableIndexError("x: cannot read"), OSError),
        (vx.GraphError("graph.json", "not valid JSON"), ValueError),
        (context.DamagedIndexError("summaries.json: record 1"), ValueError),
        (store.IndexProblem("search.db: damaged"), Exception),
        (errors.IndexVersionError("search.db: written by another version"), store.IndexProblem),
        (settings.SettingsError(".tarnwick.toml: budget"), ValueError),
        (scope.ScopeError("--path: outside"), ValueError),
        (changed.ChangesError("unknown revision 'x'"), ValueError),
    ],
)
def test_every_error_has_one_base_and_keeps_its_old_one(error, old_base):
    assert isinstance(error, errors.TarnwickError)
    assert isinstance(error, old_base)
    assert "\n" not in str(error)


def test_a_graph_error_keeps_its_parts_and_stays_one_line():
    error = graph.GraphError("a\nb.json", "bad")
    assert (error.path.name, error.reason, str(error)) == ("a\nb.json", "bad", "a\\nb.json: bad")
