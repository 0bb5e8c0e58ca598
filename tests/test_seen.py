"""The stamps handed to the search index are looked up a file at a time,
by bisection over the run's sorted paths or by a table, alike."""

from __future__ import annotations

import pytest

from tarnwick.indexer.seen import SourcesSeen
from tarnwick.indexer.walk import SourceFile


def _source(rel: str, size: int) -> SourceFile:
    return SourceFile(rel, "/p/" + rel, size, size * 10, size * 20, "python", "python")


SOURCES = [_source(rel, size) for size, rel in enumerate(["a.py", "b/c.py", "b/d.py", "e.py"], 1)]
PATHS = [source.rel for source in SOURCES]
DIGESTS = {"b/c.py": "c1", "e.py": "e1"}


@pytest.fixture(params=["bisected", "table"])
def seen(request):
    return SourcesSeen(SOURCES, DIGESTS, PATHS if request.param == "bisected" else None)


@pytest.mark.parametrize(
    "path, expected",
    [
        ("a.py", (1, 10, None)),  # the first, with no digest
        ("b/c.py", (2, 20, "c1")),
        ("e.py", (4, 40, "e1")),  # the last
        ("0.py", KeyError),  # before the first
        ("b/cc.py", KeyError),  # between two
        ("f.py", KeyError),  # after the last
        ("", KeyError),
        (3, KeyError),  # not a path at all
    ],
)
def test_a_file_is_found_by_its_path_or_not_at_all(seen, path, expected):
    if expected is KeyError:
        assert path not in seen
        assert seen.get(path) is None
        with pytest.raises(KeyError):
            seen[path]
    else:
        assert path in seen
        assert seen[path] == expected


def test_the_files_are_those_of_the_walk_in_its_order(seen):
    assert list(seen) == PATHS
    assert len(seen) == len(SOURCES)
