/* Control interface of the stand-in virtual port driver: the codes the
 * client uses, and the test-only codes with which a test plays the
 * application on the other side of a virtual port. Shared by the driver and
 * the test programs. */
#ifndef VEXA_DRIVER_H
#define VEXA_DRIVER_H

#define VEXA_CODE(function) ((0x8300u << 16) | ((function) << 2))

/* The client's codes. */
#define IOCTL_VEXA_SET_LINES VEXA_CODE(0x833)
#define IOCTL_VEXA_GET_LINES VEXA_CODE(0x834)
#define IOCTL_VEXA_GET_SETTINGS VEXA_CODE(0x835)
#define IOCTL_VEXA_READ_BYTE VEXA_CODE(0x836)
#define IOCTL_VEXA_WRITE_BYTE VEXA_CODE(0x837)
#define IOCTL_VEXA_CHECK_PORT VEXA_CODE(0x838)
#define IOCTL_VEXA_GET_OPEN_STATE VEXA_CODE(0x839)
#define IOCTL_VEXA_GET_PENDING VEXA_CODE(0x83A)
#define IOCTL_VEXA_SET_STATUS VEXA_CODE(0x83B)

/* Test-only codes: the application's side of port index i (first u32 of
 * every input buffer). */
#define IOCTL_VEXA_APP_OPEN VEXA_CODE(0x900)     /* in: i */
#define IOCTL_VEXA_APP_CLOSE VEXA_CODE(0x901)    /* in: i */
#define IOCTL_VEXA_APP_WRITE VEXA_CODE(0x902)    /* in: i, bytes; out: u32 taken */
#define IOCTL_VEXA_APP_READ VEXA_CODE(0x903)     /* in: i; out: bytes delivered */
#define IOCTL_VEXA_APP_SETTINGS VEXA_CODE(0x904) /* in: i, 44-byte settings */
#define IOCTL_VEXA_APP_LINES VEXA_CODE(0x905)    /* in: i, DtrRts */
#define IOCTL_VEXA_APP_STATE VEXA_CODE(0x906)    /* in: i; out: struct vexa_app_state */
#define IOCTL_VEXA_APP_LIMIT VEXA_CODE(0x907)    /* in: i, bytes the port takes at most */

#define VEXA_PORT_COUNT 16
#define VEXA_SETTINGS_SIZE 44

struct vexa_app_state {
    unsigned int open;
    unsigned int modem_status; /* input lines the client set */
    unsigned int dtr_rts;      /* output lines the application set */
    unsigned int status;       /* last IOCTL_VEXA_SET_STATUS */
    unsigned int status_count; /* how many IOCTL_VEXA_SET_STATUS calls */
    unsigned int set_lines_count;
    unsigned int pending_to_app; /* bytes the client delivered, not yet read */
};

#endif
