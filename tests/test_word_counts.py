"""The term counter of the text field (C++) against its Python reference:
the same counts, the same documents, key order and last bits included."""

import math
import string
import sys
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick._words import DocumentReader, WordCounter
from tarnwick.search.content import (
    _KEYWORDS, FILE_TEXT_CHARS, MAX_TERMS, SYMBOL_TEXT_CHARS, add_counts, add_source_fields, count_terms,
    reference_counts, reference_fields, source_counts, word_terms,
)
from tarnwick.search.corpus import UNCOUNTED
from tarnwick.search.tokens import STOP_WORDS


def counter():
    return WordCounter(_KEYWORDS | STOP_WORDS, MAX_TERMS, UNCOUNTED)


def ordered(counts):
    """A result with the order of its keys, which the documents inherit."""
    total, each = counts
    return list(total.items()), [list(c.items()) for c in each]


def never(word):
    raise AssertionError(f"{word!r} was handed to Python")


def echo(word):
    return (word,)


# Words as code spells them: cases, digits, underscores, letters beyond ASCII,
# keywords and stop words; separators ASCII and not (a no-break space splits,
# an em dash does not).
ENDINGS = ["ies", "sses", "ches", "shes", "xes", "s", "ss", "us", "is", "ing", "ed", "er", "eed", "ion", "tion",
           "sion", "e", "nning", "tted", "ered", "ering", "ll", "zzed", ""]
ASCII_WORD = st.one_of(
    st.text(string.ascii_letters + string.digits + "_", min_size=1, max_size=16),
    # Stems of every length before the endings the stemmer folds, in any case.
    st.tuples(st.text(string.ascii_lowercase, max_size=6), st.sampled_from(ENDINGS), st.booleans()).map(
        lambda parts: (parts[0] + parts[1]).upper() if parts[2] else parts[0] + parts[1]).filter(len),
)
WORD = st.one_of(
    st.sampled_from(["raise_for_status", "HTTPServer", "parseJSON2Dict", "self", "The", "escapes", "ordered",
                     "running", "x", "_", "__init__", "3rd", "0x1F", "ABc", "naïve", "İstanbul", "ǅemal",
                     "ΣΑΣ", "ß", "ﬁle", "٣٤", "²", "日本語", "a\u0301", "e—mail", "studies", "addresses"]),
    ASCII_WORD,
    st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=12),
)
SEPARATOR = st.sampled_from([" ", "\n", ".", "(", "'", "\u00a0", "\u3000", "\x1c", "->", "\t"])
TEXT = st.lists(st.tuples(WORD, SEPARATOR), max_size=40).map(lambda parts: "".join(a + b for a, b in parts))


@settings(max_examples=300, deadline=None)
@given(st.lists(TEXT, max_size=6), st.integers(0, 8))
def test_counts_equal_the_reference(texts, first):
    assert ordered(count_terms(texts, first)) == ordered(reference_counts(texts, first))


@settings(max_examples=500, deadline=None)
@given(ASCII_WORD)
def test_an_ascii_word_gets_the_terms_of_word_terms_without_python(word):
    total, _ = counter().count([word], 1, never)
    assert list(total.items()) == list(Counter(word_terms(word)).items())


@pytest.mark.parametrize("sample", [
    # Each character between two letters, surrogates included.
    "".join("q" + chr(c) for c in range(128, sys.maxunicode + 1)) + "q",
    "".join("q" + chr(c) for c in range(128)) + "q",
])
def test_every_character_splits_or_joins_as_the_reference(sample):
    assert ordered(count_terms([sample], 1)) == ordered(reference_counts([sample], 1))


def test_a_huge_text_counts_as_the_reference():
    text = "def parse_header(line):\n    return HTTPHeader(line.strip(), 'naïve') # ünïcode 42\n" * 3000
    assert ordered(count_terms([text, text[:5000]], 1)) == ordered(reference_counts([text, text[:5000]], 1))


def fields_both_ways(texts, first, docs, file_weight=0.3, symbol_weight=0.2):
    mine = [dict(doc) for doc in docs]
    counter().add_fields(texts, first, mine, file_weight, symbol_weight, word_terms)
    theirs = [dict(doc) for doc in docs]
    reference_fields(theirs, texts, first, file_weight, symbol_weight)
    return [list(doc.items()) for doc in mine], [list(doc.items()) for doc in theirs]


@settings(max_examples=200, deadline=None)
@given(st.lists(TEXT, min_size=1, max_size=5), st.integers(0, 6),
       st.floats(0.01, 3.0), st.floats(0.01, 3.0))
def test_fields_equal_the_reference(texts, first, file_weight, symbol_weight):
    # Documents that already hold names (a float, and an int as a caller may give).
    docs = [{"pars": 1.5, "header": 2, UNCOUNTED: 0.25}] + [{"pars": 0.75} for _ in texts[1:]]
    mine, theirs = fields_both_ways(texts, first, docs, file_weight, symbol_weight)
    assert mine == theirs


