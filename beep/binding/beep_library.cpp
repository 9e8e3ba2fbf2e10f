#include "beep_library.h"

#include <dlfcn.h>

#include "runtime_error.h"

namespace vireko {

BeepLibrary::BeepLibrary(std::string fileName) : fileName_(std::move(fileName)) {}

void* BeepLibrary::bind(const char* functionName) {
    // Never closed: once loaded, the library stays for the life of the process, and loading
    // it again only raises its reference count.
    void* library = dlopen(fileName_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw RuntimeError(ErrorNumber::LibraryNotLoaded);
    void* function = dlsym(library, functionName);
    if (function == nullptr) throw RuntimeError(ErrorNumber::EntryPointNotFound);
    return function;
}

void BeepLibrary::beepFreq(std::int16_t frequencyHz) {
    if (beepFreq_ == nullptr) beepFreq_ = reinterpret_cast<decltype(beepFreq_)>(bind("beep_freq"));
    beepFreq_(frequencyHz);
}

void BeepLibrary::beepOn() {
    if (beepOn_ == nullptr) beepOn_ = reinterpret_cast<decltype(beepOn_)>(bind("beep_on"));
    beepOn_();
}

void BeepLibrary::beepOff() {
    if (beepOff_ == nullptr) beepOff_ = reinterpret_cast<decltype(beepOff_)>(bind("beep_off"));
    beepOff_();
}

}  // namespace vireko
