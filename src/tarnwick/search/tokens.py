"""Tokenising code and questions into search terms.

Identifiers are indexed both whole and split: ``raise_for_status`` gives the
whole term ``raiseforstatus`` and the parts ``rais``, ``for``, ``status``
(stemmed); ``PostgreSQL`` gives ``postgresql`` and ``postgr``, ``sql``, so
it meets the folder ``postgresql``.  Stop words are dropped from prose and
from plain question words, never from inside an identifier.  Whole terms are
stemmed like single words, so ``ZipFile`` and the module ``zipfile`` meet.
"""

from __future__ import annotations

import functools
import re

from .weights import DEFAULT_WEIGHTS, RankingWeights

STOP_WORDS = frozenset(
    """a an the and or of to in on at by for from with as into about
    is are was were be been it its this that these those there here
    how what where when why which who whom does do did doing done
    i me my we our you your can could should would will shall
    please whose not if than then so but also just after before while like""".split()
)

# Question words that say little about which code is meant; they still count,
# at a fraction of a term's weight.
WEAK_QUERY_WORDS = frozenset(
    """function functions method methods class classes module modules code
    implement implemented implementation defined define work works handle
    handled handling happen happens get use used using call called thing""".split()
)
_SHORT_FORMS = {
    word: tuple(forms.split(","))
    for word, forms in (
        item.split(":")
        for item in """limit:max maximum:max minimum:min number:num,count directory:dir folder:dir
        initialize:init initialise:init authentication:auth authorization:auth authenticate:auth
        configuration:config,conf configure:config temporary:tmp,temp argument:arg,args
        attribute:attr,attrs parameter:param,params environment:env message:msg
        password:pwd,pass position:pos length:len database:db connection:conn source:src
        destination:dst,dest object:obj previous:prev current:cur,curr index:idx information:info
        library:lib package:pkg reference:ref,refs value:val variable:var boolean:bool
        integer:int dictionary:dict error:err exception:exc context:ctx document:doc
        utility:util,utils command:cmd execute:exec application:app
        certificate:cert,certs request:req response:resp address:addr""".split()
    )
}

# An ASCII upper-case run not followed by a lower-case letter (HTTP in
# HTTPServer), an optionally capitalised word, or a digit run.  "Lower-case"
# here is any letter except A-Z, so non-ASCII words stay whole.
_PART_RE = re.compile(r"[A-Z]+(?![^\W\d_A-Z])|[A-Z]?[^\W\d_A-Z]+|\d+")
_IDENT_RE = re.compile(r"\w+")
# An identifier the question marks as code: in backticks, before "(", or
# joined to another by a dot.  The last two start only where a run of name
# characters starts, so a long run costs one pass, not one per character.
_MARKED_RE = re.compile(r"`\s*([\w.]+)\s*`|(?<![\w.])([\w.]+)\(|(?<!\w)(\w+(?:\.\w+)+)")
_DOTS_RE = re.compile(r"\.+")
# A hyphen inside a word run ("If-None-Match", "--max-size", "Set-Cookie"):
# the run is one name, spelled the way code spells it with underscores.
_HYPHEN_RE = re.compile(r"(?<=[^\W_])-(?=[^\W_])")


def words(text: str) -> list[str]:
    """The lower-case parts of ``text``: split at non-letters, underscores,
    digit runs and ASCII case changes (``parseJSON2Dict`` -> parse, json, 2,
    dict)."""
    return [w.lower() for w in _PART_RE.findall(text)]


@functools.lru_cache(maxsize=1 << 16)
def stem(word: str) -> str:
    """Fold common English endings of a lower-case word so that related forms
    meet: plurals, then -ing and -ed, then -er, then -tion and -sion or a
    final -e (escape, escapes, escaping, escaped -> escap; substitution,
    substitute -> substitut).  At least three letters remain."""
    if len(word) <= 3 or not word.isalpha():
        return word
    if word.endswith("ies") and len(word) > 4:
        word = word[:-3] + "y"
    elif word.endswith(("sses", "ches", "shes", "xes")):
        word = word[:-2]
    elif word.endswith("s") and not word.endswith(("ss", "us", "is")):
        word = word[:-1]
    for suffixes in (("ing", "ed"), ("er",)):
        for suffix in suffixes:
            if word.endswith(suffix) and len(word) - len(suffix) >= 3 and not word.endswith("eed"):
                word = word[: -len(suffix)]
                # running -> run, mapped -> map; but keep add, call, pass.
                if len(word) >= 4 and word[-1] == word[-2] and word[-1] not in "aeioulsz":
                    word = word[:-1]
                break
    if word.endswith("ion") and len(word) > 6 and word[-4] in "st":
        # substitution -> substitut(e), compression -> compress
        word = word[:-3]
    elif word.endswith("e") and len(word) > 3:
        word = word[:-1]
    return word


def tokenize(text: str) -> list[str]:
    """Split ``text`` into lower-case, stemmed parts without stop words."""
    return [stem(w) for w in words(text) if w not in STOP_WORDS]


@functools.lru_cache(maxsize=1 << 17)
def identifier_terms(identifier: str) -> tuple[str, ...]:
    """Terms of one identifier: its stemmed parts (stop words kept), then its
    whole form when it has several parts."""
    parts = words(identifier)
    terms = [stem(p) for p in parts]
    if len(parts) > 1:
        whole = stem("".join(parts))
        if whole not in terms:
            terms.append(whole)
    return tuple(terms)


