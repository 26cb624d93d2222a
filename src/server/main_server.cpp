#include "server/listener.h"
#include "service/service_host.h"

int main(int argc, char** argv) {
    static const tovl::ServiceProgram program{"tovlserver", tovl::ServerWorkerThread, false};
    return tovl::ServiceHostMain(argc, argv, program);
}
