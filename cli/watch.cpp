#include "cli/watch.h"

#include "cli/watch_view.h"
#include "console/clock.h"
#include "console/probe_return.h"
#include "probe/probe_channel.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#include <term.h>  // defines capability macros such as "lines": avoid those names here
#include <termios.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

// Keys are looked at, and a resize or Ctrl-C noticed, at least this often
// while the view waits for the next readout.
constexpr int kKeyWaitSliceMs = 100;
const char* const kOpening = "Opening the TALVIRO probe ...";
// The cursor visibility curs_set takes.
constexpr int kCursorHidden = 0;
// The terminal type newterm drives: TERM's, except on Windows, where
// ncurses drives the console through its own driver, and a TERM set by a
// POSIX-like shell would name a terminfo entry the program does not have.
#ifdef _WIN32
const char* const kTerminalType = "#win32con";
#else
const char* const kTerminalType = nullptr;
#endif

#ifndef _WIN32
// What a second stop signal, which ends the process at once, needs to give
// the terminal back: the modes before the view and the terminal's own
// sequences that leave the full-screen mode and show the cursor. Filled in
// before the hook is set; the hook only reads it.
struct TerminalRescue {
    termios modes{};
    char sequences[128] = {};
    size_t sequences_length = 0;
};
TerminalRescue g_rescue;

// Runs inside a signal handler: async-signal-safe calls only.
void rescue_terminal() {
    tcsetattr(STDOUT_FILENO, TCSANOW, &g_rescue.modes);
    const ssize_t written = write(STDOUT_FILENO, g_rescue.sequences, g_rescue.sequences_length);
    static_cast<void>(written);  // nothing more can be done on the way out
}

// Appends the terminal's capability name to the rescue sequences, when it
// has one that fits.
void add_rescue_sequence(const char* capability) {
    const char* sequence = tigetstr(capability);
    if (sequence == nullptr || sequence == reinterpret_cast<const char*>(-1)) return;
    const size_t length = std::strlen(sequence);
    if (g_rescue.sequences_length + length > sizeof g_rescue.sequences) return;
    std::memcpy(g_rescue.sequences + g_rescue.sequences_length, sequence, length);
    g_rescue.sequences_length += length;
}
#endif

// Whether the terminal shows UTF-8, so that the trends may use block characters.
bool terminal_is_utf8() {
#ifdef _WIN32
    return GetConsoleOutputCP() == CP_UTF8;
#else
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
#endif
}

// The terminal in curses mode for the lifetime of the object: no echo, keys
// without Enter, Ctrl-C still a signal, no cursor. The destructor restores
// the terminal.
class CursesScreen {
public:
    CursesScreen() {
#ifndef _WIN32
        termios modes{};
        const bool have_modes = tcgetattr(STDOUT_FILENO, &modes) == 0;
#endif
        screen_ = newterm(kTerminalType, stdout, stdin);
        if (screen_ == nullptr) return;
        // Every call below only tunes the view; on a terminal that lacks
        // one of them the view still works, so their ERR is not fatal.
        static_cast<void>(cbreak());
        static_cast<void>(noecho());
        static_cast<void>(keypad(stdscr, TRUE));
        static_cast<void>(curs_set(kCursorHidden));
#ifndef _WIN32
        // A Windows console restores its own modes when the process ends.
        if (have_modes) {
            g_rescue.modes = modes;
            add_rescue_sequence("rmcup");
            add_rescue_sequence("cnorm");
            console::set_forced_stop_hook(rescue_terminal);
        }
#endif
    }
    ~CursesScreen() {
        if (screen_ == nullptr) return;
        console::set_forced_stop_hook(nullptr);
        // endwin fails only when the screen was never started, which the
        // check above rules out.
        static_cast<void>(endwin());
        delscreen(screen_);
    }
    CursesScreen(const CursesScreen&) = delete;
    CursesScreen& operator=(const CursesScreen&) = delete;

    bool started() const { return screen_ != nullptr; }

    // Puts rows on the screen from the top; the part of a row beyond the
    // right edge or below the bottom is not shown. Returns false when the
    // terminal could not be written.
    bool show(const std::vector<std::string>& rows) {
        static_cast<void>(erase());  // always OK on stdscr
        const size_t height = static_cast<size_t>(std::max(getmaxy(stdscr), 0));
        for (size_t y = 0; y < rows.size() && y < height; ++y) {
            // ERR here only means the text reached the screen's last cell
            // and the cursor could not move on; the text is drawn.
            static_cast<void>(mvaddstr(static_cast<int>(y), 0, rows[y].c_str()));
        }
        return refresh() != ERR;
    }

    size_t width() const { return static_cast<size_t>(std::max(getmaxx(stdscr), 0)); }

    // Waits up to ms for a key; ERR when none came.
    int key(int ms) {
        timeout(ms);
        return getch();
    }

private:
    SCREEN* screen_ = nullptr;
};

