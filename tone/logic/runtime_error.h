// The program's run-time error: a failing statement, carrying the classic error number.
#pragma once

#include <exception>
#include <memory>
#include <string>

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
    // `reason`: what the platform said, for diagnosis; never shown to the user.
    RuntimeError(ErrorNumber number, std::string reason)
        : number_(number), reason_(std::make_shared<const std::string>(std::move(reason))) {}
    ErrorNumber number() const noexcept { return number_; }
    const char* what() const noexcept override;
    const std::string& reason() const noexcept;

private:
    ErrorNumber number_;
    std::shared_ptr<const std::string> reason_;  // shared, so that copies cannot throw
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
