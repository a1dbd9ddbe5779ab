"""Client: the three services with one API, in process or through the host.

    client = vantrel.connect("/var/lib/plant.db", user="VNT\\\\operator")
    client.read(["TI101.VALUE", "PI201.VALUE"])            # DataFrame
    client.history(["TI101.VALUE"], "2024-03-06", wide=True)
    client.history_arrays("TI101.VALUE", "2024-03-06").values

A Client is used by one thread at a time; open one per thread to read in
parallel (the in-process calls release the GIL).
"""

import fnmatch
import time as _time

import pandas as pd

from . import history as _history
from . import values as _values
from .errors import NotFoundError
from .names import parse_name, parse_names


def _times_index(texts):
    return pd.DatetimeIndex(_values.parse_times(texts).view("datetime64[ns]"), tz="UTC")


class Client:
    """The services of one database through a backend (see vantrel.connect)."""

    def __init__(self, backend):
        self._backend = backend
        self._record_ids = {}
        self._field_ids = {}
        self._page_limit = None

    # --- plumbing --------------------------------------------------------------

    def call(self, service, operation, **params):
        """Any operation by name ("access", "GetTagValues", tagList={...}) with
        its parameters in the contracts' JSON form; returns its result so."""
        return self._backend.call(service, operation, params)

    def close(self):
        """Ends the client's link (the connection, or one open of the database)."""
        self._backend.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def max_history_per_call(self):
        """The most history values one read gives (GetMaxHistorySizePerCall)."""
        if self._page_limit is None:
            self._page_limit = int(self.call("server", "GetMaxHistorySizePerCall"))
        return self._page_limit

    def record_id(self, record):
        """The id of a record; NotFoundError when there is none."""
        key = record.upper()
        if key not in self._record_ids:
            number = self.call("management", "GetTagID", tagName=record)
            if number is None or number <= 0:
                raise NotFoundError([record])
            self._record_ids[key] = number
        return self._record_ids[key]

    def field_id(self, field):
        """The field tag of a field name ("VALUE", "2 TREND"); NotFoundError when there is none."""
        key = field.upper()
        if key not in self._field_ids:
            number = self.call("management", "GetFieldID", fieldName=field)
            if number is None or number <= 0:
                raise NotFoundError([field])
            self._field_ids[key] = number
        return self._field_ids[key]

    def _ids_of(self, name):
        if name.field is None:
            raise ValueError(f"'{name}' names no field (write RECORD.FIELD)")
        missing = []
        record = field = None
        try:
            record = self.record_id(name.record)
        except NotFoundError:
            missing.append(name.record)
        try:
            field = self.field_id(name.native_field)
        except NotFoundError:
            missing.append(str(name))
        if missing:
            raise NotFoundError(missing)
        return record, field

    # --- current values ----------------------------------------------------------

    def read(self, names):
        """Current values of "RECORD.FIELD" names (a record alone: all its
        fields) as a DataFrame: record, field, value, status, level, time (UTC).
        A repeat area gives a row per occurrence ("TREND[1]", ...)."""
        parsed = parse_names(names)
        tags = {}
        for name in parsed:
            fields = tags.setdefault(name.record, [])
            if name.field is None:
                fields.extend(f["name"] for f in self._definition_fields(name.record))
            else:
                fields.append(name.native_field)
        answer = self.call("access", "GetTagValues", tagList=tags) or {}
        self._require_answered(parsed, answer)
        rows = []
        for record, fields in answer.items():
            for field, tag_values in fields.items():
                label = _label_of(field)
                for i, value in enumerate(tag_values):
                    occurrence = f"{label}[{i + 1}]" if len(tag_values) > 1 else label
                    rows.append((record, occurrence, _values.decode_value(value.get("value")), value.get("status"),
                                 value.get("level"), value.get("timestamp")))
        return _current_frame(rows, ["record", "field"])

    def read_ids(self, tags):
        """Current values by ids, {record_id: [field_tag, ...]}, as a DataFrame:
        record_id, field_id, value, status, level, time."""
        request = {str(int(record)): [int(f) for f in fields] for record, fields in tags.items()}
        answer = self.call("access", "GetTagValuesByIds", tagList=request) or {}
        rows = []
        for record, fields in answer.items():
            for field, tag_values in fields.items():
                for value in tag_values:
                    rows.append((int(record), int(field), _values.decode_value(value.get("value")),
                                 value.get("status"), value.get("level"), value.get("timestamp")))
        return _current_frame(rows, ["record_id", "field_id"])

    def write(self, values, status=0, level=0, time=None):
        """Writes {"RECORD.FIELD": value} (a list of values for the occurrences
        of a repeat area) with one status, level and time (default: now, UTC)."""
        when = _now_ns() if time is None else _values.to_ns(time)
        tags = {}
        for text, value in values.items():
            name = parse_name(text, need_field=True)
            listed = value if isinstance(value, (list, tuple)) else [value]
            tags.setdefault(name.record, {})[name.native_field] = [
                _values.tag_value(v, status, level, when) for v in listed]
        self.call("access", "SetTagValues", tagValueList=tags)

    def write_ids(self, values, status=0, level=0, time=None):
        """Writes {(record_id, field_tag): value} (a list for a repeat area)."""
        when = _now_ns() if time is None else _values.to_ns(time)
        tags = {}
        for (record, field), value in values.items():
            listed = value if isinstance(value, (list, tuple)) else [value]
            tags.setdefault(str(int(record)), {})[str(int(field))] = [
                _values.tag_value(v, status, level, when) for v in listed]
        self.call("access", "SetTagValuesByIds", tagValuesByIds=tags)

    # --- history -----------------------------------------------------------------

    def history_arrays(self, name, start, end=None, max_count=None, outsiders=None, step=False):
        """History of one field as HistoryArrays (times int64 ns UTC, values
        float64, status and level int16), read in pages as long as needed.
        start and end: datetime (naive is UTC), Timestamp, ISO text or ns;
        end None reads up to now; start after end reads backwards. max_count
        None reads all; outsiders "BothA" and so on adds values just outside."""
        record, field = self._ids_of(parse_name(name, need_field=True))
        start_ns = _values.to_ns(start)
        end_ns = None if end is None else _values.to_ns(end)
        return _history.read_all(self._backend, record, field, start_ns, end_ns, max_count,
                                 _history.outsiders_flags(outsiders), step, self.max_history_per_call)

    def history(self, names, start, end=None, max_count=None, outsiders=None, step=False, wide=False):
        """History of "RECORD.FIELD" names as a long DataFrame (tag, time,
        value, status, level) or, with wide=True, one column per tag on a
        shared DatetimeIndex (datetime64[ns, UTC]). Arguments as history_arrays."""
        parsed = parse_names(names, need_field=True)
        series = [(str(n), self.history_arrays(str(n), start, end, max_count, outsiders, step)) for n in parsed]
        return _history.wide_frame(series) if wide else _history.long_frame(series)

    # --- browsing and administration -------------------------------------------

    def definitions(self):
        """The names of every definition record."""
        return list(self.call("management", "GetAllDefinitionTags") or [])

    def records(self, definition=None, like=None):
        """Names of the records of a definition (None: of every definition),
        those matching like ("TI*": * any characters, ? one, any case) only."""
        known = self.definitions()
        definitions = [definition] if isinstance(definition, str) else list(definition or known)
        missing = [d for d in definitions if d.upper() not in {k.upper() for k in known}]
        if missing:
            raise NotFoundError(missing)
        answer = self.call("management", "GetTagNamesByDefinition", definitonTags=definitions) or {}
        names = [name for listed in answer.values() for name in listed]
        if like is not None:
            patterns = [like] if isinstance(like, str) else list(like)
            names = [n for n in names if any(fnmatch.fnmatchcase(n.upper(), p.upper()) for p in patterns)]
        return names

    def fields(self, name):
        """The fields of a record's definition (or of a definition) as a
        DataFrame: name, number (field tag), type, length, repeat area, quality,
        history and reference kind, one row per field."""
        rows = self._definition_fields(name)
        columns = ["name", "number", "dataType", "length", "repeatArea", "qualityField", "timestampField",
                   "historyPointer", "fieldReferenceType", "readOnlyUsable", "readOnlyUnusable"]
        return pd.DataFrame([[row.get(c) for c in columns] for row in rows], columns=columns)

    def _definition_fields(self, name):
        """Field definitions of a record's definition, or of a definition named."""
        definition = name
        if name.upper() not in {d.upper() for d in self.definitions()}:
            found = self.call("management", "GetDefinitionIdentifierByTagName", tagNames=[name]) or {}
            identifier = next(iter(found.values()), None)
            if not identifier or not identifier.get("name"):
                raise NotFoundError([name])
            definition = identifier["name"]
        answer = self.call("management", "GetFieldDefinitions", definitionTags=[definition]) or {}
        return next(iter(answer.values()), [])

    def refs(self, names, source=None):
        """Where tags are referenced, as a DataFrame: tag, referenced_by, source,
        info, definition. source ("Calculation", "RecordReference", "SqlQuery")
        limits the search to one kind."""
        tags = [names] if isinstance(names, str) else list(names)
        if source is None:
            answer = self.call("management", "FindReferences", tagNames=tags) or {}
        else:
            answer = self.call("management", "FindReferencesBySource", tagNames=tags, source=source) or {}
        rows = [(tag, where, info.get("source"), info.get("info"), info.get("definitionRecord"))
                for tag, found in answer.items() for where, info in found.items()]
        return pd.DataFrame(rows, columns=["tag", "referenced_by", "source", "info", "definition"])

    def create(self, definition, names):
        """Creates records of a definition; returns the names the database
        created (a name already taken is left out)."""
        listed = [names] if isinstance(names, str) else list(names)
        return list(self.call("management", "CreateTags", tagsByDefinition={definition: listed}) or [])

    def usable(self, names, usable=None):
        """With usable True or False, makes the records usable or not; with
        None, answers {name: usable} for each record."""
        listed = [names] if isinstance(names, str) else list(names)
        if usable is not None:
            self.call("management", "MakeTagsUsable", tagNames=listed, usable=bool(usable))
            return None
        ids = {name: self.record_id(name) for name in listed}
        answer = self.call("management", "AreTagsUsable", tagIds=list(ids.values())) or {}
        return {name: bool(answer.get(str(number), False)) for name, number in ids.items()}

    def _require_answered(self, parsed, answer):
        records = {k.upper(): v for k, v in answer.items()}
        missing = []
        for name in parsed:
            fields = records.get(name.record.upper())
            if fields is None:
                missing.append(name.record if name.field is None else str(name))
            elif name.field is not None and name.native_field.upper() not in {f.upper() for f in fields}:
                missing.append(str(name))
        if missing:
            raise NotFoundError(missing)


def _label_of(native_field):
    """ "2 TREND" as "TREND[2]"; other names unchanged."""
    number, _, field = native_field.partition(" ")
    return f"{field}[{number}]" if number.isdigit() and field else native_field


def _current_frame(rows, keys):
    columns = keys + ["value", "status", "level", "time"]
    frame = pd.DataFrame(rows, columns=columns)
    frame["time"] = _times_index(list(frame["time"])) if len(frame) else pd.DatetimeIndex([], tz="UTC")
    return frame


def _now_ns():
    return _time.time_ns() // 1_000_000 * 1_000_000  # the database keeps whole milliseconds
