"""The search index and the ranking behind tarnwick.vx.retrieve."""

import json
import math
import os
import sqlite3
import subprocess
import sys
import textwrap
from array import array

import pytest
from hypothesis import given, strategies as st

from tarnwick import graph as graph_module, project as project_module, vx
from tarnwick._scoring import encode_postings
from tarnwick.indexer import index_project
from tarnwick.search.build import corpus_from_graph
from tarnwick.search.corpus import MemoryCorpus
from tarnwick.search.documents import find_tests
from tarnwick.search.rank import score
from tarnwick.search.weights import DEFAULT_WEIGHTS, RankingWeights
from tarnwick.focus import symbol_matches
from tarnwick.search.content import line_terms
from tarnwick.search.tokens import add_compound_parts, add_text, compound_parts, identifier_terms, query_terms


@pytest.fixture(autouse=True)
def _no_project(monkeypatch):
    monkeypatch.delenv(vx.ENV_VAR, raising=False)
    monkeypatch.setattr(project_module, "_project_override", None)
    vx.take_notes()


def write(root, rel, text):
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))


@pytest.fixture
def project(tmp_path):
    """A small indexed project whose files compete for the same words."""
    write(tmp_path, "shop/http.py", '''\
        """Sending requests to the payment service."""
        class Response:
            def raise_for_status(self):
                """Raise an error for a failed request."""
            def json(self, strict_mode=False):
                return decode(self.body, strict=strict_mode)
        ''')
    write(tmp_path, "shop/status.py", '"""Order status values: raise, for, status words everywhere."""\nSTATUS = 1\n')
    write(tmp_path, "shop/postgresql/backend.py", '"""Storage."""\ndef connect(dsn):\n    return dsn\n')
    write(tmp_path, "shop/orders.py", '''\
        """Orders and their refunds."""
        def refund_order(order, reason):
            """Give the money back for an order."""
        def forget(order):
            return order.headers.pop("Authorization")
        ''')
    write(tmp_path, "tests/test_orders.py", '''\
        """Refund order tests: refund order, refund order, refund order."""
        def test_refund_order(): refund_order_again()
        def test_refund_order_twice(): refund_order_again()
        ''')
    write(tmp_path, "examples/refunds.py", '''\
        """Refund an order: refund order example."""
        def refund_order_example(order): refund_order(order, "late")
        ''')
    index_project(tmp_path, jobs=1)
    vx.set_project(tmp_path)
    return tmp_path


def ask(query, **kwargs):
    return vx.retrieve(vx.load_graph(), query, **kwargs)


def ids(result):
    return [entry["id"] for entry in result["files"]]


# --- terms -------------------------------------------------------------------

def test_identifiers_are_indexed_whole_and_split():
    assert identifier_terms("raise_for_status") == ("rais", "for", "status", "raiseforstatus")
    assert identifier_terms("PostgreSQL")[-1] == identifier_terms("postgresql")[0]
    assert identifier_terms("ZipFile")[-1] == identifier_terms("zipfile")[0]
    assert identifier_terms("substitution") == identifier_terms("substitute")  # -tion meets its verb


@pytest.mark.parametrize("query, term, weight", [
    ("where is raise_for_status", "raiseforstatus", DEFAULT_WEIGHTS.exact),
    ("what does `decode` do", "decod", DEFAULT_WEIGHTS.exact),
    ("call parse() twice", "pars", DEFAULT_WEIGHTS.exact),
    ("raise for status", "status", 1.0),
    ("zip file reading", "zipfil", pytest.approx(0.6)),
    ("the If-None-Match header", "ifnonematch", DEFAULT_WEIGHTS.exact),  # hyphens join a name
    ("limit the number of retries", "max", DEFAULT_WEIGHTS.short_form),  # the short form code uses
])
def test_query_terms(query, term, weight):
    terms = query_terms(query)
    assert terms[term] == weight
    assert "for" not in query_terms("raise for status")  # a plain stop word


