// The program's entries to libbeep.so.3: each function is bound by name at its own first
// successful call and stays bound; a failed binding is a run-time error of the caller.
#pragma once

#include <string>

#include "speaker.h"

namespace vireko {

inline constexpr const char* kBeepLibraryName = "libbeep.so.3";

class BeepLibrary final : public Speaker {
public:
    // A bare file name is searched for like any library: the executable's run path first
    // (the library sits beside the program), then the system's library path.
    explicit BeepLibrary(std::string fileName = kBeepLibraryName);

    void beepFreq(std::int16_t frequencyHz) override;
    void beepOn() override;
    void beepOff() override;

private:
    void* bind(const char* functionName);

    std::string fileName_;
    void (*beepFreq_)(std::int32_t) noexcept = nullptr;
    void (*beepOn_)() noexcept = nullptr;
    void (*beepOff_)() noexcept = nullptr;
};

}  // namespace vireko
