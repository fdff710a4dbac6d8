-- wrk script for scripts/loadtest: every wrk thread drives one connection (-t equal to -c), and
-- each keeps the session cookie its server last set, so every connection is one visitor with
-- its own session from its first response on. Responses outside 2xx are counted per thread and
-- reported by done() with the figures, one line the loadtest script reads.
local cookie = nil
non2xx = 0

function request()
  if cookie then
    return wrk.format("GET", nil, { ["Cookie"] = cookie })
  end
  return wrk.format("GET")
end

function response(status, headers, body)
  if status < 200 or status > 299 then non2xx = non2xx + 1 end
  local set = headers["Set-Cookie"] or headers["set-cookie"]
  if set then cookie = set:match("^[^;]+") end
end

local threads = {}
function setup(thread)
  table.insert(threads, thread)
end

function done(summary, latency, requests)
  local bad = 0
  for _, t in ipairs(threads) do bad = bad + (t:get("non2xx") or 0) end
  local e = summary.errors
  io.write(string.format(
    "LOADTEST requests=%d duration_us=%d rps=%.1f p50_us=%d p90_us=%d p99_us=%d max_us=%d " ..
    "non2xx=%d connect=%d read=%d write=%d timeout=%d status=%d\n",
    summary.requests, summary.duration, summary.requests / (summary.duration / 1e6),
    latency:percentile(50), latency:percentile(90), latency:percentile(99), latency.max,
    bad, e.connect, e.read, e.write, e.timeout, e.status))
end
