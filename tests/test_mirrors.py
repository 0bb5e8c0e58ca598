"""The Python side plans blocks with some of the packer's limits: they must be the packer's own.

The packer's numbers are read from its constants lists (the `.def` files of the extension's
sources), where every limit it applies is written once.
"""

import re
from pathlib import Path

import pytest

from tarnwick import context, fit, focus, token_count

SOURCES = Path(__file__).resolve().parent.parent / "src" / "context_packer"
ENTRY = re.compile(r"^(?:INT|FLOAT|LIMIT)\((\w+), ([-0-9.]+)\)", re.MULTILINE)


def packer_numbers() -> dict:
    numbers = {}
    for path in sorted(SOURCES.rglob("constants.def")):
        for name, value in ENTRY.findall(path.read_text(encoding="utf-8")):
            assert name not in numbers, f"{name} is listed twice"
            numbers[name] = float(value) if "." in value else int(value)
    return numbers


@pytest.mark.parametrize(
    "mirror, packer",
    [
        (lambda: focus.TOP_FILES, "default_max_files"),
        (lambda: focus.TOP_FILES, "query_top_files"),
        (lambda: focus.PICKS_PER_FILE, "functions_per_file"),
        (lambda: focus.PICKS_PER_FILE, "excerpt_functions"),
        (lambda: focus.EXCERPT_LINES, "default_max_lines"),
        (lambda: fit.KEPT_FUNCTIONS, "functions_per_file"),
        (lambda: fit.CODE_FLOOR, "code_threshold"),
        (lambda: context.TOP_EDGES, "query_top_edges"),
    ],
)
def test_a_mirrored_limit_is_the_packers(mirror, packer):
    assert mirror() == packer_numbers()[packer]


@pytest.mark.parametrize("length", [0, 1, 3, 4, 16, 17, 319, 320, 321])
def test_the_token_estimate_is_the_packers(cp, length):
    text = "x" * length
    assert token_count.estimate(text) == cp.estimate_tokens(text)
