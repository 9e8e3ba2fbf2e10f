// Numbers read from and written as text, the way a classic BASIC run-time does it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vireko {

// The number the text begins with. Blanks (space, tab, line feed) are skipped anywhere;
// a sign, a decimal point, an exponent (E or D) and the &H and &O prefixes are read; reading
// stops at the first character that does not belong. No digits give 0. A value too large
// for a double raises Overflow.
double textToNumber(std::string_view text);

// Nearest integer, halves to the even neighbour; Overflow outside -32768..32767.
std::int16_t numberToInt16(double value);

// The whole text, blanks around it aside, must be one number (Type mismatch otherwise);
// it is then rounded as numberToInt16 does.
std::int16_t textToInt16(std::string_view text);

// " 440" and "-5": a leading space stands where a minus sign would be.
std::string numberToReportText(std::int16_t value);

// "440": the digits alone.
std::string integerToText(std::int16_t value);

}  // namespace vireko
