// The serial driver keeps one handshake state that both the DCB flags and
// the handshake record (SERIAL_HANDFLOW) describe. These convert between the
// two as the driver does, for backends that keep the DCB themselves.
#pragma once

#include "platform/serial_port.h"

namespace tovl {

// The DCB's flags and limits after the driver took handflow.
inline void ApplyHandflowToDcb(const SerialHandflow& handflow, SerialDcb* dcb) {
    const uint32_t control = handflow.ControlHandShake;
    const uint32_t flow = handflow.FlowReplace;
    switch (control & SERIAL_DTR_MASK) {
        case SERIAL_DTR_CONTROL:
            dcb->fDtrControl = 1;
            break;
        case SERIAL_DTR_HANDSHAKE:
            dcb->fDtrControl = 2;
            break;
        default:
            dcb->fDtrControl = 0;
            break;
    }
    dcb->fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb->fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    dcb->fRtsControl = static_cast<uint8_t>((flow & SERIAL_RTS_MASK) >> 6);
    dcb->fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb->XonLim = static_cast<uint16_t>(handflow.XonLimit);
    dcb->XoffLim = static_cast<uint16_t>(handflow.XoffLimit);
}

// The handshake record that a DCB's flags and limits stand for.
inline SerialHandflow HandflowFromDcb(const SerialDcb& dcb) {
    SerialHandflow h;
    if (dcb.fDtrControl == 1) h.ControlHandShake |= SERIAL_DTR_CONTROL;
    if (dcb.fDtrControl == 2) h.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fOutxCtsFlow) h.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) h.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) h.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) h.ControlHandShake |= SERIAL_ERROR_ABORT;
    if (dcb.fOutX) h.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) h.FlowReplace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) h.FlowReplace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) h.FlowReplace |= SERIAL_NULL_STRIPPING;
    h.FlowReplace |= (static_cast<uint32_t>(dcb.fRtsControl) << 6) & SERIAL_RTS_MASK;
    if (dcb.fTXContinueOnXoff) h.FlowReplace |= SERIAL_XOFF_CONTINUE;
    h.XonLimit = dcb.XonLim;
    h.XoffLimit = dcb.XoffLim;
    return h;
}

}  // namespace tovl
