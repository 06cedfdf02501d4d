"""Waiting calls against the emulated devices: blocks, gaps, timeouts,
leaving a stream early, frames kept across reads. Frame continuity is
checked on the counter: at 500 frames/s the emulated Ka's counter (1000
events/s) advances by exactly 2 per frame, so a lost or doubled frame shows."""

import math
import threading
import time
import warnings

import pytest

import qelomsr
import vbus_ctl
from conftest import KA

np = pytest.importorskip("numpy")

COUNTER_STEP = 2  # counter events per frame at RATE
RATE = 500


@pytest.fixture
def counting_ka(ka):
    ka.set_counter_enable(True)
    yield ka
    ka.set_counter_enable(False)


def assert_continuous(counter):
    steps = np.diff(np.asarray(counter, dtype=np.int64))
    assert np.all(steps == COUNTER_STEP), np.flatnonzero(steps != COUNTER_STEP)


def buffered_frames(dev, frame_bytes):
    # The input status register counts the bytes the device holds.
    return (dev.read_register(0x08) & 0x3FFFFFFF) // frame_bytes


def wait_buffered(dev, frames, frame_bytes, bound_s=60.0):
    deadline = time.monotonic() + bound_s
    while buffered_frames(dev, frame_bytes) < frames:
        assert time.monotonic() < deadline, "the device buffered no %d frames" % frames
        time.sleep(0.01)


def test_blocks_of_exactly_n_frames_lose_nothing(counting_ka):
    blocks = list(counting_ka.stream(["CNT", "AI-0"], rate=RATE, frames=1000, block=96))
    assert [len(b) for b in blocks] == [96] * 10 + [40]
    data = np.concatenate(blocks)
    assert_continuous(data[:, 0])


def test_read_blocking_keeps_surplus_frames_for_the_next_read(counting_ka):
    dev = counting_ka
    dev.setup_input_frame(["CNT"])
    dev.start_data_acquisition(RATE)
    try:
        # With 20 frames buffered one read takes them all: 17 are left over.
        wait_buffered(dev, 20, 4)
        _, first = dev.read_blocking(3)
        _, second = dev.read_blocking(40)
        _, third = dev.read_non_blocking()  # what the last read left over, if anything
    finally:
        dev.stop_data_acquisition()
    counter = np.concatenate([first[:, 3], second[:, 3], third[:, 3]])
    assert len(first) == 3 and len(second) == 40
    assert_continuous(counter)


def test_frames_read_before_a_failure_stay_for_the_next_read(counting_ka):
    dev = counting_ka
    dev.setup_input_frame(["CNT"])
    dev.start_data_acquisition(RATE)
    wait_buffered(dev, 10, 4)
    dev.stop_data_acquisition()  # the device keeps its buffer readable
    held = buffered_frames(dev, 4)
    with pytest.raises(qelomsr.DeviceError, match="No data acquisition running"):
        dev.read_blocking(held + 1000)
    _, ports = dev.read_non_blocking()
    assert len(ports) == held
    assert_continuous(ports[:, 3])


def test_read_blocking_times_out_waiting_for_a_trigger(ka):
    ka.setup_input_frame(["AI-0"])
    ka.start_data_acquisition(1000, external=True)  # waits for an edge that never comes
    try:
        start = time.monotonic()
        with pytest.raises(qelomsr.TimeoutError) as e:
            ka.read_blocking(5, timeout=0.3)
        assert time.monotonic() - start >= 0.3
    finally:
        ka.stop_data_acquisition()
    assert isinstance(e.value, TimeoutError) and isinstance(e.value, qelomsr.DeviceError)
    assert e.value.error_class == 4


@pytest.mark.parametrize("bad", [0, -1.0, float("nan"), "soon"])
def test_timeouts_must_be_positive_seconds(ka, bad):
    with pytest.raises(ValueError, match="timeout"):
        ka.acquire(["AI-0"], rate=100, frames=10, timeout=bad)


def test_negative_rate_points_to_the_sample_trigger(ka):
    with pytest.raises(ValueError, match='trigger="sample"'):
        ka.acquire(["AI-0"], rate=-1, frames=10)
    with pytest.raises(ValueError, match="no rate"):
        ka.acquire(["AI-0"], rate=100, frames=10, trigger="sample")
    with pytest.raises(ValueError, match="frames"):
        ka.acquire(["AI-0"], seconds=1, trigger="sample")
    with pytest.raises(ValueError, match="in-a"):
        ka.acquire(["AI-0"], rate=100, frames=10, trigger="start", trigger_config="out-a")
    with pytest.raises(ValueError, match="trigger"):
        ka.acquire(["AI-0"], rate=100, frames=10, trigger="later")


def test_acquire_waiting_for_the_start_trigger_times_out(ka):
    start = time.monotonic()
    with pytest.raises(qelomsr.TimeoutError, match="trigger"):
        ka.acquire(["AI-0"], rate=1000, frames=100, trigger="start", timeout=1.0)
    assert 1.0 <= time.monotonic() - start < 60.0
    # The acquisition was stopped: the device takes single reads again.
    assert abs(ka.read_analog_input("AI-0")) <= 0.7


