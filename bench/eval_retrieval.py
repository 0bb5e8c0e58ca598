"""Retrieval evaluation: does the file a developer would open come first?

Builds the evaluation projects (see eval_questions.py), indexes them with
`tarnwick-index`, asks every question and prints hit@1, hit@3 and hit@8 of
the files for each system:

- "BM25 contents": plain Okapi BM25 over each file's whole text, the
  baseline to beat;
- "tarnwick": `vx.load_graph()` and `vx.retrieve()` as the context-packer
  command runs them (with the search index);
- "tarnwick, no index": the same ranking built in memory from the graph.

"sym@3" counts questions whose expected function is among the first three
"symbols" of a file entry in the top three.  "kc-store" and "kc-focus" count
questions whose expected function is excerpted in the block's Key Code: as
`context-packer` packs it (each file's first functions as stored) and as
`tarnwick context` does (the per-query view of `tarnwick.focus`).  Columns are (name, test)
pairs in COLUMNS; a test gets the question and the system's answer.

    .venv/bin/python bench/eval_retrieval.py [--work DIR] [--source STDLIB] [--set NAME] [-v]

Two sets, each reported on its own: "stdlib" (CPython 3.10's standard
library and the sample project; the library must be 3.10's, this
interpreter's by default: the file list is pinned in eval_stdlib310.txt)
and "third-party" (source distributions of ordinary projects, fetched with
`pip download` into the work folder on first use and checked against their
pinned SHA-256, tests and all, as a developer's checkout holds them).
"""

from __future__ import annotations

import argparse
import hashlib
import math
import shutil
import subprocess
import sys
import sysconfig
import tarfile
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from eval_questions import BOOKSHELF, HTTPX, STARLETTE, STDLIB, THIRD_PARTY  # noqa: E402
from workdir import work_dir  # noqa: E402

from tarnwick import context, vx  # noqa: E402
from tarnwick import context_packer as cp  # noqa: E402
from tarnwick.indexer import index_project  # noqa: E402
from tarnwick.vx import tokenize  # noqa: E402

SAMPLE = HERE.parent / "examples" / "bookshelf"


def build_stdlib(source: Path, target: Path) -> None:
    names = (HERE / "eval_stdlib310.txt").read_text().split("\n")
    missing = [n for n in names if n and not (source / n).is_file()]
    if missing:
        sys.exit(f"{source} is not CPython 3.10's standard library ({len(missing)} files missing, e.g. {missing[0]})")
    for name in filter(None, names):
        (target / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source / name, target / name)


