// The Com Port Control commands against the recording fake port: every
// command's answer, and what reached the serial seam.
#include "server/rfc2217_control.h"

#include <gtest/gtest.h>

#include "server/fake_serial_port.h"

using namespace tovl;
using testing_support::CFakeSerialPort;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Reply(int code, Bytes value) {
    Bytes out;
    AppendComPortCommand(static_cast<uint8_t>(code), value.data(), value.size(), &out);
    return out;
}

class Rfc2217Control : public ::testing::Test {
  protected:
    Bytes Send(uint8_t command, Bytes value) {
        Bytes out;
        control_.Handle(ComPortRequest{command, std::move(value)}, &out);
        return out;
    }
    CFakeSerialPort port_;
    CComPortControl control_{port_};
};

TEST_F(Rfc2217Control, BaudRateAnyRateAndQuery) {
    EXPECT_EQ(Send(1, {0, 3, 0xD0, 0x90}), Reply(101, {0, 3, 0xD0, 0x90}));  // 250000
    EXPECT_EQ(port_.Snapshot().dcb.BaudRate, 250000u);
    EXPECT_EQ(Send(1, {0, 0, 0, 0}), Reply(101, {0, 3, 0xD0, 0x90}));
    EXPECT_EQ(Send(1, {0, 0, 0x25, 0x80}), Reply(101, {0, 0, 0x25, 0x80}));
}

TEST_F(Rfc2217Control, DataSizeParityAndStopSizeReachTheDcb) {
    EXPECT_EQ(Send(2, {7}), Reply(102, {7}));
    EXPECT_EQ(Send(2, {9}), Reply(102, {7}));  // not offered: the size in effect
    EXPECT_EQ(Send(2, {0}), Reply(102, {7}));
    EXPECT_EQ(port_.Snapshot().dcb.ByteSize, 7);
    const uint8_t dcbParity[] = {0, 0, 1, 2, 3, 4};
    for (uint8_t p = 1; p <= 5; ++p) {
        EXPECT_EQ(Send(3, {p}), Reply(103, {p}));
        EXPECT_EQ(port_.Snapshot().dcb.Parity, dcbParity[p]);
        EXPECT_EQ(port_.Snapshot().dcb.fParity, p != 1);
    }
    EXPECT_EQ(Send(3, {0}), Reply(103, {5}));
    EXPECT_EQ(Send(4, {2}), Reply(104, {2}));
    EXPECT_EQ(port_.Snapshot().dcb.StopBits, 2);
    EXPECT_EQ(Send(4, {1}), Reply(104, {1}));
    EXPECT_EQ(port_.Snapshot().dcb.StopBits, 0);
    EXPECT_EQ(Send(4, {3}), Reply(104, {2}));  // one and a half: two
    EXPECT_EQ(Send(4, {0}), Reply(104, {2}));
}

TEST_F(Rfc2217Control, FlowControlBothDirections) {
    EXPECT_EQ(Send(5, {3}), Reply(105, {3}));
    EXPECT_TRUE(port_.Snapshot().dcb.fOutxCtsFlow);
    EXPECT_EQ(Send(5, {16}), Reply(105, {16}));
    EXPECT_EQ(port_.Snapshot().dcb.fRtsControl, 2);
    EXPECT_EQ(Send(5, {0}), Reply(105, {3}));
    EXPECT_EQ(Send(5, {13}), Reply(105, {16}));
    EXPECT_EQ(Send(5, {2}), Reply(105, {2}));
    EXPECT_EQ(Send(5, {15}), Reply(105, {15}));
    tovl::SerialDcb dcb = port_.Snapshot().dcb;
    EXPECT_TRUE(dcb.fOutX && dcb.fInX && !dcb.fOutxCtsFlow && dcb.fRtsControl != 2);
    EXPECT_EQ(Send(5, {1}), Reply(105, {1}));
    EXPECT_EQ(Send(5, {14}), Reply(105, {14}));
    dcb = port_.Snapshot().dcb;
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow);
    EXPECT_EQ(Send(5, {17}), Reply(105, {1}));  // DCD flow not offered
}

TEST_F(Rfc2217Control, NoFlowControlClearsEveryHandshakeThePortStartedWith) {
    SerialDcb start;
    start.fOutxCtsFlow = true;
    start.fRtsControl = 2;
    start.fOutX = true;
    start.fInX = true;
    port_.SetState(start);
    EXPECT_EQ(Send(5, {1}), Reply(105, {1}));
    const SerialDcb dcb = port_.Snapshot().dcb;
    EXPECT_FALSE(dcb.fOutxCtsFlow || dcb.fOutX || dcb.fInX);
    EXPECT_NE(dcb.fRtsControl, 2);
    EXPECT_EQ(Send(5, {13}), Reply(105, {14}));
}

