/* Test tool for the stand-in virtual port driver: loads and unloads it, and
 * plays the application's side of a virtual port (and, for the driver's own
 * tests, the client's control calls). One action per run; results on
 * standard output; exit code 0 on success, 1 on failure with the Windows
 * error printed. Ports are numbered from 1 as the client numbers them. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "vexa_driver.h"

static const char service_name[] = "vexastandin";

static int fail(const char* what) {
    printf("%s failed: %lu\n", what, (unsigned long)GetLastError());
    return 1;
}

static int install(const char* path) {
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service;
    if (!scm) return fail("OpenSCManager");
    service = CreateServiceA(scm, service_name, service_name, SERVICE_ALL_ACCESS,
                             SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             path, NULL, NULL, NULL, NULL, NULL);
    if (!service) service = OpenServiceA(scm, service_name, SERVICE_ALL_ACCESS);
    if (!service) return fail("CreateService");
    if (!StartServiceA(service, 0, NULL) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        /* A driver loaded earlier in this prefix stays loaded. */
        HANDLE device =
            CreateFileA("\\\\.\\VexaControl", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_EXISTING, 0, NULL);
        if (device == INVALID_HANDLE_VALUE) return fail("StartService");
        CloseHandle(device);
    }
    printf("driver started\n");
    return 0;
}

static int uninstall(void) {
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service;
    SERVICE_STATUS status;
    if (!scm) return fail("OpenSCManager");
    service = OpenServiceA(scm, service_name, SERVICE_ALL_ACCESS);
    if (!service) return fail("OpenService");
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (!DeleteService(service)) return fail("DeleteService");
    printf("driver removed\n");
    return 0;
}

/* One control call; returns the bytes returned, or -1 with the error kept. */
static int call(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size) {
    DWORD returned = 0, error;
    BOOL ok;
    HANDLE device = CreateFileA("\\\\.\\VexaControl", GENERIC_ALL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) return -1;
    ok = DeviceIoControl(device, code, (void*)in, in_size, out, out_size, &returned, NULL);
    error = GetLastError();
    CloseHandle(device);
    SetLastError(error);
    return ok ? (int)returned : -1;
}

static size_t parse_hex(const char* text, unsigned char* out, size_t max) {
    size_t n = 0;
    while (text[0] && text[1] && n < max) {
        char pair[3] = {text[0], text[1], 0};
        out[n++] = (unsigned char)strtoul(pair, NULL, 16);
        text += 2;
    }
    return n;
}

static void print_hex(const unsigned char* bytes, int n) {
    int i;
    for (i = 0; i < n; i++) printf("%02x", bytes[i]);
    printf("\n");
}

int main(int argc, char** argv) {
    unsigned char buf[8192 + 8];
    DWORD index;
    int n;
    const char* action;

    if (argc < 2) return 2;
    action = argv[1];
    if (!strcmp(action, "install") && argc == 3) return install(argv[2]);
    if (!strcmp(action, "uninstall")) return uninstall();
    if (argc < 3) return 2;
    index = (DWORD)(atoi(argv[2]) - 1);
    memcpy(buf, &index, 4);

    if (!strcmp(action, "open") || !strcmp(action, "close")) {
        n = call(action[0] == 'o' ? IOCTL_VEXA_APP_OPEN : IOCTL_VEXA_APP_CLOSE, buf, 4, NULL, 0);
        return n < 0 ? fail(action) : 0;
    }
    if (!strcmp(action, "write") && argc == 4) {
        DWORD taken = 0;
        size_t size = parse_hex(argv[3], buf + 4, sizeof buf - 4);
        n = call(IOCTL_VEXA_APP_WRITE, buf, (DWORD)(4 + size), &taken, 4);
        if (n < 0) return fail("write");
        printf("%lu\n", (unsigned long)taken);
        return 0;
    }
    if (!strcmp(action, "read")) {
        n = call(IOCTL_VEXA_APP_READ, buf, 4, buf, 8192);
        if (n < 0) return fail("read");
        print_hex(buf, n);
        return 0;
    }
    if (!strcmp(action, "settings") && argc == 4) {
        memset(buf + 4, 0, VEXA_SETTINGS_SIZE);
        parse_hex(argv[3], buf + 4, VEXA_SETTINGS_SIZE);
        return call(IOCTL_VEXA_APP_SETTINGS, buf, 4 + VEXA_SETTINGS_SIZE, NULL, 0) < 0
                   ? fail("settings")
                   : 0;
    }
    if ((!strcmp(action, "lines") || !strcmp(action, "limit")) && argc == 4) {
        DWORD value = strtoul(argv[3], NULL, 0);
        memcpy(buf + 4, &value, 4);
        return call(action[1] == 'i' && action[2] == 'n' ? IOCTL_VEXA_APP_LINES
                                                         : IOCTL_VEXA_APP_LIMIT,
                    buf, 8, NULL, 0) < 0
                   ? fail(action)
                   : 0;
    }
    if (!strcmp(action, "state")) {
        struct vexa_app_state s;
        if (call(IOCTL_VEXA_APP_STATE, buf, 4, &s, sizeof s) < 0) return fail("state");
        printf(
            "open=%u modem_status=0x%x dtr_rts=0x%x status=%u status_count=%u set_lines=%u "
            "pending=%u\n",
            s.open, s.modem_status, s.dtr_rts, s.status, s.status_count, s.set_lines_count,
            s.pending_to_app);
        return 0;
    }
    if (!strcmp(action, "events")) {
        static const char* const names[] = {"vexaPortData", "vexaPortSettings",
                                            "vexaPortFlowControl", "vexaPortOpened"};
        int i, missing = 0;
        for (i = 0; i < 4; i++) {
            char name[64];
            HANDLE h;
            snprintf(name, sizeof name, "%s%s", names[i], argv[2]);
            h = OpenEventA(SYNCHRONIZE, FALSE, name);
            printf("%s %s\n", name, h ? "found" : "missing");
            if (h) CloseHandle(h);
            missing += h == NULL;
        }
        return missing ? 1 : 0;
    }
    if (!strcmp(action, "wait") && argc == 5) {
        /* wait N NAME MS: waits on the named event of port N. */
        char name[64];
        HANDLE h;
        DWORD rc;
        snprintf(name, sizeof name, "%s%s", argv[3], argv[2]);
        h = OpenEventA(SYNCHRONIZE, FALSE, name);
        if (!h) return fail("OpenEvent");
        rc = WaitForSingleObject(h, strtoul(argv[4], NULL, 0));
        printf("%s\n", rc == WAIT_OBJECT_0 ? "signalled" : "timeout");
        CloseHandle(h);
        return 0;
    }
    /* The client's calls, for the driver's own tests. */
    if (!strcmp(action, "client-call") && argc >= 4) {
        DWORD code = strtoul(argv[3], NULL, 0);
        size_t size = argc > 4 ? parse_hex(argv[4], buf, sizeof buf) : 4;
        n = call(code, buf, (DWORD)size, buf, 64);
        if (n < 0) return fail("client-call");
        print_hex(buf, n);
        return 0;
    }
    return 2;
}
