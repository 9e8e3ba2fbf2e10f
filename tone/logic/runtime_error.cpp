#include "runtime_error.h"

namespace vireko {

const char* RuntimeError::what() const noexcept {
    switch (number_) {
        case ErrorNumber::Overflow:
            return "Overflow";
        case ErrorNumber::DivisionByZero:
            return "Division by zero";
        case ErrorNumber::TypeMismatch:
            return "Type mismatch";
        case ErrorNumber::LibraryNotLoaded:
            return "Error in loading library";
        case ErrorNumber::EntryPointNotFound:
            return "Can't find library entry point";
    }
    return "Run-time error";
}

const std::string& RuntimeError::reason() const noexcept {
    static const std::string none;
    return reason_ ? *reason_ : none;
}

}  // namespace vireko
