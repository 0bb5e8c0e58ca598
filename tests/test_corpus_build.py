"""A full build of the search index holds a file's documents from its first
pass to its second while they fit, and asks for the rest again: the index
is the same wherever that line falls."""

from random_trees import Tree, outputs
from tarnwick.indexer import index_project
from tarnwick.search import build, runs


def test_documents_held_or_read_again_make_the_same_index(tmp_path, monkeypatch):
    built = []
    # None held, the line inside the tree (with posting runs written too), all held.
    for held, run in ((0, 10**9), (60, 40), (10**9, 10**9)):
        monkeypatch.setattr(build, "HELD_POSTINGS", held)
        monkeypatch.setattr(runs, "RUN_POSTINGS", run)
        tree = Tree(tmp_path / str(held), seed=11)
        index_project(tree.root, jobs=1, full=True, progress=False)
        built.append(outputs(tree.root))
    assert built[0] == built[1] == built[2]


def test_the_sources_unbuilt_index_as_the_built_extension(tmp_path, monkeypatch):
    # Run from the sources without the extension, the Python reference
    # counts, writes and reads the documents: the same index.
    from tarnwick.search import content, documents

    built = []
    for unbuilt in (False, True):
        if unbuilt:
            monkeypatch.setattr(content, "_counter", None)
            monkeypatch.setattr(documents, "_reader", None)
            monkeypatch.setattr(documents, "_pack_line", None)
        tree = Tree(tmp_path / str(unbuilt), seed=5)
        index_project(tree.root, jobs=1, full=True, progress=False)
        built.append(outputs(tree.root))
    assert built[0] == built[1]
