"""A full build's postings gathered in a second process.

Adding each document's terms to the postings, writing them out in runs and
merging the runs is the largest share of a full build, and runs while the
indexing process reads the graph and writes each file's rows on one core.
With `PostingsAside` the documents go to a helper process as the build's
first pass reads them, before the splits of compound words are known: the
helper counts their terms' document frequencies and gathers their postings
on the other core as they come, and sets them aside in a scratch file.
Told the candidates of compounds (at the end of that pass), it works out
the splits, reads the documents back and mends the postings and lengths of
the documents that splitting changes (`amends`), while the indexing process
writes the files' rows.  They come back as the splits, each document's
length and each term's document frequency and encoded postings, in the
order of the `terms` table: what `corpus.MemoryCorpus` gathers in process,
byte for byte.

The helper is a fresh interpreter rather than a fork: a fork's copy of the
indexing process's pages would count again in the run's memory.  It talks
over its standard input and output in frames (a length, then a `marshal`
body; the indexing process's bodies lead with a tag byte); it ignores
Ctrl-C, which the indexing process handles.
"""

from __future__ import annotations

import marshal
import os
import signal
import subprocess
import sys
import tempfile
import threading
import zlib
from array import array
from collections import Counter
from itertools import chain
from types import SimpleNamespace

# Terms of documents sent at a time (a few MiB held on each side).
BATCH_TERMS = 20_000
# Encoded postings sent back at a time, in bytes.
BATCH_BYTES = 1 << 20
# The helper's postings held before a run is written: fewer than the
# indexing process would hold, as the helper's interpreter and its lengths
# come on top of what that process sheds.
HELPER_RUN_POSTINGS = 750_000
# The exit status of a helper given a weight of another type (text from a
# damaged cache): the caller reports it as the in-process build would.
BAD_WEIGHT = 3

# The helper's first frame: it runs, its scratch runs are made.
READY = "ready"
# Seconds a helper whose streams ended is given to exit.
EXIT_WAIT = 10.0
_HEADER = 8
# The tags of the indexing process's frames: a batch of files' documents,
# the candidates of compound words.
_DOCUMENTS = b"D"
_CANDIDATES = b"C"


class AsideFailed(OSError):
    """The helper stopped before it gave back all the postings."""


def _helper_command(index_path: str) -> list:
    # The helper imports this very package, wherever it was imported from.
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    code = f"import sys; sys.path.insert(0, {package_root!r}); from tarnwick.search.postings_aside import serve; serve()"
    return [sys.executable, "-c", code, index_path, str(HELPER_RUN_POSTINGS), str(BATCH_BYTES)]


def _framed(value, tag: bytes = b"") -> bytes:
    body = tag + marshal.dumps(value)
    return len(body).to_bytes(_HEADER, "little") + body


def _write_frame(stream, value) -> None:
    stream.write(_framed(value))


def _write_tagged(stream, tag: bytes, value) -> None:
    stream.write(_framed(value, tag))


def _read_exact(stream, size: int) -> bytes:
    chunks = []
    while size:
        chunk = stream.read(size)
        if not chunk:
            raise EOFError
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def _read_body(stream) -> bytes | None:
    """The next frame's body; None at the end of the stream."""
    head = stream.read(_HEADER)
    if not head:
        return None
    if len(head) < _HEADER:
        head += _read_exact(stream, _HEADER - len(head))
    return _read_exact(stream, int.from_bytes(head, "little"))


def _read_frame(stream):
    """The next frame's value; None at the end of the stream."""
    body = _read_body(stream)
    return None if body is None else marshal.loads(body)


