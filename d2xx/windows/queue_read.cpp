#include "d2xx/windows/queue_read.h"

#include "d2xx/abandon.h"

#include <algorithm>

namespace d2xx_windows {

uint32_t poll_sleep_ms(uint32_t empty_looks) {
    uint32_t sleep = kFirstPollSleepMs;
    for (uint32_t look = 1; look < empty_looks && sleep < kPollSliceMs; ++look) sleep *= 2;
    return std::min(sleep, kPollSliceMs);
}

FT_STATUS read_arrived(const QueueDriver& driver, const ReadClock& clock, FT_HANDLE handle,
                       uint8_t* data, uint32_t count, uint32_t timeout_ms, uint32_t* returned) {
    uint32_t got = 0;
    const auto done = [&](FT_STATUS status) {
        if (returned != nullptr) *returned = got;
        return status;
    };
    const uint64_t deadline = clock.now_ms() + timeout_ms;
    uint32_t empty_looks = 0;
    while (got < count) {
        uint32_t queued = 0;
        const FT_STATUS looked = driver.queue_status(handle, &queued);
        if (looked != FT_OK) return done(looked);
        if (queued > 0) {
            const uint32_t wanted = std::min(queued, count - got);
            uint32_t taken = 0;
            const FT_STATUS read = driver.read(handle, data + got, wanted, &taken);
            got += std::min(taken, wanted);  // a driver claiming more is not believed
            if (read != FT_OK) return done(read);
            if (taken > 0) {
                empty_looks = 0;
                continue;
            }
        }
        // Nothing came: the time-out, or a wait the program has given up.
        const uint64_t now = clock.now_ms();
        if (now >= deadline || d2xx_waits_abandoned() != 0) break;
        ++empty_looks;
        clock.sleep_ms(static_cast<uint32_t>(
            std::min<uint64_t>(poll_sleep_ms(empty_looks), deadline - now)));
    }
    return done(FT_OK);
}

}  // namespace d2xx_windows
