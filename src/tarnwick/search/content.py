"""The words of the source text itself as a field of file and symbol documents.

A change request is written in the words a user sees: error messages,
comments, the literals a function compares with ("brotli", "BOM", "stream
end").  Names alone miss them; the text of a function's lines holds them.
Every word run of the text counts (identifiers split and whole, as in
names), each distinct term at a weight that grows with the logarithm of its
count, so that a word repeated fifty times does not drown the rest.

The text read is capped per field: a minified or generated file of one
10 MB line costs no more than a file of a few thousand lines and yields a
bounded document.
"""

from __future__ import annotations

import math
from collections import Counter
from itertools import chain
from operator import itemgetter

from .corpus import UNCOUNTED
from .tokens import STOP_WORDS, identifier_terms, stem

try:
    from .._words import WordCounter
except ImportError:  # run from the sources, not built: the Python reference counts
    WordCounter = None

# Characters of text read for one field: about 2,000 lines of code.
FILE_TEXT_CHARS = 96 * 1024
SYMBOL_TEXT_CHARS = 32 * 1024
# Distinct terms kept per field, the most frequent first.
MAX_TERMS = 600

# Every ASCII character that cannot be part of a word becomes a space, so a
# plain split yields the word runs (far faster than a regular expression);
# characters beyond ASCII stay inside words.
_SPACES = {code: " " for code in range(128) if not (chr(code).isalnum() or chr(code) == "_")}

# Words that every file of a language spells: they only lengthen documents.
_KEYWORDS = frozenset(
    """def return self cls this if else elif for while const let var function func
    import from none null nil true false class new await async try catch except
    finally raise throw throws pass lambda yield break continue case switch default
    export package struct interface defer chan go typeof instanceof void undefined
    public private protected static final fn impl pub mut use mod crate super""".split()
)


def word_terms(word: str) -> tuple:
    """The terms of one word run: none for keywords, stop words and numbers."""
    lowered = word.lower()
    if word[0].isdigit() or lowered in _KEYWORDS or lowered in STOP_WORDS:
        return ()
    if word.isalpha() and word.islower():
        return (stem(word),)  # one part: what identifier_terms gives, without its pattern
    return identifier_terms(word)


class _WordTerms(dict):
    """word -> its terms, filled on first use."""

    def __missing__(self, word: str) -> tuple:
        terms = word_terms(word)
        if len(self) < 1 << 18:
            self[word] = terms
        return terms


_word_terms = _WordTerms()
_LOG = [0.0] + [1.0 + math.log(n) for n in range(1, 256)]
# Splits texts into word runs and counts their terms in C++ (the terms of an
# ASCII word there too, those of any other from `word_terms`): the same
# counts as `reference_counts`, the same fields as `add_counts`.
_counter = WordCounter(_KEYWORDS | STOP_WORDS, MAX_TERMS, UNCOUNTED) if WordCounter is not None else None


def _terms(text: str) -> list:
    return list(chain.from_iterable(map(_word_terms.__getitem__, text.translate(_SPACES).split())))


def reference_counts(texts: list, first: int) -> tuple:
    """What `count_terms` gives, in Python."""
    lists = [_terms(text) for text in texts]
    return dict(Counter(chain.from_iterable(lists[:first]))), [dict(Counter(terms)) for terms in lists]


def count_terms(texts: list, first: int) -> tuple:
    """The term counts of ``texts[:first]`` together and of each text
    (dicts of term -> count, in the order the terms first occur)."""
    if _counter is None:
        return reference_counts(texts, first)
    return _counter.count(texts, first, word_terms)


def text_counts(text: str, limit: int) -> dict:
    """The counts of the terms of the first ``limit`` characters of ``text``."""
    return count_terms([text[:limit]], 1)[0]


def _source_texts(lines: list, spans: list, symbol_limit: int, file_limit: int) -> tuple:
    """The module's own text, then each symbol's (`own_texts`), and how many
    of them, in that order, the file's own field reads (at most
    ``file_limit`` characters, a text begun is read whole)."""
    whole = (0, len(lines))  # the module: everything outside the symbols
    texts = own_texts(lines, [*spans, whole], symbol_limit, {len(spans): file_limit})
    texts.insert(0, texts.pop())
    budget = file_limit
    kept = 0
    for text in texts:
        if budget <= 0:
            break
        kept += 1
        budget -= len(text)
    return texts, kept


