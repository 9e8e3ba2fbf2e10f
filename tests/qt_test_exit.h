// For a QtTest program: at exit, the other threads are given time to end before the process's
// exit-time checks run. QtTest's watchdog is a QThread that qExec stops and waits for, but the
// thread may still be ending then, holding the data Qt keeps for it (152 bytes) in its
// thread-local storage. LeakSanitizer's check, which runs last at exit, does not read an ending
// thread's storage, and so took that data for a leak now and then.
#pragma once

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

namespace vireko::testing {

struct OtherThreadsEndedAtExit {
    static constexpr auto kLimit = std::chrono::seconds(2);

    ~OtherThreadsEndedAtExit() {
        const auto deadline = std::chrono::steady_clock::now() + kLimit;
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code error;
            const std::filesystem::directory_iterator tasks("/proc/self/task", error);
            if (error || std::distance(tasks, std::filesystem::directory_iterator()) <= 1) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

// Constructed before main, so destroyed after it has returned and its QApplication is gone.
inline OtherThreadsEndedAtExit otherThreadsEndedAtExit;

}  // namespace vireko::testing
