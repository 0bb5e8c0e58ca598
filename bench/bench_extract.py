"""Extraction time of shapes a repository may carry to slow the indexer down,
against an ordinary file of the same size in the same language.

Each shape is summarised in this process (no pool, no cache) and timed in
CPU seconds, best of --repeat; the ratio to the ordinary file is what must
stay small (a linear extractor keeps it within 10).

    .venv/bin/python bench/bench_extract.py [--size 1000000] [--repeat 3] [--only NAME,...]
"""

from __future__ import annotations

import argparse
import time

from tarnwick.indexer.extractors import extractor
from tarnwick.indexer.result import FileResult


def _fill(unit, size: int) -> str:
    """Units numbered from 0 until the text reaches `size` bytes."""
    parts, total, i = [], 0, 0
    while total < size:
        part = unit(i)
        parts.append(part)
        total += len(part)
        i += 1
    return "".join(parts)


def ordinary_js(size):
    return _fill(lambda i: f"function fn{i}(a, b) {{\n  const x = a + b * {i};\n  if (x > 10) {{ return helper{i % 50}(x, 'text'); }}\n  return x;\n}}\n", size)


def vars_and_functions(size):
    # Every function reads its own variable and another one: each variable has users.
    return _fill(lambda i: f"var v{i} = {i};\nfunction f{i}() {{ return v{i} + v{i // 2}; }}\n", size)


def ts_class_of_methods(size):
    return "class Big {\n" + _fill(lambda i: f"  m{i}(a: number): number {{ return a + {i}; }}\n", size) + "}\n"


def ordinary_ts(size):
    return _fill(lambda i: f"export function f{i}(a: number): number {{\n  return helper{i % 50}(a) + {i};\n}}\n", size)


def method_chain(size):
    return "a" + _fill(lambda i: f".b{i % 10}()", size) + ";\n"


def overloads(size):
    return _fill(lambda i: f"export function f{i}(a: string): void;\nexport function f{i}(a: any) {{\n}}\n", size)


def wrapper_of_functions(size):
    inner = _fill(lambda i: f"  function inner{i}(a) {{\n    return a + {i};\n  }}\n", size // 2)
    return f"(function () {{\n{inner}}})();\nfunction outer() {{\n{inner}}}\n"


def rust_macro_items(size):
    return _fill(lambda i: f"cfg_x! {{\n    pub fn f{i}(a: u32) -> u32 {{\n        helper(a) + {i}\n    }}\n}}\n", size)


def ordinary_rust(size):
    return _fill(lambda i: f"pub fn f{i}(a: u32) -> u32 {{\n    helper(a) + {i}\n}}\n\n", size)


# name -> (shape, grammar, ordinary file of the language)
SHAPES = {
    "js: 1 variable and 1 function per line pair": (vars_and_functions, "javascript", ordinary_js),
    "js: one method chain": (method_chain, "javascript", ordinary_js),
    "js: module wrapper and long function of functions": (wrapper_of_functions, "javascript", ordinary_js),
    "ts: one class of methods": (ts_class_of_methods, "typescript", ordinary_ts),
    "ts: overload signatures": (overloads, "typescript", ordinary_ts),
    "rust: items in macro bodies": (rust_macro_items, "rust", ordinary_rust),
}
_LANGUAGE = {"javascript": "javascript", "typescript": "typescript", "rust": "rust"}


def extract_seconds(source: str, grammar: str, repeat: int) -> tuple:
    data = source.encode()
    best, result = None, None
    for _ in range(repeat):
        result = FileResult(path="bench", language=_LANGUAGE[grammar])
        start = time.process_time()
        extractor(_LANGUAGE[grammar]).summarize(result, data, grammar)
        spent = time.process_time() - start
        best = spent if best is None else min(best, spent)
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=1_000_000, help="bytes per file (default 1 MB)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", default="", help="comma-separated words; shapes whose name holds one")
    args = parser.parse_args()
    words = [w for w in args.only.split(",") if w]
    ordinary = {}
    print(f"{'shape':52s} {'MB':>5s} {'CPU s':>7s} {'ordinary':>8s} {'ratio':>6s}  symbols, partly parsed")
    for name, (shape, grammar, plain) in SHAPES.items():
        if words and not any(w in name for w in words):
            continue
        if plain not in ordinary:
            ordinary[plain] = extract_seconds(plain(args.size), grammar, args.repeat)[0]
        source = shape(args.size)
        seconds, result = extract_seconds(source, grammar, args.repeat)
        base = ordinary[plain]
        print(
            f"{name:52s} {len(source) / 1e6:5.2f} {seconds:7.2f} {base:8.2f} {seconds / base:6.1f}"
            f"  {len(result.symbols)}, {result.partial}"
        )


if __name__ == "__main__":
    main()
