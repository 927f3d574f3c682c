#pragma once

#include "board/Driver.h"
#include "labels/LabelTable.h"

#include <cstdint>

// The state the whole program shares, zero at start and alive for the whole run. The entry owns
// one instance and hands it to both windows.
struct ProcessState {
    board::Handle boardHandle = 0;  // 0 until a board is opened; never reset
    std::uint8_t relayByte = 0;     // bit n-1 = relay n; the buffer of every read and write
    std::uint32_t deviceCount = 0;  // boards found by the last discovery
    std::uint32_t bytesWritten = 0; // out-parameter of every write; never read
    labels::LabelTable labelTable{};
    int editedRelay = 0;             // relay 1..8 whose labels the label dialog edits
    std::int32_t savedStepDelay = 0; // delay of the step the sequencer plays
};
