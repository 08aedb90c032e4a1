-- An echo exchange: what is sent comes back, Chinese text too (code page 936
-- on the wire, matched as the receive box shows it).
--
--   quorvex-run --port COM1 echo.lua

test("ASCII comes back", function()
  send("AT\r")
  check(expect("AT\r", 1000), "no echo")
end)

test("Chinese comes back", function()
  send("温度 23.5℃\r")
  local i, text = expect({"温度 23.5℃", "ERROR"}, 1000)
  check(i == 1, "got " .. tostring(text))
end)

test("a number in the answer", function()
  send("T=23.5\r")
  local i, _, value = expect(regex("T=(\\d+\\.\\d)"), 1000)
  check(i and tonumber(value) == 23.5, "no temperature")
end)
