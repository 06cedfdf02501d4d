"""A served device used with no code of the project's: Debian's paho-mqtt
(MQTT 5 requests with a response topic and correlation data) and the
mosquitto clients, the stream blocks read with struct from the documented
layout. The server runs under the virtual USB bus runner on the manual clock,
against a Mosquitto broker of the test's own on a free loopback port.

Usage: test_paho_client.py QELOMSR_CLI QELOMSR_VBUS TMPDIR
"""
import json
import os
import pwd
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

CLI, RUNNER, TMP = sys.argv[1:4]
NODE = "py1"
DEVICE = "USB:1-0-3"
BASE = f"qelomsr/{NODE}/devices/{DEVICE}/"
LIMIT_S = 60


def wait_for(what, condition):
    deadline = time.monotonic() + LIMIT_S
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"waited in vain for {what}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def read_block(b):
    """A stream record, as docs/usage.md lays it out."""
    (magic, version, kind, nch, hlen, n, stream, _, seq, first, rate,
     t0, seg_start, seg_frame, start_ns) = struct.unpack_from("<4sBBHIIIIQQdddQq", b)
    assert magic == b"QMSB" and version == 1
    at, channels = 80, []
    for _ in range(nch):
        kind_, flags, length = struct.unpack_from("<BBB", b, at)
        name = b[at + 3:at + 3 + length].decode()
        lo, hi, lowest, highest = struct.unpack_from("<ffff", b, at + 3 + length)
        at += 3 + length + 16
        channels.append((name, "f" if kind_ == 0 else "I", lo, hi))
    assert hlen % 8 == 0 and (at + 7) // 8 * 8 == hlen
    times = list(struct.unpack_from(f"<{n}d", b, hlen)) if rate < 0 else \
        [seg_start + (seg_frame + f) / rate for f in range(n)]
    at = hlen + (8 * n if rate < 0 else 0)
    row = "<" + "".join(t for _, t, _, _ in channels)
    rows = [struct.unpack_from(row, b, at + 4 * nch * f) for f in range(n)]
    assert len(b) == at + 4 * nch * n
    return dict(kind=kind, seq=seq, first=first, n=n, stream=stream, rate=rate,
                channels=channels, times=times, rows=rows)


class Client:
    def __init__(self, port):
        self.messages = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id=f"paho-{os.getpid()}", protocol=mqtt.MQTTv5)
        self.client.on_message = self.on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        self.replies = f"qelomsr/reply/paho-{os.getpid()}"
        self.client.subscribe([(f"qelomsr/{NODE}/#", 1), (self.replies, 1)])
        self.calls = 0

    def on_message(self, client, userdata, msg):
        with self.lock:
            self.messages.append(msg)

    def last(self, topic):
        with self.lock:
            found = [m for m in self.messages if m.topic == topic]
        return found[-1].payload if found else None

    def payloads(self, topic):
        with self.lock:
            return [m.payload for m in self.messages if m.topic == topic]

    def call(self, request):
        self.calls += 1
        correlation = f"paho-{self.calls}".encode()
        properties = Properties(PacketTypes.PUBLISH)
        properties.ResponseTopic = self.replies
        properties.CorrelationData = correlation
        self.client.publish(BASE + "call", json.dumps(request), qos=1, properties=properties)

        def answer():
            with self.lock:
                for m in self.messages:
                    if m.topic == self.replies and \
                            getattr(m.properties, "CorrelationData", None) == correlation:
                        return json.loads(m.payload)
            return None
        return wait_for(f"the answer to {request}", answer)


