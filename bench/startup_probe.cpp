// Starts a GUI program on the current X display and measures it the same way
// whatever the program is:
//   shown_ms      from just before the fork to the MapNotify of the program's
//                 first top-level window (the X server's word that it is shown)
//   idle_*        while it sits untouched: CPU time of the whole process (its
//                 CPU-time clock, and utime+stime in clock ticks), how often
//                 each thread was scheduled in, and which threads woke
//   click_*       optionally a click inside the window, then a second idle spell
//   max_rss_kb    peak resident memory over the whole life of the process
//   exit_status   after the window was asked to close as a window manager asks
//                 (WM_DELETE_WINDOW), so the program ends through its own code
//
// talviro_startup_probe [--settle-ms N] [--idle-ms N] [--click X,Y,W,H] [--cwd DIR]
//                       -- PROGRAM [ARG...]
//
// PROGRAM starts in its own directory (the measurement window reads its logo
// from the working directory), or in DIR when PROGRAM is a wrapper such as
// valgrind. --click clicks the middle of the rectangle, given in window
// coordinates, through xdotool, moves the pointer off the window and reports
// whether the rectangle's pixels changed. Prints key=value lines; exits
// non-zero when the program could not be measured.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsageError = 2;
constexpr int kMeasureError = 1;
constexpr int kExecFailed = 127;

constexpr int kDefaultSettleMs = 500;
// Longest wait for the window: a cold start of a GTK program on a loaded CI
// machine stays far below it.
constexpr int kShowTimeoutMs = 30000;
// Longest wait for the program to end after it was asked to close.
constexpr int kCloseTimeoutMs = 10000;
// How often the harness looks whether the child has died or ended; the X
// connection wakes it at once for the event it waits for.
constexpr int kChildCheckMs = 20;
constexpr int kExitPollMs = 5;

constexpr double kNsPerMs = 1e6;

// /proc/PID/stat: fields after the command name's closing parenthesis start
// at field 3; utime and stime are fields 14 and 15.
constexpr int kFirstFieldAfterName = 3;
constexpr int kUtimeField = 14;
constexpr int kStimeField = 15;

struct Options {
    int settle_ms = kDefaultSettleMs;
    int idle_ms = 0;
    bool click = false;
    int click_x = 0, click_y = 0, click_w = 0, click_h = 0;
    std::string cwd;  // empty: the program's own directory
    std::vector<std::string> command;
};

struct CpuSample {
    pid_t pid = 0;
    uint64_t ticks = 0;   // utime + stime of the whole process, ended threads included
    uint64_t cpu_ns = 0;  // the same from the process's CPU-time clock
    std::map<std::string, uint64_t> runs;  // times each live thread was scheduled in
};

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool parse_int(const char* text, int* out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > INT32_MAX) return false;
    *out = static_cast<int>(value);
    return true;
}

bool parse_options(int argc, char** argv, Options* options) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--settle-ms") {
            if (!parse_int(value, &options->settle_ms)) return false;
        } else if (arg == "--idle-ms") {
            if (!parse_int(value, &options->idle_ms)) return false;
        } else if (arg == "--cwd") {
            options->cwd = value;
        } else if (arg == "--click") {
            options->click = std::sscanf(value, "%d,%d,%d,%d", &options->click_x, &options->click_y,
                                         &options->click_w, &options->click_h) == 4 &&
                             options->click_w > 0 && options->click_h > 0;
            if (!options->click) return false;
        } else {
            return false;
        }
    }
    for (; i < argc; ++i) options->command.push_back(argv[i]);
    return !options->command.empty();
}

CpuSample sample_cpu(pid_t pid) {
    CpuSample sample;
    sample.pid = pid;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream stat(proc + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name_end = line.rfind(')');
    if (name_end != std::string::npos) {
        std::istringstream fields(line.substr(name_end + 1));
        std::string field;
        for (int n = kFirstFieldAfterName; n <= kStimeField && fields >> field; ++n) {
            if (n == kUtimeField || n == kStimeField) sample.ticks += std::stoull(field);
        }
    }
    clockid_t clock = 0;
    timespec now{};
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &now) == 0) {
        constexpr uint64_t kNsPerSecond = 1000000000;
        sample.cpu_ns = static_cast<uint64_t>(now.tv_sec) * kNsPerSecond +
                        static_cast<uint64_t>(now.tv_nsec);
    }
    if (DIR* tasks = opendir((proc + "/task").c_str())) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream schedstat(proc + "/task/" + entry->d_name + "/schedstat");
            uint64_t on_cpu = 0, waiting = 0, runs = 0;
            if (schedstat >> on_cpu >> waiting >> runs) sample.runs[entry->d_name] = runs;
        }
        closedir(tasks);
    }
    return sample;
}

