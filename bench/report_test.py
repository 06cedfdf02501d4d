#!/usr/bin/python3
"""The report's arithmetic on hand-made benchmark outputs: figure values from
medians and time units, the direction of every target, figures left out when
their inputs are missing."""

import contextlib
import io
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402


def bench(name, cpu, unit="ns", aggregate=None, **counters):
    entry = {"name": name if aggregate is None else f"{name}_{aggregate}", "run_name": name,
             "cpu_time": cpu, "real_time": cpu, "time_unit": unit}
    if aggregate is not None:
        entry["aggregate_name"] = aggregate
    entry.update(counters)
    return entry


def run_report(files):
    with tempfile.TemporaryDirectory() as folder:
        for name, doc in files.items():
            with open(os.path.join(folder, name), "w") as f:
                json.dump(doc, f)
        argv = sys.argv
        sys.argv = ["report.py", folder]
        try:
            with contextlib.redirect_stdout(io.StringIO()), \
                    contextlib.redirect_stderr(io.StringIO()):
                report.main()
        finally:
            sys.argv = argv
        with open(os.path.join(folder, "results.json")) as f:
            doc = json.load(f)
    return {item["name"]: item for item in doc["figures"]}


class ReportTest(unittest.TestCase):
    def test_demux_from_the_median_and_its_time_unit(self):
        micro = {"benchmarks": [
            # 4096 bytes in 4 us (median) = 1.024 GB/s; the mean must be ignored.
            bench("BM_ReadNonBlockingReplay/ka1", 4.0, "us", "median",
                  frame_bytes_per_call=4096, samples_per_call=2048),
            bench("BM_ReadNonBlockingReplay/ka1", 400.0, "us", "mean",
                  frame_bytes_per_call=4096, samples_per_call=2048),
            bench("BM_Memcpy/ka1", 40.0, "ns", "median", frame_bytes_per_call=4096),
            # 4074 bytes in 10 us: 407 MB/s, below the target.
            bench("BM_ReadNonBlockingReplay/ka21", 10000.0, frame_bytes_per_call=4074,
                  samples_per_call=2037),
            bench("BM_Memcpy/ka21", 40.0, frame_bytes_per_call=4074),
        ]}
        fig = run_report({"micro.json": micro})
        ka1 = fig["demux_bytes_per_s_ka1"]
        self.assertAlmostEqual(ka1["value"], 4096 / 4e-6, delta=1.0)
        self.assertAlmostEqual(ka1["baseline"], 4096 / 40e-9, delta=1e3)
        self.assertEqual(ka1["target"], 532480000)
        self.assertTrue(ka1["met"])
        self.assertAlmostEqual(fig["demux_samples_per_s_ka1"]["value"], 2048 / 4e-6, delta=1.0)
        self.assertFalse(fig["demux_bytes_per_s_ka21"]["met"])
        # memcpy is reported for the largest call.
        self.assertAlmostEqual(fig["memcpy_bytes_per_s"]["value"], 4096 / 40e-9, delta=1e3)
        self.assertNotIn("demux_bytes_per_s_ka4", fig)

    def test_subtracted_cross_check_only_when_measurable(self):
        micro = {"benchmarks": [
            bench("BM_ReadNonBlockingReplay/ka4", 8000.0, frame_bytes_per_call=4096,
                  samples_per_call=2048),
            bench("BM_Memcpy/ka4", 40.0, frame_bytes_per_call=4096),
            bench("BM_ReadNonBlocking/ka4", 50000.0),
            bench("BM_EmulatorRead/ka4", 49000.0),
        ]}
        fig = run_report({"micro.json": micro})
        self.assertNotIn("demux_subtracted_bytes_per_s_ka4", fig)
        self.assertEqual(fig["emulator_read_ns_ka4"]["value"], 49000.0)
        micro["benchmarks"][3] = bench("BM_EmulatorRead/ka4", 42000.0)
        fig = run_report({"micro.json": micro})
        self.assertAlmostEqual(fig["demux_subtracted_bytes_per_s_ka4"]["value"], 4096 / 8e-6,
                               delta=1.0)

    def test_costs_are_met_at_or_below_their_target(self):
        micro = {"benchmarks": [
            bench("BM_GetDeviceParameter", 40.0),
            bench("BM_LockLookupCopy", 20.0),
            bench("BM_ErrorPath", 12.0, "us"),
        ]}
        alloc = {"benchmarks": [
            bench("BM_Allocations/read_frame", 1.0, allocs_per_call=0, cold_allocs=3),
            bench("BM_Allocations/write_frame", 1.0, allocs_per_call=0.5, cold_allocs=1),
        ]}
        fig = run_report({"micro.json": micro, "alloc.json": alloc})
        self.assertEqual(fig["call_overhead_ratio"]["value"], 2.0)
        self.assertTrue(fig["call_overhead_ratio"]["met"])
        self.assertEqual(fig["error_path_ns"]["value"], 12000.0)
        self.assertFalse(fig["error_path_ns"]["met"])
        self.assertTrue(fig["allocations_per_call_read_frame"]["met"])
        self.assertEqual(fig["allocations_per_call_read_frame"]["baseline"], 3)
        self.assertFalse(fig["allocations_per_call_write_frame"]["met"])

    def test_streaming_fractions(self):
        stream = {"runs": [
            {"bus": "full-speed", "ceiling_fps": 1000.0, "sustained_fps": 960.0,
             "cpu_fraction": 0.06, "cpu_fraction_library": 0.01, "scheduling": "normal"},
            {"bus": "high-speed", "ceiling_fps": 1000.0, "sustained_fps": 500.0,
             "cpu_fraction": 0.9, "cpu_fraction_library": 0.2},
        ], "load_average_1min": 0.5}
        fig = run_report({"stream.json": stream})
        self.assertAlmostEqual(fig["fs_stream_ceiling_fraction"]["value"], 0.96)
        self.assertTrue(fig["fs_stream_ceiling_fraction"]["met"])
        self.assertFalse(fig["fs_stream_cpu_fraction"]["met"])
        self.assertTrue(fig["fs_stream_cpu_fraction_library"]["met"])
        self.assertFalse(fig["hs_stream_ceiling_fraction"]["met"])
        # No CPU target at high speed.
        self.assertIsNone(fig["hs_stream_cpu_fraction"]["target"])
        self.assertTrue(fig["hs_stream_cpu_fraction"]["met"])

    def test_python_stream_ratio_is_a_cost_against_the_command_line(self):
        doc = {"cli_cpu_s_per_frame": 4e-6, "python_cpu_s_per_frame": 5e-6}
        fig = run_report({"python_stream.json": doc})
        ratio = fig["python_stream_cpu_ratio"]
        self.assertAlmostEqual(ratio["value"], 1.25)
        self.assertEqual((ratio["baseline"], ratio["target"]), (1.0, 1.5))
        self.assertTrue(ratio["met"])
        self.assertAlmostEqual(fig["python_stream_cpu_us_per_frame"]["value"], 5.0)
        self.assertAlmostEqual(fig["python_stream_cpu_us_per_frame"]["baseline"], 4.0)
        doc["python_cpu_s_per_frame"] = 8e-6
        self.assertFalse(run_report({"python_stream.json": doc})["python_stream_cpu_ratio"]["met"])

    def test_sync_rate_is_a_ratio_to_the_single_device(self):
        doc = {"single_max_hz": 100000, "sync_max_hz": 96000, "sync_cpu_us_per_frame": 150.0,
               "single_cpu_us_per_frame": 50.0}
        fig = run_report({"sync_stream.json": doc})
        self.assertAlmostEqual(fig["sync_stream_rate_ratio"]["value"], 0.96)
        self.assertEqual(fig["sync_stream_max_fps"]["baseline"], 100000)
        self.assertEqual(fig["sync_stream_cpu_us_per_frame"]["baseline"], 50.0)
        self.assertNotIn("sync_stream_rate_ratio", run_report({"sync_stream.json": {}}))

    def test_served_stream_cpu_is_held_against_a_local_stream_and_gaps_fail(self):
        doc = {"server_cpu_s_per_frame": 6e-6, "local_stream_cpu_s_per_frame": 4e-6,
               "frames_per_second": 9800.0, "rate_hz": 10000.0, "gaps": 0,
               "latency_ms_median": 3.0, "latency_ms_p99": 9.0,
               "broker_messages_per_second": 10.0}
        fig = run_report({"mqtt_serve.json": doc})
        self.assertAlmostEqual(fig["mqtt_serve_cpu_ratio"]["value"], 1.5)
        self.assertEqual(fig["mqtt_serve_cpu_ratio"]["target"], 2.0)
        self.assertTrue(fig["mqtt_serve_cpu_ratio"]["met"])
        self.assertTrue(fig["mqtt_serve_gaps"]["met"])
        self.assertEqual(fig["mqtt_serve_frames_per_second"]["baseline"], 10000.0)
        doc.update(server_cpu_s_per_frame=9e-6, gaps=2)
        fig = run_report({"mqtt_serve.json": doc})
        self.assertFalse(fig["mqtt_serve_cpu_ratio"]["met"])
        self.assertFalse(fig["mqtt_serve_gaps"]["met"])

    def test_recording_memory_growth_is_a_cost_per_writer(self):
        doc = {"writers": [
            {"name": "csv", "rss_growth_kib_per_minute": 0.0, "frames_per_second": 1.5e6},
            {"name": "hdf5", "rss_growth_kib_per_minute": 18.4, "frames_per_second": 5e6}]}
        fig = run_report({"recording.json": doc})
        self.assertTrue(fig["recording_csv_rss_growth"]["met"])
        self.assertFalse(fig["recording_hdf5_rss_growth"]["met"])
        self.assertEqual(fig["recording_hdf5_rss_growth"]["unit"], "KiB/min")
        self.assertAlmostEqual(fig["recording_hdf5_write_rate"]["value"], 5e6)

    def test_missing_and_failed_inputs_leave_figures_out(self):
        micro = {"benchmarks": [
            {"name": "BM_GetDeviceParameter", "run_name": "BM_GetDeviceParameter",
             "error_occurred": True, "error_message": "boom"},
            bench("BM_LockLookupCopy", 20.0),
        ]}
        fig = run_report({"micro.json": micro})
        self.assertNotIn("call_overhead_ratio", fig)
        self.assertEqual(run_report({}), {})


if __name__ == "__main__":
    unittest.main()
