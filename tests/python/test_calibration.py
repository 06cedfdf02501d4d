"""What the calibration records say, against the emulated devices: an
input or output whose record is erased says so (the nominal conversion
applies) in Device.uncalibrated, a warning, the acquisition and its files.
The runner's erasedCalibration fault erases what the device's calibration
memory reads, not its converters."""

import warnings

import pytest

import qelomsr
from conftest import KA, RIX

np = pytest.importorskip("numpy")
UNCALIBRATED = "nominal conversion (erased calibration record)"


def test_calibrated_devices_name_nothing(ka, rix):
    assert ka.uncalibrated == [] and rix.uncalibrated == []
    acq = ka.acquire("AI-0,DP-0", rate=200, frames=5)
    assert acq.calibrated == [True, True]


def test_an_erased_calibration_says_so_everywhere(devices, bus, tmp_path):
    bus.fault("1-2.4", "erasedCalibration", True)
    bus.fault("1-3", "erasedCalibration", True)
    try:
        with qelomsr.Device("rix") as rix, qelomsr.Device("ka") as ka:
            assert [str(u) for u in rix.uncalibrated] == ["AI-0", "AI-1", "AI-2", "AI-3",
                                                          "VBUSREF", "VREF"]
            names = [str(u) for u in ka.uncalibrated]
            assert names[:2] == ["AI-0", "AI-1"] and names[-2:] == ["AO-0", "AO-1"]
            assert len(names) == 21 + 2
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                volts = rix.read_analog_input("VBUSREF")
                rix.read_analog_input("VBUSREF")  # warned once per input
                acq = rix.acquire("VBUSREF,VREF,DP-0", rate=100, frames=10)
                ka.write_analog_output("AO-1", 1.0)
            texts = [str(w.message) for w in seen]
            assert texts == ["VBUSREF of %s is uncalibrated: %s" % (RIX, UNCALIBRATED),
                             "VREF of %s is uncalibrated: %s" % (RIX, UNCALIBRATED),
                             "AO-1 of %s is uncalibrated: %s" % (KA, UNCALIBRATED)]
            # 5.0 V on VBUSREF through the nominal conversion: the record's gain
            # of 2.004 (and its offset) is missing.
            assert volts == pytest.approx(5.0 / 2.004, abs=0.01)
            assert acq.calibrated == [False, False, True]
            path = tmp_path / "rix.csv"
            acq.to_csv(str(path))
            lines = path.read_text().splitlines()
            assert "# uncalibrated VBUSREF: %s" % UNCALIBRATED in lines
            assert "# uncalibrated VREF: %s" % UNCALIBRATED in lines
            assert qelomsr.load(str(path)).calibrated == [False, False, True]
    finally:
        bus.fault("1-2.4", "erasedCalibration", False)
        bus.fault("1-3", "erasedCalibration", False)