@pytest.mark.parametrize("term, parts", [
    ("trustedhost", ("trust", "host")),  # the first word as written, stemmed
    ("splitquery", ("split", "query")),
    ("dispatch", None),                  # a word in its own right: more common than "dis"
    ("forward", None),                   # no stop word as a part
    ("setkey", None),                    # too short to cut
])
def test_compound_parts(term, parts):
    frequency = {"trust": 5, "host": 9, "split": 7, "query": 4, "dis": 2, "patch": 6, "dispatch": 8,
                 "for": 9, "ward": 3, "forward": 1, "set": 9, "key": 9, "trustedhost": 1, "splitquery": 1}
    assert compound_parts(term, frequency) == parts
    doc = {term: 2.0, "host": 0.1, "query": 5.0}
    add_compound_parts([doc], {term: parts} if parts else {})
    for part in parts or ():
        assert doc[part] == max(1.0, {"host": 0.1, "query": 5.0}.get(part, 0))  # half the compound's weight, or more


@pytest.mark.parametrize("doc, raised", [
    ({"settimeout": 1.0, "timeout": 0.2}, {"set": 0.5, "timeout": 0.5, "tim": 0.25, "out": 0.25}),  # raised, then split itself
    ({"settimeout": 1.0, "timeout": 0.7, "set": 0.5}, {"tim": 0.35, "out": 0.35}),  # words as heavy or heavier: kept
    ({"timeout": 1.0, "settimeout": 4.0}, {"tim": 0.5, "out": 0.5, "set": 2.0, "timeout": 2.0}),  # raised after its own split
    ({"plain": 1.0}, {}),
])
def test_the_words_a_compound_gives_or_raises_are_told(doc, raised):
    # What the postings helper mends: exactly the terms whose weight changed.
    before = dict(doc)
    told = {}
    add_compound_parts([doc], {"timeout": ("tim", "out"), "settimeout": ("set", "timeout")}, raised=told)
    assert told == raised
    assert {term: weight for term, weight in doc.items() if before.get(term) != weight} == raised


def test_compound_words_follow_the_document_under_any_hash_seed():
    # "settimeout" raises "timeout", whose words then get half of that: the
    # outcome must follow the document's order, not a set's (which moves
    # with the hash seed and once made the index differ from run to run).
    code = (
        "from tarnwick.search.tokens import add_compound_parts\n"
        "doc = {'settimeout': 1.0, 'timeout': 0.2}\n"
        "add_compound_parts([doc], {'timeout': ('tim', 'out'), 'settimeout': ('set', 'timeout')})\n"
        "print(sorted(doc.items()))"
    )
    seen = {
        subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONHASHSEED=str(seed)),
                       capture_output=True, text=True, check=True).stdout
        for seed in range(8)
    }
    assert seen == {str(sorted({"settimeout": 1.0, "set": 0.5, "timeout": 0.5, "tim": 0.25, "out": 0.25}.items())) + "\n"}


def test_a_compound_file_name_meets_its_words(tmp_path):
    write(tmp_path, "web/trustedhost.py", "def check(scope):\n    return scope\n")
    write(tmp_path, "web/hosts.py", "def host_name(): pass\ndef host_port(): pass\ndef trust_level(): pass\ndef trust_score(): pass\n")
    index_project(tmp_path, jobs=1)
    vx.set_project(tmp_path)
    assert "web/trustedhost.py" in ids(ask("where is a host trusted"))


@pytest.mark.parametrize("path, is_test", [
    ("tests/test_orders.py", True), ("pkg/test_x.py", True), ("pkg/x_test.py", True), ("conftest.py", True),
    ("unittest/test/testmock/testpatch.py", True), ("pkg/testing.py", False), ("contest.py", False), ("latest/x.py", False),
    ("src/ssr.test.tsx", True), ("lib/body.spec.js", True), ("src/spec.ts", False), ("src/test.utils.ts", False),
])
def test_test_paths(path, is_test):
    assert (path in find_tests([(path, ["TestOrders.test_refund"])])) is is_test


