#include "beep_library.h"

#include <dlfcn.h>

#include "runtime_error.h"
#include "speaker_guardian.h"

namespace vireko {

namespace {

std::string loaderReason() {
    const char* reason = dlerror();
    return reason != nullptr ? reason : "";
}

}  // namespace

BeepLibrary::BeepLibrary(std::string fileName) : fileName_(std::move(fileName)) {}

template <typename Function>
void BeepLibrary::bind(Function& function, const char* functionName) {
    if (function != nullptr) return;
    // Never closed: once loaded, the library stays for the life of the process, and loading
    // it again only raises its reference count.
    void* library = dlopen(fileName_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw RuntimeError(ErrorNumber::LibraryNotLoaded, loaderReason());
    dlerror();
    void* found = dlsym(library, functionName);
    if (found == nullptr) throw RuntimeError(ErrorNumber::EntryPointNotFound, loaderReason());
    function = reinterpret_cast<Function>(found);
}

void BeepLibrary::beepFreq(std::int16_t frequencyHz) {
    bind(beepFreq_, "beep_freq");
    beepFreq_(frequencyHz);
}

// The guardian, where one watches, hears of each opening before it happens and of each
// closing once it has happened, so that it closes a gate this process may have left open.
void BeepLibrary::beepOn() {
    bind(beepOn_, "beep_on");
    beep::SpeakerGuardian::noteGate(true);
    beepOn_();
}

void BeepLibrary::beepOff() {
    bind(beepOff_, "beep_off");
    beepOff_();
    beep::SpeakerGuardian::noteGate(false);
}

}  // namespace vireko
