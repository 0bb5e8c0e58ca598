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


@pytest.mark.parametrize(
    "error, status",
    [
        (changed.GitFailed("git diff failed: fatal"), 1),  # a ChangesError, yet not the user's doing
        (changed.ChangesError("unknown revision 'nope'"), 2),
        (settings.SettingsError(".tarnwick.toml: budget"), 2),
        (scope.ScopeError("--path: outside"), 2),
        (NotADirectoryError("not a folder: x"), 2),
        (project.UnreadableIndexError("x: cannot read"), 1),  # an OSError, yet not a bad ROOT
        (project.NoIndexError("no index"), 1),
        (graph.GraphError("graph.json", "bad"), 1),
        (store.IndexProblem("search.db: damaged"), 1),
    ],
)
def test_each_error_ends_a_command_with_its_status(error, status):
    from tarnwick.cli.status import status_of

    assert status_of(error) == status

