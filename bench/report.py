#!/usr/bin/python3
"""Turns the raw outputs of the benchmark programs into build/bench/results.json
(figures with baseline, target and whether the target is met) and prints a
short table.

Inputs (all in the results folder): micro.json and alloc.json, written by
Google Benchmark (--benchmark_out), stream.json, written by
qelomsr_bench_stream, python_stream.json, written by python_stream.py,
mqtt_serve.json, written by mqtt_serve.py, and recording.json, written by
qelomsr_bench_recording. A missing input leaves its
figures out and is reported.
"""

import json
import math
import os
import sys

# Demultiplexing must keep up with ten times the USB 2.0 high-speed bulk limit.
HS_BULK_BYTES_PER_S = 13 * 512 * 8000  # 53.248 MB/s
DEMUX_TARGET = 10 * HS_BULK_BYTES_PER_S
CALL_OVERHEAD_TARGET = 2.0
# A failing call records an error (exception, message, registry entry); it
# must stay cheap enough to poll: 10 us.
ERROR_PATH_TARGET_NS = 10000.0
STREAM_CEILING_TARGET = 0.95
STREAM_CPU_TARGET = 0.05
# A Python stream() consumer may spend at most 1.5 times the CPU per frame of
# the command line streaming the same channels at the same rate.
PYTHON_STREAM_CPU_RATIO_TARGET = 1.5
# `qelomsr serve` may spend at most twice the CPU per frame of a local
# `qelomsr stream` of the same channels.
MQTT_SERVE_CPU_RATIO_TARGET = 2.0
# A data file writer's memory stays flat over a long recording: less than one
# page (4 KiB) of growth per minute once HDF5's bounded caches have filled.
RECORDING_GROWTH_TARGET_KIB_PER_MIN = 4.0

MASKS = ["ka1", "ka4", "ka21", "mixed"]
ALLOC_CALLS = ["read_nonblocking", "read_frame", "write_frame", "read_analog_input",
               "read_register"]

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError) as e:
        print(f"note: {path}: {e}", file=sys.stderr)
        return None


def benchmarks_by_name(doc):
    """Median entries of a Google Benchmark output by their plain name (the
    entry itself when the run had no repetitions)."""
    out = {}
    if not doc:
        return out
    for b in doc.get("benchmarks", []):
        if b.get("error_occurred"):
            print(f"note: {b['name']}: {b.get('error_message', 'failed')}", file=sys.stderr)
            continue
        name = b.get("run_name", b["name"])
        kind = b.get("aggregate_name")
        if kind is None:
            out.setdefault(name, b)
        elif kind == "median":
            out[name] = b
    return out


def cpu_ns(b):
    return b["cpu_time"] * UNIT_NS[b.get("time_unit", "ns")]


class Figures:
    def __init__(self):
        self.items = []

    def add(self, name, value, unit, baseline=None, target=None, higher_is_better=True):
        # results.json stays strict JSON: a figure that came out infinite or
        # NaN is reported and left out.
        if not math.isfinite(value) or (baseline is not None and not math.isfinite(baseline)):
            print(f"note: {name}: not a finite value, left out", file=sys.stderr)
            return
        if target is None:
            met = True
        elif higher_is_better:
            met = value >= target
        else:
            met = value <= target
        self.items.append({"name": name, "value": value, "unit": unit, "baseline": baseline,
                           "target": target, "met": bool(met)})


