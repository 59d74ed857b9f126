-- A wrk script: each request asks for the next path of a list (one path a line), starting again
-- from the first after the last. The list is named after "--":
--   wrk -s bench/paths.lua http://127.0.0.1:PORT -- PATHS_FILE
-- Each of wrk's threads reads the list for itself and walks it on its own.
local paths = {}
local next_path = 0

function init(args)
  local list = args[1] or error("paths.lua: name the list of paths after --")
  local file = assert(io.open(list, "r"))
  for line in file:lines() do
    if line ~= "" then paths[#paths + 1] = line end
  end
  file:close()
  if #paths == 0 then error("paths.lua: no paths in " .. list) end
end

function request()
  next_path = next_path % #paths + 1
  return wrk.format(nil, paths[next_path])
end
