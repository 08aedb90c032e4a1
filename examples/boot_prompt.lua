-- Catches a boot loader's prompt: an answer rule sends a key the moment
-- "Hit any key" arrives, inside the few milliseconds the loader waits.
--
--   quorvex-run --port /dev/ttyUSB0 --settings 115200,N,8,1 boot_prompt.lua

test("stop at the boot loader", function()
  local rule = on("Hit any key to stop autoboot", function() send(" ") end)
  send("reboot\r")
  local i = expect({"=> ", "login: "}, 5000)
  off(rule)
  check(i ~= nil, "the device did not boot")
  check(i == 1, "missed the autoboot window: the device booted on")
  log("at the boot loader's prompt")
end)
