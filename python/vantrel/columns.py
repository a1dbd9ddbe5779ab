"""The host's columnar history answer (application/x-vantrel-columns).

A history call that asks for this media type in its Accept header gets its
result as packed columns instead of JSON: no Python object per value. The
layout (little-endian, every block at a multiple of 8 bytes):

    header, 16 bytes: b"VHC1", uint32 series count, uint64 body length
    each series: int32 tagId, int32 fieldId, uint32 count N, uint32 text bytes T,
                 int64[N] times (ns since 1970 UTC), float64[N] values,
                 int16[N] status, int16[N] level,
                 T bytes of texts (N entries: uint32 length, bytes; 0xFFFFFFFF = none),
                 zeros up to the next multiple of 8

Nothing read from the body is trusted: every count and length is checked
against the bytes there before NumPy sees it.
"""

import struct

import numpy as np

from .errors import VantrelError

MEDIA_TYPE = "application/x-vantrel-columns"
_MAGIC = b"VHC1"
_HEADER = struct.Struct("<4sIQ")
_SERIES = struct.Struct("<iiII")
_NO_TEXT = 0xFFFFFFFF
_BYTES_PER_VALUE = 8 + 8 + 2 + 2


class ColumnsError(VantrelError):
    """A columnar answer that is cut, damaged or lies about its lengths."""


def decode(body):
    """{(tag_id, field_id): (times, values, status, level, texts or None)} of a
    columnar body; the arrays are read-only views of body."""
    view = memoryview(body)
    if len(view) < _HEADER.size:
        raise ColumnsError(f"the columnar answer is cut: {len(view)} bytes, its header alone takes {_HEADER.size}")
    magic, count, length = _HEADER.unpack_from(view, 0)
    if magic != _MAGIC:
        raise ColumnsError("the answer is not a columnar history answer (no VHC1 mark)")
    if length != len(view):
        raise ColumnsError(f"the columnar answer says it holds {length} bytes; {len(view)} came")
    if count > (len(view) - _HEADER.size) // _SERIES.size:
        raise ColumnsError(f"{count} series cannot fit in {len(view) - _HEADER.size} bytes")
    series = {}
    at = _HEADER.size
    for _ in range(count):
        key, columns, at = _series(view, at)
        series[key] = columns
    if at != len(view):
        raise ColumnsError(f"{len(view) - at} bytes follow the last of {count} series")
    return series


def _series(view, at):
    if len(view) - at < _SERIES.size:
        raise ColumnsError(f"the columnar answer is cut at offset {at}: a series header is missing")
    tag_id, field_id, n, text_bytes = _SERIES.unpack_from(view, at)
    at += _SERIES.size
    needed = n * _BYTES_PER_VALUE + text_bytes
    if needed > len(view) - at:
        raise ColumnsError(f"the columnar answer is cut: the {n} values of {tag_id}.{field_id} need {needed} "
                           f"bytes at offset {at}, {len(view) - at} are left")
    times = np.frombuffer(view, dtype="<i8", count=n, offset=at)
    values = np.frombuffer(view, dtype="<f8", count=n, offset=at + 8 * n)
    status = np.frombuffer(view, dtype="<i2", count=n, offset=at + 16 * n)
    level = np.frombuffer(view, dtype="<i2", count=n, offset=at + 18 * n)
    at += 20 * n
    texts = _texts(view[at:at + text_bytes], n) if text_bytes else None
    at += text_bytes
    padded = (at + 7) & ~7
    if padded > len(view):
        raise ColumnsError(f"the columnar answer is cut in the padding at offset {at}")
    return (tag_id, field_id), (times, values, status, level, texts), padded


def _texts(block, n):
    texts = []
    at = 0
    for _ in range(n):
        if len(block) - at < 4:
            raise ColumnsError("the text block of a series is cut")
        (length,) = struct.unpack_from("<I", block, at)
        at += 4
        if length == _NO_TEXT:
            texts.append(None)
            continue
        if length > len(block) - at:
            raise ColumnsError(f"a text of {length} bytes passes the end of its block")
        texts.append(bytes(block[at:at + length]).decode("utf-8", errors="replace"))
        at += length
    if at != len(block):
        raise ColumnsError(f"the text block holds {len(block) - at} bytes past its {n} texts")
    return texts


__all__ = ["MEDIA_TYPE", "ColumnsError", "decode"]