@pytest.mark.parametrize("leave", ["break", "close", "collect", "exception", "kept"])
def test_leaving_a_stream_early_stops_its_acquisition(ka, leave):
    blocks = ka.stream(["AI-0"], rate=1000)
    if leave == "break":
        for _ in ka.stream(["AI-0"], rate=1000):
            break
    elif leave == "close":
        next(blocks)
        blocks.close()
    elif leave == "collect":
        next(blocks)
        del blocks
    elif leave == "exception":
        with pytest.raises(KeyError):
            for _ in ka.stream(["AI-0"], rate=1000):
                raise KeyError("in the loop body")
    else:
        # The loop is left, the generator stays referenced (and suspended).
        for _ in blocks:
            break
    ka.setup_input_frame(["AI-1"])  # refused while an acquisition runs
    assert abs(ka.read_analog_input("AI-0")) <= 0.7
    data = ka.acquire(["AI-1"], rate=200, frames=20).data
    assert data.shape == (20, 1)


def test_a_suspended_stream_ended_by_another_acquisition_says_so(ka):
    blocks = ka.stream(["AI-0"], rate=1000)
    next(blocks)
    assert ka.acquire(["AI-1"], rate=200, frames=10).data.shape == (10, 1)
    with pytest.raises(qelomsr.LogicError, match="stopped while it was suspended"):
        next(blocks)


def test_overrun_restart_marks_the_gap_in_stream_time_and_csv(counting_ka, tmp_path):
    dev = counting_ka
    calls = []

    def on_restart(message, category, *args, **kwargs):
        # The device reports an overflow until the stream restarts, which
        # waits first: the gap lasts at least 0.3 s.
        calls.append(str(message))
        time.sleep(0.3)
        vbus_ctl.control("fault 1-3 forceOverflow off")

    def gap_where_the_counter_jumps(counter, gaps):
        # One gap, exactly where frames were lost: the only jump of the
        # counter lies across it (none is seen before the first row).
        steps = np.diff(np.asarray(counter, dtype=np.int64))
        assert len(gaps) == 1
        assert list(np.flatnonzero(steps != COUNTER_STEP)) == ([gaps[0] - 1] if gaps[0] else [])

    if not vbus_ctl.available():
        pytest.skip("needs the runner's control channel")
    # More frames than one read returns (1024 of these), so that the first
    # block never ends the stream, however late the host reads it.
    blocks = dev.stream(["CNT"], rate=RATE, frames=1100, on_overrun="restart")
    first = next(blocks)
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = on_restart
        vbus_ctl.control("fault 1-3 forceOverflow on")
        try:
            rest = list(blocks)
        finally:
            vbus_ctl.control("fault 1-3 forceOverflow off")
    data = np.concatenate([first] + rest)
    assert len(data) == 1100 and len(calls) == 1 and dev.stream_overruns == 1
    gap_where_the_counter_jumps(data[:, 0], dev.stream_gaps)
    assert dev.stream_gaps[0] >= len(first)  # the frames the device kept came first

    # The same through acquire(): time jumps across the gap by the time the
    # device ran without delivering; the counter measures that time.
    calls.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = on_restart
        vbus_ctl.control("fault 1-3 forceOverflow on")
        try:
            acq = dev.acquire(["CNT"], rate=RATE, frames=200, on_overrun="restart")
        finally:
            vbus_ctl.control("fault 1-3 forceOverflow off")
    assert acq.overruns == 1 and len(calls) == 1
    gap_where_the_counter_jumps(acq["CNT"], acq.gaps)
    g = acq.gaps[0]
    before = acq.time[g - 1] if g else 0.0
    assert acq.time[g] - before >= 0.3
    within = np.delete(np.diff(acq.time), g - 1) if g else np.diff(acq.time)
    assert np.allclose(within, 1.0 / RATE)
    path = tmp_path / "gap.csv"
    acq.to_csv(str(path))
    lines = path.read_text().splitlines()
    body = lines[lines.index("time_s,CNT") + 1:]
    assert body[g] == "# overrun after %d frames: frames lost; acquisition restarted" % g
    assert len(body) == 1 + 200 + 1 and float(body[g + 1].split(",")[0]) == acq.time[g]


def _acquire_in_background(dev, **kwargs):
    """acquire() in a thread, so that the test can move the devices' clock
    meanwhile; the result (or the exception) lands in the returned dict."""
    result = {}

    def run():
        try:
            result["acquisition"] = dev.acquire(**kwargs)
        except BaseException as e:  # handed to the test
            result["error"] = e

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    result["thread"] = thread
    return result


