"""Which of a run's files are taken over from their cache rows, told for the
whole project in passes made in C (`map`, `compress`, `zip`): a run with
one file edited looks at every file of the project here, and a loop of
Python statements per file cost as much as reading the rows.  The rows'
columns (`cache_db.Heads`) are kept as they are, less the few files not
taken over, rather than made again a file at a time."""

from __future__ import annotations

from collections import Counter
from itertools import compress, repeat
from operator import attrgetter, eq, gt, itemgetter, not_
from typing import NamedTuple

# The fields a file without a usable row is looked up as: no language matches them.
_NO_ROW = {"language": None}

_language = itemgetter("language")


class Takeover(NamedTuple):
    """The sources to parse, in the walk's order; of the files taken over,
    their head fields in the walk's order (the unparsable ones left out),
    the shared fields with how many files have them, and the unparsable
    (path, error) and partial files; and, by path, of all files taken over
    (unparsable ones too), the digests of their search documents' text and
    their own, and the files whose links are kept."""

    todo: list
    taken: dict
    shapes: dict
    unparsable: list
    partial: list
    kept_docs: dict
    digests: dict
    links: set


def take_over(sources: list, rels: list, current: set, heads, changed: set) -> Takeover:
    """Sort `sources` (whose paths are `rels`, as a set `current`) by
    `heads` (`Cache.reuse_all`, whose columns it takes): a file is taken
    over when its row holds a head of the walk's language and it is not
    among the `changed`."""
    found = list(map(heads.fields.get, rels, repeat(_NO_ROW)))
    usable = map(eq, map(_language, found), map(attrgetter("language"), sources))
    if changed:
        usable = map(gt, usable, map(changed.__contains__, rels))  # usable and not changed
    usable = list(usable)
    todo = list(compress(sources, map(not_, usable)))
    # The rows of files gone and of those parsed again are not taken over.
    dropped = heads.fields.keys() - current
    dropped.update(map(attrgetter("rel"), todo))
    for rel in dropped:
        heads.docs.pop(rel, None)
        heads.digests.pop(rel, None)
        heads.linked.discard(rel)
    rels = list(compress(rels, usable))
    fields = list(compress(found, usable))
    # Files of the same shape share their fields: each is looked at once.
    ids = list(map(id, fields))
    distinct = dict(zip(ids, fields))
    failed = {key for key, held in distinct.items() if held["error"] is not None}
    partial = {key for key, held in distinct.items() if held["partial"]}
    unparsable, partial_files = [], []
    if failed:
        bad = list(map(failed.__contains__, ids))
        unparsable = [(rel, held["error"]) for rel, held in zip(compress(rels, bad), compress(fields, bad))]
        good = list(map(not_, bad))
        rels, fields, ids = list(compress(rels, good)), list(compress(fields, good)), list(compress(ids, good))
    if partial:
        partial_files = list(compress(rels, map(partial.__contains__, ids)))
    shapes = {key: [distinct[key], files] for key, files in Counter(ids).items()}
    return Takeover(todo, dict(zip(rels, fields)), shapes, unparsable, partial_files, heads.docs, heads.digests, heads.linked)
