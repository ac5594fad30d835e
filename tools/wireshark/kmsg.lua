-- kmsg.lua: Wireshark and tshark dissector for the key messages that the
-- translator and the key daemon exchange over UDP port 5555 (docs/protocol.md).
-- Load it with `tshark -X lua_script:kmsg.lua`, or install it into a plugin
-- folder (`tshark -G folders` lists them). Display filter: kmsg.
--
-- Every datagram shows its header and its tags, each in a subtree; a
-- datagram that breaks a rule of "Invalid datagrams" gets an expert error
-- naming the rule, after the tags that came before the fault.

local kmsg = Proto("KMSG", "Key message")

local MSG_NAMES = { [0] = "MSG_SET", [1] = "MSG_REQ", [3] = "MSG_EVT" }
local TYPE_NAMES = { [1] = "str", [2] = "u32", [3] = "u16", [4] = "u8", [5] = "bytes" }
local TAG_NAMES = {
  [0] = "TAG_KEY_SN", [1] = "TAG_KEY_BOX", [8] = "TAG_KEY_SW", [11] = "TAG_KEY_BAR",
  [12] = "TAG_KEY_BATTERY", [19] = "TAG_LOCK_TAG", [20] = "TAG_LOCK_STATUS",
  [21] = "TAG_UNLOCK_REQ", [22] = "TAG_LOCK_REQ", [23] = "TAG_LOCK_DESC",
  [24] = "TAG_LOCK_TYPE", [26] = "TAG_TRANS_REQ", [32] = "TAG_TRANS_CNT",
  [35] = "TAG_SRV_NAME", [36] = "TAG_SRV_PORT",
}
-- The value type of each dictionary tag id 0..45 (index id + 1).
local DICTIONARY = {
  2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 4, 4, 4, 4, 2, 2, 2, 2, 2, 5, 1, 4, 4,
  1, 2, 4, 2, 2, 2, 2, 2, 4, 2, 4, 4, 1, 3, 5, 1, 2, 2, 3, 2, 1, 3, 4,
}
local MAX_VALUE = 1016      -- longest string or byte value
local MAX_DATAGRAM = 2048   -- longest datagram the translator reads
local INT_SIZES = { [2] = 4, [3] = 2, [4] = 1 }

local f = {
  id = ProtoField.uint8("kmsg.id", "Message id", base.DEC, MSG_NAMES),
  seq = ProtoField.uint8("kmsg.seq", "Sequence number", base.DEC, nil, 0x7F),
  more = ProtoField.bool("kmsg.more", "More segments follow", 8, nil, 0x80),
  tag_count = ProtoField.uint16("kmsg.tag_count", "Tag count", base.DEC),
  tag = ProtoField.none("kmsg.tag", "Tag"),
  tag_id = ProtoField.uint8("kmsg.tag.id", "Tag id", base.DEC, TAG_NAMES),
  tag_type = ProtoField.uint8("kmsg.tag.type", "Value type", base.DEC, TYPE_NAMES),
  tag_length = ProtoField.uint16("kmsg.tag.length", "Value length", base.DEC),
  str = ProtoField.string("kmsg.tag.str", "Value (str)"),
  u32 = ProtoField.uint32("kmsg.tag.u32", "Value (u32)", base.DEC),
  u16 = ProtoField.uint16("kmsg.tag.u16", "Value (u16)", base.DEC),
  u8 = ProtoField.uint8("kmsg.tag.u8", "Value (u8)", base.DEC),
  bytes = ProtoField.bytes("kmsg.tag.bytes", "Value (bytes)"),
}
local VALUE_FIELDS = { f.str, f.u32, f.u16, f.u8, f.bytes }  -- by type code
kmsg.fields = f

