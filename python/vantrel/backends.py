"""The two ways to the services: in process and through the host.

A backend has two methods, the same for both (the in-process one also
writes a page straight into given arrays, history_page_into):

    call(service, operation, params) -> the operation's result (JSON form)
    history_page(tag_id, field_id, start_ns, end_ns, max_count, outsiders, step)
        -> (times int64 ns, values float64, status int16, level int16, texts or None)

and raises the package's exceptions. A backend serves one thread at a time
(the host backend keeps one keep-alive connection).
"""

import base64
import http.client
import ipaddress
import json
import ssl
import urllib.parse
import zlib

import numpy as np

from . import columns as _columns
from . import values as _values
from .answers import result_of
from .errors import VantrelError

MIN_TIME = "0001-01-01T00:00:00.0000000"
MAX_TIME = "9999-12-31T23:59:59.9999999"


def _history_request(tag_id, field_id, start_ns, end_ns, max_count, outsiders, step):
    return {"tagId": int(tag_id), "fieldId": int(field_id), "query": {
        "startTime": MIN_TIME if start_ns is None else _values.time_text(start_ns),
        "endTime": MAX_TIME if end_ns is None else _values.time_text(end_ns),
        "maxCount": int(max_count), "requestType": "Kind4", "ousidersType": int(outsiders),
        "returnStep": bool(step)}}


def columns_of(tag_values):
    """TagValues in the JSON form as the columns history_page returns.

    A field's history holds one kind of value; reals (the usual case) take a
    fast path through one list, other kinds are decoded value by value."""
    times = _values.parse_times([v["timestamp"] for v in tag_values])
    status = _int16([v.get("status", 0) for v in tag_values])
    level = _int16([v.get("level", 0) for v in tag_values])
    raw = [v.get("value") for v in tag_values]
    try:
        # "NaN" and "Infinity", the JSON form of reals JSON cannot hold, read as such.
        return times, np.array([r["double"] for r in raw], dtype=np.float64), status, level, None
    except (KeyError, TypeError, ValueError):
        pass
    decoded = [_values.decode_value(r) for r in raw]
    numbers = np.fromiter((_values.numeric(v) for v in decoded), dtype=np.float64, count=len(decoded))
    texts = None
    if any(v is not None and not isinstance(v, (bool, int, float)) for v in decoded):
        texts = [None if v is None or isinstance(v, (bool, int, float)) else _text_of(v) for v in decoded]
    return times, numbers, status, level, texts


def _int16(numbers):
    return np.clip(np.array(numbers, dtype=np.int64), -32768, 32767).astype(np.int16)


def _text_of(value):
    if isinstance(value, list):
        return " ".join(value)
    if hasattr(value, "strftime"):
        return _values.time_text(value.value)[:-1]
    return str(value)


class InProcess:
    """The services of the library in this process, on the database at path.

    account ("DOMAIN\\user") is the caller every call runs as, with the
    impersonation each operation declares; None runs as the process's account.
    """

    def __init__(self, path, account=None):
        from . import _vantrel  # the compiled module, built with the project
        self._module = _vantrel
        self._account = account
        try:
            _vantrel.open(str(path))
        except RuntimeError as error:  # the module's one-line reason
            raise VantrelError(str(error)) from None
        self._open = True

    def call(self, service, operation, params):
        status, body = self._module.call(service, operation, json.dumps(params), self._account)
        return result_of(status, body)

    def history_page(self, tag_id, field_id, start_ns, end_ns, max_count, outsiders=0, step=False):
        try:
            return self._module.history_page(tag_id, field_id, start_ns, end_ns, max_count, outsiders, step,
                                             self._account)
        except self._module.CallFailed as failure:
            status, body = failure.args[0]
            result_of(status, body)
            raise

    def history_page_into(self, times, values, status, level, tag_id, field_id, start_ns, end_ns, max_count,
                          outsiders=0, step=False):
        """history_page written into the given arrays from their start: (count, texts)."""
        try:
            return self._module.history_page_into(times, values, status, level, tag_id, field_id, start_ns, end_ns,
                                                  max_count, outsiders, step, self._account)
        except self._module.CallFailed as failure:
            status_code, body = failure.args[0]
            result_of(status_code, body)
            raise

    def close(self):
        if self._open:
            self._open = False
            self._module.close()


