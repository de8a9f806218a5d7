// Captures what the code under test writes to std::cout and std::cerr, for
// as long as the object lives.
#ifndef TALVIRO_TESTS_STREAM_CAPTURE_H
#define TALVIRO_TESTS_STREAM_CAPTURE_H

#include <iostream>
#include <sstream>
#include <string>

class StreamCapture {
public:
    StreamCapture()
        : old_out_(std::cout.rdbuf(out_.rdbuf())), old_err_(std::cerr.rdbuf(err_.rdbuf())) {}
    ~StreamCapture() {
        std::cout.rdbuf(old_out_);
        std::cerr.rdbuf(old_err_);
    }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }
    void clear() {
        out_.str({});
        err_.str({});
    }

private:
    std::ostringstream out_;
    std::ostringstream err_;
    std::streambuf* old_out_;
    std::streambuf* old_err_;
};

#endif
