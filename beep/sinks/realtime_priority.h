// A raised scheduling priority for the audio thread, where the system grants one.
#pragma once

#include <string>

namespace beep {

// The priority asked for: low among real-time threads, below the sound server's own.
inline constexpr int kAudioThreadPriority = 4;

// Makes the calling thread real-time: SCHED_FIFO directly where the process may, else through
// RealtimeKit on the system bus. Returns how it was granted, or an empty text where it was not;
// the thread then carries on at normal priority.
std::string raiseThreadPriority();

}  // namespace beep
