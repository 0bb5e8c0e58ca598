import traceback

import pytest

import tarnwick.context_packer as context_packer_module

SOURCE_FILE = "src/tarnwick/context_packer"


@pytest.fixture
def cp():
    return context_packer_module


def module_entries(exc):
    """(function name, line) of the traceback entries the extension added, outermost first."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == SOURCE_FILE
    ]
