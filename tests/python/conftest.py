"""Fixtures of the Python package tests.

The ctest runs pytest under the virtual USB bus runner with QELOMSR_TEST_BUS=1:
then the three emulated devices must be there (Ka USB:1-0-3, Vel USB:1-0-2-1,
Rix USB:1-0-2-4). Run by hand without the runner, device tests are skipped.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

import qelomsr  # noqa: E402

KA, VEL, RIX = "USB:1-0-3", "USB:1-0-2-1", "USB:1-0-2-4"


@pytest.fixture(scope="session")
def devices():
    try:
        found = qelomsr.list_devices()
    except (ImportError, qelomsr.QeloMsrError) as e:
        if os.environ.get("QELOMSR_TEST_BUS"):
            raise
        pytest.skip("no library or no USB: %s" % e)
    if os.environ.get("QELOMSR_TEST_BUS"):
        assert {d.identifier for d in found} >= {KA, VEL, RIX}, found
    elif not found:
        pytest.skip("no devices attached")
    return {d.identifier: d for d in found}


def _open(devices, ident):
    if ident not in devices:
        pytest.skip("%s not attached" % ident)
    dev = qelomsr.Device(ident)
    yield dev
    dev.close()


@pytest.fixture
def ka(devices):
    yield from _open(devices, KA)


@pytest.fixture
def vel(devices):
    yield from _open(devices, VEL)


@pytest.fixture
def rix(devices):
    yield from _open(devices, RIX)
