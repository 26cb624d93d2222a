// The Windows service control manager. The portable service entry and
// control handler are plain functions; these trampolines give the manager
// the WINAPI entries it calls.
#include <windows.h>

#include "platform/service_control.h"
#include "platform/win32/unique_handle_win32.h"

namespace tovl {

namespace {

ServiceMainProc g_serviceMain = nullptr;
ServiceControlProc g_handler = nullptr;

void WINAPI ServiceMainTrampoline(DWORD argc, LPSTR* argv) {
    g_serviceMain(argc, argv);
}

void WINAPI ControlTrampoline(DWORD control) {
    g_handler(control);
}

}  // namespace

void CatchStopSignals(void (* /*onStop*/)(int signal)) {}

ScmResult InstallService(const char* name, const std::string& quotedImagePath,
                         const std::string& /*unitText*/) {
    CUniqueServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!scm) return ScmResult::CantOpenScm;
    CUniqueServiceHandle service(CreateServiceA(scm.Get(), name, name, SERVICE_ALL_ACCESS,
                                                SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                SERVICE_ERROR_NORMAL, quotedImagePath.c_str(),
                                                nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) return ScmResult::Failed;
    return ScmResult::Ok;
}

ScmResult RemoveService(const char* name) {
    CUniqueServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!scm) return ScmResult::CantOpenScm;
    CUniqueServiceHandle service(OpenServiceA(scm.Get(), name, DELETE));
    if (!service) return ScmResult::CantOpenService;
    if (!DeleteService(service.Get())) return ScmResult::Failed;
    return ScmResult::Ok;
}

std::string OwnExecutablePath() {
    char path[1024];
    DWORD n = GetModuleFileNameA(nullptr, path, 1023);
    return std::string(path, n);
}

bool RunServiceDispatcher(const char* name, ServiceMainProc serviceMain) {
    g_serviceMain = serviceMain;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(name), ServiceMainTrampoline},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != 0;
}

ServiceStatusHandle RegisterServiceControl(const char* name, ServiceControlProc handler) {
    g_handler = handler;
    return reinterpret_cast<ServiceStatusHandle>(
        RegisterServiceCtrlHandlerA(name, ControlTrampoline));
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status) {
    SERVICE_STATUS s{status.serviceType,
                     status.currentState,
                     status.controlsAccepted,
                     status.win32ExitCode,
                     status.serviceSpecificExitCode,
                     status.checkPoint,
                     status.waitHint};
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) != 0;
}

}  // namespace tovl
