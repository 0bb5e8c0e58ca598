"""The ``context-packer`` console command: ``context-packer "QUERY" [ROOT]``.

Points the graph loader at the same project the packer reads (ROOT, or the
current directory when ROOT is absent), then runs the packer's own
command-line entry.  A graph file that cannot be used is reported as one
line on standard error with exit status 2 instead of a traceback.
"""

from __future__ import annotations

import sys
from pathlib import Path

from tarnwick import vx


def main() -> None:
    argv = sys.argv
    if len(argv) >= 2:
        # The packer reads summaries and sources under this root; the graph
        # must come from the same project.
        root = Path(argv[2]) if len(argv) > 2 else Path(".")
        vx.set_project(root.resolve())
    try:
        # Imported here so this module loads even where the extension is
        # not built.
        from tarnwick import context_packer

        context_packer.main()
    except vx.GraphError as exc:
        print(f"context-packer: error: {exc}", file=sys.stderr)
        raise SystemExit(2) from None


if __name__ == "__main__":
    main()
