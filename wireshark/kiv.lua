-- Wireshark dissector for the KIV protocol of networked audio frames: UDP
-- ports 6000, 6004, 6015 and 6016. It decodes the 28-byte command header,
-- checks the checksum word and decodes the bodies of broadcast-ID requests and
-- replies (command 4), the extended broadcast-ID message (command 5) with its
-- inner message, KIV texts and their replies (command 701, text or meter-data
-- record) and Acks (command 2).
--
-- Every read is bounded by the datagram: a short or inconsistent datagram is
-- decoded as far as it goes and marked with an expert item, never a Lua error.
--
--   wireshark -X lua_script:/usr/share/kiv/wireshark/kiv.lua capture.pcap
--   tshark -X lua_script:kiv.lua -r capture.pcap -Y kiv

local kiv = Proto("kiv", "KIV frame protocol")

local PORTS = { 6000, 6004, 6015, 6016 }

local HEADER_SIZE = 28
local CHECKSUM_SIZE = 4
local OFFSET_BODY = 28
local CMD_Ack = 2
local CMD_BroadcastID = 4
local CMD_BroadcastIDExt = 5
local CMD_KivText = 701
local ACK_SUCCESS = 0xFFFFFFFE
local NODE_TYPE_CONTROLLER = 6
local BROADCAST_ID_SIZE = 100
local EXT_MIN_SIZE = 436
local OFFSET_EXT_INNER = 32
local METER_RECORD_SIZES = { 48, 84, 104 }

-- Checksum status values, as Wireshark's own dissectors number them.
local CHECKSUM_BAD = 0
local CHECKSUM_GOOD = 1
local CHECKSUM_NOT_PRESENT = 3

local command_names = {
    [CMD_Ack] = "CMD_Ack",
    [CMD_BroadcastID] = "CMD_BroadcastID",
    [CMD_BroadcastIDExt] = "CMD_BroadcastIDExt",
    [CMD_KivText] = "CMD_KivText",
}
local node_type_names = { [5] = "frame", [6] = "controller", [8] = "frame" }
local checksum_status_names = {
    [CHECKSUM_BAD] = "Bad",
    [CHECKSUM_GOOD] = "Good",
    [CHECKSUM_NOT_PRESENT] = "Not present",
}

-- Texts whose replies carry a meter-data record, and the record's version:
-- the first matching prefix decides.
local meter_query_prefixes = {
    { "NM?", 3 }, { "M?3", 3 }, { "M?2", 2 }, { "M?", 1 },
    { "Dev.MD.FullBin?3", 3 }, { "Dev.MD.FullBin?2", 2 }, { "Dev.MD.FullBin?", 1 },
}

