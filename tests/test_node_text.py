"""A file's nodes and "contains" edges written from templates: the very
text the JSON encoder writes for their dicts."""

from hypothesis import given, strategies as st

from tarnwick.indexer.output import edge, edge_text, encode, symbol_node, symbol_node_text

# Paths as the walk decodes them: any character, lone surrogates of undecodable bytes included.
TEXT = st.text(st.characters(blacklist_categories=()), max_size=20) | st.sampled_from(['a"b\\c', "\n\t\x00\x7f", "é日"])
LINE = st.integers(-(2**70), 2**70)
ODD = st.one_of(st.booleans(), st.floats(allow_nan=False), st.none(), LINE)


@given(TEXT, TEXT, TEXT, LINE, LINE)
def test_symbol_node_text_is_the_encoders(path, name, kind, start, end):
    assert symbol_node_text(path, name, kind, start, end) == encode(symbol_node(path, name, kind, start, end))


@given(TEXT, TEXT, TEXT)
def test_edge_text_is_the_encoders(frm, to, rel):
    assert edge_text(frm, to, rel) == encode(edge(frm, to, rel))


@given(ODD, ODD, TEXT)
def test_values_of_other_types_written_as_the_encoder_writes_them(start, end, rel):
    # True is an int to Python but "true" to JSON; a float is spelled by the encoder.
    assert symbol_node_text("p", "n", "function", start, end) == encode(symbol_node("p", "n", "function", start, end))
    assert edge_text("p", start, rel) == encode(edge("p", start, rel))
