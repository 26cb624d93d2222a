"""Shared support for the end-to-end tests of the built programs.

The same test runs against the Linux build or the Windows build under Wine,
chosen by TOVL_TEST_PLATFORM (set by ctest). Programs are started in their
own process group and always ended by the test; registries are temporary.
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

PLATFORM = os.environ.get("TOVL_TEST_PLATFORM", "linux")
BIN_DIR = os.environ.get("TOVL_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/linux/bin"))
WINE_RUN = os.environ.get("TOVL_WINE_RUN", "")
ON_WINE = PLATFORM == "win32"

PL_DATA, PL_SETTINGS, PL_OPEN, PL_FLOW_CONTROL, PL_CLOSE = 0, 1, 2, 5, 7
PL_OPEN_FAILED = 0xFFFFFFFF
SERVER_PORT = 4445

IPADDR_KEY = r"Software\Dravik\TOVL\IpAddr"


def u32(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def program_command(name, *args):
    """The command line that runs program `name` of the build under test."""
    if ON_WINE:
        return [WINE_RUN, os.path.join(BIN_DIR, name + ".exe"), *args]
    return [os.path.join(BIN_DIR, name), *args]


def run_program(name, *args, env=None, timeout=60, cwd=None):
    """Runs a program to its end; returns (exit code, stdout text)."""
    proc = subprocess.run(program_command(name, *args), env=env, cwd=cwd, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    return proc.returncode, proc.stdout.decode("latin-1")


class Program:
    """A program running in the background in its own process group."""

    def __init__(self, name, *args, env=None, cwd=None):
        self._output = None
        self.proc = subprocess.Popen(program_command(name, *args), env=env, cwd=cwd,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL, start_new_session=True)

    def alive(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGKILL):
        if self.alive():
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
        if self._output is None:
            self._output = self.proc.stdout.read().decode("latin-1")
            self.proc.stdout.close()
        if ON_WINE:
            # Wine may keep a helper of the program's alive for a moment.
            time.sleep(0.2)

    def output(self):
        """Everything the program printed, once it has ended."""
        if self._output is None and not self.alive():
            self.stop()
        return self._output


class Registry:
    """A registry of the test's own.

    Linux: a fresh TOVL_REGISTRY_ROOT directory. Wine: the run's throw-away
    prefix, written with `wine reg` in the 32-bit view; the product's key is
    removed before and after.
    """

    def __init__(self):
        self.env = dict(os.environ)
        if ON_WINE:
            self.root = None
            self._wine_reg("delete", r"HKLM\Software\Dravik", "/f")
        else:
            self.root = tempfile.mkdtemp(prefix="tovl-registry-")
            self.env["TOVL_REGISTRY_ROOT"] = self.root

    def _wine_reg(self, *args):
        return subprocess.run([WINE_RUN, "reg", *args, "/reg:32"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=60).returncode

    def _key_dir(self, key):
        return os.path.join(self.root, "HKEY_LOCAL_MACHINE", *[p for p in key.split("\\") if p])

    def create_key(self, key):
        if ON_WINE:
            # `reg add` without /v would also make a default value.
            self._wine_reg("add", "HKLM\\" + key, "/v", "tovl-probe", "/f")
            self._wine_reg("delete", "HKLM\\" + key, "/v", "tovl-probe", "/f")
        else:
            os.makedirs(self._key_dir(key), exist_ok=True)

    def set_value(self, key, name, data=""):
        if ON_WINE:
            args = ["add", "HKLM\\" + key, "/v", name, "/t", "REG_SZ", "/f"]
            if data:
                args += ["/d", data]
            assert self._wine_reg(*args) == 0, "wine reg add failed"
        else:
            self.create_key(key)
            with open(os.path.join(self._key_dir(key), name), "w") as f:
                f.write(data)

    def delete_value(self, key, name):
        if ON_WINE:
            self._wine_reg("delete", "HKLM\\" + key, "/v", name, "/f")
        else:
            os.unlink(os.path.join(self._key_dir(key), name))

    def delete_key(self, key):
        if ON_WINE:
            self._wine_reg("delete", "HKLM\\" + key, "/f")
        else:
            shutil.rmtree(self._key_dir(key), ignore_errors=True)

    def allow(self, address):
        self.set_value(IPADDR_KEY, address)

    def cleanup(self):
        if ON_WINE:
            self._wine_reg("delete", r"HKLM\Software\Dravik", "/f")
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def wait_for_listener(port=SERVER_PORT, timeout=30.0, host="127.0.0.1"):
    """Waits until something accepts connections on port; True if it does."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=1):
                return True
        except OSError:
            time.sleep(0.1)
    return False


