"""The control channel of the virtual USB bus runner (QELOMSR_VBUS_CONTROL):
one command per line, answered by lines ending in `ok` or `error <text>`."""

import os
import socket


class ControlError(RuntimeError):
    pass


def available():
    return bool(os.environ.get("QELOMSR_VBUS_CONTROL"))


def control(line, timeout=30.0):
    """Sends one command; returns the lines before `ok`, raises ControlError
    with the text of an `error` answer."""
    path = os.environ["QELOMSR_VBUS_CONTROL"]
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(line.encode() + b"\n")
        reply = b""
        while True:
            lines = reply.decode(errors="replace").splitlines()
            if reply.endswith(b"\n") and lines and (lines[-1] == "ok" or
                                                    lines[-1].startswith("error ")):
                break
            chunk = s.recv(4096)
            if not chunk:
                raise ControlError("the runner closed the connection: %r" % reply)
            reply += chunk
    if lines[-1] != "ok":
        raise ControlError(lines[-1][len("error "):])
    return lines[:-1]
