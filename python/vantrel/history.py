"""History reads longer than one call allows, and their frames.

The services give at most GetMaxHistorySizePerCall values per read. read_all
pages a forward read: each page starts at the last time of the one before,
and the values at that instant that were had already are skipped, so values
sharing an instant are neither lost nor doubled. Outsiders before the start
come with the first page; outsiders after the end with a last small read at
the end instant. A read backwards (start after end) pages the same way
towards the past.
"""

import time
from typing import NamedTuple, Optional

import numpy as np
import pandas as pd

from .errors import VantrelError

# Bits of the outsiders flags (the contracts' OutsidersRequestTypeEnum).
OUTSIDERS = {"None": 0, "BeforeA": 1, "AfterA": 2, "BothA": 3, "BeforeB": 8, "AfterB": 16, "BothB": 24,
             "BeforeC": 32, "AfterC": 64, "BothC": 96}
_BEFORE_BITS = 1 | 8 | 32
_AFTER_BITS = 2 | 16 | 64


def outsiders_flags(outsiders):
    """The flags of an outsiders kind: a name ("BothA", any case), a number or None."""
    if outsiders is None:
        return 0
    if isinstance(outsiders, str):
        for name, flags in OUTSIDERS.items():
            if name.lower() == outsiders.lower():
                return flags
        raise ValueError(f"no outsiders kind '{outsiders}'; kinds: {', '.join(OUTSIDERS)}")
    flags = int(outsiders)
    if flags not in OUTSIDERS.values():
        raise ValueError(f"{flags} is not an outsiders kind; kinds: {', '.join(OUTSIDERS)}")
    return flags


class HistoryArrays(NamedTuple):
    """History of one field as NumPy arrays of one length: times (int64 UTC
    nanoseconds), values (float64; NaN where a value is none or not a
    number), status and level (int16); texts is None, or the text of each
    value that is not a number (None for the others)."""
    times: np.ndarray
    values: np.ndarray
    status: np.ndarray
    level: np.ndarray
    texts: Optional[list] = None

    def __len__(self):
        return len(self.times)

    def index(self):
        """The times as a DatetimeIndex, datetime64[ns, UTC]."""
        return pd.DatetimeIndex(self.times.view("datetime64[ns]"), tz="UTC", name="time")


# The most values a read returns beyond its count (outsiders).
_MAX_EXTRA = 8
# Room reserved beyond an estimate of a read's length: untouched room costs
# address space only, a short estimate costs a copy.
_ROOM = 1.25


class _Columns:
    """The columns of one read, grown as its pages come. Each page is written
    once, straight into the final arrays after what is kept so far (by the
    in-process module itself), then kept in place or in part."""

    def __init__(self, capacity):
        self.times = np.empty(capacity, np.int64)
        self.values = np.empty(capacity, np.float64)
        self.status = np.empty(capacity, np.int16)
        self.level = np.empty(capacity, np.int16)
        self.count = 0
        self.texts = None

    def reserve(self, extra):
        """Room for extra more values after those kept."""
        needed = self.count + extra
        if needed <= len(self.times):
            return
        capacity = max(needed, 2 * len(self.times))
        for name in ("times", "values", "status", "level"):
            old = getattr(self, name)
            grown = np.empty(capacity, old.dtype)
            grown[:self.count] = old[:self.count]
            setattr(self, name, grown)

    def read(self, backend, tag_id, field_id, start_ns, end_ns, max_count, outsiders, step):
        """One read written after the kept values; returns (count, texts). The
        page is pending until keep."""
        self.reserve(max_count + _MAX_EXTRA)
        at = self.count
        views = (self.times[at:], self.values[at:], self.status[at:], self.level[at:])
        into = getattr(backend, "history_page_into", None)
        if into is not None:
            return into(*views, tag_id, field_id, start_ns, end_ns, max_count, outsiders, step)
        page = backend.history_page(tag_id, field_id, start_ns, end_ns, max_count, outsiders, step)
        return write_page(page, views)

    def pending_times(self, count):
        return self.times[self.count:self.count + count]

    def keep(self, skip, count, texts):
        """Keeps count values of the pending page from its value skip on."""
        at = self.count
        if skip:
            for column in (self.times, self.values, self.status, self.level):
                column[at:at + count] = column[at + skip:at + skip + count].copy()
        if texts is not None and self.texts is None:
            self.texts = [None] * at
        if self.texts is not None:
            self.texts.extend(texts[skip:skip + count] if texts is not None else [None] * count)
        self.count += count

    def result(self):
        n = self.count
        return HistoryArrays(self.times[:n], self.values[:n], self.status[:n], self.level[:n], self.texts)


def write_page(page, views):
    """A page of columns (times, values, status, level, texts) copied into
    views; returns (count, texts)."""
    count = len(page[0])
    if count > len(views[0]):
        raise ValueError("the history read returned more values than the arrays hold")
    for view, column in zip(views, page[:4]):
        view[:count] = column
    return count, page[4]


