"""Search indexes that change under concurrent queries, or come from someone else."""

import os
import shutil
import threading

import pytest

from tarnwick import context, vx
from tarnwick.index import index_project


def make_project(root, package, words):
    (root / package).mkdir(parents=True)
    for n, word in enumerate(words):
        (root / package / f"{word}.py").write_text(
            f'"""The {word} handling."""\ndef {word}_loans(amount):\n    return amount * {n}\n'
        )
    index_project(root, jobs=1)
    return root


@pytest.fixture
def two_projects(tmp_path):
    first = make_project(tmp_path / "a", "alpha", ["ledger", "interest", "payment"])
    second = make_project(tmp_path / "b", "beta", ["ledger", "schedule", "payment"])
    return first, second


def test_concurrent_queries_survive_their_index_being_replaced(two_projects):
    """Each thread keeps its own connection: a thread that sees a new search.db never
    closes one another thread is reading through."""
    roots = two_projects
    spares = []
    for root in roots:
        db = root / ".vestra" / "search.db"
        good = db.read_bytes()
        spares.append((db, [good, good[: len(good) // 2], good]))
    stop = threading.Event()
    failures = []

    def replace_in_a_loop():
        n = 0
        while not stop.is_set():
            for db, versions in spares:
                tmp = db.with_name(".swap.tmp")
                tmp.write_bytes(versions[n % len(versions)])
                os.replace(tmp, db)
            n += 1

    def ask(worker):
        try:
            for n in range(60):
                root = roots[(worker + n) % 2]
                package = "alpha" if root is roots[0] else "beta"
                ranked = context.search("ledger loans payment", root, limit=3)
                assert ranked and all(entry["path"].startswith(package + "/") for entry in ranked)
        except BaseException as exc:  # reported by the main thread
            failures.append(exc)

    swapper = threading.Thread(target=replace_in_a_loop)
    workers = [threading.Thread(target=ask, args=(w,)) for w in range(4)]
    swapper.start()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    stop.set()
    swapper.join()
    vx.take_notes()
    assert failures == []
