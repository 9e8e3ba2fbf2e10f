// A raised scheduling priority for the audio thread, where the system grants one.
#pragma once

#include <sys/types.h>

#include <string>

namespace beep {

// The priority asked for: low among real-time threads, below the sound server's own.
inline constexpr int kAudioThreadPriority = 4;

// Makes a thread of this process real-time, by default the calling one: SCHED_FIFO directly
// where the process may. Else RealtimeKit is asked for it on the system bus, from a short-lived
// helper thread, so that a slow or stalled bus never holds the caller up; the thread may then
// become real-time a little later, or stay at normal priority. A thread that is real-time
// already (a sound library's own, say) is left as it is. Returns "SCHED_FIFO", "RealtimeKit,
// asked", "real-time already", or an empty text where neither could be tried.
std::string raiseThreadPriority(pid_t thread = 0);

// Asks RealtimeKit to make `thread` real-time, waiting for the bus's answer. True where granted.
// The process's real-time CPU limit, which RealtimeKit requires, is lowered only where
// RealtimeKit is there to ask, and its soft part given back where it refuses.
bool askRealtimeKitFor(pid_t thread);

}  // namespace beep
