"""Paging of long history reads and the name rules, without a database."""

import numpy as np
import pytest

import vantrel
from vantrel import history
from vantrel.names import parse_name


class FakeBackend:
    """A field's history in memory, served as the library does: values in
    [start, end] in time order, at most max_count, with BeforeA/AfterA."""

    def __init__(self, times):
        self.times = np.asarray(times, dtype=np.int64)
        self.calls = []

    def history_page(self, tag_id, field_id, start, end, max_count, outsiders=0, step=False):
        self.calls.append((start, end, max_count, outsiders))
        end = end + 1 if end == start else end  # one instant reads a moment
        inside = np.flatnonzero((self.times >= start) & (self.times <= end))[:max_count]
        picked = list(inside)
        if outsiders & 1:
            before = np.flatnonzero(self.times < start)
            picked = list(before[-1:]) + picked
        if outsiders & 2:
            after = np.flatnonzero(self.times > end)
            picked = picked + list(after[:1])
        index = np.array(picked, dtype=np.int64)
        return (self.times[index], index.astype(np.float64), np.zeros(len(index), np.int16),
                np.zeros(len(index), np.int16), None)


def read(backend, start, end, max_count=None, outsiders=0, limit=4):
    return history.read_all(backend, 1, 2, start, end, max_count, outsiders, False, limit)


def test_values_sharing_an_instant_across_a_page_end_come_once_each():
    times = [0, 1, 2, 3, 3, 3, 4, 5, 5, 6, 7, 7, 7]
    got = read(FakeBackend(times), 0, 10)
    assert list(got.values) == list(range(len(times)))


def test_max_count_spanning_pages_takes_exactly_that_many():
    got = read(FakeBackend(range(20)), 0, 100, max_count=9)
    assert list(got.values) == list(range(9))


def test_outsiders_come_once_at_each_end_of_a_paged_read():
    backend = FakeBackend(range(0, 100, 10))
    got = read(backend, 15, 75, outsiders=3)
    assert list(got.times) == [10, 20, 30, 40, 50, 60, 70, 80]


def test_more_values_at_one_instant_than_a_page_holds_fail_plainly():
    with pytest.raises(vantrel.VantrelError, match="share the instant"):
        read(FakeBackend([1] * 10), 0, 5)


def test_a_read_that_fits_one_call_is_one_call():
    backend = FakeBackend(range(10))
    read(backend, 0, 100, max_count=3)
    assert len(backend.calls) == 1


def test_outsiders_names_and_bad_counts():
    assert history.outsiders_flags("botha") == 3
    with pytest.raises(ValueError, match="kinds"):
        history.outsiders_flags("Both")
    with pytest.raises(ValueError):
        read(FakeBackend(range(3)), 0, 5, max_count=0)


@pytest.mark.parametrize("text, record, field, occurrence, native", [
    ("TI101.VALUE", "TI101", "VALUE", 0, "VALUE"),
    ("TI101.TREND[2]", "TI101", "TREND", 2, "2 TREND"),
    ("TI101.2 TREND", "TI101", "TREND", 2, "2 TREND"),
    ("A.B.VALUE", "A.B", "VALUE", 0, "VALUE"),
    ("TI101", "TI101", None, 0, None),
])
def test_names_follow_the_tools_rules(text, record, field, occurrence, native):
    name = parse_name(text)
    assert (name.record, name.field, name.occurrence, name.native_field) == (record, field, occurrence, native)


@pytest.mark.parametrize("text", ["", ".VALUE", "TI101.", "TI101.TREND[0]", "TI101.TREND[x]"])
def test_malformed_names_are_refused(text):
    with pytest.raises(ValueError):
        parse_name(text)


@pytest.mark.parametrize("kind", ["None", "BothA", "BothB", "BothC", "BeforeB", "AfterC"])
def test_a_paged_read_equals_one_read_of_everything_in_process(plant_store, kind):
    """The library itself reads far more than the per-call limit at once:
    the pages put together must give exactly its one answer, outsiders too."""
    from conftest import LONG_START_NS
    start, end = LONG_START_NS + 100_500_000_000, LONG_START_NS + 24_000_500_000_000
    flags = history.outsiders_flags(kind)
    with vantrel.connect(plant_store) as client:
        record, field = client.record_id("TI1010"), client.field_id("VALUE")
        whole = history.HistoryArrays(*client._backend.history_page(record, field, start, end, 30_000, flags, False))
        paged = client.history_arrays("TI1010.VALUE", start, end, outsiders=kind)
    assert len(paged) > client.max_history_per_call
    assert np.array_equal(paged.times, whole.times)
    assert np.array_equal(paged.values, whole.values)


def test_a_backward_read_is_paged_too(client):
    from conftest import LONG_COUNT, LONG_START
    arrays = client.history_arrays("TI1010.VALUE", "2024-02-02", LONG_START)
    assert np.array_equal(arrays.values, np.arange(LONG_COUNT - 1, -1, -1, dtype=np.float64))


def _arrays(times, values):
    n = len(times)
    return history.HistoryArrays(np.array(times, np.int64), np.array(values, np.float64), np.zeros(n, np.int16),
                                 np.zeros(n, np.int16))


def test_wide_frame_aligns_tags_on_the_union_of_their_times():
    frame = history.wide_frame([("A", _arrays([3, 1, 2], [30.0, 10.0, 20.0])),  # a backward read
                                ("B", _arrays([2, 4, 4], [2.0, 4.0, 4.5]))])    # an instant twice
    assert list(frame.index.asi8) == [1, 2, 3, 4]
    assert str(frame.index.dtype) == "datetime64[ns, UTC]"
    assert frame["A"].tolist()[:3] == [10.0, 20.0, 30.0] and np.isnan(frame["A"].iloc[3])
    assert np.isnan(frame["B"].iloc[0]) and np.isnan(frame["B"].iloc[2])
    assert (frame["B"].iloc[1], frame["B"].iloc[3]) == (2.0, 4.5)


class TextBackend(FakeBackend):
    """Text values: every value NaN, its text beside it."""

    def history_page(self, *args, **kwargs):
        times, values, status, level, _ = super().history_page(*args, **kwargs)
        return times, np.full(len(times), np.nan), status, level, [f"batch {int(v)}" for v in values]


def test_texts_follow_their_values_across_pages_and_into_the_long_frame():
    got = read(TextBackend([0, 1, 2, 2, 3, 4, 5]), 0, 10)
    assert got.texts == [f"batch {i}" for i in range(7)]
    frame = history.long_frame([("BATCH_ID.TEXT_VALUE", got), ("TI101.VALUE", _arrays([7], [1.5]))])
    assert list(frame["text"]) == got.texts + [None]
    assert frame["tag"].tolist() == ["BATCH_ID.TEXT_VALUE"] * 7 + ["TI101.VALUE"]
