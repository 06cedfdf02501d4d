#!/usr/bin/python3
"""The highest rate three emulated devices sustain in a synchronised stream
(`qelomsr stream --sync`, frame mode: the Ka paces the Vel and the Rix through
its trigger line), against the highest rate the Ka alone sustains on the same
bus, and the host CPU per synchronised frame. Runs under the virtual USB bus
runner with the devices wired (sim/examples/wired.json):

    build/sim/qelomsr-vbus --config sim/examples/wired.json -- /usr/bin/python3 \\
        bench/sync_stream.py --cli build/tools/qelomsr --out build/bench/sync_stream.json

A rate is sustained when a stream of --seconds at it ends without an error (an
overrun or an early trigger fails it). Rates are searched by doubling from
--rate, then halving the interval to --resolution. CPU per frame: a child's
CPU time (RUSAGE_CHILDREN) for --cpu-seconds at --cpu-rate, less that of a
one-frame run (start, enumeration, opening), over the frames.

Writes {"single_max_hz", "sync_max_hz", "ratio", "sync_cpu_us_per_frame",
"single_cpu_us_per_frame", "cpu_rate_hz", "trials": [...]}.
"""

import argparse
import json
import resource
import subprocess

SINGLE = ["stream", "ka", "--channels", "AI-0"]
SYNC = ["stream", "--sync", "ka,vel,rix", "--channels", "ka:AI-0,vel:AI-0,rix:AI-0"]


def run(cli, command, rate, seconds=None, frames=None):
    """(sustained, CPU seconds) of one stream to /dev/null."""
    args = [cli] + command + ["--rate", "%g" % rate, "--out", "/dev/null", "-q"]
    args += ["--frames", str(frames)] if frames else ["--seconds", "%g" % seconds]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    errors = [line for line in out.stderr.splitlines() if "error" in line]
    return out.returncode == 0, cpu, errors[-1:] or [""]


def highest(cli, command, first, seconds, resolution, trials, name):
    lo, hi = 0.0, None
    rate = first
    while hi is None and rate <= 1e6:
        ok, _, why = run(cli, command, rate, seconds)
        trials.append({"stream": name, "rate_hz": rate, "sustained": ok, "said": why[0]})
        if ok:
            lo, rate = rate, rate * 2
        else:
            hi = rate
    if hi is None:
        return lo
    while lo > 0 and hi - lo > resolution * lo:
        mid = round(0.5 * (lo + hi))
        ok, _, why = run(cli, command, mid, seconds)
        trials.append({"stream": name, "rate_hz": mid, "sustained": ok, "said": why[0]})
        lo, hi = (mid, hi) if ok else (lo, mid)
    return lo


def cpu_per_frame(cli, command, rate, seconds):
    frames = int(rate * seconds)
    _, base, _ = run(cli, command, rate, frames=1)
    ok, cpu, why = run(cli, command, rate, frames=frames)
    if not ok:
        raise RuntimeError("the CPU run at %g Hz failed: %s" % (rate, why[0]))
    return max(0.0, cpu - base) / frames


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--rate", type=float, default=2000.0, help="first rate tried")
    parser.add_argument("--seconds", type=float, default=2.0, help="seconds per trial")
    parser.add_argument("--resolution", type=float, default=0.05)
    parser.add_argument("--cpu-rate", type=float, default=1000.0)
    parser.add_argument("--cpu-seconds", type=float, default=5.0)
    args = parser.parse_args()
    trials = []
    single = highest(args.cli, SINGLE, args.rate, args.seconds, args.resolution, trials, "single")
    sync = highest(args.cli, SYNC, args.rate, args.seconds, args.resolution, trials, "sync")
    doc = {
        "single_max_hz": single,
        "sync_max_hz": sync,
        "ratio": sync / single if single else None,
        "cpu_rate_hz": args.cpu_rate,
        "sync_cpu_us_per_frame": 1e6 * cpu_per_frame(args.cli, SYNC, args.cpu_rate,
                                                      args.cpu_seconds),
        "single_cpu_us_per_frame": 1e6 * cpu_per_frame(args.cli, SINGLE, args.cpu_rate,
                                                        args.cpu_seconds),
        "trials": trials,
    }
    with open(args.out, "w") as f:
        json.dump(doc, f, indent=2)
        f.write("\n")
    print(json.dumps({k: v for k, v in doc.items() if k != "trials"}))


if __name__ == "__main__":
    main()
