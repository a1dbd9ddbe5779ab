"""Fixtures: the sample plant in a fresh store, and a client on it through
each backend (in process, and through vntaccessd when the build has it).

Every test that takes `client` runs once per backend with the same
expectations. The store holds the plant of examples/plant.json, with
TI1010.VALUE's history replaced by a long series (LONG_SERIES) so that reads
span several pages.
"""

import json
import os
import pathlib
import re
import signal
import subprocess
import threading

import pytest

import vantrel

SOURCE_DIR = pathlib.Path(os.environ.get("VANTREL_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
BUILD_DIR = pathlib.Path(os.environ.get("VANTREL_BUILD_DIR", SOURCE_DIR / "build"))
ACCOUNT_DOMAIN = "VNT"
USER = "operator"
PASSWORD = "plant-operator-Secret-1"

# TI1010.VALUE: LONG_COUNT values one second apart from LONG_START, value i
# at sample i, except that samples SHARED_FROM..SHARED_FROM+2 share one instant
# (the one of SHARED_FROM), straddling the end of the first page of 10,000.
LONG_START = "2024-02-01T00:00:00Z"
LONG_START_NS = 1_706_745_600 * 10**9
LONG_COUNT = 25_000
SHARED_FROM = 9_999


def long_series_second(i):
    return SHARED_FROM if SHARED_FROM <= i <= SHARED_FROM + 2 else i


def _plant_with_long_series(path):
    plant = json.loads((SOURCE_DIR / "examples" / "plant.json").read_text())
    samples = []
    for i in range(LONG_COUNT):
        seconds = 1_706_745_600 + long_series_second(i)
        stamp = f"{_iso(seconds)}"
        samples.append([stamp, float(i)])
    for entry in plant["history"]:
        if entry["record"] == "TI1010" and entry["field"] == "VALUE":
            entry["samples"] = samples
    path.write_text(json.dumps(plant))


def _iso(seconds):
    import datetime
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


@pytest.fixture(scope="session")
def plant_store(tmp_path_factory):
    folder = tmp_path_factory.mktemp("plant")
    source = folder / "plant.json"
    _plant_with_long_series(source)
    store = folder / "plant.db"
    vantrel.import_database(source, store)
    return store


class _Host:
    """vntaccessd on a loopback port over the plant store, with one user."""

    def __init__(self, program, store, workdir):
        users = workdir / "users"
        subprocess.run([str(program), "user", "add", USER, "--users", str(users), "--password-stdin"],
                       input=PASSWORD.encode(), check=True, timeout=60, capture_output=True)
        # The host takes the library's reference as the installation's
        # system account, which the plant's registry export names.
        environment = dict(os.environ, VANTREL_REGISTRY=str(SOURCE_DIR / "examples" / "registry.reg"))
        self.process = subprocess.Popen(
            [str(program), "--database", str(store), "--listen", "127.0.0.1:0", "--insecure", "--users",
             str(users), "--domain", ACCOUNT_DOMAIN],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        self.url = self._await_listening()

    def _await_listening(self):
        line = []
        reader = threading.Thread(target=lambda: line.append(self.process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(30)
        text = line[0].decode(errors="replace").strip() if line else ""
        match = re.fullmatch(r"listening on (https?://\S+)", text)
        if not match:
            self.stop()
            raise RuntimeError(f"vntaccessd did not start: {text!r} {self.process.stderr.read()[:2000]!r}")
        # --insecure serves plain HTTP on loopback whatever the line's scheme.
        return match.group(1).replace("https://", "http://")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)


@pytest.fixture(scope="session")
def host(plant_store, tmp_path_factory):
    program = BUILD_DIR / "host" / "vntaccessd"
    if not program.exists():
        pytest.skip(f"vntaccessd is not built ({program}); the host backend is tested once the host is built")
    running = _Host(program, plant_store, tmp_path_factory.mktemp("host"))
    yield running
    running.stop()


@pytest.fixture(params=["in-process", "host"])
def backend_kind(request):
    return request.param


@pytest.fixture
def client(backend_kind, plant_store, request):
    if backend_kind == "in-process":
        opened = vantrel.connect(plant_store, user=f"{ACCOUNT_DOMAIN}\\{USER}")
    else:
        running = request.getfixturevalue("host")
        opened = vantrel.connect(running.url, user=USER, password=PASSWORD)
    yield opened
    opened.close()
