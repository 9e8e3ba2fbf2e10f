#include "conversions.h"

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "runtime_error.h"

namespace vireko {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int digitValue(char c, int radix) {
    int value = radix;
    if (isDigit(c))
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < radix ? value : -1;
}

// The number is read with a decimal point in every locale: the program's reading of "4.4e2"
// must not change with the user's LC_NUMERIC. Made once, kept for the life of the process.
locale_t numbersLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
    return locale;
}

struct ScannedNumber {
    double value = 0;
    std::size_t end = 0;  // index just past the last character that belongs to the number
    bool hasDigits = false;
};

// Walks a text character by character, optionally passing over blanks between them.
class Cursor {
public:
    Cursor(std::string_view text, bool skipBlanks) : text_(text), skipBlanks_(skipBlanks) {
        while (pos_ < text_.size() && isBlank(text_[pos_])) ++pos_;
    }
    char peek() {
        if (skipBlanks_)
            while (pos_ < text_.size() && isBlank(text_[pos_])) ++pos_;
        return pos_ < text_.size() ? text_[pos_] : '\0';
    }
    void advance() { ++pos_; }
    std::size_t position() const { return pos_; }

private:
    std::string_view text_;
    bool skipBlanks_;
    std::size_t pos_ = 0;
};

// &H and &O numbers: up to 16 bits they read as a signed 16-bit integer, up to 32 bits as
// a signed 32-bit one, as the classic run-time does.
ScannedNumber scanRadixNumber(Cursor& cursor, int radix) {
    ScannedNumber result;
    std::uint64_t value = 0;
    for (int digit = digitValue(cursor.peek(), radix); digit >= 0;
         digit = digitValue(cursor.peek(), radix)) {
        value = value * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu) throw RuntimeError(ErrorNumber::Overflow);
        cursor.advance();
        result.hasDigits = true;
        result.end = cursor.position();
    }
    if (value <= 0xFFFFu)
        result.value = static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
    else
        result.value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    return result;
}

ScannedNumber scanNumber(std::string_view text, bool skipInnerBlanks) {
    Cursor cursor(text, skipInnerBlanks);
    if (cursor.peek() == '&') {
        cursor.advance();
        const char prefix = cursor.peek();
        if (prefix == 'H' || prefix == 'h' || prefix == 'O' || prefix == 'o') {
            cursor.advance();
            return scanRadixNumber(cursor, prefix == 'H' || prefix == 'h' ? 16 : 8);
        }
        return {};
    }

    ScannedNumber result;
    std::string literal;  // what strtod is given: the number without blanks
    if (cursor.peek() == '+' || cursor.peek() == '-') {
        literal += cursor.peek();
        cursor.advance();
    }
    auto takeDigits = [&] {
        while (isDigit(cursor.peek())) {
            literal += cursor.peek();
            cursor.advance();
            result.hasDigits = true;
            result.end = cursor.position();
        }
    };
    takeDigits();
    if (cursor.peek() == '.') {
        literal += '.';
        cursor.advance();
        if (result.hasDigits) result.end = cursor.position();
        takeDigits();
    }
    if (!result.hasDigits) return {};

    const char marker = cursor.peek();
    if (marker == 'E' || marker == 'e' || marker == 'D' || marker == 'd') {
        // The exponent belongs to the number only if digits follow it.
        std::string exponent = "e";
        cursor.advance();
        if (cursor.peek() == '+' || cursor.peek() == '-') {
            exponent += cursor.peek();
            cursor.advance();
        }
        if (isDigit(cursor.peek())) {
            literal += exponent;
            takeDigits();
        }
    }

    errno = 0;
    result.value = strtod_l(literal.c_str(), nullptr, numbersLocale());
    if (errno == ERANGE && std::isinf(result.value)) throw RuntimeError(ErrorNumber::Overflow);
    return result;
}

}  // namespace

double textToNumber(std::string_view text) {
    return scanNumber(text, true).value;
}

std::int16_t numberToInt16(double value) {
    if (!std::isfinite(value)) throw RuntimeError(ErrorNumber::Overflow);
    double rounded = std::floor(value);
    const double fraction = value - rounded;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
    if (rounded < -32768.0 || rounded > 32767.0) throw RuntimeError(ErrorNumber::Overflow);
    return static_cast<std::int16_t>(rounded);
}

std::int16_t textToInt16(std::string_view text) {
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    const ScannedNumber number = scanNumber(text, false);
    if (!number.hasDigits || number.end != text.size())
        throw RuntimeError(ErrorNumber::TypeMismatch);
    return numberToInt16(number.value);
}

std::string numberToReportText(std::int16_t value) {
    return value < 0 ? std::to_string(value) : " " + std::to_string(value);
}

std::string integerToText(std::int16_t value) {
    return std::to_string(value);
}

}  // namespace vireko
