// For a QtTest program: at exit, the other threads are given time to end before the process's
// exit-time checks run. QtTest's watchdog is a QThread that qExec stops and waits for, but the
// thread may still be ending then, holding the data Qt keeps for it (152 bytes) in its
// thread-local storage. LeakSanitizer's check, which runs last at exit, does not read an ending
// thread's storage, and so took that data for a leak now and then.
#pragma once

#include <chrono>
#include <filesystem>
#include <thread>

namespace vireko::testing {

struct OtherThreadsEndedAtExit {
    static constexpr auto kLimit = std::chrono::seconds(2);

    ~OtherThreadsEndedAtExit() {
        const auto deadline = std::chrono::steady_clock::now() + kLimit;
        while (std::chrono::steady_clock::now() < deadline && otherThreadsRun())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // Whether /proc lists a thread besides this one; false where it cannot be read.
    static bool otherThreadsRun() {
        std::error_code error;
        std::filesystem::directory_iterator task("/proc/self/task", error);
        int threads = 0;
        for (; !error && task != std::filesystem::directory_iterator(); task.increment(error))
            ++threads;
        return !error && threads > 1;
    }
};

// Constructed before main, so destroyed after it has returned and its QApplication is gone.
inline OtherThreadsEndedAtExit otherThreadsEndedAtExit;

}  // namespace vireko::testing
