"""The MCP server's answers written by the event loop: whole and in order
through a pipe that fills, stray output kept off the wire, a lost client
reported, standard output given back."""

import asyncio
import contextlib
import os
import threading
import time

import pytest

from tarnwick.mcp_pipe import PipeOutput


@contextlib.contextmanager
def piped_output():
    """Standard output as a pipe, inside a test (pytest's capture puts its
    own back between a fixture and the test): (its read end, a function
    that lets go of its write end, so that a reader sees its end)."""
    read_end, write_end = os.pipe()
    saved = os.dup(1)
    os.dup2(write_end, 1)
    os.close(write_end)
    try:
        yield read_end, lambda: os.dup2(saved, 1)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(read_end)


def test_answers_larger_than_the_pipe_arrive_whole_and_in_order(capfd):
    messages = [("a" * 300_000) + "\n", "b\n", ("c" * 70_000) + "\n"]
    waited = []

    async def serve():
        output = await PipeOutput.open()
        assert output is not None
        os.write(1, b"stray\n")  # what a library prints goes to standard error
        for message in messages:
            started = time.monotonic()
            await output.write(message)
            await output.flush()
            waited.append(time.monotonic() - started)
        output.restore()

    gathered = []

    def read_slowly(read_end):
        time.sleep(0.3)  # a slow client: the first answer fills the pipe
        while chunk := os.read(read_end, 1 << 16):
            gathered.append(chunk)

    with piped_output() as (read_end, let_go):
        reader = threading.Thread(target=read_slowly, args=(read_end,))
        reader.start()
        asyncio.run(serve())
        assert os.get_blocking(1)
        let_go()
        reader.join(10)
    # Every byte written before the server let go of the pipe, none after a flush lost.
    assert b"".join(gathered).decode() == "".join(messages)
    assert waited[0] >= 0.2  # flush waited for the client to read
    assert capfd.readouterr().err == "stray\n"


def test_a_client_gone_is_reported_by_the_next_flush():
    async def serve(read_end):
        output = await PipeOutput.open()
        await output.write("first\n")
        await output.flush()
        nothing = os.open(os.devnull, os.O_RDONLY)
        os.dup2(nothing, read_end)  # the client closes its end
        os.close(nothing)
        with pytest.raises(BrokenPipeError):
            for _ in range(3):
                await output.write("x" * 100_000 + "\n")
                await output.flush()
        output.restore()

    with piped_output() as (read_end, _):
        asyncio.run(serve(read_end))


def test_a_file_or_a_terminal_is_left_to_the_sdk(tmp_path):
    saved = os.dup(1)
    target = os.open(tmp_path / "out", os.O_WRONLY | os.O_CREAT)
    os.dup2(target, 1)
    try:
        assert asyncio.run(PipeOutput.open()) is None
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(target)
