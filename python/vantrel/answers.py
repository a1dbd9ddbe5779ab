"""Answers of a call, as the host gives them and the in-process module imitates.

A call answers a status and a JSON body: 200 {"result": ...} (or {} for an
operation without a result), 422 {"fault": {"errorType", "message"},
"reason"}, and {"error": "..."} for the other statuses. result_of turns one
into the result or the package's exception, the same way for both backends.
"""

import json

from .errors import AuthError, LimitError, RequestError, ServiceFault, UnavailableError, VantrelError


def _error_text(body):
    if isinstance(body, dict) and isinstance(body.get("error"), str):
        return body["error"]
    return json.dumps(body)[:500] if body is not None else "no answer"


def result_of(status, body_bytes):
    """The result of a call's answer, or the exception it stands for raised."""
    try:
        body = json.loads(body_bytes) if body_bytes else {}
    except ValueError:
        body = None
    if status == 200 and isinstance(body, dict):
        return body.get("result")
    if status == 422 and isinstance(body, dict):
        fault = body.get("fault") or {}
        raise ServiceFault(body.get("reason") or fault.get("message", ""), fault.get("errorType", ""),
                           fault.get("message", ""))
    text = _error_text(body)
    if status in (401, 403):
        raise AuthError(text, status)
    if status in (408, 413, 429):
        raise LimitError(text, status)
    if status in (400, 404, 405):
        raise RequestError(text, status)
    if status == 503:
        raise UnavailableError(text)
    raise VantrelError(f"unexpected answer {status}: {text}")
