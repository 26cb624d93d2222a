// The service manager, as the service host uses it: install and remove the
// program's own service, hand the main thread to the dispatcher, register the
// control handler and report status.
//
// Windows: the service control manager. POSIX: systemd; a unit file in
// $TOVL_SYSTEMD_DIR (default /etc/systemd/system), readiness through
// NOTIFY_SOCKET, SIGTERM as the stop control.
#pragma once

#include <cstdint>
#include <string>

namespace tovl {

// The Windows SERVICE_STATUS layout.
struct ServiceStatusRecord {
    uint32_t serviceType = 0;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

constexpr uint32_t kServiceWin32 = 0x30;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceControlStop = 1;

enum class ScmResult { Ok, CantOpenScm, CantOpenService, Failed };

// Registers the service "name" as own-process, automatic start, LocalSystem,
// with the given (already quoted) image path. unitText is the definition
// for a service manager that takes one as text (the systemd unit on POSIX,
// rendered by the program; unused on Windows).
ScmResult InstallService(const char* name, const std::string& quotedImagePath,
                         const std::string& unitText);
// Marks the service "name" for deletion.
ScmResult RemoveService(const char* name);

// Foreground mode: from now on SIGTERM and SIGINT (POSIX) end the process
// through onStop(signal), called on a thread of its own, which must end the
// process. Call before any other thread starts. Nothing on Windows, whose
// console stop ends the program as it always has.
void CatchStopSignals(void (*onStop)(int signal));

// Full path of the running program.
std::string OwnExecutablePath();

using ServiceMainProc = void (*)(uint32_t argc, char** argv);
using ServiceControlProc = void (*)(uint32_t control);
using ServiceStatusHandle = void*;

// Runs the service dispatcher for one service: returns when the service has
// stopped (true), or at once (false) when the process was not started by the
// service manager.
bool RunServiceDispatcher(const char* name, ServiceMainProc serviceMain);
// Null on failure.
ServiceStatusHandle RegisterServiceControl(const char* name, ServiceControlProc handler);
bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status);

}  // namespace tovl
