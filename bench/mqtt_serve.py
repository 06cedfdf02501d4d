#!/usr/bin/python3
"""`qelomsr serve` on a Mosquitto broker: frames per second through the
broker for one server, the server's CPU per frame beside a local `qelomsr
stream` of the same channels, the latency from a frame's sample time to its
arrival at a subscriber (median, 99th percentile), and the broker's message
rate for that stream. Runs under the virtual USB bus runner on the real
clock, with a broker of its own on a free loopback port.

    build/sim/qelomsr-vbus -- /usr/bin/python3 bench/mqtt_serve.py \\
        --cli build/tools/qelomsr --out build/bench/mqtt_serve.json

The server's CPU is read from /proc between the start call and the stream's
end record (start-up and enumeration do not count); the local stream's as
in python_stream.py (a run of one frame subtracted). The full scale run (four
servers of three devices at 10 kHz for 60 s into one logger) is the suite's
ServeScale test with QELOMSR_SCALE_SECONDS=60.
"""

import argparse
import json
import os
import pwd
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "python"))
from python_stream import child_cpu  # noqa: E402

from qelomsr import remote  # noqa: E402


def process_cpu_s(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for(what, condition, limit_s=60):
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.02)
    raise RuntimeError("waited in vain for " + what)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True, help="the qelomsr command-line tool")
    parser.add_argument("--out", required=True, help="JSON file to write")
    parser.add_argument("--device", default="USB:1-0-3")
    parser.add_argument("--channels", default="AI-0,AI-1,AI-2,AI-3")
    parser.add_argument("--rate", type=float, default=10000.0)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    if not os.environ.get("QELOMSR_VBUS_CONTROL"):
        sys.exit("mqtt_serve.py runs under the virtual USB bus runner (qelomsr-vbus)")
    frames = int(round(args.rate * args.seconds))
    work = os.path.dirname(os.path.abspath(args.out))

    # The local stream of the same channels, for comparison.
    def cli(n):
        return [args.cli, "stream", args.device, "--channels", args.channels, "--rate",
                "%g" % args.rate, "--frames", str(n), "--out", os.devnull, "-q"]
    base, _ = child_cpu(cli(1))
    full, _ = child_cpu(cli(frames))
    local_s = max(full - base, 0.0) / frames

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    conf = os.path.join(work, "mqtt_serve_mosquitto.conf")
    with open(conf, "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\nuser %s\n"
                "max_queued_messages 100000\n" % (port, pwd.getpwuid(os.geteuid()).pw_name))
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, env=env)
    server = subprocess.Popen([args.cli, "serve", "--broker", "mqtt://127.0.0.1:%d" % port,
                               "--node", "bench", "--device", args.device, "--allow-control",
                               "--interval", "3600"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        url = "mqtt://127.0.0.1:%d" % port
        wait_for("the broker", lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0)
        with remote.connect(url) as b:
            wait_for("the served device", lambda: b.devices("bench"))
            dev = b.device("bench/" + args.device)
            topic = "qelomsr/bench/devices/%s/stream" % dev.identifier
            arrivals = []  # (arrival ns, payload)
            lock = threading.Lock()
            original = b._on_message

            def on_message(client, userdata, msg):
                if msg.topic == topic:
                    with lock:
                        arrivals.append((time.time_ns(), msg.payload))
                original(client, userdata, msg)
            b._client.on_message = on_message
            cpu0 = process_cpu_s(server.pid)
            t0 = time.monotonic()
            acq = dev.acquire(args.channels.split(","), rate=args.rate, frames=frames,
                              timeout=30)
            wall = time.monotonic() - t0
            cpu = process_cpu_s(server.pid) - cpu0
    finally:
        for p in (server, broker):
            p.terminate()
            p.wait(30)
    latencies, first_latencies, records = [], [], 0
    for arrived, payload in arrivals:
        r = remote.parse_record(payload)
        records += 1
        if r["kind"] == remote.FRAMES and r["n"]:
            sampled = r["start_ns"] + r["times"][-1] * 1e9
            latencies.append((arrived - sampled) / 1e6)
            first_latencies.append((arrived - r["start_ns"] - r["times"][0] * 1e9) / 1e6)
    latencies.sort()
    first_latencies.sort()
    doc = {
        "rate_hz": args.rate,
        "channels": args.channels.split(","),
        "frames": frames,
        "frames_received": len(acq),
        "gaps": len(acq.gaps),
        "frames_per_second": len(acq) / wall,
        "server_cpu_s_per_frame": cpu / frames,
        "local_stream_cpu_s_per_frame": local_s,
        "cpu_ratio": (cpu / frames) / local_s if local_s > 0 else float("inf"),
        "latency_ms_median": statistics.median(latencies) if latencies else None,
        "latency_ms_p99": latencies[int(0.99 * (len(latencies) - 1))] if latencies else None,
        # The first frame of a record waits for the rest of its block (about 0.1 s).
        "first_frame_latency_ms_median": statistics.median(first_latencies)
        if first_latencies else None,
        "first_frame_latency_ms_p99": first_latencies[int(0.99 * (len(first_latencies) - 1))]
        if first_latencies else None,
        "broker_messages_per_second": records / wall,
        "bytes_per_record": statistics.mean(len(p) for _, p in arrivals) if arrivals else None,
    }
    print(json.dumps(doc, indent=2), file=sys.stderr)
    with open(args.out, "w") as f:
        json.dump(doc, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
