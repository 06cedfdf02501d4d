"""The package against the emulated devices: every family, errors as
exceptions, streamed arrays against the injected signals."""

import subprocess
import sys
import warnings

import pytest

import qelomsr
from conftest import KA, RIX, VEL

np = pytest.importorskip("numpy")


def test_list_devices_reports_families_and_firmware(devices):
    families = {i: d.family for i, d in devices.items()}
    assert families[KA] == "Ka" and families[VEL] == "Vel" and families[RIX] == "Rix"
    for d in devices.values():
        assert d.firmware.startswith("1.")
        assert d.type in qelomsr.FAMILIES


def test_version_register_matches_the_listed_firmware(devices, ka):
    raw = ka.read_register(0xF0000004)
    assert "%d.%d" % ((raw >> 16) & 0xFF, (raw >> 8) & 0xFF) == devices[KA].firmware


def test_serial_numbers_carry_the_family_prefix(ka, vel, rix):
    assert ka.serial_number.startswith("QeloKa@")
    assert vel.serial_number.startswith("QeloVel@")
    assert rix.serial_number.startswith("QeloPilex@")


def test_context_manager_closes_and_handles_are_never_reused(devices):
    with qelomsr.Device(RIX) as dev:
        first = dev.handle
    with pytest.raises(qelomsr.LogicError):
        dev.handle
    with qelomsr.Device(RIX) as again:
        assert again.handle > first


@pytest.mark.parametrize("call,exc_type,error_class,message", [
    (lambda: qelomsr.Device("USB:9-9-9"), qelomsr.DeviceError, 4,
     "USB:9-9-9 is not attached: Invalid identifier."),
    (lambda: qelomsr.Device(KA), qelomsr.LogicError, 3, "Device already opened."),
])
def test_open_failures_raise(ka, call, exc_type, error_class, message):
    with pytest.raises(exc_type) as info:
        call()
    assert (info.value.error_class, info.value.message) == (error_class, message)


def test_device_errors_carry_class_and_text(ka):
    with pytest.raises(qelomsr.InvalidArgumentError) as e:
        ka.read_analog_input(qelomsr.ANALOG_INPUT(40))
    assert e.value.error_class == 2 and isinstance(e.value, ValueError)
    with pytest.raises(qelomsr.OutOfRangeError) as e:
        ka.set_analog_input_parameters("AI-0", qelomsr.RANGE(9))
    assert e.value.error_class == 1
    with pytest.raises(qelomsr.LogicError) as e:
        ka.write_blocking([0.0])
    assert (e.value.error_class, e.value.message) == (3, "Not supported.")
    with pytest.raises(qelomsr.InvalidArgumentError):
        ka.resolve("AI-99")


def test_reference_voltages_of_the_rix(rix):
    assert rix.read_analog_input("VREF") == pytest.approx(2.5, abs=0.02)
    assert rix.read_analog_input("VBUSREF") == pytest.approx(5.0, abs=0.04)
    assert rix.get_range_min_max("VBUSREF", qelomsr.RANGE(0)) == pytest.approx((0.0, 6.6))


def test_peripherals_are_named_by_the_device(ka, rix):
    names = ka.peripherals()
    assert names["AI-13"] == qelomsr.ANALOG_INPUT(13)
    assert names["AI-0/AI-1"] == qelomsr.DIFF_INPUT(0)
    assert names["CNT"] == qelomsr.COUNTER and names["TRG"] == qelomsr.TRIGGER
    assert rix.peripherals()["VREF"] == qelomsr.ANALOG_INPUT(5)
    assert ka.get_digital_port_io_name("DP-2", 3) == "IO-19"
    assert ka.ranges("AI-0") == [qelomsr.RANGE(i) for i in range(4)]


def test_digital_port_and_counter_round_trip(ka):
    ka.set_digital_port_output_enable_mask("DP-0", 0xFF)
    ka.write_digital_port("DP-0", 0xA5)
    assert ka.read_digital_port("DP-0") == 0xA5
    ka.set_counter_enable(True)
    assert ka.get_counter_enable() is True
    ka.reset_counter()
    assert ka.read_counter() >= 0


