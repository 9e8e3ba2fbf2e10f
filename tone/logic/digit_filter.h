// What may be typed into the frequency box: the ten digits and backspace.
#pragma once

#include <cstdint>
#include <string_view>

namespace vireko {

inline constexpr std::int16_t kBackspaceCode = 8;
inline constexpr std::int16_t kReturnCode = 13;
inline constexpr std::int16_t kEscapeCode = 27;
// A key code of 0 cancels the character.
inline constexpr std::int16_t kDiscardCode = 0;

// The digit filter: lets the ten digits and backspace through and cancels every other
// character by setting the code to 0.
void Text1_KeyPress(std::int16_t& keyAscii);

// Whether every character of a text committed at once (by an input method) would pass the
// filter, each judged as if typed.
bool passesDigitFilter(std::u16string_view characters);

}  // namespace vireko
