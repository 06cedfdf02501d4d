"""Ctrl-C lands in every waiting call. A child process (under the same
runner, so it sees the same bus) waits for frames that never come: the Ka's
acquisition waits for a trigger edge nobody sends. A thread of the child
reports once the main thread is inside the waiting call; then the test sends
SIGINT. An acquire() interrupted while frames come hands back what it
collected. Nothing here depends on the speed of the machine."""

import os
import signal
import subprocess
import sys
import time

import pytest

import qelomsr
from conftest import KA

CHILD = r"""
import math, sys, threading, time, traceback
import qelomsr

WAITING_IN = sys.argv[1]
ACQUIRE = sys.argv[2] == "acquire"

def report_when_waiting(main):
    # Reports once the main thread runs the waiting call itself (not a call
    # it makes to set up), twice in a row: it sleeps between polls there;
    # in acquire(), once it has collected 50 frames.
    seen = 0
    while seen < 2:
        frame = sys._current_frames().get(main)
        inside = frame is not None and frame.f_code.co_name == WAITING_IN
        if inside and WAITING_IN == "_run" and ACQUIRE:
            inside = frame.f_locals.get("delivered", 0) >= 50
        seen = seen + 1 if inside else 0
        time.sleep(0.01)
    print("waiting", flush=True)

threading.Thread(target=report_when_waiting, args=(threading.get_ident(),),
                 daemon=True).start()
dev = qelomsr.Device(%(ident)r)
try:
    if WAITING_IN == "read_blocking":
        dev.setup_input_frame(["AI-0"])
        dev.start_data_acquisition(1000, external=True)
        dev.read_blocking(8000, timeout=math.inf)
    elif ACQUIRE:
        dev.set_counter_enable(True)
        dev.acquire(["CNT"], rate=500, frames=10 ** 7)
    else:
        for block in dev.stream(["AI-0"], rate=1000, trigger="start", timeout=math.inf):
            pass
except KeyboardInterrupt as e:
    if WAITING_IN == "read_blocking":
        dev.stop_data_acquisition()
    if ACQUIRE:
        steps = set(int(x) for x in (e.acquisition["CNT"][1:] - e.acquisition["CNT"][:-1]))
        print("handed back", len(e.acquisition) >= 50, steps, flush=True)
    # The stream stopped its acquisition on the way out: the device is free.
    dev.setup_input_frame(["AI-1"])
    print("interrupted, device free", flush=True)
    raise
"""


@pytest.mark.parametrize("waiting_in,call", [("read_blocking", "read_blocking"),
                                             ("_run", "stream"), ("_run", "acquire")])
def test_ctrl_c_lands_in_a_wait_for_frames(devices, waiting_in, call):
    if KA not in devices:
        pytest.skip("no Ka")
    child = subprocess.Popen([sys.executable, "-c", CHILD % {"ident": KA}, waiting_in, call],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             cwd=os.path.dirname(qelomsr.__path__[0]))
    try:
        line = child.stdout.readline()  # bounded by the child's own progress
        assert line.strip() == "waiting", (line, child.stderr.read() if child.poll() else "")
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
        elapsed = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == -signal.SIGINT, (child.returncode, out, err)
    assert "KeyboardInterrupt" in err and "interrupted, device free" in out, (out, err)
    if call == "acquire":
        # Every frame collected before Ctrl-C, none lost among them (the
        # counter counts 1000 events a second: 2 per frame at 500 Hz).
        assert "handed back True {2}" in out, out
    # Generous: a wait that does not yield would never end at all here.
    assert elapsed < 30, elapsed
