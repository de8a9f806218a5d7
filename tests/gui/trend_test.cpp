// The trend window as the measurement window opens and feeds it: "Trend…"
// and a double click on a gauge, the readouts it receives, the gap between a
// Disconnect and the next Connect, logs opened, refused, followed and saved
// as pictures, and the pointer and keys that explore it.
#include "window_test.h"

#include "gui/trend_frame.h"
#include "log_file.h"
#include "probe/readings.h"
#include "trend/csv_log.h"
#include "trend/units.h"

#include <wx/choice.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/settings.h>
#include <wx/config.h>
#include <wx/textctrl.h>
#include <wx/dnd.h>
#include <wx/image.h>
#include <wx/uiaction.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <thread>

using namespace gui_test;

namespace {

constexpr int kAnswerLimitMs = 5000;
// A growing log's new rows show within about a second.
constexpr int kFollowLimitMs = 1500;

int64_t wall_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Local time as the window writes it.
std::string local_text(int64_t ms) {
    return wxDateTime(wxLongLong(ms)).Format("%Y-%m-%d %H:%M:%S.%l").utf8_string();
}

// Sets the local clock's rule (TZ) for a scope, as the environment would.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        set(tz);
    }
    ~ScopedTimeZone() { set(old_ ? old_->c_str() : nullptr); }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    static void set(const char* tz) {
#ifdef _WIN32
        _putenv_s("TZ", tz ? tz : "");
        _tzset();
#else
        if (tz)
            setenv("TZ", tz, 1);
        else
            unsetenv("TZ");
        tzset();
#endif
    }
    std::optional<std::string> old_;
};

std::string row(int64_t ms, const char* values) { return trendtest::iso_utc(ms) + "," + values + "\n"; }
// Conversion order: A1, I supply, V target, A0, then their counts.
constexpr const char* kWholeRow = "1.11,103,3.30,5.71,100,100,296,512";
constexpr int64_t kLogStart = 1'796'000'000'000;  // 2026-11-30

}  // namespace

class guiTrend : public WindowTest {
protected:
    // The open trend windows.
    static std::vector<TrendFrame*> trend_windows() {
        std::vector<TrendFrame*> found;
        for (wxWindow* w : wxTopLevelWindows)
            if (auto* t = dynamic_cast<TrendFrame*>(w); t && !t->IsBeingDeleted()) found.push_back(t);
        return found;
    }
    TrendFrame* open_trend() {
        click(frame->Button4);
        const std::vector<TrendFrame*> found = trend_windows();
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? nullptr : found[0];
    }
    // The measurement window, and its trend window over the log at path,
    // loaded and drawn; nullptr, with the failure said, when not.
    TrendFrame* open_log(const std::string& path) {
        open_window();
        TrendFrame* t = open_trend();
        if (t == nullptr) return nullptr;
        if (!t->OpenLog(wxString::FromUTF8(path)) || !wait_until_loaded(t) || !wait_until_drawn(t)) {
            ADD_FAILURE() << path << " not loaded and drawn";
            return nullptr;
        }
        return t;
    }
    // Runs the loop until the plot has been drawn over what it holds now.
    static bool wait_until_drawn(TrendFrame* t) {
        t->Plot->Refresh();
        const wxSize size = t->Plot->GetClientSize();
        return run_event_loop_until(
            [&] {
                const trend::Scene& s = t->LastScene();
                return s.width == size.x && s.height == size.y && size.x > 0 &&
                       s.range == t->CurrentView().range(
                                      {t->Shown().empty(), t->Shown().first_time(), t->Shown().last_time()});
            },
            kAnswerLimitMs);
    }
    static bool wait_until_loaded(TrendFrame* t) {
        return run_event_loop_until([t] { return !t->Loading(); }, kAnswerLimitMs);
    }
};

TEST_F(guiTrend, TrendOpensOnceStaysAcrossReconnectAndGoesWithTheMainWindow) {
    open_window();
    EXPECT_TRUE(trend_windows().empty());
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(utf8(t->GetTitle()).rfind("TALVIRO Trend", 0), 0u) << utf8(t->GetTitle());
    EXPECT_TRUE(t->HasFlag(wxRESIZE_BORDER));
    EXPECT_TRUE(t->IsShown());
    EXPECT_EQ(t->Shown().size(), 1u) << "the readout at Connect";

    // Again: the same window, raised.
    EXPECT_EQ(open_trend(), t);
    click(frame->Button2);
    click(frame->Button1);
    EXPECT_EQ(trend_windows(), std::vector<TrendFrame*>{t});

    // Closing it leaves the measurement window; the readouts stay for the
    // next one.
    t->Close(true);
    ASSERT_TRUE(run_event_loop_until([] { return trend_windows().empty(); }, kAnswerLimitMs));
    EXPECT_TRUE(wxTopLevelWindows.Find(frame));
    t = open_trend();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->Shown().size(), 2u) << "Connect, and Connect after a gap";
    EXPECT_TRUE(t->Shown().gap_before(1));

    // Closing the measurement window closes it.
    frame->Close(true);
    ASSERT_TRUE(run_event_loop_until([] { return wxTopLevelWindows.IsEmpty(); }, kAnswerLimitMs));
    frame = nullptr;
}

TEST_F(guiTrend, RefreshingContinuouslyFillsTheFourStripsWithWhatTheWindowShows) {
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    toggle(frame->CheckBox2);
    // Conversion order: A1, I supply, V target, A0.
    const uint16_t counts[][4] = {{100, 50, 296, 512}, {300, 400, 200, 700}, {900, 10, 449, 0}};
    for (const auto& in : counts) {
        for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, in[ch]);
        frame->Timer1.Notify();
    }
    expect_refreshing();
    ASSERT_EQ(t->Shown().size(), 1u + std::size(counts));
    for (std::size_t k = 0; k < std::size(counts); ++k) {
        SCOPED_TRACE(k);
        const trend::Readout r = t->Shown().at(1 + k);
        for (int reading = 0; reading < trend::kReadingCount; ++reading) {
            const int ch = trend::reading_channel(reading);
            EXPECT_EQ(r.value[reading],
                      readings::reading_from_count(readings::kChannels[ch].kind, counts[k][ch]))
                << trend::reading_name(reading);
        }
    }
    // The last one as the measurement window shows it.
    EXPECT_EQ(label(frame->StaticText3), "V target = 5.00 V");
    EXPECT_EQ(readings::format_reading(readings::Kind::Voltage, t->Shown().at(3).value[trend::kVTarget]),
              "5.00 V");

    ASSERT_TRUE(wait_until_drawn(t));
    const trend::Scene& scene = t->LastScene();
    for (int s = 0; s < trend::kStripCount; ++s) EXPECT_TRUE(scene.strips[s].has_data) << s;
    EXPECT_GE(scene.means.size(), 4u);
    EXPECT_TRUE(scene.gaps.empty());
}