local f = {
    src = ProtoField.string("kiv.src", "Source ID"),
    dst = ProtoField.string("kiv.dst", "Destination ID"),
    src_node = ProtoField.uint16("kiv.src_node", "Sender node type", base.DEC),
    src_node_type = ProtoField.uint16("kiv.src_node.type", "Type", base.DEC, node_type_names, 0x1FFF),
    src_node_flag = ProtoField.bool("kiv.src_node.flag", "Flag bit 15", 16, nil, 0x8000),
    src_node_flags = ProtoField.uint16("kiv.src_node.flags", "Flag bits 13-14", base.HEX, nil, 0x6000),
    dst_node = ProtoField.uint16("kiv.dst_node", "Destination node type", base.DEC),
    dst_node_type = ProtoField.uint16("kiv.dst_node.type", "Type", base.DEC, node_type_names, 0x1FFF),
    dst_node_flag = ProtoField.bool("kiv.dst_node.flag", "Flag bit 15", 16, nil, 0x8000),
    dst_node_flags = ProtoField.uint16("kiv.dst_node.flags", "Flag bits 13-14", base.HEX, nil, 0x6000),
    length = ProtoField.uint16("kiv.length", "Length", base.DEC),
    cmd = ProtoField.uint16("kiv.cmd", "Command", base.DEC, command_names),
    seq = ProtoField.uint32("kiv.seq", "Sequence number", base.DEC),
    checksum = ProtoField.uint32("kiv.checksum", "Checksum", base.HEX),
    checksum_computed = ProtoField.uint32("kiv.checksum.computed", "Computed checksum", base.HEX),
    checksum_status = ProtoField.uint8("kiv.checksum.status", "Checksum status", base.DEC, checksum_status_names),
    trailing = ProtoField.bytes("kiv.trailing", "Bytes after the message"),
    body = ProtoField.bytes("kiv.body", "Body"),

    ack_status = ProtoField.uint32("kiv.ack.status", "Status", base.HEX),
    ack_success = ProtoField.bool("kiv.ack.success", "Success"),

    bid_reply = ProtoField.bool("kiv.bid.reply", "Reply"),
    bid_stamp48 = ProtoField.int32("kiv.bid.stamp48", "Change stamp word at 48", base.DEC),
    bid_stamp60 = ProtoField.int32("kiv.bid.stamp60", "Change stamp word at 60", base.DEC),
    bid_change_stamp = ProtoField.int32("kiv.bid.change_stamp", "Change stamp", base.DEC),
    bid_flags = ProtoField.uint32("kiv.bid.flags", "State flags", base.HEX),
    bid_state = ProtoField.uint8("kiv.bid.state", "State", base.DEC),
    bid_device_type = ProtoField.uint32("kiv.bid.device_type", "Device type", base.DEC),
    bid_word80 = ProtoField.uint32("kiv.bid.word80", "Word at 80", base.HEX),

    ext_count = ProtoField.int16("kiv.ext.count", "Count", base.DEC),

    text = ProtoField.string("kiv.text", "Text"),
    meter_version = ProtoField.uint8("kiv.meter.version", "Meter-data version", base.DEC),
    meter_record_length = ProtoField.uint16("kiv.meter.record_length", "Record length", base.DEC),
    meter_general_status = ProtoField.uint16("kiv.meter.general_status", "GeneralStatus", base.HEX),
    meter_psu_voltage = ProtoField.uint16("kiv.meter.psu_voltage", "PSU voltage (Vrms)", base.DEC),
    meter_channel_status = ProtoField.uint32("kiv.meter.channel_status", "Power channel status", base.HEX),
}
kiv.fields = f

local e = {
    truncated = ProtoExpert.new("kiv.truncated", "Truncated message",
                                expert.group.MALFORMED, expert.severity.ERROR),
    length_mismatch = ProtoExpert.new("kiv.length_mismatch", "Length field differs from the datagram size",
                                      expert.group.MALFORMED, expert.severity.WARN),
    checksum_bad = ProtoExpert.new("kiv.checksum.bad", "Wrong checksum",
                                   expert.group.CHECKSUM, expert.severity.ERROR),
    ack_failure = ProtoExpert.new("kiv.ack.failure", "The frame reports a failure",
                                  expert.group.RESPONSE_CODE, expert.severity.NOTE),
    unterminated = ProtoExpert.new("kiv.text.unterminated", "Text without its terminating NUL",
                                   expert.group.MALFORMED, expert.severity.WARN),
    not_unwrapped = ProtoExpert.new("kiv.ext.not_unwrapped", "Carries no broadcast-ID message that kivcast unwraps",
                                    expert.group.PROTOCOL, expert.severity.NOTE),
    meter_short = ProtoExpert.new("kiv.meter.short", "Meter-data record shorter than its version needs",
                                  expert.group.MALFORMED, expert.severity.WARN),
}
kiv.experts = { e.truncated, e.length_mismatch, e.checksum_bad, e.ack_failure, e.unterminated,
                e.not_unwrapped, e.meter_short }

