"""Triggered acquisitions through stream()/acquire(): pulses come from the
runner's control channel (`trigger PORT pulse [N]`), sent only once the
acquisition runs (Device.stream_rate is set then), so nothing races the
clock."""

import threading
import time

import pytest

import qelomsr
import vbus_ctl
from conftest import KA, RIX

np = pytest.importorskip("numpy")

PORTS = {KA: "1-3", RIX: "1-2.4"}


def trigger_command_or_skip(port):
    if not vbus_ctl.available():
        pytest.skip("needs the runner's control channel")
    try:
        vbus_ctl.control("trigger %s state" % port)
    except vbus_ctl.ControlError as e:
        if "unknown command" in str(e):
            pytest.skip("this runner cannot drive the trigger input yet")
        raise


class PulsesOnceRunning(threading.Thread):
    """Sends `count` pulses once `dev` runs its stream's acquisition."""

    def __init__(self, dev, port, count):
        super().__init__(daemon=True)
        self.dev, self.port, self.count, self.error = dev, port, count, None

    def run(self):
        try:
            deadline = time.monotonic() + 60
            while self.dev.stream_rate is None:
                if time.monotonic() > deadline:
                    raise AssertionError("the acquisition never started")
                time.sleep(0.01)
            vbus_ctl.control("trigger %s pulse %d" % (self.port, self.count))
        except Exception as e:  # reported by the test
            self.error = e


@pytest.mark.parametrize("ident", [KA, RIX])
def test_start_trigger_starts_the_acquisition(devices, ident):
    trigger_command_or_skip(PORTS[ident])
    with qelomsr.Device(ident) as dev:
        pulses = PulsesOnceRunning(dev, PORTS[ident], 1)
        pulses.start()
        acq = dev.acquire(["AI-0"], rate=1000, frames=50, trigger="start", timeout=60)
        pulses.join(60)
        assert pulses.error is None, pulses.error
        assert len(acq) == 50 and acq.rate == pytest.approx(1000)


@pytest.mark.parametrize("ident", [KA, RIX])
def test_sample_trigger_takes_one_frame_per_pulse(devices, ident):
    trigger_command_or_skip(PORTS[ident])
    with qelomsr.Device(ident) as dev:
        pulses = PulsesOnceRunning(dev, PORTS[ident], 5)
        pulses.start()
        acq = dev.acquire(["AI-0", "TRG"], frames=5, trigger="sample", timeout=60)
        pulses.join(60)
        assert pulses.error is None, pulses.error
        assert len(acq) == 5 and acq.rate == -1.0
        assert np.all(np.diff(acq.time) >= 0)
        # The acquisition was stopped after its five frames: single reads work.
        assert abs(dev.read_analog_input("AI-0")) < 10
