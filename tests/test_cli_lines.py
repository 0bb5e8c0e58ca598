"""The usual `context` and `search` lines, read without the full parser,
read exactly as the full parser reads them; every other line is left to it."""

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick.cli.arguments import build_parser
from tarnwick.cli.options import usual_args

Q = "how are loans renewed"


def parsed(argv):
    """The full parser's namespace as a dict, or None where it refuses the line."""
    try:
        return vars(build_parser().parse_args(argv))
    except SystemExit:
        return None


@pytest.mark.parametrize(
    "argv, usual",
    [
        (["context", Q], True),
        (["context", "", "--json"], True),  # the empty question is refused later, as before
        (["context", Q, "--budget", "800", "--no-redact", "--no-tests", "--json"], True),
        (["context", Q, "--budget=200000", "--budget", "3"], True),  # the last one counts
        (["context", Q, "--path", "src", "--path=lib/x", "--root", "/p", "--root="], True),
        (["context", Q, "--path", "a=b"], True),
        (["search", Q, "-n", "3", "--json", "--path", "src", "--no-tests"], True),
        (["search", Q, "--root", "r", "-n", " 12 "], True),
        # What the parser reads or reports itself.
        ([], False),
        (["context"], False),
        (["context", "--json", Q], False),  # the question after an option
        (["context", "-x y"], False),
        (["context", Q, "more"], False),
        (["context", Q, "--bud", "5"], False),  # an abbreviation
        (["context", Q, "--budget", "0"], False),
        (["context", Q, "--budget", "200001"], False),
        (["context", Q, "--budget", "x"], False),
        (["context", Q, "--budget"], False),
        (["context", Q, "--budget", "-5"], False),
        (["context", Q, "--root", "--json"], False),
        (["context", Q, "--json=yes"], False),
        (["context", Q, "--diff"], False),
        (["context", Q, "--staged"], False),
        (["context", Q, "-n", "3"], False),  # search's option
        (["context", Q, "--"], False),
        (["context", Q, "-h"], False),
        (["search", Q, "--budget", "9"], False),  # context's option
        (["search", Q, "-n5"], False),
        (["search", Q, "-n=5"], False),
        (["search", Q, "-n", "0"], False),
        (["search", Q, "--no-redact"], False),
        (["mcp"], False),
        (["index", "."], False),
        (["help", "context"], False),
        (["-V"], False),
    ],
)
def test_a_usual_line_reads_as_the_parser_reads_it(argv, usual):
    found = usual_args(argv)
    assert (found is not None) == usual
    if usual:
        assert vars(found) == parsed(argv)


WORDS = ["context", "search", Q, "", "x=y", "--json", "--no-tests", "--no-redact", "--path", "--path=a",
         "--root", "--root=/r", "--budget", "--budget=9", "-n", "3", "0", "-1", "--diff", "-", "--", "--jso"]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(["context", "search"]), st.lists(st.sampled_from(WORDS), max_size=6))
def test_any_line_read_without_the_parser_reads_as_the_parser_reads_it(command, words):
    found = usual_args([command, *words])
    if found is not None:
        assert vars(found) == parsed([command, *words])
