// Named events, which only Windows code uses: the virtual port driver's
// events are reached by name. Implemented with the rest of CEvent's Win32
// backend; this header keeps <windows.h> (and its A/W name macros) out of
// the callers. Any thread may call.
#pragma once

#include "platform/event.h"

namespace tovl {

// Makes an event of that name, or opens the existing one; invalid with the
// last error set on failure.
CEvent CreateNamedEvent(CEvent::ResetMode mode, bool initiallySet, const char* name);
// Opens an existing named event for waiting; invalid with the last error
// set (2 when no event has that name).
CEvent OpenNamedEvent(const char* name);

}  // namespace tovl
