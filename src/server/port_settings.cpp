#include "server/port_settings.h"

namespace tovl {

void ApplySettingsToDcb(const PortLinkSettings& settings, SerialDcb* dcb) {
    dcb->BaudRate = settings.BaudRate;
    dcb->ByteSize = settings.ByteSize;
    dcb->Parity = settings.Parity;
    dcb->StopBits = settings.StopBits;
    dcb->XonChar = settings.XonChar;
    dcb->XoffChar = settings.XoffChar;
    dcb->ErrorChar = settings.ErrorChar;
    dcb->EofChar = settings.EofChar;
    dcb->EvtChar = settings.EvtChar;
    dcb->XonLim = kSessionXonLim;
    dcb->XoffLim = kSessionXoffLim;
    dcb->fTXContinueOnXoff = false;
    dcb->fAbortOnError = false;
}

SerialHandflow HandflowFromSettings(const PortLinkSettings& settings) {
    SerialHandflow h;
    h.ControlHandShake = static_cast<uint32_t>(settings.ControlHandShake) | SERIAL_ERROR_ABORT;
    h.FlowReplace = settings.FlowReplace | SERIAL_XOFF_CONTINUE;
    h.XonLimit = settings.XonLimit;
    h.XoffLimit = settings.XoffLimit;
    return h;
}

}  // namespace tovl
