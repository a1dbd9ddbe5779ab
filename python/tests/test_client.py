"""The Client over both backends: the same calls, the same answers."""

import numpy as np
import pandas as pd
import pytest

import vantrel
from conftest import LONG_COUNT, LONG_START, LONG_START_NS, SHARED_FROM, long_series_second

NOW = pd.Timestamp("2024-03-07T00:00:00Z")


class TestCurrentValues:
    def test_read_gives_one_row_per_value_with_quality_and_utc_time(self, client):
        frame = client.read(["TI101.VALUE", "PI201.VALUE"])
        assert list(frame.columns) == ["record", "field", "value", "status", "level", "time"]
        assert list(frame["record"]) == ["TI101", "PI201"]
        assert frame.loc[0, "value"] == pytest.approx(73.8)
        assert frame.loc[0, "time"] == NOW
        assert str(frame["time"].dtype) == "datetime64[ns, UTC]"

    def test_a_repeat_area_reads_as_one_row_per_occurrence_and_one_occurrence_alone(self, client):
        frame = client.read(["TI101.TREND", "TI101.TREND[2]", "TI101.2 TREND"])
        assert list(frame["field"])[:5] == ["TREND[1]", "TREND[2]", "TREND[3]", "TREND[4]", "TREND[5]"]
        assert list(frame["field"])[5:] == ["TREND[2]"] * (len(frame) - 5)
        assert frame.loc[1, "value"] == frame.loc[5, "value"]

    def test_a_record_alone_reads_every_field_of_its_definition(self, client):
        fields = set(client.read("TI101")["field"])
        assert {"DESCRIPTION", "VALUE", "UNITS", "TREND[1]"} <= fields

    def test_unknown_names_are_all_named_not_dropped(self, client):
        with pytest.raises(vantrel.NotFoundError) as raised:
            client.read(["TI101.VALUE", "TI999.VALUE", "TI101.NOSUCH"])
        assert raised.value.names == ["TI999.VALUE", "TI101.NOSUCH"]

    def test_a_write_is_read_back_with_its_status_and_time(self, client):
        when = pd.Timestamp("2024-03-08T10:15:30.250Z")
        client.write({"LI401.HI_LIMIT": 91.5, "LI401.VALUE": 42.25}, status=0, level=1, time=when)
        frame = client.read(["LI401.HI_LIMIT", "LI401.VALUE"])
        assert list(frame["value"]) == [91.5, 42.25]
        assert frame.loc[1, "time"] == when
        assert frame.loc[1, "level"] == 1

    def test_reads_and_writes_by_ids_match_those_by_names(self, client):
        record = client.record_id("FI301")
        field = client.field_id("VALUE")
        client.write_ids({(record, field): 12.5}, time="2024-03-08T00:00:00Z")
        by_ids = client.read_ids({record: [field]})
        assert list(by_ids[["record_id", "field_id"]].iloc[0]) == [record, field]
        assert by_ids.loc[0, "value"] == 12.5
        assert client.read("FI301.VALUE").loc[0, "value"] == 12.5

    def test_a_text_value_round_trips(self, client):
        client.write({"BATCH_ID.TEXT_VALUE": "B-2024-117"})
        assert client.read("BATCH_ID.TEXT_VALUE").loc[0, "value"] == "B-2024-117"

    def test_a_value_the_field_cannot_hold_is_a_service_fault_with_the_reason(self, client):
        with pytest.raises(vantrel.ServiceFault) as raised:
            client.write({"TI101.VALUE": "not a number"})
        assert str(raised.value) and raised.value.error_type
        assert client.read("TI101.VALUE").loc[0, "value"] == pytest.approx(73.8)

    def test_the_databases_rights_refuse_a_write_and_keep_the_value(self, client):
        before = client.read("CALC_DELTA_T.CALC_RESULT").loc[0, "value"]
        with pytest.raises(vantrel.ServiceFault, match="no write right"):
            client.write({"CALC_DELTA_T.CALC_RESULT": before + 1.0})
        assert client.read("CALC_DELTA_T.CALC_RESULT").loc[0, "value"] == before

    def test_a_write_needs_a_field(self, client):
        with pytest.raises(ValueError, match="names no field"):
            client.write({"TI101": 1.0})


