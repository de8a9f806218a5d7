#include "usbsim/shared_claims.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace usbsim {
namespace {

constexpr mode_t kLockFileMode = 0600;
constexpr int kNoFile = -1;

// A record lock of the whole file.
struct flock whole_file(short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however long
    return lock;
}

}  // namespace

SharedClaims::SharedClaims(std::string folder) : folder_(std::move(folder)) {}

SharedClaims::~SharedClaims() {
    for (const auto& file : files_) {
        if (file.second != kNoFile && close(file.second) != 0)
            std::fprintf(stderr, "usbsim: closing a lock file: %s\n", std::strerror(errno));
    }
}

int SharedClaims::lock_file(int probe, int interface) {
    const auto key = std::make_pair(probe, interface);
    const auto known = files_.find(key);
    if (known != files_.end()) return known->second;
    const std::string path =
        folder_ + "/probe" + std::to_string(probe) + "-interface" + std::to_string(interface);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
    if (fd == kNoFile)
        std::fprintf(stderr, "usbsim: %s: %s; its claims stay in this process\n", path.c_str(),
                     std::strerror(errno));
    files_.emplace(key, fd);
    return fd;
}

bool SharedClaims::take(int probe, int interface) {
    if (folder_.empty()) return true;
    const int fd = lock_file(probe, interface);
    if (fd == kNoFile) return true;
    struct flock lock = whole_file(F_WRLCK);
    return fcntl(fd, F_SETLK, &lock) == 0;
}

void SharedClaims::give_back(int probe, int interface) {
    if (folder_.empty()) return;
    const int fd = lock_file(probe, interface);
    struct flock lock = whole_file(F_UNLCK);
    if (fd != kNoFile && fcntl(fd, F_SETLK, &lock) != 0)
        std::fprintf(stderr, "usbsim: giving a claim back: %s\n", std::strerror(errno));
}

bool SharedClaims::held_elsewhere(int probe, int interface) {
    if (folder_.empty()) return false;
    const int fd = lock_file(probe, interface);
    if (fd == kNoFile) return false;
    // F_GETLK reports only locks of other processes.
    struct flock lock = whole_file(F_WRLCK);
    return fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace usbsim
