#!/usr/bin/env python3
"""The Python package's history reads against the same read in C++, in one run.

Usage: PYTHONPATH=build/python python3 bench/python_history_bench.py [BUILD] [RUNS]

Builds a database with build/bench/python_history_baseline (H1.VALUE: 1,000,000
history values; H2, H3: 333,334), then measures the least CPU time (process
time, of RUNS runs, 5 by default) of:
  cpp     the C++ read of H1's 1,000,000 values into the library's contract
          types, paged at the per-call limit (python_history_baseline read)
  numpy   client.history_arrays("H1.VALUE", ...): the same values into NumPy
  wide    client.history(["H1.VALUE", "H2.VALUE", "H3.VALUE"], ..., wide=True):
          1,000,002 values into a wide DataFrame of 3 tags
and prints each with its ratio to cpp (targets: numpy at most 1.5, wide at most 3).
cpp is measured on a settled heap (malloc keeps what it frees, python_history_baseline);
numpy and wide are measured both with glibc's defaults and with the same settings.
With --host it starts BUILD/host/vntaccessd on a loopback port over the same
database (plain HTTP, a user made on the spot) and measures the NumPy read
through it too: elapsed time against the in-process read's (target at most
3), and the client's CPU. The client reads history as columns. With
VANTREL_HOST_URL (and VANTREL_HOST_USER, VANTREL_HOST_PASSWORD) it uses that
host instead, which must serve a database made by the same command.
"""

import ctypes
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import vantrel

START = "2024-01-01T00:00:00Z"
END_LONG = "2024-01-12T13:46:40Z"   # START + 1,000,000 s
END_SHORT = "2024-01-04T20:35:33Z"  # START + 333,333 s


def least(runs, work):
    best = None
    for _ in range(runs):
        before = time.process_time()
        work()
        spent = time.process_time() - before
        best = spent if best is None else min(best, spent)
    return best


def least_elapsed(runs, work):
    best = None
    for _ in range(runs):
        before = time.perf_counter()
        work()
        spent = time.perf_counter() - before
        best = spent if best is None else min(best, spent)
    return best


class LoopbackHost:
    """vntaccessd over database on a free loopback port, with one user."""

    USER, PASSWORD = "bench", "bench-Secret-1"

    def __init__(self, build, database, work):
        program = build / "host" / "vntaccessd"
        users = pathlib.Path(work) / "users"
        subprocess.run([str(program), "user", "add", self.USER, "--users", str(users), "--password-stdin"],
                       input=self.PASSWORD.encode(), check=True, capture_output=True, timeout=60)
        source = pathlib.Path(__file__).resolve().parents[1]
        environment = dict(os.environ, VANTREL_REGISTRY=str(source / "examples" / "registry.reg"))
        self.process = subprocess.Popen([str(program), "--database", str(database), "--listen", "127.0.0.1:0",
                                         "--insecure", "--users", str(users), "--domain", "VNT"],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment)
        line = self.process.stdout.readline().decode().strip()
        match = re.fullmatch(r"listening on https?://(\S+)", line)
        if not match:
            self.process.kill()
            raise RuntimeError(f"vntaccessd did not start: {line!r}")
        self.url = f"http://{match.group(1)}"

    def stop(self):
        self.process.terminate()
        self.process.wait(30)


