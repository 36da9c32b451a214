import gc
import importlib
import importlib.util
import logging
import os
import sys
import time

import pytest

# The proxy's tests need the serve extra (uvicorn, Starlette, httpx); an environment
# without it, like the sanitizer run's, leaves them out instead of failing to collect.
collect_ignore = []
if any(importlib.util.find_spec(name) is None for name in ("uvicorn", "starlette", "httpx")):
    collect_ignore.append("companion/serve")


@pytest.fixture(autouse=True)
def _fresh_reply_formats():
    """Each test starts with no server's reply format remembered: a loopback port may be
    used again by a later test's server."""
    client = sys.modules.get("morvex_summarize.clients.openai_client")
    if client is not None:
        client.forget_reply_formats()
    yield


@pytest.fixture(scope="session")
def mod():
    return importlib.import_module("morvex.core.summarizer")


@pytest.fixture(scope="session")
def variant_build(tmp_path_factory):
    """The directory to put on PYTHONPATH for a build of the module with the options
    only the tests use: SUMMARIZER_ACCEPT_SUBCLASSES and SUMMARIZER_TEST_HOOKS. Built
    once per session."""
    import subprocess
    if os.environ.get("SUMMARIZER_SKIP_VARIANT_BUILD") == "1":
        pytest.skip("variant build disabled")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = tmp_path_factory.mktemp("variant") / "build"
    cmake = os.path.join(os.path.dirname(sys.executable), "cmake")
    cmake = cmake if os.path.exists(cmake) else "cmake"
    configure = subprocess.run(
        [cmake, "-S", root, "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}",
         "-DSUMMARIZER_ACCEPT_SUBCLASSES=ON", "-DSUMMARIZER_TEST_HOOKS=ON",
         "-DCMAKE_BUILD_TYPE=Release"],
        capture_output=True, text=True)
    if configure.returncode != 0:
        pytest.skip(f"cmake unavailable: {configure.stderr[-300:]}")
    built = subprocess.run([cmake, "--build", str(build), "-j2"], capture_output=True, text=True)
    assert built.returncode == 0, built.stdout[-2000:] + built.stderr[-2000:]
    return str(build / "python")


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
    parser.addoption("--leak-hunt", action="store_true",
                     help="repeat each passing test and fail on growth of allocated "
                          "blocks and live objects")


def pytest_configure(config):
    if config.getoption("--gc-threshold-one"):
        gc.set_threshold(1)
    config.stash[_unrepeatable] = []
    config.addinivalue_line("markers", "xdist_group(name): tests run by one worker")


# Run in parallel (pytest-xdist's --dist loadgroup), the tests that share something costly
# stay on one worker each: the tests on the variant build of the module (built once per
# worker) and those that start Ray (one instance on the machine at a time).
def _shared_group(item):
    if "variant_build" in getattr(item, "fixturenames", ()):
        return "variant-build"
    if item.path.name == "test_ray_batch.py" or "ray_engine" in item.name:
        return "ray"
    return None


def pytest_collection_modifyitems(config, items):
    for item in items:
        group = _shared_group(item)
        if group is not None:
            item.add_marker(pytest.mark.xdist_group(group))


# --leak-hunt repeats each passing test after its own run, in the manner of the host's
# -R option: warm-up runs fill the caches, then the test fails if every measured run (of
# a short series, then of a longer one to confirm) left more live objects behind, or
# every one more than LEAK_BLOCK_SLACK allocated blocks (the host's own machinery, an
# event loop's for one, leaves a block or two now and then; single calls are measured
# more finely by the leak checks of each file). Not measured: a test whose repeat fails
# (one written to run once), one whose own run took over LEAK_MAX_SECONDS (builds and
# subprocesses), and property tests, as each of their runs draws new examples. A
# fixture value with a rerun_reset() method has it called between runs.
LEAK_WARMUPS = 6
LEAK_RUNS = 5
LEAK_BLOCK_SLACK = 3
LEAK_CONFIRM_RUNS = 20
LEAK_MAX_SECONDS = 1.0
_PATCH_STACKS = ("_setattr", "_setitem")


def _hunt_leaks(item):
    # What fresh fixtures would give each run: a repeat's own patches stay in force
    # but their undo entries (which hold the previous run's values) are dropped, so
    # teardown still restores the originals; captured logs and output are emptied.
    patches = [(value, {name: len(getattr(value, name)) for name in _PATCH_STACKS})
               for value in getattr(item, "funcargs", {}).values()
               if isinstance(value, pytest.MonkeyPatch)]

    def reset():
        for patch, sizes in patches:
            for name, size in sizes.items():
                del getattr(patch, name)[size:]
        for value in getattr(item, "funcargs", {}).values():
            if isinstance(value, pytest.LogCaptureFixture):
                value.clear()
            elif isinstance(value, pytest.CaptureFixture):
                value.readouterr()
            elif callable(getattr(value, "rerun_reset", None)):  # a fixture's own state
                value.rerun_reset()
        for handler in logging.getLogger().handlers:  # the report's own log capture
            if isinstance(handler, logging.StreamHandler) and hasattr(handler, "reset"):
                handler.reset()

    def run():
        item.runtest()
        reset()

    # The deltas go into lists made beforehand and are small ints (cached by the host),
    # so the bookkeeping itself allocates nothing between two measurements.
    def measure(runs):
        blocks, objects = [0] * runs, [0] * runs
        gc.collect()
        blocks_before, objects_before = sys.getallocatedblocks(), len(gc.get_objects())
        for i in range(runs):
            run()
            gc.collect()
            blocks_now, objects_now = sys.getallocatedblocks(), len(gc.get_objects())
            blocks[i], objects[i] = blocks_now - blocks_before, objects_now - objects_before
            blocks_before, objects_before = blocks_now, objects_now
        # the first run after the warm-ups may still release a few objects they made
        leaks = (all(delta > LEAK_BLOCK_SLACK for delta in blocks)
                 or all(delta > 0 for delta in objects[1:]))
        return leaks, blocks, objects

    try:
        reset()
        for _ in range(LEAK_WARMUPS):
            run()
        leaks, blocks, objects = measure(LEAK_RUNS)
        if leaks:  # a suspect: confirmed only if a longer series leaks all along too
            leaks, blocks, objects = measure(LEAK_CONFIRM_RUNS)
    except Exception as exc:  # not repeatable: leave it to its own run
        item.config.stash[_unrepeatable].append(f"{item.nodeid}: {type(exc).__name__}: "
                                                f"{str(exc)[:160]!r}")
        return
    if leaks:
        raise AssertionError(f"{item.nodeid} leaks: allocated blocks left by each repeated "
                             f"run: {blocks}, live objects: {objects}")


_unrepeatable = pytest.StashKey[list]()


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    started = time.perf_counter()
    result = yield
    if item.config.getoption("--leak-hunt"):
        if getattr(getattr(item, "obj", None), "is_hypothesis_test", False):
            pass
        elif time.perf_counter() - started > LEAK_MAX_SECONDS:
            item.config.stash[_unrepeatable].append(f"{item.nodeid}: too slow to repeat")
        else:
            _hunt_leaks(item)
    return result


def pytest_terminal_summary(terminalreporter, config):
    if config.getoption("--leak-hunt"):
        skipped = config.stash.get(_unrepeatable, [])
        terminalreporter.write_line(
            f"leak hunt: {len(skipped)} tests not repeatable or too slow, so not measured")
        for nodeid in skipped if config.getoption("verbose") > 0 else ():
            terminalreporter.write_line(f"  not repeatable: {nodeid}")