std::string thread_name(pid_t pid, const std::string& tid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/task/" + tid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? tid : name;
}

// Runs of the threads alive at both samples, and how many threads came or went.
void print_runs(const CpuSample& before, const CpuSample& after, const std::string& prefix) {
    uint64_t runs = 0;
    int came = 0, went = 0;
    std::string busy;
    for (const auto& [tid, count] : after.runs) {
        const auto earlier = before.runs.find(tid);
        if (earlier == before.runs.end()) {
            ++came;
        } else if (count != earlier->second) {
            runs += count - earlier->second;
            busy += " " + thread_name(after.pid, tid) + ":" + std::to_string(count - earlier->second);
        }
    }
    for (const auto& entry : before.runs) went += after.runs.count(entry.first) == 0 ? 1 : 0;
    std::printf("%s_runs=%llu\n", prefix.c_str(), static_cast<unsigned long long>(runs));
    std::printf("%s_threads=%zu\n", prefix.c_str(), after.runs.size());
    std::printf("%s_threads_started=%d\n", prefix.c_str(), came);
    std::printf("%s_threads_ended=%d\n", prefix.c_str(), went);
    // Which threads woke, by name, with their runs.
    std::printf("%s_woken=%s\n", prefix.c_str(), busy.empty() ? "" : busy.c_str() + 1);
}

// The wait status of a program that ended before it was asked to close.
int g_early_status = 0;

bool still_running(pid_t pid) { return waitpid(pid, &g_early_status, WNOHANG) == 0; }

void report_early_end() {
    std::printf("ended_early=1\n");
    if (WIFSIGNALED(g_early_status)) std::printf("signal=%d\n", WTERMSIG(g_early_status));
    if (WIFEXITED(g_early_status)) std::printf("exit_status=%d\n", WEXITSTATUS(g_early_status));
}

// False when the program ended during the spell.
bool measure_idle(pid_t pid, int idle_ms, const std::string& prefix) {
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    const CpuSample before = sample_cpu(pid);
    sleep_ms(idle_ms);
    if (!still_running(pid)) return false;
    const CpuSample after = sample_cpu(pid);
    constexpr double kMsPerSecond = 1000.0;
    std::printf("%s_ms=%d\n", prefix.c_str(), idle_ms);
    std::printf("%s_cpu_ticks_ms=%.0f\n", prefix.c_str(),
                static_cast<double>(after.ticks - before.ticks) * kMsPerSecond /
                    static_cast<double>(ticks_per_second));
    std::printf("%s_cpu_ms=%.3f\n", prefix.c_str(),
                static_cast<double>(after.cpu_ns - before.cpu_ns) / kNsPerMs);
    print_runs(before, after, prefix);
    return true;
}

// The pid a top-level window says it belongs to, or 0.
pid_t window_pid(Display* display, Window window) {
    const Atom net_wm_pid = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, left = 0;
    unsigned char* data = nullptr;
    pid_t pid = 0;
    if (XGetWindowProperty(display, window, net_wm_pid, 0, 1, False, XA_CARDINAL, &type, &format,
                           &items, &left, &data) == Success &&
        type == XA_CARDINAL && format == 32 && items == 1) {
        pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) XFree(data);
    return pid;
}

pid_t start_program(const Options& options) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const std::string& program = options.command.front();
    std::string dir = options.cwd;
    const std::size_t slash = program.rfind('/');
    if (dir.empty() && slash != std::string::npos) dir = program.substr(0, slash + 1);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(kExecFailed);
    std::vector<char*> args;
    for (const std::string& arg : options.command) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(program.c_str(), args.data());
    _exit(kExecFailed);
}

// Waits for the MapNotify of a top-level window of pid. Returns the window,
// or None when the child ended or the time ran out first.
Window wait_until_shown(Display* display, pid_t pid) {
    const Clock::time_point start = Clock::now();
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    while (ms_since(start) < kShowTimeoutMs) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect &&
                window_pid(display, event.xmap.window) == pid) {
                return event.xmap.window;
            }
        }
        if (waitpid(pid, nullptr, WNOHANG) != 0) return None;
        poll(&connection, 1, kChildCheckMs);
    }
    return None;
}