def test_a_test_folder_without_tests_is_code():
    files = [
        ("web/test/client.py", ["Client", "Client.get"]),  # a package's test client: code
        ("web/test/runner.py", ["DiscoverRunner.run_suite"]),
        ("pkg/tests/support.py", ["make_app"]),              # a helper of a test suite
        ("pkg/tests/checks.py", ["LoaderTests.test_load"]),
        # Suites that call test(...) and it(...): at the root, or in __tests__, a folder is tests.
        ("test/main.ts", ["withServer"]),
        ("lib/__tests__/body.js", ["makeBody"]),
    ]
    assert find_tests(files) == {"pkg/tests/support.py", "pkg/tests/checks.py", "test/main.ts", "lib/__tests__/body.js"}


# --- ranking -----------------------------------------------------------------

@pytest.mark.parametrize("query, first", [
    ("raise_for_status", "shop/http.py"),           # exact identifier beats the words spread in a summary
    ("PostgreSQL connection", "shop/postgresql/backend.py"),  # whole form meets the folder name
    ("the strict_mode option of json", "shop/http.py"),       # parameters are searched
    ("where is Authorization dropped", "shop/orders.py"),    # so are name-like strings
    ("how is an order refunded", "shop/orders.py"),           # test files count less...
    ("tests for refunding orders", "tests/test_orders.py"),   # ...unless the question is about tests
    ("add tests for refund_order", "tests/test_orders.py"),   # asking for tests wins over another intent
    ("the refund order tests fail", "shop/orders.py"),        # but a failure is the code's
    ("refund an order", "shop/orders.py"),                    # examples count less...
    ("an example of refunding an order", "examples/refunds.py"),  # ...unless asked for
])
def test_ranking_rules(project, query, first):
    assert ids(ask(query))[0] == first


def test_file_entries_list_their_best_symbols(project):
    entry = ask("raise for status of a response")["files"][0]
    assert entry["id"] == "shop/http.py"
    symbols = entry["symbols"]
    assert symbols[0] == {
        "id": "shop/http.py::Response.raise_for_status", "name": "Response.raise_for_status",
        "symbol_kind": "method", "line_start": 2, "line_end": 3, "score": symbols[0]["score"],
    }
    assert [s["score"] for s in symbols] == sorted((s["score"] for s in symbols), reverse=True)
    assert all(s["id"].startswith("shop/http.py::") for s in symbols) and len(symbols) <= 8
    assert ask("status values")["files"][0]["symbols"] == []


@pytest.mark.parametrize("query", [
    "", "the of and", "?!... ::: ()", "refund \x00 order", "refund \ud800 order", "refund order " * 8000,
])
def test_odd_queries_give_valid_results(project, query):
    result = ask(query)
    assert set(result) == {"files", "edges", "intent"}
    assert all(isinstance(e["score"], float) for e in result["files"])
    assert vx.take_notes() == []


SMALL_GRAPH = {
    "nodes": [
        {"id": "a/http_client.py", "kind": "file", "path": "a/http_client.py", "summary": "HTTP client."},
        {"id": "a/http_client.py::Client.send", "kind": "symbol", "path": "a/http_client.py", "name": "Client.send",
         "symbol_kind": "method", "line_start": 3, "line_end": 9},
        {"id": "tests/test_http.py", "kind": "file", "path": "tests/test_http.py", "summary": None},
    ],
    "edges": [{"from": "tests/test_http.py", "to": "a/http_client.py", "rel": "imports"}],
}


@given(st.text())
def test_any_query_gives_a_valid_result(query):
    result = vx.retrieve(SMALL_GRAPH, query)
    assert result["intent"] == vx.classify_intent(query)
    for entry in result["files"]:
        assert entry["score"] > 0 and entry["id"] in ("a/http_client.py", "tests/test_http.py")
        assert all(s["id"].startswith(entry["id"] + "::") for s in entry["symbols"])
    assert all(e in SMALL_GRAPH["edges"] for e in result["edges"])