def connect(port=SERVER_PORT, source="127.0.0.1", timeout=10.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def open_request(sock, port_number):
    """Sends PL_OPEN and returns the 4-byte open reply as a number."""
    sock.sendall(u32(PL_OPEN, port_number))
    return struct.unpack("<I", recv_exact(sock, 4))[0]


class ProgramTestCase(unittest.TestCase):
    """A test case that ends every program it started and removes its registry."""

    def setUp(self):
        self.registry = Registry()
        self.addCleanup(self.registry.cleanup)

    def start(self, name, *args, env=None):
        program = Program(name, *args, env=env or self.registry.env)
        self.addCleanup(program.stop)
        return program


# --- Serial ports: pseudo-terminals standing in for the server's real ports.

DEVICES_KEY = r"Software\Dravik\TOVL\Devices"


def wine_prefix():
    """The Wine prefix that cmake/wine-run.sh runs the programs in."""
    prefix = os.environ.get("WINEPREFIX") or os.environ.get("TOVL_WINEPREFIX")
    if prefix:
        return prefix
    return os.path.join(os.path.dirname(os.path.abspath(WINE_RUN)), "..", "build", "win32", "wineprefix")


class PtyPort:
    """A pseudo-terminal whose slave the server opens as COM<n>; the test
    keeps the master and talks to the server's port through it."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        if ON_WINE:
            # Wine leaves the tty's line discipline as it finds it until the
            # first SetCommState; a real COM port is binary from the start.
            import tty
            tty.setraw(slave)
        os.close(slave)
        os.set_blocking(self.master, False)

    def termios(self):
        import termios
        return termios.tcgetattr(self.master)

    def write_all(self, data, timeout=30.0):
        import select
        deadline = time.monotonic() + timeout
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.master, view)
                view = view[n:]
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise TimeoutError("pty did not take the data")
                select.select([], [self.master], [], 0.1)

    def read_some(self, timeout):
        """Bytes the server wrote to the port within timeout (b"" if none)."""
        import select
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return b""
        try:
            return os.read(self.master, 65536)
        except (BlockingIOError, OSError):
            return b""

    def read_exact(self, n, timeout=10.0):
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < n and time.monotonic() < deadline:
            data += self.read_some(0.1)
        return data

    def close(self):
        """Closes the master: the device hangs up."""
        if self.master is not None:
            os.close(self.master)
            self.master = None


def cpu_seconds(pid):
    """User and system time a process has used so far, or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


class ComPorts:
    """Maps COM numbers of the server under test to pseudo-terminals or to
    nothing: on Linux through the Devices key of the registry, under Wine
    through links in the prefix's dosdevices. Every number a test can reach
    must be mapped, so no real device of the machine is ever opened."""

    def __init__(self, registry):
        self.registry = registry
        self.links = []

    def _link(self, number):
        return os.path.join(wine_prefix(), "dosdevices", "com%d" % number)

    def map(self, number, path):
        if ON_WINE:
            link = self._link(number)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(path, link)
            self.links.append(link)
        else:
            self.registry.set_value(DEVICES_KEY, "COM%d" % number, path)

    def map_pty(self, number):
        port = PtyPort()
        self.map(number, port.path)
        return port

    def map_missing(self, number):
        """COM<number> names a device that does not exist."""
        self.map(number, "/nonexistent/tovl-test-com%d" % number)

    def cleanup(self):
        for link in self.links:
            if os.path.lexists(link):
                os.unlink(link)


def recv_message(sock):
    """One message from the server: (code, body) with body the PL_DATA
    payload or the 4-byte PL_FLOW_CONTROL value as a number."""
    code = struct.unpack("<I", recv_exact(sock, 4))[0]
    if code == PL_DATA:
        length = struct.unpack("<I", recv_exact(sock, 4))[0]
        return code, recv_exact(sock, length)
    if code == PL_FLOW_CONTROL:
        return code, struct.unpack("<I", recv_exact(sock, 4))[0]
    raise AssertionError("unexpected code %d from the server" % code)


def settings_record(baud=9600, byte_size=8, parity=0, stop_bits=0, xon=0x11, xoff=0x13,
                    error=0, eof=0, evt=0, xon_limit=0, xoff_limit=0, handshake=0, flow=0):
    """A PortLinkSettings record (24 bytes, the padding zero)."""
    return (struct.pack("<IBBBBBBBB", baud, byte_size, parity, stop_bits, xon, xoff, error, eof, evt)
            + struct.pack("<HHB3xI", xon_limit, xoff_limit, handshake, flow))


def open_session(sock, port_number, timeouts=(0xFFFFFFFF, 0, 0, 0, 0)):
    """The client's open sequence up to the time-outs: returns (reply, mask)."""
    reply = open_request(sock, port_number)
    if reply == PL_OPEN_FAILED:
        return reply, None
    mask = struct.unpack("<I", recv_exact(sock, 4))[0]
    sock.sendall(u32(*timeouts))
    return reply, mask
