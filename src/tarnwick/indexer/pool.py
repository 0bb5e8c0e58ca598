"""Parsing every file once, safely.

Python's own parser can overflow the C stack on a legal file (a long chain
such as `x = 1+1+...+1` nests one level per operator), which kills the
process outright.  Two defences:

- every parse runs on a thread whose stack is sized for the largest file
  the walk lets through, so such files parse (or fail with an ordinary
  error) the same way in this process and in a worker;
- a worker that dies all the same is noticed through its process sentinel:
  the file it was on is listed as unparsable, the rest of its batch goes
  back to the queue, and a fresh worker takes its place.  A worker that
  stops answering is given up after `FILE_TIMEOUT` seconds.

Workers ignore Ctrl-C: the parent alone handles it and stops them, so an
interrupted run prints one line instead of a traceback per process.
"""

from __future__ import annotations

import gc
import signal
import threading
import time
from collections import deque
from typing import Callable

from ..atomic import STOP_SIGNALS, signals_held
from .cache import ready_for_spool
from .summarize import FileResult, summarize_file

# C stack per byte of source for the deepest nesting the parser accepts
# (about 64 bytes per byte measured on CPython 3.10), with a margin.
STACK_PER_SOURCE_BYTE = 128
MIN_STACK = 32 << 20
# The largest stack asked for; beyond it the process sentinel is the defence.
MAX_STACK = 1 << 30
FILE_TIMEOUT = 120.0


def stack_size_for(max_file_bytes: int) -> int:
    size = max(MIN_STACK, min(MAX_STACK, max_file_bytes * STACK_PER_SOURCE_BYTE))
    return (size + 0xFFFF) & ~0xFFFF


def run_on_big_stack(work: Callable[[], object], stack_bytes: int):
    """Run `work()` on a thread with a `stack_bytes` stack and return its
    result (or raise its exception).  Ctrl-C in the caller's thread stops
    waiting; the thread is a daemon and dies with the process."""
    outcome = []

    def target():
        try:
            outcome.append((True, work()))
        except BaseException as exc:  # handed to the caller below
            outcome.append((False, exc))

    previous = threading.stack_size()
    try:
        threading.stack_size(stack_bytes)
        thread = threading.Thread(target=target, name="tarnwick-parse", daemon=True)
        thread.start()
    except (ValueError, RuntimeError):  # a platform that refuses the size
        return work()
    finally:
        threading.stack_size(previous)
    thread.join()
    ok, value = outcome[0]
    if ok:
        return value
    raise value


def _as_is(result: FileResult) -> FileResult:
    return result


def summarize_serially(
    tasks: list, stack_bytes: int, step: Callable[[], None], stop: threading.Event, take: Callable = _as_is
) -> list:
    def work():
        was_enabled = gc.isenabled()
        # Syntax trees hold no reference cycles: collecting only costs time.
        gc.disable()
        try:
            out = []
            for task in tasks:
                if stop.is_set():
                    break
                out.append(take(summarize_file(task)))
                step()
            return out
        finally:
            if was_enabled:
                gc.enable()

    try:
        return run_on_big_stack(work, stack_bytes)
    except BaseException:
        stop.set()
        raise


def _worker_main(conn, stack_bytes: int) -> None:
    # The parent handles Ctrl-C and termination for the whole run.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, signal.SIG_DFL)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
    gc.disable()

    def serve():
        while True:
            try:
                batch = conn.recv()
            except EOFError:
                return
            for task in batch:
                # Packed for the cache here: the parent, which takes every
                # worker's results, is the run's busiest process.
                conn.send(ready_for_spool(summarize_file(task)))

    run_on_big_stack(serve, stack_bytes)


