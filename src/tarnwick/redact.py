"""Secrets taken out of what the query commands hand to an assistant.

A block quotes source code, and source code sometimes holds a key that was
never meant to leave the machine.  `redact` replaces each secret it finds by
a marker naming its kind, ``[REDACTED stripe-key]``, and leaves every other
character as it was.

Precision comes first: a marker where there was ordinary code would make the
excerpt wrong, so the patterns are the distinctive shapes of provider keys
(a fixed prefix and length), private key blocks, and long random-looking
strings assigned to a name that says it holds a secret.  A value that reads
as words, a placeholder, an environment variable's name or a path is left.
"""

from __future__ import annotations

import math
import re
from collections import Counter

__all__ = ["Redacted", "marker", "redact"]


def marker(kind: str) -> str:
    """The text that stands for a secret of `kind`."""
    return f"[REDACTED {kind}]"


# A private key block: the armour lines and everything between.  A block cut
# short (an excerpt that ends inside it) is redacted to its last key line.
# Compiled where "PRIVATE KEY" occurs, as the provider keys below.
_KEY_LINE_END = r"[\"'`,+\\n;)]*(?=\r?\n|$)"
_PRIVATE_KEY = (
    r"-----BEGIN (?:[A-Z0-9]+ )*PRIVATE KEY(?: BLOCK)?-----"
    r"(?:[\s\S]{0,12000}?-----END (?:[A-Z0-9]+ )*PRIVATE KEY(?: BLOCK)?-----"
    r"|" + _KEY_LINE_END + r"(?:\r?\n[ \t\"'`+]*(?:[A-Za-z0-9+/=]{16,}|[A-Z][A-Za-z\-]+: [^\n]*)" + _KEY_LINE_END + ")*)"
)

# Provider keys: a fixed prefix and an alphabet and length of their own.
# Each pattern runs only where its literal prefix occurs (most text has none),
# and is compiled there (by `re`, once per process): compiling them all, with
# the private key's, took a one-query process longer than its ranking.
_PROVIDER_KEYS: tuple[tuple[str, tuple[str, ...], str], ...] = (
    ("aws-access-key", ("AKIA", "ASIA", "ABIA", "ACCA"), r"\b(?:AKIA|ASIA|ABIA|ACCA)[A-Z0-9]{16}\b"),
    ("stripe-key", ("k_live_", "k_test_"), r"\b(?:sk|rk)_(?:live|test)_[0-9A-Za-z]{16,247}\b"),
    ("github-token", ("ghp_", "gho_", "ghu_", "ghs_", "ghr_"), r"\bgh[pousr]_[A-Za-z0-9]{36,251}\b"),
    ("github-token", ("github_pat_",), r"\bgithub_pat_[A-Za-z0-9_]{40,251}\b"),
    ("gitlab-token", ("glpat-",), r"\bglpat-[A-Za-z0-9_\-]{20,}(?![A-Za-z0-9_\-])"),
    ("slack-token", ("xox",), r"\bxox[abposr]-[0-9A-Za-z][0-9A-Za-z\-]{8,}[0-9A-Za-z]"),
    (
        "slack-webhook",
        ("hooks.slack.com",),
        r"https://hooks\.slack\.com/services/T[A-Z0-9]+/B[A-Z0-9]+/[A-Za-z0-9]{16,}",
    ),
    ("google-api-key", ("AIza",), r"\bAIza[0-9A-Za-z_\-]{35}(?![0-9A-Za-z_\-])"),
    ("anthropic-key", ("sk-ant-",), r"\bsk-ant-[a-z]+\d*-[A-Za-z0-9_\-]{40,}(?![A-Za-z0-9_\-])"),
    ("openai-key", ("T3BlbkFJ",), r"\bsk-(?:proj-|svcacct-|admin-)?[A-Za-z0-9_\-]{20,}T3BlbkFJ[A-Za-z0-9_\-]{20,}"),
    ("openai-key", ("sk-proj-", "sk-svcacct-", "sk-admin-"), r"\bsk-(?:proj|svcacct|admin)-[A-Za-z0-9_\-]{40,}(?![A-Za-z0-9_\-])"),
    ("npm-token", ("npm_",), r"\bnpm_[A-Za-z0-9]{36}\b"),
    ("pypi-token", ("pypi-AgE",), r"\bpypi-AgE[A-Za-z0-9_\-]{50,}"),
    ("sendgrid-key", ("SG.",), r"\bSG\.[A-Za-z0-9_\-]{22}\.[A-Za-z0-9_\-]{43}\b"),
    ("jwt", ("eyJ",), r"\beyJ[A-Za-z0-9_\-]{10,}\.eyJ[A-Za-z0-9_\-]{10,}\.[A-Za-z0-9_\-]{20,}"),
)

