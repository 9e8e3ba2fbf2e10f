// Fuzzes the number reader: text to number, text to 16-bit integer, number to 16-bit integer.
// Any input may be refused, but only with the run-time errors the reader documents, and what it
// accepts must hang together.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "conversions.h"
#include "runtime_error.h"

namespace {

using vireko::ErrorNumber;
using vireko::RuntimeError;

void require(bool holds) {
    if (!holds) std::abort();
}

// The nearest integer, halves to the even one; checked against what numberToInt16 gave.
void checkRounding(double value, std::int16_t rounded) {
    const double distance = std::abs(double(rounded) - value);
    require(distance <= 0.5);
    if (distance == 0.5) require(rounded % 2 == 0);
}

void checkNumberToInt16(double value) {
    try {
        checkRounding(value, vireko::numberToInt16(value));
    } catch (const RuntimeError& error) {
        require(error.number() == ErrorNumber::Overflow);
        require(!std::isfinite(value) || value < -32768.5 || value >= 32767.5);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    bool numberRead = false;
    double number = 0;
    try {
        number = vireko::textToNumber(text);
        numberRead = true;
        // A value too large for a double is error 6, never infinity.
        require(std::isfinite(number));
        checkNumberToInt16(number);
    } catch (const RuntimeError& error) {
        require(error.number() == ErrorNumber::Overflow);
    }

    try {
        const std::int16_t whole = vireko::textToInt16(text);
        // A text that is one number, and nothing else, reads the same both ways.
        require(numberRead);
        require(whole == vireko::numberToInt16(number));
    } catch (const RuntimeError& error) {
        require(error.number() == ErrorNumber::TypeMismatch ||
                error.number() == ErrorNumber::Overflow);
    }

    if (size >= sizeof(double)) {
        double raw = 0;
        std::memcpy(&raw, data, sizeof raw);
        checkNumberToInt16(raw);
    }
    return 0;
}
