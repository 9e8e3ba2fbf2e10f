// The program's entries to libbeep.so.3: each function is bound by name at its own first
// successful call and stays bound; a failed binding is a run-time error of the caller, and
// carries the dynamic loader's reason.
#pragma once

#include <string>

#include "beep.h"
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
    template <typename Function>
    void bind(Function& function, const char* functionName);

    std::string fileName_;
    decltype(&beep_freq) beepFreq_ = nullptr;
    decltype(&beep_on) beepOn_ = nullptr;
    decltype(&beep_off) beepOff_ = nullptr;
};

}  // namespace vireko
