"""Bookshelf: a small library-lending service (books, members, loans, fines)."""

from .models import Book, Loan, Member
from .loans import LoanService, find_overdue_loans

__all__ = ["Book", "Loan", "Member", "LoanService", "find_overdue_loans"]
__version__ = "0.3.1"
