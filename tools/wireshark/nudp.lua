-- NUDP, the camera's command and data protocol over UDP, for Wireshark and tshark.
--
--   wireshark -X lua_script:tools/wireshark/nudp.lua capture.pcap
--   tshark -2 -X lua_script:tools/wireshark/nudp.lua -r capture.pcap
--
-- or copy this file into the personal Lua plugins folder (Help > About > Folders). The
-- dissector takes UDP ports 1234 (camera), 32100 (driver), 32101 (watchdog) and 32102, and any
-- other UDP datagram that starts with the signature FF 00 and has a right header checksum.
--
-- Every datagram is one packet: an 8-byte header (signature FF 00, TOP byte, checksum, 32-bit
-- number field least significant byte first) and 0 to 1024 data bytes. A command (response flag
-- clear) is answered by one packet that repeats its header with bit 7 of the TOP byte set; TOP
-- byte 0x07 is a RAW data packet, whose number field counts 16-bit words from the start of the
-- image. Requests and their answers are linked, and RAW data packets that arrive twice or leave
-- a gap are noted; tshark needs -2 (two passes) to show a request's link to its answer.

local nudp = Proto("nudp", "NUDP camera protocol")

local HEADER_LENGTH = 8
local MAX_DATA_LENGTH = 1024
local RAW_PACKET_DATA_LENGTH = 1024
local RAW_PACKETS_PER_IMAGE = 8248
local RAW_IMAGE_SIZE = 0x80E000
local RAW_TOP_BYTE = 0x07
local TOP_FREE_HIGH = 5
local TOP_RETRANSMIT = 6
local STATUS_FINISHED = 0x10
local ID_TEXT_OFFSET = 10
local PORTS = { 1234, 32100, 32101, 32102 }
-- An answer is linked to the oldest unanswered request with its header that is at most this
-- old; a driver repeats an unanswered command after 100 ms.
local ANSWER_WINDOW_SECONDS = 2

local top_names = {
  [0] = "command",
  [1] = "command, TOP 1",
  [2] = "command, TOP 2",
  [3] = "command, TOP 3",
  [4] = "command, TOP 4",
  [5] = "command, answer may change number bytes 6-7",
  [6] = "retransmission",
  [7] = "RAW data",
}

local checksum_status_names = { [0] = "Bad", [1] = "Good" }

local function framenum_field(abbr, name, kind)
  -- Older Wireshark versions have no frame types; the link then shows without its arrow.
  if frametype ~= nil then
    return ProtoField.framenum(abbr, name, base.NONE, frametype[kind])
  end
  return ProtoField.framenum(abbr, name, base.NONE)
end

local pf = {
  signature = ProtoField.uint16("nudp.signature", "Signature", base.HEX),
  top_byte = ProtoField.uint8("nudp.top_byte", "TOP byte", base.HEX),
  response = ProtoField.bool("nudp.response", "Camera response", 8, nil, 0x80),
  reserved = ProtoField.uint8("nudp.reserved", "Reserved", base.HEX, nil, 0x70),
  top = ProtoField.uint8("nudp.top", "TOP", base.DEC, top_names, 0x0F),
  checksum = ProtoField.uint8("nudp.checksum", "Checksum", base.HEX),
  checksum_status = ProtoField.uint8("nudp.checksum.status", "Checksum status", base.DEC,
    checksum_status_names),
  checksum_calculated = ProtoField.uint8("nudp.checksum.calculated", "Calculated checksum",
    base.HEX),
  number = ProtoField.uint32("nudp.number", "Number field", base.HEX),
  command_code = ProtoField.uint8("nudp.command.code", "Command code", base.HEX),
  command_name = ProtoField.string("nudp.command.name", "Command"),
  packet_index = ProtoField.uint32("nudp.packet_index", "Packet index", base.DEC),
  byte_offset = ProtoField.uint32("nudp.byte_offset", "Byte offset", base.HEX),
  data_length = ProtoField.uint32("nudp.data_length", "Data length", base.DEC),
  data = ProtoField.bytes("nudp.data", "Data"),
  status = ProtoField.uint8("nudp.status", "Transfer status", base.HEX),
  status_finished = ProtoField.bool("nudp.status.finished", "finished", 8, nil, STATUS_FINISHED),
  id_head = ProtoField.bytes("nudp.id.head", "Identification bytes 0-9"),
  id_text = ProtoField.stringz("nudp.id.text", "Identification"),
  response_in = framenum_field("nudp.response_in", "Answer in", "RESPONSE"),
  response_to = framenum_field("nudp.response_to", "Answer to", "REQUEST"),
  response_time = ProtoField.relative_time("nudp.time", "Time since request"),
  duplicate_of = framenum_field("nudp.raw.duplicate_of", "First received in", "NONE"),
  missing_before = ProtoField.uint32("nudp.raw.missing_before", "Packets not seen before this",
    base.DEC),
}
nudp.fields = pf

