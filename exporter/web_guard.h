// What the web config file asks of every connection, made ready for the
// HTTP server: a TLS context, the users and their bcrypt hashes, the
// security headers; and the file watched, so that a change takes effect
// for the next connection without a restart.
#ifndef TALVIRO_EXPORTER_WEB_GUARD_H
#define TALVIRO_EXPORTER_WEB_GUARD_H

#include "exporter/web_config.h"

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace exporter {

struct Guard {
    std::shared_ptr<SSL_CTX> tls;               // null: plain HTTP
    std::map<std::string, std::string> users;   // empty: no basic auth
    std::string headers;                        // "Name: value\r\n" for each security header
};

// A Guard from a configuration: the certificate, its key and the client CA
// read and checked now. Returns null with *error naming the file at fault.
std::shared_ptr<const Guard> make_guard(const WebConfig& config, std::string* error);

// The web config file, read at start and again whenever it or a file it
// names changes. Used from one thread at a time (the serving thread once
// the server runs).
class WebConfigWatcher {
public:
    WebConfigWatcher(std::string path, std::ostream& err, std::string program);
    // Reads the file and its certificates; empty when they make a usable
    // guard, else why not.
    std::string load();
    // The guard for a new connection. When the file or a file it names
    // changed since the last look, it is read again; a bad one keeps the
    // last good guard, and says why in one line on err (once per change).
    std::shared_ptr<const Guard> current();
    bool tls() const;

private:
    std::vector<std::string> watched() const;
    std::vector<std::string> stamps() const;

    std::string path_;
    std::ostream& err_;
    std::string program_;
    WebConfig watched_config_;  // the last that parsed, whose files are watched
    std::shared_ptr<const Guard> guard_;
    std::vector<std::string> stamps_;  // of the files when last read, good or bad
};

}  // namespace exporter

#endif
