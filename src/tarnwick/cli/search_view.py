"""`tarnwick search` output: ranked files and the symbols inside them, for a
person at a terminal."""

from __future__ import annotations

def format_ranking(ranked: list[dict]) -> str:
    """One line per file (rank, score, path), then one indented line per symbol
    (score, one-based line range, kind, name)."""
    lines = []
    for rank, entry in enumerate(ranked, 1):
        lines.append(f"{rank:>2}. {entry['path']}  ({entry['score']:.2f})")
        for symbol in entry["symbols"]:
            first, last = symbol["lines"]
            lines.append(
                f"      {symbol['score']:>5.2f}  {f'{first}-{last}':>11}  {symbol['kind'] or '':<8}  {symbol['name']}"
            )
    return "".join(line + "\n" for line in lines)