# The streams of these tests run on real time, but each fits the device's
# input buffer whole, so no host is too slow for them.
def test_stream_matches_the_injected_references(rix):
    blocks = list(rix.stream(["VREF", "VBUSREF", "AI-0"], rate=500, frames=300))
    data = np.concatenate(blocks)
    assert data.shape == (300, 3) and data.dtype == np.float64
    assert np.allclose(data[:, 0], 2.5, atol=0.02)
    assert np.allclose(data[:, 1], 5.0, atol=0.04)
    assert rix.stream_rate == pytest.approx(500, rel=1e-3)


def test_acquire_matches_the_injected_sines(ka):
    # The emulated Ka drives AI-n with 0.6 (n + 1) V * sin(2 pi (n + 1) Hz t + phase).
    # One second at 1000 Hz holds whole periods of every one: projecting each
    # column on sine and cosine of its frequency gives its amplitude, which
    # checks calibration, column order and the frame rate the device runs at.
    acq = ka.acquire(["AI-0", "AI-1", "AI-2", "AI-3"], rate=1000, frames=1000,
                     range_id=qelomsr.RANGE_10V)
    assert acq.data.shape == (1000, 4) and acq.units == ["V"] * 4
    assert acq.time[1] == pytest.approx(0.001)
    t = acq.time
    for n in range(4):
        f, amplitude = n + 1.0, 0.6 * (n + 1)
        a = 2 * np.mean(acq.data[:, n] * np.sin(2 * np.pi * f * t))
        b = 2 * np.mean(acq.data[:, n] * np.cos(2 * np.pi * f * t))
        assert np.hypot(a, b) == pytest.approx(amplitude, rel=0.01), n
        fitted = a * np.sin(2 * np.pi * f * t) + b * np.cos(2 * np.pi * f * t)
        assert np.abs(acq.data[:, n] - fitted).max() < 0.01 * amplitude + 0.01, n


def test_ports_counter_and_trigger_in_frames(ka):
    ka.set_digital_port_output_enable_mask("DP-1", 0xFF)
    ka.write_digital_port("DP-1", 0x3C)
    data = ka.acquire(["DP-1", "CNT", "TRG", "AI-0"], rate=200, frames=50).data
    assert np.all(data[:, 0] == 0x3C)
    assert np.all(data[:, 1] == np.floor(data[:, 1])) and np.all(data[:, 1] >= 0)


def test_read_frame_fills_the_family_record(rix):
    rix.setup_input_frame(["VREF", "CNT"])
    values, ports = rix.read_frame()
    assert values.shape == (6,) and ports.shape == (3,)
    assert values[5] == pytest.approx(2.5, abs=0.02)
    assert values[0] == 0.0  # slots outside the mask read 0


def test_an_overrun_hands_out_the_kept_frames_then_raises_and_the_device_recovers(
        kept_frames_first, ka, bus):
    ka.setup_input_frame(["AI-0", "AI-1", "AI-2", "AI-3"])  # 8-byte frames
    with bus.manual_clock():
        ka.start_data_acquisition(20000)
        try:
            bus.advance("1s")  # 20000 frames, far more than the 64 KiB buffer holds
            state = bus.state(KA)
            assert state["framesDropped"] > 0
            assert state["framesProduced"] + state["framesDropped"] == 20000
            kept = state["inputBufferedBytes"] // 8
            read = 0
            with pytest.raises(qelomsr.BufferOverflowError) as e:
                while True:
                    values, _ = ka.read_non_blocking()
                    read += len(values)
            assert e.value.error_class == 4
            assert read == kept and bus.state(KA)["inputBufferedBytes"] == 0
        finally:
            ka.stop_data_acquisition()
    data = np.concatenate(list(ka.stream(["AI-0"], rate=200, frames=20)))
    assert data.shape == (20, 1)


def test_vel_output_stream(vel):
    vel.setup_output_frame(["AO-0"])
    sine = [np.sin(2 * np.pi * i / 100) for i in range(200)]
    vel.write_blocking(sine)
    assert vel.write_non_blocking([0.0, 0.5]) in (0, 1, 2)


def test_without_numpy_stream_yields_lists(devices):
    code = ("import sys; sys.modules['numpy'] = None\n"
            "import qelomsr\n"
            "with qelomsr.Device(%r) as d:\n"
            "    rows = [r for b in d.stream(['VREF'], rate=200, frames=20) for r in b]\n"
            "    v, p = d.read_frame()\n"
            "print(type(rows[0]).__name__, len(rows), round(rows[0][0], 1), len(v), len(p))\n"
            % RIX)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         cwd=qelomsr.__path__[0] + "/..")
    assert out.stdout.strip() == "list 20 2.5 6 3", out


