"""Devices served by `qelomsr serve` on an MQTT broker (docs/usage.md,
"Serving devices over MQTT")::

    from qelomsr import remote
    with remote.connect("mqtt://broker.lab") as broker:
        print(broker.nodes())                  # {"stand1": "online", ...}
        dev = broker.device("stand1/ka")       # NODE/ID: identifier, serial or family
        print(dev.read_analog_input("AI-0"))
        acq = dev.acquire(["AI-0", "DP-0"], rate=1000, frames=5000)
    acq.to_hdf5("run.h5")

A remote device offers the methods of a local Device for single values
(read_analog_input, write_analog_output, read_digital_port, ...) and
stream()/acquire() with the same Acquisition. The server keeps the device
open, so what one client sets stays set. A record of the stream that did not
arrive (a missing sequence number) is a marked gap, as is a device overrun;
frames are never joined across a loss. Needs paho-mqtt (Debian
python3-paho-mqtt).
"""

import json
import math
import os
import socket
import struct
import threading
import time
import urllib.parse

from . import errors
from .acquisition import Acquisition, start_time_text

try:
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without python3-numpy
    np = None

ROOT = "qelomsr"
ANSWER_TIMEOUT_S = 15.0
RETAINED_TIMEOUT_S = 5.0

_FIXED = struct.Struct("<4sBBHIIIIQQdddQq")  # the 80 bytes of a record's header
FRAMES, GAP, END = 0, 1, 2


def parse_record(payload):
    """A stream record as a dict (kind, stream, seq, first, n, rate, channels,
    times, rows); ValueError for anything that is not one."""
    try:
        return _parse_record(bytes(payload))
    except (struct.error, UnicodeDecodeError) as e:
        raise ValueError("not a stream record: %s" % e) from None


def _parse_record(b):
    if len(b) < _FIXED.size:
        raise ValueError("a stream record has at least 80 bytes")
    (magic, version, kind, nch, hlen, n, stream, _, seq, first, rate, t0, seg_start, seg_frame,
     start_ns) = _FIXED.unpack_from(b)
    if magic != b"QMSB" or version != 1 or kind > END or hlen > len(b):
        raise ValueError("not a stream record of version 1")
    at, channels = 80, []
    for _ in range(nch):
        kind_, flags, length = struct.unpack_from("<BBB", b, at)
        name = b[at + 3:at + 3 + length].decode()
        lo, hi, lowest, highest = struct.unpack_from("<ffff", b, at + 3 + length)
        at += 3 + length + 16
        channels.append(dict(name=name, raw=kind_ == 1, uncalibrated=bool(flags & 1),
                             range=None if kind_ == 1 else (lo, hi), lowest=lowest,
                             highest=highest))
    timed = rate > 0
    at = hlen + (0 if timed or kind != FRAMES else 8 * n)
    if kind == FRAMES and len(b) != at + 4 * nch * n:
        raise ValueError("the record's length does not match its frames")
    if kind != FRAMES:
        times, rows = [], []
    else:
        times = [seg_start + (seg_frame + f) / rate for f in range(n)] if timed else \
            list(struct.unpack_from("<%dd" % n, b, hlen))
        row = struct.Struct("<" + "".join("I" if c["raw"] else "f" for c in channels))
        rows = [row.unpack_from(b, at + row.size * f) for f in range(n)]
    return dict(kind=kind, stream=stream, seq=seq, first=first, n=n, rate=rate,
                channels=channels, times=times, rows=rows, start_ns=start_ns)


class _Assembler:
    """The records of one stream in order of their sequence numbers: frames
    appended, a device overrun or a record that never came marked as a gap at
    the row where frames are missing."""

    def __init__(self):
        self.rows, self.times, self.gaps = [], [], []
        self.channels, self.rate, self.start_ns = None, None, None
        self.next_seq, self.next_frame, self.ended, self.lost_records = 0, 0, False, 0

    def add(self, record):
        if record["seq"] < self.next_seq or self.ended:
            return  # a duplicate (QoS 1 may deliver twice)
        if record["seq"] > self.next_seq:
            self.lost_records += record["seq"] - self.next_seq
            self._gap()
        self.next_seq = record["seq"] + 1
        self.channels = self.channels or record["channels"]
        self.rate = record["rate"]
        self.start_ns = record["start_ns"]
        if record["kind"] == GAP:
            self._gap()
        elif record["kind"] == END:
            if record["first"] > self.next_frame:
                self._gap()  # frames of lost records at the end: marked past the last row
            self.ended = True
        else:
            if record["first"] != self.next_frame:
                self._gap()
            self.rows.extend(record["rows"])
            self.times.extend(record["times"])
            self.next_frame = record["first"] + record["n"]

    def _gap(self):
        if not self.gaps or self.gaps[-1] != len(self.rows):
            self.gaps.append(len(self.rows))


