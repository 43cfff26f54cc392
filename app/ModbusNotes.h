// "Decode Modbus": the Modbus frames found in a console's received chunks, each as a line of text
// to show after its last byte. RTU frames are cut by the line's silences and their functions'
// lengths (from the chunks' read stamps), MBAP frames by their headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "display/RingBuffer.h"
#include "serial/LineSettings.h"

enum class ModbusDecode { Off, Rtu, Tcp };

struct ModbusNote {
    int index = 0;     // shown before the history's byte at `index`: right after the frame
    std::string text;  // "[modbus] unit 1 read holding registers 0x0000 count 10 (CRC good)"
};

// The notes for a history of `n` bytes with its chunk starts (CRingBuffer::Snapshot). Bytes
// before the first chunk start are a chunk cut by the history's end and are left out. RTU frames
// are cut both as requests and as answers (the length a function's frame has differs), and
// between each two places where both cuttings end a frame the one with more good CRCs is shown,
// requests on a tie: a console on a shared line receives both. Each frame is told as what it
// parses as (a request or an answer), else as the cutting's direction (MBAP: a request). `line`
// gives the character time; `nowNs` (steady clock) ends a last RTU frame whose silence has
// passed. Returns true when bytes wait for a silence that has not passed yet: the caller renders
// again a little later.
bool FindModbusNotes(ModbusDecode mode, const unsigned char* bytes, int n,
                     const std::vector<CRingBuffer::ChunkStart>& starts, const LineSettings& line,
                     int64_t nowNs, std::vector<ModbusNote>& out);
