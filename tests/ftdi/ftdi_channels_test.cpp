#include "d2xx/d2xx.h"
#include "d2xx/ftdi/channels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

using namespace d2xx_ftdi;

namespace {

constexpr uint32_t kPacketMs = 16;
constexpr uint8_t kLatencyMs = 16;

// What a channel saw, kept outside the port so it outlives FT_Close.
struct PortLog {
    uint64_t now = 5000;
    uint32_t readable = 0;  // bytes the chip holds for FT_Read
    bool broken = false;    // every transfer fails
    int transfers = 0, closes = 0;
    bool destroyed = false;
};

class FakePort : public Port {
public:
    explicit FakePort(std::shared_ptr<PortLog> log) : log_(std::move(log)) {}
    ~FakePort() override { log_->destroyed = true; }
    int read(uint8_t* buf, uint32_t max, uint32_t) override {
        ++log_->transfers;
        log_->now += kPacketMs;
        const uint32_t n = std::min(max, log_->readable);
        std::fill(buf, buf + n, 0x5A);
        log_->readable -= n;
        return log_->broken ? -1 : static_cast<int>(n);
    }
    int write(const uint8_t*, uint32_t count, uint32_t) override {
        ++log_->transfers;
        return log_->broken ? -1 : static_cast<int>(count);
    }
    int set_latency_timer(uint8_t) override { return 0; }
    int get_latency_timer(uint8_t* ms) override { *ms = kLatencyMs; return 0; }
    int set_bit_mode(uint8_t, uint8_t) override { return 0; }
    int purge() override { return 0; }
    int close() override { return ++log_->closes, 0; }

private:
    std::shared_ptr<PortLog> log_;
};

FT_HANDLE adopt(const std::shared_ptr<PortLog>& log, ChannelInfo info = {}) {
    return adopt_channel(std::make_unique<FakePort>(log), std::move(info),
                         [log] { return log->now; });
}

void expect_every_call_rejected(FT_HANDLE handle) {
    uint8_t buf[4] = {}, latency = 0;
    uint32_t read = 77, written = 77;
    EXPECT_EQ(FT_Read(handle, buf, sizeof buf, &read), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Write(handle, buf, sizeof buf, &written), FT_INVALID_HANDLE);
    EXPECT_EQ(read + written, 0u);
    EXPECT_EQ(FT_SetLatencyTimer(handle, 2), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_GetLatencyTimer(handle, &latency), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_SetTimeouts(handle, 10, 10), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_SetBitMode(handle, 0, FT_BITMODE_MPSSE), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_GetDeviceInfo(handle, nullptr, nullptr, nullptr, nullptr, nullptr),
              FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Close(handle), FT_INVALID_HANDLE);
}

TEST(Handles, NeverOpenedHandlesAreRejected) {
    expect_every_call_rejected(nullptr);
    expect_every_call_rejected(reinterpret_cast<FT_HANDLE>(uintptr_t{0x4242}));
}

TEST(Handles, ClosedHandleIsRejectedNeverReusedAndFreesItsChannel) {
    auto log = std::make_shared<PortLog>();
    const FT_HANDLE handle = adopt(log, ChannelInfo{ChannelKey{3, 17, 1}, kDeviceUnknown, 0, "", ""});
    uint8_t latency = 0;
    ASSERT_EQ(FT_GetLatencyTimer(handle, &latency), FT_OK);
    EXPECT_EQ(latency, kLatencyMs);
    EXPECT_TRUE(channel_in_use(ChannelKey{3, 17, 1}));
    EXPECT_FALSE(channel_in_use(ChannelKey{3, 17, 0}));

    ASSERT_EQ(FT_Close(handle), FT_OK);
    EXPECT_EQ(log->closes, 1);
    EXPECT_TRUE(log->destroyed);
    EXPECT_FALSE(channel_in_use(ChannelKey{3, 17, 1}));
    expect_every_call_rejected(handle);
    EXPECT_EQ(log->transfers, 0);
    EXPECT_EQ(log->closes, 1);

    const FT_HANDLE next = adopt(log);
    EXPECT_NE(next, handle);
    EXPECT_EQ(FT_Close(handle), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Close(next), FT_OK);
}

TEST(OpenEx, UnknownDescriptionOrOtherFlagsFailAndLeaveHandleAlone) {
    const FT_HANDLE untouched = reinterpret_cast<FT_HANDLE>(uintptr_t{0xBEEF});
    FT_HANDLE handle = untouched;
    char wanted[] = "NOPE B";
    EXPECT_NE(FT_OpenEx(wanted, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    const uint32_t by_serial = 1;
    EXPECT_NE(FT_OpenEx(wanted, by_serial, &handle), FT_OK);
    EXPECT_EQ(handle, untouched);
    EXPECT_NE(FT_OpenEx(wanted, FT_OPEN_BY_DESCRIPTION, nullptr), FT_OK);
}

TEST(Transfers, ReadWaitsTheHandlesTimeoutAndUsbFailuresAreIoErrors) {
    auto log = std::make_shared<PortLog>();
    log->readable = 3;
    const FT_HANDLE handle = adopt(log);
    ASSERT_EQ(FT_SetTimeouts(handle, 40, 40), FT_OK);
    uint8_t buf[8] = {};
    uint32_t done = 0;
    EXPECT_EQ(FT_Read(handle, buf, sizeof buf, &done), FT_OK);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(buf[2], 0x5A);
    EXPECT_EQ(log->transfers, static_cast<int>((40 + kPacketMs - 1) / kPacketMs));

    log->broken = true;
    EXPECT_EQ(FT_Write(handle, buf, sizeof buf, &done), FT_IO_ERROR);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(FT_Read(handle, buf, sizeof buf, &done), FT_IO_ERROR);
    EXPECT_EQ(FT_Close(handle), FT_OK);
}

TEST(DeviceInfo, ReportsTheChannelWithBoundedStrings) {
    auto log = std::make_shared<PortLog>();
    const FT_HANDLE handle =
        adopt(log, ChannelInfo{{}, FT_DEVICE_2232H, 0x04036010, "FT4A2B", std::string(80, 'D')});
    uint32_t type = 0, id = 0;
    char serial[FT_SERIAL_NUMBER_SIZE], description[FT_DESCRIPTION_SIZE];
    ASSERT_EQ(FT_GetDeviceInfo(handle, &type, &id, serial, description, nullptr), FT_OK);
    EXPECT_EQ(type, 6u);
    EXPECT_EQ(id, 0x04036010u);
    EXPECT_STREQ(serial, "FT4A2B");
    EXPECT_EQ(std::string(description), std::string(FT_DESCRIPTION_SIZE - 1, 'D'));
    EXPECT_EQ(FT_GetDeviceInfo(handle, nullptr, nullptr, nullptr, nullptr, nullptr), FT_OK);
    EXPECT_EQ(FT_Close(handle), FT_OK);
}

}  // namespace