// The pixels of a rectangle of window, as bytes; empty when unreadable.
std::vector<char> grab(Display* display, Window window, const Options& options) {
    XImage* image = XGetImage(display, window, options.click_x, options.click_y,
                              static_cast<unsigned>(options.click_w),
                              static_cast<unsigned>(options.click_h), AllPlanes, ZPixmap);
    if (!image) return {};
    std::vector<char> pixels(image->data,
                             image->data + static_cast<std::size_t>(image->bytes_per_line) * image->height);
    XDestroyImage(image);
    return pixels;
}

bool run_xdotool(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("xdotool"));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdotool", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void click(Display* display, Window window, const Options& options) {
    const std::vector<char> before = grab(display, window, options);
    const int screen = DefaultScreen(display);
    const bool clicked = run_xdotool({
        "mousemove", "--window", std::to_string(window),
        std::to_string(options.click_x + options.click_w / 2),
        std::to_string(options.click_y + options.click_h / 2),
        "click", "1",
        // Off the window, so hover highlighting is not taken for a change.
        "mousemove", std::to_string(DisplayWidth(display, screen) - 1),
        std::to_string(DisplayHeight(display, screen) - 1),
    });
    sleep_ms(options.settle_ms);
    const std::vector<char> after = grab(display, window, options);
    std::printf("click_sent=%d\n", clicked ? 1 : 0);
    std::printf("click_changed=%d\n", !before.empty() && !after.empty() && before != after ? 1 : 0);
}

void ask_to_close(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

// Waits for pid to end, killing it when it outlives the close time-out.
// Returns its wait status; *usage gets its resource use.
int wait_for_end(pid_t pid, rusage* usage, bool* killed) {
    const Clock::time_point start = Clock::now();
    int status = 0;
    *killed = false;
    while (wait4(pid, &status, WNOHANG, usage) == 0) {
        if (ms_since(start) > kCloseTimeoutMs) {
            kill(pid, SIGKILL);
            *killed = true;
            wait4(pid, &status, 0, usage);
            break;
        }
        sleep_ms(kExitPollMs);
    }
    return status;
}

// A request on the program's window can fail when the window has just gone;
// that is counted and reported instead of ending the harness.
int g_x_errors = 0;
int count_x_error(Display*, XErrorEvent*) {
    ++g_x_errors;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) {
        std::cerr << "usage: " << argv[0]
                  << " [--settle-ms N] [--idle-ms N] [--click X,Y,W,H] [--cwd DIR]"
                     " -- PROGRAM [ARG...]\n";
        return kUsageError;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::cerr << "no X display\n";
        return kMeasureError;
    }
    XSetErrorHandler(count_x_error);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    const Clock::time_point start = Clock::now();
    const pid_t pid = start_program(options);
    if (pid < 0) {
        std::cerr << "fork failed\n";
        return kMeasureError;
    }
    const Window window = wait_until_shown(display, pid);
    const double shown_ms = ms_since(start);
    if (window == None) {
        std::cerr << "no window from " << options.command.front() << "\n";
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return kMeasureError;
    }
    std::printf("shown_ms=%.1f\n", shown_ms);

    sleep_ms(options.settle_ms);
    bool running = still_running(pid);
    if (running && options.idle_ms > 0) running = measure_idle(pid, options.idle_ms, "idle");
    if (running && options.click) {
        click(display, window, options);
        running = still_running(pid);
        if (running && options.idle_ms > 0)
            running = measure_idle(pid, options.idle_ms, "idle_after_click");
    }
    if (!running) {
        report_early_end();
        return kMeasureError;
    }

    ask_to_close(display, window);
    rusage usage{};
    bool killed = false;
    const int status = wait_for_end(pid, &usage, &killed);
    XCloseDisplay(display);
    std::printf("max_rss_kb=%ld\n", usage.ru_maxrss);
    std::printf("closed_cleanly=%d\n", !killed && WIFEXITED(status) ? 1 : 0);
    std::printf("exit_status=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("x_errors=%d\n", g_x_errors);
    return killed || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ? kMeasureError : 0;
}