class _Worker:
    def __init__(self, context, stack_bytes: int):
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_worker_main, args=(child, stack_bytes), daemon=True)
        # Signals wait until the new process has set up its own handlers.
        with signals_held():
            self.process.start()
        child.close()
        self.pending = deque()  # tasks sent, in the order the worker takes them
        self.since = time.monotonic()

    def send(self, batch: list) -> bool:
        try:
            self.conn.send(batch)
        except OSError:  # the worker is gone; its sentinel tells the rest
            return False
        if not self.pending:
            self.since = time.monotonic()
        self.pending.extend(batch)
        return True

    def receive(self, now: float, out: list, step, take: Callable) -> None:
        try:
            while self.pending and self.conn.poll():
                out.append(take(self.conn.recv()))
                self.pending.popleft()
                self.since = now
                step()
        except (EOFError, OSError):
            pass

    def stop(self) -> None:
        self.conn.close()
        if self.process.is_alive():
            self.process.kill()
        self.process.join(5)


def _death(process) -> str:
    code = process.exitcode
    if code is not None and code < 0:
        try:
            return f"the parser crashed ({signal.Signals(-code).name})"
        except ValueError:
            return f"the parser crashed (signal {-code})"
    return f"the parser crashed (exit status {code})"


def start_workers(jobs: int, stack_bytes: int) -> list:
    """`jobs` idle workers for `summarize_in_workers`, started now.  A
    worker holds on to a copy of what its parent held when it started (the
    pages stay shared, but each counts in full towards the worker's
    resident size): started before a large walk, it does not carry it."""
    import multiprocessing

    context = multiprocessing.get_context()
    workers = []
    try:
        for _ in range(jobs):
            workers.append(_Worker(context, stack_bytes))
    except BaseException:
        stop_workers(workers)
        raise
    return workers


def stop_workers(workers: list) -> None:
    for worker in workers:
        worker.stop()
    workers.clear()


def summarize_in_workers(
    tasks: list, jobs: int, stack_bytes: int, step: Callable[[], None], take: Callable = _as_is, started=None
) -> list:
    """Summarize `tasks` in `jobs` worker processes; results in any order,
    each as `take(result)` gives it back (called as it arrives).  The
    workers of `started` (`start_workers`, with the same stack) are used
    first; all are stopped when done."""
    import multiprocessing
    from multiprocessing.connection import wait

    context = multiprocessing.get_context()
    queue = deque(tasks)
    # Small batches, so both workers finish together and a crash sends
    # little work back to the queue.
    chunk = max(1, min(8, len(tasks) // (jobs * 16)))
    out = []
    workers: list = []
    if started:
        workers.extend(started[:jobs])
        stop_workers(started[jobs:])
        started.clear()

    def retire(worker: _Worker, reason: str | None = None) -> None:
        # The file the worker was on is the culprit; the rest of its batch
        # goes back to the front of the queue.
        workers.remove(worker)
        worker.stop()
        if worker.pending:
            culprit = worker.pending.popleft()
            out.append(take(FileResult(culprit[0], error=reason or _death(worker.process))))
            step()
            queue.extendleft(reversed(worker.pending))

    try:
        while queue or any(w.pending for w in workers):
            while queue and len(workers) < jobs:
                workers.append(_Worker(context, stack_bytes))
            for worker in workers:
                # Two batches in flight keep a worker busy while its results travel.
                if queue and len(worker.pending) <= chunk:
                    batch = [queue.popleft() for _ in range(min(chunk, len(queue)))]
                    if not worker.send(batch):
                        queue.extendleft(reversed(batch))
            handles = [w.conn for w in workers] + [w.process.sentinel for w in workers]
            ready = set(wait(handles, timeout=1.0))
            now = time.monotonic()
            for worker in list(workers):
                if worker.conn in ready or worker.process.sentinel in ready:
                    worker.receive(now, out, step, take)
                    if worker.process.sentinel in ready:
                        retire(worker)
                        continue
                if worker.pending and now - worker.since > FILE_TIMEOUT:
                    retire(worker, f"gave up after {FILE_TIMEOUT:.0f} s")
    finally:
        stop_workers(workers)
    return out
