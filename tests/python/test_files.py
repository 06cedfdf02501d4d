"""Data files without a device: the CSV and HDF5 layouts (format 2) shared
with the command-line tool and the panel, exact numbers, gaps and trailers,
files of format 1, cut-off files, and saving that never leaves a broken or
half-replaced file behind."""

import math
import os
import signal
import struct
import subprocess
import sys
import textwrap

import pytest

import qelomsr

np = pytest.importorskip("numpy")

PACKAGE_DIR = os.path.dirname(qelomsr.__path__[0])


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def sample_acquisition():
    # Two runs of frames with a gap before row 3; analog values are float32
    # values as the library delivers them, one with no short decimal form.
    ai = [f32(v) for v in (0.1, -2.5, 1.0 / 3.0, 9.999999, -0.0000123, 4.2)]
    data = np.column_stack([ai, [0, 1, 255, 7, 4294967295, 3]])
    time = np.array([0.0, 0.001, 0.002, 0.7375, 0.7385, 0.7395])
    return qelomsr.Acquisition(["AI-0", "CNT"], ["V", "raw"], 1000.0, data, overruns=1,
                               time=time, gaps=[3], device="USB:1-0-3", serial="QeloKa@1",
                               firmware="1.4", ranges=[(-0.01, 0.01), None],
                               start_time="2026-12-09T11:45:53.123+00:00", family="Ka",
                               calibrated=[False, True], clipped=[2, 0])


def test_csv_layout(tmp_path):
    path = tmp_path / "a.csv"
    sample_acquisition().to_csv(str(path))
    assert path.read_text().splitlines() == [
        "# qelomsr recording, format 2",
        "# device USB:1-0-3, family Ka, serial QeloKa@1, firmware 1.4",
        "# start_time 2026-12-09T11:45:53.123+00:00",
        "# rate_hz 1000",
        "# range AI-0 -0.01 .. 0.01 V",
        "# uncalibrated AI-0: nominal conversion (erased calibration record)",
        "time_s,AI-0,CNT",
        "0,0.1,0",
        "0.001,-2.5,1",
        "0.002,0.33333334,255",
        "# overrun after 3 frames: frames lost; acquisition restarted",
        "0.7375,9.999999,7",
        "0.7385,-0.0000123,4294967295",
        "0.7395,4.2,3",
        "# clipped AI-0 2",
        "# end: 6 frames",
    ]


@pytest.mark.parametrize("suffix", ["csv", "h5"])
def test_files_read_back_exactly(tmp_path, suffix):
    if suffix == "h5":
        pytest.importorskip("h5py")
    acq = sample_acquisition()
    path = str(tmp_path / ("a." + suffix))
    (acq.to_csv if suffix == "csv" else acq.to_hdf5)(path)
    back = qelomsr.load(path)
    assert back.channels == acq.channels and back.units == acq.units
    assert np.array_equal(back.data, acq.data)  # every bit of every float32
    assert np.array_equal(back.time, acq.time)
    assert back.gaps == [3] and back["CNT"][4] == 4294967295
    assert (back.device, back.serial, back.firmware) == ("USB:1-0-3", "QeloKa@1", "1.4")
    assert back.start_time == acq.start_time and back.rate == 1000.0
    assert back.ranges == [(-0.01, 0.01), None]
    assert back.calibrated == [False, True] and back.clipped == [2, 0]
    assert back.devices == ["USB:1-0-3", "USB:1-0-3"]


