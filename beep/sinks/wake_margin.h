// How late the audio thread comes to a change of tone after it was made, kept over the last
// changes (RecentWorst): with the stream's own lead, all a change has to wait for.
#pragma once

#include <chrono>

#include "recent_worst.h"
#include "timing.h"

namespace beep {

class WakeMargin {
public:
    void note(std::chrono::nanoseconds late) { lates_.note(late); }

    // Beyond the worst remembered, a little for a wake later than any seen; before any, what
    // a busy desktop's scheduler may hold a thread back.
    std::chrono::nanoseconds margin() const {
        const auto worst = lates_.worst();
        return worst ? *worst + kWakeMarginBeyondWorst : kWakeMarginUnmeasured;
    }

private:
    RecentWorst lates_;
};

}  // namespace beep
