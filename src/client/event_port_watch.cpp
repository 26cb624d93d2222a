#include "client/event_port_watch.h"

namespace tovl {

PortActivity CEventPortWatch::Next(uint32_t timeoutMs) {
    switch (WaitForAnyEvent(events_, 4, timeoutMs)) {
        case 0:
            return PortActivity::Data;
        case 1:
            return PortActivity::Settings;
        case 2:
            return PortActivity::Lines;
        case 3:
            return PortActivity::Stop;
        case kWaitTimeout:
            return PortActivity::Timeout;
        default:
            return events_[3]->Wait(timeoutMs) == 0 ? PortActivity::Stop : PortActivity::Timeout;
    }
}

}  // namespace tovl
