"""Which files a run takes over from their cache rows: the passes over the
whole project must tell each file exactly as a plain loop over it does."""

from __future__ import annotations

from types import SimpleNamespace

from hypothesis import given
from hypothesis import strategies as st

from tarnwick.indexer.cache_db import Heads
from tarnwick.indexer.takeover import take_over

# Shared head fields, as rows of the same shape share them.
SHAPES = [
    {"language": "python", "error": None, "partial": False},
    {"language": "python", "error": None, "partial": True},
    {"language": "python", "error": "bad syntax", "partial": False},
    {"language": "go", "error": None, "partial": False},
    {"language": "go", "error": "too deep", "partial": True},
]


def _heads(rows: dict) -> Heads:
    # The columns `CacheDB.heads` reads, of rows given as path -> (fields, linked, docs, digest).
    return Heads(
        {path: row[0] for path, row in rows.items()},
        {path for path, row in rows.items() if row[1]},
        {path: row[2] for path, row in rows.items()},
        {path: row[3] for path, row in rows.items()},
    )


def _expected(sources, heads, changed):
    # The loop a run made per file before.
    todo, taken, kept_docs, digests, links, counts, unparsable, partial = [], {}, {}, {}, set(), {}, [], []
    for source in sources:
        reused = heads.get(source.rel)
        if reused is None or source.rel in changed or reused[0]["language"] != source.language:
            todo.append(source)
            continue
        fields, linked, kept_docs[source.rel], digests[source.rel] = reused
        if linked:
            links.add(source.rel)
        if fields["error"] is not None:
            unparsable.append((source.rel, fields["error"]))
            continue
        taken[source.rel] = fields
        if fields["partial"]:
            partial.append(source.rel)
        counts[id(fields)] = counts.get(id(fields), 0) + 1
    return todo, taken, kept_docs, digests, links, counts, unparsable, partial


files = st.lists(
    st.tuples(
        st.sampled_from(["python", "go"]),  # the walk's language
        st.one_of(st.none(), st.integers(0, len(SHAPES) - 1)),  # its row's shape, or no row
        st.booleans(),  # links kept
        st.booleans(),  # changed
    ),
    max_size=30,
)


@given(files, st.integers(0, 3))
def test_every_file_is_told_as_a_loop_over_it_tells_it(described, gone):
    sources = [SimpleNamespace(rel=f"f{n:02}", language=language) for n, (language, *_) in enumerate(described)]
    heads = {
        f"f{n:02}": (SHAPES[shape], linked, bytes([n]), f"digest{n}")
        for n, (_, shape, linked, _) in enumerate(described)
        if shape is not None
    }
    # Rows of files the walk no longer finds are never taken over.
    heads.update((f"gone{n}", (SHAPES[0], True, b"", "x")) for n in range(gone))
    # The rows come in their own order, not the walk's.
    heads = dict(reversed(heads.items()))
    changed = {f"f{n:02}" for n, (*_, edited) in enumerate(described) if edited}
    rels = [source.rel for source in sources]
    got = take_over(sources, rels, set(rels), _heads(heads), changed)
    todo, taken, kept_docs, digests, links, counts, unparsable, partial = _expected(sources, heads, changed)
    assert got.todo == todo
    # In the walk's order, as the loop made them.
    assert list(got.taken.items()) == list(taken.items())
    assert got.kept_docs == kept_docs and got.digests == digests
    assert got.links == links
    assert got.unparsable == unparsable and got.partial == partial
    assert {key: (fields, files) for key, (fields, files) in ((k, tuple(v)) for k, v in got.shapes.items())} == {
        key: (next(f for f in SHAPES if id(f) == key), files) for key, files in counts.items()
    }


def test_a_project_of_one_shape_without_a_change_is_taken_over_whole():
    sources = [SimpleNamespace(rel=f"f{n}", language="python") for n in range(5)]
    heads = {source.rel: (SHAPES[0], False, b"d", "h") for source in sources}
    rels = [source.rel for source in sources]
    got = take_over(sources, rels, set(rels), _heads(heads), set())
    assert got.todo == [] and list(got.taken) == [source.rel for source in sources]
    assert list(got.shapes.values()) == [[SHAPES[0], 5]] and got.links == set()