def main():
    args = [a for a in sys.argv[1:] if a != "--host"]
    start_host = "--host" in sys.argv[1:]
    build = pathlib.Path(args[0] if args else "build")
    runs = int(args[1]) if len(args) > 1 else 5
    baseline = build / "bench" / "python_history_baseline"
    with tempfile.TemporaryDirectory(prefix="vantrel-pybench.") as work:
        database = pathlib.Path(work) / "bench.db"
        subprocess.run([str(baseline), "make", str(database)], check=True)
        answer = subprocess.run([str(baseline), "read", str(database), str(runs)], check=True,
                                capture_output=True, text=True).stdout
        figures = dict(line.split() for line in answer.splitlines())
        cpp = float(figures["cpu_seconds"])
        client = vantrel.connect(database)
        arrays = client.history_arrays("H1.VALUE", START, END_LONG)
        assert len(arrays) == 1_000_000, len(arrays)
        wide = client.history(["H1.VALUE", "H2.VALUE", "H3.VALUE"], START, END_SHORT, wide=True)
        assert int(wide.notna().sum().sum()) == 1_000_002, wide.shape
        def measure():
            numpy = least(runs, lambda: client.history_arrays("H1.VALUE", START, END_LONG))
            frame = least(runs, lambda: client.history(["H1.VALUE", "H2.VALUE", "H3.VALUE"], START, END_SHORT,
                                                        wide=True))
            return numpy, frame
        numpy_plain, frame_plain = measure()
        # The baseline's figure is its settled heap (malloc keeps what it frees),
        # so the Python reads are measured so too, with the same two settings; a
        # process left as glibc starts it pays the first touch of its fresh
        # result arrays on every read, which the first pair of lines shows.
        settle_heap()
        numpy, frame = measure()
        print(f"1,000,000 history values, least CPU of {runs} runs")
        print(f"  cpp    (contract types)   {cpp:8.3f} s   (in a fresh process's heap: "
              f"{float(figures['cpu_seconds_fresh_heap']):.3f} s)")
        print(f"  numpy, glibc's defaults   {numpy_plain:8.3f} s   ratio {numpy_plain / cpp:5.2f}")
        print(f"  wide,  glibc's defaults   {frame_plain:8.3f} s   ratio {frame_plain / cpp:5.2f}")
        print(f"  numpy  (history_arrays)   {numpy:8.3f} s   ratio {numpy / cpp:5.2f}  (target <= 1.5)")
        print(f"  wide   (DataFrame, 3 tags){frame:8.3f} s   ratio {frame / cpp:5.2f}  (target <= 3)")
        url = os.environ.get("VANTREL_HOST_URL")
        user, password = os.environ.get("VANTREL_HOST_USER"), os.environ.get("VANTREL_HOST_PASSWORD")
        host = None
        if start_host and not url:
            host = LoopbackHost(build, database, work)
            url, user, password = host.url, LoopbackHost.USER, LoopbackHost.PASSWORD
        try:
            if url:
                measure_host(client, url, user, password, runs, host.process.pid if host else None)
        finally:
            if host is not None:
                host.stop()
        client.close()


def settle_heap():
    """The malloc settings python_history_baseline measures its settled heap with."""
    libc = ctypes.CDLL("libc.so.6")
    m_trim_threshold, m_mmap_threshold = -1, -3
    if not (libc.mallopt(m_mmap_threshold, 64 << 20) and libc.mallopt(m_trim_threshold, 256 << 20)):
        raise RuntimeError("mallopt refused the baseline's settings")


def process_cpu(pid):
    """CPU seconds (user and system) a process has spent, from /proc."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure_host(client, url, user, password, runs, host_pid=None):
    local = least_elapsed(runs, lambda: client.history_arrays("H1.VALUE", START, END_LONG))
    remote_client = vantrel.connect(url, user=user, password=password, cafile=os.environ.get("VANTREL_HOST_CAFILE"))
    remote_arrays = remote_client.history_arrays("H1.VALUE", START, END_LONG)
    local_arrays = client.history_arrays("H1.VALUE", START, END_LONG)
    assert len(remote_arrays) == 1_000_000 and (remote_arrays.values == local_arrays.values).all()
    remote = least_elapsed(runs, lambda: remote_client.history_arrays("H1.VALUE", START, END_LONG))
    host_before = process_cpu(host_pid) if host_pid else None
    remote_cpu = least(runs, lambda: remote_client.history_arrays("H1.VALUE", START, END_LONG))
    if host_pid:
        host_cpu = (process_cpu(host_pid) - host_before) / runs
        print(f"  host   (host CPU, mean)   {host_cpu:8.3f} s   per 1,000,000 values, {runs} runs")
    print(f"  host   (elapsed)          {remote:8.3f} s   ratio {remote / local:5.2f} to in process "
          f"{local:.3f} s  (target <= 3)")
    print(f"  host   (client CPU)       {remote_cpu:8.3f} s")
    remote_client.close()


if __name__ == "__main__":
    main()
