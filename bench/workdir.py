"""The folder a benchmark builds its trees in: kept where `--work` says, else a temporary one."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path


@contextmanager
def work_dir(kept: str | None, prefix: str) -> Iterator[Path]:
    if kept:
        os.makedirs(kept, exist_ok=True)
        yield Path(kept).resolve()
        return
    with tempfile.TemporaryDirectory(prefix=prefix) as work:
        yield Path(work)
