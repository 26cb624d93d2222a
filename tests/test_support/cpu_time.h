// The processor time the test process has used so far, in milliseconds:
// shows that a thread waits instead of spinning.
#pragma once

namespace testing_support {

double ProcessCpuMs();

}  // namespace testing_support
