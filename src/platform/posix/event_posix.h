// POSIX internals of CEvent for other POSIX backends that wait for an event
// together with their own descriptors (the serial port reader).
#pragma once

#include "platform/event.h"

namespace tovl {

// The descriptor that polls readable while the event is set.
int EventPollFd(const CEvent& event);
// Takes the event if it is set: consumes an auto-reset event, leaves a
// manual-reset one set. True when it was set.
bool EventTryTake(const CEvent& event);

}  // namespace tovl
