/* A stand-in for the virtual port driver, for tests under Wine only: the
 * control device \\.\VexaControl with the client's nine control codes, the
 * four named events of each port, and test-only codes with which a test
 * program plays the application that uses the virtual port. */
/* The kit's headers need ntdef.h first, and vexa_driver.h needs both. */
/* clang-format off */
#include <ntdef.h>
#include <ddk/wdm.h>

#include "vexa_driver.h"
/* clang-format on */

/* Exported by the kernel, not declared by the kit's headers. */
NTSYSAPI NTSTATUS NTAPI ZwCreateSymbolicLinkObject(PHANDLE handle, ACCESS_MASK access,
                                                   POBJECT_ATTRIBUTES attributes,
                                                   PUNICODE_STRING target);
int __cdecl _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);

#define RING_SIZE 8192

typedef struct {
    UCHAR data[RING_SIZE];
    ULONG head;
    ULONG count;
    ULONG limit; /* the most bytes the ring takes */
} RING;

typedef struct {
    RING to_client; /* written by the application, read by the client */
    RING to_app;    /* written by the client, read by the application */
    ULONG open;
    ULONG modem_status;
    ULONG dtr_rts;
    ULONG status;
    ULONG status_count;
    ULONG set_lines_count;
    UCHAR settings[VEXA_SETTINGS_SIZE];
    PKEVENT events[4]; /* data, settings, flow control, opened */
} PORT;

enum { EV_DATA, EV_SETTINGS, EV_FLOW, EV_OPENED };
static const WCHAR* const event_names[4] = {L"vexaPortData", L"vexaPortSettings",
                                            L"vexaPortFlowControl", L"vexaPortOpened"};

static PORT ports[VEXA_PORT_COUNT];
static KSPIN_LOCK lock;

static BOOLEAN ring_put(RING* r, UCHAR b) {
    if (r->count >= r->limit) return FALSE;
    r->data[(r->head + r->count) % RING_SIZE] = b;
    r->count++;
    return TRUE;
}

static BOOLEAN ring_get(RING* r, UCHAR* b) {
    if (r->count == 0) return FALSE;
    *b = r->data[r->head];
    r->head = (r->head + 1) % RING_SIZE;
    r->count--;
    return TRUE;
}

static void signal(PORT* p, int which) {
    if (p->events[which]) KeSetEvent(p->events[which], IO_NO_INCREMENT, FALSE);
}

/* Makes the event \BaseNamedObjects\<name><n> and links to it from the
 * session namespaces where programs look up plain names. */
