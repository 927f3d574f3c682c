#pragma once

#include <cstdint>

// Colours as the program stores them on its lamps and status panel: 0x00BBGGRR values, so that
// lime and red are exact numbers that code can compare, independent of how Qt draws them.
using TColor = std::uint32_t;

inline constexpr TColor clLime = 0x0000FF00;
inline constexpr TColor clRed = 0x000000FF;
// The ordinary panel colour a lamp has until code first colours it. It is a system colour, not an
// RGB value, so it can never compare equal to lime or red.
inline constexpr TColor clBtnFace = 0x8000000F;
