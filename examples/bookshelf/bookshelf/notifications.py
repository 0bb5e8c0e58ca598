"""E-mail reminders and notices for members."""

from __future__ import annotations

import smtplib
from dataclasses import dataclass, field
from datetime import date
from email.message import EmailMessage

from .models import Book, Loan, Member

SENDER = "library@bookshelf.example"

REMINDER_TEMPLATE = """Dear {name},

"{title}" was due back on {due}. It is now {days} day(s) late.
Fine so far: {fine}.

Please return it at your earliest convenience.
"""


def format_cents(cents: int) -> str:
    """Money as text: 125 -> "$1.25"."""
    return f"${cents // 100}.{cents % 100:02d}"


@dataclass
class Notifier:
    """Sends messages over SMTP, or keeps them in `outbox` when no host is set."""

    host: str | None = None
    port: int = 25
    outbox: list[EmailMessage] = field(default_factory=list)

    def send(self, to: str, subject: str, body: str) -> bool:
        """Deliver one message; False when the mail server refuses it."""
        message = EmailMessage()
        message["From"] = SENDER
        message["To"] = to
        message["Subject"] = subject
        message.set_content(body)
        if self.host is None:
            self.outbox.append(message)
            return True
        try:
            with smtplib.SMTP(self.host, self.port, timeout=10) as smtp:
                smtp.send_message(message)
        except (OSError, smtplib.SMTPException):
            return False
        return True


def render_reminder(member: Member, book: Book, loan: Loan, fine_cents: int, today: date) -> str:
    """The text of an overdue reminder."""
    return REMINDER_TEMPLATE.format(
        name=member.name,
        title=book.title,
        due=loan.due_on.isoformat(),
        days=loan.days_late(today),
        fine=format_cents(fine_cents),
    )


def send_overdue_reminder(
    notifier: Notifier, member: Member, book: Book, loan: Loan, fine_cents: int, today: date
) -> bool:
    """Tell a member that a loan is overdue and what the fine is so far."""
    body = render_reminder(member, book, loan, fine_cents, today)
    return notifier.send(member.email, f"Overdue: {book.title}", body)