def test_an_overrun_delivers_every_kept_frame_then_marks_one_gap(kept_frames_first,
                                                                 counting_ka, bus):
    # The manual clock moves 40 s at once: 20000 frames of 4 bytes, of which
    # the 64 KiB buffer keeps 16384 and the device drops the rest. Every
    # kept frame must arrive, in order, then one gap at exactly that frame,
    # then the frames after the restart, with time running on across it.
    kept_at_most = 65536 // 4
    with bus.manual_clock():
        result = _acquire_in_background(counting_ka, channels="CNT", rate=RATE,
                                        frames=kept_at_most + 1000, on_overrun="restart",
                                        timeout=60)
        bus.wait_for(KA, lambda s: s["acquisition"] == "running")
        bus.advance("40s")
        state = bus.state(KA)
        kept = state["inputBufferedBytes"] // 4
        assert kept > 16000 and state["framesDropped"] > 0
        # The host reads what the device kept, then restarts the acquisition.
        bus.wait_for(KA, lambda s: s["acquisition"] == "running" and s["framesProduced"] == 0)
        # Then the rest, a second at a time, each read before the next comes.
        for _ in range(40):
            if not result["thread"].is_alive():
                break
            bus.advance("1s")
            bus.wait_for(KA, lambda s: s["inputBufferedBytes"] == 0 or
                         s["acquisition"] != "running")
        result["thread"].join(60)
    assert "error" not in result, result.get("error")
    acq = result["acquisition"]
    assert acq.gaps == [kept] and acq.overruns == 1 and len(acq) == kept_at_most + 1000
    counter = acq["CNT"]
    assert_continuous(counter[:kept])
    assert_continuous(counter[kept:])
    assert counter[kept] - counter[kept - 1] > COUNTER_STEP  # the dropped frames
    time_s = np.asarray(acq.time)
    assert np.array_equal(time_s[:kept], np.arange(kept) / acq.rate)
    assert np.all(np.diff(time_s) > 0)  # never backwards, also across the gap
    assert time_s[kept] >= time_s[kept - 1] + 1 / acq.rate


@pytest.mark.parametrize("ending", ["overflow", "timeout"])
def test_an_exception_hands_back_the_frames_collected(counting_ka, bus, ending):
    with bus.manual_clock():
        result = _acquire_in_background(counting_ka, channels=["CNT"], rate=RATE, frames=5000,
                                        timeout=60 if ending == "overflow" else 1.0)
        bus.wait_for(KA, lambda s: s["acquisition"] == "running")
        bus.advance("1s")  # 500 frames
        bus.wait_for(KA, lambda s: s["framesProduced"] == 500 and s["inputBufferedBytes"] == 0)
        if ending == "overflow":
            bus.fault("1-3", "forceOverflow", True)
        try:
            result["thread"].join(60)
        finally:
            bus.fault("1-3", "forceOverflow", False)
    error = result["error"]
    assert isinstance(error, qelomsr.BufferOverflowError if ending == "overflow" else
                      qelomsr.TimeoutError), error
    partial = error.acquisition
    assert len(partial) == 500 and partial.gaps == [] and partial.channels == ["CNT"]
    assert_continuous(partial["CNT"])
    assert np.array_equal(partial.time, np.arange(500) / partial.rate)


def test_acquisition_carries_the_metadata_of_the_files(devices, ka, tmp_path):
    ka.set_analog_input_parameters("AI-2", qelomsr.RANGE_1V)
    acq = ka.acquire(["AI-2", "DP-0"], rate=200, frames=20)
    assert acq.device == KA and acq.serial == ka.serial_number
    assert acq.firmware == devices[KA].firmware
    assert acq.ranges == [(-1.0, 1.0), None] and acq.units == ["V", "raw"]
    assert acq.rate == pytest.approx(200) and acq.gaps == []
    assert acq.start_time.endswith("+00:00") and len(acq.start_time) == 29
    assert np.allclose(acq.time, np.arange(20) / acq.rate)
    pytest.importorskip("h5py")
    acq.to_hdf5(str(tmp_path / "ka.h5"))
    back = qelomsr.load(str(tmp_path / "ka.h5"))
    assert back.ranges == acq.ranges and np.array_equal(back.data, acq.data)


def test_range_limits_and_volts_print_as_the_float32_they_are(ka):
    assert repr(ka.get_range_min_max("AI-0", qelomsr.RANGE_100MV)) == "(-0.1, 0.1)"
    volts = ka.read_analog_input("AI-0")
    # The shortest text of the float32: read back as a float32, it is the value.
    assert np.float32(repr(volts)) == volts and len(repr(volts)) <= 12


def test_vel_write_blocking_times_out_without_a_pacing_acquisition(vel):
    vel.setup_output_frame(["AO-0"])
    while vel.write_non_blocking([0.0] * 4096) > 0:  # fills the output buffer
        pass
    start = time.monotonic()
    with pytest.raises(qelomsr.TimeoutError, match="input frame of a running acquisition"):
        vel.write_blocking([0.5] * 10, timeout=0.3)
    assert time.monotonic() - start >= 0.3
    # Paced by an input acquisition, the buffer drains and the write completes.
    vel.setup_input_frame(["AI-0"])
    vel.start_data_acquisition(200)
    try:
        assert vel.write_blocking([0.5] * 100, timeout=math.inf) == 100
    finally:
        vel.stop_data_acquisition()
