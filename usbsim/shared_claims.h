// Claims of USB interfaces that other processes see, as they see the
// kernel's: one lock file per probe and interface in a folder, held with an
// fcntl record lock while this process has the interface claimed. A process
// that ends gives its locks up, as the kernel then gives up its claims.
// Not thread-safe: the bus calls it under its own lock.
#ifndef TALVIRO_USBSIM_SHARED_CLAIMS_H
#define TALVIRO_USBSIM_SHARED_CLAIMS_H

#include <map>
#include <string>
#include <utility>

namespace usbsim {

class SharedClaims {
public:
    // An empty folder shares nothing: every call then reports no other
    // holder. The folder must exist; a lock file that cannot be opened is
    // reported once on stderr and that interface is not shared.
    explicit SharedClaims(std::string folder);
    ~SharedClaims();
    SharedClaims(const SharedClaims&) = delete;
    SharedClaims& operator=(const SharedClaims&) = delete;

    // Locks interface of probe (1-based) for this process; false when
    // another process holds it.
    bool take(int probe, int interface);
    void give_back(int probe, int interface);
    // True while another process holds it; looks without taking it.
    bool held_elsewhere(int probe, int interface);

private:
    // The lock file's descriptor, opened on first use and kept open: closing
    // any descriptor of the file would drop this process's lock on it.
    // -1 when it cannot be had.
    int lock_file(int probe, int interface);

    std::string folder_;
    std::map<std::pair<int, int>, int> files_;
};

}  // namespace usbsim

#endif