def main():
    work = tempfile.mkdtemp(dir=TMP, prefix="paho-")
    port = free_port()
    with open(os.path.join(work, "mosquitto.conf"), "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\n"
                f"user {pwd.getpwuid(os.geteuid()).pw_name}\n")
    bus = os.path.join(work, "bus.json")
    with open(bus, "w") as f:
        json.dump({"topology": [{"port": "1-3", "device": {
            "family": "ka", "portInputs": [90, 0, 0],
            "signals": [{"kind": "dc", "offset": 1.25}]}}]}, f)
    sock = os.path.join(work, "control")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(work, "mosquitto.conf")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    server = None
    try:
        def listening():
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", port)) == 0
        wait_for("the broker", listening)
        server = subprocess.Popen(
            [RUNNER, "--config", bus, "--manual-clock", "--control-socket", sock, "--",
             CLI, "serve", "--broker", f"mqtt://127.0.0.1:{port}", "--node", NODE,
             "--allow-control", "--interval", "0.2"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        c = Client(port)
        wait_for("online", lambda: c.last(f"qelomsr/{NODE}/status") == b"online")
        wait_for("the device open",
                 lambda: json.loads(c.last(BASE + "state") or "{}").get("open"))
        info = json.loads(wait_for("info", lambda: c.last(BASE + "info")))
        assert info["family"] == "Ka" and info["inputs"][0]["name"] == "AI-0", info
        value = json.loads(wait_for("a reading", lambda: c.last(BASE + "values/AI-0")))
        assert abs(value["value"] - 1.25) < 1e-3 and value["unit"] == "V", value

        # The mosquitto clients, as docs/usage.md shows them.
        rr = subprocess.run(["mosquitto_rr", "-p", str(port), "-t", BASE + "call", "-e",
                             "qelomsr/reply/rr", "-m",
                             '{"op": "write", "output": "AO-0", "volts": 2.5}', "-W", "30"],
                            capture_output=True, text=True, timeout=60)
        written = json.loads(rr.stdout)
        assert written["ok"] and written["requestedVolts"] == 2.5, rr.stdout + rr.stderr
        dac = [line for line in control(sock, "state 1-3").splitlines()
               if line.startswith("dac0Volts ")]
        assert abs(written["volts"] - float(dac[0].split()[1])) < 1e-5, (written, dac)
        sub = subprocess.run(["mosquitto_sub", "-p", str(port), "-t", f"qelomsr/+/status", "-v",
                              "-C", "1", "-W", "30"], capture_output=True, text=True, timeout=60)
        assert sub.stdout.strip() == f"qelomsr/{NODE}/status online", sub.stdout

        port_answer = c.call({"op": "port", "port": "DP-0"})
        assert port_answer["ok"] and port_answer["pins"] == 90, port_answer
        refused = c.call({"op": "write", "output": "AO-0", "volts": 99})
        assert not refused["ok"] and refused["class"] == 1, refused

        start = c.call({"op": "start", "channels": ["AI-0", "DP-0"], "rateHz": 100})
        assert start["ok"], start
        for _ in range(20):
            control(sock, "clock advance 100ms")
            time.sleep(0.02)
        wait_for("the device read out",
                 lambda: "inputBufferedBytes 0\n" in control(sock, "state 1-3"))
        stop = c.call({"op": "stop"})
        assert stop["ok"] and stop["frames"] == 200, stop

        def end_record():
            blocks = [read_block(p) for p in c.payloads(BASE + "stream")]
            return blocks if any(b["kind"] == 2 for b in blocks) else None
        blocks = wait_for("the end record", end_record)
        blocks = sorted({b["seq"]: b for b in blocks if b["stream"] == start["stream"]}.values(),
                        key=lambda b: b["seq"])
        assert [b["seq"] for b in blocks] == list(range(len(blocks))), "a record is missing"
        frame = 0
        for b in blocks[:-1]:
            assert b["kind"] == 0 and b["first"] == frame, b
            assert [ch[0] for ch in b["channels"]] == ["AI-0", "DP-0"]
            for t, (volts, pins) in zip(b["times"], b["rows"]):
                assert abs(volts - 1.25) < 1e-3 and pins == 90
                assert t == frame / 100.0, (t, frame)
                frame += 1
        assert blocks[-1]["kind"] == 2 and blocks[-1]["first"] == frame == 200
        print(f"paho: {len(blocks)} records, {frame} frames")
    finally:
        if server:
            server.terminate()
            try:
                _, err = server.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                server.kill()
                _, err = server.communicate()
            sys.stderr.write(err.decode(errors="replace"))
        broker.terminate()
        broker.wait(timeout=60)


if __name__ == "__main__":
    main()
