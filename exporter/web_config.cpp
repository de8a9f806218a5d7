#include "exporter/web_config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace exporter {

namespace {

// The security headers the toolkit allows, and no other.
constexpr const char* kAllowedHeaders[] = {"Strict-Transport-Security", "X-Content-Type-Options",
                                           "X-Frame-Options", "X-XSS-Protection", "Content-Security-Policy"};

struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string scalar(const YAML::Node& node, const std::string& key) {
    if (!node.IsScalar()) throw Refused(key + " must be a single value");
    return node.Scalar();
}

void require_map(const YAML::Node& node, const std::string& key) {
    if (!node.IsMap() && !node.IsNull()) throw Refused(key + " must be a mapping of keys to values");
}

int tls_version(const std::string& text, const std::string& key) {
    if (text == "TLS12") return 0x0303;
    if (text == "TLS13") return 0x0304;
    if (text == "TLS10" || text == "TLS11")
        throw Refused(key + ": " + text + " is not supported: TLS 1.2 or 1.3 only");
    throw Refused(key + ": '" + text + "' is not a TLS version (TLS12 or TLS13)");
}

void read_tls(const YAML::Node& tls, WebConfig* c) {
    require_map(tls, "tls_server_config");
    for (const auto& entry : tls) {
        const std::string key = entry.first.as<std::string>();
        const std::string name = "tls_server_config." + key;
        const YAML::Node& value = entry.second;
        if (key == "cert_file") {
            c->cert_file = scalar(value, name);
        } else if (key == "key_file") {
            c->key_file = scalar(value, name);
        } else if (key == "client_ca_file") {
            c->client_ca_file = scalar(value, name);
        } else if (key == "client_auth_type") {
            const std::string type = scalar(value, name);
            if (type == "RequireAndVerifyClientCert")
                c->require_client_cert = true;
            else if (type != "NoClientCert")
                throw Refused(name + ": " + type +
                              " is not supported: NoClientCert or RequireAndVerifyClientCert only");
        } else if (key == "min_version") {
            c->min_version = tls_version(scalar(value, name), name);
        } else if (key == "max_version") {
            c->max_version = tls_version(scalar(value, name), name);
        } else {
            // cert, key, client_ca (inline PEM), cipher_suites,
            // curve_preferences, prefer_server_cipher_suites,
            // client_allowed_sans, and whatever comes later.
            throw Refused(name + " is not supported by this exporter");
        }
    }
    if (c->cert_file.empty() || c->key_file.empty())
        throw Refused("tls_server_config needs both cert_file and key_file");
    if (c->require_client_cert && c->client_ca_file.empty())
        throw Refused("tls_server_config.client_auth_type RequireAndVerifyClientCert needs client_ca_file");
    if (!c->require_client_cert && !c->client_ca_file.empty())
        throw Refused("tls_server_config.client_ca_file is only used with client_auth_type "
                      "RequireAndVerifyClientCert");
    if (c->min_version > c->max_version)
        throw Refused("tls_server_config.min_version is above max_version");
}

void read_http(const YAML::Node& http, WebConfig* c) {
    require_map(http, "http_server_config");
    for (const auto& entry : http) {
        const std::string key = entry.first.as<std::string>();
        const std::string name = "http_server_config." + key;
        if (key == "http2") {
            // HTTP/2 is never served; saying false is saying so.
            if (entry.second.as<std::string>() != "false")
                throw Refused(name + " is not supported: HTTP/1.1 only; leave it out or say false");
        } else if (key == "headers") {
            require_map(entry.second, name);
            for (const auto& header : entry.second) {
                const std::string field = header.first.as<std::string>();
                const std::string value = scalar(header.second, name + "." + field);
                if (std::find(std::begin(kAllowedHeaders), std::end(kAllowedHeaders), field) ==
                    std::end(kAllowedHeaders))
                    throw Refused(name + "." + field + " is not one of the headers that may be set");
                if (value.find_first_of("\r\n") != std::string::npos)
                    throw Refused(name + "." + field + " holds a line break");
                c->headers.emplace_back(field, value);
            }
        } else {
            throw Refused(name + " is not supported by this exporter");
        }
    }
}

void read_users(const YAML::Node& users, WebConfig* c) {
    require_map(users, "basic_auth_users");
    for (const auto& entry : users) {
        const std::string user = entry.first.as<std::string>();
        const std::string hash = scalar(entry.second, "basic_auth_users." + user);
        // bcrypt's modular form: $2a$, $2b$ or $2y$, a cost of two digits,
        // then 53 characters of salt and hash.
        if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || hash.find_first_of("aby", 2) != 2 ||
            hash[3] != '$' || hash[6] != '$')
            throw Refused("basic_auth_users." + user + " is not a bcrypt hash, as htpasswd -nBC 10 makes");
        if (user.find(':') != std::string::npos)
            throw Refused("basic_auth_users: a user name cannot hold a colon: " + user);
        c->users[user] = hash;
    }
}

}  // namespace

ReadWebConfig parse_web_config(const std::string& text) {
    ReadWebConfig read;
    try {
        const YAML::Node root = YAML::Load(text);
        if (root.IsNull()) return read;
        if (!root.IsMap()) throw Refused("the file is not a mapping of keys to values");
        for (const auto& entry : root) {
            const std::string key = entry.first.as<std::string>();
            if (key == "tls_server_config")
                read_tls(entry.second, &read.config);
            else if (key == "http_server_config")
                read_http(entry.second, &read.config);
            else if (key == "basic_auth_users")
                read_users(entry.second, &read.config);
            else
                throw Refused(key + " is not supported by this exporter");  // rate_limit, ...
        }
    } catch (const Refused& refused) {
        read.config = WebConfig();
        read.error = refused.what();
    } catch (const YAML::Exception& broken) {
        read.config = WebConfig();
        read.error = broken.mark.is_null() ? "not YAML: " + broken.msg
                                           : "not YAML at line " + std::to_string(broken.mark.line + 1) +
                                                 ", column " + std::to_string(broken.mark.column + 1) + ": " +
                                                 broken.msg;
    }
    return read;
}

ReadWebConfig read_web_config(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf())) {
        // An empty file reads as nothing, and is a valid empty configuration.
        if (in && in.peek() == std::ifstream::traits_type::eof()) return ReadWebConfig();
        ReadWebConfig failed;
        failed.error = "cannot read " + path;
        return failed;
    }
    ReadWebConfig read = parse_web_config(text.str());
    const size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    for (std::string* file : {&read.config.cert_file, &read.config.key_file, &read.config.client_ca_file}) {
        const bool absolute = !file->empty() && (file->front() == '/' || file->front() == '\\' ||
                                                 (file->size() > 1 && (*file)[1] == ':'));
        if (!file->empty() && !absolute) *file = folder + *file;
    }
    return read;
}

}  // namespace exporter
