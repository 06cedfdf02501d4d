"""acquire_synchronized() and stream_synchronized() on the runner's three
devices: the Ka's trigger line wired to the Vel's and the Rix's, the same
sine on AI-0 of each. In frame mode every row's samples are taken at one
instant of the emulator's timeline whatever the host does, so the three
columns agree (the Rix within its 12-bit steps) on the real clock too."""

import threading

import pytest

import qelomsr
from conftest import KA, RIX, VEL

np = pytest.importorskip("numpy")

SINE = "sine amplitude=1 frequency=50 offset=1.65"


@pytest.fixture
def wired(bus, ka, vel, rix):
    bus.command("wire 1-3 1-2.1,1-2.4")
    saved = {port: bus.command("signal %s AI-0" % port)[0] for port in ("1-3", "1-2.1", "1-2.4")}
    for port in saved:
        bus.command("signal %s AI-0 %s" % (port, SINE))
    try:
        yield ka, vel, rix
    finally:
        for port, line in saved.items():
            bus.command("signal %s %s" % (port, line))
        bus.command("unwire 1-3")


def test_frame_sync_rows_hold_one_instant(wired):
    ka, vel, rix = wired
    acq = qelomsr.acquire_synchronized({ka: ["AI-0"], vel: ["AI-0", "TRG"], rix: ["AI-0"]},
                                       rate=1000, frames=400)
    assert acq.channels == [KA + ":AI-0", VEL + ":AI-0", VEL + ":TRG", RIX + ":AI-0"]
    assert acq.devices == [KA, VEL, VEL, RIX]
    assert acq.rate == 1000 and acq.gaps == [] and len(acq) == 400
    # One frame period moves the 50 Hz sine by up to 0.31 V.
    assert np.max(np.abs(acq.data[:, 0] - acq.data[:, 1])) < 0.002
    assert np.max(np.abs(acq.data[:, 0] - acq.data[:, 3])) < 0.004
    # The Vel took its frames on the master's edges: rising, falling, ...
    assert list(acq.data[:4, 2]) == [1, 0, 1, 0]
    assert acq.time[1] == pytest.approx(0.001)


def test_files_keep_every_columns_device(wired, tmp_path):
    ka, vel, rix = wired
    acq = qelomsr.acquire_synchronized({ka: ["AI-0"], rix: ["AI-0"]}, rate=500, frames=50,
                                       mode="start")
    for name in ("run.csv", "run.h5"):
        path = str(tmp_path / name)
        acq.to_csv(path) if name.endswith(".csv") else acq.to_hdf5(path)
        back = qelomsr.load(path)
        assert back.channels == acq.channels
        assert back.devices == [KA, RIX]
        assert np.array_equal(np.asarray(back.data, np.float32), np.asarray(acq.data, np.float32))


def test_streaming_form_yields_complete_rows(wired):
    ka, vel, rix = wired
    rows = sum(len(b) for b in qelomsr.stream_synchronized({ka: "AI-0", vel: "AI-0"}, rate=1000,
                                                           frames=300))
    assert rows == 300


def test_missing_wire_is_a_timeout_with_the_rows_so_far(wired, bus):
    ka, vel, rix = wired
    bus.command("unwire 1-2.4")
    with pytest.raises(qelomsr.TimeoutError, match="no trigger edges from the master") as info:
        qelomsr.acquire_synchronized({ka: ["AI-0"], rix: ["AI-0"]}, rate=1000, frames=5000,
                                     timeout=1.0)
    assert len(info.value.acquisition) == 0
    assert info.value.acquisition.devices == [KA, RIX]


def test_arguments_are_checked_before_any_device_is_touched(ka, vel):
    with pytest.raises(ValueError, match="at least one other"):
        qelomsr.acquire_synchronized({ka: ["AI-0"]}, rate=1000, frames=5)
    with pytest.raises(ValueError, match="mode"):
        qelomsr.acquire_synchronized({ka: ["AI-0"], vel: ["AI-0"]}, rate=1000, frames=5,
                                     mode="gate")
    with pytest.raises(ValueError, match="frames or seconds"):
        qelomsr.acquire_synchronized({ka: ["AI-0"], vel: ["AI-0"]}, rate=1000)


def test_an_overrun_of_one_device_is_one_gap_for_all(wired, bus):
    # The Rix keeps 8192 frames of AI-0, the Ka and the Vel far more: 50
    # frames read, then 10.001 s unread overflow the Rix after frame 8242
    # only. The master stops after an odd number of frames (10051), its line
    # high: the restart must not hand the others an edge before its first
    # frame. The clock stands between the steps: the waits are bounded
    # generously.
    ka, vel, rix = wired
    ports = ("1-3", "1-2.1", "1-2.4")

    def fresh(s):
        # The master's line is configured (after the rate was tried on every
        # device: a start and a stop of its own) and it has just started.
        return (s["triggerOutput"] == 1 and s["acquisition"] == "running" and
                s["framesProduced"] == 0)

    def drive():
        bus.wait_for("1-3", fresh)
        bus.advance("50ms")
        for port in ports:
            bus.wait_for(port, lambda s: s["inputBufferedBytes"] == 0)
        bus.advance("10001ms")
        bus.wait_for("1-3", fresh)  # all restarted together
        bus.advance("100ms")

    with bus.manual_clock():
        driver = threading.Thread(target=drive, daemon=True)
        driver.start()
        with pytest.warns(RuntimeWarning, match="overrun of " + RIX + " after 8242 rows"):
            acq = qelomsr.acquire_synchronized({ka: ["AI-0"], vel: ["AI-0"], rix: ["AI-0"]},
                                               rate=1000, frames=8300, on_overrun="restart",
                                               timeout=60)
        driver.join(60)
    assert acq.gaps == [8242] and acq.overruns == 1 and len(acq) == 8300
    assert np.max(np.abs(acq.data[:, 0] - acq.data[:, 1])) < 0.002
    assert np.max(np.abs(acq.data[:, 0] - acq.data[:, 2])) < 0.004
    assert acq.time[8242] > acq.time[8241]