@pytest.mark.parametrize("compress", [False, True])
def test_hdf5_layout(tmp_path, compress):
    h5py = pytest.importorskip("h5py")
    path = tmp_path / "a.h5"
    sample_acquisition().to_hdf5(str(path), compress=compress)
    with h5py.File(str(path), "r", swmr=True) as f:  # readable as while it is written
        assert sorted(f.keys()) == ["clipped", "data", "gaps", "time_s"]
        d, t = f["data"], f["time_s"]
        assert d.shape == (6, 2) and d.dtype == np.float64 and d.maxshape == (None, 2)
        assert t.shape == (6,) and t.dtype == np.float64 and t.maxshape == (None,)
        assert d.chunks[0] * 2 * 8 <= 64 * 1024 and d.chunks[0] <= 1000  # 64 KiB or 1 s
        assert (d.compression, d.shuffle) == (("gzip", True) if compress else (None, False))
        assert f["gaps"].dtype == np.int64 and list(f["gaps"]) == [3]
        assert f["gaps"].maxshape == (None,)
        assert list(f["clipped"]) == [2, 0]
        a = d.attrs
        assert a["format"] == 2
        assert list(a["channels"]) == ["AI-0", "CNT"] and list(a["units"]) == ["V", "raw"]
        for key in ("channels", "units", "device", "serial", "firmware", "start_time", "devices"):
            string = h5py.check_string_dtype(a.get_id(key).dtype)
            assert string is not None and string.encoding == "utf-8" and string.length is None, key
        assert a["rate_hz"] == 1000.0 and a["rate_hz"].dtype == np.float64
        assert a["device"] == "USB:1-0-3" and a["firmware"] == "1.4"
        assert a["start_time"] == "2026-12-09T11:45:53.123+00:00"
        ranges = a["ranges"]
        assert ranges.shape == (2, 2) and list(ranges[0]) == [-0.01, 0.01]  # not 0.0099999998
        assert np.isnan(ranges[1]).all()
        assert a["calibrated"].dtype == np.uint8 and list(a["calibrated"]) == [0, 1]
        assert list(a["devices"]) == ["USB:1-0-3"] * 2


def test_hdf5_stores_float32_samples_as_float32(tmp_path):
    h5py = pytest.importorskip("h5py")
    values = np.array([[f32(0.1), f32(-3.3)], [f32(1e-7), f32(9.75)]])
    acq = qelomsr.Acquisition(["AI-0", "AI-1"], ["V", "V"], 10.0, values)
    acq.to_hdf5(str(tmp_path / "f.h5"))
    with h5py.File(str(tmp_path / "f.h5"), "r") as f:
        assert f["data"].dtype == np.float32
        assert list(f["clipped"]) == [-1, -1]  # not known for an acquisition made by hand
    assert np.array_equal(qelomsr.load(str(tmp_path / "f.h5")).data, values)


def test_an_empty_acquisition_makes_valid_files(tmp_path):
    pytest.importorskip("h5py")
    acq = qelomsr.Acquisition(["DP-0"], ["raw"], 10.0, np.zeros((0, 1)))
    for name in ("e.csv", "e.h5"):
        (acq.to_csv if name.endswith("csv") else acq.to_hdf5)(str(tmp_path / name))
        back = qelomsr.load(str(tmp_path / name))
        assert len(back) == 0 and back.gaps == [] and back.channels == ["DP-0"]


def test_load_reads_files_of_format_1(tmp_path):
    # The layout before format 2: the column line first, no trailer; HDF5
    # with the gaps as an attribute.
    csv = tmp_path / "v1.csv"
    csv.write_text("time_s,AI-0/AI-1,DP-1,TRG\n"
                   "0,1.25,3,0\n"
                   "# a comment of another kind\n"
                   "0.5,-1.25,3,1\n"
                   "# overrun after 2 frames: frames lost; acquisition restarted\n"
                   "3.5,0.1,2,0\n"
                   "4,0.2,2,0\n")
    acq = qelomsr.load(str(csv))
    assert acq.channels == ["AI-0/AI-1", "DP-1", "TRG"]
    assert acq.units == ["V", "raw", "raw"]
    assert acq.gaps == [2] and len(acq) == 4
    assert list(acq.time) == [0.0, 0.5, 3.5, 4.0]
    assert acq["AI-0/AI-1"][2] == f32(0.1) and acq.rate == pytest.approx(2.0)
    assert acq.clipped is None and acq.calibrated is None
    h5py = pytest.importorskip("h5py")
    path = tmp_path / "v1.h5"
    text = h5py.string_dtype("utf-8")
    with h5py.File(str(path), "w") as f:
        d = f.create_dataset("data", data=np.array([[0.5, 1], [0.25, 0]]), maxshape=(None, 2),
                             chunks=(4096, 2))
        f.create_dataset("time_s", data=np.array([0.0, 1.0]), maxshape=(None,), chunks=(4096,))
        d.attrs.create("channels", ["VREF", "DP-0"], dtype=text)
        d.attrs.create("units", ["V", "raw"], dtype=text)
        d.attrs["rate_hz"] = -1.0
        d.attrs["device"] = "USB:1-0-2-4"
        d.attrs["serial"] = "QeloPilex@7"
        d.attrs["firmware"] = "1.4"
        d.attrs["ranges"] = np.array([[0.0, 3.3], [math.nan, math.nan]])
        d.attrs["start_time"] = "2026-12-09T11:45:53.123+00:00"
        d.attrs["gaps"] = np.array([1], np.int64)
    acq = qelomsr.load(str(path))
    assert acq.rate == -1.0 and acq.channels == ["VREF", "DP-0"]
    assert acq.serial == "QeloPilex@7" and acq.ranges == [(0.0, 3.3), None]
    assert list(acq["DP-0"]) == [1.0, 0.0] and acq.gaps == [1]


