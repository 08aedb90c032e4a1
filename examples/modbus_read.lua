-- Reads ten holding registers from Modbus slave 1 and checks the reply:
-- its length, its byte count and its CRC.
--
--   quorvex-run --port /dev/ttyUSB0 --settings 9600,N,8,1 modbus_read.lua

-- CRC-16/MODBUS of a string of bytes.
local function crc16(bytes)
  local crc = 0xFFFF
  for i = 1, #bytes do
    crc = crc ~ bytes:byte(i)
    for _ = 1, 8 do
      if crc & 1 ~= 0 then crc = (crc >> 1) ~ 0xA001 else crc = crc >> 1 end
    end
  end
  return crc
end

test("read ten holding registers", function()
  -- The request's CRC (C5 CD) is appended by sendhex.
  sendhex("01 03 00 00 00 0A", "crc16-modbus")
  -- Address, function, 20 data bytes, then 20 bytes of data and 2 of CRC.
  local i, reply = expect(hex("01 03 14" .. string.rep(" ??", 22)), 1000)
  check(i, "no reply within 1 s")
  check(#reply == 25, "reply of " .. #reply .. " bytes")
  local body, low, high = reply:sub(1, 23), reply:byte(24), reply:byte(25)
  check(crc16(body) == low | (high << 8), "the reply's CRC is wrong")
  log(string.format("register 0 = %d", (reply:byte(4) << 8) | reply:byte(5)))
end)

test("an unknown function gets an exception", function()
  sendhex("01 2B 00 00", "crc16-modbus")
  local i, reply = expect(hex("01 AB ?? ?? ??"), 1000)
  check(i, "no exception reply")
  log(string.format("exception code %02X", reply:byte(3)))
end)
