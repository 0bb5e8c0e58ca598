"""Postings written out in runs while a full build adds documents, so the
indexing process never holds the postings of the whole project.

A run is the postings of the files added since the last one, one row per
term, in a scratch database beside the index (a temporary of `atomic`, so a
killed run's is swept).  Files are added in number order, so a term's
postings are its runs' arrays laid end to end, read back term by term in
the order of the `terms` table.
"""

from __future__ import annotations

from array import array

from ..atomic import remove_temporary
from .store import from_sql_text, open_for_writing, to_sql_text

# Postings held in memory before they are written out as a run: a few tens
# of MiB of arrays and the dict that holds them.
RUN_POSTINGS = 2_000_000


class PostingRuns:
    """The scratch database of one build's runs (SQLite's errors are the
    caller's to report)."""

    def __init__(self, path: str) -> None:
        from ..atomic import new_temporary

        self.path = new_temporary(path)
        self.runs = 0
        try:
            self.db = open_for_writing(self.path)
            self.db.execute(
                "CREATE TABLE runs(term, run INTEGER, files BLOB, file_weights BLOB, symbols BLOB, symbol_weights BLOB)"
            )
        except BaseException:
            self.close()
            raise

    def write(self, postings: dict) -> None:
        """Write ``postings`` (term -> the four arrays) as the next run."""
        run = self.runs
        self.db.execute("BEGIN")
        self.db.executemany(
            "INSERT INTO runs VALUES (?, ?, ?, ?, ?, ?)",
            ((to_sql_text(term), run, *(a.tobytes() for a in entry)) for term, entry in postings.items()),
        )
        self.db.execute("COMMIT")
        self.runs += 1

    def write_rows(self, rows) -> None:
        """Write ``rows`` (term and the bytes of its four arrays) as the next run."""
        run = self.runs
        self.db.execute("BEGIN")
        self.db.executemany(
            "INSERT INTO runs VALUES (?, ?, ?, ?, ?, ?)", ((to_sql_text(term), run, *blobs) for term, *blobs in rows)
        )
        self.db.execute("COMMIT")
        self.runs += 1

    def merged(self):
        """(term, [file numbers, weights, symbol numbers, weights]) of every
        term written, one term at a time, in the order SQLite sorts them."""
        self.db.execute("CREATE INDEX runs_order ON runs(term, run)")
        current, entry = None, None
        for term, *blobs in self.db.execute(
            "SELECT term, files, file_weights, symbols, symbol_weights FROM runs ORDER BY term, run"
        ):
            if entry is None or term != current:
                if entry is not None:
                    yield from_sql_text(current), entry
                current, entry = term, [array("I"), array("f"), array("I"), array("f")]
            for values, blob in zip(entry, blobs):
                values.frombytes(blob)
        if entry is not None:
            yield from_sql_text(current), entry

    def close(self) -> None:
        db = getattr(self, "db", None)
        if db is not None:
            db.close()
            self.db = None
        remove_temporary(self.path)
