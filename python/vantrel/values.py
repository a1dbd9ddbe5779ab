"""Values and times between Python and the contracts' JSON form.

A contract time is text, "2024-03-07T00:00:00.0000000Z" for UTC; the package
works in UTC nanoseconds since 1970 (int64, as pandas keeps them). A value is
an object naming its kind, {"double": 74.2}; Python values map to the kinds a
pandas user would expect (float to double, int to int32 or int64, bool, str
to text, a time to time).
"""

import datetime as _dt
import math

import numpy as np
import pandas as pd

_NS_PER_TICK = 100
# The microseconds that int64 nanoseconds can hold.
_NS_RANGE_US = (np.iinfo(np.int64).min // 1000 + 1, np.iinfo(np.int64).max // 1000)


def to_ns(when):
    """A time as UTC nanoseconds: datetime (naive means UTC), pandas Timestamp,
    numpy datetime64, ISO text or an int of nanoseconds."""
    if isinstance(when, (int, np.integer)) and not isinstance(when, bool):
        return int(when)
    stamp = pd.Timestamp(when)
    if stamp is pd.NaT:
        raise ValueError(f"not a time: {when!r}")
    if stamp.tzinfo is None:
        stamp = stamp.tz_localize("UTC")
    return int(stamp.value)


def time_text(ns):
    """UTC nanoseconds as a contract time (whole 100 ns ticks)."""
    stamp = pd.Timestamp(int(ns) - int(ns) % _NS_PER_TICK, tz="UTC")
    fraction = (stamp.microsecond * 1000 + stamp.nanosecond) // _NS_PER_TICK
    return stamp.strftime("%Y-%m-%dT%H:%M:%S") + f".{fraction:07d}Z"


def parse_times(texts):
    """Contract times (a list of text) as an int64 array of UTC nanoseconds.

    UTC ("...Z") and unspecified times are read as UTC; "[local]" times keep
    their clock reading as UTC too (the library gives history and values in UTC).
    """
    if len(texts) == 0:
        return np.empty(0, dtype=np.int64)
    cleaned = [t[:-1] if t.endswith("Z") else t.replace("[local]", "") for t in texts]
    nanoseconds = np.array(cleaned, dtype="datetime64[ns]").astype(np.int64)
    # datetime64[ns] wraps around outside 1677-2262 (the library's minimum
    # time, year 1, among them): those are NaT, found at microsecond precision.
    # ISO texts of four-digit years order as their times do: most answers
    # lie well inside the range and need no second look.
    if min(cleaned) < "1678" or max(cleaned) >= "2262":
        micros = np.array(cleaned, dtype="datetime64[us]").astype(np.int64)
        outside = (micros < _NS_RANGE_US[0]) | (micros > _NS_RANGE_US[1])
        nanoseconds[outside] = np.iinfo(np.int64).min
    return nanoseconds


def encode_value(value):
    """A Python value as a contract Value (None: no value)."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        return {"bool": bool(value)}
    if isinstance(value, (int, np.integer)):
        number = int(value)
        return {"int32": number} if -2**31 <= number < 2**31 else {"int64": number}
    if isinstance(value, (float, np.floating)):
        number = float(value)
        if math.isnan(number):
            return {"double": "NaN"}
        if math.isinf(number):
            return {"double": "Infinity" if number > 0 else "-Infinity"}
        return {"double": number}
    if isinstance(value, str):
        return {"text": value}
    if isinstance(value, (_dt.datetime, pd.Timestamp, np.datetime64)):
        return {"time": time_text(to_ns(value))}
    raise TypeError(f"cannot write a value of type {type(value).__name__}: {value!r}")


_SPECIAL_REALS = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


def decode_value(value):
    """A contract Value as a Python value: numbers, bool, str, a UTC pandas
    Timestamp for a time, a list of names for record identifiers, None."""
    if value is None:
        return None
    kind, held = next(iter(value.items()))
    if kind in ("double", "float") and isinstance(held, str):
        return _SPECIAL_REALS.get(held, math.nan)
    if kind == "time":
        ns = int(parse_times([held])[0])
        return pd.NaT if ns == np.iinfo(np.int64).min else pd.Timestamp(ns, tz="UTC")
    if kind == "ids":
        return [entry.get("name", "") for entry in held]
    return held


def numeric(value):
    """A decoded value as float64 (NaN for none and for values that are not numbers)."""
    if isinstance(value, (bool, int, float)):
        return float(value)
    return math.nan


def tag_value(value, status, level, time_ns):
    """A contract TagValue."""
    return {"value": encode_value(value), "timestamp": time_text(time_ns), "status": int(status),
            "level": int(level)}
