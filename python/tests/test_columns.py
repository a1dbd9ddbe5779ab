"""History through the host as columns (application/x-vantrel-columns):
the same arrays as in process, paged the same way; a body that is cut or
lies about its lengths refused plainly; gzip only where it was asked for."""

import base64
import gzip
import http.client
import json
import struct
import urllib.parse

import numpy as np
import pytest

import vantrel
from vantrel import columns
from vantrel.errors import VantrelError
from conftest import ACCOUNT_DOMAIN, LONG_START, PASSWORD, USER


@pytest.fixture
def remote(host):
    opened = vantrel.connect(host.url, user=USER, password=PASSWORD)
    yield opened
    opened.close()


@pytest.fixture
def local(plant_store):
    opened = vantrel.connect(plant_store, user=f"{ACCOUNT_DOMAIN}\\{USER}")
    yield opened
    opened.close()


def _post(host, path, body, **headers):
    """(status, headers, raw body) of one POST to the host, nothing decoded."""
    parts = urllib.parse.urlsplit(host.url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
    login = base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode()
    connection.request("POST", path, body=json.dumps(body), headers=dict(headers, Authorization=f"Basic {login}"))
    answer = connection.getresponse()
    data = answer.read()
    connection.close()
    return answer.status, {k.lower(): v for k, v in answer.getheaders()}, data


def _history_body(remote, name, count):
    record, field = name.split(".")
    return {"request": [{"tagId": remote.record_id(record), "fieldId": remote.field_id(field),
                         "query": {"startTime": "2024-01-01T00:00:00Z", "endTime": "2024-04-01T00:00:00Z",
                                   "maxCount": count, "requestType": "Kind4"}}]}


@pytest.mark.parametrize("name, start, end, outsiders", [
    ("TI1010.VALUE", LONG_START, "2024-02-02", "None"),       # three pages, an instant across a page end
    ("TI1010.VALUE", "2024-02-02", LONG_START, "None"),       # backwards
    ("PI201.VALUE", "2024-03-01T00:30:00Z", "2024-03-03", "BothA"),  # outsiders at both ends
    ("P101.STATE", "2024-03-01", "2024-03-07", "None"),       # a state with gaps between its changes
])
def test_history_through_the_host_equals_the_arrays_in_process(remote, local, name, start, end, outsiders):
    a = remote.history_arrays(name, start, end, outsiders=outsiders)
    b = local.history_arrays(name, start, end, outsiders=outsiders)
    assert len(a) > 0
    for column in ("times", "values", "status", "level"):
        assert np.array_equal(getattr(a, column), getattr(b, column), equal_nan=column == "values"), column
        assert getattr(a, column).dtype == getattr(b, column).dtype
    assert a.texts == b.texts


def test_max_count_across_pages_through_the_host(remote, local):
    a = remote.history_arrays("TI1010.VALUE", LONG_START, "2024-02-02", max_count=12_345)
    assert len(a) == 12_345
    assert np.array_equal(a.values, local.history_arrays("TI1010.VALUE", LONG_START, "2024-02-02",
                                                         max_count=12_345).values)


def test_the_host_answers_columns_only_to_a_client_that_asks(host, remote):
    body = _history_body(remote, "TI101.VALUE", 100)
    status, headers, data = _post(host, "/v1/access/GetHistoryValuesByIds", body,
                                  Accept=columns.MEDIA_TYPE)
    assert status == 200 and headers["content-type"] == columns.MEDIA_TYPE
    series = columns.decode(data)
    [(times, values, status_column, level, texts)] = series.values()
    status, headers, data = _post(host, "/v1/access/GetHistoryValuesByIds", body)
    assert headers["content-type"] == "application/json"
    as_json = next(iter(next(iter(json.loads(data)["result"].values())).values()))
    assert [v["value"]["double"] for v in as_json] == values.tolist()
    assert texts is None


def test_gzip_only_for_a_client_that_takes_it(host, remote):
    body = _history_body(remote, "TI101.VALUE", 100)
    _, plain_headers, plain = _post(host, "/v1/access/GetHistoryValuesByIds", body)
    assert "content-encoding" not in plain_headers
    _, headers, packed = _post(host, "/v1/access/GetHistoryValuesByIds", body, **{"Accept-Encoding": "gzip"})
    assert headers["content-encoding"] == "gzip"
    assert gzip.decompress(packed) == plain
    # The client library asks for gzip and hands back the same result.
    assert remote.call("access", "GetHistoryValuesByIds", **body) == json.loads(plain)["result"]


@pytest.fixture
def real_body(host, remote):
    _, _, data = _post(host, "/v1/access/GetHistoryValuesByIds", _history_body(remote, "TI101.VALUE", 20),
                       Accept=columns.MEDIA_TYPE)
    return data


def test_every_cut_of_a_columnar_body_is_refused(real_body):
    assert len(columns.decode(real_body)) == 1
    for length in range(len(real_body)):
        with pytest.raises(columns.ColumnsError):
            columns.decode(real_body[:length])
    with pytest.raises(columns.ColumnsError):
        columns.decode(real_body + bytes(8))


def _with_word(body, offset, number):
    return body[:offset] + struct.pack("<I", number) + body[offset + 4:]


def test_lengths_that_lie_are_refused_before_numpy_reads(real_body):
    with pytest.raises(columns.ColumnsError, match="VHC1"):
        columns.decode(b"XXXX" + real_body[4:])
    with pytest.raises(columns.ColumnsError, match="cannot fit"):
        columns.decode(_with_word(real_body, 4, 0xFFFFFFFF))
    with pytest.raises(columns.ColumnsError, match="says it holds"):
        columns.decode(_with_word(real_body, 8, 16))
    with pytest.raises(columns.ColumnsError, match="is cut"):
        columns.decode(_with_word(real_body, 24, 0xFFFFFFF0))   # four billion values
    with pytest.raises(columns.ColumnsError):
        columns.decode(_with_word(real_body, 28, 0x7FFFFFFF))   # a text block past the end
    assert isinstance(columns.ColumnsError("x"), VantrelError)


def _body_with_texts(texts):
    n = len(texts)
    block = b"".join(struct.pack("<I", 0xFFFFFFFF) if t is None else struct.pack("<I", len(t)) + t for t in texts)
    series = struct.pack("<iiII", 5, 6, n, len(block)) + np.arange(n, dtype="<i8").tobytes() + \
        np.full(n, np.nan).tobytes() + np.zeros(2 * n, "<i2").tobytes() + block
    series += bytes(-len(series) % 8)
    return struct.pack("<4sIQ", b"VHC1", 1, 16 + len(series)) + series, len(block)


def test_texts_decode_and_a_text_past_its_block_is_refused():
    body, _ = _body_with_texts([b"OPEN", None, "Grüße".encode()])
    [(times, values, status, level, texts)] = columns.decode(body).values()
    assert texts == ["OPEN", None, "Grüße"]
    assert times.tolist() == [0, 1, 2] and np.isnan(values).all()
    text_at = 16 + 16 + 20 * 3
    with pytest.raises(columns.ColumnsError, match="passes the end"):
        columns.decode(_with_word(body, text_at, 1000))
    with pytest.raises(columns.ColumnsError):
        columns.decode(_with_word(body, text_at, 1))  # the next length is read from inside a text
    short, _ = _body_with_texts([b"AB"])
    with pytest.raises(columns.ColumnsError, match="past its"):
        columns.decode(_with_word(short, 16 + 20 + 16, 1))  # the block keeps a byte past its one text
