"""Fixtures of the Python package tests.

The ctest runs pytest under the virtual USB bus runner with QELOMSR_TEST_BUS=1:
then the three emulated devices must be there (Ka USB:1-0-3, Vel USB:1-0-2-1,
Rix USB:1-0-2-4). Run by hand without the runner, device tests are skipped.

The `bus` fixture drives the runner's emulated devices through its control
channel: faults, the devices' clock (stopped and moved by hand, so that
frames and overflows come exactly when a test makes them) and what a device
holds (to wait for the library instead of sleeping).
"""

import contextlib
import os
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

import qelomsr  # noqa: E402
import vbus_ctl  # noqa: E402

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


class Bus:
    """The control channel of the runner (QELOMSR_VBUS_CONTROL), through
    vbus_ctl."""

    def command(self, line):
        """Sends one command; returns the reply lines before "ok" and raises
        vbus_ctl.ControlError for an error."""
        return vbus_ctl.control(line)

    def state(self, port):
        """What the device at a port holds: numbers as ints, the rest as text."""
        out = {}
        for line in self.command("state %s" % port):
            name, value = line.split(" ", 1)
            out[name] = int(value) if value.lstrip("-").isdigit() else value
        return out

    def wait_for(self, port, condition, timeout=60.0):
        """Polls the device's state until condition(state) holds (the bound
        is generous: only a failure waits it out); returns that state."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.state(port)
            if condition(state):
                return state
            if time.monotonic() > deadline:
                raise AssertionError("%s never reached the expected state: %r" % (port, state))
            time.sleep(0.01)

    def fault(self, port, name, on):
        self.command("fault %s %s %s" % (port, name, "on" if on else "off"))

    def advance(self, duration):
        """Moves the stopped clock on, e.g. advance("10ms")."""
        self.command("clock advance %s" % duration)

    @contextlib.contextmanager
    def manual_clock(self):
        """Stops the devices' clock for the block; it runs on afterwards."""
        self.command("clock manual")
        try:
            yield self
        finally:
            self.command("clock steady")


@pytest.fixture
def bus():
    if not vbus_ctl.available():
        pytest.skip("not running under the virtual USB bus runner")
    b = Bus()
    yield b
    b.command("clock steady")  # whatever the test did, the next one runs on real time


@pytest.fixture(scope="session")
def _library_hands_out_kept_frames(devices):
    """Whether the library hands out the frames an overflowed device buffer
    kept before it reports the overflow, asked of the emulated Ka once."""
    if not vbus_ctl.available():
        return True
    b = Bus()
    with qelomsr.Device(KA) as dev:
        dev.setup_input_frame(["CNT"])
        with b.manual_clock():
            dev.start_data_acquisition(10000)
            try:
                b.advance("10s")  # 100000 frames: the buffer overflows
                try:
                    return len(dev.read_non_blocking()[0]) > 0
                except qelomsr.BufferOverflowError:
                    return False
            finally:
                dev.stop_data_acquisition()


@pytest.fixture
def kept_frames_first(_library_hands_out_kept_frames):
    """For tests of overruns that deliver every kept frame: with a library
    that still reports the overflow before any data moves they are expected
    to fail (xfail), and say why."""
    if not _library_hands_out_kept_frames:
        pytest.xfail("this library reports an overflow before it hands out the frames the "
                     "device kept")
