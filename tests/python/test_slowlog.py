"""Slow logging: host-timed single frames at any interval, with the files a
log writes as it goes (complete whatever ends it, also Ctrl-C and a full
disk). Values are checked against the emulated Rix's references (VREF
2.5 V, VBUSREF 5.0 V); the time column only for order and the schedule's
lower bound, never for how fast the host is."""

import os
import signal
import subprocess
import sys
import textwrap
import warnings

import pytest

import qelomsr
from conftest import RIX

np = pytest.importorskip("numpy")
PACKAGE_DIR = os.path.dirname(qelomsr.__path__[0])
EVERY = 0.02


def test_log_yields_host_timed_rows(rix):
    rows = list(rix.log("VREF,VBUSREF:6.6V,DP-0", every=EVERY, count=5, average=3))
    assert len(rows) == 5
    times = [r.time_s for r in rows]
    assert all(b > a for a, b in zip(times, times[1:]))
    assert all(t >= k * EVERY for k, t in enumerate(times))  # never before its tick
    for r in rows:
        assert r.values[0] == pytest.approx(2.5, abs=0.02)
        assert r.values[1] == pytest.approx(5.0, abs=0.04)
        assert r.values[2] == 0
        assert np.float32(r.values[0]) == r.values[0]  # a mean of float32 samples, as float32
    assert rix.log_clipped == [0, 0, 0]


@pytest.mark.parametrize("name", ["log.csv", "log.h5"])
def test_log_writes_its_rows_as_a_data_file(rix, tmp_path, name):
    if name.endswith("h5"):
        pytest.importorskip("h5py")
    path = str(tmp_path / name)
    log = rix.log(["VREF", "CNT"], every=EVERY, count=4, out=path)
    rows = [next(log), next(log)]
    with pytest.warns(RuntimeWarning, match="no end line") if name.endswith("csv") else \
            warnings.catch_warnings():
        assert len(qelomsr.load(path)) == 2  # readable while it is written
    rows += list(log)
    back = qelomsr.load(path)
    assert back.channels == ["VREF", "CNT"] and len(back) == 4
    assert list(back.time) == [r.time_s for r in rows]
    assert np.array_equal(back.data, np.array([r.values for r in rows]))
    assert back.device == RIX and back.serial == rix.serial_number
    assert back.clipped == [0, 0] and back.calibrated == [True, True]
    assert back.rate == pytest.approx(1 / EVERY)
    with pytest.raises(FileExistsError):
        next(rix.log("VREF", every=EVERY, count=1, out=path))


def test_acquire_every_collects_a_log(rix):
    acq = rix.acquire("VREF", every=EVERY, frames=3)
    assert len(acq) == 3 and acq.channels == ["VREF"]
    assert np.allclose(acq["VREF"], 2.5, atol=0.02)
    assert all(b > a for a, b in zip(acq.time, acq.time[1:]))
    with pytest.raises(ValueError, match="every="):
        rix.acquire("VREF", rate=10, every=1.0, frames=3)


@pytest.mark.parametrize("bad", [0, -1, float("nan"), float("inf"), "often"])
def test_log_refuses_a_bad_interval(rix, bad):
    with pytest.raises(ValueError, match="every"):
        next(rix.log("VREF", every=bad, count=1))


INTERRUPTED = textwrap.dedent("""
    import sys
    import qelomsr
    with qelomsr.Device(%(ident)r) as dev:
        try:
            for n, row in enumerate(dev.log("VREF", every=0.01, out=sys.argv[1])):
                print("row", n, flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
            raise
""")


@pytest.mark.parametrize("name,stop", [("log.csv", signal.SIGINT), ("log.h5", signal.SIGINT),
                                       ("log.csv", signal.SIGKILL), ("log.h5", signal.SIGKILL)])
def test_a_stopped_log_keeps_every_row_it_gave(devices, tmp_path, name, stop):
    if name.endswith("h5"):
        pytest.importorskip("h5py")
    path = tmp_path / name
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED % {"ident": RIX}, str(path)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             cwd=PACKAGE_DIR)
    try:
        for _ in range(4):  # a row is handed out once it is in the file
            assert child.stdout.readline().startswith("row "), child.stderr.read()
        child.send_signal(stop)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == -stop, err
    given = 4 + out.count("row ")
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        back = qelomsr.load(str(path))
    assert len(back) >= given and np.allclose(back["VREF"], 2.5, atol=0.02)
    if stop == signal.SIGINT:
        assert "interrupted" in out and seen == []  # complete, with its trailer
        if name.endswith("csv"):
            lines = path.read_text().splitlines()
            assert lines[-2:] == ["# clipped VREF 0", "# end: %d frames" % len(back)]


FULL_DISK = textwrap.dedent("""
    import resource, signal, sys
    import qelomsr
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (%(limit)d, %(limit)d))
    with qelomsr.Device(%(ident)r) as dev:
        rows = 0
        try:
            for row in dev.log("VREF,VBUSREF", every=0.001, out=sys.argv[1]):
                rows += 1
        except OSError as e:
            print("refused after", rows, "rows:", e, flush=True)
        print("still here:", dev.read_analog_input("VREF") > 2, flush=True)
""")


@pytest.mark.parametrize("name,limit", [("log.csv", 2000), ("log.h5", 64 * 1024)])
def test_a_full_disk_ends_a_log_on_a_complete_row(devices, tmp_path, name, limit):
    if name.endswith("h5"):
        pytest.importorskip("h5py")
    path = tmp_path / name
    out = subprocess.run([sys.executable, "-c", FULL_DISK % {"ident": RIX, "limit": limit},
                          str(path)], capture_output=True, text=True, timeout=120,
                         cwd=PACKAGE_DIR)
    assert out.returncode == 0, out
    first, second = out.stdout.splitlines()
    assert "file size limit exceeded" in first and str(path) in first
    assert second == "still here: True"
    rows = int(first.split()[2])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # no end line when there was no room left for it
        back = qelomsr.load(str(path))
    assert len(back) == rows
    if name.endswith("csv"):
        text = path.read_text()
        assert text.endswith("\n") and os.path.getsize(str(path)) <= limit
