"""Real change requests: the development set of commits mined from public
projects (`commit-bench`, kept beside the project's checkouts), run against
the `tarnwick` of this environment.

    .venv/bin/python bench/eval_commits.py [--bench DIR] [--compare OLD.json] [RUNNER ARGS...]

The set's own runner does the work (it clones each project's history,
switches to each case's parent commit, indexes incrementally, asks, scores
and prints per-language tables beside a plain BM25); this script finds it,
points it at the commands installed next to this interpreter and, with
`--compare`, lists the cases whose first gold file or Key Code changed
against an earlier `--json` output.  Runner arguments pass through
(`--repos koa,ky`, `--limit 5`, `--json out.json`, `--full-check`, `-v`).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_BENCH = HERE.parent.parent / "shared" / "commit-bench"


def _rows(path: str) -> dict:
    data = json.loads(Path(path).read_text(encoding="utf-8"))
    rows = data.get("cases", data) if isinstance(data, dict) else data
    return {row["id"]: row for row in rows}


def compare(old_path: str, new_path: str) -> list[str]:
    """One line per case whose first gold file's rank or Key Code differs."""
    old, new = _rows(old_path), _rows(new_path)
    lines = []
    for case, row in new.items():
        before = old.get(case)
        if before is None:
            continue
        ranks = (before.get("rank") or 99, row.get("rank") or 99)
        keys = (bool(before.get("keycode")), bool(row.get("keycode")))
        if ranks[0] != ranks[1] or keys[0] != keys[1]:
            rank = f"rank {ranks[0] if ranks[0] < 99 else '-'} -> {ranks[1] if ranks[1] < 99 else '-'}"
            key = f"keycode {'yes' if keys[0] else 'no'} -> {'yes' if keys[1] else 'no'}"
            lines.append(f"{case} [{row.get('language')}]: {rank}, {key}: {row.get('query', '')[:80]}")
    return lines


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], add_help=True)
    parser.add_argument("--bench", default=os.environ.get("COMMIT_BENCH", str(DEFAULT_BENCH)),
                        help="the commit-bench folder (default: ../shared/commit-bench beside the project)")
    parser.add_argument("--compare", help="an earlier --json output: list the cases that changed")
    args, rest = parser.parse_known_args(argv)
    runner = Path(args.bench) / "run.py"
    if not runner.is_file():
        print(f"eval_commits: no runner at {runner} (give --bench DIR)", file=sys.stderr)
        return 2
    bindir = Path(sys.executable).parent
    if not (bindir / "tarnwick").exists():
        print(f"eval_commits: no tarnwick command in {bindir} (run ./scripts/test.sh first)", file=sys.stderr)
        return 2
    out = None
    if args.compare and "--json" not in rest:
        out = tempfile.NamedTemporaryFile(prefix="eval-commits-", suffix=".json", delete=False).name
        rest += ["--json", out]
    code = subprocess.call([sys.executable, str(runner), "--bin", str(bindir), *rest])
    if args.compare and code == 0:
        new = out or rest[rest.index("--json") + 1]
        changed = compare(args.compare, new)
        print(f"\n{len(changed)} cases changed against {args.compare}:")
        print("\n".join(changed))
    if out:
        os.unlink(out)
    return code


if __name__ == "__main__":
    sys.exit(main())
