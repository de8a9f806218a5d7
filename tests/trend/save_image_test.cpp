// talviro_gui_demo --save-image as a script runs it: the picture of a log of a
// million readouts, read back from the PNG; the SVG through xmllint; the
// logs it refuses and the command lines it rejects, with their statuses.
#include "app/gui_options.h"
#include "trend/svg.h"

#include <gtest/gtest.h>

#include <wx/image.h>
#include <wx/init.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr const char* kHeader =
    "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count\n";

std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Ran {
    int status;        // exit status, -1 when it did not exit
    std::string err;   // standard error
    std::string out;   // standard output
};

// Runs the demo program with the shell text after its name.
// A folder of this run's own under the test's temporary folder, so that the
// tests ctest runs side by side never share a file; removed at exit.
const std::string& scratch_dir() {
    static const struct Scratch {
        std::string path;
        Scratch() {
            std::string name = ::testing::TempDir() + "talviro_save_image_XXXXXX";
            if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp " + name);
            path = name + "/";
        }
        ~Scratch() {
            std::error_code ignored;  // a leftover temporary folder is no test failure
            std::filesystem::remove_all(path, ignored);
        }
    } scratch;
    return scratch.path;
}

Ran run_demo(const std::string& rest, const std::string& env = "") {
    const std::string err_path = scratch_dir() + "save_image_stderr.txt";
    const std::string out_path = scratch_dir() + "save_image_stdout.txt";
    const std::string command =
        env + quoted(TALVIRO_GUI_DEMO) + " " + rest + " 2>" + quoted(err_path) + " >" + quoted(out_path);
    const int status = std::system(command.c_str());
    return Ran{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(err_path), slurp(out_path)};
}

