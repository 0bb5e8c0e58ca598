"""The MCP server's answers, written to standard output by the event loop.

The SDK writes each message with `write` and then `flush`, and its own
standard output runs each of them in a worker thread: two thread hops per
answer, each a wake-up of another thread.  When standard output is a pipe or
a socket (as a client that starts the server gives it), `PipeOutput` writes
from the loop instead: at once while the pipe has room, else as the client
reads, with `flush` waiting until every byte is written.  Standard output itself then points to
standard error, as the SDK's does, so that a stray print cannot break a
message; `restore` points it back.
"""

from __future__ import annotations

import asyncio
import fcntl
import os
import stat

WIRE = 1  # standard output


class _Drained(asyncio.Protocol):
    """Flow control of the pipe: `drained` waits while the loop holds bytes
    the pipe has not taken, and raises once the pipe is lost."""

    def __init__(self) -> None:
        self._room: asyncio.Future | None = None
        self.lost: BaseException | None = None

    def pause_writing(self) -> None:
        self._room = asyncio.get_running_loop().create_future()

    def resume_writing(self) -> None:
        self._wake()

    def connection_lost(self, exc) -> None:
        self.lost = exc or BrokenPipeError("the client closed its end of standard output")
        self._wake()

    def _wake(self) -> None:
        if self._room is not None and not self._room.done():
            self._room.set_result(None)
        self._room = None

    async def drained(self) -> None:
        if self._room is not None:
            await self._room
        if self.lost is not None:
            raise self.lost


class PipeOutput:
    """Standard output as the SDK's writer uses it (`write`, `flush`),
    written by the event loop; `open` gives None where it cannot be (a
    terminal, a file), and the SDK's own output serves there."""

    def __init__(self, transport, protocol: _Drained, wire: int) -> None:
        self._transport = transport
        self._protocol = protocol
        self._wire = wire

    @classmethod
    async def open(cls) -> PipeOutput | None:
        try:
            mode = os.fstat(WIRE).st_mode
        except OSError:
            return None
        # A terminal is left to the SDK: the loop would make it non-blocking for every process sharing it.
        if not (stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)):
            return None
        wire = fcntl.fcntl(WIRE, fcntl.F_DUPFD_CLOEXEC, 3)
        pipe = os.fdopen(wire, "wb", buffering=0, closefd=False)
        loop = asyncio.get_running_loop()
        try:
            transport, protocol = await loop.connect_write_pipe(_Drained, pipe)
        except (OSError, ValueError):
            os.close(wire)
            return None
        # Paused from the first byte the pipe did not take: `flush` returns once all is written.
        transport.set_write_buffer_limits(high=0)
        os.dup2(2, WIRE)
        return cls(transport, protocol, wire)

    async def write(self, text: str) -> None:
        if self._protocol.lost is not None:
            raise self._protocol.lost
        self._transport.write(text.encode("utf-8"))

    async def flush(self) -> None:
        await self._protocol.drained()
        if self._transport.is_closing():  # a failed write closes it before the loss is reported
            raise self._protocol.lost or BrokenPipeError("the client closed its end of standard output")

    def restore(self) -> None:
        """Point standard output back at the pipe, blocking again, and let
        the loop's transport go."""
        self._transport.close()
        os.dup2(self._wire, WIRE)
        os.set_blocking(WIRE, True)
        os.close(self._wire)
