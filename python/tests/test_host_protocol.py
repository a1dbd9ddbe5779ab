"""The host backend's side of the protocol, against a loopback stand-in that
answers the host's routes from the in-process module: what the client sends,
how it reads answers and errors, keep-alive, and history parsed from JSON
equal to history read into arrays in process."""

import base64
import http.server
import json
import threading

import numpy as np
import pytest

import vantrel
from vantrel import _vantrel
from vantrel.answers import result_of
from vantrel.backends import Host
from conftest import LONG_START

USERS = {"operator": "right-password"}


class StandIn(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    connections = 0
    close_after_answer = False

    def setup(self):
        super().setup()
        type(self).connections += 1

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        account = self._account()
        if account is None:
            return self._answer(401, b'{"error": "not authenticated"}')
        parts = self.path.split("/")
        if len(parts) != 4 or parts[1] != "v1":
            return self._answer(404, b'{"error": "no such route"}')
        status, answer = _vantrel.call(parts[2], parts[3], body.decode(), account)
        self._answer(status, answer)

    def _account(self):
        header = self.headers.get("Authorization", "")
        if not header.startswith("Basic "):
            return None
        user, _, password = base64.b64decode(header[6:]).decode().partition(":")
        return f"VNT\\{user}" if USERS.get(user) == password else None

    def _answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        if type(self).close_after_answer:
            self.close_connection = True  # without saying so, as an idle timeout does


@pytest.fixture
def stand_in(plant_store):
    _vantrel.open(str(plant_store))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), StandIn)
    StandIn.connections = 0
    StandIn.close_after_answer = False
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    _vantrel.close()


def test_history_parsed_from_json_equals_the_arrays_read_in_process(stand_in, plant_store):
    remote = vantrel.connect(stand_in, user="operator", password="right-password")
    local = vantrel.connect(plant_store)
    for name, end in (("TI1010.VALUE", "2024-02-02"), ("PI201.VALUE", "2024-03-07")):
        a = remote.history_arrays(name, LONG_START, end)
        b = local.history_arrays(name, LONG_START, end)
        for column in ("times", "values", "status", "level"):
            assert np.array_equal(getattr(a, column), getattr(b, column)), (name, column)
            assert getattr(a, column).dtype == getattr(b, column).dtype
    assert remote.read(["TI101.VALUE", "TI101.TREND"]).equals(local.read(["TI101.VALUE", "TI101.TREND"]))
    remote.close()
    local.close()


def test_calls_share_one_keep_alive_connection_and_survive_its_close(stand_in):
    client = vantrel.connect(stand_in, user="operator", password="right-password")
    for _ in range(5):
        client.read("TI101.VALUE")
    assert StandIn.connections == 1
    StandIn.close_after_answer = True
    for _ in range(3):
        assert client.read("TI101.VALUE").loc[0, "value"] == pytest.approx(73.8)
    assert StandIn.connections == 3


def test_a_wrong_password_is_an_auth_error(stand_in):
    client = vantrel.connect(stand_in, user="operator", password="wrong")
    with pytest.raises(vantrel.AuthError):
        client.read("TI101.VALUE")


@pytest.mark.parametrize("status, error", [
    (401, vantrel.AuthError), (403, vantrel.AuthError), (413, vantrel.LimitError), (429, vantrel.LimitError),
    (400, vantrel.RequestError), (404, vantrel.RequestError), (503, vantrel.UnavailableError),
    (500, vantrel.VantrelError),
])
def test_every_error_status_has_its_exception_with_the_hosts_sentence(status, error):
    with pytest.raises(error, match="the limit is 20000 items"):
        result_of(status, b'{"error": "the limit is 20000 items"}')


def test_a_fault_keeps_the_librarys_reason_and_detail():
    body = json.dumps({"fault": {"errorType": "ApplicationException", "message": "first"}, "reason": "why"})
    with pytest.raises(vantrel.ServiceFault) as raised:
        result_of(422, body.encode())
    assert (str(raised.value), raised.value.error_type, raised.value.message) == ("why", "ApplicationException",
                                                                                  "first")


def test_credentials_never_go_in_plain_http_off_loopback():
    with pytest.raises(ValueError, match="loopback"):
        Host("http://plant.example:8080", user="operator", password="secret")
    with pytest.raises(ValueError, match="not an https"):
        Host("ftp://plant.example", user="operator", password="secret")
    assert Host("https://plant.example:8443", token="abc")._headers["Authorization"] == "Bearer abc"


def test_in_process_takes_no_password():
    with pytest.raises(ValueError, match="in process"):
        vantrel.connect("/tmp/some.db", user="operator", password="secret")