# --- the index file ----------------------------------------------------------

def test_index_is_used_only_for_its_own_graph(project):
    # Parameters are only in the index: a question about one shows it is used.
    assert ids(ask("strict_mode"))[:1] == ["shop/http.py"]
    graph = vx.load_graph()
    assert ids(vx.retrieve(dict(graph, generation="another run"), "strict_mode")) == []
    assert vx.take_notes() == []


def damage(path, how):
    if how == "truncated":
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 3])
    elif how == "not a database":
        path.write_bytes(b"hello" * 1000)
    elif how == "other version":
        with sqlite3.connect(path) as db:
            db.execute("UPDATE meta SET value = 99 WHERE key = 'format'")
    elif how == "an older format":  # its tables differ too
        with sqlite3.connect(path) as db:
            db.execute("DROP TABLE terms")
            db.execute("CREATE TABLE terms(term TEXT PRIMARY KEY, files BLOB, df INTEGER) WITHOUT ROWID")
            db.execute("UPDATE meta SET value = 6 WHERE key = 'format'")
    elif how == "fifo":
        path.unlink()
        os.mkfifo(path)
    elif how == "outside the root":
        outside = path.parent.parent.parent / "elsewhere.db"
        path.replace(outside)
        path.symlink_to(outside)
    elif how == "bad postings":
        with sqlite3.connect(path) as db:
            db.execute("UPDATE terms SET postings = x'ffffffff' WHERE term = 'refund'")
    elif how == "a posting past the last file":
        with sqlite3.connect(path) as db:
            (count,) = db.execute("SELECT value FROM meta WHERE key = 'files'").fetchone()
            postings = encode_postings(array("I", [count]), array("f", [1.0]), array("I"), array("f"))
            db.execute("UPDATE terms SET postings = ? WHERE term = 'refund'", (postings,))
    elif how == "postings truncated":
        with sqlite3.connect(path) as db:
            db.execute("UPDATE terms SET postings = substr(postings, 1, length(postings) - 1) WHERE term = 'refund'")
    elif how == "postings not a blob":
        with sqlite3.connect(path) as db:
            db.execute("UPDATE terms SET postings = 'refund' WHERE term = 'refund'")
    elif how == "a symbol's file out of range":
        with sqlite3.connect(path) as db:
            db.execute("UPDATE symbols SET file = file + 1000000 WHERE file IS NOT NULL")
    elif how == "norms not numbers":
        with sqlite3.connect(path) as db:
            (data,) = db.execute("SELECT data FROM arrays WHERE name = 'file_norm/0'").fetchone()
            nan = array("f", [math.nan] * (len(data) // 4)).tobytes()
            db.execute("UPDATE arrays SET data = ? WHERE name = 'file_norm/0'", (nan,))


@pytest.mark.parametrize("how", [
    "truncated", "not a database", "other version", "an older format", "fifo", "outside the root", "bad postings",
    "a posting past the last file", "postings truncated", "postings not a blob", "a symbol's file out of range",
    "norms not numbers",
])
def test_damaged_index_falls_back_with_one_note(project, how):
    expected = ids(vx.retrieve(dict(vx.load_graph(), generation=None), "refund order"))
    damage(project / ".vestra" / "search.db", how)
    assert ids(ask("refund order")) == expected
    notes = vx.take_notes()
    assert len(notes) == 1 and "\n" not in notes[0] and "search.db" in notes[0]
    assert ("written by another version" in notes[0]) == (how in ("other version", "an older format"))


def test_index_is_updated_in_place_with_the_graph(project):
    before = (project / ".vestra" / "search.db").stat().st_ino
    write(project, "shop/more.py", "def ship_parcel(): pass\n")
    index_project(project, jobs=1)
    assert (project / ".vestra" / "search.db").stat().st_ino == before  # not copied
    assert ids(ask("ship parcel")) == ["shop/more.py"]
    assert [p.name for p in (project / ".vestra").iterdir() if p.name.endswith(".tmp")] == []


# --- loading the graph -------------------------------------------------------

def test_graph_checked_unless_the_index_vouches_for_it(project, monkeypatch):
    checked = []
    real = graph_module._check_records
    monkeypatch.setattr(graph_module, "_check_records", lambda *a, **k: checked.append(a[3]) or real(*a, **k))
    graph_file = project / ".vestra" / "graph.json"
    stored = json.loads(graph_file.read_text())
    loaded = vx.load_graph()  # from the index's compact copy
    assert loaded == stored and list(loaded) == list(stored) and checked == []
    assert [list(n) for n in loaded["nodes"]] == [list(n) for n in stored["nodes"]]
    with sqlite3.connect(project / ".vestra" / "search.db") as db:
        db.execute("DELETE FROM graph")
    assert vx.load_graph() == stored and checked == []  # parsed, not checked: the file is vouched for
    with sqlite3.connect(project / ".vestra" / "search.db") as db:
        db.execute("INSERT INTO graph VALUES ('ids', x'0102')")
    assert vx.load_graph() == stored
    assert len(vx.take_notes()) == 1
    graph_file.write_bytes(graph_file.read_bytes().replace(b'"line_start":2', b'"line_start":"2"'))
    with pytest.raises(vx.GraphError, match='"line_start" must be an integer'):
        vx.load_graph()


def the_part_for(full, files):
    """What the packer reads of ``full`` for ``files``, and the edges touching them."""
    nodes = [n for n in full["nodes"] if n["id"] in files or (n["kind"] == "symbol" and n["path"] in files)]
    edges = [e for e in full["edges"] if {e["from"].split("::")[0], e["to"].split("::")[0]} & files]
    return dict(full, nodes=nodes, edges=edges)


@pytest.mark.parametrize("query", ["refund order", "raise_for_status strict_mode", "tests for refund_order", "", "zzz"])
def test_a_deferred_graph_gets_the_part_of_its_query(project, query):
    from tarnwick import context_packer as cp

    full = vx.load_graph()
    expected = vx.retrieve(full, query)
    vx.defer_next_graph()
    graph = vx.load_graph()
    assert graph == dict(full, nodes=[], edges=[]) and list(graph) == list(full)
    assert vx.retrieve(graph, query) == expected
    assert graph == the_part_for(full, {entry["id"] for entry in expected["files"]})
    summaries = cp.load_summaries(project)
    assert cp.pack(expected, summaries, graph, project) == cp.pack(expected, summaries, full, project)
    vx.retrieve(graph, "order status")  # another query: the rest of the graph first
    assert graph == full and vx.load_graph() == full and vx.take_notes() == []


@pytest.mark.parametrize("how", ["damaged part", "graph file touched"])
def test_a_deferred_graph_is_loaded_whole_when_the_index_cannot_give_its_part(project, how):
    full = vx.load_graph()
    if how == "damaged part":
        with sqlite3.connect(project / ".vestra" / "search.db") as db:
            db.execute("UPDATE parts SET nodes = x'789c00'")
    else:
        os.utime(project / ".vestra" / "graph.json")
    vx.defer_next_graph()
    graph = vx.load_graph()
    assert ids(vx.retrieve(graph, "refund order"))[:1] == ["shop/orders.py"] and graph == full
    assert len(vx.take_notes()) == (how == "damaged part")


@pytest.mark.parametrize("kind", ["fifo", "directory", "link outside the root", "link inside the root", "dangling link"])
def test_graph_file_kinds(tmp_path, kind):
    vestra = tmp_path / "p" / ".vestra"
    vestra.mkdir(parents=True)
    graph = vestra / "graph.json"
    elsewhere = tmp_path / "other.json"
    elsewhere.write_text('{"nodes": [{"id": "secret.py", "kind": "file"}]}')
    if kind == "fifo":
        os.mkfifo(graph)
    elif kind == "directory":
        graph.mkdir()
    elif kind == "link outside the root":
        graph.symlink_to(elsewhere)
    elif kind == "link inside the root":
        (vestra / "real.json").write_text('{"nodes": [{"id": "a.py", "kind": "file"}]}')
        graph.symlink_to("real.json")
    else:
        graph.symlink_to(tmp_path / "missing.json")
    vx.set_project(tmp_path / "p")
    if kind in ("fifo", "directory"):
        with pytest.raises(vx.GraphError, match=r"graph\.json: cannot read file \(not a regular file\)"):
            vx.load_graph()
    else:
        nodes = vx.load_graph()["nodes"]
        assert nodes == ([{"id": "a.py", "kind": "file"}] if kind == "link inside the root" else [])


def test_index_locked_by_another_process_is_still_read(project):
    holder = sqlite3.connect(project / ".vestra" / "search.db")
    holder.execute("BEGIN EXCLUSIVE")
    try:
        assert ids(ask("strict_mode"))[:1] == ["shop/http.py"]
        assert vx.take_notes() == []
    finally:
        holder.close()


def test_index_of_a_project_whose_path_needs_escaping(tmp_path):
    root = tmp_path / "a ?#%25 b"
    write(root, "m.py", "def handler(strict_mode=False): pass\n")
    index_project(root, jobs=1)
    vx.set_project(root)
    assert ids(ask("strict_mode")) == ["m.py"] and vx.take_notes() == []


@pytest.mark.parametrize("how", ["not a database", "other version"])
def test_a_rerun_with_nothing_changed_mends_the_index(project, how):
    damage(project / ".vestra" / "search.db", how)
    index_project(project, jobs=1)
    assert ids(ask("strict_mode"))[:1] == ["shop/http.py"] and vx.take_notes() == []


# A knob set on the weights passed in changes the ranking it is meant for, and
# nothing else needs patching: the search index and the in-memory corpus alike.
@pytest.mark.parametrize("question, code, shared", [
    ("How is HTML escaped?", "def escape_html(text):", {"escap", "html"}),
    ("maximum redirects allowed", "if count > self.max_redirects:", {"max", "redirect"}),
    ("If-None-Match ignored", "if_none_match = headers.get(key)", {"if", "non", "match", "ifnonematch"}),
    ("`ZipFile` entries", "import zipfile", {"zipfil"}),
    ("read file", "def readfile(path):", {"readfil"}),
])
def test_question_and_code_meet_through_one_tokenising_chain(question, code, shared):
    """The terms retrieval ranks by and the view chooses windows by are the
    question's `query_terms`; both sides cut code alike."""
    asked = set(query_terms(question))
    document = {}
    add_text(document, code, 1.0)
    assert asked & set(document) == shared  # the search documents
    assert asked & line_terms(code) == shared  # the lines of a long function


@pytest.mark.parametrize("query", ["refund an order", "raise_for_status", "json strict mode", "status"])
def test_the_view_ranks_symbols_as_retrieval_does(project, query):
    graph = dict(vx.load_graph(), generation=None)  # ranked in memory, from the graph's documents
    retrieved = vx.retrieve(graph, query)["files"]
    # Without retrieval's symbols, every file of the project scored at once: the same documents.
    everything = [{"id": node["id"]} for node in graph["nodes"] if node.get("kind") == "file"]
    matches = symbol_matches(everything, graph, query, {})
    for entry in retrieved:
        expected = [(s["name"], s["line_start"], pytest.approx(s["score"])) for s in entry["symbols"]]
        assert [(s["name"], s["line_start"], s["score"]) for s in matches[entry["id"]]] == expected


@pytest.mark.parametrize("query, weights, first", [
    ("how is an order refunded", RankingWeights(test_factor=4.0), "tests/test_orders.py"),
    ("refund an order", RankingWeights(example_factor=4.0), "examples/refunds.py"),
    ("raise_for_status", RankingWeights(exact=0.0, best_symbol_share=0.0), "shop/status.py"),
])
@pytest.mark.parametrize("use_index", [True, False])
def test_ranking_weights_are_passed_in(project, query, weights, first, use_index):
    graph = vx.load_graph()
    if not use_index:
        graph = dict(graph, generation=None)
    assert ids(vx.retrieve(graph, query))[0] != first
    assert ids(vx.retrieve(graph, query, weights=weights))[0] == first
    assert vx.retrieve(graph, query, weights=DEFAULT_WEIGHTS) == vx.retrieve(graph, query)


@pytest.mark.parametrize("knob, query, term", [
    ("exact", "where is raise_for_status", "raiseforstatus"),
    ("short_form", "limit the number of retries", "max"),
    ("weak", "which function", "funct"),
    ("joined", "where is the code used", "codeus"),
])
def test_question_weights_come_from_the_record(knob, query, term):
    weights = RankingWeights(**{knob: 0.125})
    assert query_terms(query, weights)[term] == 0.125
    assert query_terms(query)[term] == getattr(DEFAULT_WEIGHTS, knob)


def test_ranking_weights_take_known_names_only_and_stay_as_made():
    weights = RankingWeights(exact=1.5)
    assert (weights.exact, weights.weak) == (1.5, DEFAULT_WEIGHTS.weak)
    assert DEFAULT_WEIGHTS.exact == 2.5
    with pytest.raises(TypeError, match="exactt"):
        RankingWeights(exactt=1.0)
    with pytest.raises(AttributeError):
        weights.exact = 3.0


# Lengths 3, 2, 4 (average 3); "x" is in two of three files: idf = ln(1 + 1.5 / 2.5).
_IDF = math.log(1 + 1.5 / 2.5)


@pytest.mark.parametrize("weights, first, third", [
    (None, 0.6462550, 0.4136032),  # k1 1.2, b 0.75, worked by hand
    # b = 0: no length norm, so a term count of 2 scores idf * 3 * 2 / (2 + 2).
    (RankingWeights(bm25_k1=2.0, bm25_b=0.0), _IDF * 3 * 2 / 4, _IDF * 3 * 1 / 3),
])
def test_bm25_scores_by_hand(weights, first, third):
    corpus = MemoryCorpus(weights) if weights else MemoryCorpus()
    for terms in ({"x": 2, "y": 1}, {"y": 2}, {"x": 1, "z": 3}):
        corpus.add_file("f", terms)
    files, symbols = score(corpus.finish(), {"x": 1.0}, *([weights] if weights else []))
    assert symbols == {} and set(files) == {0, 2}
    assert files[0] == pytest.approx(first, rel=1e-6)
    assert files[2] == pytest.approx(third, rel=1e-6)


def test_a_re_exporting_package_init_gets_no_import_prior():
    files = ["pkg/__init__.py", "pkg/core.py", "pkg/util.py", "app/a.py", "app/b.py"]
    imports = [("pkg/__init__.py", "pkg/core.py"), ("pkg/__init__.py", "pkg/util.py")]
    imports += [(user, target) for user in ("app/a.py", "app/b.py") for target in ("pkg/__init__.py", "pkg/core.py")]
    graph = {
        "nodes": [{"id": f, "kind": "file", "path": f} for f in files]
        + [{"id": "pkg/core.py::run", "kind": "symbol", "path": "pkg/core.py", "name": "run"}],
        "edges": [{"from": a, "to": b, "rel": "imports"} for a, b in imports],
    }
    corpus = corpus_from_graph(graph)
    prior = dict(zip(corpus.file_ids, corpus.file_prior))
    assert prior["pkg/__init__.py"] == 1.0 < prior["pkg/core.py"]
