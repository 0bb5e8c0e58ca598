"""Lending rules: borrowing, returns, renewals, overdue detection and fines."""

from __future__ import annotations

import logging
from datetime import date

from .models import BookshelfError, Loan, LoanStatus, Member
from .notifications import Notifier, send_overdue_reminder
from .storage import Store

log = logging.getLogger(__name__)

FINE_PER_DAY_CENTS = 25
FINE_CAP_CENTS = 1000
GRACE_DAYS = 2


class LendingError(BookshelfError):
    """A loan request that the lending rules refuse."""


def is_overdue(loan: Loan, today: date, grace_days: int = GRACE_DAYS) -> bool:
    """True when an open loan is past its due date by more than the grace period."""
    return loan.is_open and loan.days_late(today) > grace_days


def find_overdue_loans(store: Store, today: date | None = None) -> list[Loan]:
    """All open loans that are overdue on `today`, most overdue first."""
    today = today or date.today()
    overdue = [loan for loan in store.open_loans() if is_overdue(loan, today)]
    overdue.sort(key=lambda loan: loan.days_late(today), reverse=True)
    return overdue


def compute_fine(loan: Loan, today: date) -> int:
    """Fine in cents for a late loan: a daily rate after the grace period, capped."""
    late = loan.days_late(today) - GRACE_DAYS
    if late <= 0:
        return 0
    return min(late * FINE_PER_DAY_CENTS, FINE_CAP_CENTS)


class LoanService:
    """Applies the lending rules to a store and tells members what happened."""

    def __init__(self, store: Store, notifier: Notifier | None = None):
        self.store = store
        self.notifier = notifier or Notifier()

    def _member(self, member_id: str) -> Member:
        try:
            return self.store.members[member_id]
        except KeyError:
            raise LendingError(f"no member {member_id!r}") from None

    def borrow(self, isbn: str, member_id: str, today: date) -> Loan:
        """Lend a copy of `isbn` to a member, if a copy is free and the member may borrow."""
        member = self._member(member_id)
        book = self.store.books.get(isbn)
        if book is None:
            raise LendingError(f"no book with ISBN {isbn}")
        if not member.can_borrow(len(self.store.open_loans(member_id))):
            raise LendingError(f"{member.name} cannot borrow more books")
        if self.store.copies_out(isbn) >= book.copies:
            raise LendingError(f"all copies of {book.title!r} are out")
        loan = Loan.start(self.store.next_loan_id(), isbn, member_id, today)
        self.store.loans.append(loan)
        log.info("loan %d: %s to %s", loan.loan_id, isbn, member_id)
        return loan

    def give_back(self, loan_id: int, today: date) -> int:
        """Close a loan and return the fine due, in cents."""
        loan = next((item for item in self.store.open_loans() if item.loan_id == loan_id), None)
        if loan is None:
            raise LendingError(f"no open loan {loan_id}")
        loan.returned_on = today
        loan.status = LoanStatus.RETURNED
        return compute_fine(loan, today)

    def renew(self, loan_id: int, today: date) -> Loan:
        """Renew an open loan unless it is already overdue."""
        for loan in self.store.open_loans():
            if loan.loan_id == loan_id:
                if is_overdue(loan, today):
                    raise LendingError("overdue loans cannot be renewed")
                loan.renew(today)
                return loan
        raise LendingError(f"no open loan {loan_id}")

    def send_reminders(self, today: date) -> int:
        """Remind every member with an overdue loan; returns the number of reminders sent."""
        sent = 0
        for loan in find_overdue_loans(self.store, today):
            member = self.store.members.get(loan.member_id)
            if member is None:
                log.warning("loan %d belongs to an unknown member", loan.loan_id)
                continue
            book = self.store.books[loan.isbn]
            fine = compute_fine(loan, today)
            if send_overdue_reminder(self.notifier, member, book, loan, fine, today):
                sent += 1
        return sent
