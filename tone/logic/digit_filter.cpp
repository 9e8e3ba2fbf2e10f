#include "digit_filter.h"

namespace vireko {

namespace {
constexpr std::int16_t kLowestDigitCode = 48;
constexpr std::int16_t kHighestDigitCode = 57;
}  // namespace

void Text1_KeyPress(std::int16_t& keyAscii) {
    const std::int16_t k = keyAscii;
    if (k != kBackspaceCode && (k > kHighestDigitCode || k < kLowestDigitCode)) {
        keyAscii = kDiscardCode;
    }
}

bool passesDigitFilter(std::u16string_view characters) {
    for (char16_t c : characters) {
        auto keyAscii = static_cast<std::int16_t>(c);
        Text1_KeyPress(keyAscii);
        if (keyAscii == kDiscardCode) return false;
    }
    return true;
}

}  // namespace vireko
