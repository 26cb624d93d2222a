#include "service/service_host.h"

#include <cstdio>
#include <string>

#include "platform/log.h"
#include "platform/service_control.h"
#include "platform/thread.h"
#include "service/command_help.h"
#include "service/unit_text.h"

namespace tovl {

namespace {

const ServiceProgram* g_program = nullptr;
ServiceStatusHandle g_statusHandle = nullptr;
ServiceStatusRecord g_status;

bool SameWord(const char* text, const char* word) {
    for (; *text && *word; ++text, ++word) {
        char a = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text - 'A' + 'a') : *text;
        if (a != *word) return false;
    }
    return *text == '\0' && *word == '\0';
}

void Print(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

void ServiceCtrlHandler(uint32_t control) {
    if (control == kServiceControlStop) {
        LogLine(LogPriority::Notice, "%s: stopping on request; open sessions are dropped",
                g_program->name);
        g_status.win32ExitCode = 0;
        g_status.currentState = kServiceStopped;
        g_status.checkPoint = 0;
        g_status.waitHint = 0;
    }
    ReportServiceStatus(g_statusHandle, g_status);
}

void ServiceMain(uint32_t /*argc*/, char** /*argv*/) {
    g_status = ServiceStatusRecord{};
    g_status.serviceType = kServiceWin32;
    g_status.currentState = kServiceStartPending;
    g_status.controlsAccepted = kServiceAcceptStop;
    g_statusHandle = RegisterServiceControl(g_program->name, ServiceCtrlHandler);
    if (g_statusHandle == nullptr) {
        LogLine(LogPriority::Error, "%s: cannot register with the service manager",
                g_program->name);
        return;
    }
    LogLine(LogPriority::Notice, "%s: started as a service", g_program->name);
    g_status.currentState = kServiceRunning;
    g_status.checkPoint = 0;
    g_status.waitHint = 0;
    ReportServiceStatus(g_statusHandle, g_status);
    StartThread([worker = g_program->worker] { worker(nullptr); });
}

int DeleteCommand(const ServiceProgram& program) {
    switch (RemoveService(program.name)) {
        case ScmResult::CantOpenScm:
            Print("Can't open SCM\n");
            return 1;
        case ScmResult::CantOpenService:
            Print("Can't open service\n");
            return 2;
        case ScmResult::Failed:
            Print("Can't delete service\n");
            return 3;
        case ScmResult::Ok:
            break;
    }
    Print("Service deleted\n");
    return 0;
}

int SetupCommand(const ServiceProgram& program) {
    // The image path is quoted, so a path with spaces is one word; it is held
    // to the 1023 characters of the module name buffer.
    std::string path = OwnExecutablePath().substr(0, 1023);
    std::string quoted = "\"" + path + "\"";
    switch (InstallService(program.name, quoted, ServiceUnitText(program.name, quoted))) {
        case ScmResult::CantOpenScm:
            Print("Can't open SCM\n");
            return 1;
        case ScmResult::CantOpenService:
        case ScmResult::Failed:
            Print("Registration error!\n");
            return 2;
        case ScmResult::Ok:
            break;
    }
    Print(("Successfully registered " + quoted + "\n").c_str());
    return 0;
}

}  // namespace

int ServiceHostMain(int argc, char** argv, const ServiceProgram& program) {
    g_program = &program;
    int exitCode = 0;
    if (AnswerInformationRequest(program, argc, argv, &exitCode)) return exitCode;
    if (argc > 1) {
        const char* command = argv[1];
        if (SameWord(command, "delete")) return DeleteCommand(program);
        if (SameWord(command, "setup")) return SetupCommand(program);
        if (SameWord(command, "debug")) {
            EnableLogTimestamps();
            CatchStopSignals([](int signal) {
                LogLine(LogPriority::Notice, "%s: debug mode ended (signal %d)", g_program->name,
                        signal);
                ExitProcessNow(0);
            });
            LogLine(LogPriority::Notice, "%s: started in debug mode", program.name);
            program.worker(nullptr);
            if (!program.continueAfterDebug) {
                LogLine(LogPriority::Info, "%s: worker ended; waiting until interrupted",
                        program.name);
                SleepForever();
            }
        }
    }
    if (RunServiceDispatcher(program.name, ServiceMain)) {
        // Stopped: the process ends now with every worker and session thread.
        ExitProcessNow(0);
    }
    return 0;
}

}  // namespace tovl