// "2026-12-08T01:33:00.123Z" of UTC milliseconds.
std::string iso(int64_t ms) {
    const std::time_t s = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

// The picture's colours, as a user sees them: frame, plot, axes, the gap
// shade, and per strip the band and the mean line.
struct Rgb {
    int r, g, b;
};
const Rgb kAxis{110, 110, 110};
const Rgb kGapShade{200, 200, 200};
const Rgb kLine[4] = {{31, 119, 180}, {214, 39, 40}, {44, 160, 44}, {148, 103, 189}};
const Rgb kBand[4] = {{165, 201, 225}, {239, 169, 169}, {170, 217, 170}, {212, 194, 229}};
const std::vector<Rgb> kPalette = {{246, 246, 246}, {255, 255, 255}, {232, 232, 232}, kAxis, kGapShade, {30, 30, 30},
                                   kLine[0], kLine[1], kLine[2], kLine[3], kBand[0], kBand[1], kBand[2], kBand[3]};

class Picture {
public:
    explicit Picture(const std::string& path) { loaded_ = image_.LoadFile(path, wxBITMAP_TYPE_PNG); }
    bool loaded() const { return loaded_; }
    int width() const { return image_.GetWidth(); }
    int height() const { return image_.GetHeight(); }
    bool is(int x, int y, const Rgb& c) const {
        return image_.GetRed(x, y) == c.r && image_.GetGreen(x, y) == c.g && image_.GetBlue(x, y) == c.b;
    }
    // The palette colour nearest to the pixel: antialiased edges count as
    // what covers most of them.
    bool looks(int x, int y, const Rgb& c) const {
        auto distance = [&](const Rgb& p) {
            const int dr = image_.GetRed(x, y) - p.r, dg = image_.GetGreen(x, y) - p.g,
                      db = image_.GetBlue(x, y) - p.b;
            return dr * dr + dg * dg + db * db;
        };
        const Rgb* best = &kPalette[0];
        for (const Rgb& p : kPalette)
            if (distance(p) < distance(*best))
                best = &p;
        return best->r == c.r && best->g == c.g && best->b == c.b;
    }
    // Pixels of column x in rows [y0, y1) whose contrast with the white plot
    // is at least ratio (WCAG's relative luminance).
    int count_contrasting(int x, int y0, int y1, double ratio) const {
        auto linear = [](int c) {
            const double v = c / 255.0;
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        int n = 0;
        for (int y = y0; y < y1; ++y) {
            const double l = 0.2126 * linear(image_.GetRed(x, y)) + 0.7152 * linear(image_.GetGreen(x, y)) +
                             0.0722 * linear(image_.GetBlue(x, y));
            n += (1.0 + 0.05) / (l + 0.05) >= ratio;
        }
        return n;
    }
    // Pixels of column x in rows [y0, y1) that look like c.
    int count(int x, int y0, int y1, const Rgb& c) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            n += looks(x, y, c);
        return n;
    }

private:
    wxImage image_;
    bool loaded_ = false;
};

// Where the picture puts its plots, found from its axis lines: each strip's
// plot has a vertical axis on its left and a horizontal one under it.
struct Plots {
    int left = -1, right = -1;       // plot columns [left, right)
    int top[4] = {}, bottom[4] = {};  // plot rows [top, bottom)
};

Plots find_plots(const Picture& p) {
    Plots plots;
    const int mid = p.width() / 2;
    int strip = 0;
    for (int y = 0; y < p.height() && strip < 4; ++y)
        if (p.is(mid, y, kAxis))
            plots.bottom[strip++] = y;
    if (strip < 4)
        return plots;
    for (int x = 0; x < mid && plots.left < 0; ++x)
        if (p.is(x, plots.bottom[0] - 1, kAxis))
            plots.left = x + 1;
    for (int x = mid; x < p.width() && p.is(x, plots.bottom[0], kAxis); ++x)
        plots.right = x + 1;
    for (int s = 0; s < 4; ++s) {
        int y = plots.bottom[s] - 1;
        while (y > 0 && p.is(plots.left - 1, y - 1, kAxis))
            --y;
        plots.top[s] = y;
    }
    return plots;
}

// A day of readouts at the interval talviro_read --interval 0.033 keeps,
// shortened to a million: one readout with a spike of the supply current,
// and V target missing from a few rows.
constexpr int64_t kReadouts = 1'000'000;
constexpr int64_t kIntervalMs = 33;
constexpr int64_t kStartMs = 1'796'694'780'000;  // 2026-12-08T01:53:00Z
constexpr int64_t kSpike = 612'345;
constexpr int64_t kGapFirst = 300'000;
constexpr int64_t kGapRows = 4;

void write_big_log(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(kHeader, f);
    int64_t second = -1;
    char stamp[40] = {};
    for (int64_t i = 0; i < kReadouts; ++i) {
        const int64_t t = kStartMs + i * kIntervalMs;
        if (t / 1000 != second) {
            second = t / 1000;
            std::snprintf(stamp, sizeof stamp, "%s", iso(t).c_str());
        }
        std::snprintf(stamp + 20, sizeof stamp - 20, "%03dZ", static_cast<int>(t % 1000));
        const bool gap = i >= kGapFirst && i < kGapFirst + kGapRows;
        const int current = i == kSpike ? 500 : 20 + static_cast<int>(i % 7);
        const double v_target = 3.30 + 0.01 * static_cast<double>((i / 1000) % 5);
        if (gap)
            std::fprintf(f, "%s,0.50,%d,,1.20,45,20,,108\n", stamp, current);
        else
            std::fprintf(f, "%s,0.50,%d,%.2f,1.20,45,20,296,108\n", stamp, current, v_target);
    }
    ASSERT_EQ(std::fclose(f), 0);
}

TEST(trendSaveImage, MillionReadoutsShowTheSpikeInItsColumnAndShadeTheGapWithoutALine) {
    const std::string dir = scratch_dir();
    const std::string log = dir + "million.csv";
    const std::string png = dir + "million.png";
    const std::string svg = dir + "million.svg";
    write_big_log(log);
    const int64_t t0 = kStartMs, t1 = kStartMs + kReadouts * kIntervalMs;
    const std::string span = " --from " + iso(t0) + " --to " + iso(t1) + " ";

    std::remove(png.c_str());
    const Ran run = run_demo("--save-image " + quoted(png) + " --size 1200x800" + span + quoted(log));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");

    wxInitializer toolkit;
    wxImage::AddHandler(new wxPNGHandler);
    const Picture picture(png);
    ASSERT_TRUE(picture.loaded());
    EXPECT_EQ(picture.width(), 1200);
    EXPECT_EQ(picture.height(), 800);
    const Plots plots = find_plots(picture);
    ASSERT_GT(plots.left, 0);
    ASSERT_GT(plots.right, plots.left + 500);
    const int64_t n_px = plots.right - plots.left;
    const int64_t width_ms = t1 - t0;
    // The column a time falls in: columns split the span evenly.
    auto column = [&](int64_t t) { return plots.left + static_cast<int>((t - t0) * n_px / width_ms); };

    // The spike: the I supply band reaches the upper half of its plot in
    // its column only.
    const int64_t spike_t = kStartMs + kSpike * kIntervalMs;
    const double where = static_cast<double>((spike_t - t0) * n_px % width_ms) / static_cast<double>(width_ms);
    ASSERT_TRUE(where > 0.05 && where < 0.95) << "the spike sits on a column's edge: " << where;
    const int spike_x = column(spike_t);
    const int upper0 = plots.top[1], upper1 = (plots.top[1] + plots.bottom[1]) / 2;
    EXPECT_GT(picture.count(spike_x, upper0, upper1, kBand[1]) + picture.count(spike_x, upper0, upper1, kLine[1]),
              (upper1 - upper0) / 2);
    for (int x : {spike_x - 1, spike_x + 1})
        EXPECT_EQ(picture.count(x, upper0, upper1, kBand[1]) + picture.count(x, upper0, upper1, kLine[1]), 0)
            << "column " << x;
    // Seen in a report: most of its height at 3:1 against the plot or more.
    EXPECT_GT(picture.count_contrasting(spike_x, upper0, upper1, 3.0), (upper1 - upper0) / 2);

    // The gap: V target is missing from its first row to the row after it.
    const int gap_x0 = column(kStartMs + kGapFirst * kIntervalMs);
    const int gap_x1 = column(kStartMs + (kGapFirst + kGapRows) * kIntervalMs - 1);
    for (int x = gap_x0; x <= gap_x1; ++x) {
        EXPECT_GT(picture.count(x, plots.top[0], plots.bottom[0], kGapShade), 0) << "column " << x;
        EXPECT_EQ(picture.count(x, plots.top[0], plots.bottom[0], kLine[0]), 0) << "column " << x;
        // Only V target was missing.
        EXPECT_EQ(picture.count(x, plots.top[2], plots.bottom[2], kGapShade), 0) << "column " << x;
    }
    // The mean runs up to the gap from both sides.
    for (int x : {gap_x0 - 1, gap_x1 + 1})
        EXPECT_GT(picture.count(x, plots.top[0], plots.bottom[0], kLine[0]), 0) << "column " << x;

    const Ran svg_run = run_demo("--save-image " + quoted(svg) + span + quoted(log));
    EXPECT_EQ(svg_run.status, 0);
    EXPECT_EQ(std::system(("xmllint --noout " + quoted(svg)).c_str()), 0);
    EXPECT_NE(slurp(svg).find("I supply [mA]"), std::string::npos);
}

// Under TZ=Europe/Berlin (UTC+01:00 in winter): --from and --to in UTC and
// in local time draw the same picture, titled with the file, the span on the
// axis and its zone; a span past the log's end is refused.
TEST(trendSaveImage, TheSpanIsLocalTimeNamedInTheTitleAndAnEmptyOneFails) {
    const std::string dir = scratch_dir();
    const std::string log = dir + "berlin.csv";
    constexpr int64_t kStart = 1'796'083'200'000;  // 2026-12-01T00:00:00Z
    {
        std::ofstream out(log, std::ios::binary);
        out << kHeader;
        for (int64_t i = 0; i < 3600; ++i)
            out << iso(kStart + i * 1000) << ",0.50," << 20 + i % 7 << ",3.30,1.20,45,20,296,108\n";
    }
    const std::string berlin = "TZ=Europe/Berlin ";
    const std::string utc_png = dir + "utc.png", local_png = dir + "local.png", svg = dir + "berlin.svg";
    const std::string utc_span = " --from 2026-12-01T00:10:00Z --to 2026-12-01T00:20:00.000Z ";
    EXPECT_EQ(run_demo("--save-image " + quoted(utc_png) + utc_span + quoted(log), berlin).status, 0);
    EXPECT_EQ(run_demo("--save-image " + quoted(local_png) + " --from 2026-12-01T01:10 --to 2026-12-01T02:20+02:00 " +
                           quoted(log),
                       berlin)
                  .status,
              0);
    EXPECT_FALSE(slurp(utc_png).empty());
    EXPECT_EQ(slurp(utc_png), slurp(local_png));
    EXPECT_EQ(run_demo("--save-image " + quoted(svg) + utc_span + quoted(log), berlin).status, 0);
    EXPECT_NE(slurp(svg).find(">berlin.csv: 2026-12-01 01:10:00.000 to 2026-12-01 01:20:00.000 (UTC+01:00)<"),
              std::string::npos);

    // Light unless asked: --dark turns the frame and the plots dark.
    const std::string dark_png = dir + "dark.png";
    EXPECT_EQ(run_demo("--save-image " + quoted(dark_png) + " --dark" + utc_span + quoted(log), berlin).status, 0);
    {
        wxInitializer toolkit;
        wxImage::AddHandler(new wxPNGHandler);
        for (const std::string& png : {utc_png, dark_png}) {
            wxImage picture;
            ASSERT_TRUE(picture.LoadFile(png, wxBITMAP_TYPE_PNG)) << png;
            EXPECT_EQ(picture.GetRed(0, 0) < 64, png == dark_png) << png;
            EXPECT_EQ(picture.GetRed(picture.GetWidth() / 2, picture.GetHeight() / 2) < 64, png == dark_png) << png;
        }
    }

    const Ran past = run_demo("--save-image " + quoted(svg) + " --from 2026-12-01T02:00:00Z " + quoted(log), berlin);
    EXPECT_EQ(past.status, 1);
    EXPECT_EQ(past.err.rfind(log + ": no readouts from 2026-12-01 03:00:00.000 to ", 0), 0u) << past.err;
}

TEST(trendSaveImage, LogsItCannotReadFailWithOneLineNamingTheFile) {
    const std::string dir = scratch_dir() + "save_image_bad/";
    mkdir(dir.c_str(), 0755);
    const std::string out = dir + "out.png";
    struct Row {
        const char* name;
        std::string content;  // written to the file; "/" makes a folder; "-" writes nothing
        int status;
        std::string message;  // after "PATH: "
    };
    const std::vector<Row> rows = {
        {"missing.csv", "-", 1, "cannot be opened: No such file or directory"},
        {"folder.csv", "/", 1, "is a folder, not a log file"},
        {"empty.csv", "", 1, "is empty"},
        {"binary.csv", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), 1,
         "is a binary file, not a talviro_read CSV log"},
        {"other.csv", "date,value\n2026-12-08,1\n", 1, "is not a talviro_read CSV log"},
        // Nothing to draw: the note on the skipped line, then the failure.
        {"all_skipped.csv", std::string(kHeader) + "2026-12-08T01:33:01.000Z,0.50,20\n", 1,
         "skipped 1 line; the first, line 2: wrong number of fields\n" + dir + "all_skipped.csv: no readouts to draw"},
        // A skipped row is a note, not a failure: the picture is written.
        {"skipped.csv",
         std::string(kHeader) + "2026-12-08T01:33:00.000Z,0.50,20,3.30,1.20,45,20,296,108\n" +
             "2026-12-08T01:33:01.000Z,0.50,20\n2026-12-08T01:33:02.000Z,0.50,20,3.30,1.20,45,20,296,108\n",
         0, "skipped 1 line; the first, line 3: "},
    };
    for (const Row& row : rows) {
        const std::string path = dir + row.name;
        if (row.content == "/") {
            mkdir(path.c_str(), 0755);
        } else if (row.content != "-") {
            std::ofstream(path, std::ios::binary) << row.content;
        }
        std::remove(out.c_str());
        const Ran run = run_demo("--save-image " + quoted(out) + " " + quoted(path));
        EXPECT_EQ(run.status, row.status) << row.name;
        EXPECT_EQ(run.err.rfind(path + ": " + row.message, 0), 0u) << row.name << ": " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'),
                  1 + std::count(row.message.begin(), row.message.end(), '\n'))
            << row.name;
        struct stat st {};
        EXPECT_EQ(stat(out.c_str(), &st) == 0, row.status == 0) << row.name;
    }

    // A picture that cannot be written: the same, naming the picture.
    for (const char* picture : {"no_folder/out.png", "no_folder/out.svg"}) {
        const Ran run = run_demo("--save-image " + quoted(dir + picture) + " " + quoted(dir + "skipped.csv"));
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(dir + picture + ": cannot be written: No such file or directory\n"), std::string::npos)
            << run.err;
    }
}

