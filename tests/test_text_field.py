"""The words of the source text (bodies, comments, string literals) as a
field of file and symbol documents."""

import textwrap
import time

import pytest

from tarnwick import project as project_module, vx
from tarnwick.indexer import index_project
from tarnwick.indexer.output import encode
from tarnwick.search.content import MAX_TERMS, add_counts, own_texts, source_counts, text_counts
from tarnwick.search.corpus import UNCOUNTED, MemoryCorpus, take_length
from tarnwick.search.documents import file_terms, pack_documents, unpack_documents
from tarnwick.search.rank import score
from tarnwick.search.tokens import query_terms


@pytest.fixture(autouse=True)
def _no_project(monkeypatch):
    monkeypatch.delenv(vx.ENV_VAR, raising=False)
    monkeypatch.setattr(project_module, "_project_override", None)
    vx.take_notes()


LINES = [
    "class Cart:",  # 0
    "    note = 'shelf'",  # 1
    "    def add(self):",  # 2
    "        # brotli stream",  # 3
    "        def inner():",  # 4
    "            return 'gzip'",  # 5
    "        return inner",  # 6
    "    tail = 'after'",  # 7
    "top = 'module words'",  # 8
]


@pytest.mark.parametrize("spans, expected", [
    # A class without its method; the method without its inner function.
    ([(0, 7), (2, 6), (4, 5)], ["class Cart:\n    note = 'shelf'\n    tail = 'after'",
                                "    def add(self):\n        # brotli stream\n        return inner",
                                "        def inner():\n            return 'gzip'"]),
    # Two symbols of the same span are not nested in each other.
    ([(4, 5), (4, 5)], ["        def inner():\n            return 'gzip'"] * 2),
    # Side by side, each its own lines.
    ([(0, 1), (8, 8)], ["class Cart:\n    note = 'shelf'", "top = 'module words'"]),
])
def test_own_texts_leave_out_nested_symbols(spans, expected):
    assert own_texts(LINES, spans, 10_000) == expected


def test_source_counts_give_each_line_to_one_symbol_and_all_to_the_file():
    whole, per_symbol = source_counts(LINES, [(0, 7), (2, 6)], 10_000, 10_000)
    add, cart = per_symbol[1], per_symbol[0]
    assert "brotli" in add and "brotli" not in cart
    assert "shelf" in cart and "shelf" not in add
    assert {"brotli", "gzip", "shelf", "modul", "word"} <= whole.keys()
    assert "modul" not in add and "modul" not in cart  # module-level text is the file's only


@pytest.mark.parametrize("text, present, absent", [
    ("# utf-8 BOM cannot parse json", {"utf", "bom", "pars", "json"}, {"8"}),
    ("raise ValueError('brotli not decompressed')", {"brotli", "decompress", "valueerror", "valu", "error"}, {"not", "rais"}),
    ("return self.max_retries if x else None", {"maxretry", "max", "retry"}, {"return", "self", "if", "els", "none"}),
    ("const ünïcode = 'naïve café'", {"ünïcod", "naïv", "café"}, {"const"}),
    ("0x1f 123 3rd", set(), {"0x1f", "123", "3rd"}),
])
def test_text_terms(text, present, absent):
    counts = text_counts(text, 10_000)
    assert present <= counts.keys()
    assert not absent & counts.keys()


def test_a_repeated_word_grows_with_its_logarithm():
    doc = add_counts({}, text_counts("retry " * 100 + "backoff", 10_000), 1.0)
    assert 5.0 < doc["retry"] < 6.0  # 1 + ln 100
    assert doc["backoff"] == 1.0


def test_a_huge_one_line_file_gives_a_bounded_document():
    line = " ".join(f"name{i}x" for i in range(1_000_000))  # about 9 MB of distinct words
    started = time.perf_counter()
    whole, (symbol,) = source_counts([line], [(0, 0)], 32 * 1024, 96 * 1024)
    assert time.perf_counter() - started < 5.0
    assert len(symbol) < 32 * 1024 and len(whole) < 2 * 96 * 1024
    assert len(add_counts({}, whole, 1.0).keys() - {UNCOUNTED}) == MAX_TERMS