class TestHistory:
    def test_arrays_have_the_promised_types_and_the_plants_hourly_values(self, client):
        arrays = client.history_arrays("TI101.VALUE", "2024-03-04", "2024-03-07")
        assert (arrays.times.dtype, arrays.values.dtype) == (np.int64, np.float64)
        assert (arrays.status.dtype, arrays.level.dtype) == (np.int16, np.int16)
        assert len(arrays) == 73
        assert np.all(np.diff(arrays.times) == 3600 * 10**9)
        assert arrays.values[0] == pytest.approx(73.8)
        assert arrays.texts is None

    def test_bad_quality_shows_in_level(self, client):
        arrays = client.history_arrays("PI201.VALUE", "2024-03-05T06:00Z", "2024-03-05T09:00Z")
        assert list(arrays.level) == [2, 2, 2, 0]

    def test_outsiders_add_the_values_just_outside(self, client):
        inside = client.history_arrays("PI201.VALUE", "2024-03-05T05:30Z", "2024-03-05T07:30Z")
        both = client.history_arrays("PI201.VALUE", "2024-03-05T05:30Z", "2024-03-05T07:30Z", outsiders="BothA")
        assert len(inside) == 2 and len(both) == 4
        assert both.times[0] < inside.times[0] and both.times[-1] > inside.times[-1]

    def test_max_count_limits_the_values(self, client):
        assert len(client.history_arrays("TI101.VALUE", "2024-03-04", "2024-03-07", max_count=5)) == 5

    def test_a_long_range_is_paged_without_losing_or_doubling_values(self, client):
        assert client.max_history_per_call < LONG_COUNT
        arrays = client.history_arrays("TI1010.VALUE", LONG_START, "2024-02-02")
        assert len(arrays) == LONG_COUNT
        assert np.array_equal(arrays.values, np.arange(LONG_COUNT, dtype=np.float64))
        expected = LONG_START_NS + np.array([long_series_second(i) for i in range(LONG_COUNT)]) * 10**9
        assert np.array_equal(arrays.times, expected)

    def test_max_count_across_pages_stops_exactly_there(self, client):
        arrays = client.history_arrays("TI1010.VALUE", LONG_START, "2024-02-02", max_count=SHARED_FROM + 2)
        assert len(arrays) == SHARED_FROM + 2
        assert arrays.values[-1] == SHARED_FROM + 1

    def test_long_frame_puts_tags_one_after_the_other(self, client):
        frame = client.history(["TI101.VALUE", "PI201.VALUE"], "2024-03-06", "2024-03-07")
        assert list(frame.columns) == ["tag", "time", "value", "status", "level"]
        assert list(frame["tag"].unique()) == ["TI101.VALUE", "PI201.VALUE"]
        assert len(frame) == 50

    def test_wide_frame_has_a_column_per_tag_on_a_utc_index(self, client):
        frame = client.history(["TI101.VALUE", "PI201.VALUE", "P101.STATE"], "2024-03-06", "2024-03-07", wide=True)
        assert list(frame.columns) == ["TI101.VALUE", "PI201.VALUE", "P101.STATE"]
        assert str(frame.index.dtype) == "datetime64[ns, UTC]"
        assert frame.index.is_monotonic_increasing and frame.index.is_unique
        assert frame["TI101.VALUE"].notna().sum() == 25
        assert frame.loc[NOW, "TI101.VALUE"] == pytest.approx(73.8)

    def test_an_unknown_tag_is_not_found(self, client):
        with pytest.raises(vantrel.NotFoundError):
            client.history_arrays("NOPE.VALUE", "2024-03-04")


class TestBrowsingAndAdministration:
    def test_definitions_and_records_like_the_tool(self, client):
        assert "VN_AnalogDef" in client.definitions()
        assert client.records("VN_AnalogDef", like="ti*") == ["TI101", "TI102", "TI1010"]
        with pytest.raises(vantrel.NotFoundError):
            client.records("VN_NoSuchDef")

    def test_fields_of_a_record_and_of_its_definition_agree(self, client):
        of_record = client.fields("TI101")
        assert list(of_record["name"])[:2] == ["DESCRIPTION", "VALUE"]
        assert of_record.equals(client.fields("VN_AnalogDef"))

    def test_refs_find_whole_word_references(self, client):
        found = client.refs("TI101")
        assert "CALC_DELTA_T" in set(found["referenced_by"])
        assert "TI1010" not in set(found["referenced_by"])

    def test_created_records_become_usable_on_request(self, client, backend_kind):
        name = f"TI9{len(backend_kind)}0"
        assert client.create("VN_AnalogDef", [name]) == [name]
        client.usable([name], False)
        assert client.usable([name]) == {name: False}
        client.usable([name], True)
        assert client.usable([name]) == {name: True}

    def test_any_operation_by_name(self, client):
        assert client.call("server", "GetMaxHistorySizePerCall") == client.max_history_per_call
        with pytest.raises(vantrel.RequestError, match="tagName"):
            client.call("management", "GetTagID", tagNam="TI101")
        with pytest.raises(vantrel.RequestError, match="/tagName: missing parameter of GetTagID"):
            client.call("management", "GetTagID")
        with pytest.raises(vantrel.RequestError, match="/tagIds/1"):
            client.call("management", "AreTagsUsable", tagIds=[1, "two"])
        with pytest.raises(vantrel.RequestError):
            client.call("management", "NoSuchOperation")
        with pytest.raises(vantrel.RequestError):
            client.call("nowhere", "GetTagID", tagName="TI101")


def test_in_process_an_empty_caller_account_is_refused_not_run_as_the_process(plant_store):
    with vantrel.connect(plant_store, user="") as nobody:
        with pytest.raises(vantrel.ServiceFault, match="identity is required"):
            nobody.read("TI101.VALUE")


def test_threads_read_history_in_process_at_once(plant_store):
    """The module lets go of the GIL inside the library: threads each with
    their own client read side by side, each getting the whole answer."""
    import concurrent.futures

    def read_long_series():
        with vantrel.connect(plant_store) as own:
            return own.history_arrays("TI1010.VALUE", LONG_START, "2024-02-02")

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        answers = list(pool.map(lambda _: read_long_series(), range(8)))
    for arrays in answers:
        assert np.array_equal(arrays.values, np.arange(LONG_COUNT, dtype=np.float64))


def test_a_folder_that_is_no_database_and_a_second_database_are_refused_plainly(plant_store, tmp_path):
    with pytest.raises(vantrel.VantrelError, match="cannot open the database"):
        vantrel.connect(tmp_path / "missing.db")
    with vantrel.connect(plant_store):
        other = tmp_path / "other.db"
        vantrel.import_database(plant_store.parent / "plant.json", other)
        with pytest.raises(vantrel.VantrelError, match="close it before opening"):
            vantrel.connect(other)
        with vantrel.connect(plant_store) as second:  # the same folder again is counted
            assert second.read("TI101.VALUE").loc[0, "value"] == pytest.approx(73.8)