class Broker:
    """A connection to a broker (see connect)."""

    def __init__(self, url, username=None, password=None, cafile=None, keepalive=15):
        import paho.mqtt.client as mqtt
        from paho.mqtt.packettypes import PacketTypes
        from paho.mqtt.properties import Properties

        self._mqtt, self._packet_types, self._properties = mqtt, PacketTypes, Properties
        parsed = urllib.parse.urlsplit(url)
        if parsed.scheme not in ("mqtt", "mqtts") or not parsed.hostname:
            raise ValueError("a broker is mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not %r" % url)
        if parsed.password:
            raise ValueError("no password in the URL: pass password= (or QELOMSR_MQTT_PASSWORD)")
        username = username or parsed.username
        password = password if password is not None else os.environ.get("QELOMSR_MQTT_PASSWORD")
        self._lock = threading.Condition()
        self._retained = {}  # topic -> payload bytes
        self._answers = {}  # correlation -> answer
        self._streams = {}  # topic -> list of payloads, while someone listens
        self._calls = 0
        client_id = "qelomsr-py-%s-%d-%d" % (socket.gethostname(), os.getpid(), id(self))
        self._replies = "%s/reply/%s/%s" % (ROOT, username or "anonymous", client_id)
        self._client = mqtt.Client(client_id=client_id, protocol=mqtt.MQTTv5)
        if username or password:
            self._client.username_pw_set(username, password)
        if parsed.scheme == "mqtts" or cafile:
            self._client.tls_set(ca_certs=cafile)
        self._client.on_message = self._on_message
        self._client.on_connect = self._on_connect
        self._connected = False
        self._refused = None
        self._client.connect(parsed.hostname, parsed.port or (8883 if parsed.scheme == "mqtts"
                                                               else 1883), keepalive)
        self._client.loop_start()
        if not self._wait(lambda: self._connected, RETAINED_TIMEOUT_S * 2):
            self.close()
            raise ConnectionError("no connection to the broker at %s" % url)
        # The retained status, info and state topics; with the last
        # subscription's retained messages the earlier ones are in.
        self._subscribe("%s/+/devices/+/info" % ROOT)
        self._subscribe("%s/+/devices/+/state" % ROOT)
        self._subscribe("%s/+/status" % ROOT)

    def _on_connect(self, client, userdata, flags, rc, properties=None):
        with self._lock:
            if rc == 0:
                client.subscribe(self._replies, qos=1)
                self._connected = True
            else:
                self._refused = str(rc)
            self._lock.notify_all()

    def _subscribe(self, topic):
        self._client.subscribe(topic, qos=1)

    def _on_message(self, client, userdata, msg):
        with self._lock:
            if msg.topic == self._replies:
                correlation = getattr(msg.properties, "CorrelationData", None)
                self._answers[bytes(correlation or b"")] = msg.payload
            elif msg.topic in self._streams:
                self._streams[msg.topic].append(msg.payload)
            elif msg.retain or msg.topic.endswith(("/status", "/info", "/state")):
                self._retained[msg.topic] = msg.payload
            self._lock.notify_all()

    def _wait(self, condition, seconds):
        deadline = time.monotonic() + seconds
        with self._lock:
            while not condition():
                if self._refused is not None:
                    raise ConnectionRefusedError("the broker refused the login (%s)" %
                                                 self._refused)
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._lock.wait(left)
            return True

    def close(self):
        self._client.disconnect()
        self._client.loop_stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def nodes(self):
        """{node: "online" | "offline"} from the retained status topics."""
        self._wait(lambda: any(t.endswith("/status") for t in self._retained), RETAINED_TIMEOUT_S)
        with self._lock:
            return {t.split("/")[1]: p.decode() for t, p in self._retained.items()
                    if t.endswith("/status") and p}

    def devices(self, node=None):
        """{"NODE/ID": info} of the served devices (the retained info documents)."""
        self.nodes()
        with self._lock:
            found = {}
            for t, p in self._retained.items():
                parts = t.split("/")
                if len(parts) == 5 and parts[4] == "info" and p and \
                        (node is None or parts[1] == node):
                    found["%s/%s" % (parts[1], parts[3])] = json.loads(p)
            return found

    def device(self, name):
        """The served device NODE/ID: ID is the identifier the server publishes
        (any case), a serial number, or a family with its position among the
        node's devices of that family ("ka", "ka:1")."""
        node, _, wanted = name.partition("/")
        if not node or not wanted or wanted.isdigit():
            raise ValueError("a served device is NODE/ID (stand1/USB:1-0-3, stand1/ka), not %r"
                             % name)
        status = self.nodes().get(node)
        if status is None:
            raise LookupError("no node %r on the broker" % node)
        if status != "online":
            raise errors.DeviceError("node %s is %s" % (node, status))
        served = self.devices(node)
        low = wanted.lower()
        match = [k for k in served if k.split("/", 1)[1].lower() == low] or \
            [k for k, i in served.items()
             if low in (i.get("serial", "").lower(), i.get("serial", "").split("@")[-1].lower())]
        if not match:
            family, _, position = low.partition(":")
            same = sorted(k for k, i in served.items() if i.get("family", "").lower() == family)
            if (position or "0").isdigit() and int(position or 0) < len(same):
                match = [same[int(position or 0)]]
        if len(match) != 1:
            raise LookupError("node %s serves no device %r (it serves %s)" %
                              (node, wanted, ", ".join(sorted(served)) or "none"))
        return RemoteDevice(self, match[0], served[match[0]])

    def call(self, node_device, request):
        """Sends a call to NODE/ID and returns its answer; an error answer
        raises the package's exception for its class."""
        with self._lock:
            self._calls += 1
            correlation = b"py-%d" % self._calls
        properties = self._properties(self._packet_types.PUBLISH)
        properties.ResponseTopic = self._replies
        properties.CorrelationData = correlation
        node, device = node_device.split("/", 1)
        self._client.publish("%s/%s/devices/%s/call" % (ROOT, node, device),
                             json.dumps(request), qos=1, properties=properties)
        if not self._wait(lambda: correlation in self._answers, ANSWER_TIMEOUT_S):
            raise errors.TimeoutError("%s did not answer %r within %g s; what it did is unknown" %
                                      (node_device, request.get("op"), ANSWER_TIMEOUT_S))
        with self._lock:
            answer = json.loads(self._answers.pop(correlation))
        if not answer.get("ok"):
            raise errors.error_for(answer.get("error", "failed"), answer.get("class", 0))
        return answer

    def _listen(self, topic):
        with self._lock:
            self._streams[topic] = []
        self._subscribe(topic)

    def _take(self, topic, seconds):
        """The stream payloads that came, waiting up to seconds for one."""
        self._wait(lambda: self._streams[topic], seconds)
        with self._lock:
            payloads, self._streams[topic] = self._streams[topic], []
            return payloads

    def _unlisten(self, topic):
        self._client.unsubscribe(topic)
        with self._lock:
            self._streams.pop(topic, None)