@pytest.mark.parametrize("on_overrun", ["raise", "restart"])
def test_stream_overrun_policy(kept_frames_first, ka, bus, on_overrun):
    # The devices' clock jumps 20 s ahead after the first block: 100000
    # frames, far more than the device buffer holds (8192 of these). The
    # stream hands out every frame the device kept, then raises, or restarts
    # and marks one gap there. It wants more frames than that, and once
    # restarted it gets them before the buffer could fill again.
    frames = 12000
    blocks = ka.stream(["AI-0", "AI-1", "AI-2", "AI-3"], rate=5000, frames=frames,
                       on_overrun=on_overrun)
    first = next(blocks)
    with bus.manual_clock():
        bus.advance("20s")
        state = bus.state(KA)
    kept = state["inputBufferedBytes"] // 8
    assert kept > 0 and state["framesDropped"] > 0
    if on_overrun == "raise":
        got = 0
        with pytest.raises(qelomsr.BufferOverflowError) as e:
            for b in blocks:
                got += len(b)
        assert got == kept and ka.stream_overruns == 1
        assert len(e.value.acquisition) == 0  # no block was in the making
    else:
        with pytest.warns(RuntimeWarning, match="overrun after %d frames" % (len(first) + kept)):
            got = sum(len(b) for b in blocks)
        assert ka.stream_overruns == 1 and ka.stream_gaps == [len(first) + kept]
        assert len(first) + got == frames
    # The acquisition was stopped: single reads work again.
    assert bus.state(KA)["acquisition"] == "idle"
    assert abs(ka.read_analog_input("AI-0")) <= 0.7


def test_device_extras_report_the_emulated_values(ka):
    # The emulated Ka: 25 degC, reference currents 200.130 and 9.987 (stored in
    # thousandths), watchdog supported, default trigger configuration.
    assert ka.get_temperature() == pytest.approx(25.0, abs=0.01)
    assert ka.get_reference_current("200uA") == pytest.approx(200.13, rel=1e-5)
    assert ka.get_reference_current("10uA") == pytest.approx(9.987, rel=1e-5)
    params = ka.parameters()
    assert params["single_ended_inputs"] == 14 and params["watchdog"] == 1
    ka.set_watchdog_timeout(8)
    assert ka.get_watchdog_timeout() == 8
    ka.set_watchdog_timeout(0)
    assert ka.get_trigger_config() == qelomsr.TRIGGER_CONFIG_IN_A
    ka.set_led(True)
    delay = ka.set_analog_input_parameters("AI-2", qelomsr.RANGE_1V)
    assert ka.get_analog_input_parameters("AI-2") == (qelomsr.RANGE_1V, delay)
    assert ka.get_min_inter_channel_delay("AI-2") <= delay


def test_raw_block_read_gives_the_serial_block(ka):
    block = ka.read_block(0xF0000008, 2)
    length = block[0] | block[1] << 8
    text = ka.read_block(0xF0000008, length + 2)[2:].decode()
    assert ka.serial_number == "QeloKa@" + text


def test_write_frame_drives_outputs(ka):
    ka.set_digital_port_output_enable_mask("DP-2", 0x0F)
    ka.setup_output_frame(["AO-0", "DP-2"])
    ka.write_frame([1.25, 0.0], [0, 0, 0x9])
    assert ka.read_digital_port("DP-2") & 0x0F == 0x9


# One code of the 12-bit output over the 20 V of its range.
DAC_LSB = 20.0 / 4095


@pytest.mark.parametrize("output,requested,expected,clamped", [
    ("AO-0", 2.5, 2.5, False),
    ("AO-1", -7.25, -7.25, False),
    ("AO-0", 0.003, 0.0049, False),  # the 12-bit step is about 4.9 mV: not 0.003
    ("AO-0", 12.0, 10.0, True),
    ("AO-1", -1e30, -10.0, True),
])
def test_analog_output_reports_the_voltage_it_produces(ka, bus, output, requested, expected,
                                                       clamped):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        reported = ka.write_analog_output(output, requested)
    messages = [str(w.message) for w in seen]
    assert len(messages) == (1 if clamped else 0) and all("clamped" in m for m in messages)
    # The device's own view: the code it got, through its own output record
    # (reported with six decimals).
    produced = float(bus.state("1-3")["dac%sVolts" % output[-1]])
    assert reported == pytest.approx(produced, abs=1e-6)
    assert abs(produced - expected) <= DAC_LSB