-- The rules of docs/protocol.md, "Invalid datagrams", by number.
local RULES = {
  "shorter than the 4-byte message header",
  "the datagram ends before tag count tags were read",
  "a tag's value length reaches past the end of the datagram",
  "a tag's value type code is not 1..5",
  "an integer tag's value length is not its size (u8 1, u16 2, u32 4)",
  "a string or byte value is longer than 1016 bytes",
  "a string value contains a zero byte",
  "a tag id 0..45 carries a value type other than its dictionary type",
  "bytes remain after the last counted tag",
}
local experts = {}
for n, text in ipairs(RULES) do
  experts[n] = ProtoExpert.new("kmsg.invalid." .. n, "Invalid key message, rule " .. n .. ": " .. text,
                               expert.group.MALFORMED, expert.severity.ERROR)
end
local too_long = ProtoExpert.new("kmsg.too_long",
                                 "Datagram longer than 2048 bytes: the translator drops it unread",
                                 expert.group.MALFORMED, expert.severity.ERROR)
kmsg.experts = { too_long, table.unpack(experts) }

-- The rule a tag breaks (3..8), or nil; `left` is the number of bytes after
-- its header.
local function broken_rule(buf, pos, id, code, length, left)
  if length > left then return 3 end
  if code < 1 or code > 5 then return 4 end
  if INT_SIZES[code] and INT_SIZES[code] ~= length then return 5 end
  if (code == 1 or code == 5) and length > MAX_VALUE then return 6 end
  if code == 1 and length > 0 and buf(pos + 4, length):raw():find("\0", 1, true) then return 7 end
  if id <= 45 and code ~= DICTIONARY[id + 1] and not (id == 26 and code == 4) then return 8 end
  return nil
end

function kmsg.dissector(buf, pinfo, tree)
  local len = buf:len()
  pinfo.cols.protocol = "KMSG"
  local root = tree:add(kmsg, buf())
  if len > MAX_DATAGRAM then root:add_proto_expert_info(too_long) end
  if len < 4 then
    root:add_proto_expert_info(experts[1])
    pinfo.cols.info = "Invalid key message (rule 1)"
    return len
  end
  local msg_id, seq, count = buf(0, 1):uint(), buf(1, 1):uint(), buf(2, 2):uint()
  root:add(f.id, buf(0, 1))
  root:add(f.seq, buf(1, 1))
  root:add(f.more, buf(1, 1))
  root:add(f.tag_count, buf(2, 2))
  local info = string.format("%s seq=%d%s", MSG_NAMES[msg_id] or ("id " .. msg_id), seq % 128,
                             seq >= 128 and " (more follows)" or "")
  local names, fault = {}, nil
  local pos = 4
  for _ = 1, count do
    if len - pos < 4 then fault = 2; break end
    local id, code, length = buf(pos, 1):uint(), buf(pos + 1, 1):uint(), buf(pos + 2, 2):uint()
    local item = root:add(f.tag, buf(pos, math.min(4 + length, len - pos)))
    item:add(f.tag_id, buf(pos, 1))
    item:add(f.tag_type, buf(pos + 1, 1))
    item:add(f.tag_length, buf(pos + 2, 2))
    local name = TAG_NAMES[id] or tostring(id)
    item:set_text(string.format("Tag %d%s, %s, %d bytes", id, TAG_NAMES[id] and (" " .. name) or "",
                                TYPE_NAMES[code] or ("type " .. code), length))
    fault = broken_rule(buf, pos, id, code, length, len - pos - 4)
    if fault then
      item:add_proto_expert_info(experts[fault])
      break
    end
    item:add(VALUE_FIELDS[code], buf:range(pos + 4, length))
    names[#names + 1] = name
    pos = pos + 4 + length
  end
  if not fault and pos ~= len then fault = 9 end
  if fault == 2 or fault == 9 then root:add_proto_expert_info(experts[fault]) end
  info = info .. string.format(" %d tag%s: %s", count, count == 1 and "" or "s",
                               table.concat(names, ", "))
  if fault then info = info .. string.format(" [invalid: rule %d]", fault) end
  pinfo.cols.info = info
  return len
end

DissectorTable.get("udp.port"):add(5555, kmsg)