TEST_F(Rfc2217Control, XonXoffOutboundCodeSetsBothDirectionsInboundCodesOnlyInbound) {
    EXPECT_EQ(Send(5, {2}), Reply(105, {2}));
    EXPECT_TRUE(port_.Snapshot().dcb.fOutX && port_.Snapshot().dcb.fInX);
    EXPECT_EQ(Send(5, {14}), Reply(105, {14}));
    EXPECT_TRUE(port_.Snapshot().dcb.fOutX);
    EXPECT_FALSE(port_.Snapshot().dcb.fInX);
    EXPECT_EQ(Send(5, {15}), Reply(105, {15}));
    EXPECT_TRUE(port_.Snapshot().dcb.fInX);
}

TEST_F(Rfc2217Control, DataReachesThePortBeforeTheCommandBehindIt) {
    std::vector<TelnetItem> items;
    items.emplace_back(PortData{{'a', 'b'}});
    items.emplace_back(ComPortRequest{1, {0, 0, 0x4B, 0}});  // 19200
    items.emplace_back(PortData{{'c'}});
    Bytes out;
    control_.Apply(items, &out);
    EXPECT_EQ(out, Reply(101, {0, 0, 0x4B, 0}));
    const CFakeSerialPort::Record record = port_.Snapshot();
    EXPECT_EQ(record.written, "abc");
    std::vector<std::string> order;
    for (const std::string& call : record.calls)
        if (call == "Write" || call == "SetState") order.push_back(call);
    EXPECT_EQ(order, (std::vector<std::string>{"Write", "SetState", "Write"}));
}

TEST_F(Rfc2217Control, BreakDtrRtsAndTheirQueries) {
    EXPECT_EQ(Send(5, {4}), Reply(105, {6}));
    EXPECT_EQ(Send(5, {5}), Reply(105, {5}));
    EXPECT_EQ(Send(5, {4}), Reply(105, {5}));
    EXPECT_EQ(Send(5, {6}), Reply(105, {6}));
    EXPECT_EQ(Send(5, {9}), Reply(105, {9}));
    EXPECT_EQ(Send(5, {7}), Reply(105, {9}));
    EXPECT_EQ(Send(5, {8}), Reply(105, {8}));
    EXPECT_EQ(Send(5, {12}), Reply(105, {12}));
    EXPECT_EQ(Send(5, {10}), Reply(105, {12}));
    EXPECT_EQ(Send(5, {11}), Reply(105, {11}));
    EXPECT_EQ(port_.Snapshot().lineEvents,
              (std::vector<std::string>{"BREAK+", "BREAK-", "DTR-", "DTR+", "RTS-", "RTS+"}));
}

TEST_F(Rfc2217Control, PurgeMasksSuspendAndSignature) {
    EXPECT_EQ(Send(12, {1}), Reply(112, {1}));
    EXPECT_EQ(Send(12, {2}), Reply(112, {2}));
    EXPECT_EQ(Send(12, {3}), Reply(112, {3}));
    EXPECT_EQ(port_.Snapshot().lineEvents,
              (std::vector<std::string>{"PURGE-RX", "PURGE-TX", "PURGE-RX", "PURGE-TX"}));
    EXPECT_EQ(Send(10, {0x1E}), Reply(110, {0x1E}));
    EXPECT_EQ(Send(11, {0x33}), Reply(111, {0x33}));
    EXPECT_EQ(Send(8, {}), Reply(108, {}));
    EXPECT_TRUE(control_.Suspended());
    EXPECT_EQ(Send(9, {}), Reply(109, {}));
    EXPECT_FALSE(control_.Suspended());
    EXPECT_EQ(Send(6, {}), Reply(106, {0}));
    const Bytes signature = Send(0, {});
    ASSERT_GT(signature.size(), 6u);
    EXPECT_EQ(signature[3], 100);
}

