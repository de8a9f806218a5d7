#include "fuzz/fuzz_driver.h"

#include "d2xx/d2xx.h"

#include <cstring>
#include <string>
#include <utility>

namespace {

FuzzedDataProvider* g_input = nullptr;
// One live handle, so that the probe link's handle passing is exercised too.
int g_handle_token = 0;
constexpr uint8_t kFailureShare = 32;  // input bytes below this fail the call

FT_STATUS next_status() {
    if (!g_input || g_input->remaining_bytes() == 0) return FT_IO_ERROR;
    const uint8_t b = g_input->ConsumeIntegral<uint8_t>();
    return b < kFailureShare ? static_cast<FT_STATUS>(1 + b % FT_IO_ERROR) : FT_OK;
}

// A claimed count anywhere in 0..2*asked+1, so lies in both directions occur.
uint32_t next_count(uint32_t asked) {
    if (!g_input) return 0;
    const uint64_t limit = static_cast<uint64_t>(asked) * 2 + 1;
    return static_cast<uint32_t>(g_input->ConsumeIntegralInRange<uint64_t>(0, limit));
}

}  // namespace

void fuzz_driver_use(FuzzedDataProvider* provider) { g_input = provider; }

extern "C" {

FT_STATUS FT_OpenEx(void*, uint32_t, FT_HANDLE* handle) {
    const FT_STATUS s = next_status();
    if (s == FT_OK) *handle = &g_handle_token;
    return s;
}
FT_STATUS FT_SetLatencyTimer(FT_HANDLE, uint8_t) { return next_status(); }
FT_STATUS FT_GetLatencyTimer(FT_HANDLE, uint8_t* timer_ms) {
    const FT_STATUS s = next_status();
    if (s == FT_OK && timer_ms && g_input) *timer_ms = g_input->ConsumeIntegral<uint8_t>();
    return s;
}
FT_STATUS FT_SetTimeouts(FT_HANDLE, uint32_t, uint32_t) { return next_status(); }
FT_STATUS FT_SetBitMode(FT_HANDLE, uint8_t, uint8_t) { return next_status(); }

FT_STATUS FT_GetDeviceInfo(FT_HANDLE, uint32_t* type, uint32_t* id, char* serial,
                           char* description, void*) {
    const FT_STATUS s = next_status();
    if (s != FT_OK || !g_input) return s;
    if (type) *type = g_input->ConsumeIntegral<uint32_t>();
    if (id) *id = g_input->ConsumeIntegral<uint32_t>();
    // All 16 bytes as given, terminated or not: a broken driver.
    if (serial) {
        const std::string bytes = g_input->ConsumeBytesAsString(FT_SERIAL_NUMBER_SIZE);
        std::memset(serial, 'S', FT_SERIAL_NUMBER_SIZE);
        if (!bytes.empty()) std::memcpy(serial, bytes.data(), bytes.size());
    }
    if (description) std::memset(description, 0, FT_DESCRIPTION_SIZE);
    return s;
}

FT_STATUS FT_Write(FT_HANDLE, void* data, uint32_t count, uint32_t* written) {
    // Touch every byte the caller says it passed.
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < count; ++i) sink = sink ^ static_cast<const uint8_t*>(data)[i];
    const FT_STATUS s = next_status();
    *written = next_count(count);
    return s;
}

FT_STATUS FT_Read(FT_HANDLE, void* data, uint32_t count, uint32_t* returned) {
    const FT_STATUS s = next_status();
    const uint32_t claimed = next_count(count);
    const uint32_t real = claimed < count ? claimed : count;
    if (g_input) {
        const std::vector<uint8_t> bytes = g_input->ConsumeBytes<uint8_t>(real);
        if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    }
    *returned = claimed;
    return s;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE, uint32_t* rx_bytes) {
    const FT_STATUS s = next_status();
    if (s == FT_OK && g_input) *rx_bytes = g_input->ConsumeIntegral<uint8_t>();
    return s;
}

FT_STATUS FT_Purge(FT_HANDLE, uint32_t) { return next_status(); }
FT_STATUS FT_Close(FT_HANDLE) { return next_status(); }

FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) {
    const FT_STATUS s = next_status();
    if (s == FT_OK && count && g_input) *count = g_input->ConsumeIntegral<uint8_t>();
    return s;
}

// Every byte of serial and description as given, terminated or not.
FT_STATUS FT_GetDeviceInfoDetail(uint32_t, uint32_t* flags, uint32_t* type, uint32_t* id,
                                 uint32_t* location, char* serial, char* description,
                                 FT_HANDLE* handle) {
    const FT_STATUS s = next_status();
    if (s != FT_OK || !g_input) return s;
    for (uint32_t* number : {flags, type, id, location})
        if (number) *number = g_input->ConsumeIntegral<uint32_t>();
    for (const auto& text : {std::make_pair(serial, FT_SERIAL_NUMBER_SIZE),
                             std::make_pair(description, FT_DESCRIPTION_SIZE)}) {
        if (!text.first) continue;
        const std::string bytes = g_input->ConsumeBytesAsString(text.second);
        std::memset(text.first, 'S', text.second);
        if (!bytes.empty()) std::memcpy(text.first, bytes.data(), bytes.size());
    }
    if (handle) *handle = nullptr;
    return s;
}

}  // extern "C"
