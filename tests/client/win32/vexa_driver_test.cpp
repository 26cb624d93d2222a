// The virtual port functions over the driver's control device, with a
// recorder in place of the device: argument checks, buffer bytes, the byte
// loops' counts and last errors, and the translations.
#include "client/win32/vexa_driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <vector>

#include "client/win32/vexa_control_device.h"
#include "client/win32/vexa_port.h"
#include "platform/last_error.h"
#include "platform/win32/named_event_win32.h"

using namespace tovl;

namespace {

struct Call {
    uint32_t code;
    std::vector<uint8_t> in;
};

// A scripted driver: records every call; READ_BYTE hands out queued bytes
// (then fails with readEndError), WRITE_BYTE takes up to writeRoom bytes
// (then fails with writeEndError); the close of the device spoils the last
// error, as a real close may.
class CRecordingDevice {
  public:
    std::vector<Call> calls;
    std::deque<uint8_t> readable;
    uint32_t readEndError = kErrorNoMoreItems;
    size_t writeRoom = 1000;
    uint32_t writeEndError = kErrorMoreData;
    std::vector<uint8_t> written;
    std::vector<uint8_t> reply;  // copied to the output buffer
    bool fail = false;
    uint32_t failError = 0;
    int opens = 0, closes = 0;

    VexaDeviceApi Api() {
        VexaDeviceApi api;
        api.open = [this]() -> uintptr_t {
            ++opens;
            return 0x1234;
        };
        api.close = [this](uintptr_t device) {
            EXPECT_EQ(device, 0x1234u);
            ++closes;
            SetLastErrorCode(kErrorInvalidHandle);
        };
        api.control = [this](uintptr_t, uint32_t code, const void* in, uint32_t inSize, void* out,
                             uint32_t outSize) {
            const auto* bytes = static_cast<const uint8_t*>(in);
            calls.push_back({code, std::vector<uint8_t>(bytes, bytes + inSize)});
            if (fail) {
                SetLastErrorCode(failError);
                return false;
            }
            if (code == IOCTL_VEXA_READ_BYTE) {
                if (readable.empty()) {
                    SetLastErrorCode(readEndError);
                    return false;
                }
                *static_cast<uint8_t*>(out) = readable.front();
                readable.pop_front();
                SetLastErrorCode(0);
                return true;
            }
            if (code == IOCTL_VEXA_WRITE_BYTE) {
                if (written.size() >= writeRoom) {
                    SetLastErrorCode(writeEndError);
                    return false;
                }
                written.push_back(bytes[3]);
                return true;
            }
            for (uint32_t i = 0; i < outSize && i < reply.size(); ++i)
                static_cast<uint8_t*>(out)[i] = reply[i];
            return true;
        };
        return api;
    }
};

class VexaDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        binding_ = std::make_unique<CVexaControlDevice>(device_.Api());
        SetVexaBinding(binding_.get());
    }
    void TearDown() override { SetVexaBinding(nullptr); }

    CRecordingDevice device_;
    std::unique_ptr<CVexaControlDevice> binding_;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> v;
    for (int x : values) v.push_back(static_cast<uint8_t>(x));
    return v;
}

}  // namespace