# A name that says its value is a secret, then an assignment of a quoted
# literal (Python, JavaScript, Go, Java, Rust, JSON, YAML, TOML, .env).  The
# patterns take any name; `_SECRET_NAME` then decides.  The patterns below
# are compiled where they are first used (`re` keeps them): most blocks
# never reach the later ones, and a one-query process pays for each.
_SECRET_NAME = (
    r"(?i)secret|token|passw(?:or)?d|passphrase|pwd|api[_\-]?key|access[_\-]?key"
    r"|private[_\-]?key|auth[_\-]?key|signing[_\-]?key|credential"
)
_NAME = r"[A-Za-z_$][\w$.\-]*"
_ASSIGNED = (
    r"(?<![\w$.\-])(?P<name>" + _NAME + r")[\"']?\s*(?::=|=>|=|:)\s*(?:[rbufRBUF]{0,2})"
    r"(?P<quote>[\"'`])(?P<value>[^\"'`\s\\]{16,512})(?P=quote)"
)
# An unquoted value on a line of its own: `API_TOKEN=...` in a .env file.
_ENV_LINE = r"(?m)^(?:export\s+)?(?P<name>" + _NAME + r")=(?P<value>[A-Za-z0-9+/=_\-.~]{16,512})[ \t]*$"

# Where a secret's name may be (lower case): only lines holding one of these
# are matched against the assignment patterns, which are costly to try at
# every position.
_NAME_PARTS = ("secret", "token", "passw", "passp", "pwd", "key", "credential")
_TOKEN_ALPHABET = r"[A-Za-z0-9+/=_\-.~]+"
_PLACEHOLDER = (
    r"(?i)x{4,}|\*{3,}|\.{3}|<|>|\{|\}|your|example|sample|changeme|placeholder|dummy|redacted|0{8,}|1234567"
)
_ENV_NAME = r"[A-Z][A-Z0-9_]*"
_HEX = r"[0-9a-f]+|[0-9A-F]+"
_WORD = r"[A-Za-z][a-z]*[0-9]*|[A-Z]+[0-9]*|[0-9]+"
MIN_ENTROPY = 3.5  # bits per character: words and names stay below, random keys above


def _entropy(text: str) -> float:
    counts = Counter(text)
    size = len(text)
    return -sum(n / size * math.log2(n / size) for n in counts.values())


def looks_random(value: str) -> bool:
    """Whether an assigned value has the shape of a generated secret: one
    token of key characters with letters and digits, not a placeholder, a
    constant's name or a dotted name, and high entropy (hex: 32 digits)."""
    if not re.fullmatch(_TOKEN_ALPHABET, value) or re.search(_PLACEHOLDER, value) or re.fullmatch(_ENV_NAME, value):
        return False
    if not (any(c.isdigit() for c in value) and any(c.isalpha() for c in value)):
        return False
    parts = re.split(r"[_\-./]", value)
    if len(parts) > 1 and all(re.fullmatch(_WORD, part) for part in parts if part):
        return False  # words and numbers joined: a name, a file, a version
    if re.fullmatch(_HEX, value):
        return len(value) >= 32
    mixed_case = any(c.islower() for c in value) and any(c.isupper() for c in value)
    threshold = MIN_ENTROPY if mixed_case else MIN_ENTROPY + 0.5
    return _entropy(value) >= threshold


class Redacted:
    """A text with its secrets replaced, and the kinds replaced (in order)."""

    __slots__ = ("text", "kinds")  # a plain class: see `tarnwick.token_count.Counter`

    def __init__(self, text: str, kinds: tuple[str, ...]) -> None:
        self.text, self.kinds = text, kinds


def _lines_with_names(text: str) -> list[tuple[int, int]]:
    """(start, end) of each line holding a word that may name a secret, in order."""
    lower = text.lower()
    found: set[tuple[int, int]] = set()
    for part in _NAME_PARTS:
        at = lower.find(part)
        while at >= 0:
            start = text.rfind("\n", 0, at) + 1
            end = text.find("\n", at)
            end = len(text) if end < 0 else end
            found.add((start, end))
            at = lower.find(part, end)
    return sorted(found)


def _spans(text: str) -> list[tuple[int, int, str]]:
    spans = []
    if "PRIVATE KEY" in text:
        spans.extend((m.start(), m.end(), "private-key") for m in re.finditer(_PRIVATE_KEY, text))
    for kind, prefixes, pattern in _PROVIDER_KEYS:
        if any(prefix in text for prefix in prefixes):
            spans.extend((m.start(), m.end(), kind) for m in re.finditer(pattern, text))
    for start, end in _lines_with_names(text):
        for pattern in (_ASSIGNED, _ENV_LINE):
            for m in re.compile(pattern).finditer(text, start, end):
                if re.search(_SECRET_NAME, m.group("name")) and looks_random(m.group("value")):
                    spans.append((m.start("value"), m.end("value"), "secret"))
    return spans


def redact(text: str) -> Redacted:
    """`text` with each secret found replaced by `marker(kind)`.

    Where two findings overlap, the one that starts first (the longer on a
    tie) wins; no character outside a finding changes.
    """
    spans = _spans(text)
    if not spans:
        return Redacted(text, ())
    spans.sort(key=lambda s: (s[0], -s[1]))
    parts, kinds, position = [], [], 0
    for start, end, kind in spans:
        if start < position:
            continue
        parts.append(text[position:start])
        parts.append(marker(kind))
        kinds.append(kind)
        position = end
    parts.append(text[position:])
    return Redacted("".join(parts), tuple(kinds))
