// Keeps every core busy for as long as it lives: one spinning child process per core, started
// and ended by their process ids.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace vireko::testing {

class BusyLoad {
public:
    explicit BusyLoad(unsigned processes = std::thread::hardware_concurrency()) {
        for (unsigned i = 0; i < processes; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                volatile unsigned long spin = 0;
                for (;;) spin = spin + 1;
            }
            if (child > 0) children_.push_back(child);
        }
    }
    ~BusyLoad() {
        for (pid_t child : children_) kill(child, SIGKILL);
        for (pid_t child : children_) waitpid(child, nullptr, 0);
    }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

    std::size_t size() const { return children_.size(); }

private:
    std::vector<pid_t> children_;
};

}  // namespace vireko::testing
