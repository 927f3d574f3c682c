// A row text, a delay edit text and a timer value: composing either raises the range error or
// gives a well-formed step text, which every reader then takes without error.
#include "model/RangeError.h"
#include "model/StepText.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const int timerValue = (data[0] | data[1] << 8) % 10000;
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t split = rest.find('|');
    const std::string_view row = rest.substr(0, split);
    const std::string_view edit = split == std::string_view::npos ? "" : rest.substr(split + 1);
    try {
        steps::relayByteOfRow(row);
    } catch (const RangeError&) {
        if (row.size() >= 6)
            std::abort();
    }
    steps::rowDelayText(row);
    std::string step;
    try {
        step = steps::composeStep(row, timerValue, edit);
    } catch (const RangeError&) {
        return 0;
    }
    if (step.size() < 10 || step.size() > 13 || step[8] != '-')
        std::abort();
    for (std::size_t n = 0; n < 8; ++n)
        if (step[n] != '0' && step[n] != '1')
            std::abort();
    if (steps::patternOfByte(steps::relayByteOfRow(step)) != step.substr(0, 8))
        std::abort();
    if (steps::rowDelayText(step)->size() != step.size() - 9)
        std::abort();
    return 0;
}