# A lower-case run often joins words the same project spells apart elsewhere
# (the module ``trustedhost`` of ``TrustedHostMiddleware``, ``splitquery``,
# ``staticfiles``): such a term also counts, at a share of its weight, for
# its two words when both are more common terms of the project (a word in
# its own right, such as ``dispatch``, is more common than ``dis``).  The
# share is `RankingWeights.compound_share`.
_COMPOUND_MIN = 7
_PART_MIN = 3


def compound_parts(term: str, frequency) -> tuple[str, str] | None:
    """The two terms that the letters-only ``term`` joins, each more frequent
    than ``term`` in ``frequency`` (a mapping from term to its number of
    documents), or None; of several cuts, the one whose rarer word is the
    most frequent."""
    if len(term) < _COMPOUND_MIN or not term.isalpha():
        return None
    get = frequency.get
    least = get(term, 0)
    best = None
    for cut in range(_PART_MIN, len(term) - _PART_MIN + 1):
        tail = term[cut:]
        tail_count = get(tail, 0)
        if tail_count <= least or tail in STOP_WORDS:
            continue
        head = term[:cut]
        if head not in frequency:
            head = stem(head)  # "trusted" + "host": the first word was not stemmed
        count = min(get(head, 0), tail_count)
        if count > least and head not in STOP_WORDS and (best is None or count > best[0]):
            best = (count, head, tail)
    return best and best[1:]


def one_word_terms(names) -> set:
    """The terms of the ``names`` that are one word long enough to be a
    compound ("trustedhost", not "TrustedHost" whose words are indexed)."""
    out = set()
    for name in names:
        terms = identifier_terms(name)
        if len(terms) == 1 and len(terms[0]) >= _COMPOUND_MIN:
            out.add(terms[0])
    return out


def compound_splits(frequency, terms) -> dict:
    """{term: its two words} for the compound terms among ``terms``;
    ``frequency`` maps every term to its number of documents."""
    splits = {}
    for term in terms:
        if len(term) >= _COMPOUND_MIN:
            parts = compound_parts(term, frequency)
            if parts is not None:
                splits[term] = parts
    return splits


def add_compound_parts(docs, splits: dict, weights: RankingWeights = DEFAULT_WEIGHTS, raised: dict | None = None) -> None:
    """Give each document of ``docs`` the words of its compound terms (at
    least ``weights.compound_share`` of the compound's weight), in place;
    the words given or raised, with their new weights, also go to ``raised``
    when given (for one document)."""
    compound_share = weights.compound_share
    for doc in docs:
        # In the document's order, never a set's: one compound may raise the
        # weight of another ("settimeout", then "timeout"), and a set's order
        # changes with the hash seed.
        compounds = [term for term in doc if term in splits]
        if compounds:
            get = doc.get
            for term in compounds:
                share = doc[term] * compound_share
                head, tail = splits[term]
                if share > get(head, 0.0):
                    doc[head] = share
                    if raised is not None:
                        raised[head] = share
                if share > get(tail, 0.0):
                    doc[tail] = share
                    if raised is not None:
                        raised[tail] = share


def add_text(doc: dict, text, weight: float, prose: bool = True) -> None:
    """Add the terms of ``text`` to the term weights ``doc``.

    In prose a one-part word that is a stop word is dropped; the parts of a
    compound identifier are always kept.
    """
    if not text or not isinstance(text, str):
        return
    if not prose and text.isidentifier():
        for term in identifier_terms(text):
            doc[term] = doc.get(term, 0.0) + weight
        return
    for ident in _IDENT_RE.findall(text):
        terms = identifier_terms(ident)
        if prose and len(terms) == 1 and ident.lower() in STOP_WORDS:
            continue
        for term in terms:
            doc[term] = doc.get(term, 0.0) + weight


def asks_for_tests(query: str) -> bool:
    """True when the question asks for test code itself ("tests for the
    retry logic", "add tests", "sqlite3 transaction tests"), as opposed to
    mentioning a test ("for the duration of a test", "discover test
    modules"), whatever else it asks."""
    return "tests" in words(query)


def query_terms(query: str, weights: RankingWeights = DEFAULT_WEIGHTS) -> dict[str, float]:
    """The weighted terms of a question (each distinct term once, at its
    highest weight)."""
    out: dict[str, float] = {}

    def put(term: str, weight: float) -> None:
        if weight > out.get(term, 0.0):
            out[term] = weight

    query = _HYPHEN_RE.sub("_", query)
    marked = set()
    for match in _MARKED_RE.finditer(query):
        for ident in _DOTS_RE.split(next(g for g in match.groups() if g)):
            if ident:
                marked.add(ident)
    plain: list[str | None] = []  # one-part words in order, None between runs
    for ident in _IDENT_RE.findall(query):
        parts = words(ident)
        if not parts:
            continue
        if len(parts) > 1 or ident in marked:
            # Spelled as code: its whole form is what the user means.
            for part in parts:
                put(stem(part), 1.0)
            put(stem("".join(parts)), weights.exact)
            plain.append(None)
            continue
        word = parts[0]
        if word in STOP_WORDS:
            plain.append(None)
            continue
        put(stem(word), weights.weak if word in WEAK_QUERY_WORDS else 1.0)
        for form in _SHORT_FORMS.get(word, ()):
            put(stem(form), weights.short_form)
        plain.append(word)
    for first, second in zip(plain, plain[1:]):
        if first and second:
            put(stem(first + second), weights.joined)
    return out