class PostingsAside:
    """The indexing process's side: each file's documents sent as the first
    pass reads them (`add_documents`), the candidates of compound words
    once it ends (`split`), then the splits and lengths (`lengths`) and
    the terms' frequencies and encoded postings (`encoded_terms`) read back.  A helper that stops raises
    `AsideFailed` (TypeError for a weight of another type)."""

    def __init__(self, process: subprocess.Popen):
        self._process = process
        self._batch: list = []
        self._held = 0
        self._up = False

    @classmethod
    def start(cls, index_path: str) -> "PostingsAside | None":
        """A helper whose scratch files lie beside ``index_path``, starting;
        None when none can be started (the build then gathers the postings
        in process, as it does when the helper does not come up)."""
        try:
            process = subprocess.Popen(
                _helper_command(index_path), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL
            )
        except (OSError, ValueError):
            return None
        return cls(process)

    @property
    def up(self) -> bool:
        """Whether the helper is known to take the documents sent (and
        counts their terms' frequencies)."""
        return self._up

    def ready(self) -> bool:
        """Whether the helper started and can take documents (closed if not)."""
        if self._up:
            return True
        try:
            if _read_frame(self._process.stdout) == READY:
                self._up = True
                return True
        except (OSError, EOFError, ValueError, TypeError):
            pass
        self.close()
        return False

    def __enter__(self) -> "PostingsAside":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def add_documents(self, docs: list) -> bool:
        """Send a file's documents (its own, then its symbols'), before
        compound splitting; False when the helper did not come up (asked
        when the first batch is due: its start overlaps the first files),
        and nothing is sent then or later."""
        self._batch.append(docs)
        self._held += sum(map(len, docs))
        return self._held < BATCH_TERMS or self._send()

    def split(self, candidates: list, compound_share: float) -> bool:
        """Tell the helper the candidates of compound words once every
        file's documents are sent, which ends the sending: it works out the
        splits and mends the postings from now on.  False as `add_documents`."""
        if not self._send():
            return False
        try:
            _write_tagged(self._process.stdin, _CANDIDATES, (compound_share, candidates))
        except (OSError, ValueError):
            self._failed()
        self._end_sending()
        return True

    def _send(self) -> bool:
        if not self.ready():
            return False
        if self._batch:
            try:
                _write_tagged(self._process.stdin, _DOCUMENTS, self._batch)
            except (OSError, ValueError):
                self._failed()
        self._batch = []
        self._held = 0
        return True

    def _end_sending(self) -> None:
        try:
            self._process.stdin.close()
        except OSError:
            self._failed()

    def lengths(self) -> tuple[dict, array, array]:
        """The splits of compound words (none unless told the candidates)
        and every file's and symbol's document length, once all are sent."""
        if not self._process.stdin.closed:
            if not self._send():
                self._failed()
            self._end_sending()
        try:
            splits, files, symbols = self._frame()
            if type(splits) is not dict:
                raise TypeError
            return splits, array("d", files), array("d", symbols)
        except (TypeError, ValueError):
            self._failed()

    def encoded_terms(self):
        """(term, document frequency, encoded postings) of every term, in
        the index's order."""
        while True:
            batch = self._frame()
            if not batch:
                break
            yield from batch
        if self._process.wait() != 0:
            self._failed()

    def _frame(self):
        try:
            value = _read_frame(self._process.stdout)
        except (OSError, EOFError, ValueError, TypeError):
            value = None
        if value is None:
            self._failed()
        return value

    def _failed(self):
        # Its output or input ended: it is exiting, and its status says why.
        try:
            self._process.wait(timeout=EXIT_WAIT)
        except subprocess.TimeoutExpired:
            pass
        self.close()
        if self._process.returncode == BAD_WEIGHT:
            raise TypeError("a search document's weight of another type")
        raise AsideFailed(f"the postings helper stopped (exit status {self._process.returncode})")

    def close(self) -> None:
        process = self._process
        if process.poll() is None:
            process.terminate()
        process.wait()
        for stream in (process.stdin, process.stdout):
            try:
                stream.close()
            except OSError:
                pass


def serve() -> None:
    """The helper's loop: documents in, counted and gathered as they come
    (and set aside until the candidates come), splits, lengths, frequencies
    and encoded postings out."""
    from .._scoring import encode_postings
    from .amends import Amends
    from .corpus import UNCOUNTED
    from .runs import PostingRuns
    from .tokens import compound_splits

    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A terminated helper still removes its scratch runs.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    index_path, run_postings, batch_bytes = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    source, sink = sys.stdin.buffer, sys.stdout.buffer
    runs = PostingRuns(index_path)
    # Unlinked from the start: nothing is left behind, however this ends.
    aside = tempfile.TemporaryFile(dir=os.path.dirname(os.path.abspath(index_path)))
    ahead = None
    try:
        corpus = _gathered()
        corpus.spill_to(runs, run_postings)
        _write_frame(sink, READY)
        sink.flush()
        amends = None
        frequency: Counter = Counter()
        splits: dict = {}
        try:
            while (body := _read_body(source)) is not None:
                if body[:1] == _DOCUMENTS:
                    packed = zlib.compress(body[1:], 1)
                    aside.write(len(packed).to_bytes(_HEADER, "little") + packed)
                    for docs in marshal.loads(body[1:]):
                        frequency.update(chain.from_iterable(docs))
                        file_terms, *symbols = docs
                        corpus.add_file(file_terms)
                        for terms in symbols:
                            corpus.add_symbol(terms)
                        corpus.file_done()
                elif body[:1] == _CANDIDATES:
                    share, candidates = marshal.loads(body[1:])
                    frequency.pop(UNCOUNTED, None)  # a length's share, not a term
                    splits = compound_splits(frequency, candidates)
                    if splits:
                        amends = _amends(aside, Amends(splits, SimpleNamespace(compound_share=share)))
            corpus.settle()
            if amends is not None:
                amends.apply(corpus)
        except TypeError:
            sys.exit(BAD_WEIGHT)
        # The indexing process takes these only after its last pass: made
        # ahead into a scratch file meanwhile, not as it pulls them.
        ahead = _Ahead(os.path.dirname(os.path.abspath(index_path)), sink)
        ahead.frame((splits, corpus.file_length.tobytes(), corpus.symbol_length.tobytes()))
        terms = corpus.sorted_terms()
        df = frequency.get
        batch, size = [], 0
        for term, entry in terms if amends is None else amends.mended(terms):
            encoded = encode_postings(*entry)
            batch.append((term, df(term, 0), encoded))
            size += len(encoded) + len(term)
            if size >= batch_bytes:
                ahead.frame(batch)
                batch, size = [], 0
        ahead.frame(batch)
        if batch:
            ahead.frame([])
        ahead.finish()
    finally:
        if ahead is not None:
            ahead.close()
        aside.close()
        runs.close()


