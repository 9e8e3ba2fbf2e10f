#include "realtime_priority.h"

#ifdef VIREKO_HAVE_DBUS
#include <dbus/dbus.h>
#endif
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

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
            .bind(messageUnref, "dbus_message_unref");
        complete = library.complete();
    }
};

bool askRealtimeKit() {
    static const DbusFunctions* const dbus = new DbusFunctions;
    if (!dbus->complete) return false;

    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > kRealtimeLimitUs) {
        limit.rlim_cur = limit.rlim_max = kRealtimeLimitUs;
        if (setrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
    }

    DBusError error;
    dbus->errorInit(&error);
    DBusConnection* bus = dbus->busGetPrivate(DBUS_BUS_SYSTEM, &error);
    if (bus == nullptr) {
        dbus->errorFree(&error);
        return false;
    }
    dbus->setExitOnDisconnect(bus, false);
    bool granted = false;
    DBusMessage* call =
        dbus->newMethodCall("org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1",
                            "org.freedesktop.RealtimeKit1", "MakeThreadRealtime");
    if (call != nullptr) {
        const auto thread = static_cast<dbus_uint64_t>(syscall(SYS_gettid));
        const auto priority = static_cast<dbus_uint32_t>(kAudioThreadPriority);
        if (dbus->appendArgs(call, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &priority,
                             DBUS_TYPE_INVALID)) {
            DBusMessage* reply = dbus->sendAndBlock(bus, call, kBusTimeoutMs, &error);
            granted = reply != nullptr;
            if (reply != nullptr) dbus->messageUnref(reply);
        }
        dbus->messageUnref(call);
    }
    dbus->errorFree(&error);
    dbus->connectionClose(bus);
    dbus->connectionUnref(bus);
    return granted;
}

#else
bool askRealtimeKit() {
    return false;
}
#endif

}  // namespace

std::string raiseThreadPriority() {
    if (setFifo()) return "SCHED_FIFO";
    if (askRealtimeKit()) return "RealtimeKit";
    return {};
}

}  // namespace beep