TEST(trendSaveImage, UsageErrorsSayWhatIsWrongInOneLine) {
    struct Row {
        std::vector<std::string> args;
        const char* error;  // empty: accepted
    };
    const std::vector<Row> rows = {
        {{}, ""},
        {{"log.csv"}, ""},
        {{"--save-image", "a.PNG", "log.csv"}, ""},
        {{"--save-image=a.svg", "--size=640x480", "--from", "2026-12-08T01:33:00.000Z", "log.csv"}, ""},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--serial", "TV0001B", "--serial=TV0002B"}, "--serial may be given only once"},
        {{"--save-image"}, "--save-image needs a value"},
        {{"--save-image", "a.jpg", "log.csv"}, "--save-image: the picture's name must end in .png or .svg: a.jpg"},
        {{"--save-image", "a.png"}, "--save-image needs the log to draw"},
        {{"--size", "640x480", "log.csv"}, "--size, --from, --to and --dark go with --save-image"},
        {{"--dark", "log.csv"}, "--size, --from, --to and --dark go with --save-image"},
        {{"--save-image", "a.png", "--dark", "--dark", "log.csv"}, "--dark may be given only once"},
        {{"--save-image", "a.png", "--size", "640", "log.csv"},
         "--size: expected WIDTHxHEIGHT, each 64 to 16384 pixels: 640"},
        {{"--save-image", "a.png", "--size", "63x480", "log.csv"},
         "--size: expected WIDTHxHEIGHT, each 64 to 16384 pixels: 63x480"},
        {{"--save-image", "a.png", "--size", "16385x480", "log.csv"},
         "--size: expected WIDTHxHEIGHT, each 64 to 16384 pixels: 16385x480"},
        {{"--save-image", "a.png", "--from", "yesterday", "log.csv"},
         "--from: expected an ISO 8601 time, like 2026-12-08T01:33:00.123Z, 2026-12-08T02:33+01:00 or local "
         "2026-12-08T02:33:00: yesterday"},
        {{"--save-image", "a.png", "--from", "2026-12-08T02:33+1", "log.csv"},
         "--from: expected an ISO 8601 time, like 2026-12-08T01:33:00.123Z, 2026-12-08T02:33+01:00 or local "
         "2026-12-08T02:33:00: 2026-12-08T02:33+1"},
        {{"--save-image", "a.png", "--from", "2026-12-08T01:33:00.000Z", "--to", "2026-12-08T01:33:00.000Z",
          "log.csv"},
         "--from must be before --to"},
        {{"a.csv", "b.csv"}, "one log at a time: a.csv and b.csv"},
        {{"--trend", "--rate", "fast"}, ""},
        {{"--serial", "TV0001B", "--trend", "--rate=0.1s"}, ""},
        {{"--rate", "fast"}, "--rate goes with --trend"},
        {{"--trend", "--rate", "10ms"}, "--rate: expected 1s, 0.1s or fast: 10ms"},
        {{"--trend", "--trend"}, "--trend may be given only once"},
        {{"--trend", "log.csv"}, "--trend shows the probe's live readouts, not a log"},
    };
    for (const Row& row : rows) {
        const gui_options::Parsed parsed = gui_options::parse(row.args);
        EXPECT_EQ(parsed.error, row.error);
    }
    const gui_options::Options o =
        gui_options::parse({"--save-image", "x.svg", "--size", "640x480", "--to", "2026-12-08T01:33:00.250Z", "l.csv"})
            .options;
    EXPECT_EQ(o.save_image, "x.svg");
    EXPECT_EQ(trend::image_format(o.save_image), trend::ImageFormat::Svg);
    EXPECT_EQ(trend::image_format("x.Svg.png"), trend::ImageFormat::Png);
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.height, 480);
    EXPECT_FALSE(o.from_ms.has_value());
    EXPECT_EQ(o.to_ms, std::optional<int64_t>(1'796'693'580'250));
    EXPECT_EQ(o.log, "l.csv");

    const gui_options::Options trend = gui_options::parse({"--trend", "--rate", "fast"}).options;
    EXPECT_TRUE(trend.trend);
    EXPECT_EQ(trend.rate, console::CaptureRate::Bus);
    EXPECT_EQ(gui_options::parse({"--trend", "--rate", "0.1s"}).options.rate, console::CaptureRate::Tenth);
    EXPECT_EQ(gui_options::parse({"--trend", "--rate", "1s"}).options.rate, console::CaptureRate::Second);
    EXPECT_EQ(gui_options::parse({"--trend"}).options.rate, console::CaptureRate::Second);
    EXPECT_FALSE(gui_options::parse({}).options.trend);

    EXPECT_TRUE(gui_options::parse({"--help"}).options.help);
    EXPECT_TRUE(gui_options::parse({"-h"}).options.help);

    // The program: status 2 and the one line, naming itself.
    const Ran run = run_demo("--save-image a.jpg log.csv");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "talviro_gui_demo: --save-image: the picture's name must end in .png or .svg: a.jpg\n");
    // --help: on standard output, with the display it needs.
    const Ran help = run_demo("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: talviro_gui_demo", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--save-image OUT.png|OUT.svg"), std::string::npos);
    EXPECT_NE(help.out.find("needs a display, even with --save-image: on a\nserver without one, run it under xvfb-run."),
              std::string::npos);
}

}  // namespace
