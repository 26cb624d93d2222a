// Whether the test runs as a Windows program under Wine, for the few
// places where Wine behaves unlike Windows and a test has to allow for it.
#pragma once

namespace testing_support {
bool RunningUnderWine();
}
