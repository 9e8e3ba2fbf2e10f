// The program's entries to the speaker driver; each may raise a run-time error.
#pragma once

#include <cstdint>

namespace vireko {

class Speaker {
public:
    virtual ~Speaker() = default;
    virtual void beepFreq(std::int16_t frequencyHz) = 0;
    virtual void beepOn() = 0;
    virtual void beepOff() = 0;
};

}  // namespace vireko
