"""JSON file storage for books, members and loans."""

from __future__ import annotations

import json
import os
import tempfile
from dataclasses import asdict
from datetime import date
from pathlib import Path

from .models import Book, BookshelfError, Loan, LoanStatus, Member

DEFAULT_PATH = Path("bookshelf.json")


class StorageError(BookshelfError):
    """The data file is missing a section or cannot be decoded."""


def _encode(value):
    if isinstance(value, date):
        return value.isoformat()
    if isinstance(value, LoanStatus):
        return value.value
    raise TypeError(f"cannot store {type(value).__name__}")


def _loan_from_dict(data: dict) -> Loan:
    returned = data.get("returned_on")
    return Loan(
        loan_id=data["loan_id"],
        isbn=data["isbn"],
        member_id=data["member_id"],
        borrowed_on=date.fromisoformat(data["borrowed_on"]),
        due_on=date.fromisoformat(data["due_on"]),
        returned_on=date.fromisoformat(returned) if returned else None,
        renewals=data.get("renewals", 0),
        status=LoanStatus(data.get("status", "active")),
    )


class Store:
    """All library records, loaded from and saved to one JSON file."""

    def __init__(self, path: Path = DEFAULT_PATH):
        self.path = Path(path)
        self.books: dict[str, Book] = {}
        self.members: dict[str, Member] = {}
        self.loans: list[Loan] = []

    def load(self) -> "Store":
        """Read the data file; a missing file gives an empty library."""
        if not self.path.exists():
            return self
        try:
            data = json.loads(self.path.read_text(encoding="utf-8"))
            self.books = {b["isbn"]: Book(**b) for b in data["books"]}
            self.members = {m["member_id"]: Member(**m) for m in data["members"]}
            self.loans = [_loan_from_dict(item) for item in data["loans"]]
        except (KeyError, TypeError, ValueError) as exc:
            raise StorageError(f"{self.path}: {exc}") from exc
        return self

    def save(self) -> None:
        """Write every record; the old file stays whole until the new one is complete."""
        payload = {
            "books": [asdict(b) for b in self.books.values()],
            "members": [asdict(m) for m in self.members.values()],
            "loans": [asdict(loan) for loan in self.loans],
        }
        fd, tmp = tempfile.mkstemp(dir=self.path.parent, suffix=".tmp")
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(payload, f, default=_encode, indent=2)
        os.replace(tmp, self.path)

    def next_loan_id(self) -> int:
        return max((loan.loan_id for loan in self.loans), default=0) + 1

    def open_loans(self, member_id: str | None = None) -> list[Loan]:
        """Loans not yet returned, optionally of one member only."""
        return [
            loan
            for loan in self.loans
            if loan.is_open and (member_id is None or loan.member_id == member_id)
        ]

    def copies_out(self, isbn: str) -> int:
        return sum(1 for loan in self.open_loans() if loan.isbn == isbn)
