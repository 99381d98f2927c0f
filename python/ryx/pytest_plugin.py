"""pytest fixtures for code that drives ryx readers, registered as a pytest plugin when the package is installed.

- ``ryx_sim``: a fresh :class:`ryx.sim.Simulator`, stopped after the test.
- ``ryx_reader``: a :class:`ryx.Reader` opened on it, closed after the test.

The simulator takes the options of :class:`ryx.sim.Simulator`, from a marker or from a parameter of either
fixture: a model name, or a dict of options::

    @pytest.mark.parametrize("ryx_reader", ["KT4470RS", {"model": "KT6630RS", "rate": 115200}], indirect=True)
    def test_slots(ryx_reader):
        assert ryx_reader.slot_count in (2, 3)

    @pytest.mark.ryx_sim(empty=[0])
    def test_no_card(ryx_reader):
        with pytest.raises(ryx.CardRemoved):
            ryx_reader.slot(0).power_on()

``--ryx-sim PATH`` names the ryx_sim program (default: RYX_SIM, else ryx_sim on PATH).
"""
from __future__ import annotations

from typing import Any, Dict, Iterator

import pytest

import ryx
import ryx.sim


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.getgroup("ryx").addoption("--ryx-sim", metavar="PATH", default=None,
                                     help="the ryx_sim program for the ryx_sim and ryx_reader fixtures")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "ryx_sim(**options): options of the simulator behind ryx_sim and ryx_reader "
                                       "(model, rate, cards, empty, faults, args)")


def _options(request: pytest.FixtureRequest) -> Dict[str, Any]:
    options: Dict[str, Any] = {}
    for marker in reversed(list(request.node.iter_markers("ryx_sim"))):  # the closest marker wins
        options.update(marker.kwargs)
    params = getattr(getattr(request.node, "callspec", None), "params", {})
    for name in ("ryx_sim", "ryx_reader"):
        param = params.get(name)
        if isinstance(param, str):
            options["model"] = param
        elif isinstance(param, dict):
            options.update(param)
    return options


@pytest.fixture
def ryx_sim(request: pytest.FixtureRequest) -> Iterator[ryx.sim.Simulator]:
    """A simulated reader of its own for the test (see the module's text for its options)."""
    options = _options(request)
    options.setdefault("program", request.config.getoption("--ryx-sim"))
    with ryx.sim.Simulator(**options) as sim:
        yield sim


@pytest.fixture
def ryx_reader(ryx_sim: ryx.sim.Simulator) -> Iterator[ryx.Reader]:
    """A reader opened on the test's ``ryx_sim``."""
    with ryx.open(ryx_sim.port) as reader:
        yield reader
