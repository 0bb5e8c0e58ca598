"""Results taken over unchanged are made only when read: a one-edit run
makes those its resolution follows, and its figures and outputs are a full
run's."""

from __future__ import annotations

import pytest

from random_trees import figures, outputs, write_files
from tarnwick.indexer import index_project
from tarnwick.indexer import run as run_module
from tarnwick.indexer.parsed import Parsed, language_of, languages, of_language
from tarnwick.indexer.result import FileResult

FILES = {
    "pkg/__init__.py": "from .core import run\n",
    "pkg/core.py": "from .util import helper\n\ndef run():\n    return helper()\n",
    "pkg/util.py": "def helper():\n    return 1\n",
    # Two files of one shape share their head: counted twice all the same.
    "pkg/same_a.py": "def same():\n    return 1\n",
    "pkg/same_b.py": "def same():\n    return 1\n",
    "pkg/broken.py": "def (:\n",
    "web/a.js": "const b = require('./b');\nfunction a() { return b.b(); }\nmodule.exports = { a };\n",
    "web/b.js": "function b() { return 2; }\nmodule.exports = { b };\n",
}

# change -> at most how many results taken over are made by the run
CHANGES = {
    "a Python module edited": ({"pkg/util.py": "def helper():\n    return 2\n\ndef more():\n    return 3\n"}, 1),
    "a script edited": ({"web/b.js": "function b() { return 5; }\nfunction c() {}\nmodule.exports = { b, c };\n"}, 1),
    # A file that comes or goes runs every resolver: the scripts' results are made.
    "a file added": ({"pkg/extra.py": "from .core import run\n"}, 2),
    "a file removed": ({"pkg/same_b.py": None}, 2),
    "the broken file mended": ({"pkg/broken.py": "def mended():\n    return 0\n"}, 0),
}


@pytest.mark.parametrize("change", list(CHANGES), ids=list(CHANGES))
def test_a_run_makes_few_results_and_counts_as_a_full_run(tmp_path, monkeypatch, change):
    files, most = CHANGES[change]
    root = tmp_path / "p"
    write_files(root, FILES)
    index_project(root, jobs=1, progress=False)
    write_files(root, files)
    made = []
    real = run_module.taken_over
    monkeypatch.setattr(run_module, "taken_over", lambda path, *rest: made.append(path) or real(path, *rest))
    incremental = index_project(root, jobs=1, progress=False)
    assert len(made) <= most and len(made) == len(set(made)), made  # each made once at most
    got = outputs(root, decoded=True)
    full = index_project(root, jobs=1, progress=False, full=True)
    assert figures(incremental) == figures(full)
    assert outputs(root, decoded=True) == got
    assert incremental.unparsable == ([] if "mended" in change else [("pkg/broken.py", full.unparsable[0][1])])
    assert incremental.unchanged == incremental.files - (0 if "removed" in change else 1)


def _result(path, language):
    result = FileResult(path)
    result.language = language
    return result


def test_parsed_makes_each_result_once_and_tells_languages_without_making_them():
    made = []

    def make(path, fields, digest):
        made.append(path)
        result = _result(path, fields["language"])
        result.digest = digest
        return result

    parsed = Parsed(make, {"a.py": {"language": "python"}, "b.js": {"language": "javascript"}}, {"a.py": "d1", "b.js": "d2"})
    parsed.add(_result("c.py", "python"))
    assert list(languages(parsed)) == [("a.py", "python"), ("b.js", "javascript"), ("c.py", "python")]
    assert language_of(parsed, "b.js") == "javascript" and made == []
    assert set(parsed.paths() - {"a.py"}) == {"b.js", "c.py"} and "b.js" in parsed and "z.py" not in parsed

    python = of_language(parsed, "python")
    assert "a.py" in python and "c.py" in python and "b.js" not in python and "z.py" not in python
    with pytest.raises(KeyError):
        python["b.js"]
    assert python.get("b.js") is None and made == []
    first = python["a.py"]
    # Made once, and kept by the whole: the same object whichever way it is read.
    assert parsed["a.py"] is first and python["a.py"] is first and first.digest == "d1" and made == ["a.py"]
    assert list(python) == ["a.py", "c.py"] and len(python) == 2 and len(parsed) == 3
    # A plain dict of results is read alike.
    plain = {"a.py": _result("a.py", "python"), "b.js": _result("b.js", "javascript")}
    assert list(of_language(plain, "python")) == ["a.py"] and language_of(plain, "b.js") == "javascript"
    assert list(languages(plain)) == [("a.py", "python"), ("b.js", "javascript")]
