// The probe link's diagnostics go to std::cout and std::cerr; a fuzz target
// does not test them, so they go to a sink while one of these lives.
#ifndef TALVIRO_FUZZ_QUIET_STREAMS_H
#define TALVIRO_FUZZ_QUIET_STREAMS_H

#include <iostream>
#include <sstream>

struct QuietStreams {
    QuietStreams() : out(std::cout.rdbuf(sink.rdbuf())), err(std::cerr.rdbuf(sink.rdbuf())) {}
    ~QuietStreams() {
        std::cout.rdbuf(out);
        std::cerr.rdbuf(err);
    }
    QuietStreams(const QuietStreams&) = delete;
    QuietStreams& operator=(const QuietStreams&) = delete;
    std::ostringstream sink;
    std::streambuf* out;
    std::streambuf* err;
};

#endif
