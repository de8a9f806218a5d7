// FT_* of d2xx.h over the vendor's ftd2xx.dll, loaded on the first call that
// needs it. Without the DLL, or with one that lacks any function below,
// every call fails: FT_OpenEx and FT_CreateDeviceInfoList with
// FT_DRIVER_NOT_LOADED, calls on a handle with FT_INVALID_HANDLE (no handle
// can exist then). FT_Read waits by looking at the receive queue
// (queue_read.h), with the read time-out FT_SetTimeouts gave the handle.
#include "d2xx/d2xx.h"
#include "d2xx/windows/driver_library.h"
#include "d2xx/windows/queue_read.h"

#include <windows.h>
#include <mmsystem.h>

#include <chrono>
#include <iostream>
#include <map>
#include <mutex>

namespace d2xx_windows {
namespace {

// Every function the programs call, resolved together: a DLL missing one of
// them is treated as no driver at all, never half used.
struct Driver {
    decltype(&FT_OpenEx) open_ex = nullptr;
    decltype(&FT_SetLatencyTimer) set_latency_timer = nullptr;
    decltype(&FT_GetLatencyTimer) get_latency_timer = nullptr;
    decltype(&FT_SetTimeouts) set_timeouts = nullptr;
    decltype(&FT_SetBitMode) set_bit_mode = nullptr;
    decltype(&FT_CreateDeviceInfoList) create_device_info_list = nullptr;
    decltype(&FT_GetDeviceInfoDetail) get_device_info_detail = nullptr;
    decltype(&FT_GetDeviceInfo) get_device_info = nullptr;
    decltype(&FT_Write) write = nullptr;
    decltype(&FT_Read) read = nullptr;
    decltype(&FT_GetQueueStatus) get_queue_status = nullptr;
    decltype(&FT_Purge) purge = nullptr;
    decltype(&FT_Close) close = nullptr;
};

// Looks name up in module into *fn; false when the DLL does not export it.
template <typename Fn>
bool resolve(HMODULE module, const char* name, Fn* fn) {
    const FARPROC proc = GetProcAddress(module, name);
    // FARPROC is a placeholder type; void (*)() is the cast g++ accepts
    // between unrelated function pointer types.
    *fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
    return proc != nullptr;
}

bool resolve_all(HMODULE module, Driver* d) {
    return resolve(module, "FT_OpenEx", &d->open_ex) &&
           resolve(module, "FT_SetLatencyTimer", &d->set_latency_timer) &&
           resolve(module, "FT_GetLatencyTimer", &d->get_latency_timer) &&
           resolve(module, "FT_SetTimeouts", &d->set_timeouts) &&
           resolve(module, "FT_SetBitMode", &d->set_bit_mode) &&
           resolve(module, "FT_CreateDeviceInfoList", &d->create_device_info_list) &&
           resolve(module, "FT_GetDeviceInfoDetail", &d->get_device_info_detail) &&
           resolve(module, "FT_GetDeviceInfo", &d->get_device_info) &&
           resolve(module, "FT_Write", &d->write) && resolve(module, "FT_Read", &d->read) &&
           resolve(module, "FT_GetQueueStatus", &d->get_queue_status) &&
           resolve(module, "FT_Purge", &d->purge) &&
           resolve(module, "FT_Close", &d->close);
}

// The loaded driver, or null; the load is tried once per process, and its
// failure reported then.
const Driver* driver() {
    static const Driver* const loaded = []() -> const Driver* {
        static Driver instance;
        const HMODULE module =
            LoadLibraryExW(kDriverFile, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        if (module != nullptr && resolve_all(module, &instance)) return &instance;
        if (module != nullptr) FreeLibrary(module);  // nothing of it is kept
        std::cerr << kDriverMissing;
        return nullptr;
    }();
    return loaded;
}

// Calls fn of the loaded driver with args; without a driver, returns
// without instead.
template <typename Fn, typename... Args>
FT_STATUS forward(Fn Driver::*fn, FT_STATUS without, Args... args) {
    const Driver* const d = driver();
    return d != nullptr ? (d->*fn)(args...) : without;
}

// The read time-out of every open handle whose FT_SetTimeouts succeeded.
class ReadTimeouts {
public:
    void set(FT_HANDLE handle, uint32_t ms) {
        const std::lock_guard<std::mutex> lock(mutex_);
        timeouts_[handle] = ms;
    }
    void forget(FT_HANDLE handle) {
        const std::lock_guard<std::mutex> lock(mutex_);
        timeouts_.erase(handle);
    }
    // False when none was set: the handle reads as the DLL's FT_Read does.
    bool get(FT_HANDLE handle, uint32_t* ms) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto it = timeouts_.find(handle);
        if (it == timeouts_.end()) return false;
        *ms = it->second;
        return true;
    }

private:
    mutable std::mutex mutex_;
    std::map<FT_HANDLE, uint32_t> timeouts_;
};

ReadTimeouts& read_timeouts() {
    static ReadTimeouts timeouts;
    return timeouts;
}

// Windows' timer ticks every 15.6 ms unless a program asks for finer: a
// sleep of kFirstPollSleepMs would otherwise cost a whole tick for an
// answer that takes two milliseconds. Asked for on a read's first sleep,
// for that read only.
constexpr UINT kTimerResolutionMs = 1;
class FineTimer {
public:
    FineTimer() = default;
    ~FineTimer() {
        if (raised_) timeEndPeriod(kTimerResolutionMs);
    }
    FineTimer(const FineTimer&) = delete;
    FineTimer& operator=(const FineTimer&) = delete;
    void sleep_ms(uint32_t ms) {
        if (!raised_) raised_ = timeBeginPeriod(kTimerResolutionMs) == TIMERR_NOERROR;
        Sleep(ms);
    }

private:
    bool raised_ = false;
};

uint64_t steady_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

constexpr FT_STATUS kNoDriver = FT_DRIVER_NOT_LOADED;
// With no driver no handle can have been opened, and no device listed.
constexpr FT_STATUS kNoHandle = FT_INVALID_HANDLE;
constexpr FT_STATUS kNoDevice = FT_DEVICE_NOT_FOUND;

}  // namespace
}  // namespace d2xx_windows

