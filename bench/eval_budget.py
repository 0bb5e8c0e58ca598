"""Budget evaluation: does every block of the retrieval evaluation keep its budget?

For each question of eval_questions.py and each budget, builds the block as
`tarnwick context` does and counts the blocks over budget, as the packer
alone left them (the per-query view packed once, Relevant Files never cut)
and as the command now gives them (`tarnwick.fit`: shorter summaries, fewer
files, fewer excerpts), with the count that decides (the estimate, or a
real tokenizer where the `tokens` extra is installed).  "code" counts blocks
that still carry Key Code; "hit" those whose Key Code holds an expected
function.

    .venv/bin/python bench/eval_budget.py [--work DIR] [--source STDLIB] [--set NAME]
"""

from __future__ import annotations

import argparse
import statistics
import shutil
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from eval_questions import BOOKSHELF, STDLIB, THIRD_PARTY, HTTPX, STARLETTE  # noqa: E402
from eval_retrieval import SAMPLE, build_stdlib, fetch_sdist, key_code  # noqa: E402
from workdir import work_dir  # noqa: E402

from tarnwick import context, vx  # noqa: E402
from tarnwick import context_packer as cp  # noqa: E402
from tarnwick.indexer import index_project  # noqa: E402
from tarnwick.token_count import counter  # noqa: E402

BUDGETS = (500, 1000, 2000, 5000)


def packer_alone(root: Path, question: str, budget: int) -> str:
    """The block as the packer gives it for the per-query view, unfitted."""
    with vx.project(root):
        graph = vx.load_graph()
        result = vx.retrieve(graph, question, top_files=8, top_edges=40)
    view, _ = context.focus_summaries(cp.load_summaries(root), result["files"], graph, question)
    return cp.pack(result, view, graph, root, budget)


def hit(block: str, question) -> bool:
    code = key_code(block)
    return any(f"# {path}::{name} (lines " in code for path in question[1] for name in question[2])


def evaluate(projects: list) -> None:
    tokens = counter()
    total = sum(len(questions) for _, questions in projects)
    print(f"{total} questions on {len(projects)} projects; tokens counted by: {tokens.name}")
    print(
        f"{'budget':>7}  {'over (packer alone)':>20}  {'over (tarnwick)':>16}  {'code':>7}  {'hit':>7}  {'max used':>8}"
        f"  {'fit ms median / max':>20}"
    )
    for budget in BUDGETS:
        before = after = code = hits = 0
        most = 0.0
        spent = []
        for root, questions in projects:
            for question in questions:
                before += tokens.count(packer_alone(root, question[0], budget)) > budget
                result = context.build_result(question[0], root, budget, tokens=tokens)
                spent.append(result.timings["pack"] * 1000.0)
                after += result.tokens > budget
                code += "### Key Code" in result.block
                hits += hit(result.block, question)
                most = max(most, result.tokens / budget)
        print(
            f"{budget:>7}  {before:>17}/{total:<2}  {after:>13}/{total:<2}  {code:>4}/{total:<2}  {hits:>4}/{total:<2}"
            f"  {most:>8.0%}  {statistics.median(spent):>12.1f} / {max(spent):.1f}"
        )


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=sysconfig.get_paths()["stdlib"], help="CPython 3.10 standard library")
    parser.add_argument("--work", help="keep the projects in this folder")
    parser.add_argument("--set", action="append", choices=("stdlib", "third-party"), help="only these sets")
    args = parser.parse_args(argv)
    sets = args.set or ["stdlib", "third-party"]

    def run(work: Path) -> None:
        projects = []
        if "stdlib" in sets:
            stdlib, bookshelf = work / "stdlib310", work / "bookshelf"
            if not stdlib.is_dir():
                build_stdlib(Path(args.source), stdlib)
            if not bookshelf.is_dir():
                shutil.copytree(SAMPLE, bookshelf, ignore=shutil.ignore_patterns(".vestra", "__pycache__"))
            projects += [(stdlib, STDLIB), (bookshelf, BOOKSHELF)]
        if "third-party" in sets:
            (work / "downloads").mkdir(exist_ok=True)
            questions = {"httpx": HTTPX, "starlette": STARLETTE}
            for project, requirement, sha256 in THIRD_PARTY:
                root = work / requirement.replace("==", "-")
                if not root.is_dir():
                    fetch_sdist(requirement, sha256, work / "downloads", root)
                projects.append((root, questions[project]))
        for root, _ in projects:
            index_project(root, progress=False)
        evaluate(projects)

    with work_dir(args.work, "tarnwick-budget-") as work:
        run(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