def micro_figures(fig, micro):
    memcpy_best = None
    for mask in MASKS:
        replay = micro.get(f"BM_ReadNonBlockingReplay/{mask}")
        demux = micro.get(f"BM_ReadNonBlocking/{mask}")
        raw = micro.get(f"BM_EmulatorRead/{mask}")
        copy = micro.get(f"BM_Memcpy/{mask}")
        if not replay or not copy:
            continue
        nbytes = replay["frame_bytes_per_call"]
        samples = replay["samples_per_call"]
        t_replay = cpu_ns(replay)
        memcpy_rate = nbytes / cpu_ns(copy) * 1e9
        # The library's whole call (frame, status read, block read through the
        # protocol, zeroing, demultiplexing) on the emulator's recorded replies.
        fig.add(f"demux_bytes_per_s_{mask}", nbytes / t_replay * 1e9, "B/s", memcpy_rate,
                DEMUX_TARGET)
        fig.add(f"demux_samples_per_s_{mask}", samples / t_replay * 1e9, "samples/s")
        if demux and raw:
            t_call = cpu_ns(demux)
            t_raw = cpu_ns(raw)
            fig.add(f"read_nonblocking_live_ns_{mask}", t_call, "ns", t_raw)
            fig.add(f"emulator_read_ns_{mask}", t_raw, "ns")
            # Cross-check on the live emulator: the call minus what the emulator
            # and the transport need for the same status read and block read.
            # Left out when the difference drowns in the emulator's noise.
            if t_call - t_raw > 0.1 * t_call:
                fig.add(f"demux_subtracted_bytes_per_s_{mask}", nbytes / (t_call - t_raw) * 1e9,
                        "B/s", memcpy_rate)
        if memcpy_best is None or nbytes > memcpy_best[0]:
            memcpy_best = (nbytes, memcpy_rate)
    if memcpy_best:
        fig.add("memcpy_bytes_per_s", memcpy_best[1], "B/s", None, DEMUX_TARGET)

    call = micro.get("BM_GetDeviceParameter")
    base = micro.get("BM_LockLookupCopy")
    err = micro.get("BM_ErrorPath")
    if call and base:
        fig.add("call_overhead_ratio", cpu_ns(call) / cpu_ns(base), "x", 1.0,
                CALL_OVERHEAD_TARGET, higher_is_better=False)
        fig.add("call_ns", cpu_ns(call), "ns", cpu_ns(base))
    if err:
        fig.add("error_path_ns", cpu_ns(err), "ns", cpu_ns(call) if call else None,
                ERROR_PATH_TARGET_NS, higher_is_better=False)


def alloc_figures(fig, alloc):
    for call in ALLOC_CALLS:
        b = alloc.get(f"BM_Allocations/{call}")
        if not b:
            continue
        fig.add(f"allocations_per_call_{call}", b["allocs_per_call"], "allocations",
                b.get("cold_allocs"), 0.0, higher_is_better=False)
    extra = alloc.get("BM_Allocations/c_read_register")
    if extra:
        fig.add("allocations_per_call_c_read_register", extra["allocs_per_call"], "allocations",
                extra.get("cold_allocs"), 0.0, higher_is_better=False)
    # Allocates by design (error record); proves that the counter counts.
    err = alloc.get("BM_Allocations/error_path")
    if err:
        fig.add("allocations_per_call_error_path", err["allocs_per_call"], "allocations",
                err.get("cold_allocs"))


def stream_figures(fig, stream):
    for run in stream.get("runs", []):
        prefix = {"full-speed": "fs", "high-speed": "hs"}[run["bus"]]
        ceiling = run["ceiling_fps"]
        sustained = run["sustained_fps"]
        fig.add(f"{prefix}_stream_ceiling_fraction", sustained / ceiling, "fraction", 1.0,
                STREAM_CEILING_TARGET)
        fig.add(f"{prefix}_stream_sustained_fps", sustained, "frames/s", ceiling)
        fig.add(f"{prefix}_stream_ceiling_fps", ceiling, "frames/s")
        target = STREAM_CPU_TARGET if prefix == "fs" else None
        fig.add(f"{prefix}_stream_cpu_fraction", run["cpu_fraction"], "fraction", None, target,
                higher_is_better=False)
        # Without the CPU time spent inside the emulator's transfers.
        fig.add(f"{prefix}_stream_cpu_fraction_library", run["cpu_fraction_library"], "fraction",
                None, target, higher_is_better=False)


def python_figures(fig, doc):
    cli, python = doc.get("cli_cpu_s_per_frame"), doc.get("python_cpu_s_per_frame")
    if cli is None or python is None:
        return
    if cli > 0:
        fig.add("python_stream_cpu_ratio", python / cli, "x", 1.0,
                PYTHON_STREAM_CPU_RATIO_TARGET, higher_is_better=False)
    fig.add("python_stream_cpu_us_per_frame", python * 1e6, "us", cli * 1e6)


def sync_figures(fig, doc):
    single, sync = doc.get("single_max_hz"), doc.get("sync_max_hz")
    if not single or sync is None:
        return
    fig.add("sync_stream_rate_ratio", sync / single, "x", 1.0)
    fig.add("sync_stream_max_fps", sync, "frames/s", single)
    if doc.get("sync_cpu_us_per_frame") is not None:
        fig.add("sync_stream_cpu_us_per_frame", doc["sync_cpu_us_per_frame"], "us",
                doc.get("single_cpu_us_per_frame"), higher_is_better=False)