static PKEVENT make_event(const WCHAR* base, int n) {
    WCHAR name[96] = {0};
    UNICODE_STRING uname;
    HANDLE handle;
    PKEVENT event;
    ULONG session;

    _snwprintf(name, 95, L"\\BaseNamedObjects\\%ls%d", base, n);
    RtlInitUnicodeString(&uname, name);
    event = IoCreateSynchronizationEvent(&uname, &handle);
    if (!event) return NULL;
    KeClearEvent(event);
    for (session = 0; session <= 1; session++) {
        WCHAR link[128] = {0};
        UNICODE_STRING ulink;
        OBJECT_ATTRIBUTES attr;
        HANDLE link_handle;
        _snwprintf(link, 127, L"\\Sessions\\%lu\\BaseNamedObjects\\%ls%d", session, base, n);
        RtlInitUnicodeString(&ulink, link);
        InitializeObjectAttributes(&attr, &ulink, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);
        ZwCreateSymbolicLinkObject(&link_handle, 0xF0001, &attr, &uname);
    }
    return event;
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS WINAPI dispatch_create_close(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static ULONG u32_at(const UCHAR* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | (ULONG)p[3] << 24;
}

static void put_u32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

static NTSTATUS control(ULONG code, UCHAR* buf, ULONG in, ULONG out, ULONG_PTR* info) {
    PORT* p;
    ULONG index, i;
    UCHAR b;

    if (in < 4) return STATUS_INVALID_PARAMETER;
    index = code == IOCTL_VEXA_WRITE_BYTE ? buf[0] : u32_at(buf);
    if (index >= VEXA_PORT_COUNT) return STATUS_INVALID_PARAMETER;
    p = &ports[index];

    switch (code) {
        case IOCTL_VEXA_CHECK_PORT:
            return STATUS_SUCCESS;
        case IOCTL_VEXA_SET_LINES:
            if (in < 12) return STATUS_INVALID_PARAMETER;
            p->modem_status = u32_at(buf + 4);
            p->set_lines_count++;
            return STATUS_SUCCESS;
        case IOCTL_VEXA_GET_LINES:
            if (out < 12) return STATUS_BUFFER_TOO_SMALL;
            put_u32(buf + 4, p->modem_status);
            put_u32(buf + 8, p->dtr_rts);
            *info = 12;
            return STATUS_SUCCESS;
        case IOCTL_VEXA_GET_SETTINGS:
            if (out < VEXA_SETTINGS_SIZE) return STATUS_BUFFER_TOO_SMALL;
            RtlCopyMemory(buf, p->settings, VEXA_SETTINGS_SIZE);
            *info = VEXA_SETTINGS_SIZE;
            return STATUS_SUCCESS;
        case IOCTL_VEXA_READ_BYTE:
            if (out < 1) return STATUS_BUFFER_TOO_SMALL;
            if (!ring_get(&p->to_client, &b)) return STATUS_NO_MORE_ENTRIES;
            buf[0] = b;
            *info = 1;
            return STATUS_SUCCESS;
        case IOCTL_VEXA_WRITE_BYTE:
            if (!p->open || !ring_put(&p->to_app, buf[3])) return STATUS_BUFFER_OVERFLOW;
            return STATUS_SUCCESS;
        case IOCTL_VEXA_GET_OPEN_STATE:
        case IOCTL_VEXA_GET_PENDING:
            if (out < 4) return STATUS_BUFFER_TOO_SMALL;
            put_u32(buf, code == IOCTL_VEXA_GET_PENDING ? p->to_client.count : p->open);
            *info = 4;
            return STATUS_SUCCESS;
        case IOCTL_VEXA_SET_STATUS:
            if (in < 8) return STATUS_INVALID_PARAMETER;
            p->status = u32_at(buf + 4);
            p->status_count++;
            return STATUS_SUCCESS;

        case IOCTL_VEXA_APP_OPEN:
        case IOCTL_VEXA_APP_CLOSE:
            p->open = code == IOCTL_VEXA_APP_OPEN;
            /* What the client delivered for an earlier opener is not kept. */
            p->to_app.count = 0;
            p->to_client.count = 0;
            signal(p, EV_OPENED);
            return STATUS_SUCCESS;
        case IOCTL_VEXA_APP_WRITE:
            for (i = 4; i < in && ring_put(&p->to_client, buf[i]); i++) {
            }
            if (out >= 4) {
                put_u32(buf, i - 4);
                *info = 4;
            }
            if (i > 4) signal(p, EV_DATA);
            return STATUS_SUCCESS;
        case IOCTL_VEXA_APP_READ:
            for (i = 0; i < out && ring_get(&p->to_app, &b); i++) buf[i] = b;
            *info = i;
            return STATUS_SUCCESS;
        case IOCTL_VEXA_APP_SETTINGS:
            if (in < 4 + VEXA_SETTINGS_SIZE) return STATUS_INVALID_PARAMETER;
            RtlCopyMemory(p->settings, buf + 4, VEXA_SETTINGS_SIZE);
            signal(p, EV_SETTINGS);
            return STATUS_SUCCESS;
        case IOCTL_VEXA_APP_LINES:
            if (in < 8) return STATUS_INVALID_PARAMETER;
            p->dtr_rts = u32_at(buf + 4) & 3;
            signal(p, EV_FLOW);
            return STATUS_SUCCESS;
        case IOCTL_VEXA_APP_LIMIT:
            if (in < 8) return STATUS_INVALID_PARAMETER;
            p->to_app.limit = u32_at(buf + 4) < RING_SIZE ? u32_at(buf + 4) : RING_SIZE;
            return STATUS_SUCCESS;
        case IOCTL_VEXA_APP_STATE: {
            struct vexa_app_state s;
            if (out < sizeof s) return STATUS_BUFFER_TOO_SMALL;
            s.open = p->open;
            s.modem_status = p->modem_status;
            s.dtr_rts = p->dtr_rts;
            s.status = p->status;
            s.status_count = p->status_count;
            s.set_lines_count = p->set_lines_count;
            s.pending_to_app = p->to_app.count;
            RtlCopyMemory(buf, &s, sizeof s);
            *info = sizeof s;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

static NTSTATUS WINAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR info = 0;
    KIRQL irql;
    NTSTATUS status;
    (void)device;
    KeAcquireSpinLock(&lock, &irql);
    status = control(stack->Parameters.DeviceIoControl.IoControlCode,
                     (UCHAR*)irp->AssociatedIrp.SystemBuffer,
                     stack->Parameters.DeviceIoControl.InputBufferLength,
                     stack->Parameters.DeviceIoControl.OutputBufferLength, &info);
    KeReleaseSpinLock(&lock, irql);
    return complete(irp, status, info);
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
    UNICODE_STRING device_name, dos_name;
    PDEVICE_OBJECT device;
    NTSTATUS status;
    int n, e;
    (void)registry;

    KeInitializeSpinLock(&lock);
    RtlInitUnicodeString(&device_name, L"\\Device\\VexaControl");
    RtlInitUnicodeString(&dos_name, L"\\DosDevices\\VexaControl");
    status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&dos_name, &device_name);
    if (!NT_SUCCESS(status)) return status;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;

    for (n = 0; n < VEXA_PORT_COUNT; n++) {
        ports[n].to_client.limit = RING_SIZE;
        ports[n].to_app.limit = RING_SIZE;
        for (e = 0; e < 4; e++) ports[n].events[e] = make_event(event_names[e], n + 1);
    }
    return STATUS_SUCCESS;
}
