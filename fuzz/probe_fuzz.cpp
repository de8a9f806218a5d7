// Drives the probe link against a driver that answers from fuzz input.
// Invariants: a read never reports more than it asked for and never writes
// past its buffer; a conversion's count stays within 10 bits; an opened
// serial number is terminated within its 16 bytes.
#include "fuzz/fuzz_driver.h"
#include "fuzz/quiet_streams.h"
#include "probe/converter.h"
#include "probe/probe_channel.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kMaxReadCount = 64;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    fuzz_driver_use(&input);
    QuietStreams quiet;

    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: {
        const uint32_t count = input.ConsumeIntegralInRange<uint32_t>(0, kMaxReadCount);
        // Exactly count bytes on the heap, so one byte past is caught.
        std::vector<unsigned char> buffer(count);
        uint32_t received = 0xFFFFFFFFu;
        const int result = probe_read(buffer.data(), count, &received);
        check(received <= count, "received exceeds count");
        check(result != 0 || received == count, "success with bytes missing");
        break;
    }
    case 1: {
        const uint8_t channel = input.ConsumeIntegral<uint8_t>();
        const uint16_t value = read_adc_channel(channel);
        check(value <= kConverterMaxCount, "count above 1023");
        break;
    }
    default: {
        char serial[16];
        std::memset(serial, 'x', sizeof serial);
        if (probe_open(serial) == 0)
            check(std::memchr(serial, '\0', sizeof serial) != nullptr, "unterminated serial");
        break;
    }
    }
    fuzz_driver_use(nullptr);
    return 0;
}