def fetch_sdist(requirement: str, sha256: str, downloads: Path, target: Path) -> None:
    """Unpack the pinned source distribution ``requirement`` into ``target``
    (the archive's top folder becomes ``target``)."""
    name, _, version = requirement.partition("==")
    archives = sorted(downloads.glob(f"{name}-{version}.tar.gz"))
    if not archives:
        command = [sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--no-binary", ":all:", "-d", str(downloads), requirement]
        if subprocess.run(command).returncode != 0:
            sys.exit(f"could not download {requirement} (pip needs to reach the package index once)")
        archives = sorted(downloads.glob(f"{name}-{version}.tar.gz"))
    if not archives:
        sys.exit(f"pip did not leave {name}-{version}.tar.gz in {downloads}")
    digest = hashlib.sha256(archives[0].read_bytes()).hexdigest()
    if digest != sha256:
        sys.exit(f"{archives[0]}: SHA-256 {digest}, expected {sha256}; the figures are for the pinned release only")
    unpacked = downloads / f"{name}-{version}.unpacked"
    shutil.rmtree(unpacked, ignore_errors=True)
    with tarfile.open(archives[0]) as archive:
        archive.extractall(unpacked, filter="data")
    (top,) = unpacked.iterdir()
    top.rename(target)
    unpacked.rmdir()


class ContentsBM25:
    """Plain BM25 over whole file contents: the baseline."""

    def __init__(self, root: Path, k1: float = 1.2, b: float = 0.75) -> None:
        self.docs = {}
        for path in sorted(root.rglob("*.py")):
            if ".vestra" not in path.parts:
                text = path.read_text(encoding="utf-8", errors="replace")
                self.docs[path.relative_to(root).as_posix()] = Counter(tokenize(text))
        self.lengths = {name: sum(doc.values()) for name, doc in self.docs.items()}
        self.average = sum(self.lengths.values()) / max(len(self.docs), 1)
        self.df = Counter(term for doc in self.docs.values() for term in doc)
        self.k1, self.b = k1, b

    def __call__(self, question: str) -> dict:
        n = len(self.docs)
        terms = set(tokenize(question))
        scores = []
        for name, doc in self.docs.items():
            norm = self.k1 * (1 - self.b + self.b * self.lengths[name] / self.average)
            score = sum(
                math.log(1 + (n - self.df[t] + 0.5) / (self.df[t] + 0.5)) * doc[t] * (self.k1 + 1) / (doc[t] + norm)
                for t in terms
                if t in doc
            )
            if score > 0:
                scores.append((-score, name))
        return {"files": [{"id": name, "symbols": []} for _, name in sorted(scores)[:8]]}


def key_code(block: str) -> str:
    """The Key Code section of a context block ("" when it has none)."""
    if "### Key Code (pre-loaded)\n" not in block:
        return ""
    return block.split("### Key Code (pre-loaded)\n", 1)[1].split("\n\n### ", 1)[0]


def tarnwick(root: Path, use_index: bool = True):
    vx.set_project(root)
    graph = vx.load_graph()
    summaries = cp.load_summaries(root)
    if not use_index:
        graph = dict(graph, generation=None)

    def ask(question: str) -> dict:
        vx.set_project(root)  # the search index is the project's
        answer = vx.retrieve(graph, question)
        # Key Code as context-packer packs it (the stored summaries) and as
        # `tarnwick context` does (the per-query view).
        view, _ = context.focus_summaries(summaries, answer["files"], graph, question, root=root)
        answer["key_code"] = {
            "stored": key_code(cp.pack(answer, summaries, graph, root)),
            "focused": key_code(cp.pack(answer, view, graph, root)),
        }
        return answer

    return ask


def file_hit(k: int):
    def test(question, answer) -> bool:
        return any(entry["id"] in question[1] for entry in answer["files"][:k])

    return test


def symbol_hit(question, answer) -> bool:
    wanted = set(question[2])
    return any(s["name"] in wanted for entry in answer["files"][:3] for s in entry.get("symbols", ())[:3])


def code_hit(road: str):
    def test(question, answer) -> bool:
        code = answer.get("key_code", {}).get(road, "")
        return any(f"# {path}::{name} (lines " in code for path in question[1] for name in question[2])

    return test


COLUMNS = [
    ("hit@1", file_hit(1)),
    ("hit@3", file_hit(3)),
    ("hit@8", file_hit(8)),
    ("sym@3", symbol_hit),
    ("kc-store", code_hit("stored")),
    ("kc-focus", code_hit("focused")),
]


def evaluate(systems: dict, projects: list, verbose: bool) -> None:
    total = sum(len(questions) for _, questions in projects)
    print(f"{total} questions on {len(projects)} projects")
    print(f"{'system':<22}" + "".join(f"{name:>9}" for name, _ in COLUMNS))
    for system, make in systems.items():
        answerers = make()
        counts = [0] * len(COLUMNS)
        for (project, questions), ask in zip(projects, answerers):
            for question in questions:
                answer = ask(question[0])
                results = [test(question, answer) for _, test in COLUMNS]
                counts = [c + r for c, r in zip(counts, results)]
                if verbose and not results[0]:
                    top = [entry["id"] for entry in answer["files"][:3]]
                    print(f"  {system} / {project}: {question[0]!r} -> {top}")
        print(f"{system:<22}" + "".join(f"{c:>6}/{total:<2}" for c in counts))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=sysconfig.get_paths()["stdlib"], help="CPython 3.10 standard library")
    parser.add_argument("--work", help="keep the projects in this folder")
    parser.add_argument("-v", "--verbose", action="store_true", help="list the questions missed at 1")
    parser.add_argument("--only", action="append", help="evaluate only these systems")
    parser.add_argument("--set", action="append", choices=("stdlib", "third-party"), help="evaluate only these sets (default: both)")
    args = parser.parse_args(argv)
    args.set = args.set or ["stdlib", "third-party"]

    def run(work: Path) -> None:
        roots: dict = {}
        if "stdlib" in args.set:
            roots["stdlib310"] = work / "stdlib310"
            if not roots["stdlib310"].is_dir():
                build_stdlib(Path(args.source), roots["stdlib310"])
            roots["bookshelf"] = work / "bookshelf"
            if not roots["bookshelf"].is_dir():
                shutil.copytree(SAMPLE, roots["bookshelf"], ignore=shutil.ignore_patterns(".vestra", "__pycache__"))
        if "third-party" in args.set:
            (work / "downloads").mkdir(exist_ok=True)
            for project, requirement, sha256 in THIRD_PARTY:
                roots[project] = work / requirement.replace("==", "-")  # another pin, another folder
                if not roots[project].is_dir():
                    fetch_sdist(requirement, sha256, work / "downloads", roots[project])
        for root in roots.values():
            index_project(root, progress=False)
        questions = {"stdlib310": STDLIB, "bookshelf": BOOKSHELF, "httpx": HTTPX, "starlette": STARLETTE}
        sets = {"stdlib": ["stdlib310", "bookshelf"], "third-party": [name for name, _, _ in THIRD_PARTY]}
        for set_name in args.set:
            names = sets[set_name]
            systems = {
                "BM25 contents": lambda names=names: [ContentsBM25(roots[name]) for name in names],
                "tarnwick": lambda names=names: [tarnwick(roots[name]) for name in names],
                "tarnwick, no index": lambda names=names: [tarnwick(roots[name], use_index=False) for name in names],
            }
            if args.only:
                systems = {name: value for name, value in systems.items() if name in args.only}
            print(f"set {set_name}: ", end="")
            evaluate(systems, [(name, questions[name]) for name in names], args.verbose)

    with work_dir(args.work, "tarnwick-eval-") as work:
        run(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
