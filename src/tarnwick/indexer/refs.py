"""What every resolver shares: turning a file's resolved references into
edges."""

from __future__ import annotations


def link_refs(path: str, kinds, resolve) -> None:
    """For each (refs, edge set) of `kinds`, add (path, file) for every ref
    that `resolve(path, ref)` finds in another file."""
    for refs, out in kinds:
        for ref in refs:
            target = resolve(path, ref)
            if target and target != path:
                out.add((path, target))
