"""Command line for librarians: borrow, return, renew, overdue reports and reminders."""

from __future__ import annotations

import argparse
import sys
from datetime import date
from pathlib import Path

from .api import serve
from .loans import LendingError, LoanService, find_overdue_loans
from .notifications import Notifier, format_cents
from .storage import DEFAULT_PATH, Store


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="bookshelf", description=__doc__)
    parser.add_argument("--data", type=Path, default=DEFAULT_PATH, help="library data file")
    commands = parser.add_subparsers(dest="command", required=True)
    borrow = commands.add_parser("borrow", help="lend a book to a member")
    borrow.add_argument("isbn")
    borrow.add_argument("member_id")
    give_back = commands.add_parser("return", help="close a loan")
    give_back.add_argument("loan_id", type=int)
    renew = commands.add_parser("renew", help="renew a loan")
    renew.add_argument("loan_id", type=int)
    commands.add_parser("overdue", help="list overdue loans")
    remind = commands.add_parser("remind", help="e-mail members with overdue loans")
    remind.add_argument("--smtp-host")
    serve_cmd = commands.add_parser("serve", help="run the HTTP API")
    serve_cmd.add_argument("--port", type=int, default=8080)
    return parser


def print_overdue(store: Store, today: date) -> None:
    """One line per overdue loan: id, member, title and days late."""
    for loan in find_overdue_loans(store, today):
        title = store.books[loan.isbn].title
        print(f"#{loan.loan_id:<5} {loan.member_id:<10} {title:<40} {loan.days_late(today)} days late")


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    store = Store(args.data).load()
    today = date.today()
    if args.command == "serve":
        serve(store, port=args.port)
        return 0
    service = LoanService(store, Notifier(host=getattr(args, "smtp_host", None)))
    try:
        if args.command == "borrow":
            loan = service.borrow(args.isbn, args.member_id, today)
            print(f"loan {loan.loan_id} due on {loan.due_on}")
        elif args.command == "return":
            fine = service.give_back(args.loan_id, today)
            print(f"returned; fine due: {format_cents(fine)}")
        elif args.command == "renew":
            loan = service.renew(args.loan_id, today)
            print(f"renewed; now due on {loan.due_on}")
        elif args.command == "overdue":
            print_overdue(store, today)
            return 0
        elif args.command == "remind":
            print(f"{service.send_reminders(today)} reminder(s) sent")
    except LendingError as exc:
        print(f"bookshelf: {exc}", file=sys.stderr)
        return 1
    store.save()
    return 0


if __name__ == "__main__":
    sys.exit(main())
