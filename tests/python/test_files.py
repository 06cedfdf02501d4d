"""Data files without a device: the CSV and HDF5 layouts shared with the
command-line tool and the panel, exact numbers, gaps, and reading files
written by another tool."""

import math
import struct

import pytest

import qelomsr

np = pytest.importorskip("numpy")


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
                               firmware="1.4", ranges=[(-10.0, 10.0), None],
                               start_time="2026-12-09T11:45:53.123+00:00")


def test_csv_has_shortest_numbers_and_one_marker_per_gap(tmp_path):
    path = tmp_path / "a.csv"
    sample_acquisition().to_csv(str(path))
    assert path.read_text().splitlines() == [
        "time_s,AI-0,CNT",
        "0,0.1,0",
        "0.001,-2.5,1",
        "0.002,0.33333334,255",
        "# overrun after 3 frames: frames lost; acquisition restarted",
        "0.7375,9.999999,7",
        "0.7385,-0.0000123,4294967295",
        "0.7395,4.2,3",
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
    assert back.gaps == [3]
    assert back["CNT"][4] == 4294967295
    if suffix == "h5":
        assert (back.device, back.serial, back.firmware) == ("USB:1-0-3", "QeloKa@1", "1.4")
        assert back.start_time == acq.start_time and back.rate == 1000.0
        assert back.ranges == [(-10.0, 10.0), None]
    else:
        assert back.rate == pytest.approx(1000.0)  # a CSV names no rate: from the time column


def test_hdf5_layout(tmp_path):
    h5py = pytest.importorskip("h5py")
    path = tmp_path / "a.h5"
    sample_acquisition().to_hdf5(str(path))
    with h5py.File(str(path), "r") as f:
        assert sorted(f.keys()) == ["data", "time_s"]
        d, t = f["data"], f["time_s"]
        assert d.shape == (6, 2) and d.dtype == np.float64 and d.maxshape == (None, 2)
        assert t.shape == (6,) and t.dtype == np.float64 and t.maxshape == (None,)
        assert d.chunks is not None and t.chunks is not None
        a = d.attrs
        assert list(a["channels"]) == ["AI-0", "CNT"] and list(a["units"]) == ["V", "raw"]
        for key in ("channels", "units", "device", "serial", "firmware", "start_time"):
            string = h5py.check_string_dtype(a.get_id(key).dtype)
            assert string is not None and string.encoding == "utf-8" and string.length is None, key
        assert a["rate_hz"] == 1000.0 and a["rate_hz"].dtype == np.float64
        assert a["device"] == "USB:1-0-3" and a["firmware"] == "1.4"
        assert a["start_time"] == "2026-12-09T11:45:53.123+00:00"
        ranges = a["ranges"]
        assert ranges.shape == (2, 2) and list(ranges[0]) == [-10.0, 10.0]
        assert np.isnan(ranges[1]).all()
        assert a["gaps"].dtype == np.int64 and list(a["gaps"]) == [3]


def test_hdf5_of_an_acquisition_without_gaps_has_an_empty_gap_list(tmp_path):
    h5py = pytest.importorskip("h5py")
    acq = qelomsr.Acquisition(["DP-0"], ["raw"], 10.0, np.zeros((0, 1)))
    acq.to_hdf5(str(tmp_path / "e.h5"))
    with h5py.File(str(tmp_path / "e.h5"), "r") as f:
        assert f["data"].shape == (0, 1)
        assert f["data"].attrs["gaps"].shape == (0,)
    assert len(qelomsr.load(str(tmp_path / "e.h5"))) == 0


def test_load_reads_files_written_by_another_tool(tmp_path):
    # The command-line tool's CSV: the same layout, other comment lines
    # skipped, a gap marker counted.
    csv = tmp_path / "cli.csv"
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
    # An HDF5 file written by another program with the same layout.
    h5py = pytest.importorskip("h5py")
    path = tmp_path / "other.h5"
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
        d.attrs["gaps"] = np.zeros(0, np.int64)
    acq = qelomsr.load(str(path))
    assert acq.rate == -1.0 and acq.channels == ["VREF", "DP-0"]
    assert acq.serial == "QeloPilex@7" and acq.ranges == [(0.0, 3.3), None]
    assert list(acq["DP-0"]) == [1.0, 0.0] and acq.gaps == []


@pytest.mark.parametrize("text,message", [
    ("AI-0,CNT\n1,2\n", "time_s"),
    ("time_s,AI-0\n0,1,2\n", "fields"),
])
def test_load_refuses_what_is_not_a_data_file(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        qelomsr.load(str(path))


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
