"""The Vel waveform examples play their waveform: run under a bus whose Vel
has AO-0 wired to AI-0 (vel_loopback.json, ctest python.loopback), each
example records AI-0 at every output frame, and AI-0 must show every sample
of the sine, in order, as the converters give it (12-bit output and 16-bit
input over +-10 V: within 10 mV)."""

import math
import os
import subprocess
import sys

import pytest

import qelomsr
import vbus_ctl

np = pytest.importorskip("numpy")

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")
FRAMES = 500  # per period, as in the examples
PERIODS = 3

pytestmark = pytest.mark.skipif(not os.environ.get("QELOMSR_TEST_LOOPBACK"),
                                reason="needs the runner with vel_loopback.json")


def frames_applied():
    """Output frames the emulated Vel has played so far (runner's `state`)."""
    for line in vbus_ctl.control("state 1-2.1"):
        key, _, value = line.partition(" ")
        if key == "outputFramesApplied":
            return int(value)
    raise AssertionError("the runner reports no outputFramesApplied")


def c_example():
    folder = os.environ.get("QELOMSR_EXAMPLES_BIN")
    path = os.path.join(folder or "", "vel_waveform")
    if not folder or not os.path.exists(path):
        pytest.skip("the C examples are not built")
    return [path, str(PERIODS)]


def python_example():
    return [sys.executable, os.path.join(EXAMPLES, "python", "vel_waveform.py"), str(PERIODS),
            "--csv"]


@pytest.mark.parametrize("command", [c_example, python_example], ids=["c", "python"])
def test_vel_waveform_example_plays_the_sine_on_ao0(tmp_path, command):
    csv = str(tmp_path / "played.csv")
    applied_before = frames_applied()
    out = subprocess.run(command() + [csv], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out
    assert "played %d frames" % (PERIODS * FRAMES) in out.stdout, out
    # The device took every queued frame, and no other, from its buffer.
    assert frames_applied() - applied_before == PERIODS * FRAMES
    recorded = qelomsr.load(csv)
    assert recorded.channels == ["AI-0"] and len(recorded) == PERIODS * FRAMES
    k = np.arange(PERIODS * FRAMES)
    sine = np.sin(2 * math.pi * (k % FRAMES) / FRAMES)
    assert np.abs(recorded["AI-0"] - sine).max() < 0.01


def test_write_blocking_queues_every_frame_in_order(vel):
    # 3000 frames fit the output buffer: queued before the start (in more
    # than one library call), played from its first input frame.
    ramp = [(i % 1000) / 100.0 - 5.0 for i in range(3000)]
    vel.setup_output_frame(["AO-0"])
    vel.setup_input_frame(["AI-0"])
    assert vel.write_blocking(ramp, timeout=60) == 3000
    vel.start_data_acquisition(2000)
    try:
        values, _ = vel.read_blocking(3000, timeout=60)
    finally:
        vel.stop_data_acquisition()
    assert np.abs(values[:, 0] - np.array(ramp)).max() < 0.01
