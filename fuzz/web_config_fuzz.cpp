// Reads fuzz input as a --web.config.file and checks what is taken: either
// an error and nothing else, or a configuration that keeps the rules the
// server relies on (TLS with a certificate and its key, client certificates
// only with a CA, bcrypt hashes, headers of the toolkit's set without line
// breaks); and the same text read twice gives the same result.
#include "exporter/web_config.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok, const char* what, const std::string& text) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n--- file\n%s\n", what, text.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const exporter::ReadWebConfig read = exporter::parse_web_config(text);
    const exporter::WebConfig& c = read.config;
    const exporter::ReadWebConfig again = exporter::parse_web_config(text);
    check(again.error == read.error && again.config.users == c.users && again.config.headers == c.headers &&
              again.config.cert_file == c.cert_file,
          "the same text read alike", text);
    if (!read.error.empty()) {
        check(c.users.empty() && c.headers.empty() && c.cert_file.empty(), "nothing taken with an error",
              text);
        return 0;
    }
    check(c.cert_file.empty() == c.key_file.empty(), "a certificate and its key",
          text);
    check(!c.require_client_cert || !c.client_ca_file.empty(), "client certificates with a CA", text);
    check(c.min_version <= c.max_version && c.min_version >= 0x0303 && c.max_version <= 0x0304, "TLS versions", text);
    for (const auto& [user, hash] : c.users)
        check(hash.size() == 60 && hash.compare(0, 2, "$2") == 0 && user.find(':') == std::string::npos,
              "a user and a bcrypt hash", text);
    for (const auto& [name, value] : c.headers)
        check(!name.empty() && value.find_first_of("\r\n") == std::string::npos, "a header without line breaks",
              text);
    return 0;
}
