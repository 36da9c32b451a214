import pytest

import agent_loop
from loopback import Upstream, default_answer, serve_proxy


def model_or_echo(req):
    """The agent's model for a request with tools, else the default answer."""
    if isinstance(req.body, dict) and req.body.get("tools"):
        return agent_loop.model(req)
    return default_answer(req)


@pytest.fixture
def upstream():
    """The recording upstream; at the end, every body it was sent must have been valid for
    its SDK's request type (a test that sends bad bodies on purpose clears ``checked``)."""
    up = Upstream(model_or_echo)
    up.checked = True
    yield up
    up.close()
    if up.checked:
        bad = [(r.path, r.invalid) for r in up.requests if r.invalid]
        assert not bad, bad


@pytest.fixture
def start_proxy(upstream):
    """start_proxy(budget, **options) -> (server, the application's state), in front of
    the upstream; stopped at the end."""
    started = []

    def start(budget, **options):
        served, state = serve_proxy(upstream.url, budget, **options)
        started.append(served)
        return served, state

    yield start
    for served in started:
        served.close()
