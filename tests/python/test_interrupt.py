"""Ctrl-C lands in every waiting call. A child process (under the same
runner, so it sees the same bus) waits for frames that never come: the Ka's
acquisition waits for a trigger edge nobody sends. A thread of the child
reports once the main thread is inside the waiting call; then the test sends
SIGINT. Nothing here depends on the speed of the machine."""

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

def report_when_waiting(main):
    # Reports once the main thread runs the waiting call itself (not a call
    # it makes to set up), twice in a row: it sleeps between polls there.
    seen = 0
    while seen < 2:
        frame = sys._current_frames().get(main)
        seen = seen + 1 if frame is not None and frame.f_code.co_name == WAITING_IN else 0
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
    else:
        for block in dev.stream(["AI-0"], rate=1000, trigger="start", timeout=math.inf):
            pass
except KeyboardInterrupt:
    if WAITING_IN == "read_blocking":
        dev.stop_data_acquisition()
    # The stream stopped its acquisition on the way out: the device is free.
    dev.setup_input_frame(["AI-1"])
    print("interrupted, device free", flush=True)
    raise
"""


@pytest.mark.parametrize("waiting_in", ["read_blocking", "_run"])
def test_ctrl_c_lands_in_a_wait_for_frames(devices, waiting_in):
    if KA not in devices:
        pytest.skip("no Ka")
    child = subprocess.Popen([sys.executable, "-c", CHILD % {"ident": KA}, waiting_in],
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
    # Generous: a wait that does not yield would never end at all here.
    assert elapsed < 30, elapsed
