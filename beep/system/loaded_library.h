// A system library loaded at run time, and its functions found by name. Such a library is
// never unloaded: a thread of ours may still be inside it while the process exits.
#pragma once

#include <dlfcn.h>

#include <string>

namespace beep {

// Sets `function` to the library's function `name`; false where it has none.
template <typename Function>
bool findFunction(void* library, Function& function, const char* name) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

// The shape every table of loaded functions shares: open the library, then bind each function,
// and say why not where the library or one of its functions is missing.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const char* soname)
        : soname_(soname), handle_(dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {}

    template <typename Function>
    LoadedLibrary& bind(Function& function, const char* name) {
        if (handle_ != nullptr && !findFunction(handle_, function, name) && missing_.empty())
            missing_ = name;
        return *this;
    }

    bool complete() const { return handle_ != nullptr && missing_.empty(); }
    // Empty where complete.
    std::string refusal() const {
        if (handle_ == nullptr) return soname_ + " cannot be loaded";
        if (!missing_.empty()) return soname_ + " lacks " + missing_;
        return {};
    }

private:
    std::string soname_;
    void* handle_;
    std::string missing_;
};

}  // namespace beep

// A table of one library's functions, each written once in LIST, a macro of one parameter X
// that lists X(function) for each. Each becomes a member of that name, of the type of the
// function's own declaration in the library's header, bound to the symbol of that name: a
// member cannot be bound to another function, nor be of another type. `complete` says whether
// every one was found, `refusal` why not.
#define BEEP_LOADED_FUNCTIONS(Table, soname, LIST) \
    struct Table {                                 \
        LIST(BEEP_LOADED_MEMBER)                   \
        bool complete = false;                     \
        std::string refusal;                       \
        Table() {                                  \
            ::beep::LoadedLibrary library(soname); \
            LIST(BEEP_LOADED_BIND)                 \
            complete = library.complete();         \
            refusal = library.refusal();           \
        }                                          \
    }
// The argument names a member, so it cannot be put in parentheses.
#define BEEP_LOADED_MEMBER(function) \
    decltype(&::function) function = nullptr;  // NOLINT(bugprone-macro-parentheses)
#define BEEP_LOADED_BIND(function) library.bind(function, #function);
