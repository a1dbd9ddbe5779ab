-- wrk: one-tag reads through vntaccessd, POST with a bearer token (from
-- the VNT_TOKEN variable). done() prints one line that host_load.sh reads.
wrk.method = "POST"
wrk.body = '{"tagList": {"TI101": ["VALUE"]}}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("VNT_TOKEN")

local report = dofile(os.getenv("VNT_LOAD_DIR") .. "/report.lua")
done = report.done
