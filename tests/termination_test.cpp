// A termination signal that arrives while a tone sounds: the wait ends, the gate is closed, and
// only then does the program end, by that signal. Each case runs in a child process, which the
// signal really ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "fakes.h"
#include "termination.h"

namespace vireko {
namespace {

class TerminationDuringTone : public ::testing::TestWithParam<int> {};

TEST_P(TerminationDuringTone, ClosesTheGateThenEndsByTheSignal) {
    const int signal = GetParam();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT would leave a core file
        TerminationSignals::install();
        testing::FakeControls controls;
        int taken = 0;
        controls.endRequest = [&] {
            if (taken == 0) taken = TerminationSignals::take();
            return taken != 0;
        };
        testing::RecordingSurface picture;
        testing::RecordingSpeaker speaker;
        testing::CountingAlert alert;
        testing::SteppingClock clock;
        clock.stepSeconds = 0.01;
        bool raised = false;
        clock.onRest = [&] {
            if (clock.elapsed >= 0.3 && !raised) raised = raise(signal) == 0;
        };
        Command1_Click({controls, picture, speaker, alert, clock});
        std::string log;
        for (const std::string& call : speaker.calls) log += call + ";";
        log += "after " + std::to_string(clock.elapsed);
        [[maybe_unused]] const auto sent = write(fds[1], log.data(), log.size());
        close(fds[1]);
        if (taken != 0) TerminationSignals::endBy(taken);
        _exit(0);
    }
    close(fds[1]);
    std::string log(256, '\0');
    const ssize_t got = read(fds[0], log.data(), log.size());
    close(fds[0]);
    log.resize(got > 0 ? std::size_t(got) : 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    EXPECT_EQ(log.substr(0, log.find("after")), "freq 440;on;off;") << "the gate was closed";
    const double waited = std::stod(log.substr(log.find("after") + 6));
    EXPECT_LT(waited, 0.35) << "the wait ended at the signal, not after a second";
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), signal);
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationDuringTone,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT),
                         [](const auto& row) { return std::string(sigabbrev_np(row.param)); });

TEST(TerminationSignals, NothingIsTakenWhileNoneHasArrived) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TerminationSignals::install();
        _exit(TerminationSignals::take() == 0 && TerminationSignals::descriptor() >= 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Without a descriptor to read them from, blocked signals would never end the program.
TEST(TerminationSignals, StayUnblockedWhereNoDescriptorCanBeHad) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int lowestFree = dup(STDERR_FILENO);
        close(lowestFree);
        const rlimit noMoreFiles{rlim_t(lowestFree), rlim_t(lowestFree)};
        setrlimit(RLIMIT_NOFILE, &noMoreFiles);
        TerminationSignals::install();
        sigset_t blocked;
        pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        const bool anyBlocked = sigismember(&blocked, SIGTERM) || sigismember(&blocked, SIGINT) ||
                                sigismember(&blocked, SIGHUP) || sigismember(&blocked, SIGQUIT);
        _exit(TerminationSignals::descriptor() < 0 && !anyBlocked ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace vireko
