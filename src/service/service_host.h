// The program entry shared by both services: the command words "setup",
// "delete" and "debug", service installation and removal, the service entry
// and its control handler. A program differs only in its ServiceProgram.
#pragma once

#include <cstdint>

namespace tovl {

struct ServiceProgram {
    // The service name, also its display name and the control handler's name.
    const char* name;
    // The worker thread started once the service runs.
    uint32_t (*worker)(void* param);
    // In "debug" mode, after the worker returns: true goes on as if no
    // command had been given, false stays alive until ended from outside.
    bool continueAfterDebug;
};

// Runs the command line of argv and returns the process exit code (or does
// not return: "debug" of a program that stays alive, a stopped service).
int ServiceHostMain(int argc, char** argv, const ServiceProgram& program);

}  // namespace tovl
