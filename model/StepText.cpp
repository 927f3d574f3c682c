#include "model/StepText.h"

#include "model/RangeError.h"

namespace steps {

char lineChar(std::string_view row, std::size_t n) {
    if (n >= 1 && n <= row.size())
        return row[n - 1];
    if (n == row.size() + 1)
        return '\r';
    if (n == row.size() + 2)
        return '\n';
    throw RangeError();
}

std::string patternOfByte(std::uint8_t byte) {
    std::string pattern(kStateCount, '0');
    for (std::size_t n = 1; n <= kStateCount; ++n)
        if (byte & (1u << (n - 1)))
            pattern[n - 1] = '1';
    return pattern;
}

std::uint8_t relayByteOfRow(std::string_view row) {
    std::uint8_t byte = 0;
    for (std::size_t n = 1; n <= kStateCount; ++n)
        if (relayOn(lineChar(row, n)))
            byte |= static_cast<std::uint8_t>(1u << (n - 1));
    return byte;
}

std::size_t delayDigitCount(int timerValue) {
    if (timerValue < 10)
        return 1;
    if (timerValue < 100)
        return 2;
    if (timerValue < 1000)
        return 3;
    return 4;
}

std::string composeStep(std::string_view row, int timerValue, std::string_view editText) {
    std::string step;
    step.reserve(13);
    for (std::size_t n = 1; n <= kStateCount; ++n)
        step += lineChar(row, n) == '0' ? '0' : '1';
    step += '-';
    if (timerValue <= 0) {
        step += '0';
        return step;
    }
    const std::size_t digits = delayDigitCount(timerValue);
    if (editText.size() < digits)
        throw RangeError();
    step += editText.substr(0, digits);
    return step;
}

std::optional<std::string> rowDelayText(std::string_view row) {
    if (row.size() < 10 || row.size() > 13)
        return std::nullopt;
    return std::string(row.substr(9));
}

} // namespace steps
