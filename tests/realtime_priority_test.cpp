// The audio thread's real-time priority: asked of RealtimeKit on the system bus without ever
// holding the thread up, and without touching the process's limits where it cannot be asked.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "realtime_priority.h"

namespace beep {
namespace {

using namespace std::chrono_literals;

// The audio thread asks RealtimeKit only where it cannot make itself real-time. Where there is
// no RealtimeKit to ask, the host process's own limits must be left as they were: a hard limit,
// once lowered, cannot be raised again. Run in a child, without the privilege to be real-time.
[[noreturn]] void askForPriorityWithoutRealtimeKit() {
    const rlimit noRealtimePriority{0, 0};
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_RTPRIO, &noRealtimePriority);
    setrlimit(RLIMIT_RTTIME, &unlimited);
    if (getuid() == 0 && setuid(65534) != 0) std::_Exit(2);  // without CAP_SYS_NICE
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
    const bool refused = !askRealtimeKitFor(static_cast<pid_t>(gettid()));
    rlimit after{};
    getrlimit(RLIMIT_RTTIME, &after);
    const bool untouched = after.rlim_max == RLIM_INFINITY && after.rlim_cur == RLIM_INFINITY;
    std::_Exit(refused && untouched ? 0 : 1);
}

TEST(AudioThreadPriority, LeavesTheProcessLimitsAloneWhereRealtimeKitCannotBeAsked) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(askForPriorityWithoutRealtimeKit(), ::testing::ExitedWithCode(0), "");
}

// RealtimeKit is mostly started by the bus on demand: one that is activatable but not yet
// running must be asked all the same. A private bus stands in for the system's, with a
// RealtimeKit whose start is only recorded.
TEST(AudioThreadPriority, AsksARealtimeKitThatTheBusStartsOnDemand) {
    // The asking side: this test again in a process of its own, as forking this one, whose
    // other threads may be inside the bus library, could leave the child deadlocked.
    if (std::getenv("VIREKO_ASK_REALTIMEKIT") != nullptr) {
        askRealtimeKitFor(static_cast<pid_t>(gettid()));
        std::_Exit(0);
    }
    const auto dir =
        std::filesystem::temp_directory_path() / ("vireko-system-bus-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "services");
    std::ofstream(dir / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:path=" << (dir / "socket").string()
        << "</listen><servicedir>" << (dir / "services").string()
        << "</servicedir><policy context=\"default\"><allow send_destination=\"*\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    std::ofstream(dir / "services" / "rtkit.service")
        << "[D-BUS Service]\nName=org.freedesktop.RealtimeKit1\nExec=/bin/sh -c 'touch "
        << (dir / "started").string()
        << "; exit 1'\n";  // failed at once, not gone to the background
    const std::string config = "--config-file=" + (dir / "bus.conf").string();
    const char* arguments[] = {"dbus-daemon", config.c_str(), "--nofork", "--nopidfile", nullptr};
    pid_t bus = 0;
    if (posix_spawnp(&bus, "dbus-daemon", nullptr, nullptr, const_cast<char**>(arguments),
                     environ) != 0) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "no dbus-daemon";
    }
    for (int waited = 0; waited < 500 && !std::filesystem::exists(dir / "socket"); ++waited)
        std::this_thread::sleep_for(10ms);

    const std::string address = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir / "socket").string();
    std::vector<const char*> environment{address.c_str(), "VIREKO_ASK_REALTIMEKIT=1"};
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (std::string_view(*variable).rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) != 0)
            environment.push_back(*variable);
    environment.push_back(nullptr);
    const std::string thisTest = std::string("--gtest_filter=AudioThreadPriority.") +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const char* askerArguments[] = {"speaker_tests", thisTest.c_str(), nullptr};
    pid_t asker = 0;
    int status = -1;
    if (posix_spawn(&asker, "/proc/self/exe", nullptr, nullptr, const_cast<char**>(askerArguments),
                    const_cast<char**>(environment.data())) == 0) {
        for (int waited = 0; waited < 1000 && waitpid(asker, &status, WNOHANG) == 0; ++waited)
            std::this_thread::sleep_for(10ms);
        if (kill(asker, SIGKILL) == 0) waitpid(asker, &status, 0);
    }
    const bool started = std::filesystem::exists(dir / "started");
    kill(bus, SIGTERM);
    waitpid(bus, nullptr, 0);
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(started) << "RealtimeKit was never asked";
}

// A system bus that takes the connection and never answers, as a stalled one does: asking for
// the audio thread's priority must not hold the audio thread up.
[[noreturn]] void askForPriorityOnAStalledBus() {
    const std::string path = "/tmp/vireko-stalled-bus-" + std::to_string(getpid());
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    unlink(path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0 || chmod(path.c_str(), 0777) != 0)
        std::_Exit(2);
    const rlimit noRealtimePriority{0, 0};
    setrlimit(RLIMIT_RTPRIO, &noRealtimePriority);
    if (getuid() == 0 && setuid(65534) != 0) std::_Exit(2);  // without CAP_SYS_NICE
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
    const auto before = std::chrono::steady_clock::now();
    raiseThreadPriority();
    const auto took = std::chrono::steady_clock::now() - before;
    unlink(path.c_str());
    std::_Exit(took < 100ms ? 0 : 1);  // asking in line waited for ever here
}

TEST(AudioThreadPriority, AStalledSystemBusNeverHoldsUpTheAudioThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(askForPriorityOnAStalledBus(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace beep
