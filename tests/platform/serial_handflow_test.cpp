// The driver's handshake record and the DCB flags describe one state.
#include "platform/serial_handflow.h"

#include <gtest/gtest.h>

using namespace tovl;

namespace {

TEST(SerialHandflow, RecordToDcbFlags) {
    SerialHandflow h;
    h.ControlHandShake = SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_ERROR_ABORT;
    h.FlowReplace = SERIAL_AUTO_TRANSMIT | SERIAL_RTS_HANDSHAKE | SERIAL_XOFF_CONTINUE;
    h.XonLimit = 100;
    h.XoffLimit = 200;
    SerialDcb dcb;
    ApplyHandflowToDcb(h, &dcb);
    EXPECT_EQ(dcb.fDtrControl, 2);
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_TRUE(dcb.fAbortOnError);
    EXPECT_TRUE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_EQ(dcb.fRtsControl, 2);
    EXPECT_TRUE(dcb.fTXContinueOnXoff);
    EXPECT_EQ(dcb.XonLim, 100);
    EXPECT_EQ(dcb.XoffLim, 200);
}

TEST(SerialHandflow, RoundTripsEveryFlag) {
    const uint32_t controls[] = {
        0, SERIAL_DTR_CONTROL, SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE,
        SERIAL_CTS_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT};
    const uint32_t flows[] = {0, SERIAL_AUTO_RECEIVE | SERIAL_RTS_CONTROL,
                              SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_TRANSMIT_TOGGLE,
                              SERIAL_AUTO_TRANSMIT | SERIAL_XOFF_CONTINUE | SERIAL_RTS_HANDSHAKE};
    for (uint32_t c : controls) {
        for (uint32_t f : flows) {
            SerialHandflow h{c, f, 7, 9};
            SerialDcb dcb;
            ApplyHandflowToDcb(h, &dcb);
            SerialHandflow back = HandflowFromDcb(dcb);
            EXPECT_EQ(back.ControlHandShake, c);
            EXPECT_EQ(back.FlowReplace, f);
            EXPECT_EQ(back.XonLimit, 7);
            EXPECT_EQ(back.XoffLimit, 9);
        }
    }
}

}  // namespace