def test_a_long_source_text_leaves_name_matches_as_strong():
    names = file_terms("pkg/render.py", "", ["render"])
    filler = " ".join(f"word{i}x" for i in range(500))
    corpus = MemoryCorpus()
    for text in ("render()", f"render() {filler}"):
        corpus.add_file(text[:9], add_counts(dict(names), text_counts(text, 10_000), 0.2))
    corpus.add_file("other", {"other": 1.0})
    files, _ = score(corpus.finish(), query_terms("render"))
    assert files[0] == pytest.approx(files[1])


@pytest.mark.parametrize("uncounted, length", [
    (2.0, 4.0),
    (10.0, 0.0),  # more than the whole, as a damaged cache may hold: never below nothing
    ("2", 6.0),  # not a number: the whole counts
])
def test_a_documents_length_leaves_its_uncounted_weight_out(uncounted, length):
    terms = {"a": 3.0, "b": 3.0, UNCOUNTED: uncounted}
    assert take_length(terms) == length and UNCOUNTED not in terms


def test_documents_travel_with_their_weights_exact():
    text = "# retry the stream\n" * 3 + "retry backoff"
    docs = [add_counts({"retry": 3.0}, text_counts(text, 10_000), 0.2), add_counts({}, text_counts("stream", 100), 0.2), {}]
    packed = pack_documents(docs, encode)
    assert packed.count("\n") == 1  # the weights once per file, then the documents
    back = unpack_documents(packed)
    assert back == docs and [list(doc) for doc in back] == [list(doc) for doc in docs]
    assert [doc[t].hex() for doc in back for t in doc] == [doc[t].hex() for doc in docs for t in doc]


@pytest.mark.parametrize("text", [
    '[0.5]\n[{"a": 1}]',  # a position past the weights
    '[0.5]\n[{"a": -1}]',  # a position counted from the end
    '[0.5]\n[{"a": 99999999999999999999}]',
    '["many"]\n[{"a": 0}]',  # a weight that is text
    '[[0.5]]\n[{"a": 0}]',
    '{"a": 0.5}\n[{"a": 0}]',
    '[0.5]\n{"a": 0}',  # documents that are not a list
    '[0.5]\n[[0]]',  # a document that is not a map
    '[0.5]',  # no documents at all
    '[{"a": 0.5}]',  # the shape before the weights were listed once
    'garbage\n[]',
])
def test_documents_text_of_another_shape_is_refused(text):
    assert unpack_documents(text) is None


def write(root, rel, text):
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))


@pytest.mark.parametrize("query, path, symbol", [
    ("brotli not decompressed", "net/decode.js", "decodeBody"),  # a comment
    ("utf-8 BOM cannot parse", "net/json.py", "load_document"),  # a string literal
    ("exponential backoff jitter", "net/retry.go", "Retrier.Wait"),  # local names in a body
])
def test_words_of_bodies_comments_and_strings_find_their_code(tmp_path, query, path, symbol):
    write(tmp_path, "net/decode.js", """\
        function decodeBody(res) {
          // brotli streams were not decompressed before
          return res.pipe(zlib.createBrotliDecompress());
        }
        function other() { return 1; }
        """)
    write(tmp_path, "net/json.py", '''\
        def load_document(raw):
            if raw.startswith(b"\\xef\\xbb\\xbf"):
                raise ValueError("utf-8 BOM: cannot parse the document")
            return raw
        def dump_document(doc):
            return doc
        ''')
    write(tmp_path, "net/retry.go", """\
        package net

        type Retrier struct{}

        func (r *Retrier) Wait(attempt int) {
        \texponentialBackoff := 1 << attempt
        \tjitter := rand.Intn(exponentialBackoff)
        \tsleep(jitter)
        }
        """)
    write(tmp_path, "net/other.py", "def unrelated():\n    return 'nothing here'\n")
    index_project(tmp_path, jobs=1)
    vx.set_project(tmp_path)
    files = vx.retrieve(vx.load_graph(), query)["files"]
    assert files[0]["id"] == path
    assert files[0]["symbols"][0]["name"] == symbol
