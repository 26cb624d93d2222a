#include <cstdio>
#include <cstring>

#include "service/command_help.h"
#include "service/service_host.h"

namespace tovl {

namespace {

void PrintHelp(const ServiceProgram& program) {
    const bool server = strcmp(program.name, "tovlserver") == 0;
    printf("usage: %s [setup | delete | debug | --help | --version]\n\n", program.name);
    printf("%s", server ? "Serves this machine's serial ports to tovlclient over TCP (port 4445)\n"
                          "to the addresses that `tovladmin add` allowed.\n\n"
                        : "Offers the virtual serial ports of `tovladmin port set` and redirects\n"
                          "each to a real port of a remote tovlserver.\n\n");
    printf(
        "  setup      write and enable the systemd unit %s.service\n"
        "             (in $TOVL_SYSTEMD_DIR, default /etc/systemd/system)\n"
        "  delete     remove that unit\n"
        "  debug      run in the foreground, diagnostics on stderr\n"
        "  --help     this text\n"
        "  --version  the version\n"
        "Without a command it runs as the service when systemd starts it, and\n"
        "does nothing otherwise. Configuration: tovladmin(8), tovl-registry(5);\n"
        "check it with `tovladmin check`.\n",
        program.name);
}

}  // namespace

bool AnswerInformationRequest(const ServiceProgram& program, int argc, char** argv, int* exitCode) {
    if (argc < 2) return false;
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        PrintHelp(program);
    } else if (strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", program.name, TOVL_VERSION);
    } else {
        return false;
    }
    fflush(stdout);
    *exitCode = 0;
    return true;
}

}  // namespace tovl
