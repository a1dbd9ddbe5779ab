-- wrk: GETs of the 200-byte static file nginx serves; the same report line.
local report = dofile(os.getenv("VNT_LOAD_DIR") .. "/report.lua")
done = report.done
