// Preloaded into talviro_exporter by its tests (LD_PRELOAD) to make the
// listener's accept() fail: while the file named by TALVIRO_ACCEPT_FAILS
// exists and holds ENOBUFS or EINVAL, every accept() and accept4() fails
// with that error. ENOBUFS is one the server must ride out, EINVAL one of a
// broken listening socket.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int injected_error() {
    const char* path = std::getenv("TALVIRO_ACCEPT_FAILS");
    if (path == nullptr) return 0;
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;
    char name[16] = "";
    const bool read = std::fscanf(file, "%15s", name) == 1;
    std::fclose(file);
    if (read && std::strcmp(name, "ENOBUFS") == 0) return ENOBUFS;
    if (read && std::strcmp(name, "EINVAL") == 0) return EINVAL;
    return 0;
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int accept4(int socket, sockaddr* address, socklen_t* length, int flags) {
    if (const int error = injected_error()) {
        errno = error;
        return -1;
    }
    using Accept4 = int (*)(int, sockaddr*, socklen_t*, int);
    static const Accept4 real = next<Accept4>("accept4");
    return real(socket, address, length, flags);
}

extern "C" int accept(int socket, sockaddr* address, socklen_t* length) {
    if (const int error = injected_error()) {
        errno = error;
        return -1;
    }
    using Accept = int (*)(int, sockaddr*, socklen_t*);
    static const Accept real = next<Accept>("accept");
    return real(socket, address, length);
}