TEST_F(Rfc2217Control, ModemStateNoticesCarryDeltasAndFollowTheMask) {
    port_.ChangeModemStatus(0x30);
    EXPECT_EQ(Send(7, {}), Reply(107, {0x30}));
    Bytes out;
    EXPECT_TRUE(control_.ModemStateNotice(0x30, false, &out));
    EXPECT_EQ(out, Reply(107, {0x33}));  // CTS and DSR rose
    out.clear();
    EXPECT_FALSE(control_.ModemStateNotice(0x30, false, &out));
    EXPECT_TRUE(control_.ModemStateNotice(0x30, true, &out));
    EXPECT_EQ(out, Reply(107, {0x30}));
    out.clear();
    EXPECT_TRUE(control_.ModemStateNotice(0x60, false, &out));  // CTS fell, RI rose
    EXPECT_EQ(out, Reply(107, {0x61}));
    out.clear();
    EXPECT_TRUE(control_.ModemStateNotice(0x20, false, &out));  // trailing edge of RI
    EXPECT_EQ(out, Reply(107, {0x24}));
    out.clear();
    Send(11, {0x80});  // only DCD
    EXPECT_FALSE(control_.ModemStateNotice(0x30, false, &out));
    EXPECT_TRUE(control_.ModemStateNotice(0xB0, false, &out));
    EXPECT_EQ(out, Reply(107, {0x80}));
}

SerialLineErrors Errors(bool overrun, bool parity, bool framing, bool breakDetected) {
    SerialLineErrors e;
    e.overrun = overrun;
    e.parity = parity;
    e.framing = framing;
    e.breakDetected = breakDetected;
    return e;
}

TEST_F(Rfc2217Control, EachLineErrorGivesOneNoticeWithItsBits) {
    Send(10, {0xFF});
    Bytes out;
    EXPECT_FALSE(control_.LineStateNotice(&out));
    port_.InjectLineErrors(Errors(false, true, false, false));
    EXPECT_TRUE(control_.LineStateNotice(&out));
    EXPECT_EQ(out, Reply(106, {0x04}));
    out.clear();
    EXPECT_FALSE(control_.LineStateNotice(&out));  // reported once
    port_.InjectLineErrors(Errors(true, false, true, true));
    EXPECT_TRUE(control_.LineStateNotice(&out));
    EXPECT_EQ(out, Reply(106, {0x1A}));  // break, framing, overrun
}

TEST_F(Rfc2217Control, TheMaskFiltersLineStateAndMaskZeroSendsNothing) {
    Bytes out;
    port_.InjectLineErrors(Errors(true, true, true, true));  // default mask 0
    EXPECT_FALSE(control_.LineStateNotice(&out));
    Send(10, {0x08});
    port_.InjectLineErrors(Errors(false, true, false, false));
    EXPECT_FALSE(control_.LineStateNotice(&out));
    port_.InjectLineErrors(Errors(false, true, true, false));
    EXPECT_TRUE(control_.LineStateNotice(&out));
    EXPECT_EQ(out, Reply(106, {0x08}));
    out.clear();
    // Queue states are told when they change, not again while they hold.
    Send(10, {0x21});
    SerialLineErrors idle;
    idle.transmitEmpty = true;
    port_.InjectLineErrors(idle);
    EXPECT_TRUE(control_.LineStateNotice(&out));
    EXPECT_EQ(out, Reply(106, {0x20}));
    out.clear();
    EXPECT_FALSE(control_.LineStateNotice(&out));
    SerialLineErrors received;
    received.dataReady = true;
    port_.InjectLineErrors(received);
    EXPECT_TRUE(control_.LineStateNotice(&out));
    EXPECT_EQ(out, Reply(106, {0x01}));
}

TEST_F(Rfc2217Control, LineStateQueryAnswersTheValueNowCutToTheMask) {
    Send(10, {0x3F});
    SerialLineErrors e = Errors(false, false, false, true);
    e.transmitEmpty = true;
    port_.InjectLineErrors(e);
    EXPECT_EQ(Send(6, {0}), Reply(106, {0x30}));
    Bytes out;
    EXPECT_FALSE(control_.LineStateNotice(&out));  // the answer told it
    Send(10, {0x10});
    EXPECT_EQ(Send(6, {0}), Reply(106, {0}));
}

TEST(Rfc2217ControlNoCounters, APortThatCannotTellIsNotAskedAgain) {
    CFakeSerialPort port;
    port.NoLineErrorCounters();
    CComPortControl control(port);
    Bytes out;
    control.Handle(ComPortRequest{10, {0xFF}}, &out);
    out.clear();
    port.InjectLineErrors(Errors(true, true, true, true));
    EXPECT_FALSE(control.LineStateNotice(&out));
    control.Handle(ComPortRequest{6, {0}}, &out);
    EXPECT_EQ(out, Reply(106, {0}));
    EXPECT_EQ(port.Snapshot().lineErrorTakes, 1);
}

}  // namespace
