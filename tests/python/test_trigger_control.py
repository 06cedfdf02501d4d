"""The control channel drives the emulated trigger input: pulses become
frames under the frame sample trigger, one frame per pulse."""

import time

import pytest

import qelomsr
import vbus_ctl


def _frames_until(dev, want, bound_s=20.0):
    got = []
    deadline = time.monotonic() + bound_s
    while len(got) < want and time.monotonic() < deadline:
        values, ports = dev.read_non_blocking()
        got.extend(list(zip(values, ports)))
    return got


def test_pulses_from_the_control_channel_sample_one_frame_each(ka):
    if not vbus_ctl.available():
        pytest.skip("needs the runner's control channel")
    assert vbus_ctl.control("trigger 1-3 state")[0].startswith("input low code=0x2 events=rising")
    ka.setup_input_frame([qelomsr.ANALOG_INPUT(0), qelomsr.TRIGGER])
    assert ka.start_data_acquisition(qelomsr.FRAME_SAMPLE_TRIGGER) == -1.0
    try:
        assert len(_frames_until(ka, 1, bound_s=0.2)) == 0  # nothing before a pulse
        assert vbus_ctl.control("trigger 1-3 pulse 5") == []
        frames = _frames_until(ka, 5)
        assert len(frames) == 5
        assert [int(p[4]) for _, p in frames] == [1] * 5  # sampled while the line is high
        assert len(_frames_until(ka, 1, bound_s=0.2)) == 0  # and not one more
    finally:
        ka.stop_data_acquisition()
