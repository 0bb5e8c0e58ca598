"""Argument parsing with the habits of git, ripgrep and uv: a misspelt
command or option gets a "did you mean", and a subcommand's own mistakes
are reported with that subcommand's usage, not the top-level one."""

from __future__ import annotations

import argparse
import difflib
import re

__all__ = ["CommandParser", "Parser", "suggestion"]


def suggestion(word: str, choices) -> str:
    """"; did you mean 'x'?" for the closest of `choices`, or ""."""
    close = difflib.get_close_matches(word, list(choices), n=1, cutoff=0.6)
    return f"; did you mean {close[0]!r}?" if close else ""


_INVALID_CHOICE = re.compile(r"invalid choice: '([^']*)'")
_UNRECOGNIZED = "unrecognized arguments: "


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors suggest the nearest command or option."""

    def error(self, message: str):
        choice = _INVALID_CHOICE.search(message)
        if choice is not None:
            choices = [c for action in self._actions if action.choices for c in action.choices]
            message = message.split(" (choose from", 1)[0] + suggestion(choice.group(1), choices)
        elif message.startswith(_UNRECOGNIZED):
            first = message[len(_UNRECOGNIZED) :].split(" ", 1)[0]
            if first.startswith("-"):
                message += suggestion(first.split("=", 1)[0], self._option_string_actions)
        super().error(message)


class CommandParser(Parser):
    """A subcommand's parser: arguments it does not know are its own usage
    error, reported with its own usage line."""

    def parse_known_args(self, args=None, namespace=None):
        namespace, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error(_UNRECOGNIZED + " ".join(extras))
        return namespace, extras