struct ViewResult {
    bool opened = false;
    bool all_whole = true;
    bool drawn = true;  // every redraw reached the terminal
    // The probe link failed a transfer. Its texts are not shown: a lost
    // probe repeats them for every transfer, and the view shows the lost
    // readouts itself.
    bool transfers_failed = false;
};

// The view from opening the probe to closing it. With --reconnect the lines
// on the probe's spells away go to notes.
ViewResult run_view(CursesScreen& screen, const std::string& program, const Options& options,
                    const SampleSource& source, RunClock& clock,
                    const volatile std::sig_atomic_t& stop, console::ProbeTexts& texts,
                    std::ostream& notes) {
    ViewResult result;
    if (!screen.show({kOpening})) {
        result.drawn = false;
        return result;
    }
    char serial[probe_settings::kSerialSize] = {};
    result.opened = open_probe(options, serial) == 0;
    if (!result.opened) return result;

    WatchModel model;
    // A probe whose chip has no serial is named by where it is plugged in.
    const std::string name = probe_name();
    ProbeReturn probe_return(program, name, clock);
    const ViewSettings settings{name, options.interval_ms, terminal_is_utf8()};
    bool quit = false;
    auto redraw = [&] {
        if (screen.show(watch_screen(model, settings, screen.width()))) return true;
        result.drawn = false;
        quit = true;
        return false;
    };
    // Takes keys until the clock reaches until, looking at least once: a
    // reconnect attempt or a readout may have taken all the time there was,
    // and q must still end the view. false once q, Ctrl-C or a failed
    // redraw ends the view.
    auto take_keys_until = [&](uint64_t until) {
        for (bool looked = false; !quit && !stop; looked = true) {
            const uint64_t now = clock.steady_ms();
            if (looked && now >= until) break;
            const int key = screen.key(
                static_cast<int>(now < until ? std::min<uint64_t>(until - now, kKeyWaitSliceMs) : 0));
            if (key == 'q' || key == 'Q') {
                quit = true;
            } else if (key == 'r' || key == 'R' || key == KEY_RESIZE) {
                if (key != KEY_RESIZE) model.reset();
                redraw();
            }
        }
        return !quit && !stop;
    };
    uint64_t next_start = clock.steady_ms();
    while (!quit && !stop) {
        const int64_t started = clock.wall_ms();
        texts.clear();
        const Sample sample = source();
        result.transfers_failed = result.transfers_failed || !texts.empty();
        // Cut short by Ctrl-C: the view keeps what it had.
        if (sample.abandoned) break;
        model.add(started, sample);
        const bool lost = !sample.whole() || sample.channel_lost;
        if (!sample.whole() && !options.reconnect) result.all_whole = false;
        if (!redraw()) break;

        if (options.reconnect && lost) {
            probe_return.lose(notes);
            model.set_waiting(true);
            if (!redraw()) break;
            const bool back = probe_return.wait(notes, [&](uint64_t ms) {
                return take_keys_until(clock.steady_ms() + ms);
            });
            model.set_waiting(false);
            if (!back) break;
            next_start = console::next_on_grid(next_start, clock.steady_ms(), options.interval_ms);
            take_keys_until(next_start);
            continue;
        }

        next_start += options.interval_ms;
        const uint64_t done = clock.steady_ms();
        if (done >= next_start) next_start = done;  // overran: go at once, no catching up
        take_keys_until(next_start);
    }
    // A view that ended while it waited for its probe has given it back already.
    if (!probe_return.away()) probe_close();
    return result;
}

}  // namespace

int watch_readings(const std::string& program, const Options& options, const SampleSource& source,
                   RunClock& clock, const volatile std::sig_atomic_t& stop,
                   console::ProbeTexts& texts, std::ostream& err) {
    // Only the character type, so the readings keep their decimal point. An
    // unknown locale leaves "C", and the view draws its trends in ASCII.
    static_cast<void>(std::setlocale(LC_CTYPE, ""));
    // The probe's spells away, told once the terminal is given back.
    std::ostringstream notes;
    ViewResult result;
    {
        CursesScreen screen;
        if (!screen.started()) {
            const char* term = std::getenv("TERM");
            err << program << ": --watch cannot drive this terminal (TERM=" << (term ? term : "")
                << ")\n" << std::flush;
            return exit_status::kUsage;
        }
        result = run_view(screen, program, options, source, clock, stop, texts, notes);
    }
    err << notes.str();
    if (result.transfers_failed)
        err << program << ": transfers to the probe failed; without --watch their messages are shown\n";
    if (!result.drawn) {
        err << program << ": cannot draw the view on the terminal\n" << std::flush;
        return exit_status::kOutputFailed;
    }
    if (!result.opened) {
        err << open_failure_text(program, options, texts) << std::flush;
        return exit_status::kNoProbe;
    }
    err << std::flush;
    return result.all_whole ? exit_status::kOk : exit_status::kNotWhole;
}

}  // namespace cli