local ex = {
  too_short = ProtoExpert.new("nudp.too_short", "Shorter than a NUDP header (8 bytes)",
    expert.group.MALFORMED, expert.severity.ERROR),
  no_signature = ProtoExpert.new("nudp.no_signature", "No NUDP signature",
    expert.group.MALFORMED, expert.severity.ERROR),
  too_long = ProtoExpert.new("nudp.too_long", "More than 1024 data bytes",
    expert.group.MALFORMED, expert.severity.ERROR),
  bad_checksum = ProtoExpert.new("nudp.checksum.bad", "Wrong header checksum",
    expert.group.CHECKSUM, expert.severity.WARN),
  reserved = ProtoExpert.new("nudp.reserved.set", "Reserved bits of the TOP byte set",
    expert.group.PROTOCOL, expert.severity.NOTE),
  outside_image = ProtoExpert.new("nudp.outside_image", "Packet index outside the image",
    expert.group.PROTOCOL, expert.severity.NOTE),
  unknown_command = ProtoExpert.new("nudp.command.unknown", "Command outside the vocabulary",
    expert.group.PROTOCOL, expert.severity.NOTE),
  duplicate = ProtoExpert.new("nudp.raw.duplicate", "RAW data packet received again",
    expert.group.SEQUENCE, expert.severity.NOTE),
  gap = ProtoExpert.new("nudp.raw.gap", "RAW data packets not seen",
    expert.group.SEQUENCE, expert.severity.NOTE),
}
nudp.experts = ex

-- State built on the first pass over a capture and read on every later one.
local pending       -- request key -> list of { frame, time } not yet answered
local answer_of     -- answer frame -> { frame, time } of its request
local answered_in   -- request frame -> answer frame
local streams       -- RAW direction key -> { seen = index -> frame, last = index }
local duplicate_of  -- RAW frame -> frame that first brought its index
local gap_before    -- RAW frame -> { first, last, count } of indices not seen before it

local function reset_state()
  pending, answer_of, answered_in = {}, {}, {}
  streams, duplicate_of, gap_before = {}, {}, {}
end
reset_state()
nudp.init = reset_state  -- called before each (re)load of a capture

local function header_checksum(buf)
  local sum = 0
  for i = 0, HEADER_LENGTH - 1 do
    if i ~= 3 then sum = sum + buf(i, 1):uint() end
  end
  return 255 - (sum % 256)
end

local function command_name(number)
  if number == 0x105 then return "binning on" end
  if number % 256 == 0x08 then return "start RAW data taking" end
  if number == 0x0A then return "transfer status" end
  if number == 0xEF then return "identification" end
  if number == 0xFC then return "watchdog refresh" end
  return nil
end

local function hex_code(number)
  return string.format("0x%02X", number)
end

local function endpoint(address, port)
  return tostring(address) .. ":" .. tostring(port)
end

-- A request and its answer share a key: host and camera endpoints, TOP and the number field
-- (for TOP 5 only bytes 4 and 5 of it, as the answer may change bytes 6 and 7).
local function exchange_key(host, camera, top, number)
  if top == TOP_FREE_HIGH then number = number % 65536 end
  return string.format("%s>%s/%d/%X", host, camera, top, number)
end

