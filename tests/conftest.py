import gc
import importlib
import os
import sys

import pytest


@pytest.fixture(scope="session")
def mod():
    return importlib.import_module("morvex.core.summarizer")


def leak_check(fn, repeat=2000, warmup=200, slack=30):
    """Runs fn many times and asserts that the allocated block count returns to its
    start. Exceptions raised by fn are expected to be caught by fn itself."""
    for _ in range(warmup):
        fn()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(repeat):
        fn()
    gc.collect()
    after = sys.getallocatedblocks()
    assert after - before <= slack, f"{after - before} blocks left after {repeat} calls"


def tb_entries(exc):
    """(function name, line) of each traceback entry in the module's source file."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "morvex/core/summarizer.py":
            out.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


def raises_with(fn, exc_type):
    """Calls fn, which must raise exc_type; returns the exception."""
    with pytest.raises(exc_type) as info:
        fn()
    return info.value


# Property suites: a modest number of examples by default (CI); more with
# HYPOTHESIS_PROFILE=deep, or any count with HYPOTHESIS_EXAMPLES=<n>.
try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the property suites skip themselves without hypothesis
    pass
else:
    _quiet = [HealthCheck.too_slow, HealthCheck.data_too_large,
              HealthCheck.function_scoped_fixture, HealthCheck.filter_too_much]
    settings.register_profile("ci", max_examples=60, deadline=None, database=None,
                              suppress_health_check=_quiet)
    settings.register_profile("deep", max_examples=2000, deadline=None,
                              suppress_health_check=_quiet)
    _profile = os.environ.get("HYPOTHESIS_PROFILE", "ci")
    if os.environ.get("HYPOTHESIS_EXAMPLES"):
        settings.register_profile("custom", parent=settings.get_profile(_profile),
                                  max_examples=int(os.environ["HYPOTHESIS_EXAMPLES"]))
        _profile = "custom"
    settings.load_profile(_profile)



# --gc-threshold-one runs the suite with gc.set_threshold(1), so the collector runs at
# almost every allocation of a tracked object and finds any object the module leaves
# half-made or reachable after it is gone.
def pytest_addoption(parser):
    parser.addoption("--gc-threshold-one", action="store_true",
                     help="run the suite with gc.set_threshold(1)")


def pytest_configure(config):
    if config.getoption("--gc-threshold-one"):
        gc.set_threshold(1)