def _is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Host:
    """The services through the access host (vntaccessd) at url.

    HTTPS with the system's certificate authorities, or cafile's; plain HTTP
    only to a loopback address (a host started with --insecure). Logs in
    with user and password (Basic) or a token (Bearer); the host adds its
    domain to a bare user name. One keep-alive connection, opened again
    once when the host closed it between calls.
    """

    def __init__(self, url, user=None, password=None, token=None, cafile=None, timeout=60.0):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("https", "http") or not parts.hostname:
            raise ValueError(f"'{url}' is not an https:// address of a host")
        if parts.scheme == "http" and not _is_loopback(parts.hostname):
            raise ValueError("plain http is only for a host on a loopback address; use https://")
        self._scheme, self._host, self._port = parts.scheme, parts.hostname, parts.port
        self._prefix = parts.path.rstrip("/")
        self._timeout = timeout
        self._context = None
        if self._scheme == "https":
            self._context = ssl.create_default_context(cafile=cafile)
        self._headers = {"Content-Type": "application/json", "Accept": "application/json",
                         "Accept-Encoding": "gzip", "Connection": "keep-alive"}
        if token is not None:
            self._headers["Authorization"] = f"Bearer {token}"
        elif user is not None:
            secret = f"{user}:{password or ''}".encode()
            self._headers["Authorization"] = "Basic " + base64.b64encode(secret).decode("ascii")
        self._connection = None

    def _connect(self):
        if self._scheme == "https":
            return http.client.HTTPSConnection(self._host, self._port, timeout=self._timeout, context=self._context)
        return http.client.HTTPConnection(self._host, self._port, timeout=self._timeout)

    def _post(self, path, body, accept=None):
        """(status, body, content type) of a POST; a gzip answer comes inflated."""
        headers = self._headers if accept is None else dict(self._headers, Accept=accept)
        for attempt in (0, 1):
            reused = self._connection is not None
            if self._connection is None:
                self._connection = self._connect()
            try:
                self._connection.request("POST", self._prefix + path, body=body, headers=headers)
                answer = self._connection.getresponse()
                data = answer.read()
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError) as error:
                self.close()
                if reused and attempt == 0:
                    continue  # the host closed an idle connection: once more on a new one
                raise VantrelError(f"the host {self._host} closed the connection: {error}") from error
            except (OSError, http.client.HTTPException) as error:
                self.close()
                raise VantrelError(f"cannot reach the host {self._host}: {error}") from error
            if answer.will_close:
                self.close()
            if answer.getheader("Content-Encoding", "").strip().lower() == "gzip":
                data = _gunzip(data)
            return answer.status, data, answer.getheader("Content-Type", "")
        raise AssertionError("unreachable")

    def call(self, service, operation, params):
        body = json.dumps(params, separators=(",", ":")).encode()
        status, data, _ = self._post(f"/v1/{service}/{operation}", body)
        return result_of(status, data)

    def history_page(self, tag_id, field_id, start_ns, end_ns, max_count, outsiders=0, step=False):
        """One read, answered by the host as columns (JSON from a host that does not offer them)."""
        request = _history_request(tag_id, field_id, start_ns, end_ns, max_count, outsiders, step)
        body = json.dumps({"request": [request]}, separators=(",", ":")).encode()
        accept = f"{_columns.MEDIA_TYPE}, application/json;q=0.5"
        status, data, content_type = self._post("/v1/access/GetHistoryValuesByIds", body, accept=accept)
        if status == 200 and content_type.split(";")[0].strip().lower() == _columns.MEDIA_TYPE:
            series = _columns.decode(data)
            empty = np.empty(0, np.int64), np.empty(0, np.float64), np.empty(0, np.int16), np.empty(0, np.int16), None
            return series.get((int(tag_id), int(field_id)), empty)
        result = result_of(status, data) or {}
        tag_values = result.get(str(tag_id), {}).get(str(field_id), [])
        return columns_of(tag_values)

    def close(self):
        if self._connection is not None:
            try:
                self._connection.close()
            except OSError:
                pass
            self._connection = None


# The most an answer may inflate to: a bomb of a few kilobytes must not fill memory.
_INFLATE_LIMIT = 1 << 30


def _gunzip(data):
    inflater = zlib.decompressobj(wbits=31)
    try:
        plain = inflater.decompress(data, _INFLATE_LIMIT)
    except zlib.error as error:
        raise VantrelError(f"the host's gzip answer is damaged: {error}") from None
    if inflater.unconsumed_tail:
        raise VantrelError(f"the host's answer inflates past {_INFLATE_LIMIT} bytes")
    if not inflater.eof:
        raise VantrelError("the host's gzip answer is cut short")
    return plain


__all__ = ["InProcess", "Host", "columns_of"]
