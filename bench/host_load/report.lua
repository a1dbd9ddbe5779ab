-- The line wrk's done() prints for host_load.sh: requests per second, p99
-- latency in microseconds and every kind of error wrk counts (a status
-- other than 2xx or 3xx counts as one).
local report = {}
function report.done(summary, latency, requests)
  local e = summary.errors
  local errors = e.connect + e.read + e.write + e.status + e.timeout
  io.write(string.format("RESULT requests=%d rps=%.0f p99_us=%d errors=%d connect=%d read=%d write=%d status=%d timeout=%d\n",
    summary.requests, summary.requests / (summary.duration / 1e6), latency:percentile(99), errors,
    e.connect, e.read, e.write, e.status, e.timeout))
end
return report
