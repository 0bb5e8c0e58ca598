"""`tarnwick search` output: one line per match, `path:first-last  kind
name  score`, which editors and terminals open at the line."""

from __future__ import annotations

from .printable import shown


def format_ranking(ranked: list[dict]) -> str:
    """Files best first; each file's matching symbols as lines of their own
    (one-based line ranges), a file without one as `path  file  -  score`."""
    rows = []
    for entry in ranked:
        symbols = entry["symbols"]
        if not symbols:
            rows.append((shown(entry["path"]), "file", "-", entry["score"]))
        for symbol in symbols:
            first, last = symbol["lines"]
            kind = shown(symbol["kind"] or "symbol")
            rows.append((f"{shown(entry['path'])}:{first}-{last}", kind, shown(symbol["name"]), symbol["score"]))
    if not rows:
        return ""
    where = max(len(row[0]) for row in rows)
    kind = max(len(row[1]) for row in rows)
    return "".join(f"{at:<{where}}  {k:<{kind}}  {name}  {score:.2f}\n" for at, k, name, score in rows)