def mqtt_figures(fig, doc):
    served, local = doc.get("server_cpu_s_per_frame"), doc.get("local_stream_cpu_s_per_frame")
    if served is None or local is None:
        return
    if local > 0:
        fig.add("mqtt_serve_cpu_ratio", served / local, "x", 1.0, MQTT_SERVE_CPU_RATIO_TARGET,
                higher_is_better=False)
    fig.add("mqtt_serve_cpu_us_per_frame", served * 1e6, "us", local * 1e6)
    fig.add("mqtt_serve_frames_per_second", doc["frames_per_second"], "frames/s", doc["rate_hz"])
    fig.add("mqtt_serve_gaps", doc["gaps"], "gaps", None, 0, higher_is_better=False)
    for key in ("latency_ms_median", "latency_ms_p99", "first_frame_latency_ms_median",
                "first_frame_latency_ms_p99"):
        if doc.get(key) is not None:
            fig.add("mqtt_serve_" + key, doc[key], "ms", higher_is_better=False)
    fig.add("mqtt_serve_broker_messages_per_second", doc["broker_messages_per_second"], "msg/s")


def recording_figures(fig, doc):
    for writer in doc.get("writers", []):
        fig.add(f"recording_{writer['name']}_rss_growth", writer["rss_growth_kib_per_minute"],
                "KiB/min", None, RECORDING_GROWTH_TARGET_KIB_PER_MIN, higher_is_better=False)
        fig.add(f"recording_{writer['name']}_write_rate", writer["frames_per_second"], "frames/s")


def human(value, unit):
    if unit in ("B/s", "samples/s", "frames/s"):
        for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
            if abs(value) >= scale:
                return f"{value / scale:.3g} {prefix}{unit}"
        return f"{value:.3g} {unit}"
    if unit == "fraction":
        return f"{value * 100:.1f} %"
    return f"{value:.4g} {unit}"


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "bench")
    fig = Figures()
    micro = benchmarks_by_name(load(os.path.join(folder, "micro.json")))
    alloc = benchmarks_by_name(load(os.path.join(folder, "alloc.json")))
    stream = load(os.path.join(folder, "stream.json")) or {}
    python_stream = load(os.path.join(folder, "python_stream.json")) or {}
    recording = load(os.path.join(folder, "recording.json")) or {}
    sync_stream = load(os.path.join(folder, "sync_stream.json")) or {}
    mqtt_serve = load(os.path.join(folder, "mqtt_serve.json")) or {}
    micro_figures(fig, micro)
    alloc_figures(fig, alloc)
    stream_figures(fig, stream)
    python_figures(fig, python_stream)
    recording_figures(fig, recording)
    sync_figures(fig, sync_stream)
    mqtt_figures(fig, mqtt_serve)
    conditions = {k: stream[k] for k in ("load_average_1min",) if k in stream}
    for run in stream.get("runs", []):
        conditions[f"scheduling_{run['bus']}"] = run.get("scheduling", "unknown")
        # False: no long trial held; the figure is the best short trial's.
        conditions[f"confirmed_{run['bus']}"] = run.get("sustained_confirmed", True)

    out = os.path.join(folder, "results.json")
    with open(out, "w") as f:
        json.dump({"figures": fig.items}, f, indent=2)
        f.write("\n")
    # Beside the figures, not inside: results.json keeps its one key.
    with open(os.path.join(folder, "conditions.json"), "w") as f:
        json.dump(conditions, f, indent=2)
        f.write("\n")

    print(f"{'figure':44} {'value':>16} {'baseline':>16} {'target':>14}  met")
    for item in fig.items:
        base = "" if item["baseline"] is None else human(item["baseline"], item["unit"])
        target = "" if item["target"] is None else human(item["target"], item["unit"])
        met = "" if item["target"] is None else ("yes" if item["met"] else "NO")
        print(f"{item['name']:44} {human(item['value'], item['unit']):>16} {base:>16} "
              f"{target:>14}  {met}")
    if conditions:
        print("streaming conditions: " + ", ".join(f"{k} {v}" for k, v in conditions.items()))
    print(f"written: {out}")
    missed = [i["name"] for i in fig.items if not i["met"]]
    if missed:
        print("targets missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
