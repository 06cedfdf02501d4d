#!/usr/bin/python3
"""CPU per frame of a Python stream() consumer beside the command line's
`qelomsr stream`: the same device, channels, rate and frame count on the same
bus. Runs under the virtual USB bus runner; each consumer is a child process
(so both pay for the USB transfers they make), and its CPU time comes from
the kernel (RUSAGE_CHILDREN). A run of one frame is subtracted from each, so
that process start, library loading, enumeration and opening do not count:
what remains is the streaming itself.

    build/sim/qelomsr-vbus -- /usr/bin/python3 bench/python_stream.py \\
        --cli build/tools/qelomsr --out build/bench/python_stream.json

Writes {"rate_hz", "channels", "frames", "cli_cpu_s_per_frame",
"python_cpu_s_per_frame", "ratio", "runs": [...]} (medians of --repeat runs).
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CONSUMER = r"""
import sys
sys.path.insert(0, %(python_dir)r)
import qelomsr
device, channels = sys.argv[1], sys.argv[2].split(",")
rate, frames = float(sys.argv[3]), int(sys.argv[4])
got = 0
with qelomsr.Device(device) as dev:
    for block in dev.stream(channels, rate=rate, frames=frames):
        got += len(block)
print(got)
"""


def child_cpu(command):
    """CPU seconds (user + system) of one child process run to its end."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if out.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (command[0], out.returncode, out.stderr))
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), out.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True, help="the qelomsr command-line tool")
    parser.add_argument("--out", required=True, help="JSON file to write")
    parser.add_argument("--device", default="USB:1-0-3")
    parser.add_argument("--channels", default="AI-0,AI-1,AI-2,AI-3")
    parser.add_argument("--rate", type=float, default=5000.0)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if not os.environ.get("QELOMSR_VBUS_CONTROL"):
        sys.exit("python_stream.py runs under the virtual USB bus runner (qelomsr-vbus)")

    frames = int(round(args.rate * args.seconds))
    consumer = CONSUMER % {"python_dir": os.path.join(HERE, "..", "python")}

    def cli(n):
        return [args.cli, "stream", args.device, "--channels", args.channels, "--rate",
                "%g" % args.rate, "--frames", str(n), "--out", os.devnull, "-q"]

    def python(n):
        return [sys.executable, "-c", consumer, args.device, args.channels, "%g" % args.rate,
                str(n)]

    runs = []
    for _ in range(args.repeat):
        run = {}
        for name, command in (("cli", cli), ("python", python)):
            base, _ = child_cpu(command(1))
            full, out = child_cpu(command(frames))
            if name == "python" and int(out.strip() or 0) != frames:
                raise RuntimeError("the Python consumer got %r frames, not %d" % (out, frames))
            run[name] = max(full - base, 0.0) / frames
        runs.append(run)
        print("cli %.3g us/frame, python %.3g us/frame" % (run["cli"] * 1e6,
                                                          run["python"] * 1e6), file=sys.stderr)
    cli_s = statistics.median(r["cli"] for r in runs)
    python_s = statistics.median(r["python"] for r in runs)
    doc = {
        "rate_hz": args.rate,
        "channels": args.channels.split(","),
        "frames": frames,
        "cli_cpu_s_per_frame": cli_s,
        "python_cpu_s_per_frame": python_s,
        "ratio": python_s / cli_s if cli_s > 0 else float("inf"),
        "runs": runs,
    }
    with open(args.out, "w") as f:
        json.dump(doc, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
