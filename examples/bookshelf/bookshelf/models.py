"""Domain records of the lending library: books, members and loans."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import date, timedelta
from enum import Enum

LOAN_PERIOD_DAYS = 21
MAX_RENEWALS = 2


class BookshelfError(Exception):
    """Base class of the errors the library reports to its users."""


class LoanStatus(str, Enum):
    """Where a loan stands in its life cycle."""

    ACTIVE = "active"
    RETURNED = "returned"
    LOST = "lost"


@dataclass
class Book:
    """A physical copy of a title on the shelves."""

    isbn: str
    title: str
    author: str
    copies: int = 1
    tags: list[str] = field(default_factory=list)

    def matches(self, text: str) -> bool:
        """True when the title, author or a tag contains `text` (case-blind)."""
        needle = text.casefold()
        haystack = [self.title, self.author, *self.tags]
        return any(needle in value.casefold() for value in haystack)


@dataclass
class Member:
    """A library card holder."""

    member_id: str
    name: str
    email: str
    max_loans: int = 5
    blocked: bool = False

    def can_borrow(self, active_loans: int) -> bool:
        """Whether the member may take one more book home."""
        return not self.blocked and active_loans < self.max_loans


@dataclass
class Loan:
    """One book lent to one member."""

    loan_id: int
    isbn: str
    member_id: str
    borrowed_on: date
    due_on: date
    returned_on: date | None = None
    renewals: int = 0
    status: LoanStatus = LoanStatus.ACTIVE

    @classmethod
    def start(cls, loan_id: int, isbn: str, member_id: str, today: date) -> "Loan":
        """A new active loan that falls due after the standard period."""
        return cls(loan_id, isbn, member_id, today, today + timedelta(days=LOAN_PERIOD_DAYS))

    @property
    def is_open(self) -> bool:
        return self.status is LoanStatus.ACTIVE

    def days_late(self, today: date) -> int:
        """Whole days past the due date; 0 when not late or already returned."""
        end = self.returned_on or today
        return max(0, (end - self.due_on).days)

    def renew(self, today: date) -> None:
        """Push the due date back by one loan period from today."""
        if self.renewals >= MAX_RENEWALS:
            raise ValueError(f"loan {self.loan_id} was already renewed {self.renewals} times")
        self.due_on = today + timedelta(days=LOAN_PERIOD_DAYS)
        self.renewals += 1
