// FT_Read as the programs need it over the vendor's ftd2xx.dll: the DLL's
// own FT_Read blocks for its whole time-out and nothing in the program can
// cut it short, so a read here waits by looking at the receive queue and
// takes only the bytes that have arrived. Between two looks it sleeps at
// most kPollSliceMs, so a request to abandon waits (d2xx/abandon.h) ends
// the wait within one slice, and the read time-out keeps its meaning.
//
// Plain C++ over the two D2XX calls it is given: the Windows driver layer
// passes the DLL's, tests on any system the simulated driver's.
#ifndef TALVIRO_D2XX_WINDOWS_QUEUE_READ_H
#define TALVIRO_D2XX_WINDOWS_QUEUE_READ_H

#include "d2xx/d2xx.h"

#include <cstdint>
#include <functional>

namespace d2xx_windows {

// The longest sleep between two looks at the receive queue.
constexpr uint32_t kPollSliceMs = 50;
// The first sleep of a wait, doubled at each empty look up to kPollSliceMs:
// an answer the chip sends within its latency timer (a few milliseconds) is
// taken about as soon as it arrives, a silent chip costs a look every slice.
constexpr uint32_t kFirstPollSleepMs = 1;

// The driver calls a read is made of.
struct QueueDriver {
    decltype(&FT_GetQueueStatus) queue_status;
    decltype(&FT_Read) read;  // only ever asked for bytes the queue holds
};

// Time as the read sees it: a clock that never goes back, and a sleep.
struct ReadClock {
    std::function<uint64_t()> now_ms;
    std::function<void(uint32_t ms)> sleep_ms;
};

// The sleep before the next look after `empty_looks` looks in a row found
// the queue empty (>= 1): kFirstPollSleepMs doubled per further empty look,
// at most kPollSliceMs.
uint32_t poll_sleep_ms(uint32_t empty_looks);

// Reads count bytes of handle into data, as d2xx.h's FT_Read promises:
// FT_OK with *returned == count once they are there, FT_OK with fewer once
// timeout_ms have passed on clock, or, once waits are abandoned, at the
// first look that finds the queue empty. A failing driver call ends it with
// that call's status, *returned = the bytes taken before it. Never sleeps
// past the time-out.
FT_STATUS read_arrived(const QueueDriver& driver, const ReadClock& clock, FT_HANDLE handle,
                       uint8_t* data, uint32_t count, uint32_t timeout_ms, uint32_t* returned);

}  // namespace d2xx_windows

#endif
