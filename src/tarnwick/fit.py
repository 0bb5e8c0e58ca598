"""A block that keeps its token budget.

The packer never shortens Relevant Files: with eight files and their full
summaries a small budget is spent before any code.  `fit` keeps the packer's
rules and changes only what it is given: first shorter summaries (the
per-query view's copies of the chosen files' records, trimmed), then fewer
files, and where the count still runs over (a real tokenizer counts
otherwise than the packer's estimate), a smaller budget for the packer's
own sections, which means fewer or shorter excerpts (or a larger one,
where only the packer's threshold for Key Code keeps code out).

Of the arrangements that fit, the first in that order whose Key Code shows
the best match (the first chosen file's first function) is taken; where
none does, the first that carries Key Code, and where none does that, the
first that fits.
"""

from __future__ import annotations

from collections.abc import Callable

from .token_count import estimate

__all__ = ["Fitted", "fit", "shorten"]

# Levels of summary detail: 0 is the stored record.
LEVELS = 5
KEPT_FUNCTIONS = 3  # the entries the packer excerpts and lists
DESCRIPTION_CHARS = 160
KEY_CODE = "\n### Key Code"
# Further tries with a smaller packer budget when a count runs over.
SQUEEZES = 3
# Key Code is written only when more than this many (estimated) tokens are
# left after the header and Relevant Files.
CODE_FLOOR = 400
# The packer counts the header and Relevant Files apart, each rounded up.
FLOOR_MARGIN = 4


def _trimmed_members(members: object, keys: tuple[str, ...], limit: int | None) -> object:
    if not isinstance(members, dict):
        return members
    items = list(members.items())[:limit] if limit is not None else members.items()
    return {name: ({k: v for k, v in info.items() if k in keys} if isinstance(info, dict) else info) for name, info in items}


def shorten(record: object, level: int) -> object:
    """A copy of a summary record with less detail (`level` 0: the record).

    1: no calls, decorators, variables, call graph or imports;
    2: also only the first three functions, without return types, and classes without methods;
    3: the description (one line, shortened) and the first three functions' names only;
    4: as 3, with the first function only (the best match: Key Code shows it alone).
    The "lines" of every kept function stay, so Key Code reads the same code.
    """
    if level <= 0 or not isinstance(record, dict):
        return record
    short = {k: v for k, v in record.items() if k in ("description", "functions", "classes")}
    if level == 1:
        short["functions"] = _trimmed_members(record.get("functions"), ("params", "returns", "lines", "async"), None)
        return short
    if level == 2:
        short["functions"] = _trimmed_members(record.get("functions"), ("params", "lines"), KEPT_FUNCTIONS)
        short["classes"] = _trimmed_members(record.get("classes"), ("bases", "lines"), None)
        return short
    description = record.get("description")
    if isinstance(description, str):
        line = description.strip().split("\n", 1)[0]
        short["description"] = line if len(line) <= DESCRIPTION_CHARS else line[: DESCRIPTION_CHARS - 3] + "..."
    short["functions"] = _trimmed_members(record.get("functions"), ("lines",), KEPT_FUNCTIONS if level == 3 else 1)
    short.pop("classes", None)
    return short


def _lead(view: dict, chosen: list[str]) -> str | None:
    """The excerpt header of the best match: the first function of the first chosen file."""
    record = view.get(chosen[0]) if chosen else None
    functions = record.get("functions") if isinstance(record, dict) else None
    if not isinstance(functions, dict) or not functions:
        return None
    return f"# {chosen[0]}::{next(iter(functions))} (lines "


class Fitted:
    """A block that fits: its tokens, the files given to the packer, the
    summary detail (0: as stored) and the packer's budget."""

    __slots__ = ("block", "tokens", "files", "level", "packer_budget")  # a plain class: see FocusedContext

    def __init__(self, block: str, tokens: int, files: int, level: int, packer_budget: int) -> None:
        self.block, self.tokens, self.files, self.level, self.packer_budget = block, tokens, files, level, packer_budget


def fit(
    pack: Callable[[list, dict, int], str],
    files: list,
    view: dict,
    chosen: list[str],
    budget: int,
    count: Callable[[str], int],
) -> Fitted:
    """Pack `files` with `view` so that `count` of the block is at most
    `budget` where any arrangement allows it.

    `pack(files, view, packer_budget)` returns the block as it will be
    handed out; `chosen` are the files (in rank order) whose records in
    `view` may be shortened.
    """

    def squeezed(some: list, records: dict, level: int) -> Fitted:
        packer_budget = budget
        for _ in range(SQUEEZES):
            block = pack(some, records, packer_budget)
            tokens = count(block)
            if tokens <= budget or packer_budget == 0:
                break
            # Over: leave the packer's sections that much less room.
            packer_budget = max(packer_budget - (tokens - budget) - 8, 0)
        else:
            block = pack(some, records, packer_budget)
            tokens = count(block)
        return Fitted(block, tokens, len(some), level, packer_budget)

    lead = _lead(view, chosen)
    whole = squeezed(files, view, 0)
    if whole.tokens <= budget and (KEY_CODE in whole.block or budget < CODE_FLOOR):
        return whole
    first_fit = whole if whole.tokens <= budget else None
    smallest = whole
    with_code = None  # the first that fits with Key Code, though without the best match
    level = 1
    while level < LEVELS:
        shortened = dict(view)
        for path in chosen:
            if path in shortened:
                shortened[path] = shorten(view[path], level)
        for n in range(len(files), 0, -1):
            # The header and Relevant Files alone (a budget of 0), which the
            # packer never cuts: they must fit, and leave room for code.
            bare = pack(files[:n], shortened, 0)
            bare_tokens = count(bare)
            if bare_tokens < smallest.tokens:
                smallest = Fitted(bare, bare_tokens, n, level, 0)
            if bare_tokens > budget:
                continue
            if first_fit is None:
                first_fit = squeezed(files[:n], shortened, level)
            floor = estimate(bare) + CODE_FLOOR + FLOOR_MARGIN
            if budget < floor:
                # The packer writes Key Code only with more than CODE_FLOOR tokens left after
                # Relevant Files, yet spends at most 45 % of its budget on it: a packer budget
                # just above the floor may still give a block that fits.
                block = pack(files[:n], shortened, floor)
                outcome = Fitted(block, count(block), n, level, floor)
            else:
                outcome = squeezed(files[:n], shortened, level)
            if outcome.tokens <= budget and KEY_CODE in outcome.block:
                if lead is None or lead in outcome.block:
                    return outcome
                with_code = with_code or outcome
                break
        # Once code fits without the best match, only the level that shows it alone is left to try.
        level = LEVELS - 1 if with_code is not None and level < LEVELS - 1 else level + 1
    if with_code is not None:
        return with_code
    if first_fit is not None and first_fit.tokens <= budget:
        return first_fit
    return smallest
