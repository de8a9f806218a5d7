#include "console/capture_rate.h"

namespace console {

uint64_t capture_period_ms(CaptureRate rate) {
    switch (rate) {
    case CaptureRate::Second: return kSecondPeriodMs;
    case CaptureRate::Tenth: return kTenthPeriodMs;
    case CaptureRate::Bus: return kCaptureBusPace;
    }
    return kSecondPeriodMs;
}

bool parse_capture_rate(const std::string& text, CaptureRate* rate) {
    struct Word {
        const char* text;
        CaptureRate rate;
    };
    constexpr Word kWords[] = {{"1s", CaptureRate::Second}, {"0.1s", CaptureRate::Tenth},
                               {"fast", CaptureRate::Bus}};
    for (const Word& word : kWords) {
        if (text != word.text) continue;
        *rate = word.rate;
        return true;
    }
    return false;
}

}  // namespace console
