"""The text of a file's documents, written and read in C++, against the JSON
writer and reader it stands in for: the same text, the same documents (key
order and weights to the last bit), and every line it does not take is left
to the JSON reader."""

import json

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick._words import DocumentReader
from tarnwick.indexer.output import encode
from tarnwick.search.documents import pack_documents, reference_pack, unpack_documents


def json_read(line, weights):
    return json.loads(line, parse_int={str(i): weight for i, weight in enumerate(weights)}.__getitem__)


def exact(docs):
    return [[(term, type(weight), repr(weight)) for term, weight in doc.items()] for doc in docs]


TERM = st.one_of(st.sampled_from(["retry", "#uncounted", "naïve", 'say "hi"', "back\\slash", "tab\there",
                                  "\x00\x1f\x7f", "\u2028", "\ud800", "日本"]), st.text(max_size=8))
WEIGHT = st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.integers(-5, 5),
                   st.sampled_from([0.0, -0.0, 1, 1.0, 0.2, 0.1 + 0.2]))
DOCS = st.lists(st.dictionaries(TERM, WEIGHT, max_size=8), max_size=5)


@settings(max_examples=300, deadline=None)
@given(DOCS)
def test_written_as_the_json_writer_and_read_back_exact(docs):
    text = pack_documents(docs, encode)
    assert text == reference_pack(docs, encode)
    head, _, line = text.partition("\n")
    weights = json.loads(head)
    theirs = json_read(line, weights)
    mine = DocumentReader().read(line, weights)
    # Terms the writer escapes are the JSON reader's to read.
    plain = not any(c in '"\\' or c < " " for doc in docs for term in doc for c in term)
    assert (mine is not None) == plain
    assert exact(unpack_documents(text)) == exact(theirs) == exact(mine if plain else theirs)


EDITS = st.sampled_from([" ", "\\", '"', "-", "0", "9", "{", "}", "[", "]", ",", ":", "\n", "\x01", "é", "1e2", ".5"])


@settings(max_examples=400, deadline=None)
@given(DOCS.filter(any), st.integers(0, 10**6), EDITS, st.booleans())
def test_a_changed_line_is_read_as_json_reads_it_or_left_to_it(docs, where, edit, delete):
    head, _, line = pack_documents(docs, encode).partition("\n")
    weights = json.loads(head)
    at = where % (len(line) + 1)
    line = line[:at] + line[at + 1:] if delete else line[:at] + edit + line[at:]
    mine = DocumentReader().read(line, weights)
    if mine is not None:
        assert exact(mine) == exact(json_read(line, weights))


@pytest.mark.parametrize("line", [
    '[{"a": 0}]',  # white space
    '[{"a\\u0062":0}]',  # an escape
    '[{"a":01}]',  # a leading zero
    '[{"a":-0}]',
    '[{"a":1}]',  # past the weights
    '[{"a":0.0}]',
    '[{"a":0}] ',
    '[{"a":0}]x',
    '[{"a":0},]',
    '[{"a":0,}]',
    '[{"a"}]',
    '[[0]]',
    '{"a":0}',
    '[{"a":123456789012345678901234}]',
    '[',
    '',
])
def test_lines_not_in_the_plain_form_are_left_to_json(line):
    assert DocumentReader().read(line, [0.5]) is None


def test_documents_of_another_kind_are_written_the_general_way():
    docs = [{"a": 0.5}, {1: 0.5, "b": True}]
    assert pack_documents(docs, encode) == reference_pack(docs, encode)


def test_terms_past_the_kept_limit_still_read_right():
    reader = DocumentReader()
    line = "[{" + ",".join(f'"t{i}":0' for i in range(300_000)) + "}]"
    first = reader.read(line, [0.5])
    assert len(first[0]) == 300_000 and first[0]["t299999"] == 0.5
    assert reader.read('[{"t0":0,"new":1}]', [0.25, 1.5]) == [{"t0": 0.25, "new": 1.5}]