def test_load_skips_what_it_does_not_know_and_reads_several_devices(tmp_path):
    csv = tmp_path / "two.csv"
    csv.write_text("# qelomsr recording, format 2\n"
                   "# device USB:1-0-3, family Ka, serial QeloKa@A, firmware 1.4\n"
                   "# device USB:1-0-2-4, family Rix, serial QeloPilex@B, firmware 1.4\n"
                   "# something new 42\n"
                   "# rate_hz 1000\n"
                   "# column AI-0 device USB:1-0-3\n"
                   "# column CNT device USB:1-0-2-4\n"
                   "time_s,AI-0,CNT\n"
                   "0,0.5,1\n"
                   "0.001,0.25,3\n"
                   "# clipped AI-0 0\n"
                   "# end: 2 frames\n")
    acq = qelomsr.load(str(csv))
    assert acq.devices == ["USB:1-0-3", "USB:1-0-2-4"] and acq.device == "USB:1-0-3"
    assert acq.rate == 1000.0 and acq.clipped == [0, 0] and len(acq) == 2


@pytest.mark.parametrize("cut", ["0.002,0.30", "0.002,", "0.00"])
def test_load_drops_an_incomplete_last_line(tmp_path, cut):
    # A recording killed mid-row: the last line has no newline. A cut number
    # ("0.30" of 0.30011308) must never be read as a value.
    path = tmp_path / "cut.csv"
    path.write_text("# qelomsr recording, format 2\n# rate_hz 1000\ntime_s,AI-0\n"
                    "0,0.30011308\n0.001,0.30011308\n" + cut)
    with pytest.warns(RuntimeWarning) as seen:
        acq = qelomsr.load(str(path))
    texts = " | ".join(str(w.message) for w in seen)
    assert "last line has no newline" in texts and "cut off" in texts
    assert len(acq) == 2 and np.all(acq["AI-0"] == f32(0.30011308))


@pytest.mark.parametrize("text,message", [
    ("AI-0,CNT\n1,2\n", "time_s"),
    ("time_s,AI-0\n0,1,2\n", "fields"),
    ("", "empty"),
    ("# qelomsr recording, format 2\n# rate_hz 1\n", "column line"),
])
def test_load_refuses_what_is_not_a_data_file(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        qelomsr.load(str(path))


@pytest.mark.parametrize("save", ["to_csv", "to_hdf5"])
def test_saving_replaces_a_file_only_when_asked(tmp_path, save):
    if save == "to_hdf5":
        pytest.importorskip("h5py")
    path = tmp_path / "run.dat"
    path.write_bytes(b"keep me")
    acq = sample_acquisition()
    with pytest.raises(FileExistsError, match="overwrite=True"):
        getattr(acq, save)(str(path))
    assert path.read_bytes() == b"keep me"
    getattr(acq, save)(str(path), overwrite=True)
    assert np.array_equal(qelomsr.load(str(path)).data, acq.data)
    assert sorted(os.listdir(str(tmp_path))) == ["run.dat"]  # no temporary file left
    with pytest.raises(FileNotFoundError, match="directory"):
        getattr(acq, save)(str(tmp_path / "missing" / "run.dat"))


CHILD_PRELUDE = textwrap.dedent("""
    import os, resource, signal, sys
    import numpy as np
    import qelomsr
    acq = qelomsr.Acquisition(["AI-0", "AI-1", "DP-0"], ["V", "V", "raw"], 1000.0,
                              np.column_stack([np.sin(np.arange(200000) / 7.0).astype(np.float32),
                                               np.arange(200000) % 3 - 1.0,
                                               np.arange(200000) % 256]))
    target = sys.argv[1]
""")

FULL_DISK_CHILD = CHILD_PRELUDE + textwrap.dedent("""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))  # 1 MiB per file
    for save in ("to_csv", "to_hdf5"):
        try:
            getattr(acq, save)(target, overwrite=True)
        except OSError as e:
            print(save, "refused:", e, flush=True)
    print("still here with", len(acq), "frames", flush=True)
""")


def test_a_full_disk_raises_leaves_the_old_file_and_the_process_alive(tmp_path):
    pytest.importorskip("h5py")
    target = tmp_path / "run.csv"
    target.write_text("the complete file of an earlier save\n")
    out = subprocess.run([sys.executable, "-c", FULL_DISK_CHILD, str(target)],
                         capture_output=True, text=True, timeout=120, cwd=PACKAGE_DIR)
    assert out.returncode == 0, out  # Debian's HDF5 crashed here when it met the failing write
    lines = out.stdout.splitlines()
    for save, line in zip(("to_csv", "to_hdf5"), lines):
        assert line.startswith(save + " refused:"), out.stdout
        assert str(target) in line and "file size limit exceeded" in line, line
    assert lines[2] == "still here with 200000 frames"
    assert target.read_text() == "the complete file of an earlier save\n"
    assert os.listdir(str(tmp_path)) == ["run.csv"]


KILLED_CHILD = CHILD_PRELUDE + textwrap.dedent("""
    # Stop inside the save, after the new file is written but before it is
    # in place, so that the kill lands at a known point.
    real_fsync = os.fsync
    def report_and_wait(fd):
        real_fsync(fd)
        print("written", flush=True)
        signal.pause()
    os.fsync = report_and_wait
    getattr(acq, sys.argv[2])(target, overwrite=True)
""")


@pytest.mark.parametrize("save", ["to_csv", "to_hdf5"])
def test_a_killed_save_leaves_the_complete_file_that_was_there(tmp_path, save):
    if save == "to_hdf5":
        pytest.importorskip("h5py")
    target = tmp_path / "run.dat"
    before = sample_acquisition()
    getattr(before, save)(str(target))
    child = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, str(target), save],
                             stdout=subprocess.PIPE, text=True, cwd=PACKAGE_DIR)
    try:
        assert child.stdout.readline().strip() == "written"
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
    back = qelomsr.load(str(target))
    assert np.array_equal(back.data, before.data) and back.gaps == before.gaps


