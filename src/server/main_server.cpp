#include "server/listener.h"
#include "service/service_host.h"

using namespace tovl;

int main(int argc, char** argv) {
    static const ServiceProgram program{"tovlserver", ServerWorkerThread, false};
    return ServiceHostMain(argc, argv, program);
}
