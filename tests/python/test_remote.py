"""qelomsr.remote against a served device: a Mosquitto broker of the test's
own on a free loopback port, `qelomsr serve` under the virtual USB bus runner
on the manual clock. Run by the mqtt.python_remote test (QELOMSR_CLI and
QELOMSR_RUNNER_PATH name the tool and the runner)."""
import contextlib
import json
import os
import pwd
import socket
import subprocess
import tempfile
import threading
import time

import pytest

pytestmark = pytest.mark.skipif(not os.environ.get("QELOMSR_CLI"),
                                reason="needs the tool and the runner (mqtt.python_remote)")

LIMIT_S = 60


def wait_for(what, condition):
    deadline = time.monotonic() + LIMIT_S
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("waited in vain for " + what)


def control(path, line):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(path)
        s.sendall(line.encode() + b"\n")
        reply = b""
        while not (reply.endswith(b"ok\n") or b"error" in reply):
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
    assert reply.endswith(b"ok\n"), reply
    return reply.decode()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    work = str(tmp_path_factory.mktemp("remote"))
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with open(os.path.join(work, "mosquitto.conf"), "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\nuser %s\n" %
                (port, pwd.getpwuid(os.geteuid()).pw_name))
    bus = os.path.join(work, "bus.json")
    with open(bus, "w") as f:
        json.dump({"topology": [{"port": "1-3", "device": {
            "family": "ka", "serial": "KA1X-PY", "portInputs": [90, 0, 0],
            "signals": [{"kind": "dc", "offset": 1.25}]}}]}, f)
    sock = os.path.join(work, "control")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(work, "mosquitto.conf")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)

    def listening():
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    wait_for("the broker", listening)
    server = subprocess.Popen(
        [os.environ["QELOMSR_RUNNER_PATH"], "--config", bus, "--manual-clock", "--control-socket",
         sock, "--", os.environ["QELOMSR_CLI"], "serve", "--broker", "mqtt://127.0.0.1:%d" % port,
         "--node", "py2", "--allow-control"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        yield "mqtt://127.0.0.1:%d" % port, sock
    finally:
        for p in (server, broker):
            p.terminate()
            p.wait(30)


@contextlib.contextmanager
def ticking(sock):
    """The emulator's clock advancing (it runs only when told) while inside."""
    done = threading.Event()

    def clock():
        while not done.is_set():
            control(sock, "clock advance 100ms")
            time.sleep(0.02)
    ticker = threading.Thread(target=clock)
    ticker.start()
    try:
        yield
    finally:
        done.set()
        ticker.join()


def connect_when_served(url):
    from qelomsr import remote

    broker = remote.connect(url)
    wait_for("the served device", lambda: broker.devices("py2"))
    return broker


def test_nodes_devices_and_single_values(served):
    url, _ = served
    with connect_when_served(url) as broker:
        assert broker.nodes()["py2"] == "online"
        assert list(broker.devices()) == ["py2/USB:1-0-3"]
        for name in ("py2/USB:1-0-3", "py2/ka", "py2/KA1X-PY"):
            assert broker.device(name).name == "py2/USB:1-0-3"
        with pytest.raises(LookupError):
            broker.device("py2/rix")
        dev = broker.device("py2/ka")
        assert abs(dev.read_analog_input("AI-0") - 1.25) < 2e-3
        dev.set_digital_port_output_enable_mask("DP-0", 0x0F)
        dev.write_digital_port("DP-0", 0x05)
        dev.set_counter_enable(True)
    # Another connection finds what the first set: the server kept the device open.
    with connect_when_served(url) as broker:
        dev = broker.device("py2/ka")
        assert dev.read_digital_port("DP-0") == 0x55  # lines 0-3 driven, 4-7 pulled to 0x5A
        assert dev.get_counter_enable() is True
        from qelomsr import errors
        with pytest.raises(errors.OutOfRangeError):
            dev.write_analog_output("AO-0", 99)


def run_acquire(served, record_payloads=None):
    url, sock = served
    with connect_when_served(url) as broker:
        dev = broker.device("py2/ka")
        with ticking(sock):
            if record_payloads is not None:
                original = broker._take

                def take(topic, seconds):
                    payloads = original(topic, seconds)
                    record_payloads.extend(payloads)
                    return payloads
                broker._take = take
            return dev.acquire(["AI-0", "DP-0", "CNT"], rate=100, frames=300)


def test_acquire_gives_every_frame_as_the_emulator_made_it(served, tmp_path):
    payloads = []
    acq = run_acquire(served, payloads)
    assert len(acq) == 300 and acq.gaps == [] and acq.rate == 100
    assert acq.channels == ["AI-0", "DP-0", "CNT"] and acq.units == ["V", "raw", "raw"]
    assert all(abs(v - 1.25) < 2e-3 for v in acq["AI-0"])
    assert all(v == 0x5A for v in acq["DP-0"]) or all(v == 0x55 for v in acq["DP-0"])
    assert abs(acq.time[-1] - 2.99) < 1e-9
    acq.to_hdf5(str(tmp_path / "remote.h5"))
    import qelomsr
    back = qelomsr.load(str(tmp_path / "remote.h5"))
    assert len(back) == 300 and list(back["AI-0"]) == list(acq["AI-0"])

    # A record that never came is a marked gap where its frames are missing.
    from qelomsr import remote
    records = [remote.parse_record(p) for p in payloads]
    frames = [r for r in records if r["kind"] == remote.FRAMES]
    assert len(frames) >= 3, "too few records to lose one in the middle"
    lost = frames[1]
    assembler = remote._Assembler()
    for r in records:
        if r is not lost:
            assembler.add(r)
    assert assembler.gaps == [lost["first"]] and assembler.lost_records == 1
    assert len(assembler.rows) == 300 - lost["n"]
    assert assembler.times[lost["first"]] == pytest.approx((lost["first"] + lost["n"]) / 100)
    for garbage in (b"", b"QMSB", payloads[0][:100], b"x" * 200):
        with pytest.raises(ValueError):
            remote.parse_record(garbage)


def test_stream_yields_blocks_until_its_frames(served):
    url, sock = served
    with connect_when_served(url) as broker:
        dev = broker.device("py2/ka")
        with ticking(sock):
            blocks = list(dev.stream("AI-0", rate=100, frames=50))
    assert sum(len(b) for b in blocks) == 50 and dev.stream_gaps == []
    assert all(abs(row[0] - 1.25) < 2e-3 for b in blocks for row in b)