TEST_F(VexaDriverTest, BadPortNumbersAndMissingOutputsFailWith87WithoutADriverCall) {
    uint8_t buffer[4];
    uint32_t value = 77;
    PortLinkSettings settings;
    for (uint32_t n : {0u, 256u}) {
        SetLastErrorCode(0);
        EXPECT_FALSE(VexaReadData(n, buffer, 4, &value));
        EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
        SetLastErrorCode(0);
        EXPECT_FALSE(VexaWriteData(n, buffer, 4, &value));
        EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
        EXPECT_FALSE(VexaGetLineState(n, &value));
        EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
        SetLastErrorCode(0);
        EXPECT_FALSE(VexaSetLineState(n, 1));
        EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
        EXPECT_FALSE(VexaGetPortSettings(n, &settings));
        EXPECT_FALSE(VexaGetOpenState(n, &value));
        EXPECT_FALSE(VexaGetPendingCount(n, &value));
        SetLastErrorCode(0);
        EXPECT_FALSE(VexaSetStatus(n, 0));
        EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
        EXPECT_FALSE(VexaOpenDataEvent(n).IsValid());
        EXPECT_FALSE(VexaOpenSettingsEvent(n).IsValid());
        EXPECT_FALSE(VexaOpenFlowControlEvent(n).IsValid());
        EXPECT_FALSE(VexaOpenOpenedEvent(n).IsValid());
        EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
    }
    SetLastErrorCode(0);
    EXPECT_FALSE(VexaReadData(3, nullptr, 4, &value));
    EXPECT_FALSE(VexaReadData(3, buffer, 4, nullptr));
    EXPECT_FALSE(VexaWriteData(3, nullptr, 4, &value));
    EXPECT_FALSE(VexaGetLineState(3, nullptr));
    EXPECT_FALSE(VexaGetPortSettings(3, nullptr));
    EXPECT_FALSE(VexaGetOpenState(3, nullptr));
    EXPECT_FALSE(VexaGetPendingCount(3, nullptr));
    EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
    EXPECT_TRUE(device_.calls.empty());
    EXPECT_EQ(value, 77u);
}

TEST_F(VexaDriverTest, WriteByteCarriesIndexZerosAndTheByte) {
    const uint8_t data[] = {0x41};
    uint32_t count = 0;
    EXPECT_TRUE(VexaWriteData(3, data, 1, &count));
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(device_.calls.size(), 1u);
    EXPECT_EQ(device_.calls[0].code, 0x830020DCu);
    EXPECT_EQ(device_.calls[0].in, Bytes({0x02, 0x00, 0x00, 0x41}));
    EXPECT_EQ(device_.opens, 1);
    EXPECT_EQ(device_.closes, 1);
}

