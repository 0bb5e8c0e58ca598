"""Evaluation: does Key Code hold the code a question is about?

Developer questions about a copy of the installed standard library, each with
the functions or methods a good developer would open first.  For each, the
retrieval result is packed twice: with the stored summaries (as
`pack_for_query` does) and with the focused pipeline's per-query view.
Reported per road: how often the right file is ranked first, and how often
Key Code holds one of the expected functions (its excerpt header names it).

    .venv/bin/python bench/eval_key_code.py [--work DIR] [-v]

With `--work DIR` the indexed copy is kept there and reused.
"""

from __future__ import annotations

import argparse
import os
import sys
import sysconfig
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_index import copy_stdlib  # noqa: E402

from tarnwick import context, vx  # noqa: E402
from tarnwick import context_packer as cp  # noqa: E402
from tarnwick.index import index_project  # noqa: E402

# (question, file, functions worth opening first)
QUESTIONS = [
    ("how does the json encoder escape non-ascii strings", "json/encoder.py", ["py_encode_basestring_ascii"]),
    ("where are http cookies parsed", "http/cookies.py", ["BaseCookie.__parse_string", "BaseCookie.load"]),
    ("how does shutil copy file permission bits", "shutil.py", ["copymode", "copy"]),
    ("how is a zip file's central directory read", "zipfile.py", ["ZipFile._RealGetContents", "_EndRecData"]),
    ("when does the rotating log handler roll over to a new file", "logging/handlers.py",
     ["RotatingFileHandler.shouldRollover", "RotatingFileHandler.doRollover"]),
    ("where does argparse format the usage message", "argparse.py",
     ["HelpFormatter._format_usage", "ArgumentParser.format_usage"]),
    ("how are encoded email headers decoded", "email/header.py", ["decode_header"]),
    ("how does tarfile extract members to disk", "tarfile.py",
     ["TarFile.extractall", "TarFile.extract", "TarFile._extract_member"]),
    ("how does the asyncio event loop schedule a callback after a delay", "asyncio/base_events.py",
     ["BaseEventLoop.call_later", "BaseEventLoop.call_at"]),
    ("how does textwrap break words that are too long", "textwrap.py",
     ["TextWrapper._handle_long_word", "TextWrapper._wrap_chunks"]),
    ("how does base64 encode bytes", "base64.py", ["b64encode"]),
    ("how is a url split into scheme, host and path", "urllib/parse.py", ["urlsplit", "urlparse"]),
    ("how does difflib find the longest matching block", "difflib.py", ["SequenceMatcher.find_longest_match"]),
    ("how does the csv sniffer guess the delimiter", "csv.py",
     ["Sniffer.sniff", "Sniffer._guess_quote_and_delimiter", "Sniffer._guess_delimiter"]),
    ("how does heapq push an item onto the heap", "heapq.py", ["heappush"]),
    ("how is a temporary directory with a unique name created", "tempfile.py", ["mkdtemp"]),
    ("how does getopt parse long options", "getopt.py", ["do_longs", "long_has_args"]),
    ("how does fnmatch translate a shell pattern into a regular expression", "fnmatch.py", ["translate"]),
    ("where does the http server parse the request line", "http/server.py",
     ["BaseHTTPRequestHandler.parse_request"]),
    ("how does subprocess wait for a process with a timeout", "subprocess.py", ["Popen.wait", "Popen._wait"]),
    ("how is a random uuid generated", "uuid.py", ["uuid4"]),
    ("how does configparser read an ini file", "configparser.py",
     ["RawConfigParser.read", "RawConfigParser._read", "RawConfigParser.read_file"]),
    ("how does gzip decompress data", "gzip.py", ["decompress", "_GzipReader.read"]),
    ("how does the pprint module format nested dicts", "pprint.py", ["PrettyPrinter._pprint_dict", "pformat"]),
]


def key_code(block: str) -> str:
    if "### Key Code (pre-loaded)\n" not in block:
        return ""
    return block.split("### Key Code (pre-loaded)\n", 1)[1].split("\n\n### ", 1)[0]


def holds(block: str, path: str, names: list[str]) -> bool:
    code = key_code(block)
    return any(f"# {path}::{name} (lines " in code for name in names)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=sysconfig.get_paths()["stdlib"], help="tree to copy and index")
    parser.add_argument("--work", help="keep the indexed copy in this folder and reuse it")
    parser.add_argument("-v", "--verbose", action="store_true", help="one line per question")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="tarnwick-eval-") as scratch:
        root = Path(args.work or scratch) / "stdlib"
        if not (root / ".vestra" / "graph.json").is_file():
            copy_stdlib(args.source, str(root))
            index_project(root, progress=False)
        vx.set_project(root)  # retrieval may read the project's search index
        graph = vx.load_graph()
        summaries = cp.load_summaries(root)
        first = plain = focused = 0
        for query, path, names in QUESTIONS:
            result = vx.retrieve(graph, query)
            view, _ = context.focus_summaries(summaries, result["files"], graph, query)
            hit_first = bool(result["files"]) and result["files"][0]["id"] == path
            hit_plain = holds(cp.pack(result, summaries, graph, root), path, names)
            hit_focused = holds(cp.pack(result, view, graph, root), path, names)
            first += hit_first
            plain += hit_plain
            focused += hit_focused
            if args.verbose:
                marks = "".join("x" if hit else "." for hit in (hit_first, hit_plain, hit_focused))
                print(f"{marks}  {query}")
    n = len(QUESTIONS)
    print(f"questions: {n}")
    print(f"right file first:                      {first}/{n}")
    print(f"expected function in Key Code, stored: {plain}/{n}")
    print(f"expected function in Key Code, focused: {focused}/{n}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
