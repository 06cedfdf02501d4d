"""The spellings the package accepts for ranges and channel lists, the same
as the command-line tool's (docs/usage.md, "Commands"):

- a range by its upper limit, with or without a unit: "10V", "1V", "100mV",
  "10mV", "3.3V" (Rix), also "0.1", "0.01V" or "10 mV"; the unit in any case
  except that "MV" (megavolts) is refused for "mV"; or a range identifier
  (qelomsr.RANGE_10V);
- a channel by name ("AI-3", "AI-0/AI-1", "VREF", "DP-1", "CNT", "TRG"; any
  case) or identifier, with an optional range after a colon ("AI-0:10mV");
- a channel list as a list of channels, one channel name, or names
  separated by commas ("AI-0,AI-1:1V").
"""

import decimal
import operator
import re

from ._numbers import float32_text

RANGE_SPELLINGS = ("the upper limit of the range with or without a unit ('10V', '1V', '100mV', "
                   "'10mV', '3.3V', '0.1', '10 mV') or a range identifier (qelomsr.RANGE_10V)")
CHANNEL_SPELLINGS = ("a channel name ('AI-0', 'AI-0/AI-1', 'DP-1', 'CNT', 'TRG'), optionally with "
                     "a range after a colon ('AI-0:10mV'), or an identifier; several as a list or "
                     "separated by commas ('AI-0,AI-1:1V')")

_RANGE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([A-Za-z]*)\s*")
_UNITS = {"v": 1, "mv": decimal.Decimal("0.001")}


def range_volts(text):
    """The upper limit in volts a range spelling names (a Decimal), or
    ValueError naming the allowed spellings."""
    m = _RANGE.fullmatch(str(text))
    unit = m.group(2) if m else None
    if m is None or (unit and unit.lower() not in _UNITS):
        raise ValueError("%r is not a range: give %s" % (text, RANGE_SPELLINGS))
    if unit and unit[0] == "M":
        raise ValueError("%r: 'M' is mega; write 'mV' for millivolts (%s)" %
                         (text, RANGE_SPELLINGS))
    return decimal.Decimal(m.group(1)) * _UNITS[unit.lower() if unit else "v"]


def range_name(limit_volts):
    """The usual name of a range by its upper limit: 10V, 1V, 100mV, 10mV,
    3.3V."""
    volts = decimal.Decimal(float32_text(limit_volts))
    if abs(volts) < 1:
        return "%smV" % format((volts * 1000).normalize(), "f")
    return "%sV" % format(volts.normalize(), "f")


def split_channels(channels):
    """The items of a channel list: a list or tuple as it is, one name or
    comma-separated names as a list, an identifier as a one-item list."""
    if isinstance(channels, str):
        items = [c.strip() for c in channels.split(",")]
        if not all(items):
            raise ValueError("%r: an empty channel name (give %s)" % (channels, CHANNEL_SPELLINGS))
        return items
    if isinstance(channels, bool):
        raise TypeError("channels are %s, not %r" % (CHANNEL_SPELLINGS, channels))
    try:
        return [operator.index(channels)]
    except TypeError:
        pass
    try:
        return list(channels)
    except TypeError:
        raise TypeError("channels are %s, not %r" % (CHANNEL_SPELLINGS, channels)) from None


def channel_spec(item):
    """(channel, range spelling or None) of one item of a channel list."""
    if isinstance(item, str) and ":" in item:
        name, _, spelled = item.rpartition(":")
        if not name.strip() or not spelled.strip():
            raise ValueError("%r is not a channel (give %s)" % (item, CHANNEL_SPELLINGS))
        return name.strip(), spelled.strip()
    return item, None
