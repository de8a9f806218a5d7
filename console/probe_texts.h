// The probe link's failure texts, kept by a console program instead of
// reaching its standard streams run together: standard output carries only
// what was asked for, and each event is told in one line of the program's.
#ifndef TALVIRO_CONSOLE_PROBE_TEXTS_H
#define TALVIRO_CONSOLE_PROBE_TEXTS_H

#include "probe/probe_channel.h"

#include <string>

namespace console {

// For its lifetime the probe link's texts (probe_set_text_sink) stop here:
// the first one is kept, the others dropped, until clear(). The sink before
// it is put back at the end.
// One at a time, on the thread that uses the probe.
class ProbeTexts {
public:
    ProbeTexts();
    ~ProbeTexts();
    ProbeTexts(const ProbeTexts&) = delete;
    ProbeTexts& operator=(const ProbeTexts&) = delete;

    // The link's texts are never empty: no text came since the last clear().
    bool empty() const { return first_.empty(); }
    // The first text since the last clear(); empty when none came.
    const std::string& first() const { return first_; }
    void clear() { first_.clear(); }

private:
    std::string first_;
    ProbeTextSink before_;
};

}  // namespace console

#endif
