"""Reading a project's own settings files (.gitignore, tsconfig.json,
go.mod, Cargo.toml) safely: a hostile tree may put a FIFO, a device or a
link to a huge file outside the project where one is expected."""

from __future__ import annotations

import os

from ..datadir import is_inside, read_regular

SETTINGS_LIMIT = 1 << 20


def read_settings(root: str, rel: str) -> str | None:
    """The text of `rel` under `root` when it is a regular file inside the
    project of at most 1 MiB, else None."""
    path = os.path.join(root, rel)
    if not is_inside(path, root):
        return None
    try:
        return read_regular(path, SETTINGS_LIMIT).decode("utf-8", "replace")
    except OSError:
        return None
