// The Windows server offers no control channel.
#include "server/control_channel.h"

namespace tovl {

bool StartControlChannel() {
    return false;
}

}  // namespace tovl