TEST_F(guiTrend, DisconnectToConnectIsAGapAndAReadingShownAsDashesIsMissing) {
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    const int64_t before = t->Shown().last_time();
    run_event_loop_for(30);
    click(frame->Button2);
    run_event_loop_for(30);
    click(frame->Button1);
    expect_connected();
    const int64_t after = t->Shown().last_time();
    ASSERT_GT(after, before);
    for (int r = 0; r < trend::kReadingCount; ++r) {
        SCOPED_TRACE(trend::reading_name(r));
        const trend::Stats between = t->Shown().stats(r, before + 1, after);
        EXPECT_EQ(between.whole, 0);
        EXPECT_EQ(between.gaps, 1);
        EXPECT_EQ(t->Shown().stats(r, before, after + 1).whole, 2);
    }
    ASSERT_TRUE(wait_until_drawn(t));
    EXPECT_FALSE(t->LastScene().gaps.empty()) << "no gap shaded";

    // The readout taken at Connect begins the next trace: a Refresh, as
    // long after it as the readouts before it took (so that it lies half
    // the plot's width away), is joined to it by a line in every strip.
    const int64_t first = t->Shown().first_time();
    ASSERT_TRUE(run_event_loop_until([&] { return wall_clock_ms() - after > std::max<int64_t>(after - first, 20); },
                                     4 * 60'000));
    click(frame->Button3);
    const int64_t refreshed = t->Shown().last_time();
    ASSERT_TRUE(wait_until_drawn(t));
    const trend::Scene& scene = t->LastScene();
    for (int r = 0; r < trend::kStripCount; ++r) {
        SCOPED_TRACE(trend::reading_name(r));
        const trend::FillRect& plot = scene.strips[r].plot;
        const double from = scene.x_of(after), to = scene.x_of(refreshed);
        ASSERT_GT(to - from, 3.0);
        bool joined = false;
        for (const trend::Polyline& line : scene.means) {
            if (line.points.empty() || line.points[0].y < plot.y || line.points[0].y > plot.y + plot.h) continue;
            joined = joined || (line.points.front().x <= from + 1.0 && line.points.back().x >= to - 1.0);
        }
        EXPECT_TRUE(joined) << "no line from the Connect readout to the Refresh";
    }

    // A probe that stops answering: "---" in the window, NaN in the trend.
    dev().limit_reads(0);
    click(frame->Button3);
    EXPECT_EQ(label(frame->StaticText3), "V target = --- V");
    const trend::Readout lost = t->Shown().at(t->Shown().size() - 1);
    for (float v : lost.value) EXPECT_TRUE(std::isnan(v));
}

namespace {

// What the X server shows of window, as a user would see it.
wxImage screenshot(wxWindow* window) {
    const wxRect rect = window->GetScreenRect();
    wxBitmap bitmap(rect.GetSize(), 24);
    {
        wxScreenDC screen;
        wxMemoryDC memory(bitmap);
        memory.Blit(0, 0, rect.width, rect.height, &screen, rect.x, rect.y);
    }
    return bitmap.ConvertToImage();
}

double luminance(const wxImage& image, int x, int y) {
    auto linear = [](int c) {
        const double v = c / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(image.GetRed(x, y)) + 0.7152 * linear(image.GetGreen(x, y)) +
           0.0722 * linear(image.GetBlue(x, y));
}

// The highest contrast (WCAG) of any pixel in rect against the colour at
// its top left corner: text or a trace against its background.
double contrast_in(const wxImage& image, const wxRect& rect) {
    const double ground = luminance(image, rect.x, rect.y);
    double best = 1.0;
    for (int y = rect.y; y < rect.GetBottom(); ++y)
        for (int x = rect.x; x < rect.GetRight(); ++x) {
            const double l = luminance(image, x, y);
            best = std::max(best, (std::max(l, ground) + 0.05) / (std::min(l, ground) + 0.05));
        }
    return best;
}

}  // namespace

// Under the light theme and, run again with GTK_THEME=Adwaita:dark, the dark
// one: the plot follows the appearance, and a problem in the note and each
// reading's trace stand out from what is behind them.
TEST_F(guiTrend, NotesAndTracesReadInTheDesktopsAppearance) {
    const char* theme = std::getenv("GTK_THEME");
    const bool dark = theme && std::string(theme).find(":dark") != std::string::npos;
    EXPECT_EQ(wxSystemSettings::GetAppearance().IsDark(), dark);
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    toggle(frame->CheckBox2);
    const uint16_t counts[][4] = {{100, 50, 296, 512}, {900, 400, 200, 700}, {300, 10, 449, 100}};
    for (const auto& in : counts) {
        for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, in[ch]);
        frame->Timer1.Notify();
    }
    toggle(frame->CheckBox2);
    EXPECT_FALSE(t->OpenLog(wxString::FromUTF8(trendtest::temp_path("missing.csv"))));
    t->Raise();
    ASSERT_TRUE(wait_until_drawn(t));
    run_event_loop_for(200);
    ASSERT_TRUE(wait_until_drawn(t));

    const wxImage note = screenshot(t->NoteText);
    EXPECT_GE(contrast_in(note, wxRect(0, 0, note.GetWidth(), note.GetHeight())), 4.5) << "the note";
    const wxImage plot = screenshot(t->Plot);
    const trend::Scene& scene = t->LastScene();
    for (int r = 0; r < trend::kStripCount; ++r) {
        SCOPED_TRACE(trend::reading_name(r));
        const trend::FillRect& p = scene.strips[r].plot;
        const wxRect area(static_cast<int>(p.x) + 1, static_cast<int>(p.y) + 1, static_cast<int>(p.w) - 2,
                          static_cast<int>(p.h) - 2);
        EXPECT_EQ(luminance(plot, area.x, area.y) < 0.2, dark) << "the plot's background";
        EXPECT_GE(contrast_in(plot, area), 3.0) << "the trace";
    }
}

// Opened beside the measurement window; a window without readouts has no
// time axis; at its smallest its controls and statistics stay whole; the
// pointer's readout goes with what it was of.
TEST_F(guiTrend, SmallPointsOfTheWindow) {
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->GetScreenRect().Contains(frame->GetScreenPosition())) << "over the measurement window's corner";

    TrendFrame* empty = new TrendFrame(nullptr);
    empty->Show(true);
    ASSERT_TRUE(wait_until_drawn(empty));
    EXPECT_EQ(empty->Shown().size(), 0u);
    for (const trend::Label& l : empty->LastScene().labels) EXPECT_EQ(l.text.find("1970"), std::string::npos);
    const trend::Scene& drawn = empty->LastScene();
    const double axis_y = drawn.strips[trend::kStripCount - 1].plot.y + drawn.strips[trend::kStripCount - 1].plot.h;
    for (const trend::Label& l : drawn.labels) EXPECT_LT(l.y, axis_y + 2.0) << "a time label: " << l.text;

    // At the smallest size every control and a line of statistics fit.
    empty->SetSize(empty->GetMinSize());
    ASSERT_TRUE(run_event_loop_until([&] { return empty->GetSize() == empty->GetMinSize(); }, kAnswerLimitMs));
    empty->Layout();
    empty->LiveButton->Show();
    empty->ZoomButton->GetParent()->Layout();
    const wxSize inside = empty->ZoomButton->GetParent()->GetClientSize();
    for (wxWindow* control : {static_cast<wxWindow*>(empty->ZoomButton), static_cast<wxWindow*>(empty->LiveButton),
                              static_cast<wxWindow*>(empty->SaveButton)}) {
        const wxRect r = control->GetRect();
        EXPECT_LE(r.GetRight(), inside.x) << utf8(control->GetLabel());
        EXPECT_GE(r.width, control->GetBestSize().x) << utf8(control->GetLabel()) << " squeezed";
        EXPECT_LE(r.GetBottom(), inside.y) << utf8(control->GetLabel());
    }
    EXPECT_LE(empty->StatsText->GetTextExtent("I supply: min 103.0 mA, mean 103.0 mA, max 103.0 mA, 86400 readouts, "
                                               "12 gaps")
                  .x,
              inside.x);

    // Opening a log drops the pointer's readout of the live ones.
    t->StatusBar->SetStatusText("2026-12-01 10:00:00.000   V target 3.30 V");
    const std::string path = trendtest::write_file("hover.csv", trendtest::kHeader + row(kLogStart, kWholeRow));
    ASSERT_TRUE(t->OpenLog(wxString::FromUTF8(path)));
    EXPECT_EQ(utf8(t->StatusBar->GetStatusText()), "");
    empty->Destroy();
}

TEST_F(guiTrend, RecordWritesTheLiveReadoutsAsTheyComeWithADisconnectsGap) {
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(t->RecordButton->IsEnabled());
    const std::string path = trendtest::temp_path("record.csv");
    ASSERT_EQ(t->StartRecording(path), "");
    const size_t from = t->Shown().size();
    click(frame->Button3);
    // Flushed with the readout: the file holds it while the window goes on.
    {
        std::ifstream partial(path);
        const std::string text((std::istreambuf_iterator<char>(partial)), std::istreambuf_iterator<char>());
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    }
    run_event_loop_for(30);
    click(frame->Button3);
    run_event_loop_for(30);
    click(frame->Button2);
    run_event_loop_for(30);
    click(frame->Button1);
    expect_connected();
    click(frame->Button3);
    t->StopRecording();
    EXPECT_EQ(label(t->NoteText), "Recorded to " + path);

    trend::CsvLog log;
    std::string error;
    ASSERT_TRUE(log.open(path, &error)) << error;
    trend::Series back(0);
    log.read_all(back);
    EXPECT_EQ(log.skipped(), 0u) << log.skipped_note();
    ASSERT_EQ(back.size(), t->Shown().size() - from);
    int gaps = 0;
    for (size_t i = 0; i < back.size(); ++i) {
        const trend::Readout live = t->Shown().at(from + i), b = back.at(i);
        EXPECT_EQ(b.time_ms, live.time_ms) << i;
        // As the window shows the readings: to 0.01 V and 1 mA.
        for (int r = 0; r < trend::kReadingCount; ++r)
            EXPECT_TRUE(std::fabs(b.value[r] - live.value[r]) <= 0.5f || (std::isnan(b.value[r]) && std::isnan(live.value[r])))
                << i << " " << r;
        if (i > 0) {
            EXPECT_EQ(back.gap_before(i), t->Shown().gap_before(from + i)) << i;
            gaps += back.gap_before(i) || std::isnan(b.value[trend::kVTarget]);
        }
    }
    // Between the Disconnect and the Connect the time is missing in the file too.
    const int64_t connect = back.at(back.size() - 2).time_ms;
    EXPECT_EQ(back.stats(trend::kISupply, back.at(1).time_ms + 1, connect).whole, 0);
    EXPECT_GE(gaps, 1);

    // The running totals: every live readout since the trend started, then
    // none after Reset until the next one.
    const trend::Series& live = t->Shown();
    const trend::Integrals total = live.integrals(live.first_time(), live.last_time() + 1);
    EXPECT_GT(total.gap_ms, 0);
    const std::string totals = label(t->TotalsText);
    const std::string sums =
        ": " + trend::cost_text(total.charge_mC, total.energy_mJ, total.mean_power_mW, total.covered_ms, total.gap_ms);
    EXPECT_EQ(totals.rfind("Since the trend started, ", 0), 0u) << totals;
    ASSERT_GT(totals.size(), sums.size());
    EXPECT_EQ(totals.substr(totals.size() - sums.size()), sums) << totals;
    // From the last readout's time on, which the next readout may share
    // (a coarse clock, Windows', or a quick one).
    const int64_t reset_at = live.last_time();
    click(t->ResetTotalsButton);
    EXPECT_NE(label(t->TotalsText).find(": no readout yet"), std::string::npos) << label(t->TotalsText);
    click(frame->Button3);
    click(frame->Button3);
    const trend::Integrals since = live.integrals(reset_at, live.last_time() + 1);
    EXPECT_NE(label(t->TotalsText).find(trend::cost_text(since.charge_mC, since.energy_mJ, since.mean_power_mW,
                                                         since.covered_ms, since.gap_ms)),
              std::string::npos)
        << label(t->TotalsText);
}

TEST_F(guiTrend, DoubleClickOnAGaugeOpensTheTrend) {
    open_window();
    wait_until_painted();
    const wxPoint centre = frame->Gauge2->ClientToScreen(
        wxPoint(frame->Gauge2->GetSize().x / 2, frame->Gauge2->GetSize().y / 2));
    wxUIActionSimulator pointer;
    ASSERT_TRUE(pointer.MouseMove(centre));
    ASSERT_TRUE(run_event_loop_until([&] { return wxGetMousePosition() == centre; }, kAnswerLimitMs));
    ASSERT_TRUE(pointer.MouseDblClick());
    EXPECT_TRUE(run_event_loop_until([] { return trend_windows().size() == 1; }, kAnswerLimitMs));
}

namespace {

using namespace std::string_literals;

enum class Made { Nothing, Folder, File };
struct BadLog {
    const char* name;
    Made made;
    std::string content;
};

const BadLog kBadLogs[] = {
    {"missing", Made::Nothing, ""},
    {"folder", Made::Folder, ""},
    {"empty", Made::File, ""},
    {"binary", Made::File, "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"s},
    {"other_header", Made::File, "a,b,c\n1,2,3\n"},
};

}  // namespace

TEST_F(guiTrend, ALogThatIsNotOneIsRefusedNamingTheFileAndWhy) {
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    const wxString title = t->GetTitle();
    for (const BadLog& bad : kBadLogs) {
        SCOPED_TRACE(bad.name);
        std::string path = trendtest::temp_path(bad.name);
        if (bad.made == Made::Folder) {
            path = enter_new_folder("talviro-trend-folder-");
            ASSERT_FALSE(path.empty());
        }
        if (bad.made == Made::File) path = trendtest::write_file(bad.name, bad.content);
        EXPECT_FALSE(t->OpenLog(wxString::FromUTF8(path)));
        const std::string note = label(t->NoteText);
        EXPECT_EQ(note.rfind(path + ": ", 0), 0u) << note;
        EXPECT_GT(note.size(), path.size() + 2) << "no reason given";
        EXPECT_EQ(t->Shown().size(), 1u) << "the live readings are no longer shown";
        EXPECT_EQ(t->GetTitle(), title);
        EXPECT_FALSE(t->Loading());
    }
}

TEST_F(guiTrend, ADroppedLogLoadsSaysWhatItSkippedAndIsFollowedAsItGrows) {
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    const std::string path = trendtest::write_file(
        "grows.csv", trendtest::kHeader + row(kLogStart, kWholeRow) + "not,a,row\n" +
                         row(kLogStart + 1000, kWholeRow) + row(kLogStart + 2000, ",,,,,,,"));
    wxArrayString dropped;
    dropped.Add(wxString::FromUTF8(path));
    ASSERT_NE(t->GetDropTarget(), nullptr);
    EXPECT_TRUE(static_cast<wxFileDropTarget*>(t->GetDropTarget())->OnDropFiles(10, 10, dropped));
    ASSERT_TRUE(wait_until_loaded(t));

    EXPECT_EQ(t->Shown().size(), 3u);
    EXPECT_TRUE(std::isnan(t->Shown().at(2).value[trend::kISupply]));
    EXPECT_EQ(label(t->NoteText), path + ": 3 readouts; skipped 1 line; the first, line 3: wrong number of fields");
    const std::string title = utf8(t->GetTitle());
    EXPECT_EQ(title.rfind("TALVIRO Trend", 0), 0u);
    EXPECT_EQ(title.substr(title.size() - 9), "grows.csv");
    EXPECT_FALSE(t->LoadGauge->IsShown());

    // Rows written after the load, the last one still without its end.
    std::ofstream(path, std::ios::app) << row(kLogStart + 3000, kWholeRow) << row(kLogStart + 4000, kWholeRow)
                                       << "2026-";
    EXPECT_TRUE(run_event_loop_until([t] { return t->Shown().size() == 5; }, kFollowLimitMs))
        << t->Shown().size() << " readouts";
    EXPECT_EQ(t->Shown().last_time(), kLogStart + 4000);
    EXPECT_EQ(label(t->NoteText).rfind(path + ": 5 readouts; skipped 1 line", 0), 0u) << label(t->NoteText);
    // Readouts of the measurement window no longer go to this view.
    click(frame->Button3);
    EXPECT_EQ(t->Shown().size(), 5u);

    // Back to the live readouts, that one included, in the same window.
    ASSERT_TRUE(t->LiveButton->IsShown());
    click(t->LiveButton);
    EXPECT_EQ(t->Shown().size(), 2u) << "the readout at Connect and the one taken over the log";
    EXPECT_EQ(utf8(t->GetTitle()), "TALVIRO Trend \xE2\x80\x94 live readouts");
    EXPECT_EQ(label(t->NoteText), "Live readouts: 2 readouts");
    EXPECT_FALSE(t->LiveButton->IsShown());
    click(frame->Button3);
    EXPECT_EQ(label(t->NoteText), "Live readouts: 3 readouts");
    run_event_loop_for(2 * TrendFrame::kFollowPeriodMs);
    EXPECT_EQ(t->Shown().size(), 3u) << "the log is no longer read";
}

// As tail -F: a followed log truncated and written anew, then deleted and
// made again, then deleted for good.
TEST_F(guiTrend, AFollowedLogStartedAgainIsShownAfterAGapAndOneDeletedIsGone) {
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    const std::string path = trendtest::write_file(
        "again.csv", trendtest::kHeader + row(kLogStart, kWholeRow) + row(kLogStart + 1000, kWholeRow) +
                         row(kLogStart + 2000, kWholeRow));
    ASSERT_TRUE(t->OpenLog(wxString::FromUTF8(path)));
    ASSERT_TRUE(wait_until_loaded(t));
    ASSERT_EQ(t->Shown().size(), 3u);

    struct Start {
        const char* how;
        bool deleted;
        int64_t at;
    };
    const Start starts[] = {{"truncated", false, kLogStart + 3'600'000}, {"deleted", true, kLogStart + 7'200'000}};
    size_t held = 3;
    for (const Start& start : starts) {
        SCOPED_TRACE(start.how);
#ifdef _WIN32
        // A log open for reading cannot be deleted there.
        if (start.deleted) return;
#endif
        if (start.deleted) {
            ASSERT_TRUE(wxRemoveFile(wxString::FromUTF8(path)));
            EXPECT_TRUE(run_event_loop_until([&] { return label(t->NoteText).find(" is gone") != std::string::npos; },
                                             kFollowLimitMs))
                << label(t->NoteText);
        }
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            << trendtest::kHeader << row(start.at, kWholeRow) << row(start.at + 1000, kWholeRow);
        // The old rows stay; the new ones follow after a gap.
        EXPECT_TRUE(run_event_loop_until([&] { return t->Shown().size() == held + 2; }, kFollowLimitMs))
            << t->Shown().size() << " readouts";
        EXPECT_TRUE(t->Shown().gap_before(held)) << "no gap before the new start";
        held += 2;
        EXPECT_EQ(t->Shown().last_time(), start.at + 1000);
        const trend::Stats across = t->Shown().stats(trend::kVTarget, kLogStart, start.at + 1);
        EXPECT_EQ(across.gaps, start.deleted ? 2 : 1);
        EXPECT_EQ(label(t->NoteText), path + " started again at " + local_text(start.at) + ": " +
                                          std::to_string(held) + " readouts");
    }
    ASSERT_TRUE(wxRemoveFile(wxString::FromUTF8(path)));
    EXPECT_TRUE(run_event_loop_until(
        [&] { return label(t->NoteText) == path + " is gone: deleted and not made again; 7 readouts shown"; },
        kFollowLimitMs))
        << label(t->NoteText);
}

TEST_F(guiTrend, SaveImageWritesWhatThePlotShowsAsPngOrSvg) {
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(wait_until_drawn(t));
    const std::string png = trendtest::temp_path("view.png"), svg = trendtest::temp_path("view.SVG");
    EXPECT_EQ(t->SaveImage(png), "");
    EXPECT_EQ(label(t->NoteText), "Saved " + png);
    wxImage picture;
    ASSERT_TRUE(picture.LoadFile(wxString::FromUTF8(png), wxBITMAP_TYPE_PNG));
    EXPECT_EQ(picture.GetSize(), t->Plot->GetClientSize());

    EXPECT_EQ(t->SaveImage(svg), "");
    const auto text_of = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(text_of(svg).rfind("<?xml", 0), 0u);

    // Each picture stands alone: its title line names what it shows, the
    // span in local time and the zone (here a clock three hours ahead of
    // UTC, all year).
    const ScopedTimeZone zone("XYZ-3");
    const auto title = [&](const std::string& shown_name) {
        const trend::TimeRange range = t->CurrentView().range(
            {t->Shown().empty(), t->Shown().first_time(), t->Shown().last_time()});
        return ">" + shown_name + ": " + local_text(range.t0_ms) + " to " + local_text(range.t1_ms) +
               " (UTC+03:00)</text>";
    };
    EXPECT_EQ(t->SaveImage(svg), "");
    EXPECT_NE(text_of(svg).find(title("live readouts")), std::string::npos) << title("live readouts");
    const std::string path =
        trendtest::write_file("titled.csv", trendtest::kHeader + row(kLogStart, kWholeRow) +
                                                row(kLogStart + 1000, kWholeRow));
    ASSERT_TRUE(t->OpenLog(wxString::FromUTF8(path)));
    ASSERT_TRUE(wait_until_loaded(t));
    EXPECT_EQ(t->SaveImage(svg), "");
    const std::string name = path.substr(path.find_last_of("/\\") + 1);
    EXPECT_NE(text_of(svg).find(title(name)), std::string::npos) << title(name);

    const std::string other = trendtest::temp_path("view.jpg");
    EXPECT_NE(t->SaveImage(other), "");
    EXPECT_EQ(label(t->NoteText).rfind(other + ": ", 0), 0u);
}

// The strips the user hides give their room to the others, stay hidden in
// the next window and in saved pictures; the power strip, hidden until asked
// for, draws V target · I supply.
TEST_F(guiTrend, HiddenStripsGiveTheirRoomAndThePowerStripShowsTheTargetsPower) {
    // 3.30 V at 103 mA (339.9 mW) for half a minute, then at 20 mA (66 mW).
    std::string rows = trendtest::kHeader;
    for (int i = 0; i < 60; ++i)
        rows += row(kLogStart + 1000 * i, i < 30 ? kWholeRow : "1.11,20,3.30,5.71,100,100,296,512");
    const std::string path = trendtest::write_file("power.csv", rows);
    TrendFrame* t = open_log(path);
    ASSERT_NE(t, nullptr);
    const trend::Scene four = t->LastScene();
    EXPECT_FALSE(t->StripBoxes[trend::kPowerStrip]->GetValue());
    EXPECT_FALSE(four.strips[trend::kPowerStrip].shown);
    EXPECT_EQ(four.strips[trend::kPowerStrip].plot.h, 0.0);

    const auto redrawn = [&](int strip, bool shown) {
        return run_event_loop_until([&] { return t->LastScene().strips[strip].shown == shown; }, kAnswerLimitMs);
    };
    toggle(t->StripBoxes[trend::kPowerStrip]);
    ASSERT_TRUE(redrawn(trend::kPowerStrip, true));
    const trend::Scene five = t->LastScene();
    const trend::Strip& power = five.strips[trend::kPowerStrip];
    EXPECT_TRUE(power.has_data);
    EXPECT_EQ(power.title, "P target [mW]");
    EXPECT_LT(five.strips[0].plot.h, four.strips[0].plot.h) << "the power strip takes its share";
    EXPECT_GT(power.plot.y, five.strips[trend::kA1].plot.y);
    // Its mean line at the left edge and the right: the power there, to a pixel.
    std::vector<trend::Point> points;
    for (const trend::Polyline& line : five.means)
        for (const trend::Point& p : line.points)
            if (p.y >= power.plot.y && p.y <= power.plot.y + power.plot.h) points.push_back(p);
    ASSERT_FALSE(points.empty());
    const auto by_x = [](const trend::Point& a, const trend::Point& b) { return a.x < b.x; };
    const auto value_at = [&](const trend::Point& p) {
        return power.values.lo + (power.plot.y + power.plot.h - p.y) / power.plot.h * (power.values.hi - power.values.lo);
    };
    const double pixel = (power.values.hi - power.values.lo) / power.plot.h;
    EXPECT_NEAR(value_at(*std::min_element(points.begin(), points.end(), by_x)), 3.30 * 103, pixel);
    EXPECT_NEAR(value_at(*std::max_element(points.begin(), points.end(), by_x)), 3.30 * 20, pixel);

    // Hovering names the readout's power.
    const auto hover = [&](double x) {
        wxMouseEvent motion(wxEVT_MOTION);
        motion.m_x = static_cast<int>(x);
        motion.m_y = static_cast<int>(power.plot.y + 2);
        t->Plot->ProcessWindowEvent(motion);
        return utf8(t->StatusBar->GetStatusText());
    };
    EXPECT_NE(hover(power.plot.x + 2).find("   P target 340 mW"), std::string::npos) << hover(power.plot.x + 2);
    EXPECT_NE(hover(power.plot.x + power.plot.w - 2).find("   P target 66.0 mW"), std::string::npos)
        << hover(power.plot.x + power.plot.w - 2);

    // V target hidden: I supply moves to the top, the strips as tall as four.
    toggle(t->StripBoxes[trend::kVTarget]);
    ASSERT_TRUE(redrawn(trend::kVTarget, false));
    const trend::Scene hidden = t->LastScene();
    EXPECT_EQ(hidden.strips[trend::kISupply].plot.y, four.strips[trend::kVTarget].plot.y);
    EXPECT_EQ(hidden.strips[trend::kISupply].plot.h, four.strips[trend::kVTarget].plot.h);
    EXPECT_EQ(hidden.strip_at(four.strips[trend::kVTarget].plot.y + 1), trend::kISupply);
    // And not in a picture saved from the window.
    const std::string svg = trendtest::temp_path("strips.svg");
    ASSERT_EQ(t->SaveImage(svg), "");
    std::ifstream in(svg);
    const std::string picture((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(picture.find("V target [V]"), std::string::npos);
    EXPECT_NE(picture.find("I supply [mA]"), std::string::npos);
    EXPECT_NE(picture.find("P target [mW]"), std::string::npos);

    // Remembered: the next window shows the same strips.
    bool shown = true;
    EXPECT_TRUE(wxConfigBase::Get()->Read("Trend/ShowVTarget", &shown));
    EXPECT_FALSE(shown);
    auto* next = new TrendFrame(nullptr);
    for (int s = 0; s < trend::kSceneStripCount; ++s)
        EXPECT_EQ(next->StripBoxes[s]->GetValue(), s != trend::kVTarget) << s;
    next->Destroy();
    toggle(t->StripBoxes[trend::kVTarget]);
    toggle(t->StripBoxes[trend::kPowerStrip]);
    ASSERT_TRUE(redrawn(trend::kPowerStrip, false));
}

// The pointer and the keys through the X server, over a log of a minute.
TEST_F(guiTrend, DragPansShiftDragSelectsAndKeysZoom) {
    std::string rows = trendtest::kHeader;
    for (int i = 0; i < 60; ++i) rows += row(kLogStart + 1000 * i, i == 30 ? ",,,,,,," : kWholeRow);
    const std::string path = trendtest::write_file("minute.csv", rows);
    TrendFrame* t = open_log(path);
    ASSERT_NE(t, nullptr);
    const trend::Extent extent{false, kLogStart, kLogStart + 59'000};
    EXPECT_TRUE(t->CurrentView().live());
    EXPECT_TRUE(t->LiveBox->GetValue());

    const trend::FillRect plot = t->LastScene().strips[0].plot;
    const int y = static_cast<int>(plot.y + plot.h / 2);
    const auto screen = [&](double x) { return t->Plot->ClientToScreen(wxPoint(static_cast<int>(x), y)); };
    wxUIActionSimulator sim;
    const auto drag = [&](double from_x, double to_x) {
        ASSERT_TRUE(sim.MouseMove(screen(from_x)));
        ASSERT_TRUE(run_event_loop_until([&] { return wxGetMousePosition() == screen(from_x); }, kAnswerLimitMs));
        ASSERT_TRUE(sim.MouseDown());
        run_event_loop_for(50);
        ASSERT_TRUE(sim.MouseMove(screen(to_x)));
        ASSERT_TRUE(run_event_loop_until([&] { return wxGetMousePosition() == screen(to_x); }, kAnswerLimitMs));
        run_event_loop_for(50);
        ASSERT_TRUE(sim.MouseUp());
        run_event_loop_for(50);
    };

    // Shift+drag over the middle half: the statistics of exactly that span.
    ASSERT_TRUE(sim.KeyDown(WXK_SHIFT));
    drag(plot.x + plot.w / 4, plot.x + plot.w * 3 / 4);
    ASSERT_TRUE(sim.KeyUp(WXK_SHIFT));
    ASSERT_TRUE(t->Selection().has_value());
    const trend::TimeRange sel = *t->Selection();
    EXPECT_NEAR(sel.t0_ms, kLogStart + 15'000, 1000);
    EXPECT_NEAR(sel.t1_ms, kLogStart + 45'000, 1000);
    const trend::Stats st = t->Shown().stats(trend::kVTarget, sel.t0_ms, sel.t1_ms);
    EXPECT_EQ(st.gaps, 1);
    const std::string stats = label(t->StatsText);
    EXPECT_NE(stats.find("V target: min 3.300 V, mean 3.300 V, max 3.300 V, " + std::to_string(st.readouts) +
                         " readouts, 1 gap"),
              std::string::npos)
        << stats;
    // The charge and energy the core gives for exactly that span, and how
    // long a battery lasts at 103 mA: 220 mAh / 103 mA = 2 h 8 min 9 s.
    const trend::Integrals in = t->Shown().integrals(sel.t0_ms, sel.t1_ms);
    EXPECT_GT(in.gap_ms, 0);
    EXPECT_NE(stats.find(trend::cost_text(in.charge_mC, in.energy_mJ, in.mean_power_mW, in.covered_ms, in.gap_ms)),
              std::string::npos)
        << stats;
    EXPECT_NE(stats.find("mean power 340 mW"), std::string::npos) << stats;  // 103 mA at 3.30 V
    t->BatteryCtrl->SetValue("1030");
    EXPECT_NE(label(t->StatsText).find("Battery 1030 mAh: 10 h 0 min"), std::string::npos) << label(t->StatsText);
    t->BatteryCtrl->SetValue("220");
    EXPECT_NE(label(t->StatsText).find("Battery 220 mAh: 2 h 8 min"), std::string::npos) << label(t->StatsText);
    wxString remembered;
    EXPECT_TRUE(wxConfigBase::Get()->Read("Trend/BatteryCapacity_mAh", &remembered));
    EXPECT_EQ(remembered, "220");
    EXPECT_TRUE(t->CurrentView().live()) << "a selection moved the view";

    // "Export CSV…" of the selection: a log that opens with exactly its
    // readouts, the one missing every reading included.
    const std::string exported = trendtest::temp_path("selection.csv");
    EXPECT_EQ(t->ExportCsv(exported, TrendFrame::ExportSpan::Selection), "");
    EXPECT_EQ(label(t->NoteText), "Exported " + std::to_string(st.readouts) + " readouts to " + exported);
    {
        trend::CsvLog log;
        std::string error;
        ASSERT_TRUE(log.open(exported, &error)) << error;
        trend::Series back(0);
        log.read_all(back);
        EXPECT_EQ(log.skipped(), 0u);
        ASSERT_EQ(static_cast<int64_t>(back.size()), st.readouts);
        size_t first = 0;
        while (t->Shown().at(first).time_ms < sel.t0_ms) ++first;
        for (size_t i = 0; i < back.size(); ++i) {
            const trend::Readout a = t->Shown().at(first + i), b = back.at(i);
            EXPECT_EQ(b.time_ms, a.time_ms);
            for (int r = 0; r < trend::kReadingCount; ++r)
                EXPECT_TRUE(b.value[r] == a.value[r] || (std::isnan(b.value[r]) && std::isnan(a.value[r]))) << i;
        }
        EXPECT_EQ(back.stats(trend::kVTarget, sel.t0_ms, sel.t1_ms).gaps, 1);
    }
    // Esc drops it, its statistics and its shading in the next picture.
    const std::string selected = trendtest::temp_path("selected.png"), dropped = trendtest::temp_path("dropped.png");
    ASSERT_EQ(t->SaveImage(selected), "");
    t->Plot->SetFocus();
    ASSERT_TRUE(sim.Char(WXK_ESCAPE));
    EXPECT_TRUE(run_event_loop_until([&] { return !t->Selection(); }, kAnswerLimitMs));
    EXPECT_FALSE(t->StatsText->IsShown());
    EXPECT_FALSE(t->ZoomButton->IsEnabled());
    ASSERT_EQ(t->SaveImage(dropped), "");
    // The share of the picture's column in the selection's middle that is
    // tinted blue: the selection's shading over every strip (translucent, or
    // a hatch where the DC cannot blend: Windows' GDI), or a trace's few
    // pixels. Taken over the whole height, as the title line above the
    // strips moves them down by its font's height.
    const auto tinted = [&](const std::string& path) {
        wxImage picture;
        EXPECT_TRUE(picture.LoadFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG));
        const int px = static_cast<int>(plot.x + plot.w / 2);
        int blue = 0;
        for (int py = 0; py < picture.GetHeight(); ++py) blue += picture.GetBlue(px, py) > picture.GetRed(px, py) + 20;
        return static_cast<double>(blue) / std::max(1, picture.GetHeight());
    };
    const double shaded = tinted(selected), plain = tinted(dropped);
    EXPECT_LT(plain, 0.03) << "shaded without a selection";
    EXPECT_GT(shaded, plain + 0.03) << "no selection shaded";
    ASSERT_TRUE(sim.KeyDown(WXK_SHIFT));
    drag(plot.x + plot.w / 4, plot.x + plot.w * 3 / 4);
    ASSERT_TRUE(sim.KeyUp(WXK_SHIFT));
    ASSERT_EQ(t->Selection(), sel);

    // "Zoom to selection", then a plain drag pans and stops following.
    ASSERT_TRUE(t->ZoomButton->IsEnabled());
    click(t->ZoomButton);
    EXPECT_EQ(t->CurrentView().range(extent), sel);
    EXPECT_FALSE(t->LiveBox->GetValue());
    ASSERT_TRUE(wait_until_drawn(t));
    drag(plot.x + plot.w / 2, plot.x + plot.w / 4);
    const trend::TimeRange panned = t->CurrentView().range(extent);
    EXPECT_EQ(panned.width_ms(), sel.width_ms());
    EXPECT_NEAR(panned.t0_ms - sel.t0_ms, sel.width_ms() / 4, 1000);

    // Panned off the selection, its statistics hide and it stays; panned
    // back onto a part of it, they show again.
    t->Plot->SetFocus();
    for (int i = 0; i < 8 && t->CurrentView().range(extent).t0_ms < sel.t1_ms; ++i) {
        const int64_t before = t->CurrentView().range(extent).t0_ms;
        ASSERT_TRUE(sim.Char(WXK_RIGHT));
        ASSERT_TRUE(run_event_loop_until([&] { return t->CurrentView().range(extent).t0_ms > before; },
                                         kAnswerLimitMs));
    }
    ASSERT_GE(t->CurrentView().range(extent).t0_ms, sel.t1_ms);
    EXPECT_FALSE(t->StatsText->IsShown());
    EXPECT_EQ(t->Selection(), sel);
    ASSERT_TRUE(sim.Char(WXK_LEFT));
    EXPECT_TRUE(run_event_loop_until([&] { return t->StatsText->IsShown(); }, kAnswerLimitMs));
    EXPECT_LT(t->CurrentView().range(extent).t0_ms, sel.t1_ms);
    EXPECT_EQ(label(t->StatsText).rfind("Selection ", 0), 0u) << label(t->StatsText);

    // The keys: + halves the width, Home shows everything, End follows.
    t->Plot->SetFocus();
    ASSERT_TRUE(sim.Char('+'));
    EXPECT_TRUE(run_event_loop_until([&] { return t->CurrentView().range(extent).width_ms() < panned.width_ms(); },
                                     kAnswerLimitMs));
    ASSERT_TRUE(sim.Char(WXK_HOME));
    EXPECT_TRUE(run_event_loop_until(
        [&] { return t->CurrentView().range(extent) == trend::TimeRange{kLogStart, kLogStart + 59'001}; },
        kAnswerLimitMs));

    // The wheel zooms about the pointer: the time under it stays there.
    const trend::TimeRange all = t->CurrentView().range(extent);
    ASSERT_TRUE(wait_until_drawn(t));
    const int wheel_x = static_cast<int>(plot.x + plot.w / 4);
    const int64_t under = t->LastScene().time_at(wheel_x);
    wxMouseEvent wheel(wxEVT_MOUSEWHEEL);
    wheel.SetPosition(wxPoint(wheel_x, y));
    wheel.m_wheelRotation = wheel.m_wheelDelta = 120;
    wheel.m_wheelAxis = wxMOUSE_WHEEL_VERTICAL;
    t->Plot->ProcessWindowEvent(wheel);
    ASSERT_TRUE(wait_until_drawn(t));
    EXPECT_NEAR(t->CurrentView().range(extent).width_ms(), all.width_ms() / 1.25, 1);
    EXPECT_NEAR(t->LastScene().time_at(wheel_x), under, all.width_ms() / plot.w);
    // A touchpad's half notch zooms half as far.
    wheel.m_wheelRotation = 60;
    t->Plot->ProcessWindowEvent(wheel);
    ASSERT_TRUE(wait_until_drawn(t));
    EXPECT_NEAR(t->CurrentView().range(extent).width_ms(), all.width_ms() / 1.25 / std::sqrt(1.25), 1);

    // Hovering names the time and the nearest readout's readings.
    ASSERT_TRUE(sim.MouseMove(screen(plot.x + 2)));
    EXPECT_TRUE(run_event_loop_until(
        [&] {
            return utf8(t->StatusBar->GetStatusText()).find(
                       "   V target 3.30 V   I supply 103 mA   A0 5.71 V   A1 1.11 V") != std::string::npos;
        },
        kAnswerLimitMs))
        << utf8(t->StatusBar->GetStatusText());

    ASSERT_TRUE(sim.Char(WXK_END));
    EXPECT_TRUE(run_event_loop_until([&] { return t->LiveBox->GetValue(); }, kAnswerLimitMs));

    // A plain click in the plot drops the selection too.
    ASSERT_TRUE(t->Selection().has_value());
    EXPECT_TRUE(t->StatsText->IsShown());
    ASSERT_TRUE(sim.MouseClick());
    EXPECT_TRUE(run_event_loop_until([&] { return !t->Selection(); }, kAnswerLimitMs));
    EXPECT_FALSE(t->StatsText->IsShown());
}

TEST_F(guiTrend, ALargeLogLoadsInSlicesWithProgressAndCancelKeepsWhatWasRead) {
    // Several of the window's slices of rows.
    const std::size_t rows = 5 * TrendFrame::kLoadSliceBytes / (row(kLogStart, kWholeRow).size() - 1);
    std::string text = trendtest::kHeader;
    text.reserve(rows * 64);
    for (std::size_t i = 0; i < rows; ++i) text += row(kLogStart + static_cast<int64_t>(i), kWholeRow);
    const std::string path = trendtest::write_file("large.csv", text);
    open_window();
    TrendFrame* t = open_trend();
    ASSERT_NE(t, nullptr);

    ASSERT_TRUE(t->OpenLog(wxString::FromUTF8(path)));
    EXPECT_TRUE(t->Loading());
    EXPECT_TRUE(t->LoadGauge->IsShown());
    EXPECT_TRUE(t->CancelButton->IsShown());
    ASSERT_TRUE(run_event_loop_until([t] { return t->Shown().size() > 0; }, kAnswerLimitMs));
    EXPECT_GT(t->LoadGauge->GetValue(), 0);
    click(t->CancelButton);

    EXPECT_FALSE(t->Loading());
    EXPECT_FALSE(t->LoadGauge->IsShown());
    const std::size_t kept = t->Shown().size();
    EXPECT_LT(kept, rows);
    EXPECT_EQ(label(t->NoteText), path + ": loading cancelled, the first " + std::to_string(kept) +
                                      " readouts shown");
    // A cancelled log is not read on.
    run_event_loop_for(2 * TrendFrame::kFollowPeriodMs);
    EXPECT_EQ(t->Shown().size(), kept);
}

TEST_F(guiTrend, MarkersSetByClicksReportTheReadoutsTheySitOnAndTheSpanBetween) {
    // I supply climbs by 1 mA a second, A0 goes missing at 50 s.
    std::string rows = trendtest::kHeader;
    for (int i = 0; i < 60; ++i) {
        const std::string a0 = i == 50 ? "" : "5.71";
        rows += row(kLogStart + 1000 * i,
                    ("1.11," + std::to_string(100 + i) + ",3.30," + a0 + ",100,100,296,512").c_str());
    }
    const std::string path = trendtest::write_file("markers.csv", rows);
    TrendFrame* t = open_log(path);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->MarkerText->IsShown());
    EXPECT_FALSE(t->MarkerZoomButton->IsEnabled());

    // The plot shrinks as the markers' lines take their room below it, and
    // its axes with it: every x is taken from the scene drawn last, inside
    // the I supply strip, a little off the readout the marker snaps to.
    int y = 0;
    const auto x_of = [&](int second) {
        EXPECT_TRUE(wait_until_drawn(t));
        const trend::Scene& scene = t->LastScene();
        y = static_cast<int>(scene.strips[1].plot.y + scene.strips[1].plot.h / 2);
        return static_cast<int>(std::lround(scene.x_of(kLogStart + 1000 * second))) + 1;
    };
    const auto screen = [&](int x) { return t->Plot->ClientToScreen(wxPoint(x, y)); };
    wxUIActionSimulator sim;
    const auto move = [&](int x) {
        ASSERT_TRUE(sim.MouseMove(screen(x)));
        ASSERT_TRUE(run_event_loop_until([&] { return wxGetMousePosition() == screen(x); }, kAnswerLimitMs));
        run_event_loop_for(50);
    };
    const auto ctrl_click = [&](int x) {
        move(x);
        ASSERT_TRUE(sim.KeyDown(WXK_CONTROL));
        ASSERT_TRUE(sim.MouseClick());
        ASSERT_TRUE(sim.KeyUp(WXK_CONTROL));
        run_event_loop_for(50);
    };

    ctrl_click(x_of(10));
    ctrl_click(x_of(40));
    ASSERT_TRUE(t->Markers()[0] && t->Markers()[1]);
    EXPECT_EQ(*t->Markers()[0], kLogStart + 10'000);
    EXPECT_EQ(*t->Markers()[1], kLogStart + 40'000);
    std::string text = label(t->MarkerText);
    EXPECT_EQ(text.rfind("A " + local_text(kLogStart + 10'000) + ": V target 3.30 V, I supply 110 mA, A0 5.71 V, A1 1.11 V\n"
                         "B " + local_text(kLogStart + 40'000) + ": V target 3.30 V, I supply 140 mA, A0 5.71 V, A1 1.11 V\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("\xCE\x94t 30.000 s; V target +0.00 V, I supply +30 mA, A0 +0.00 V, A1 +0.00 V\n"),
              std::string::npos)
        << text;
    const trend::Integrals in = t->Shown().integrals(kLogStart + 10'000, kLogStart + 40'000);
    // 110..139 mA for a second each: 3735 mC.
    EXPECT_DOUBLE_EQ(in.charge_mC, 3735.0);
    EXPECT_NE(text.find(trend::cost_text(in.charge_mC, in.energy_mJ, in.mean_power_mW, in.covered_ms, in.gap_ms)),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Battery "), std::string::npos) << text;
    // The lines are drawn over every strip.
    ASSERT_TRUE(wait_until_drawn(t));
    int marker_lines = 0;
    for (const trend::Segment& s : t->LastScene().segments)
        if (s.from.x == s.to.x && s.from.x == t->LastScene().x_of(kLogStart + 40'000)) ++marker_lines;
    EXPECT_EQ(marker_lines, trend::kStripCount);
    // scripts/screenshots has the README's picture of the markers, a
    // selection's statistics and the power strip written here.
    if (const char* picture = std::getenv("TALVIRO_SCREENSHOT_COST")) {
        toggle(t->StripBoxes[trend::kPowerStrip]);
        ASSERT_TRUE(run_event_loop_until([&] { return t->LastScene().strips[trend::kPowerStrip].shown; },
                                         kAnswerLimitMs));
        ASSERT_TRUE(sim.KeyDown(WXK_SHIFT));
        move(x_of(20));
        ASSERT_TRUE(sim.MouseDown());
        move(x_of(30));
        ASSERT_TRUE(sim.MouseUp());
        ASSERT_TRUE(sim.KeyUp(WXK_SHIFT));
        ASSERT_TRUE(run_event_loop_until([&] { return t->Selection() && t->StatsText->IsShown(); }, kAnswerLimitMs));
        t->Raise();
        ASSERT_TRUE(wait_until_drawn(t));
        run_event_loop_for(200);  // the X server shows what was drawn
        ASSERT_TRUE(screenshot(t).SaveFile(wxString::FromUTF8(picture), wxBITMAP_TYPE_PNG)) << picture;
        t->Plot->SetFocus();
        ASSERT_TRUE(sim.Char(WXK_ESCAPE));
        ASSERT_TRUE(run_event_loop_until([&] { return !t->Selection(); }, kAnswerLimitMs));
        toggle(t->StripBoxes[trend::kPowerStrip]);
    }

    // B dragged onto the readout without A0: its difference is missing.
    move(x_of(40) - 1);
    ASSERT_TRUE(sim.MouseDown());
    run_event_loop_for(50);
    move(x_of(50));
    ASSERT_TRUE(sim.MouseUp());
    run_event_loop_for(50);
    EXPECT_EQ(*t->Markers()[1], kLogStart + 50'000);
    text = label(t->MarkerText);
    EXPECT_NE(text.find("\xCE\x94t 40.000 s; V target +0.00 V, I supply +40 mA, A0 --- V"), std::string::npos) << text;
    EXPECT_EQ(t->CurrentView().range({false, kLogStart, kLogStart + 59'000}),
              (trend::TimeRange{kLogStart, kLogStart + 59'001}))
        << "dragging a marker panned";

    // "Zoom to markers" shows just their span.
    ASSERT_TRUE(t->MarkerZoomButton->IsEnabled());
    click(t->MarkerZoomButton);
    EXPECT_EQ(t->CurrentView().range({false, kLogStart, kLogStart + 59'000}),
              (trend::TimeRange{kLogStart + 10'000, kLogStart + 50'000}));

    // A right click on a marker's line removes it; x removes the rest.
    move(x_of(50) - 1);
    ASSERT_TRUE(sim.MouseClick(wxMOUSE_BTN_RIGHT));
    EXPECT_TRUE(run_event_loop_until([&] { return !t->Markers()[1]; }, kAnswerLimitMs));
    EXPECT_TRUE(t->Markers()[0].has_value());
    EXPECT_FALSE(t->MarkerZoomButton->IsEnabled());
    EXPECT_EQ(label(t->MarkerText).find("\xCE\x94t"), std::string::npos);
    t->Plot->SetFocus();
    ASSERT_TRUE(sim.Char('x'));
    EXPECT_TRUE(run_event_loop_until([&] { return !t->Markers()[0] && !t->MarkerText->IsShown(); }, kAnswerLimitMs));
}

// A capture in the trend window, in real time on the simulated probe with
// the bus time of each transfer modelled (about 31 ms a readout). The test
// steers the probe only through the device's call hook, which runs on the
// thread that calls the driver: the capture's while it runs.
class guiCapture : public guiTrend {
protected:
    static constexpr std::chrono::microseconds kTransferTime{100};
    static constexpr uint16_t kBefore[4] = {100, 200, 300, 400};
    static constexpr uint16_t kAfter[4] = {900, 800, 700, 600};
    // Ending the capture and getting the channel back take at most this.
    static constexpr int64_t kEndMs = static_cast<int64_t>(console::kCaptureStopMs);

    void SetUp() override {
        guiTrend::SetUp();
        dev().set_clock(nullptr);
        set_inputs(kBefore);
        dev().set_call_hook([this] {
            // Owed bus time is slept in whole milliseconds: shorter sleeps
            // last a millisecond or more under Wine.
            owed_ += kTransferTime;
            if (owed_ >= std::chrono::milliseconds(1)) {
                std::this_thread::sleep_for(owed_);
                owed_ = {};
            }
            if (unplug_.exchange(false)) dev().unplug();
            if (change_.exchange(false)) set_inputs(kAfter);
            if (replug_.exchange(false)) {
                dev().plug_in();
                set_inputs(kAfter);
            }
        });
    }
    void TearDown() override {
        guiTrend::TearDown();  // the measurement window, and so the capture, goes
        dev().set_call_hook({});
    }
    void set_inputs(const uint16_t (&counts)[4]) {
        for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, counts[ch]);
    }
    // The user picks a rate in the trend window.
    static void choose_rate(TrendFrame* t, console::CaptureRate rate) {
        t->RateChoice->SetSelection(static_cast<int>(rate));
        wxCommandEvent event(wxEVT_CHOICE, t->RateChoice->GetId());
        event.SetEventObject(t->RateChoice);
        event.SetInt(static_cast<int>(rate));
        t->RateChoice->ProcessWindowEvent(event);
    }
    // Opens the window and the trend window and captures at full pace until
    // the trend holds a few of its readouts.
    TrendFrame* capturing() {
        open_window();
        TrendFrame* t = open_trend();
        if (t == nullptr) return nullptr;
        const std::size_t before = t->Shown().size();
        choose_rate(t, console::CaptureRate::Bus);
        EXPECT_TRUE(frame->Capturing());
        EXPECT_TRUE(run_event_loop_until([&] { return t->Shown().size() >= before + 5; }, kAnswerLimitMs));
        return t;
    }
    static int64_t ms_since(std::chrono::steady_clock::time_point begun) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun)
            .count();
    }
    static bool has_counts(const trend::Readout& r, const uint16_t (&counts)[4]) {
        for (int reading = 0; reading < trend::kReadingCount; ++reading) {
            const int ch = trend::reading_channel(reading);
            if (r.value[reading] != readings::reading_from_count(readings::kChannels[ch].kind, counts[ch]))
                return false;
        }
        return true;
    }
    // FT_Close calls per handle; read only when no capture runs.
    std::map<FT_HANDLE, int> closes() const {
        std::map<FT_HANDLE, int> count;
        for (const sim::Call& c : dev().calls(sim::Fn::Close)) ++count[c.handle];
        return count;
    }

    std::atomic<bool> unplug_{false};
    std::atomic<bool> change_{false};
    // Bus time not slept yet; only the thread that calls the driver uses it.
    std::chrono::microseconds owed_{0};
    std::atomic<bool> replug_{false};
};

TEST_F(guiCapture, AtFullPaceClicksOnLockYAndKeysAreHandledWithin50Ms) {
    TrendFrame* t = capturing();
    ASSERT_NE(t, nullptr);
    wait_until_painted();
    ASSERT_TRUE(wait_until_drawn(t));
    const std::size_t readouts_before = t->Shown().size();

    // When each event reached the window: bound after the window's own
    // handlers, so these run first.
    std::optional<std::chrono::steady_clock::time_point> reached;
    t->LockYBox->Bind(wxEVT_CHECKBOX, [&](wxCommandEvent& event) {
        reached = std::chrono::steady_clock::now();
        event.Skip();
    });
    t->Bind(wxEVT_CHAR_HOOK, [&](wxKeyEvent& event) {
        reached = std::chrono::steady_clock::now();
        event.Skip();
    });
    wxUIActionSimulator sim;
    const wxPoint box = t->LockYBox->GetScreenRect().GetLeftTop() + wxPoint(4, t->LockYBox->GetSize().y / 2);
    ASSERT_TRUE(sim.MouseMove(box));
    ASSERT_TRUE(run_event_loop_until([&] { return wxGetMousePosition() == box; }, kAnswerLimitMs));

    constexpr int kEvents = 50;
    std::vector<int64_t> latency_ms;
    for (int k = 0; k < kEvents; ++k) {
        SCOPED_TRACE(k);
        const bool click = k % 2 == 0;
        const bool locked = t->CurrentView().y_locked();
        const auto width = [t] {
            return t->CurrentView().range({t->Shown().empty(), t->Shown().first_time(), t->Shown().last_time()}).width_ms();
        };
        const int64_t width_before = width();
        if (!click) t->Plot->SetFocus();
        reached.reset();
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(click ? sim.MouseClick() : sim.Char(k % 4 == 1 ? '+' : '-'));
        ASSERT_TRUE(run_event_loop_until([&] { return reached.has_value(); }, kAnswerLimitMs));
        latency_ms.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(*reached - sent).count());
        // Handled, not only delivered: Lock Y flipped, the span zoomed.
        if (click)
            EXPECT_NE(t->CurrentView().y_locked(), locked);
        else
            EXPECT_NE(width(), width_before);
        run_event_loop_for(10);
    }
    std::sort(latency_ms.begin(), latency_ms.end());
    const int64_t p95 = latency_ms[kEvents * 95 / 100 - 1];
    EXPECT_LE(p95, 50) << "p95 of " << kEvents << " events; the slowest took " << latency_ms.back() << " ms";
    // The capture went on at its pace meanwhile (at least half of it on a loaded machine).
    EXPECT_TRUE(frame->Capturing());
    EXPECT_GT(t->Shown().size(), readouts_before + 10);
}

TEST_F(guiCapture, ASlowerRateAndClosingTheTrendWindowEndItAndTheWindowReadsAgain) {
    TrendFrame* t = capturing();
    ASSERT_NE(t, nullptr);
    // The inputs change: the trend shows it at once, the measurement
    // window's texts only on Refresh, which shows the capture's latest
    // readout and reads nothing itself.
    const std::string before = label(frame->StaticText3);
    change_ = true;
    ASSERT_TRUE(run_event_loop_until([&] { return has_counts(t->Shown().at(t->Shown().size() - 1), kAfter); },
                                     kAnswerLimitMs));
    EXPECT_EQ(label(frame->StaticText3), before);
    const std::size_t drawn = t->Shown().size();
    click(frame->Button3);
    EXPECT_EQ(t->Shown().size(), drawn);
    EXPECT_EQ(label(frame->StaticText3),
              "V target = " + readings::format_reading(readings::Kind::Voltage, readings::volts_from_count(700)));
    for (const bool close_trend : {false, true}) {
        SCOPED_TRACE(close_trend ? "trend window closed" : "1 s chosen");
        if (close_trend) choose_rate(t, console::CaptureRate::Tenth);
        ASSERT_TRUE(frame->Capturing());
        const auto begun = std::chrono::steady_clock::now();
        const uint64_t begun_ms = sim::real_clock().now_ms();
        if (close_trend)
            t->Close(true);
        else
            choose_rate(t, console::CaptureRate::Second);
        // Ended by the time the action returns, and (a close also hides the
        // window, which takes Wine a while) no transfer after the bound.
        EXPECT_FALSE(frame->Capturing());
        if (!close_trend) {
            EXPECT_LE(ms_since(begun), kEndMs);
        }
        EXPECT_LE(dev().log().back().time_ms, begun_ms + kEndMs);
        EXPECT_EQ(frame->CaptureRate(), console::CaptureRate::Second);
        // The channel is the window's again, open and in step: nothing
        // closed it, and Refresh reads one whole readout on it.
        EXPECT_TRUE(closes().empty());
        expect_connected();
        const std::size_t mark = log_mark();
        click(frame->Button3);
        EXPECT_EQ(readouts_since(mark), 1u);
        EXPECT_EQ(log_mark(), mark + kWritesPerReadout + kReadsPerReadout);
    }
    ASSERT_TRUE(run_event_loop_until([] { return trend_windows().empty(); }, kAnswerLimitMs));
    // A new trend window shows the rate: 1 s.
    t = open_trend();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->RateChoice->GetSelection(), static_cast<int>(console::CaptureRate::Second));
}

TEST_F(guiCapture, DisconnectEndsItAndClosesTheChannelOnceConnectResumesIt) {
    TrendFrame* t = capturing();
    ASSERT_NE(t, nullptr);
    const auto begun = std::chrono::steady_clock::now();
    click(frame->Button2);
    EXPECT_LE(ms_since(begun), kEndMs);
    EXPECT_FALSE(frame->Capturing());
    expect_disconnected("Not connected");
    const std::map<FT_HANDLE, int> closed = closes();
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed.begin()->second, 1);
    EXPECT_FALSE(dev().channel_open('B'));
    // The rate stays chosen: Connect captures again.
    click(frame->Button1);
    EXPECT_TRUE(frame->Capturing());
    const std::size_t shown = t->Shown().size();
    EXPECT_TRUE(run_event_loop_until([&] { return t->Shown().size() > shown + 3; }, kAnswerLimitMs));
}

TEST_F(guiCapture, ClosingTheMeasurementWindowEndsItWithTheChannelLeftAsItWas) {
    ASSERT_NE(capturing(), nullptr);
    const uint64_t begun_ms = sim::real_clock().now_ms();
    frame->Close(true);
    // Ended by the time Close returns, with no transfer after the bound.
    EXPECT_FALSE(frame->Capturing());
    EXPECT_LE(dev().log().back().time_ms, begun_ms + kEndMs);
    ASSERT_TRUE(run_event_loop_until([] { return wxTopLevelWindows.IsEmpty(); }, kAnswerLimitMs));
    frame = nullptr;
    // The driver sees nothing more, and no close (only Disconnect closes
    // the channel).
    const std::size_t calls = log_mark();
    run_event_loop_for(static_cast<int>(kEndMs));
    EXPECT_EQ(log_mark(), calls);
    EXPECT_TRUE(closes().empty());
}

TEST_F(guiCapture, AnUnpluggedProbeIsAGapAndTheReplugResumesWithNoOldReadout) {
    TrendFrame* t = capturing();
    ASSERT_NE(t, nullptr);
    unplug_ = true;
    ASSERT_TRUE(run_event_loop_until([&] { return status(0) == "TALVIRO not responding"; }, kAnswerLimitMs));
    EXPECT_TRUE(frame->Capturing());
    const std::size_t away_from = t->Shown().size();
    const int64_t replugged_at = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    replug_ = true;
    ASSERT_TRUE(run_event_loop_until([&] { return status(0) == "TALVIRO Connected"; }, kAnswerLimitMs));
    ASSERT_TRUE(run_event_loop_until([&] { return t->Shown().size() > away_from + 3; }, kAnswerLimitMs));

    // Old readouts, then the gap, then only the replugged probe's, the
    // first of them taken within the bound of the replug.
    const trend::Series& s = t->Shown();
    const auto whole = [&s](std::size_t k) {
        const trend::Readout r = s.at(k);
        return std::none_of(std::begin(r.value), std::end(r.value), [](float v) { return std::isnan(v); });
    };
    std::size_t gap = 0;
    while (gap < s.size() && whole(gap)) ++gap;
    ASSERT_LT(gap, s.size());
    for (std::size_t k = 0; k < gap; ++k) EXPECT_TRUE(has_counts(s.at(k), kBefore)) << k;
    // Every reading is missing while the probe is away, also those the
    // readout cut by the unplug had taken whole.
    for (float v : s.at(gap).value) EXPECT_TRUE(std::isnan(v));
    ASSERT_LT(gap + 1, s.size());
    EXPECT_LE(s.at(gap + 1).time_ms - replugged_at, kEndMs);
    for (std::size_t k = gap + 1; k < s.size(); ++k) EXPECT_TRUE(has_counts(s.at(k), kAfter)) << k;

    // Disconnect: each channel the capture and the window had was closed once.
    click(frame->Button2);
    const std::map<FT_HANDLE, int> closed = closes();
    EXPECT_EQ(closed.size(), 2u);
    for (const auto& handle_count : closed) EXPECT_EQ(handle_count.second, 1);
}
