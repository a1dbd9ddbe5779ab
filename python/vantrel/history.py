"""History reads longer than one call allows, and their frames.

The services give at most GetMaxHistorySizePerCall values per read. read_all
pages a forward read: each page starts at the last time of the one before,
and the values at that instant that were had already are skipped, so values
sharing an instant are neither lost nor doubled. Outsiders before the start
come with the first page; outsiders after the end with a last small read at
the end instant. A read backwards (start after end) pages the same way
towards the past.
"""

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


def _empty():
    return HistoryArrays(np.empty(0, np.int64), np.empty(0, np.float64), np.empty(0, np.int16),
                         np.empty(0, np.int16))


def _concat(pages):
    if not pages:
        return _empty()
    if len(pages) == 1:
        return pages[0]
    texts = None
    if any(p.texts is not None for p in pages):
        texts = []
        for p in pages:
            texts.extend(p.texts if p.texts is not None else [None] * len(p))
    return HistoryArrays(np.concatenate([p.times for p in pages]), np.concatenate([p.values for p in pages]),
                         np.concatenate([p.status for p in pages]), np.concatenate([p.level for p in pages]),
                         texts)


def _slice(page, start, stop=None):
    texts = None if page.texts is None else page.texts[start:stop]
    return HistoryArrays(page.times[start:stop], page.values[start:stop], page.status[start:stop],
                         page.level[start:stop], texts)


def read_all(backend, tag_id, field_id, start_ns, end_ns, max_count, outsiders, step, page_limit):
    """Up to max_count values (None: all) of one field between start_ns and
    end_ns (None: now), in pages of at most page_limit, with the outsiders
    flags asked for."""
    if max_count is not None and max_count < 1:
        raise ValueError(f"max_count must be at least 1, not {max_count}")
    if max_count is not None and max_count <= page_limit:
        return HistoryArrays(*backend.history_page(tag_id, field_id, start_ns, end_ns, max_count, outsiders, step))
    reverse = end_ns is not None and start_ns > end_ns
    pages = []
    remaining = max_count
    cursor = start_ns
    had_at_cursor = 0  # values at the cursor's instant already taken
    first = True
    exhausted = False
    while True:
        want = page_limit if remaining is None else min(page_limit, remaining + had_at_cursor)
        asked = outsiders & _BEFORE_BITS if first else 0
        page = HistoryArrays(*backend.history_page(tag_id, field_id, cursor, end_ns, want, asked, step))
        in_range = _in_range(page.times, cursor, end_ns, reverse)
        exhausted = int(in_range.sum()) < want
        skip = 0
        if not first:
            while skip < len(page) and skip < had_at_cursor and page.times[skip] == cursor:
                skip += 1
        fresh = _slice(page, skip)
        if remaining is not None:
            # Outsiders (outside the range) do not count against max_count.
            fresh_in_range = in_range[skip:]
            taken = np.cumsum(fresh_in_range)
            keep = len(fresh)
            if taken.size and taken[-1] > remaining:
                keep = int(np.searchsorted(taken, remaining, side="left")) + 1
            fresh = _slice(fresh, 0, keep)
            remaining -= int(fresh_in_range[:keep].sum())
        pages.append(fresh)
        if exhausted or (remaining is not None and remaining <= 0) or len(page) == 0:
            break
        last = page.times[-1]
        # The page began at the cursor, so it holds every value of its last
        # instant read so far; a page of one instant only cannot move on.
        had = int((page.times == last).sum())
        if had >= want:
            raise VantrelError(f"{want} or more history values share the instant "
                               f"{pd.Timestamp(int(last), tz='UTC')}; they cannot be read in pages")
        cursor, had_at_cursor, first = last, had, False
    result = _concat(pages)
    if exhausted and outsiders & _AFTER_BITS and end_ns is not None and not reverse:
        result = _concat([result, _after_outsiders(backend, tag_id, field_id, end_ns, outsiders, step)])
    return result


def _in_range(times, cursor, end_ns, reverse):
    if reverse:
        return (times <= cursor) & (times >= end_ns)
    upper = np.iinfo(np.int64).max if end_ns is None else end_ns
    return (times >= cursor) & (times <= upper)


def _after_outsiders(backend, tag_id, field_id, end_ns, outsiders, step):
    """The outsiders after end: a read of the end instant asking for them,
    less the values at the instant itself (had already)."""
    page = HistoryArrays(*backend.history_page(tag_id, field_id, end_ns, end_ns, 1, outsiders & _AFTER_BITS, step))
    return _slice(page, int(np.searchsorted(page.times, end_ns, side="right")))


def long_frame(series_by_tag):
    """One row per value: tag, time, value, status, level (and text when some
    value is not a number), tags one after the other."""
    frames = []
    for tag, arrays in series_by_tag:
        frame = pd.DataFrame({"tag": pd.Series([tag] * len(arrays), dtype="object"), "time": arrays.index(),
                              "value": arrays.values, "status": arrays.status, "level": arrays.level})
        if arrays.texts is not None:
            frame["text"] = arrays.texts
        frames.append(frame)
    if not frames:
        return pd.DataFrame({"tag": [], "time": pd.DatetimeIndex([], tz="UTC"), "value": [], "status": [],
                             "level": []})
    return pd.concat(frames, ignore_index=True)


def wide_frame(series_by_tag):
    """One column per tag on the union of their times (a DatetimeIndex in
    UTC, ascending); NaN where a tag has no value at a time. Of values
    sharing an instant in one tag, the last is kept."""
    columns = {}
    for tag, arrays in series_by_tag:
        series = pd.Series(arrays.values, index=arrays.index(), name=tag)
        if not series.index.is_unique:
            series = series[~series.index.duplicated(keep="last")]
        columns[tag] = series.sort_index()
    if not columns:
        return pd.DataFrame(index=pd.DatetimeIndex([], tz="UTC", name="time"))
    frame = pd.concat(columns, axis=1)
    frame.index.name = "time"
    return frame.sort_index()
