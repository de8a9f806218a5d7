// Reads fuzz input as the header of a request to the exporter, and checks
// the answer as a client would: one status line of HTTP/1.1 with a known
// status, a Date, a Content-Length that is the body's (none after a HEAD),
// and 200 only for GET or HEAD of the three paths served.
#include "exporter/http_server.h"

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

namespace {

void check(bool ok, const char* what, const std::string& header, const std::string& answer) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n--- header\n%s\n--- answer\n%s\n", what, header.c_str(),
                     answer.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string header(reinterpret_cast<const char*>(data), size);
    const std::string metrics_text = "talviro_probe_up{serial=\"TV0001B\"} 1\n";
    const std::string answer = exporter::answer_header(header, [&] { return metrics_text; });

    static const std::regex status_line("HTTP/1\\.1 (200|400|404|405|413) [A-Za-z ]+\r\n");
    std::smatch status;
    check(std::regex_search(answer, status, status_line, std::regex_constants::match_continuous),
          "status line", header, answer);
    const size_t end = answer.find("\r\n\r\n");
    check(end != std::string::npos, "a header's end", header, answer);
    const std::string fields = answer.substr(0, end + 2);
    const std::string body = answer.substr(end + 4);
    check(fields.find("\r\nDate: ") != std::string::npos, "a Date", header, answer);
    const size_t length_at = fields.find("\r\nContent-Length: ");
    check(length_at != std::string::npos, "a Content-Length", header, answer);
    const unsigned long length = std::strtoul(fields.c_str() + length_at + 18, nullptr, 10);
    const size_t first = header.find_first_not_of("\r\n");
    const bool head = first != std::string::npos && header.compare(first, 5, "HEAD ") == 0;
    check(head ? body.empty() : body.size() == length, "the body and its length", header, answer);
    if (status[1] == "200") {
        check(header.compare(first, 4, "GET ") == 0 || head, "200 for GET or HEAD alone", header, answer);
        check(!head || length > 0, "a HEAD's length", header, answer);
    }
    return 0;
}
