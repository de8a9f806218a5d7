#include "gui/trend_painter.h"

#include "trend/civil.h"
#include "trend/svg.h"

#include <wx/bitmap.h>
#include <wx/datetime.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/mstream.h>
#include <wx/settings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

namespace trend_painter {

namespace {

wxColour colour(const trend::Color& c) { return wxColour(c.r, c.g, c.b, c.a); }

int px(double v) { return static_cast<int>(std::lround(v)); }

// A pen that ends lines at their points: a round or square cap would reach
// half a pixel past the column where a mean stops before a gap.
wxPen line_pen(const trend::Color& c, double width) {
    wxPen pen(colour(c), std::max(1, px(width)));
    pen.SetCap(wxCAP_BUTT);
    pen.SetJoin(wxJOIN_BEVEL);
    return pen;
}

void fill(wxDC& dc, const trend::FillRect& r) {
    dc.SetPen(*wxTRANSPARENT_PEN);
    if (r.fill.a == wxALPHA_OPAQUE || dc.GetGraphicsContext()) {
        dc.SetBrush(wxBrush(colour(r.fill)));
    } else {
        // A DC without a graphics context (GDI's on Windows) paints a
        // translucent brush opaque: a hatch lets what is below show.
        dc.SetBrush(wxBrush(wxColour(r.fill.r, r.fill.g, r.fill.b), wxBRUSHSTYLE_BDIAGONAL_HATCH));
    }
    const int x0 = px(r.x), y0 = px(r.y);
    dc.DrawRectangle(x0, y0, px(r.x + r.w) - x0, px(r.y + r.h) - y0);
}

void segments(wxDC& dc, const std::vector<trend::Segment>& list) {
    for (const trend::Segment& s : list) {
        dc.SetPen(line_pen(s.stroke, s.width));
        // Half-pixel coordinates name the pixel row or column the line fills.
        dc.DrawLine(static_cast<int>(std::floor(s.from.x)), static_cast<int>(std::floor(s.from.y)),
                    static_cast<int>(std::floor(s.to.x)), static_cast<int>(std::floor(s.to.y)));
    }
}

// The font the picture's labels use (the toolkit's normal GUI font).
wxFont label_font(bool bold) {
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    if (bold)
        font.MakeBold();
    return font;
}

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kSecondsPerMinute = 60;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kSecondsPerHour = 3600;

// The local clock's offset from UTC at utc_ms, in minutes.
int64_t utc_offset_minutes(int64_t utc_ms) {
    const std::time_t t = static_cast<std::time_t>(utc_ms / kMsPerSecond);
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &t) != 0) return 0;
#else
    if (localtime_r(&t, &local) == nullptr) return 0;
#endif
    const int64_t clock_s =
        trend::days_from_civil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) * kSecondsPerDay +
        local.tm_hour * kSecondsPerHour + local.tm_min * kSecondsPerMinute + local.tm_sec;
    return (clock_s - static_cast<int64_t>(t)) / kSecondsPerMinute;
}

// "UTC+01:00", "UTC-03:30", "UTC".
std::string zone_text(int64_t utc_ms) {
    const int64_t minutes = utc_offset_minutes(utc_ms);
    if (minutes == 0) return "UTC";
    const int64_t magnitude = minutes < 0 ? -minutes : minutes;
    char text[16];
    std::snprintf(text, sizeof text, "UTC%c%02d:%02d", minutes < 0 ? '-' : '+', static_cast<int>(magnitude / 60),
                  static_cast<int>(magnitude % 60));
    return text;
}

// Local time as the axis reads it, to the millisecond.
std::string local_text(int64_t utc_ms) {
    return wxDateTime(wxLongLong(utc_ms)).Format("%Y-%m-%d %H:%M:%S.%l").utf8_string();
}

}  // namespace

trend::MeasureText measure_on(wxDC& dc) {
    // The fonts are made once: a layout measures every label.
    return [&dc, normal = label_font(false), heavy = label_font(true)](const std::string& text, bool bold) {
        dc.SetFont(bold ? heavy : normal);
        const wxSize size = dc.GetTextExtent(wxString::FromUTF8(text));
        return trend::TextSize{static_cast<double>(size.x), static_cast<double>(size.y)};
    };
}

double font_px(wxDC& dc) {
    dc.SetFont(label_font(false));
    return static_cast<double>(dc.GetCharHeight());
}

