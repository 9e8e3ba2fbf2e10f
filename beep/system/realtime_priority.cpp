#include "realtime_priority.h"

#ifdef VIREKO_HAVE_DBUS
#include <dbus/dbus.h>
#endif
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <thread>

#include "loaded_library.h"

namespace beep {

namespace {

bool setFifo(pid_t thread) {
    sched_param parameter{};
    parameter.sched_priority = kAudioThreadPriority;
    return sched_setscheduler(thread, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter) == 0;
}

bool realtimeAlready(pid_t thread) {
    const int policy = sched_getscheduler(thread);
    return policy >= 0 && ((policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO ||
                           (policy & ~SCHED_RESET_ON_FORK) == SCHED_RR);
}

#ifdef VIREKO_HAVE_DBUS
// RealtimeKit refuses a thread unless the process limits its real-time CPU time; 200 ms is
// what it asks for.
constexpr rlim_t kRealtimeLimitUs = 200000;
constexpr int kBusTimeoutMs = 200;
constexpr const char* kRealtimeKit = "org.freedesktop.RealtimeKit1";

// What is used of the library, loaded by these names (see BEEP_LOADED_FUNCTIONS).
#define BEEP_DBUS_FUNCTIONS(X)                   \
    X(dbus_error_init)                           \
    X(dbus_error_free)                           \
    X(dbus_bus_get_private)                      \
    X(dbus_connection_set_exit_on_disconnect)    \
    X(dbus_connection_close)                     \
    X(dbus_connection_unref)                     \
    X(dbus_message_new_method_call)              \
    X(dbus_message_append_args)                  \
    X(dbus_connection_send_with_reply_and_block) \
    X(dbus_message_unref)                        \
    X(dbus_bus_start_service_by_name)
BEEP_LOADED_FUNCTIONS(DbusFunctions, "libdbus-1.so.3", BEEP_DBUS_FUNCTIONS);

// Limits the process's real-time CPU time as RealtimeKit requires. Returns the limits before,
// or nothing where they could not be set.
std::optional<rlimit> limitRealtimeTime() {
    rlimit before{};
    if (getrlimit(RLIMIT_RTTIME, &before) != 0) return std::nullopt;
    if (before.rlim_max != RLIM_INFINITY && before.rlim_max <= kRealtimeLimitUs) return before;
    const rlimit limited{kRealtimeLimitUs, kRealtimeLimitUs};
    if (setrlimit(RLIMIT_RTTIME, &limited) != 0) return std::nullopt;
    return before;
}

// Gives the soft limit back after a refusal. The hard limit, once lowered, cannot be raised
// again without privilege; RealtimeKit refuses a process whose hard limit is higher, so it is
// lowered only where RealtimeKit is there to ask. What it is left at only bounds real-time
// threads, which a process that may not make itself real-time gets from RealtimeKit alone, on
// the same condition.
void restoreRealtimeTime(const rlimit& before) {
    rlimit now{};
    if (getrlimit(RLIMIT_RTTIME, &now) != 0) return;
    now.rlim_cur =
        before.rlim_cur == RLIM_INFINITY ? now.rlim_max : std::min(before.rlim_cur, now.rlim_max);
    setrlimit(RLIMIT_RTTIME, &now);
}

}  // namespace

bool askRealtimeKitFor(pid_t thread) {
    static const DbusFunctions* const dbus = new DbusFunctions;
    if (!dbus->complete) return false;

    DBusError error;
    dbus->dbus_error_init(&error);
    DBusConnection* bus = dbus->dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (bus == nullptr) {
        dbus->dbus_error_free(&error);
        return false;
    }
    dbus->dbus_connection_set_exit_on_disconnect(bus, false);
    bool granted = false;
    std::optional<rlimit> before;
    // Running, or started by the bus for this call: RealtimeKit is mostly started on demand.
    dbus_uint32_t started = 0;
    if (dbus->dbus_bus_start_service_by_name(bus, kRealtimeKit, 0, &started, &error))
        before = limitRealtimeTime();
    DBusMessage* call =
        before ? dbus->dbus_message_new_method_call(kRealtimeKit, "/org/freedesktop/RealtimeKit1",
                                                    kRealtimeKit, "MakeThreadRealtime")
               : nullptr;
    if (call != nullptr) {
        const auto threadId = static_cast<dbus_uint64_t>(thread);
        const auto priority = static_cast<dbus_uint32_t>(kAudioThreadPriority);
        if (dbus->dbus_message_append_args(call, DBUS_TYPE_UINT64, &threadId, DBUS_TYPE_UINT32,
                                           &priority, DBUS_TYPE_INVALID)) {
            DBusMessage* reply =
                dbus->dbus_connection_send_with_reply_and_block(bus, call, kBusTimeoutMs, &error);
            granted = reply != nullptr;
            if (reply != nullptr) dbus->dbus_message_unref(reply);
        }
        dbus->dbus_message_unref(call);
    }
    if (before && !granted) restoreRealtimeTime(*before);
    dbus->dbus_error_free(&error);
    dbus->dbus_connection_close(bus);
    dbus->dbus_connection_unref(bus);
    return granted;
}

std::string raiseThreadPriority(pid_t thread) {
    if (realtimeAlready(thread)) return "real-time already";
    if (setFifo(thread)) return "SCHED_FIFO";
    // Asked from a helper thread: connecting to a stalled system bus waits for libdbus's own
    // time-out, about 25 s, and the audio thread's queue covers 100 ms.
    const pid_t asked = thread != 0 ? thread : static_cast<pid_t>(syscall(SYS_gettid));
    try {
        std::thread([asked] { askRealtimeKitFor(asked); }).detach();
    } catch (...) {
        return {};
    }
    return "RealtimeKit, asked";
}

#else

}  // namespace

bool askRealtimeKitFor(pid_t) {
    return false;
}

std::string raiseThreadPriority(pid_t thread) {
    if (realtimeAlready(thread)) return "real-time already";
    return setFifo(thread) ? "SCHED_FIFO" : std::string();
}

#endif

}  // namespace beep
