"""Error records become exceptions of the right class (no device needed)."""

import pytest

import qelomsr
from qelomsr.errors import error_for

CASES = [
    (1, qelomsr.OutOfRangeError, (IndexError, ValueError)),
    (2, qelomsr.InvalidArgumentError, (ValueError,)),
    (3, qelomsr.LogicError, (RuntimeError,)),
    (4, qelomsr.DeviceError, (OSError,)),
    (5, qelomsr.OutOfMemoryError, (MemoryError,)),
    (14, qelomsr.InternalError, ()),
    (15, qelomsr.InternalError, ()),
    (0, qelomsr.InternalError, ()),
]


@pytest.mark.parametrize("error_class,exc_type,builtins", CASES)
def test_error_class_maps_to_exception(error_class, exc_type, builtins):
    e = error_for("Some text.", error_class, 42)
    assert type(e) is exc_type
    assert isinstance(e, qelomsr.QeloMsrError)
    for b in builtins:
        assert isinstance(e, b)
    assert (e.message, e.error_class, e.error_id) == ("Some text.", error_class, 42)
    assert "Some text." in str(e)


def test_buffer_overflow_has_its_own_class():
    e = error_for("Buffer overflow.", 4)
    assert isinstance(e, qelomsr.BufferOverflowError)
    assert isinstance(e, qelomsr.DeviceError)
    assert type(error_for("Buffer overflow.", 2)) is qelomsr.InvalidArgumentError


def test_unknown_error_id_reads_as_no_record():
    from qelomsr._library import error_record

    try:
        message, error_class = error_record(2 ** 30)
    except ImportError:
        pytest.skip("library not built")
    assert (message, error_class) == ("Unknown error id.", 0)


def test_explicit_library_path_is_final(tmp_path):
    import subprocess
    import sys
    import os

    env = dict(os.environ, QELOMSR_LIBRARY=str(tmp_path / "missing.so"))
    code = "import qelomsr\ntry:\n    qelomsr.api_version()\nexcept ImportError as e:\n" \
           "    print('IMPORT', e)\n"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=60, cwd=os.path.dirname(qelomsr.__path__[0]))
    assert "IMPORT" in out.stdout and "missing.so" in out.stdout, out


def test_plot_draws_channels_with_units(tmp_path):
    pytest.importorskip("matplotlib")
    np = pytest.importorskip("numpy")
    t = np.arange(200) / 100.0
    data = np.column_stack([np.sin(t), np.cos(t), (t * 10).astype(int)])
    acq = qelomsr.Acquisition(["AI-0", "AI-1", "DP-0"], ["V", "V", ""], 100.0, data)
    path = tmp_path / "plot.png"
    fig = qelomsr.plot(acq, str(path), title="test")
    assert path.stat().st_size > 1000
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    labels = [[t.get_text() for t in ax.get_legend().get_texts()] for ax in fig.axes]
    assert labels == [["AI-0 (V)", "AI-1 (V)"], ["DP-0"]]
    assert fig.axes[0].get_ylabel() == "voltage (V)"


def test_acquisition_csv(tmp_path):
    acq = qelomsr.Acquisition(["AI-0", "CNT"], ["V", ""], 4.0, [[1.5, 7], [-0.25, 8]])
    path = tmp_path / "a.csv"
    acq.to_csv(str(path))
    assert path.read_text() == ("# qelomsr recording, format 2\n# rate_hz 4\ntime_s,AI-0,CNT\n"
                                "0,1.5,7\n0.25,-0.25,8\n# clipped AI-0 -1\n# end: 2 frames\n")
