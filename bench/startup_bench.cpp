// Start-up of the program against a Qt Widgets hello with the same texts and fonts, side by
// side on a private X display: the time from exec to the window mapped, as the display server
// sees it, and the resident memory a second later.
//
//   startup_bench VIREKO HELLO [STARTS]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "summary.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kMapLimit = 20s;     // a start that takes longer is counted as failed
constexpr auto kSettle = 1s;        // resident memory is read this long after the mapping
constexpr auto kStopLimit = 5s;     // then SIGKILL
constexpr int kDefaultStarts = 11;  // of each program, alternately

// A child process, ended by its own pid and reaped when this goes.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { stop(); }
    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + kStopLimit;
        while (waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
    }

private:
    pid_t pid_;
};

std::unique_ptr<Child> spawn(const std::vector<std::string>& command, int keepFd = -1) {
    // Made before the fork: the child only calls what is safe between fork and exec.
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (keepFd < 0) closefrom(3);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return std::make_unique<Child>(pid);
}

// Xvfb on a display number of its own choosing, in its own runtime folder.
struct PrivateDisplay {
    std::unique_ptr<Child> server;
    std::string name;
};

std::optional<PrivateDisplay> startDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    PrivateDisplay display;
    display.server = spawn({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                            "1280x1024x24", "-nolisten", "tcp", "-noreset"},
                           fds[1]);
    close(fds[1]);
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&wait, 1, 10'000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!display.server || number.empty()) return std::nullopt;
    display.name = ":" + number;
    return display;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

struct Start {
    double mappedMs = NAN;
    double residentMiB = NAN;
};

// Starts the program and waits for a top-level window of it to be mapped on the display.
Start measure(xcb_connection_t* connection, const std::string& program) {
    const auto begin = Clock::now();
    auto child = spawn({program});
    Start start;
    if (!child) return start;
    const int fd = xcb_get_file_descriptor(connection);
    while (std::isnan(start.mappedMs) && Clock::now() - begin < kMapLimit) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                !reinterpret_cast<xcb_map_notify_event_t*>(event)->override_redirect &&
                std::isnan(start.mappedMs))
                start.mappedMs =
                    std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
            std::free(event);
        }
        pollfd wait{fd, POLLIN, 0};
        poll(&wait, 1, 50);
    }
    if (std::isnan(start.mappedMs)) return start;
    std::this_thread::sleep_for(kSettle);
    start.residentMiB = double(residentKiB(child->pid())) / 1024;
    child->stop();
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) std::free(event);
    return start;
}

void printRow(const char* name, const std::vector<double>& values, const char* unit) {
    const auto s = vireko::bench::summarise(values);
    std::printf("%-22s %9.1f %9.1f %9.1f  %s\n", name, s.best, s.median, s.worst, unit);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s VIREKO HELLO [STARTS]\n", argv[0]);
        return 0;
    }
    const std::string programs[2] = {argv[1], argv[2]};
    const int starts = argc > 3 ? std::atoi(argv[3]) : kDefaultStarts;

    // Everything the programs and the server write at run time goes to a folder of this run.
    std::string runtime = (std::filesystem::temp_directory_path() / "startup-XXXXXX").string();
    if (mkdtemp(runtime.data()) == nullptr) return 0;
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    auto display = startDisplay();
    if (!display) {
        std::printf("startup_bench: no private X display (Xvfb); nothing measured\n");
        std::filesystem::remove_all(runtime);
        return 0;
    }
    setenv("DISPLAY", display->name.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    xcb_connection_t* connection = xcb_connect(display->name.c_str(), nullptr);
    if (xcb_connection_has_error(connection) == 0) {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);

        std::vector<double> mapped[2], resident[2];
        for (int i = 0; i < starts; ++i)
            for (int k = 0; k < 2; ++k) {
                const int which = (i + k) % 2;  // each goes first every other round
                const Start start = measure(connection, programs[which]);
                mapped[which].push_back(start.mappedMs);
                resident[which].push_back(start.residentMiB);
            }
        std::printf("%d starts each, alternately, on Xvfb %s\n", starts, display->name.c_str());
        std::printf("%-22s %9s %9s %9s\n", "", "best", "median", "worst");
        printRow("vireko: to mapped", mapped[0], "ms");
        printRow("hello:  to mapped", mapped[1], "ms");
        printRow("vireko: resident", resident[0], "MiB");
        printRow("hello:  resident", resident[1], "MiB");
        // On a busy machine the medians of both wander; the best starts show the floor of each.
        const auto ratio = [](const std::vector<double>& a, const std::vector<double>& b,
                              double vireko::bench::Summary::*figure) {
            return vireko::bench::summarise(a).*figure / vireko::bench::summarise(b).*figure;
        };
        using vireko::bench::Summary;
        std::printf(
            "ratio of medians: start-up %.3f (goal <= 1.05), resident %.3f (goal <= 1.05)\n",
            ratio(mapped[0], mapped[1], &Summary::median),
            ratio(resident[0], resident[1], &Summary::median));
        std::printf("ratio of bests:   start-up %.3f, resident %.3f\n",
                    ratio(mapped[0], mapped[1], &Summary::best),
                    ratio(resident[0], resident[1], &Summary::best));
    }
    xcb_disconnect(connection);
    display->server->stop();
    std::filesystem::remove_all(runtime);
    return 0;
}
