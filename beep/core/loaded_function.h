// Finding a function by name in a library loaded at run time.
#pragma once

#include <dlfcn.h>

#include <type_traits>

namespace beep {

// Sets `function` to the library's function `name`; false where it has none.
template <typename Function>
bool findFunction(void* library, Function& function, const char* name) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

}  // namespace beep
