#include "client/client_worker.h"
#include "service/service_host.h"

using namespace tovl;

int main(int argc, char** argv) {
    static const ServiceProgram program{"tovlclient", ClientWorkerThread, true};
    return ServiceHostMain(argc, argv, program);
}
