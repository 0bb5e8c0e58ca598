"""The project indexer: writes `.vestra/structured_summaries.json` and
`.vestra/graph.json` for a Python, TypeScript, JavaScript, Go, Java or
Rust project.

Steps: walk the project for source files (`walk`, with the ignore rules of
`ignore`), reuse what the last run learned about unchanged files (`cache`),
parse and summarise the others once each, in worker processes for larger
projects (`summarize`, one extractor per language in `extractors`), resolve
cross-file references into graph edges (`linkage`, `resolve_python` and the
other `resolve_*` modules), and write the files atomically (`output` lays
them out, `publish` places them with `tarnwick.atomic`).  `run` holds one
indexing run from start to end.
"""

from ..datadir import DATA_DIR, GRAPH_NAME, MANIFEST_NAME, SUMMARIES_NAME
from .run import IndexStats, TooMuchToIndex, index_project

__all__ = ["IndexStats", "TooMuchToIndex", "index_project", "DATA_DIR", "SUMMARIES_NAME", "GRAPH_NAME", "MANIFEST_NAME"]