TEST_F(VexaDriverTest, SetLineStateBuildsTheRecordFromTheMask) {
    EXPECT_TRUE(VexaSetLineState(3, 0x25));
    EXPECT_TRUE(VexaSetLineState(3, 0x1A));
    // Only the low 8 bits of the mask count.
    EXPECT_TRUE(VexaSetLineState(3, 0xFFFFFF00));
    ASSERT_EQ(device_.calls.size(), 3u);
    EXPECT_EQ(device_.calls[0].code, 0x830020CCu);
    EXPECT_EQ(device_.calls[0].in, Bytes({2, 0, 0, 0, 0x80, 0, 0, 0, 0x03, 0, 0, 0}));
    EXPECT_EQ(device_.calls[1].in, Bytes({2, 0, 0, 0, 0x70, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(device_.calls[2].in, Bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(VexaDriverTest, GetLineStateTranslatesTheDriversRecord) {
    device_.reply = Bytes({2, 0, 0, 0, 0x30, 0, 0, 0, 0x03, 0, 0, 0});
    uint32_t mask = 0;
    EXPECT_TRUE(VexaGetLineState(3, &mask));
    EXPECT_EQ(mask, 0x0Fu);
    ASSERT_EQ(device_.calls.size(), 1u);
    EXPECT_EQ(device_.calls[0].code, 0x830020D0u);
    EXPECT_EQ(device_.calls[0].in, Bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    device_.reply = Bytes({2, 0, 0, 0, 0xC0, 0, 0, 0, 0x00, 0, 0, 0});
    EXPECT_TRUE(VexaGetLineState(3, &mask));
    EXPECT_EQ(mask, PL_LINE_RI | PL_LINE_DCD);
}

TEST_F(VexaDriverTest, ReadDataTakesWhatWaitsAndKeepsTheDriversErrorAcrossTheClose) {
    uint8_t buffer[1024];
    uint32_t count = 99;
    EXPECT_FALSE(VexaReadData(3, buffer, 1024, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastErrorCode(), kErrorNoMoreItems);  // not the close's 6

    device_.readable = {1, 2, 3};
    EXPECT_TRUE(VexaReadData(3, buffer, 1024, &count));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(GetLastErrorCode(), 0u);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[2], 3);
    // One call per byte plus the one that found nothing.
    EXPECT_EQ(device_.calls.size(), 1u + 4u);
    EXPECT_EQ(device_.calls[1].code, 0x830020D8u);
    EXPECT_EQ(device_.calls[1].in, Bytes({2, 0, 0, 0}));

    device_.calls.clear();
    device_.readable = {7, 8};
    device_.readEndError = kErrorGenFailure;
    EXPECT_TRUE(VexaReadData(3, buffer, 1024, &count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(GetLastErrorCode(), kErrorGenFailure);

    device_.calls.clear();
    device_.readable = {1, 2, 3, 4};
    EXPECT_TRUE(VexaReadData(3, buffer, 2, &count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(device_.calls.size(), 2u);

    device_.calls.clear();
    EXPECT_TRUE(VexaReadData(3, buffer, 0, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(device_.calls.empty());
}

TEST_F(VexaDriverTest, WriteDataStopsWhereThePortIsFull) {
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    uint32_t count = 0;
    device_.writeRoom = 4;
    EXPECT_TRUE(VexaWriteData(3, data, 10, &count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(GetLastErrorCode(), 0u);
    EXPECT_EQ(device_.calls.size(), 5u);

    device_.written.clear();
    device_.writeEndError = kErrorGenFailure;
    EXPECT_TRUE(VexaWriteData(3, data, 10, &count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(GetLastErrorCode(), kErrorGenFailure);

    device_.writeRoom = 0;
    device_.writeEndError = kErrorMoreData;
    EXPECT_FALSE(VexaWriteData(3, data, 10, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastErrorCode(), kErrorMoreData);
}

TEST_F(VexaDriverTest, IndexOperationsUseTheirCodesAndResults) {
    uint32_t value = 0;
    device_.reply = Bytes({5, 0, 0, 0});
    EXPECT_TRUE(VexaGetOpenState(7, &value));
    EXPECT_EQ(value, 1u);
    device_.reply = Bytes({0, 0, 0, 0});
    EXPECT_TRUE(VexaGetOpenState(7, &value));
    EXPECT_EQ(value, 0u);
    device_.reply = Bytes({0x34, 0x12, 0, 0});
    EXPECT_TRUE(VexaGetPendingCount(7, &value));
    EXPECT_EQ(value, 0x1234u);
    EXPECT_TRUE(VexaSetStatus(7, 0));
    ASSERT_EQ(device_.calls.size(), 4u);
    EXPECT_EQ(device_.calls[0].code, 0x830020E4u);
    EXPECT_EQ(device_.calls[0].in, Bytes({6, 0, 0, 0}));
    EXPECT_EQ(device_.calls[2].code, 0x830020E8u);
    EXPECT_EQ(device_.calls[3].code, 0x830020ECu);
    EXPECT_EQ(device_.calls[3].in, Bytes({6, 0, 0, 0, 0, 0, 0, 0}));

    // A failing call leaves the output alone and reports the driver's error.
    device_.fail = true;
    device_.failError = kErrorGenFailure;
    value = 55;
    EXPECT_FALSE(VexaGetPendingCount(7, &value));
    EXPECT_EQ(value, 55u);
    EXPECT_EQ(GetLastErrorCode(), kErrorGenFailure);
}

TEST_F(VexaDriverTest, SettingsAreCopiedFieldByField) {
    std::vector<uint8_t> raw(44, 0xEE);
    const uint8_t fields[] = {0x00, 0xC2, 0x01, 0x00,  // 115200
                              0x1A, 0x2B, 0xEE, 0x3C, 0x11, 0x13, 7, 2, 1};
    std::copy(std::begin(fields), std::end(fields), raw.begin() + 8);
    const uint8_t tail[] = {0x09, 0x01, 0,    0, 0x81, 0x02, 0,    0,
                            0x00, 0x08, 0x01, 0, 0x00, 0x02, 0x01, 0};
    std::copy(std::begin(tail), std::end(tail), raw.begin() + 24);
    device_.reply = raw;
    PortLinkSettings s;
    ASSERT_TRUE(VexaGetPortSettings(4, &s));
    EXPECT_EQ(device_.calls[0].code, 0x830020D4u);
    EXPECT_EQ(device_.calls[0].in, Bytes({3, 0, 0, 0}));
    EXPECT_EQ(s.BaudRate, 115200u);
    EXPECT_EQ(s.EofChar, 0x1A);
    EXPECT_EQ(s.ErrorChar, 0x2B);
    EXPECT_EQ(s.EvtChar, 0x3C);
    EXPECT_EQ(s.XonChar, 0x11);
    EXPECT_EQ(s.XoffChar, 0x13);
    EXPECT_EQ(s.ByteSize, 7);
    EXPECT_EQ(s.StopBits, 2);
    EXPECT_EQ(s.Parity, 1);
    EXPECT_EQ(s.ControlHandShake, 0x09);  // low 8 bits of 0x109
    EXPECT_EQ(s.FlowReplace, 0x81u);      // low 8 bits of 0x281
    EXPECT_EQ(s.XonLimit, 0x0800);        // low 16 bits of 0x10800
    EXPECT_EQ(s.XoffLimit, 0x0200);
}

TEST_F(VexaDriverTest, EventOpenersCheckThePortBeforeOpeningTheEvent) {
    CEvent driverEvent = CreateNamedEvent(CEvent::ResetMode::Auto, false, "vexaPortSettings9");
    ASSERT_TRUE(driverEvent.IsValid());
    CEvent opened = VexaOpenSettingsEvent(9);
    ASSERT_TRUE(opened.IsValid());
    ASSERT_EQ(device_.calls.size(), 1u);
    EXPECT_EQ(device_.calls[0].code, 0x830020E0u);
    EXPECT_EQ(device_.calls[0].in, Bytes({8, 0, 0, 0}));
    driverEvent.Set();
    EXPECT_EQ(opened.Wait(1000), 0);
    EXPECT_EQ(opened.Wait(0), kWaitTimeout);

    // A port the driver does not have: no event is even looked for.
    device_.fail = true;
    device_.failError = kErrorFileNotFound;
    EXPECT_FALSE(VexaOpenSettingsEvent(9).IsValid());
    EXPECT_EQ(GetLastErrorCode(), kErrorFileNotFound);
}

TEST_F(VexaDriverTest, APortTheDriverDoesNotHaveWaitsForTheStopAlone) {
    device_.fail = true;
    device_.failError = kErrorFileNotFound;
    CVexaPort port(4);
    EXPECT_FALSE(port.Offered());
    CEvent stop;
    ASSERT_TRUE(stop.Create(CEvent::ResetMode::Auto, false));
    std::unique_ptr<CPortWatch> watch = port.Watch(stop);
    // No event to wait for: the wait takes its time instead of spinning.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(watch->Next(300), PortActivity::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    stop.Set();
    EXPECT_EQ(watch->Next(1000), PortActivity::Stop);
}

TEST(VexaDriverNoDevice, EveryOperationFailsWhenTheDeviceCannotBeOpened) {
    VexaDeviceApi api;
    int controls = 0;
    api.open = []() -> uintptr_t {
        SetLastErrorCode(kErrorFileNotFound);
        return 0;
    };
    api.control = [&controls](uintptr_t, uint32_t, const void*, uint32_t, void*, uint32_t) {
        ++controls;
        return true;
    };
    api.close = [](uintptr_t) {};
    CVexaControlDevice binding(api);
    SetVexaBinding(&binding);
    uint32_t value = 0;
    EXPECT_FALSE(VexaGetOpenState(1, &value));
    EXPECT_EQ(GetLastErrorCode(), kErrorFileNotFound);
    EXPECT_FALSE(VexaOpenOpenedEvent(1).IsValid());
    EXPECT_EQ(controls, 0);
    SetVexaBinding(nullptr);
}

TEST(VexaLineStateTranslation, BothDirectionsUseTheSamePairs) {
    for (uint32_t mask = 0; mask < 64; ++mask) {
        VexaLineState s = VexaMaskToLineState(0, mask);
        EXPECT_EQ(VexaLineStateToMask(s), mask) << mask;
    }
}
