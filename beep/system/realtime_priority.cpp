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

bool setFifo() {
    sched_param parameter{};
    parameter.sched_priority = kAudioThreadPriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter) == 0;
}

#ifdef VIREKO_HAVE_DBUS
// RealtimeKit refuses a thread unless the process limits its real-time CPU time; 200 ms is
// what it asks for.
constexpr rlim_t kRealtimeLimitUs = 200000;
constexpr int kBusTimeoutMs = 200;
constexpr const char* kRealtimeKit = "org.freedesktop.RealtimeKit1";

struct DbusFunctions {
    decltype(&dbus_error_init) errorInit = nullptr;
    decltype(&dbus_error_free) errorFree = nullptr;
    decltype(&dbus_bus_get_private) busGetPrivate = nullptr;
    decltype(&dbus_connection_set_exit_on_disconnect) setExitOnDisconnect = nullptr;
    decltype(&dbus_connection_close) connectionClose = nullptr;
    decltype(&dbus_connection_unref) connectionUnref = nullptr;
    decltype(&dbus_message_new_method_call) newMethodCall = nullptr;
    decltype(&dbus_message_append_args) appendArgs = nullptr;
    decltype(&dbus_connection_send_with_reply_and_block) sendAndBlock = nullptr;
    decltype(&dbus_message_unref) messageUnref = nullptr;
    decltype(&dbus_bus_start_service_by_name) startServiceByName = nullptr;
    bool complete = false;

    DbusFunctions() {
        LoadedLibrary library("libdbus-1.so.3");
        library.bind(errorInit, "dbus_error_init")
            .bind(errorFree, "dbus_error_free")
            .bind(busGetPrivate, "dbus_bus_get_private")
            .bind(setExitOnDisconnect, "dbus_connection_set_exit_on_disconnect")
            .bind(connectionClose, "dbus_connection_close")
            .bind(connectionUnref, "dbus_connection_unref")
            .bind(newMethodCall, "dbus_message_new_method_call")
            .bind(appendArgs, "dbus_message_append_args")
            .bind(sendAndBlock, "dbus_connection_send_with_reply_and_block")
            .bind(messageUnref, "dbus_message_unref")
            .bind(startServiceByName, "dbus_bus_start_service_by_name");
        complete = library.complete();
    }
};

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
    dbus->errorInit(&error);
    DBusConnection* bus = dbus->busGetPrivate(DBUS_BUS_SYSTEM, &error);
    if (bus == nullptr) {
        dbus->errorFree(&error);
        return false;
    }
    dbus->setExitOnDisconnect(bus, false);
    bool granted = false;
    std::optional<rlimit> before;
    // Running, or started by the bus for this call: RealtimeKit is mostly started on demand.
    dbus_uint32_t started = 0;
    if (dbus->startServiceByName(bus, kRealtimeKit, 0, &started, &error))
        before = limitRealtimeTime();
    DBusMessage* call = before ? dbus->newMethodCall(kRealtimeKit, "/org/freedesktop/RealtimeKit1",
                                                     kRealtimeKit, "MakeThreadRealtime")
                               : nullptr;
    if (call != nullptr) {
        const auto threadId = static_cast<dbus_uint64_t>(thread);
        const auto priority = static_cast<dbus_uint32_t>(kAudioThreadPriority);
        if (dbus->appendArgs(call, DBUS_TYPE_UINT64, &threadId, DBUS_TYPE_UINT32, &priority,
                             DBUS_TYPE_INVALID)) {
            DBusMessage* reply = dbus->sendAndBlock(bus, call, kBusTimeoutMs, &error);
            granted = reply != nullptr;
            if (reply != nullptr) dbus->messageUnref(reply);
        }
        dbus->messageUnref(call);
    }
    if (before && !granted) restoreRealtimeTime(*before);
    dbus->errorFree(&error);
    dbus->connectionClose(bus);
    dbus->connectionUnref(bus);
    return granted;
}

std::string raiseThreadPriority() {
    if (setFifo()) return "SCHED_FIFO";
    // Asked from a helper thread: connecting to a stalled system bus waits for libdbus's own
    // time-out, about 25 s, and the audio thread's queue covers 100 ms.
    const auto self = static_cast<pid_t>(syscall(SYS_gettid));
    try {
        std::thread([self] { askRealtimeKitFor(self); }).detach();
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

std::string raiseThreadPriority() {
    return setFifo() ? "SCHED_FIFO" : std::string();
}

#endif

}  // namespace beep
