// A termination signal that arrives while a tone sounds: the wait ends, the gate is closed, and
// only then does the program end, by that signal. Each case runs in a child process, which the
// signal really ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "fakes.h"
#include "hardware_ports.h"
#include "pcspkr_event_sink.h"
#include "speaker_guardian.h"
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

// nohup, and a shell's background job (SIGINT ignored): a signal ignored at the start is never
// taken, and does not end the program.
TEST(TerminationSignals, OneIgnoredAtTheStartStaysIgnored) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGHUP, SIG_IGN);
        signal(SIGINT, SIG_IGN);
        TerminationSignals::install();
        raise(SIGHUP);
        raise(SIGINT);
        const bool noneTaken = TerminationSignals::take() == 0;
        raise(SIGTERM);
        _exit(noneTaken && TerminationSignals::take() == SIGTERM ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "an ignored signal was taken";
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

// The calls of a process granted the ports, whose port writes land in a file: the guardian keeps
// no descriptor of its program's, so it opens the file for each write.
class PortsToFile final : public beep::PrivilegedCalls {
public:
    static constexpr std::uint64_t kRawIo = std::uint64_t{1} << 17;  // CAP_SYS_RAWIO

    explicit PortsToFile(std::string path) : path_(std::move(path)) {}
    Capabilities capabilities{kRawIo, kRawIo, 0};

    int ioperm(unsigned long, unsigned long, int) noexcept override { return 0; }
    int open(const char*, int) noexcept override { return -1; }
    ssize_t pread(int, void*, size_t, off_t) noexcept override { return -1; }
    ssize_t pwrite(int, const void*, size_t, off_t) noexcept override { return -1; }
    bool capget(Capabilities& sets) noexcept override {
        sets = capabilities;
        return true;
    }
    bool capset(const Capabilities& sets) noexcept override {
        capabilities = sets;
        return true;
    }
    std::uint8_t inb(std::uint16_t) noexcept override { return 0x33; }  // the gate left open
    bool threadHoldsPort(std::uint16_t) noexcept override { return true; }
    void outb(std::uint8_t value, std::uint16_t port) noexcept override {
        const std::string line = std::to_string(port) + " " + std::to_string(value) + "\n";
        const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        [[maybe_unused]] const auto written = write(fd, line.data(), line.size());
        close(fd);
    }

private:
    std::string path_;
};

class Guardian : public ::testing::Test {
protected:
    std::filesystem::path ports = std::filesystem::temp_directory_path() /
                                  ("vireko-guarded-ports-" + std::to_string(getpid()));
    void TearDown() override { std::filesystem::remove(ports); }

    // Runs `body` in a child process with its guardian started, within 10 s; the child's exit
    // status, or minus the signal that ended it.
    int inGuardedChild(const std::function<int(pid_t guardian)>& body) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(10);
            static PortsToFile calls(ports.string());
            beep::SpeakerGuardian::start(calls);
            _exit(body(beep::SpeakerGuardian::process()));
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child) return -1000;
        return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    }
};

// `killall vireko` matches the name in /proc/PID/stat: the guardian must not answer to its
// program's, or `killall -9` ends both and leaves the speaker sounding.
TEST_F(Guardian, ClosesTheGateOfAProgramKilledMidToneAndGoesByANameOfItsOwn) {
    std::string guardianName;
    const int status = inGuardedChild([&](pid_t guardian) {
        if (guardian == 0) return 2;
        beep::SpeakerGuardian::noteGate(true);
        std::ifstream(std::filesystem::path("/proc") / std::to_string(guardian) / "comm") >>
            guardianName;
        std::ofstream(ports.string() + ".name") << guardianName;
        raise(SIGKILL);
        return 3;
    });
    ASSERT_EQ(status, -SIGKILL);
    std::ifstream(ports.string() + ".name") >> guardianName;
    std::filesystem::remove(ports.string() + ".name");
    EXPECT_EQ(guardianName, beep::kGuardianName);
    std::string programName;
    std::ifstream("/proc/self/comm") >> programName;
    EXPECT_NE(guardianName, programName);

    std::string written;
    for (int waited = 0; waited < 200 && written.empty(); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream file(ports);
        std::getline(file, written);
    }
    EXPECT_EQ(written, std::to_string(beep::kSystemControlPort) + " " + std::to_string(0x30))
        << "port 0x61 with both gate bits cleared, the others kept";
}

// A guardian that ends before its program (killed, say) is not left a zombie of the program's:
// the program has no child of its own to wait for.
TEST_F(Guardian, LeavesTheProgramNoChildToReap) {
    EXPECT_EQ(inGuardedChild([](pid_t guardian) {
                  if (guardian == 0) return 2;
                  kill(guardian, SIGKILL);
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
                  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD ? 0 : 1;
              }),
              0);
}

// A stopped guardian reads nothing: the notes fill its socket, and must not then hold the
// program (and its window) up.
TEST_F(Guardian, ANoteToAStoppedGuardianNeverWaits) {
    EXPECT_EQ(inGuardedChild([](pid_t guardian) {
                  if (guardian == 0) return 2;
                  kill(guardian, SIGSTOP);
                  for (int note = 0; note < 100000; ++note)
                      beep::SpeakerGuardian::noteGate(note % 2 == 0);
                  kill(guardian, SIGKILL);
                  return 0;
              }),
              0)
        << "-14 is the time limit (SIGALRM)";
}

// Where no route it guards can be reached, nothing is forked at all.
TEST_F(Guardian, IsNotStartedWhereNoGuardedRouteCanBeReached) {
    std::string refusal;
    if (beep::openPcSpeakerDevice(beep::kPcSpeakerDevicePath, refusal))
        GTEST_SKIP() << "this machine's PC-speaker device is open to this user";
    const pid_t child = fork();
    if (child == 0) {
        static PortsToFile calls(ports.string());
        calls.capabilities = {};
        beep::SpeakerGuardian::start(calls);
        _exit(beep::SpeakerGuardian::process() == 0 && waitpid(-1, nullptr, WNOHANG) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace vireko