local function link_request(pinfo, key)
  local list = pending[key]
  if list == nil then
    list = {}
    pending[key] = list
  end
  list[#list + 1] = { frame = pinfo.number, time = pinfo.abs_ts }
end

local function link_answer(pinfo, key)
  local list = pending[key]
  if list == nil then return end
  while #list > 0 do
    local request = table.remove(list, 1)
    if pinfo.abs_ts - request.time <= ANSWER_WINDOW_SECONDS then
      answer_of[pinfo.number] = request
      answered_in[request.frame] = pinfo.number
      return
    end
  end
end

-- Notes duplicates and gaps of a RAW stream, on the first pass.
local function track_raw(pinfo, index)
  local key = endpoint(pinfo.src, pinfo.src_port) .. ">" .. endpoint(pinfo.dst, pinfo.dst_port)
  local s = streams[key]
  if s == nil then
    s = { seen = {}, last = -1 }
    streams[key] = s
  end
  if s.seen[index] ~= nil then
    duplicate_of[pinfo.number] = s.seen[index]
    return
  end
  s.seen[index] = pinfo.number
  if index > s.last + 1 then
    local count = 0
    for i = s.last + 1, index - 1 do
      if s.seen[i] == nil then count = count + 1 end
    end
    if count > 0 then
      gap_before[pinfo.number] = { first = s.last + 1, last = index - 1, count = count }
    end
  end
  if index > s.last then s.last = index end
end

-- A 0x08 command starts a new image towards its sender.
local function reset_stream(pinfo)
  local key = endpoint(pinfo.dst, pinfo.dst_port) .. ">" .. endpoint(pinfo.src, pinfo.src_port)
  streams[key] = nil
end

local function to_nstime(seconds)
  local whole = math.floor(seconds)
  return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

-- Index, offset and data length of RAW data (number field in 16-bit words).
local function add_image_place(tree, buf, number, data_length, with_length)
  local offset = number * 2
  local index = math.floor(offset / RAW_PACKET_DATA_LENGTH)
  tree:add(pf.packet_index, buf(4, 4), index):set_generated()
  if offset < 4294967296 then
    tree:add(pf.byte_offset, buf(4, 4), offset):set_generated()
  end
  if with_length then tree:add(pf.data_length, data_length):set_generated() end
  if index >= RAW_PACKETS_PER_IMAGE or offset + data_length > RAW_IMAGE_SIZE then
    tree:add_proto_expert_info(ex.outside_image, string.format(
      "Packet index %d (byte offset 0x%X, %d bytes) outside the image of %d packets",
      index, offset, data_length, RAW_PACKETS_PER_IMAGE))
  end
  return index, offset
end

local function add_links(tree, pinfo)
  local answer = answered_in[pinfo.number]
  if answer ~= nil then tree:add(pf.response_in, answer):set_generated() end
  local request = answer_of[pinfo.number]
  if request ~= nil then
    tree:add(pf.response_to, request.frame):set_generated()
    tree:add(pf.response_time, to_nstime(pinfo.abs_ts - request.time)):set_generated()
  end
end

-- The data of an answer, laid out by the command it answers; returns text for the Info column.
local function add_answer_data(tree, buf, top, number, data_length)
  if data_length == 0 then return "" end
  local data = buf(HEADER_LENGTH, data_length)
  if top == 0 and number == 0x0A and data_length >= 2 then
    tree:add(pf.data, data)
    local status = buf(HEADER_LENGTH + 1, 1)
    local item = tree:add(pf.status, status)
    item:add(pf.status_finished, status)
    if math.floor(status:uint() / STATUS_FINISHED) % 2 == 1 then return ": finished" end
    return ": not finished"
  end
  if top == 0 and number == 0xEF and data_length > ID_TEXT_OFFSET then
    tree:add(pf.data, data)
    tree:add(pf.id_head, buf(HEADER_LENGTH, ID_TEXT_OFFSET))
    local text_range = buf(HEADER_LENGTH + ID_TEXT_OFFSET, data_length - ID_TEXT_OFFSET)
    tree:add(pf.id_text, text_range)
    return ": \"" .. text_range:stringz() .. "\""
  end
  tree:add(pf.data, data)
  return ""
end

local function dissect(buf, pinfo, tree)
  local length = buf:len()
  pinfo.cols.protocol = "NUDP"
  local root = tree:add(nudp, buf())

  if length < HEADER_LENGTH then
    pinfo.cols.info = string.format("Not NUDP: %d bytes", length)
    root:add_proto_expert_info(ex.too_short)
    return length
  end
  local signature = root:add(pf.signature, buf(0, 2))
  if buf(0, 1):uint() ~= 0xFF or buf(1, 1):uint() ~= 0x00 then
    pinfo.cols.info = "Not NUDP: no signature"
    signature:add_proto_expert_info(ex.no_signature)
    return length
  end

  local top_byte = buf(2, 1):uint()
  local top = top_byte % 16
  local is_answer = top_byte >= 0x80
  local is_raw = top_byte == RAW_TOP_BYTE
  local number = buf(4, 4):le_uint()
  local data_length = length - HEADER_LENGTH

  local top_item = root:add(pf.top_byte, buf(2, 1))
  top_item:add(pf.response, buf(2, 1))
  local reserved_item = top_item:add(pf.reserved, buf(2, 1))
  top_item:add(pf.top, buf(2, 1))
  if math.floor(top_byte / 16) % 8 ~= 0 then reserved_item:add_proto_expert_info(ex.reserved) end

  local expected = header_checksum(buf)
  local good = expected == buf(3, 1):uint()
  local checksum_item = root:add(pf.checksum, buf(3, 1))
  if good then
    checksum_item:append_text(" [correct]")
  else
    checksum_item:append_text(string.format(" [incorrect, should be 0x%02x]", expected))
    checksum_item:add_proto_expert_info(ex.bad_checksum, string.format(
      "Wrong header checksum 0x%02X, should be 0x%02X", buf(3, 1):uint(), expected))
  end
  checksum_item:add(pf.checksum_calculated, buf(3, 1), expected):set_generated()
  checksum_item:add(pf.checksum_status, buf(3, 1), good and 1 or 0):set_generated()

  root:add_le(pf.number, buf(4, 4))
  if data_length > MAX_DATA_LENGTH then
    root:add_proto_expert_info(ex.too_long, string.format(
      "%d data bytes; a NUDP packet carries at most %d", data_length, MAX_DATA_LENGTH))
  end

  local info
  if is_raw then
    local index, offset = add_image_place(root, buf, number, data_length, true)
    info = string.format("RAW data #%d offset 0x%X", index, offset)
    if not pinfo.visited and index < RAW_PACKETS_PER_IMAGE then track_raw(pinfo, index) end
    local first = duplicate_of[pinfo.number]
    if first ~= nil then
      root:add(pf.duplicate_of, first):set_generated()
      root:add_proto_expert_info(ex.duplicate, string.format(
        "RAW data #%d received again, first in frame %d", index, first))
      info = info .. " (again)"
    end
    local gap = gap_before[pinfo.number]
    if gap ~= nil then
      root:add(pf.missing_before, gap.count):set_generated()
      local which = gap.first == gap.last and string.format("#%d", gap.first)
        or string.format("#%d to #%d", gap.first, gap.last)
      root:add_proto_expert_info(ex.gap, string.format(
        "%d RAW data packet(s) not seen before this one (%s)", gap.count, which))
    end
    if data_length > 0 then root:add(pf.data, buf(HEADER_LENGTH, data_length)) end
  elseif top == TOP_RETRANSMIT then
    local index, offset = add_image_place(root, buf, number, data_length, is_answer)
    if is_answer then
      info = string.format("Retransmitted RAW data #%d offset 0x%X", index, offset)
      if data_length > 0 then root:add(pf.data, buf(HEADER_LENGTH, data_length)) end
    else
      info = string.format("Retransmission request #%d", index)
    end
  else
    local name = command_name(number)
    root:add(pf.command_code, buf(4, 1))
    local name_item = root:add(pf.command_name, buf(4, 4), name or "unknown")
    name_item:set_generated()
    if name == nil then name_item:add_proto_expert_info(ex.unknown_command) end
    local what = hex_code(number) .. (name and " " .. name or "")
    if top ~= 0 then what = what .. string.format(" (TOP %d)", top) end
    if is_answer then
      info = "Answer to " .. what .. add_answer_data(root, buf, top, number, data_length)
    else
      info = "Command " .. what
      if data_length > 0 then root:add(pf.data, buf(HEADER_LENGTH, data_length)) end
    end
  end

  if not is_raw and not pinfo.visited then
    if is_answer then
      link_answer(pinfo, exchange_key(endpoint(pinfo.dst, pinfo.dst_port),
        endpoint(pinfo.src, pinfo.src_port), top, number))
    else
      link_request(pinfo, exchange_key(endpoint(pinfo.src, pinfo.src_port),
        endpoint(pinfo.dst, pinfo.dst_port), top, number))
      if top == 0 and number % 256 == 0x08 then reset_stream(pinfo) end
    end
  end
  add_links(root, pinfo)

  if not good then info = info .. " [wrong checksum]" end
  pinfo.cols.info = info
  root:append_text(", " .. info)
  return length
end

function nudp.dissector(buf, pinfo, tree)
  return dissect(buf, pinfo, tree)
end

-- Other ports: a NUDP header is taken as such only with its signature and a right checksum.
local function heuristic(buf, pinfo, tree)
  local length = buf:len()
  if length < HEADER_LENGTH or length > HEADER_LENGTH + MAX_DATA_LENGTH then return false end
  if buf(0, 1):uint() ~= 0xFF or buf(1, 1):uint() ~= 0x00 then return false end
  if header_checksum(buf) ~= buf(3, 1):uint() then return false end
  dissect(buf, pinfo, tree)
  return true
end

local udp_port = DissectorTable.get("udp.port")
for _, port in ipairs(PORTS) do udp_port:add(port, nudp) end
nudp:register_heuristic("udp", heuristic)