def source_counts(lines: list, spans: list, symbol_limit: int, file_limit: int) -> tuple:
    """The term counts of a whole source text (at most ``file_limit``
    characters) and of each symbol's span in it (its own lines, as
    `own_texts` gives them): ``(file counts, [span counts])``.  Each line is
    tokenised once."""
    whole, counts = count_terms(*_source_texts(lines, spans, symbol_limit, file_limit))
    return whole, counts[1:]


def add_source_fields(docs: list, lines: list, spans: list, file_weight: float, symbol_weight: float) -> None:
    """Add the text fields of a file's documents in place: to ``docs[0]``
    that of the whole source text, to ``docs[1 + i]`` that of ``spans[i]``,
    as `add_counts` adds the counts `source_counts` gives (at the standard
    limits)."""
    texts, kept = _source_texts(lines, spans, SYMBOL_TEXT_CHARS, FILE_TEXT_CHARS)
    if _counter is None:
        reference_fields(docs, texts, kept, file_weight, symbol_weight)
    else:
        _counter.add_fields(texts, kept, docs, file_weight, symbol_weight, word_terms)


def reference_fields(docs: list, texts: list, first: int, file_weight: float, symbol_weight: float) -> None:
    """What `WordCounter.add_fields` does, in Python: to ``docs[0]`` the
    field of ``texts[:first]`` together, to each further ``docs[i]`` that
    of ``texts[i]``."""
    total, each = reference_counts(texts, first)
    for doc, counts in zip(docs[1:], each[1:]):
        add_counts(doc, counts, symbol_weight)
    add_counts(docs[0], total, file_weight)


def add_counts(doc: dict, counts: dict, weight: float) -> dict:
    """Add the term ``counts`` of a text to ``doc`` as a field of the given
    ``weight``, in place: ``weight`` x (1 + ln count) per term, for the
    ``MAX_TERMS`` most frequent terms.  Returns ``doc``."""
    if len(counts) > MAX_TERMS:  # as Counter.most_common: by count, ties in first-seen order
        items = sorted(counts.items(), key=itemgetter(1), reverse=True)[:MAX_TERMS]
    else:
        items = counts.items()
    get = doc.get
    log = _LOG
    added = 0.0
    for term, n in items:
        value = weight * (log[n] if n < 256 else 1.0 + math.log(n))
        doc[term] = get(term, 0.0) + value
        added += value
    if added:
        doc[UNCOUNTED] = get(UNCOUNTED, 0.0) + added
    return doc


def add_texts(docs: list, texts: list) -> None:
    """Add each text field of ``texts`` (term weights, or None) to the
    document of ``docs`` at its position, in place."""
    for doc, text in zip(docs, texts):
        if text:
            get = doc.get
            for term, value in text.items():
                doc[term] = get(term, 0.0) + value


def own_texts(lines: list, spans: list, limit: int, limits: dict | None = None) -> list:
    """Per span (first, last line, inclusive, 0-based) the text of its lines
    less those of the spans nested in it (a class without its methods, a
    function without its inner functions), at most ``limit`` characters
    (``limits`` maps a span's position to another bound)."""
    order = sorted(range(len(spans)), key=lambda i: (spans[i][0], -spans[i][1]))
    children: list = [[] for _ in spans]
    open_: list = []  # enclosing spans, innermost last
    for i in order:
        first, last = spans[i]
        while open_ and spans[open_[-1]][1] < first:
            open_.pop()
        if open_ and last <= spans[open_[-1]][1] and spans[open_[-1]] != (first, last):
            children[open_[-1]].append((first, last))
        open_.append(i)
    out = []
    limits = limits or {}
    for position, ((first, last), inner) in enumerate(zip(spans, children)):
        limit_ = limits.get(position, limit)
        parts = []
        size = 0
        at = max(first, 0)
        for start, end in inner + [(last + 1, last + 1)]:
            if start > at:
                chunk = "\n".join(lines[at:start])
                parts.append(chunk)
                size += len(chunk)
                if size >= limit_:
                    break
            at = max(at, end + 1)
        out.append("\n".join(parts)[:limit_])
    return out


def line_terms(line: str) -> set:
    """The terms of one line of code (for the window of a long function)."""
    return set(chain.from_iterable(map(_word_terms.__getitem__, line.translate(_SPACES).split())))
