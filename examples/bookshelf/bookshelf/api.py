"""HTTP API of the library: JSON endpoints for books, loans and overdue reports."""

from __future__ import annotations

import json
from datetime import date
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from .loans import LendingError, LoanService, compute_fine, find_overdue_loans
from .storage import Store

ROUTES = {}


def route(method: str, path: str):
    """Register the decorated function as the handler of `method path`."""

    def register(handler):
        ROUTES[(method, path)] = handler
        return handler

    return register


@route("GET", "/books")
def list_books(service: LoanService, query: dict) -> list[dict]:
    """Books in the catalogue, filtered by ?q= when given."""
    text = query.get("q", [""])[0]
    books = service.store.books.values()
    return [
        {"isbn": b.isbn, "title": b.title, "available": b.copies - service.store.copies_out(b.isbn)}
        for b in books
        if not text or b.matches(text)
    ]


@route("POST", "/loans")
def create_loan(service: LoanService, body: dict) -> dict:
    """Borrow a book: {"isbn": ..., "member_id": ...}."""
    loan = service.borrow(body["isbn"], body["member_id"], date.today())
    service.store.save()
    return {"loan_id": loan.loan_id, "due_on": loan.due_on.isoformat()}


@route("GET", "/loans/overdue")
def overdue_report(service: LoanService, query: dict) -> list[dict]:
    """Overdue loans with the fine accrued so far, most overdue first."""
    today = date.today()
    return [
        {
            "loan_id": loan.loan_id,
            "member_id": loan.member_id,
            "days_late": loan.days_late(today),
            "fine_cents": compute_fine(loan, today),
        }
        for loan in find_overdue_loans(service.store, today)
    ]


class ApiHandler(BaseHTTPRequestHandler):
    """Dispatches requests to the registered routes and answers in JSON."""

    service: LoanService

    def _answer(self, status: HTTPStatus, payload) -> None:
        data = json.dumps(payload).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _dispatch(self, method: str) -> None:
        url = urlsplit(self.path)
        handler = ROUTES.get((method, url.path))
        if handler is None:
            self._answer(HTTPStatus.NOT_FOUND, {"error": "no such endpoint"})
            return
        if method == "POST":
            length = int(self.headers.get("Content-Length", 0))
            argument = json.loads(self.rfile.read(length) or b"{}")
        else:
            argument = parse_qs(url.query)
        try:
            self._answer(HTTPStatus.OK, handler(self.service, argument))
        except (LendingError, KeyError) as exc:
            self._answer(HTTPStatus.BAD_REQUEST, {"error": str(exc)})

    def do_GET(self) -> None:
        self._dispatch("GET")

    def do_POST(self) -> None:
        self._dispatch("POST")


def serve(store: Store, host: str = "127.0.0.1", port: int = 8080) -> None:
    """Run the API until interrupted."""
    ApiHandler.service = LoanService(store)
    with ThreadingHTTPServer((host, port), ApiHandler) as server:
        server.serve_forever()
