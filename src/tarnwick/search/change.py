"""What the indexer tells the search index of a new graph, so that an update
costs what changed: every file's id in graph order, the graph's counts and
top-level keys, and the shares (`compact.Share`: nodes and outgoing edges)
of the files whose share may differ from the last run's.  The graph read
back whole is asked for only when the indexer could not tell which shares
changed."""

from __future__ import annotations

from . import compact


class GraphChange:
    def __init__(self, files: list, top: dict, nodes: int, edges: int, shares: dict | None, whole, check=None) -> None:
        """``files``: every file id, in graph order; ``top``: the graph's
        top-level keys in order (values of "nodes" and "edges" aside);
        ``shares``: by file id, the shares of the files neither parsed nor
        resolved as the last run did (None: unknown, all of them may
        differ); ``whole()``: the graph, parsed from its file; ``check()``:
        parses the graph file without keeping it (raising what ``whole``
        raises for text that does not parse)."""
        self.files = files
        self.top = top
        self.nodes = nodes
        self.edges = edges
        self._shares = shares
        self._whole = whole
        self._check = check
        self._graph = None

    @classmethod
    def of_graph(cls, graph: dict) -> "GraphChange":
        """The change to ``graph`` of a project whose every share may differ."""
        nodes, edges = graph.get("nodes") or [], graph.get("edges") or []
        files = [node.get("id") for node in nodes if isinstance(node, dict) and node.get("kind") == "file"]
        return cls(files, graph, len(nodes), len(edges), None, lambda: graph)

    def graph(self) -> dict:
        if self._graph is None:
            self._graph = self._whole()
        return self._graph

    def check(self) -> None:
        """Make sure the graph file parses, when it was not parsed whole."""
        if self._graph is None and self._check is not None:
            self._check()

    @property
    def known(self) -> bool:
        """Whether the files whose shares may differ are known."""
        return self._shares is not None

    def dirty(self) -> dict | None:
        """The shares that may differ, by file id (all files' when that is
        not known), or None when the graph is not of the shape the copies
        rebuild."""
        if self._shares is not None:
            return self._shares
        return compact.shares(self.graph())