def test_a_field_past_its_term_cap_keeps_the_reference_terms():
    # More distinct terms than a field keeps, counts tied and past the
    # logarithm table: the same terms, order and weights.
    words = [f"w{chr(97 + i % 26)}{chr(97 + i // 26 % 26)}{chr(97 + i // 676)}q" for i in range(2 * MAX_TERMS)]
    text = " ".join(words[i] + (" " + words[i]) * (i % 3) for i in range(len(words))) + " hot" * 300
    docs = [{}, {}]
    mine, theirs = fields_both_ways([text, text], 2, docs)
    assert mine == theirs
    assert len(mine[1]) == MAX_TERMS + 1 and mine[1][0][1] == pytest.approx(0.2 * (1 + math.log(300)))


def test_source_fields_are_the_source_counts_added():
    lines = ["class Cart:", "    '''Totals of a cart.'''", "    def add(self, item_price):",
             "        # brotli stream", "        return 'gzip' + item_price", "note = 'module words'"]
    spans = [(0, 4), (2, 4)]
    docs = [{"cart": 1.0}, {"cart": 2.0}, {"add": 2.0}]
    add_source_fields(docs, lines, spans, 0.3, 0.2)
    whole, bodies = source_counts(lines, spans, SYMBOL_TEXT_CHARS, FILE_TEXT_CHARS)
    expected = [add_counts({"cart": 1.0}, whole, 0.3), add_counts({"cart": 2.0}, bodies[0], 0.2),
                add_counts({"add": 2.0}, bodies[1], 0.2)]
    assert [list(d.items()) for d in docs] == [list(d.items()) for d in expected]


def test_words_past_the_kept_limit_still_count():
    # More distinct words than are kept: the excess is asked for each time,
    # the next call starts afresh, and both count right.
    counter_ = counter()
    asked = []

    def identity(word):
        asked.append(word)
        return (word,)

    words = [f"é{i}" for i in range(300_000)]
    total, _ = counter_.count([" ".join(words + words[-3:])], 1, identity)
    assert len(total) == 300_000 and total["é299999"] == 2 and total["é0"] == 1
    assert len(asked) == 300_003  # the last three were not kept, so asked twice
    asked.clear()
    total, _ = counter_.count(["é0 é0 fresh"], 1, identity)
    assert total == {"é0": 2, "fresh": 1} and asked == ["é0"]


@pytest.mark.parametrize("bad_terms, error", [
    (lambda _: lambda word: [word], TypeError),  # a list, not a tuple
    (lambda _: lambda word: (word, 3), TypeError),
    (lambda _: lambda word: (type("S", (str,), {})(word),), TypeError),  # a str subclass could hold anything
    (lambda _: lambda word: 1 / 0, ZeroDivisionError),
    (lambda c: lambda word: c.count([word], 1, word_terms)[0] and (), RuntimeError),  # counting again
])
def test_a_bad_word_terms_is_refused_and_the_counter_stays_sound(bad_terms, error):
    counter_ = counter()
    counter_.count(["alphä beta"], 1, echo)
    with pytest.raises(error):
        counter_.count(["alphä beta gammä beta"], 1, bad_terms(counter_))
    # Nothing of the failed call is left in the counts.
    assert counter_.count(["alphä beta alphä"], 1, echo) == ({"alphä": 2, "beta": 1}, [{"alphä": 2, "beta": 1}])


@pytest.mark.parametrize("call, error", [
    (lambda c: c.count(["a"], -1, word_terms), ValueError),
    (lambda c: c.count([b"a"], 1, word_terms), TypeError),
    (lambda c: c.count(5, 1, word_terms), TypeError),
    (lambda c: c.count(["a"], 1, None), TypeError),
    (lambda c: c.count(["a"], 1), TypeError),
    (lambda c: c.add_fields(["a", "b"], 1, [{}], 1.0, 1.0, word_terms), ValueError),
    (lambda c: c.add_fields(["a"], 1, [[]], 1.0, 1.0, word_terms), TypeError),
    (lambda c: c.add_fields(["a"], 1, [{}], "1", 1.0, word_terms), TypeError),
    (lambda c: WordCounter([b"self"], 1, UNCOUNTED), TypeError),
    (lambda c: WordCounter([], -1, UNCOUNTED), ValueError),
    (lambda c: DocumentReader().read(b"[]", []), TypeError),
    (lambda c: DocumentReader().read("[]", (0.5,)), TypeError),
    (lambda c: DocumentReader().read("[]"), TypeError),
])
def test_bad_arguments_are_refused(call, error):
    with pytest.raises(error):
        call(counter())


def test_a_changed_list_of_texts_is_counted_as_given():
    texts = ["alphä beta", "gammä"]
    total, each = counter().count(texts, 2, lambda word: (texts.clear(), (word,))[1])
    assert total == {"alphä": 1, "beta": 1, "gammä": 1} and len(each) == 2


def test_the_field_keeps_its_most_frequent_terms_ties_in_first_seen_order():
    counts = {f"t{i}": 1 + (i % 3 == 0) for i in range(2 * MAX_TERMS)}
    doc = add_counts({}, counts, 1.0)
    expected = [term for term, _ in Counter(counts).most_common(MAX_TERMS)]
    assert [term for term in doc if term != UNCOUNTED] == expected
