#include "client/client_worker.h"
#include "service/service_host.h"

int main(int argc, char** argv) {
    static const tovl::ServiceProgram program{"tovlclient", tovl::ClientWorkerThread, true};
    return tovl::ServiceHostMain(argc, argv, program);
}
