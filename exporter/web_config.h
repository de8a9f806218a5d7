// The exporter's --web.config.file: the file Prometheus' own exporters read
// (the exporter toolkit's format and meaning), for TLS, basic auth and
// security headers. What the toolkit has and this exporter does not is
// refused by name, never ignored: an admin's file either works as it says
// or is an error.
#ifndef TALVIRO_EXPORTER_WEB_CONFIG_H
#define TALVIRO_EXPORTER_WEB_CONFIG_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace exporter {

struct WebConfig {
    // tls_server_config: TLS when cert_file is set (key_file is then too).
    std::string cert_file;  // as written, relative to the config file's folder when not absolute
    std::string key_file;
    bool require_client_cert = false;  // client_auth_type RequireAndVerifyClientCert
    std::string client_ca_file;
    int min_version = 0x0303;  // TLS 1.2, as the toolkit's default: 0x0303 TLS 1.2, 0x0304 TLS 1.3
    int max_version = 0x0304;
    // basic_auth_users: user name -> bcrypt hash ("$2y$10$..."). Empty: no auth.
    std::map<std::string, std::string> users;
    // http_server_config.headers, in the toolkit's fixed set, on every answer.
    std::vector<std::pair<std::string, std::string>> headers;
};

struct ReadWebConfig {
    WebConfig config;
    std::string error;  // empty when the text is a valid configuration
};

// Reads a configuration's YAML text; file names stay as written. The error
// names the key at fault ("tls_server_config.cipher_suites is not supported")
// or says where the YAML broke. An empty text is a valid empty configuration,
// as the toolkit's.
ReadWebConfig parse_web_config(const std::string& text);

// Reads the file at path, and makes its file names relative to its folder;
// an unreadable file is an error naming it. Does not open the certificates:
// TlsContext does (tls_context.h).
ReadWebConfig read_web_config(const std::string& path);

}  // namespace exporter

#endif
