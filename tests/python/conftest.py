"""Fixtures of the Python package tests.

The ctest runs pytest under the virtual USB bus runner with QELOMSR_TEST_BUS=1:
then the three emulated devices must be there (Ka USB:1-0-3, Vel USB:1-0-2-1,
Rix USB:1-0-2-4). Run by hand without the runner, device tests are skipped.
"""

import os
import socket
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


def vbus_control(line, timeout=10.0):
    """Sends one command to the control channel of the qelomsr-vbus runner
    (socket in QELOMSR_VBUS_CONTROL), e.g. vbus_control("trigger 1-3 pulse 5").

    Returns the reply lines before the final "ok"; raises RuntimeError for an
    "error ..." reply, no runner or no answer within `timeout` seconds.
    """
    path = os.environ.get("QELOMSR_VBUS_CONTROL")
    if not path:
        raise RuntimeError("not running under qelomsr-vbus (QELOMSR_VBUS_CONTROL is not set)")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(line.encode() + b"\n")
        reply = b""
        while True:
            lines = reply.decode(errors="replace").splitlines()
            if reply.endswith(b"\n") and lines and (lines[-1] == "ok" or lines[-1].startswith("error ")):
                break
            chunk = s.recv(4096)
            if not chunk:
                raise RuntimeError("control channel closed before answering %r" % line)
            reply += chunk
    if lines[-1] != "ok":
        raise RuntimeError("%s: %s" % (line, lines[-1][len("error "):]))
    return lines[:-1]


@pytest.fixture
def vbus_ctl():
    """vbus_control, or a skip when the tests do not run under the runner."""
    if not os.environ.get("QELOMSR_VBUS_CONTROL"):
        pytest.skip("not running under qelomsr-vbus")
    return vbus_control