def test_columns_by_name():
    acq = sample_acquisition()
    assert list(acq["cnt"][:2]) == [0, 1]  # names fold case, as peripheral names do
    with pytest.raises(KeyError, match="AI-0, CNT"):
        acq["AI-7"]


def test_float32_values_print_as_float32():
    assert repr(qelomsr._numbers.Float32(0.1)) == "0.1"
    assert str(qelomsr._numbers.Float32(-10.0)) == "-10"
    assert qelomsr._numbers.Float32(0.1) == f32(0.1)
    info = qelomsr.DeviceInfo(0, "USB:1-0-3", qelomsr.TYPE_KA1X, "Ka", "1.4")
    assert "type=0x7A500010 (QeloKa1x)" in repr(info)
    assert info.type == 0x7A500010


def test_plot_takes_a_stream_block(tmp_path):
    pytest.importorskip("matplotlib")
    block = np.column_stack([np.sin(np.arange(1000) / 50.0), np.arange(1000) % 4])
    fig = qelomsr.plot(block, channels=["AI-0", "DP-0"], rate=100.0)
    assert [[t.get_text() for t in ax.get_legend().get_texts()] for ax in fig.axes] == \
        [["AI-0 (V)"], ["DP-0"]]
    line = fig.axes[0].get_lines()[0]
    assert line.get_xdata()[-1] == pytest.approx(9.99)
    assert np.array_equal(line.get_ydata(), block[:, 0])
    with pytest.raises(ValueError, match="channels"):
        qelomsr.plot(block)
    # Without a rate the axis counts frames.
    fig = qelomsr.plot(block[:, 0], channels=["AI-0"])
    assert fig.axes[0].get_xlabel() == "frame"


def test_plot_of_a_long_acquisition_keeps_its_extremes_and_marks_gaps():
    pytest.importorskip("matplotlib")
    n = 1_000_000
    data = np.sin(np.arange(n) / 1000.0)[:, np.newaxis]
    data[123_457, 0] = 5.0  # one spike among a million rows
    time = np.arange(n) / 1000.0
    time[500_000:] += 10.0
    acq = qelomsr.Acquisition(["AI-0"], ["V"], 1000.0, data, time=time, gaps=[500_000])
    fig = qelomsr.plot(acq)
    line = fig.axes[0].get_lines()[0]
    y = line.get_ydata()
    assert len(y) < 10_000 and y.max() == 5.0 and y.min() == data.min()
    assert np.all(np.diff(line.get_xdata()) > 0)
    marks = [ln for ln in fig.axes[0].get_lines()[1:]]
    assert [m.get_xdata()[0] for m in marks] == [time[500_000]]
