#include "console/readout.h"

#include "probe/converter.h"
#include "probe/probe_channel.h"

#include <iostream>

namespace console {

bool Sample::whole() const {
    for (const Conversion& c : conversions)
        if (!c.whole) return false;
    return true;
}

Sample read_probe() {
    Sample sample;
    for (int i = 0; i < readings::kChannelCount; ++i) {
        Conversion& c = sample.conversions[static_cast<size_t>(i)];
        c.count = read_adc_channel(readings::kChannels[i].converter_channel);
        c.whole = adc_last_conversion_whole();
    }
    sample.abandoned = probe_waits_abandoned();
    sample.channel_lost = !probe_in_step() && !sample.abandoned;
    return sample;
}

LineTracker::int_type LineTracker::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    line_open_ = traits_type::to_char_type(ch) != '\n';
    return target_->sputc(traits_type::to_char_type(ch));
}

std::streamsize LineTracker::xsputn(const char* text, std::streamsize count) {
    if (count > 0) line_open_ = text[count - 1] != '\n';
    return target_->sputn(text, count);
}

int LineTracker::sync() { return target_->pubsync(); }

ProbeDiagnosticLines::ProbeDiagnosticLines() : out_(std::cout.rdbuf()), err_(std::cerr.rdbuf()) {
    std::cout.rdbuf(&out_);
    std::cerr.rdbuf(&err_);
}

ProbeDiagnosticLines::~ProbeDiagnosticLines() {
    std::cout.rdbuf(out_.target());
    std::cerr.rdbuf(err_.target());
    if (out_.line_open()) std::cout << '\n';
    if (err_.line_open()) std::cerr << '\n';
}

}  // namespace console
