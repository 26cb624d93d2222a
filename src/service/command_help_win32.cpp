#include "service/command_help.h"

namespace tovl {

bool AnswerInformationRequest(const ServiceProgram& /*program*/, int /*argc*/, char** /*argv*/,
                              int* /*exitCode*/) {
    return false;
}

}  // namespace tovl
