#include "exporter/web_guard.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#ifdef _WIN32
// After OpenSSL's headers, and without wincrypt.h, whose X509_NAME and
// friends are macros that clash with OpenSSL's types.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace exporter {

namespace {

std::string openssl_error() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Whether a file can be read, and why not: OpenSSL's own words for a
// missing file are its function names.
bool readable(const std::string& key, const std::string& file, std::string* error) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot read tls_server_config." + key + " " + file + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(f);
    return true;
}

}  // namespace

std::shared_ptr<const Guard> make_guard(const WebConfig& config, std::string* error) {
    auto guard = std::make_shared<Guard>();
    guard->users = config.users;
    for (const auto& header : config.headers) guard->headers += header.first + ": " + header.second + "\r\n";
    if (config.cert_file.empty()) return guard;
    if (!readable("cert_file", config.cert_file, error) || !readable("key_file", config.key_file, error) ||
        (config.require_client_cert && !readable("client_ca_file", config.client_ca_file, error)))
        return nullptr;
    ERR_clear_error();
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) {
        *error = "cannot make a TLS context: " + openssl_error();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), config.min_version);
    SSL_CTX_set_max_proto_version(ctx.get(), config.max_version);
    // Writes of part of an answer, from a buffer that may move between
    // tries; and no buffers held by idle connections.
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), config.cert_file.c_str()) != 1) {
        *error = "tls_server_config.cert_file " + config.cert_file + ": " + openssl_error();
        return nullptr;
    }
    // OpenSSL checks the key against the certificate as it takes it.
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), config.key_file.c_str(), SSL_FILETYPE_PEM) != 1 &&
        ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
        *error = "tls_server_config.key_file " + config.key_file + ": " + openssl_error();
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx.get()) != 1) {
        ERR_clear_error();
        *error = "tls_server_config.key_file " + config.key_file + " is not the key of cert_file " +
                 config.cert_file;
        return nullptr;
    }
    if (config.require_client_cert) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(config.client_ca_file.c_str());
        if (names == nullptr ||
            SSL_CTX_load_verify_locations(ctx.get(), config.client_ca_file.c_str(), nullptr) != 1) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            *error = "tls_server_config.client_ca_file " + config.client_ca_file + ": " + openssl_error();
            return nullptr;
        }
        SSL_CTX_set_client_CA_list(ctx.get(), names);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    guard->tls = ctx;
    return guard;
}

WebConfigWatcher::WebConfigWatcher(std::string path, std::ostream& err, std::string program)
    : path_(std::move(path)), err_(err), program_(std::move(program)) {}

std::vector<std::string> WebConfigWatcher::watched() const {
    std::vector<std::string> files{path_};
    for (const std::string* f :
         {&watched_config_.cert_file, &watched_config_.key_file, &watched_config_.client_ca_file})
        if (!f->empty()) files.push_back(*f);
    return files;
}

// What tells a changed file: its inode, size and modification time to the
// nanosecond (a certificate is replaced by a rename, or written in place).
// Windows has no inode in stat() and its time there is in whole seconds:
// its own last-write time, to 100 ns, and the size stand in.
std::vector<std::string> WebConfigWatcher::stamps() const {
    std::vector<std::string> out;
    for (const std::string& file : watched()) {
#ifdef _WIN32
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) {
            out.push_back("missing");
            continue;
        }
        out.push_back(std::to_string(data.nFileSizeHigh) + ":" + std::to_string(data.nFileSizeLow) + ":" +
                      std::to_string(data.ftLastWriteTime.dwHighDateTime) + "." +
                      std::to_string(data.ftLastWriteTime.dwLowDateTime));
#else
        struct stat st {};
        if (stat(file.c_str(), &st) != 0) {
            out.push_back("missing");
            continue;
        }
        out.push_back(std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
                      std::to_string(static_cast<long long>(st.st_mtime)) + "." +
                      std::to_string(st.st_mtim.tv_nsec));
#endif
    }
    return out;
}

std::string WebConfigWatcher::load() {
    // Each file is stamped before it is read: one that changes while it is
    // read (a certificate and its key renewed in two steps) differs at the
    // next look and is read again, never kept stale.
    const std::string config_stamp = stamps().front();
    const ReadWebConfig read = read_web_config(path_);
    std::string error = read.error;
    std::shared_ptr<const Guard> guard;
    // The files the new one names are watched even when they are bad: a
    // certificate put in place after the file is seen.
    if (error.empty()) watched_config_ = read.config;
    stamps_ = stamps();
    stamps_.front() = config_stamp;
    if (error.empty()) guard = make_guard(read.config, &error);
    if (!guard) return error;
    guard_ = guard;
    return "";
}

std::shared_ptr<const Guard> WebConfigWatcher::current() {
    if (stamps() == stamps_) return guard_;
    const std::string error = load();
    if (!error.empty())
        err_ << (program_ + ": --web.config.file " + path_ + ": " + error + "; keeping the last good one\n")
             << std::flush;
    return guard_;
}

bool WebConfigWatcher::tls() const { return guard_ && guard_->tls; }

}  // namespace exporter
