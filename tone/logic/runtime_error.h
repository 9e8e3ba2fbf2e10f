// The program's run-time error: a failing statement, carrying the classic error number.
#pragma once

#include <exception>

namespace vireko {

enum class ErrorNumber : int {
    Overflow = 6,
    DivisionByZero = 11,
    TypeMismatch = 13,
    LibraryNotLoaded = 48,
    EntryPointNotFound = 453,
};

class RuntimeError : public std::exception {
public:
    explicit RuntimeError(ErrorNumber number) noexcept : number_(number) {}
    ErrorNumber number() const noexcept { return number_; }
    const char* what() const noexcept override;

private:
    ErrorNumber number_;
};

// Runs one statement under the resume-next policy: a run-time error abandons the statement
// without a word, and the caller goes on with the next one.
template <typename Statement>
void resumeNext(Statement&& statement) {
    try {
        statement();
    } catch (const RuntimeError&) {
    }
}

}  // namespace vireko
