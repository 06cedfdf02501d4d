"""Clipped samples against the voltage the emulator applies: under a bus
whose Vel has AO-0 wired to AI-0 (vel_loopback.json, ctest python.loopback),
AI-0 reads the voltage AO-0 produces, which the runner reports
(`dac0Volts`). A sample at the converter's lowest or highest code is
clipped: counted in the acquisition and its files, warned about."""

import os
import warnings

import pytest

import qelomsr

np = pytest.importorskip("numpy")

pytestmark = pytest.mark.skipif(not os.environ.get("QELOMSR_TEST_LOOPBACK"),
                                reason="needs the runner with vel_loopback.json")
VEL_PORT = "1-2.1"
FRAMES = 100


@pytest.mark.parametrize("applied,spelling,clipped", [
    (1.25, "10mV", True),
    (-1.25, "10mV", True),
    (1.25, "10V", False),
    (0.005, "10mV", False),  # inside the range: a measurement, not the converter's end
])
def test_samples_at_the_converters_end_are_counted_as_clipped(vel, bus, tmp_path, applied,
                                                             spelling, clipped):
    vel.write_analog_output("AO-0", applied)
    truth = float(bus.state(VEL_PORT)["dac0Volts"])
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        acq = vel.acquire("AI-0:" + spelling, rate=1000, frames=FRAMES)
        single = vel.read_analog_input("AI-0")
    texts = [str(w.message) for w in seen if "end of its converter" in str(w.message)]
    column = acq["AI-0"]
    lo, hi = acq.ranges[0]
    if clipped:
        assert acq.clipped == [FRAMES] and len(texts) == 2  # the stream's and the read's
        end = column[0]
        assert np.all(column == end) and single == end
        assert (end > hi) if truth > 0 else (end < lo)  # the converter's end lies beyond
    else:
        assert acq.clipped == [0] and texts == []
        assert np.allclose(column, truth, atol=(hi - lo) * 1e-4)
    path = tmp_path / "run.csv"
    acq.to_csv(str(path))
    assert "# clipped AI-0 %d" % (FRAMES if clipped else 0) in path.read_text().splitlines()
    assert qelomsr.load(str(path)).clipped == acq.clipped
