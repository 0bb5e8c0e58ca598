"""The summary records of the few files a query packs, from the search index.

The summary store is one JSON document of every file's record; parsing it
costs more than all the rest of a query on a large project, and grows with
it.  The search index keeps each file's record too (its `records` table),
so `tarnwick context` and `tarnwick search` read only the records of the
files they show: what they cost then follows what they return.  The
records are the store's own text, so the block is the same either way.

Used only when the search index belongs to the graph the query ranked (the
same generation); otherwise, or when the index cannot give the records,
the caller parses the store as before.  `context-packer` and
`load_summaries` always parse the store.

The records decoded from an open index are kept with it, for as long as
the process keeps the index (while its file is unchanged): a server asked
about the same files again decodes them once.  They are shared by the
answers, which copy what they change.

Light at import: the query path uses it.
"""

from __future__ import annotations

import json
from pathlib import Path

# Per open search index (its `kept_records`), number -> the file's record (None: it has
# none), first read first.
KEPT_RECORDS = 512


def records_for(root: Path, graph: dict, paths) -> dict | None:
    """{path: record} of the files `paths` that have a summary record, read
    from the search index of `graph`; None when that index cannot tell."""
    from .graph import open_search_index

    index = open_search_index(Path(root))[0]
    if index is None or not isinstance(graph, dict) or index.meta.get("generation") != graph.get("generation"):
        return None
    numbers = {}
    for path in paths:
        if not isinstance(path, str):
            continue
        try:
            numbers[index.file_numbers([path])[0]] = path
        except ValueError:
            continue  # not a file of the index: it has no record either
    kept = index.kept_records
    unread = [number for number in numbers if number not in kept]
    try:
        texts = index.summary_records(unread) if unread else {}
        decoded = {number: json.loads(texts[number]) if number in texts else None for number in unread}
    except Exception:  # damaged or planted: the store is the authority
        return None
    kept.update(decoded)
    found = {numbers[number]: kept[number] for number in sorted(numbers) if kept[number] is not None}
    while len(kept) > KEPT_RECORDS:
        del kept[next(iter(kept))]
    return found
