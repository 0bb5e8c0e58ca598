"""The retrieval module the packer imports: ``load_graph``, ``retrieve`` and
``classify_intent``, with the names around them that callers use.

A facade over the rooms that do the work:

- `tarnwick.project`: which project (``set_project``, ``project``,
  ``project_root``, the search order) and, for the packer's pipeline, whose
  results hold no more than the packer reads, the remarks gathered on the
  way (``take_notes``);
- `tarnwick.graph`: ``load_graph``, its checks (``GraphError``) and the
  deferred graph of a one-query process (``defer_next_graph``);
- `tarnwick.retrieve`: ``retrieve`` and ``classify_intent``;
- `tarnwick.search`: the ranking itself (documents, BM25, the search index
  on disk) and the tokeniser (``tokenize``, ``stem``).

It uses the standard library only.
"""

from __future__ import annotations

from .graph import GraphError, defer_next_graph, load_graph
from .project import ENV_VAR, GRAPH_RELPATH, graph_path, project, project_root, set_project, take_notes
from .retrieve import classify_intent, retrieve
from .search.tokens import STOP_WORDS, stem, tokenize, words

__all__ = [
    "ENV_VAR",
    "GRAPH_RELPATH",
    "GraphError",
    "STOP_WORDS",
    "classify_intent",
    "defer_next_graph",
    "graph_path",
    "load_graph",
    "project",
    "project_root",
    "retrieve",
    "set_project",
    "stem",
    "take_notes",
    "tokenize",
]

_words = words  # the name the tests and older callers know