@pytest.mark.parametrize("call", [
    lambda d: d.write_analog_output("AO-0", float("nan")),
    lambda d: d.write_analog_output("AO-0", float("inf")),
    lambda d: d.write_digital_port("DP-0", -1),
    lambda d: d.write_digital_port("DP-0", 0x100),
    lambda d: d.write_digital_port("DP-0", 1.5),
    lambda d: d.set_digital_port_output_enable_mask("DP-0", 0x1FF),
])
def test_outputs_refuse_values_the_device_cannot_hold(ka, bus, call):
    ka.set_digital_port_output_enable_mask("DP-0", 0x0F)
    ka.write_digital_port("DP-0", 0x05)
    ka.write_analog_output("AO-0", 1.0)
    before = bus.state("1-3")
    with pytest.raises((ValueError, TypeError)):
        call(ka)
    after = bus.state("1-3")
    for key in ("dac0Code", "port0Enable", "port0Latch"):
        assert after[key] == before[key], key



@pytest.mark.parametrize("spelling,range_id", [
    ("10V", qelomsr.RANGE_10V), ("1v", qelomsr.RANGE_1V), ("100mV", qelomsr.RANGE_100MV),
    ("10 mv", qelomsr.RANGE_10MV), ("0.01", qelomsr.RANGE_10MV), ("0.1V", qelomsr.RANGE_100MV),
    (qelomsr.RANGE_1V, qelomsr.RANGE_1V),
])
def test_ranges_take_the_spellings_of_the_command_line(ka, spelling, range_id):
    ka.set_analog_input_parameters("AI-2", spelling)
    assert ka.get_analog_input_parameters("AI-2")[0] == range_id
    assert ka.get_range_min_max("AI-2", spelling) == ka.get_range_min_max("AI-2", range_id)


@pytest.mark.parametrize("spelling,error,message", [
    ("10MV", ValueError, "mega"),
    ("3V", qelomsr.InvalidArgumentError, "it has 10V, 1V, 100mV, 10mV"),
    ("ten volts", ValueError, "upper limit of the range"),
    (1.5, TypeError, "upper limit of the range"),
    (True, TypeError, "upper limit of the range"),
])
def test_ranges_refuse_other_spellings(ka, spelling, error, message):
    with pytest.raises(error, match=message):
        ka.set_analog_input_parameters("AI-2", spelling)


def test_channel_lists_take_the_spellings_of_the_command_line(ka, rix):
    acq = ka.acquire("AI-0:10mV", rate=200, frames=5)  # one name is one channel
    assert acq.channels == ["AI-0"] and acq.ranges == [(-0.01, 0.01)]
    assert ka.get_analog_input_parameters("AI-0")[0] == qelomsr.RANGE_10MV
    acq = ka.acquire("ai-1, DP-0", rate=200, frames=5, range_id="1V")
    assert acq.channels == ["AI-1", "DP-0"] and acq.ranges == [(-1.0, 1.0), None]
    acq = rix.acquire(["VBUSREF:6.6V", "VREF"], rate=200, frames=5)
    assert acq.ranges == [(0.0, 6.6), (0.0, 3.3)]
    assert abs(ka.read_analog_input("AI-0:1V")) <= 0.7  # AI-0 carries 0.6 V at most
    assert ka.get_analog_input_parameters("AI-0")[0] == qelomsr.RANGE_1V
    with pytest.raises(qelomsr.InvalidArgumentError, match="only analog inputs"):
        ka.acquire("DP-0:1V", rate=200, frames=5)
    with pytest.raises(qelomsr.InvalidArgumentError, match="has no range"):
        rix.acquire("VREF:6.6V", rate=200, frames=5)
    with pytest.raises(ValueError, match="empty channel name"):
        ka.acquire("AI-0,,AI-1", rate=200, frames=5)
