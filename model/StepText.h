#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A program step as text: eight state characters (relay 1 first), "-", then the delay in 1 to 4
// decimal digits, e.g. "10000001-250". Rows are read in their line form, the text followed by
// CR LF, so a row of L characters offers L + 2 characters and reading further is a range error.
//
// Readers are lenient and deliberately not all alike: a step button is on only for "1", a relay
// bit, lamp or caption is off only for "0", and composing keeps "0" and makes anything else "1".
namespace steps {

inline constexpr std::size_t kStateCount = 8;

// Character n (1-based) of the row's line form; throws RangeError past L + 2.
char lineChar(std::string_view row, std::size_t n);

inline bool stepButtonOn(char state) {
    return state == '1';
}
inline bool relayOn(char state) {
    return state != '0';
}

// "10000000" for 0x01: character n is bit n-1.
std::string patternOfByte(std::uint8_t byte);

// The relay state byte a row puts on the board; throws RangeError on rows shorter than 6.
std::uint8_t relayByteOfRow(std::string_view row);

// How many delay digits the timer value takes: 1 for 0..9, 2 for 10..99, 3, then 4.
std::size_t delayDigitCount(int timerValue);

// The row rewritten from its own state characters and the timer value, with the delay digits
// copied from the front of the delay edit's text. Throws RangeError when the row is shorter than
// 6 characters or the edit text is shorter than the digits the timer value asks for.
std::string composeStep(std::string_view row, int timerValue, std::string_view editText);

// The delay digits of a row, located by its length alone (characters 10 to the end of a 10 to
// 13 character text); nothing for rows of any other length.
std::optional<std::string> rowDelayText(std::string_view row);

} // namespace steps
