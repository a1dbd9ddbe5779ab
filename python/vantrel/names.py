"""Tag names as analysts write them: "RECORD.FIELD".

The field part follows the command-line tool: "VALUE", a whole repeat area
"TREND", or one occurrence "TREND[2]" (also "2 TREND", the database's own
form). A name without a field ("TI101") stands for every field of its record
where an operation allows it (reads). Names are split at the last dot.
"""

import re
from typing import NamedTuple, Optional

_OCCURRENCE = re.compile(r"^\s*(?P<field>[^\[\]\s]+)\s*\[\s*(?P<n>\d+)\s*\]\s*$")
_NATIVE_OCCURRENCE = re.compile(r"^\s*(?P<n>\d+)\s+(?P<field>\S+)\s*$")


class TagName(NamedTuple):
    """A parsed name: record, field (None for every field) and occurrence (0: none)."""
    record: str
    field: Optional[str]
    occurrence: int = 0

    @property
    def native_field(self):
        """The field as the library takes it by name: "VALUE" or "2 TREND"."""
        if self.field is None:
            return None
        return f"{self.occurrence} {self.field}" if self.occurrence else self.field

    @property
    def label(self):
        """The field as the tool shows it: "VALUE" or "TREND[2]"."""
        if self.field is None:
            return None
        return f"{self.field}[{self.occurrence}]" if self.occurrence else self.field

    def __str__(self):
        return self.record if self.field is None else f"{self.record}.{self.label}"


def parse_field(text):
    """(field, occurrence) of "VALUE", "TREND[2]" or "2 TREND"; ValueError otherwise."""
    for pattern in (_OCCURRENCE, _NATIVE_OCCURRENCE):
        match = pattern.match(text)
        if match:
            occurrence = int(match["n"])
            if occurrence < 1:
                raise ValueError(f"'{text}': occurrences count from 1")
            return match["field"], occurrence
    field = text.strip()
    if not field or any(c in field for c in "[] "):
        raise ValueError(f"'{text}' is not a field name (VALUE, TREND[2] or '2 TREND')")
    return field, 0


def parse_name(text, need_field=False):
    """A TagName of "RECORD.FIELD" or "RECORD"; ValueError for a malformed one."""
    if not isinstance(text, str):
        raise TypeError(f"a tag name is text, not {type(text).__name__}")
    record, dot, field = text.rpartition(".")
    if not dot:
        record, field = text, ""
    record = record.strip()
    if not record:
        raise ValueError(f"'{text}' has no record name (write RECORD.FIELD)")
    if not field.strip():
        if need_field or dot:
            raise ValueError(f"'{text}' names no field (write RECORD.FIELD, for example TI101.VALUE)")
        return TagName(record, None, 0)
    name, occurrence = parse_field(field)
    return TagName(record, name, occurrence)


def parse_names(names, need_field=False):
    """A name or a list of names, parsed; one name alone may be a plain string."""
    if isinstance(names, str):
        names = [names]
    return [parse_name(n, need_field) for n in names]