using d2xx_windows::Driver;
using d2xx_windows::forward;
using d2xx_windows::kNoDevice;
using d2xx_windows::kNoDriver;
using d2xx_windows::kNoHandle;

extern "C" {

FT_STATUS FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    return forward(&Driver::open_ex, kNoDriver, arg, flags, handle);
}

FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) {
    return forward(&Driver::create_device_info_list, kNoDriver, count);
}

FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* id,
                                 uint32_t* location, char* serial, char* description,
                                 FT_HANDLE* handle) {
    return forward(&Driver::get_device_info_detail, kNoDevice, index, flags, type, id, location,
                   serial, description, handle);
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t timer_ms) {
    return forward(&Driver::set_latency_timer, kNoHandle, handle, timer_ms);
}

FT_STATUS FT_GetLatencyTimer(FT_HANDLE handle, uint8_t* timer_ms) {
    return forward(&Driver::get_latency_timer, kNoHandle, handle, timer_ms);
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_ms, uint32_t write_ms) {
    const FT_STATUS status = forward(&Driver::set_timeouts, kNoHandle, handle, read_ms, write_ms);
    if (status == FT_OK) d2xx_windows::read_timeouts().set(handle, read_ms);
    return status;
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) {
    return forward(&Driver::set_bit_mode, kNoHandle, handle, mask, mode);
}

FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, uint32_t* type, uint32_t* id, char* serial,
                           char* description, void* reserved) {
    return forward(&Driver::get_device_info, kNoHandle, handle, type, id, serial, description,
                   reserved);
}

FT_STATUS FT_Write(FT_HANDLE handle, void* data, uint32_t count, uint32_t* written) {
    return forward(&Driver::write, kNoHandle, handle, data, count, written);
}

FT_STATUS FT_Read(FT_HANDLE handle, void* data, uint32_t count, uint32_t* returned) {
    const Driver* const d = d2xx_windows::driver();
    if (d == nullptr) return kNoHandle;
    uint32_t timeout_ms = 0;
    if (!d2xx_windows::read_timeouts().get(handle, &timeout_ms))
        return d->read(handle, data, count, returned);
    d2xx_windows::FineTimer timer;
    const d2xx_windows::ReadClock clock{d2xx_windows::steady_ms,
                                        [&timer](uint32_t ms) { timer.sleep_ms(ms); }};
    return d2xx_windows::read_arrived({d->get_queue_status, d->read}, clock, handle,
                                      static_cast<uint8_t*>(data), count, timeout_ms, returned);
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rx_bytes) {
    return forward(&Driver::get_queue_status, kNoHandle, handle, rx_bytes);
}

FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) {
    return forward(&Driver::purge, kNoHandle, handle, mask);
}

FT_STATUS FT_Close(FT_HANDLE handle) {
    // Forgotten whatever the DLL says: a handle it failed to close is not
    // used again, and the DLL may hand the same value to a later open.
    d2xx_windows::read_timeouts().forget(handle);
    return forward(&Driver::close, kNoHandle, handle);
}

}  // extern "C"