class _Ahead:
    """Frames written to a scratch file as they are made, and copied from
    it to ``sink`` by a thread as the reader takes them: the writer never
    waits for the reader.  The file is unlinked from the start."""

    COPY_BYTES = 1 << 20

    def __init__(self, directory: str, sink):
        self._file = tempfile.TemporaryFile(dir=directory)
        self._fd = self._file.fileno()
        self._sink = sink
        self._made = 0  # bytes written to the file
        self._done = False
        self._error: BaseException | None = None
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._copy, name="tarnwick-postings-out", daemon=True)
        self._thread.start()

    def frame(self, value) -> None:
        if self._error is not None:
            raise self._error
        data = _framed(value)
        at = 0
        while at < len(data):
            at += os.pwrite(self._fd, memoryview(data)[at:], self._made + at)
        with self._changed:
            self._made += len(data)
            self._changed.notify()

    def finish(self) -> None:
        """Wait until every frame is copied to the sink (raising what the
        copying met)."""
        with self._changed:
            self._done = True
            self._changed.notify()
        self._thread.join()
        if self._error is not None:
            raise self._error

    def _copy(self) -> None:
        sent = 0
        try:
            while True:
                with self._changed:
                    while sent == self._made and not self._done:
                        self._changed.wait()
                    made, done = self._made, self._done
                if sent == made and done:
                    break
                while sent < made:
                    chunk = os.pread(self._fd, min(self.COPY_BYTES, made - sent), sent)
                    if not chunk:
                        raise OSError("the scratch file of the postings ended early")
                    self._sink.write(chunk)
                    sent += len(chunk)
                self._sink.flush()
        except BaseException as exc:  # told to the writer, which stops
            self._error = exc

    def close(self) -> None:
        self._file.close()


def _gathered():
    from .._postings import Gathering
    from .corpus import MemoryCorpus, take_length

    class Gathered(MemoryCorpus):
        """The helper's corpus: each document's length, and its postings
        gathered in the extension (`Gathering`) until a run is written or
        the last document is in (`settle`).  Symbols are counted, not
        listed: the indexing process lists them."""

        def __init__(self):
            super().__init__()
            self._gathering = Gathering()

        def add_file(self, terms: dict) -> int:
            number = len(self.file_length)
            self.file_length.append(take_length(terms))
            self._held += self._gathering.add(0, number, terms)
            return number

        def add_symbol(self, terms: dict) -> int:
            number = len(self.symbol_length)
            self.symbol_length.append(take_length(terms))
            self._held += self._gathering.add(1, number, terms)
            return number

        def file_done(self) -> None:
            if self._runs is not None and self._held >= self._limit:
                # As bytes: arrays would be a second copy of the run.
                self._runs.write_rows(self._gathering.take_rows())
                self._held = 0

        def settle(self) -> None:
            """The postings not written as a run, held as the corpus's own
            from now on (no document is added after)."""
            self._postings = self._gathering.take()

    return Gathered()


def _amends(aside, amends):
    """`amends` told every document set aside in `aside`, in order."""
    aside.flush()
    aside.seek(0)
    file_number = first_symbol = 0
    while head := aside.read(_HEADER):
        for docs in marshal.loads(zlib.decompress(aside.read(int.from_bytes(head, "little")))):
            amends.add(docs, file_number, first_symbol)
            file_number += 1
            first_symbol += len(docs) - 1
    return amends
