#include "trend/svg.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace trend {

namespace {

// Coordinates to a tenth of a pixel: exact for pixel columns, short for a
// picture of thousands of shapes. to_chars ignores the C locale the toolkit
// installs, so the separator is always a point.
std::string num(double v, int decimals = 1) {
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    std::string s(buf, result.ec == std::errc() ? result.ptr : buf);
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0')
            s.pop_back();
        if (s.back() == '.')
            s.pop_back();
    }
    if (s == "-0")
        s = "0";
    return s;
}

std::string rgb(const Color& c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%02x%02x%02x", c.r, c.g, c.b);
    return buf;
}

// fill="#rrggbb" and, when translucent, its opacity.
std::string paint(const char* attribute, const Color& c) {
    std::string s = std::string(" ") + attribute + "=\"" + rgb(c) + "\"";
    if (c.a != 255) {
        s += std::string(" ") + attribute + "-opacity=\"" + num(c.a / 255.0, 3) + "\"";
    }
    return s;
}

void rects(std::ostream& out, const std::vector<FillRect>& list) {
    for (const FillRect& r : list)
        out << "<rect x=\"" << num(r.x) << "\" y=\"" << num(r.y) << "\" width=\"" << num(r.w)
            << "\" height=\"" << num(r.h) << "\"" << paint("fill", r.fill) << "/>\n";
}

void segments(std::ostream& out, const std::vector<Segment>& list) {
    for (const Segment& s : list)
        out << "<line x1=\"" << num(s.from.x) << "\" y1=\"" << num(s.from.y) << "\" x2=\"" << num(s.to.x)
            << "\" y2=\"" << num(s.to.y) << "\"" << paint("stroke", s.stroke) << " stroke-width=\""
            << num(s.width) << "\"/>\n";
}

const char* anchor(HAlign h) {
    switch (h) {
    case HAlign::Left:
        return "start";
    case HAlign::Center:
        return "middle";
    case HAlign::Right:
        break;
    }
    return "end";
}

// The baseline of a text of height font_px anchored at y: SVG places text by
// its baseline, the scene by its box.
double baseline(VAlign v, double y, double font_px) {
    constexpr double kAscent = 0.8;  // of the font's height, for the usual sans fonts
    return v == VAlign::Middle ? y + (kAscent - 0.5) * font_px : y + kAscent * font_px;
}

// text with & < > " ' as XML entities.
std::string xml_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            // Control characters other than tab and line ends are not XML.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += ' ';
            else
                out += c;
        }
    }
    return out;
}

}  // namespace

bool write_svg(std::ostream& out, const Scene& scene) {
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" << scene.width << "\" height=\""
        << scene.height << "\" viewBox=\"0 0 " << scene.width << ' ' << scene.height << "\">\n";
    out << "<rect x=\"0\" y=\"0\" width=\"" << scene.width << "\" height=\"" << scene.height << "\""
        << paint("fill", scene.background) << "/>\n";
    rects(out, scene.rects);
    segments(out, scene.grid);
    rects(out, scene.gaps);
    // A band as one path of pixel-wide columns: a shape per band, not per column.
    for (const Band& band : scene.bands) {
        if (band.columns.empty())
            continue;
        out << "<path" << paint("fill", band.fill) << " d=\"";
        for (const BandColumn& c : band.columns)
            out << 'M' << c.x << ',' << num(c.top) << "h1V" << num(c.bottom) << "h-1z";
        out << "\"/>\n";
    }
    for (const Polyline& line : scene.means) {
        if (line.points.empty())
            continue;
        out << "<polyline fill=\"none\"" << paint("stroke", line.stroke) << " stroke-width=\""
            << num(line.width) << "\" stroke-linejoin=\"round\" points=\"";
        for (size_t i = 0; i < line.points.size(); ++i)
            out << (i ? " " : "") << num(line.points[i].x) << ',' << num(line.points[i].y);
        out << "\"/>\n";
    }
    segments(out, scene.segments);
    for (const Label& l : scene.labels)
        out << "<text x=\"" << num(l.x) << "\" y=\"" << num(baseline(l.v, l.y, scene.font_px))
            << "\" font-family=\"sans-serif\" font-size=\"" << num(scene.font_px) << "px\"" << paint("fill", l.color)
            << " text-anchor=\"" << anchor(l.h) << "\"" << (l.bold ? " font-weight=\"bold\"" : "") << ">"
            << xml_escape(l.text) << "</text>\n";
    rects(out, scene.overlay);
    out << "</svg>\n";
    return static_cast<bool>(out);
}

std::string write_svg_file(const std::string& path, const Scene& scene) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file)
        return path + ": cannot be written: " + std::strerror(errno);
    if (!write_svg(file, scene))
        return path + ": cannot be written";
    file.close();
    if (!file)
        return path + ": cannot be written";
    return {};
}

ImageFormat image_format(const std::string& path) {
    const std::string name = path.substr(path.find_last_of("/\\") + 1);
    constexpr size_t kEndingSize = 4;  // ".png", ".svg"
    if (name.size() <= kEndingSize) return ImageFormat::None;
    std::string ending = name.substr(name.size() - kEndingSize);
    for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ending == ".png") return ImageFormat::Png;
    if (ending == ".svg") return ImageFormat::Svg;
    return ImageFormat::None;
}

}  // namespace trend
