"""The stand-in virtual port driver under Wine, as the tests use it."""
import subprocess

import harness

VEXA_SYS = harness.BIN_DIR + "/vexa_driver.sys"

IOCTL = {name: (0x8300 << 16) | (function << 2) for name, function in (
    ("SET_LINES", 0x833), ("GET_LINES", 0x834), ("GET_SETTINGS", 0x835), ("READ_BYTE", 0x836),
    ("WRITE_BYTE", 0x837), ("CHECK_PORT", 0x838), ("GET_OPEN_STATE", 0x839),
    ("GET_PENDING", 0x83A), ("SET_STATUS", 0x83B))}


def tool(*args, timeout=60):
    """Runs vexa_tool.exe; returns (exit code, first line of output)."""
    code, out = harness.run_program("vexa_tool", *[str(a) for a in args], timeout=timeout)
    return code, out.strip()


def windows_path(path):
    out = subprocess.run([harness.WINE_RUN, "winepath", "-w", path], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, timeout=60)
    return out.stdout.decode().strip()


def load_driver():
    code, out = tool("install", windows_path(VEXA_SYS))
    assert code == 0, out


def unload_driver():
    tool("uninstall")


def state(port):
    code, out = tool("state", port)
    assert code == 0, out
    return dict((k, int(v, 0)) for k, v in (item.split("=") for item in out.split()))


def client_call(port, name, payload=None):
    """One of the client's control calls; returns (ok, hex bytes or error)."""
    args = ["client-call", port, IOCTL[name]]
    if payload is not None:
        args.append(payload.hex())
    code, out = tool(*args)
    if code != 0:
        return False, int(out.rsplit(":", 1)[1])
    return True, out