-- Meter-data queries seen so far in this capture, by addressed frame and
-- sequence number, so that their replies are decoded as records. Filled on the
-- first pass through the capture; emptied when a new one is opened.
local meter_queries = {}

function kiv.init()
    meter_queries = {}
end

local function signed16(value)
    if value >= 0x8000 then
        return value - 0x10000
    end
    return value
end

local function signed32(value)
    if value >= 0x80000000 then
        return value - 0x100000000
    end
    return value
end

local function id_text(high, low)
    return string.format("%08x:%08x", high, low)
end

local function meter_query_version(text)
    for _, entry in ipairs(meter_query_prefixes) do
        if text:sub(1, #entry[1]) == entry[1] then
            return entry[2]
        end
    end
    return 0
end

-- Length of the valid UTF-8 sequence at byte i of s (1 to 4), or 0: overlong
-- forms, surrogates, code points above U+10FFFF, stray continuation bytes and
-- cut-off sequences are invalid.
local function utf8_length(s, i)
    local lead = s:byte(i)
    if lead < 0x80 then
        return 1
    end
    local length, second_min, second_max = 0, 0x80, 0xBF
    if lead >= 0xC2 and lead <= 0xDF then
        length = 2
    elseif lead >= 0xE0 and lead <= 0xEF then
        length = 3
        if lead == 0xE0 then second_min = 0xA0 elseif lead == 0xED then second_max = 0x9F end
    elseif lead >= 0xF0 and lead <= 0xF4 then
        length = 4
        if lead == 0xF0 then second_min = 0x90 elseif lead == 0xF4 then second_max = 0x8F end
    else
        return 0
    end
    if i + length - 1 > #s then
        return 0
    end
    local second = s:byte(i + 1)
    if second < second_min or second > second_max then
        return 0
    end
    for k = i + 2, i + length - 1 do
        local b = s:byte(k)
        if b < 0x80 or b > 0xBF then
            return 0
        end
    end
    return length
end

-- Calls visit(piece, kind) for the pieces of s: "char" (printable ASCII or
-- valid UTF-8 that is no control), "control" (C0 and C1 controls and DEL) and
-- "invalid" (one byte of an invalid sequence).
local function each_piece(s, visit)
    local i = 1
    while i <= #s do
        local b = s:byte(i)
        local length = utf8_length(s, i)
        if length == 0 then
            visit(s:sub(i, i), "invalid")
            length = 1
        elseif (length == 1 and (b < 0x20 or b == 0x7F)) or (b == 0xC2 and s:byte(i + 1) < 0xA0) then
            visit(s:sub(i, i + length - 1), "control")
        else
            visit(s:sub(i, i + length - 1), "char")
        end
        i = i + length
    end
end

-- A text as kivcast prints it: valid UTF-8 as it is, every byte of a control
-- character or of an invalid sequence as \xHH, a backslash as \\.
local function console_text(s)
    local out = {}
    each_piece(s, function(piece, kind)
        if kind == "char" then
            out[#out + 1] = piece == "\\" and "\\\\" or piece
        else
            for k = 1, #piece do
                out[#out + 1] = string.format("\\x%02x", piece:byte(k))
            end
        end
    end)
    return table.concat(out)
end

-- True when s reads as text: valid UTF-8 without controls other than tab,
-- carriage return and line feed.
local function is_text(s)
    local text = true
    each_piece(s, function(piece, kind)
        if kind == "invalid" or (kind == "control" and piece ~= "\t" and piece ~= "\r" and piece ~= "\n") then
            text = false
        end
    end)
    return text
end

-- The frame state that kivcast derives from the state flags (0..6).
local function frame_state(flags)
    if bit32.btest(flags, 0x02) then return 2 end
    if bit32.btest(flags, 0x08) then return 3 end
    if bit32.btest(flags, 0x10) then return 4 end
    if bit32.btest(flags, 0x20) then return 5 end
    if bit32.btest(flags, 0x40) then return 6 end
    if bit32.btest(flags, bit32.bnot(0x05)) then return 1 end
    return 0
end

-- Mains voltage of the PSU voltage byte, in Vrms.
local function mains_voltage(v)
    if v <= 232 then
        return v + 43
    end
    return 6 * v - 1117
end

-- The checksum over the 16-bit words before the checksum word: a 32-bit shift
-- register with feedback from bits 31 and 18. The word count comes from the
-- length field, never beyond the bytes at hand.
local function compute_checksum(tvb, size, length)
    local words = math.floor(length / 2) - 2
    words = math.min(words, math.floor(size / 2))
    if words <= 0 then
        return 0
    end
    local bytes = tvb:raw(0, 2 * words)
    local h = 0
    for i = 0, words - 1 do
        local lo, hi = bytes:byte(2 * i + 1, 2 * i + 2)
        local feedback = bit32.band(bit32.bxor(bit32.rshift(h, 31), bit32.rshift(h, 18)), 1)
        h = bit32.bxor(bit32.bor(bit32.lshift(h, 1), feedback), lo + 256 * hi)
    end
    return h
end

-- One message being decoded: the bytes at hand and where the body ends.
local Message = {}
Message.__index = Message

local function new_message(tvb, pinfo, tree)
    return setmetatable({ tvb = tvb, pinfo = pinfo, tree = tree, size = tvb:len(),
                          body_end = tvb:len(), truncated = false, notes = {} }, Message)
end

-- Marks the message as truncated once, naming the first part that is missing.
function Message:mark_truncated(what, offset, width, limit)
    if self.truncated then
        return
    end
    self.truncated = true
    self.tree:add_proto_expert_info(e.truncated, string.format(
        "Truncated: %s needs bytes %d-%d, the message has %d", what, offset, offset + width - 1, limit))
end

-- True when bytes offset..offset+width-1 lie before `limit` (default: the
-- body's end); otherwise marks the message truncated.
function Message:has(what, offset, width, limit)
    limit = limit or self.body_end
    if offset + width <= limit then
        return true
    end
    self:mark_truncated(what, offset, width, limit)
    return false
end

-- Adds a little-endian field when its bytes are there; returns the item and value.
function Message:add(tree, field, what, offset, width, limit)
    if not self:has(what, offset, width, limit) then
        return nil, nil
    end
    local range = self.tvb(offset, width)
    return tree:add_le(field, range), range:le_uint()
end

function Message:node_type(field, type_field, flag_field, flags_field, what, offset)
    local item, value = self:add(self.tree, field, what, offset, 2, self.size)
    if item then
        local range = self.tvb(offset, 2)
        item:add_le(type_field, range)
        item:add_le(flag_field, range)
        item:add_le(flags_field, range)
    end
    return value
end

function Message:id(field, what, offset)
    if not self:has(what, offset, 8, self.size) then
        return nil
    end
    local text = id_text(self.tvb(offset, 4):le_uint(), self.tvb(offset + 4, 4):le_uint())
    self.tree:add(field, self.tvb(offset, 8), text)
    return text
end

-- The header, the length against the datagram, and the checksum word.
function Message:header()
    self.src = self:id(f.src, "the source ID", 0)
    self.dst = self:id(f.dst, "the destination ID", 8)
    self.src_node = self:node_type(f.src_node, f.src_node_type, f.src_node_flag, f.src_node_flags,
                                   "the sender node type", 16)
    self:node_type(f.dst_node, f.dst_node_type, f.dst_node_flag, f.dst_node_flags, "the destination node type", 18)
    local length_item, length = self:add(self.tree, f.length, "the length field", 20, 2, self.size)
    local _, cmd = self:add(self.tree, f.cmd, "the command", 22, 2, self.size)
    local _, seq = self:add(self.tree, f.seq, "the sequence number", 24, 4, self.size)
    self.cmd, self.seq = cmd, seq
    if not length then
        return
    end

    local signed_length = signed16(length)
    if signed_length ~= self.size then
        local text = string.format("Length field says %d, the datagram has %d bytes", signed_length, self.size)
        length_item:add_proto_expert_info(e.length_mismatch, text)
        if signed_length > self.size then
            self:mark_truncated("the message of the length field", 0, signed_length, self.size)
        end
    end

    -- The checksum word sits at length - 4 when the length field covers at
    -- least a header and lies within the datagram.
    if signed_length >= HEADER_SIZE and signed_length <= self.size then
        self.length = signed_length
        self.body_end = signed_length - CHECKSUM_SIZE
    end
end

-- The checksum word, or why there is none, then what follows the message.
function Message:checksum()
    if self.length == nil then
        if self.cmd ~= nil then
            local item = self.tree:add(f.checksum_status, self.tvb(0, 0), CHECKSUM_NOT_PRESENT)
            item:set_generated()
            item:append_text(" (the length field places no checksum word in the datagram)")
        end
        return
    end
    local offset = self.length - CHECKSUM_SIZE
    local stored = self.tvb(offset, 4):le_uint()
    local computed = compute_checksum(self.tvb, self.size, self.length)
    local item = self.tree:add_le(f.checksum, self.tvb(offset, 4))
    item:add(f.checksum_computed, self.tvb(offset, 4), computed):set_generated()
    local good = stored == computed
    item:add(f.checksum_status, self.tvb(offset, 4), good and CHECKSUM_GOOD or CHECKSUM_BAD):set_generated()
    if not good then
        item:add_proto_expert_info(e.checksum_bad,
            string.format("Wrong checksum 0x%08x, should be 0x%08x", stored, computed))
        self.notes[#self.notes + 1] = "bad checksum"
    end
    if self.length < self.size then
        self.tree:add(f.trailing, self.tvb(self.length, self.size - self.length))
    end
end

function Message:ack()
    local item, status = self:add(self.tree, f.ack_status, "the Ack status", OFFSET_BODY, 4)
    if not item then
        return ""
    end
    local success = status == ACK_SUCCESS
    if success then
        item:set_text(string.format("Status: ACK_SUCCESS (0x%08x)", status))
    else
        item:set_text(string.format("Status: failure %d (0x%08x)", signed32(status), status))
        item:add_proto_expert_info(e.ack_failure, string.format("The frame reports failure %d", signed32(status)))
    end
    self.tree:add(f.ack_success, self.tvb(OFFSET_BODY, 4), success):set_generated()
    return success and " ACK_SUCCESS" or string.format(" failure %d", signed32(status))
end

function Message:broadcast_id()
    local request = self.src_node ~= nil and bit32.band(self.src_node, 0x1FFF) == NODE_TYPE_CONTROLLER
    self.tree:add(f.bid_reply, self.tvb(0, 0), not request):set_generated()
    if request then
        self:has("a broadcast-ID message", 0, BROADCAST_ID_SIZE, self.size)
        return " request"
    end
    local summary = " reply"
    local _, stamp48 = self:add(self.tree, f.bid_stamp48, "change stamp word 48", 48, 4)
    local _, stamp60 = self:add(self.tree, f.bid_stamp60, "change stamp word 60", 60, 4)
    if stamp48 and stamp60 then
        local stamp = math.max(signed32(stamp48), signed32(stamp60))
        self.tree:add(f.bid_change_stamp, self.tvb(48, 16), stamp):set_generated()
    end
    local flags_item, flags = self:add(self.tree, f.bid_flags, "the state flags", 64, 4)
    if flags_item then
        flags_item:add(f.bid_state, self.tvb(64, 4), frame_state(flags)):set_generated()
    end
    local _, device = self:add(self.tree, f.bid_device_type, "the device type", 72, 4)
    self:add(self.tree, f.bid_word80, "word 80", 80, 4)
    if self.src then
        summary = summary .. " " .. self.src
    end
    if device then
        summary = summary .. string.format(" device %d", device)
    end
    self:has("a broadcast-ID message", 0, BROADCAST_ID_SIZE, self.size)
    return summary
end

-- Length of the text at offset 28 up to its NUL, and whether the NUL is there.
function Message:text_length()
    local available = self.body_end - OFFSET_BODY
    if available <= 0 then
        return 0, false
    end
    local bytes = self.tvb:raw(OFFSET_BODY, available)
    local nul = bytes:find("\0", 1, true)
    if nul then
        return nul - 1, true
    end
    return available, false
end

function Message:add_text()
    if not self:has("the text", OFFSET_BODY, 1) then
        return ""
    end
    local length, terminated = self:text_length()
    local text = length > 0 and console_text(self.tvb:raw(OFFSET_BODY, length)) or ""
    local item = self.tree:add(f.text, self.tvb(OFFSET_BODY, length), text)
    if not terminated then
        item:add_proto_expert_info(e.unterminated)
    end
    return text
end

-- True when the body reads as a text: text up to a NUL, then zeros.
function Message:looks_like_text()
    local available = self.body_end - OFFSET_BODY
    if available <= 0 then
        return true
    end
    local bytes = self.tvb:raw(OFFSET_BODY, available)
    local nul = bytes:find("\0", 1, true)
    if not nul then
        return false
    end
    return is_text(bytes:sub(1, nul - 1)) and bytes:sub(nul):find("[^\0]") == nil
end

-- A meter-data record: its version, its length and the first fields, as far
-- as the record holds them (a record shorter than its version is marked as such).
function Message:meter(version, source)
    local record = math.max(self.body_end - OFFSET_BODY, 0)
    local tree = self.tree:add(kiv, self.tvb(OFFSET_BODY, record), string.format("Meter data, version %d", version))
    tree:add(f.meter_version, self.tvb(OFFSET_BODY, 0), version):append_text(" (" .. source .. ")")
    tree:add(f.meter_record_length, self.tvb(OFFSET_BODY, record), record)
    local needed = METER_RECORD_SIZES[version]
    if record < needed then
        tree:add_proto_expert_info(e.meter_short,
            string.format("Version %d needs a %d-byte record, this one has %d", version, needed, record))
    end
    local function holds(offset, width)
        return offset + width <= record
    end
    if holds(0, 2) then
        tree:add_le(f.meter_general_status, self.tvb(OFFSET_BODY, 2))
    end
    if holds(2, 1) then
        local range = self.tvb(OFFSET_BODY + 2, 1)
        tree:add(f.meter_psu_voltage, range, mains_voltage(range:uint()))
    end
    for channel = 1, 4 do
        local offset = 4 + 8 * (channel - 1)
        if not holds(offset, 4) then
            break
        end
        local range = self.tvb(OFFSET_BODY + offset, 4)
        tree:add_le(f.meter_channel_status, range):set_text(
            string.format("Channel %d status: 0x%08x", channel, range:le_uint()))
    end
    return string.format(" meter data v%d", version)
end

-- A command-701 message: a text from a controller, or a frame's reply (a text,
-- or a meter-data record when it answers a meter-data query).
function Message:kiv_text()
    local from_controller = self.src_node ~= nil and bit32.band(self.src_node, 0x1FFF) == NODE_TYPE_CONTROLLER
    if from_controller then
        local text = self:add_text()
        if self.dst and self.seq and not self.pinfo.visited then
            meter_queries[self.dst .. "/" .. self.seq] = { version = meter_query_version(text),
                                                          frame = self.pinfo.number }
        end
        return string.format(' "%s"', text)
    end

    local query = self.src and self.seq and meter_queries[self.src .. "/" .. self.seq]
    if query and query.version > 0 then
        local record = self.body_end - OFFSET_BODY
        local needed = METER_RECORD_SIZES[query.version]
        if record >= needed or not self:looks_like_text() then
            return self:meter(query.version, string.format("asked for by the query in frame %d", query.frame))
        end
        self.tree:add_proto_expert_info(e.meter_short, string.format(
            "A text answers the meter-data query in frame %d: kivcast reports an invalid response", query.frame))
    elseif query == nil and not self:looks_like_text() then
        local record = self.body_end - OFFSET_BODY
        for version, size in ipairs(METER_RECORD_SIZES) do
            if record == size then
                return self:meter(version, "guessed from the record length; the query is not in the capture")
            end
        end
    end
    return string.format(' replied "%s"', self:add_text())
end

function Message:extended()
    local _, count = self:add(self.tree, f.ext_count, "the count", OFFSET_BODY, 2)
    if count == nil then
        return ""
    end
    count = signed16(count)
    local summary = string.format(" count %d", count)
    if count <= 0 then
        self.tree:add_proto_expert_info(e.not_unwrapped, "The count is not positive")
        return summary
    end
    if self.size < EXT_MIN_SIZE then
        self.tree:add_proto_expert_info(e.not_unwrapped,
            string.format("Fewer than %d bytes: kivcast does not unwrap it", EXT_MIN_SIZE))
    end
    -- The inner message is decoded as far as the outer body holds it.
    self:has("the inner broadcast-ID message", OFFSET_EXT_INNER, BROADCAST_ID_SIZE)
    local available = math.min(BROADCAST_ID_SIZE, self.body_end - OFFSET_EXT_INNER)
    if available <= 0 then
        return summary
    end
    local inner_tvb = self.tvb(OFFSET_EXT_INNER, available):tvb()
    local inner_tree = self.tree:add(kiv, self.tvb(OFFSET_EXT_INNER, available), "Inner broadcast-ID message")
    local inner = new_message(inner_tvb, self.pinfo, inner_tree)
    return summary .. ":" .. inner:dissect()
end

-- Decodes the whole message into its tree; returns the Info column text.
function Message:dissect()
    self:header()
    local summary
    if self.cmd == nil then
        summary = "KIV (no command)"
    else
        summary = command_names[self.cmd] or string.format("Command %d", self.cmd)
        if self.seq then
            summary = summary .. string.format(" seq=%d", self.seq)
            if self.cmd == CMD_Ack then
                summary = summary .. self:ack()
            elseif self.cmd == CMD_BroadcastID then
                summary = summary .. self:broadcast_id()
            elseif self.cmd == CMD_BroadcastIDExt then
                summary = summary .. self:extended()
            elseif self.cmd == CMD_KivText then
                summary = summary .. self:kiv_text()
            elseif self.body_end > OFFSET_BODY then
                self.tree:add(f.body, self.tvb(OFFSET_BODY, self.body_end - OFFSET_BODY))
            end
        end
    end
    self:checksum()
    if self.truncated then
        self.notes[#self.notes + 1] = "truncated"
    end
    if #self.notes > 0 then
        summary = summary .. " [" .. table.concat(self.notes, ", ") .. "]"
    end
    return summary
end

function kiv.dissector(tvb, pinfo, tree)
    if tvb:len() == 0 then
        return 0
    end
    pinfo.cols.protocol = "KIV"
    local subtree = tree:add(kiv, tvb())
    local message = new_message(tvb, pinfo, subtree)
    local summary = message:dissect()
    if tvb:len() < tvb:reported_len() then
        subtree:append_text(string.format(" (capture holds %d of %d bytes)", tvb:len(), tvb:reported_len()))
    end
    subtree:append_text(", " .. summary)
    pinfo.cols.info:set(summary)
    return tvb:len()
end

local udp_port = DissectorTable.get("udp.port")
for _, port in ipairs(PORTS) do
    udp_port:add(port, kiv)
end
