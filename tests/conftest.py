import os
import traceback

import pytest
from hypothesis import HealthCheck, settings

import tarnwick.context_packer as context_packer_module

SOURCE_FILE = "src/tarnwick/context_packer"

# Property-based tests: a quick profile for every run, and a long one for hunting
# (TARNWICK_HYPOTHESIS_PROFILE=long).
settings.register_profile(
    "ci",
    max_examples=100,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
settings.register_profile("long", max_examples=20000, deadline=None, suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("TARNWICK_HYPOTHESIS_PROFILE", "ci"))


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