def connect(broker, username=None, password=None, cafile=None):
    """A connection to the broker at mqtt://HOST[:PORT] (mqtts:// for TLS);
    the password from password= or the environment (QELOMSR_MQTT_PASSWORD)."""
    return Broker(broker, username, password, cafile)


class RemoteDevice:
    """A device served on a broker: the single-value methods of Device,
    stream() and acquire(). `info` is its retained info document."""

    def __init__(self, broker, name, info):
        self.broker, self.name, self.info = broker, name, info
        self.identifier = info.get("device")
        self.family, self.serial, self.firmware = (info.get("family"), info.get("serial"),
                                                   info.get("firmware"))

    def __repr__(self):
        return "<qelomsr.remote.RemoteDevice %s (%s, %s)>" % (self.name, self.family, self.serial)

    def _call(self, op, **fields):
        fields["op"] = op
        return self.broker.call(self.name, fields)

    def read_analog_input(self, analog_input):
        """One calibrated sample in volts (a range as in "AI-0:1V" is set
        first and stays set); warns when clipped or uncalibrated."""
        import warnings
        value = self._call("read", channels=[analog_input])["values"][0]
        if not value.get("calibrated", True):
            warnings.warn("%s is uncalibrated: nominal conversion" % value["channel"],
                          RuntimeWarning, stacklevel=2)
        if value.get("clipped"):
            warnings.warn("%s reads %r V, the end of its converter's scale: clipped, the input "
                          "may lie beyond" % (value["channel"], value["value"]),
                          RuntimeWarning, stacklevel=2)
        return value["value"] if value["value"] is not None else math.nan

    def write_analog_output(self, analog_output, volts):
        """Sets an output and returns the voltage it produces. A value beyond
        the output's range is refused by the server (OutOfRangeError)."""
        volts = float(volts)
        if not math.isfinite(volts):
            raise ValueError("volts must be a finite number, not %r" % volts)
        return self._call("write", output=analog_output, volts=volts)["volts"]

    def set_digital_port_output_enable_mask(self, port, mask):
        self._call("port", port=port, outputEnable=mask)

    def write_digital_port(self, port, value):
        self._call("port", port=port, levels=value)

    def read_digital_port(self, port):
        return self._call("port", port=port)["pins"]

    def set_counter_enable(self, enable, counter="CNT"):
        self._call("counter", counter=counter, enable=bool(enable))

    def get_counter_enable(self, counter="CNT"):
        return self._call("counter", counter=counter)["enabled"]

    def reset_counter(self, counter="CNT"):
        self._call("counter", counter=counter, reset=True)

    def read_counter(self, counter="CNT"):
        return self._call("counter", counter=counter)["count"]

    def stream(self, channels, rate=None, frames=None, timeout=10.0):
        """Starts a stream on the server and yields blocks of frames as they
        arrive (one row per frame, one column per channel; numpy arrays, lists
        without numpy) until `frames` frames (0 or None: until the caller
        stops iterating, which stops the stream). `self.stream_gaps` lists
        the row indexes before which frames were lost (a device overrun or a
        record that never came), `self.stream_rate` the device's rate.
        `timeout`: the longest wait in seconds for the next record
        (TimeoutError)."""
        self.stream_gaps = []
        for rows, assembler in self._run(channels, rate, frames, timeout):
            self.stream_gaps, self.stream_rate = list(assembler.gaps), assembler.rate
            if rows:
                yield np.array(rows, dtype=float) if np is not None else [list(r) for r in rows]

    def _run(self, channels, rate, frames, timeout):
        """The stream's new rows and its assembler after each batch of records."""
        if isinstance(channels, str):
            channels = [c for c in channels.split(",") if c]
        topic = "%s/%s/devices/%s/stream" % ((ROOT,) + tuple(self.name.split("/", 1)))
        self.broker._listen(topic)
        assembler = _Assembler()
        try:
            request = dict(channels=channels, frames=int(frames or 0))
            if rate is not None:
                request["rateHz"] = rate
            started = self._call("start", **request)
            stream_id = started["stream"]
            while not assembler.ended:
                payloads = self.broker._take(topic, timeout)
                if not payloads:
                    raise errors.TimeoutError("no record of the stream of %s for %g s" %
                                              (self.name, timeout))
                before = len(assembler.rows)
                for payload in payloads:
                    try:
                        record = parse_record(payload)
                    except ValueError:
                        continue  # its sequence number goes missing: a marked gap
                    if record["stream"] == stream_id:
                        assembler.add(record)
                yield assembler.rows[before:], assembler
        finally:
            if not assembler.ended:
                try:
                    self._call("stop")
                except errors.QeloMsrError:
                    pass
            self.broker._unlisten(topic)

    def acquire(self, channels, rate=None, frames=None, seconds=None, timeout=10.0):
        """A finite acquisition as an Acquisition: data, time (across gaps as
        the device ran), gaps (device overruns and records that never came),
        clip counts, calibration state and the device's metadata."""
        if frames is None and seconds is None:
            raise ValueError("give frames or seconds")
        if frames is None:
            frames = int(round(seconds * rate))
        assembler = None
        try:
            for _, assembler in self._run(channels, rate, frames, timeout):
                pass
        except BaseException as e:
            if assembler is not None:
                e.acquisition = self._acquisition(assembler)
            raise
        return self._acquisition(assembler)

    def _acquisition(self, a):
        channels = a.channels or []
        data = np.array(a.rows, dtype=float).reshape(len(a.rows), len(channels)) \
            if np is not None else [list(r) for r in a.rows]
        clipped = []
        for j, c in enumerate(channels):
            if c["raw"]:
                clipped.append(0)
                continue
            column = [r[j] for r in a.rows]
            clipped.append(sum(1 for v in column if v <= c["lowest"] or v >= c["highest"]))
        start = None
        if a.start_ns:
            import datetime
            start = start_time_text(datetime.datetime.fromtimestamp(
                a.start_ns / 1e9, datetime.timezone.utc))
        return Acquisition(
            [c["name"] for c in channels], ["raw" if c["raw"] else "V" for c in channels],
            a.rate, data, overruns=len(a.gaps), gaps=a.gaps,
            time=np.array(a.times) if np is not None else list(a.times),
            device=self.identifier, serial=self.serial, firmware=self.firmware,
            ranges=[c["range"] for c in channels], start_time=start, family=self.family,
            calibrated=[not c["uncalibrated"] for c in channels], clipped=clipped,
            devices=[self.identifier] * len(channels))