def read_all(backend, tag_id, field_id, start_ns, end_ns, max_count, outsiders, step, page_limit):
    """Up to max_count values (None: all) of one field between start_ns and
    end_ns (None: now), in pages of at most page_limit, with the outsiders
    flags asked for."""
    if max_count is not None and max_count < 1:
        raise ValueError(f"max_count must be at least 1, not {max_count}")
    if max_count is not None and max_count <= page_limit:
        columns = _Columns(max_count + _MAX_EXTRA)
        count, texts = columns.read(backend, tag_id, field_id, start_ns, end_ns, max_count, outsiders, step)
        columns.keep(0, count, texts)
        return columns.result()
    reverse = end_ns is not None and start_ns > end_ns
    columns = _Columns(page_limit + _MAX_EXTRA)
    remaining = max_count
    cursor = start_ns
    had_at_cursor = 0  # values at the cursor's instant already taken
    first = True
    while True:
        want = page_limit if remaining is None else min(page_limit, remaining + had_at_cursor)
        asked = outsiders & _BEFORE_BITS if first else 0
        count, texts = columns.read(backend, tag_id, field_id, cursor, end_ns, want, asked, step)
        times = columns.pending_times(count)
        in_range = _in_range(times, cursor, end_ns, reverse)
        exhausted = int(in_range.sum()) < want
        skip = 0
        if not first:
            while skip < count and skip < had_at_cursor and times[skip] == cursor:
                skip += 1
        keep = count - skip
        if remaining is not None:
            # Outsiders (outside the range) do not count against max_count.
            taken = np.cumsum(in_range[skip:])
            if taken.size and taken[-1] > remaining:
                keep = int(np.searchsorted(taken, remaining, side="left")) + 1
            remaining -= int(in_range[skip:skip + keep].sum())
        last = int(times[-1]) if count else None
        # The page began at the cursor, so it holds every value of its last
        # instant read so far; a page of one instant only cannot move on.
        had = int((times == last).sum()) if count else 0
        estimate = _estimate(times, in_range, end_ns, remaining, page_limit) if first and not exhausted else 0
        columns.keep(skip, keep, texts)
        if estimate:
            columns.reserve(estimate)
        if exhausted or (remaining is not None and remaining <= 0) or count == 0:
            break
        if had >= want:
            raise VantrelError(f"{want} or more history values share the instant "
                               f"{pd.Timestamp(last, tz='UTC')}; they cannot be read in pages")
        cursor, had_at_cursor, first = last, had, False
    if exhausted and outsiders & _AFTER_BITS and end_ns is not None and not reverse:
        count, texts = columns.read(backend, tag_id, field_id, end_ns, end_ns, 1, outsiders & _AFTER_BITS, step)
        after = int(np.searchsorted(columns.pending_times(count), end_ns, side="right"))
        columns.keep(after, count - after, texts)
    return columns.result()


def _estimate(times, in_range, end_ns, remaining, page_limit):
    """How many more values a read will likely give, from the pace of its
    first page over the rest of its range (room to spare; None counts)."""
    inside = times[in_range]
    span = abs(int(inside[-1]) - int(inside[0])) if inside.size > 1 else 0
    if span == 0:
        return 0
    end = end_ns if end_ns is not None else time.time_ns()
    rest = abs(end - int(inside[-1]))
    estimate = int(inside.size * rest / span * _ROOM) + page_limit
    if remaining is not None:
        estimate = min(estimate, remaining + _MAX_EXTRA)
    return min(estimate, 16_000_000)  # more grows by doubling


def _in_range(times, cursor, end_ns, reverse):
    if reverse:
        return (times <= cursor) & (times >= end_ns)
    upper = np.iinfo(np.int64).max if end_ns is None else end_ns
    return (times >= cursor) & (times <= upper)


def long_frame(series_by_tag):
    """One row per value: tag (categorical), time, value, status, level (and
    text when some value is not a number), tags one after the other."""
    categories = list(dict.fromkeys(tag for tag, _ in series_by_tag))  # a tag asked twice is one category
    parts = [arrays for _, arrays in series_by_tag]
    codes = np.repeat(np.array([categories.index(tag) for tag, _ in series_by_tag], dtype=np.int32),
                      [len(arrays) for arrays in parts])
    frame = pd.DataFrame({
        "tag": pd.Categorical.from_codes(codes, categories=categories),
        "time": pd.DatetimeIndex(_joined(parts, "times", np.int64).view("datetime64[ns]"), tz="UTC"),
        "value": _joined(parts, "values", np.float64),
        "status": _joined(parts, "status", np.int16),
        "level": _joined(parts, "level", np.int16)})
    if any(arrays.texts is not None for arrays in parts):
        frame["text"] = [text for arrays in parts
                         for text in (arrays.texts if arrays.texts is not None else [None] * len(arrays))]
    return frame


def _joined(parts, name, dtype):
    return np.concatenate([getattr(p, name) for p in parts]) if parts else np.empty(0, dtype)


def wide_frame(series_by_tag):
    """One column per tag on the union of their times (a DatetimeIndex in
    UTC, ascending); NaN where a tag has no value at a time. Of values
    sharing an instant in one tag, the last is kept. The frame is built from
    one block of values, each tag's column written once."""
    prepared = [(tag,) + _ascending_unique(arrays.times, arrays.values) for tag, arrays in series_by_tag]
    if not prepared:
        return pd.DataFrame(index=pd.DatetimeIndex([], tz="UTC", name="time"))
    times = prepared[0][1]
    if any(t.size != times.size or not np.array_equal(t, times) for _, t, _ in prepared[1:]):
        times = np.unique(np.concatenate([t for _, t, _ in prepared]))
    block = np.empty((len(prepared), times.size), np.float64)
    for row, (_, t, v) in zip(block, prepared):
        if t.size == times.size:
            row[:] = v  # the union of ascending unique times: they are the same
        else:
            row.fill(np.nan)
            row[np.searchsorted(times, t)] = v
    index = pd.DatetimeIndex(times.view("datetime64[ns]"), tz="UTC", name="time")
    return pd.DataFrame(block.T, index=index, columns=[tag for tag, _, _ in prepared], copy=False)


def _ascending_unique(times, values):
    """times ascending without repeats, and their values (the last of a repeated instant)."""
    if times.size < 2 or bool(np.all(times[1:] > times[:-1])):
        return times, values
    order = np.argsort(times, kind="stable")
    times, values = times[order], values[order]
    last = np.append(times[1:] != times[:-1], True)
    return times[last], values[last]