void paint(wxDC& dc, const trend::Scene& scene) {
    fill(dc, trend::FillRect{0, 0, static_cast<double>(scene.width), static_cast<double>(scene.height),
                             scene.background});
    for (const trend::FillRect& r : scene.rects)
        fill(dc, r);
    segments(dc, scene.grid);
    for (const trend::FillRect& r : scene.gaps)
        fill(dc, r);
    for (const trend::Band& band : scene.bands) {
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.SetBrush(wxBrush(colour(band.fill)));
        for (const trend::BandColumn& c : band.columns) {
            const int top = px(c.top);
            dc.DrawRectangle(c.x, top, 1, std::max(1, px(c.bottom) - top));
        }
    }
    std::vector<wxPoint> points;
    for (const trend::Polyline& line : scene.means) {
        points.clear();
        for (const trend::Point& p : line.points)
            points.emplace_back(static_cast<int>(std::floor(p.x)), px(p.y));
        dc.SetPen(line_pen(line.stroke, line.width));
        if (points.size() == 1)
            dc.DrawPoint(points[0]);
        else
            dc.DrawLines(static_cast<int>(points.size()), points.data());
    }
    segments(dc, scene.segments);
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    const wxFont normal = label_font(false);
    const wxFont heavy = label_font(true);
    for (const trend::Label& l : scene.labels) {
        dc.SetFont(l.bold ? heavy : normal);
        dc.SetTextForeground(colour(l.color));
        const wxString text = wxString::FromUTF8(l.text);
        const wxSize size = dc.GetTextExtent(text);
        double x = l.x, y = l.y;
        if (l.h == trend::HAlign::Center)
            x -= size.x / 2.0;
        else if (l.h == trend::HAlign::Right)
            x -= size.x;
        if (l.v == trend::VAlign::Middle)
            y -= size.y / 2.0;
        dc.DrawText(text, px(x), px(y));
    }
    for (const trend::FillRect& r : scene.overlay)
        fill(dc, r);
}

std::string write_png(const std::string& path, trend::SceneRequest request, const trend::Series& series) {
    wxBitmap bitmap(request.width, request.height, 24);
    if (!bitmap.IsOk())
        return path + ": cannot make a picture of " + std::to_string(request.width) + "x" +
               std::to_string(request.height) + " pixels";
    wxImage image;
    {
        wxMemoryDC dc(bitmap);
        request.measure = measure_on(dc);
        request.font_px = font_px(dc);
        paint(dc, trend::build_scene(request, series));
        dc.SelectObject(wxNullBitmap);
        image = bitmap.ConvertToImage();
    }
    // Encoded in memory and written here: the toolkit's own file errors
    // would go to its log, which a program without a window cannot show.
    wxMemoryOutputStream png;
    if (!image.IsOk() || !image.SaveFile(png, wxBITMAP_TYPE_PNG))
        return path + ": cannot be encoded as PNG";
    std::vector<char> bytes(png.GetLength());
    png.CopyTo(bytes.data(), bytes.size());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file)
        return path + ": cannot be written: " + std::strerror(errno);
    if (!file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !file.flush())
        return path + ": cannot be written";
    return {};
}

std::string write_image(const std::string& path, trend::SceneRequest request,
                        const trend::Series& series) {
    switch (trend::image_format(path)) {
    case trend::ImageFormat::Png: return write_png(path, request, series);
    case trend::ImageFormat::Svg: {
        wxBitmap scratch(1, 1);
        wxMemoryDC dc(scratch);
        request.measure = measure_on(dc);
        request.font_px = font_px(dc);
        return trend::write_svg_file(path, trend::build_scene(request, series));
    }
    case trend::ImageFormat::None: break;
    }
    return path + ": the name ends neither in .png nor in .svg";
}

std::string span_text(int64_t t0_ms, int64_t t1_ms) {
    const std::string zone0 = zone_text(t0_ms), zone1 = zone_text(t1_ms);
    return local_text(t0_ms) + (zone0 == zone1 ? "" : " " + zone0) + " to " + local_text(t1_ms) + " (" + zone1 + ")";
}

std::string picture_title(const std::string& shown_name, const trend::TimeRange& range) {
    return shown_name + ": " + span_text(range.t0_ms, range.t1_ms);
}

}  // namespace trend_painter
