"""Which files the indexer reads: .gitignore files, --exclude, vendored and
generated code."""

from __future__ import annotations

import json

from tarnwick.cli.index import main


def make(root, files):
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def indexed_paths(root):
    return sorted(json.loads((root / ".vestra/structured_summaries.json").read_text()))


def test_gitignore_rules_nested_negated_and_by_folder(tmp_path, capsys):
    make(
        tmp_path,
        {
            ".gitignore": "gen/\n*.gen.ts\n!keep.gen.ts\n/top.py\n[z-a].py\n",
            "app/.gitignore": "local_*.py\n!local_ok.py\n",
            "app/main.py": "",
            "app/local_x.py": "",  # nested file's pattern
            "app/local_ok.py": "",  # negated in the nested file
            "app/gen/out.py": "",  # folder pattern at any depth
            "app/a.gen.ts": "",
            "app/keep.gen.ts": "",  # negation in the root file
            "top.py": "",  # anchored to the root file's folder
            "app/top.py": "",
            "z.py": "",  # the invalid line is left out, not the whole file
            "docs/x.py": "",
            "docs/deep/y.py": "",
            "tests/test_a.py": "",
        },
    )
    assert main([str(tmp_path), "-q", "--exclude", "docs/", "--exclude", "test_*.py"]) == 0
    out, err = capsys.readouterr()
    assert indexed_paths(tmp_path) == ["app/keep.gen.ts", "app/local_ok.py", "app/main.py", "app/top.py", "z.py"]
    assert "6 ignored" in out  # local_x.py, gen/, a.gen.ts, top.py, docs/ and test_a.py
    assert err.count("invalid pattern") == 1 and ".gitignore:5:" in err


def test_declaration_files_only_when_nothing_else(tmp_path):
    make(tmp_path, {"types/index.d.ts": "export declare function f(): void;\n"})
    main([str(tmp_path), "-q"])
    assert indexed_paths(tmp_path) == ["types/index.d.ts"]
    store = json.loads((tmp_path / ".vestra/structured_summaries.json").read_text())
    assert list(store["types/index.d.ts"]["functions"]) == ["f"]
    make(tmp_path, {"src/f.ts": "export function f() {}\n", "web/app.min.js": "var a=1;"})
    main([str(tmp_path), "-q"])
    assert indexed_paths(tmp_path) == ["src/f.ts"]


def test_settings_files_that_are_fifos_or_lead_outside_do_not_stall(tmp_path):
    import os
    import subprocess
    import sys

    root = tmp_path / "p"
    make(root, {"web/a.ts": "export function a() {}\n", "svc/m.go": "package m\nfunc M() {}\n", "crate/src/lib.rs": "fn f() {}\n"})
    for rel in (".gitignore", "web/tsconfig.json", "svc/go.mod", "crate/Cargo.toml"):
        os.mkfifo(root / rel)
    (tmp_path / "outside.gitignore").write_text("*.ts\n")
    os.symlink(tmp_path / "outside.gitignore", root / "web/.gitignore")
    done = subprocess.run([sys.executable, "-m", "tarnwick.cli.index", str(root), "-q"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert indexed_paths(root) == ["crate/src/lib.rs", "svc/m.go", "web/a.ts"]
