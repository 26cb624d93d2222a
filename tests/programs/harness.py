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
# A sanitizer build: the slow waits that test the network, not the code,
# run in the plain build only.
SANITIZED = os.environ.get("TOVL_SANITIZED") == "1"
# The Linux build's programs (the client's virtual ports need them even when
# the Windows server is under test).
NATIVE_BIN_DIR = os.environ.get("TOVL_NATIVE_BIN_DIR", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "../../build/linux/bin") if ON_WINE else BIN_DIR)

PL_DATA, PL_SETTINGS, PL_OPEN, PL_FLOW_CONTROL, PL_CLOSE = 0, 1, 2, 5, 7
PL_OPEN_FAILED = 0xFFFFFFFF
SERVER_PORT = 4445

IPADDR_KEY = r"Software\Dravik\TOVL\IpAddr"


def u32(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def program_command(name, *args, native=False):
    """The command line that runs program `name` of the build under test
    (native: of the Linux build, also when the Windows build is tested)."""
    if native:
        return [os.path.join(NATIVE_BIN_DIR, name), *args]
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

    def __init__(self, name, *args, env=None, cwd=None, native=False, stderr=subprocess.DEVNULL):
        self.native = native
        self._output = None
        self.proc = subprocess.Popen(program_command(name, *args, native=native), env=env, cwd=cwd,
                                     stdout=subprocess.PIPE, stderr=stderr,
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
        self._finish_output()
        if ON_WINE and not self.native:
            # Wine may keep a helper of the program's alive for a moment.
            time.sleep(0.2)

    def _finish_output(self):
        if self._output is None:
            self._output = self.proc.stdout.read().decode("latin-1")
            self.proc.stdout.close()

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
            # The server's control channel goes beside it, not into /run.
            self.env.setdefault("TOVL_RUN_DIR", os.path.join(self.root, "run"))

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

    def start(self, name, *args, env=None, stderr=subprocess.DEVNULL):
        program = Program(name, *args, env=env or self.registry.env, stderr=stderr)
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


# termios2 (Linux): any speed, as pyserial sets it.
TCGETS2 = 0x802C542A
TCSETS2 = 0x402C542B
CBAUD = 0o010017
BOTHER = 0o010000
IBSHIFT = 16


def output_speed(fd):
    """The terminal's output speed as termios2 gives it (c_ospeed)."""
    import fcntl
    return struct.unpack_from("<I", fcntl.ioctl(fd, TCGETS2, bytes(44)), 40)[0]


def set_custom_speed(fd, baud):
    """Sets any speed through termios2 (BOTHER), as pyserial does."""
    import fcntl
    buf = bytearray(fcntl.ioctl(fd, TCGETS2, bytes(44)))
    iflag, oflag, cflag, lflag = struct.unpack_from("<4I", buf, 0)
    cflag &= ~(CBAUD | (CBAUD << IBSHIFT))
    cflag |= BOTHER | (BOTHER << IBSHIFT)
    struct.pack_into("<4I", buf, 0, iflag, oflag, cflag, lflag)
    struct.pack_into("<2I", buf, 36, baud, baud)
    fcntl.ioctl(fd, TCSETS2, bytes(buf))


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

    def speed(self):
        return output_speed(self.master)

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


def serve_ptys(case, *numbers):
    """Lists 127.0.0.1 and maps each COM number to a fresh pty of case's own
    (all closed and unmapped at its end); the ptys by number."""
    case.registry.allow("127.0.0.1")
    case.ports = ComPorts(case.registry)
    case.addCleanup(case.ports.cleanup)
    ptys = {}
    for number in numbers:
        ptys[number] = case.ports.map_pty(number)
        case.addCleanup(ptys[number].close)
    return ptys


def connect_raw(port, host="127.0.0.1", timeout=5.0):
    """A raw TCP session on port that the server kept: the listener probe
    was a session too, so the port may stay held a moment and the first
    connections be closed at once."""
    deadline = time.monotonic() + timeout
    while True:
        s = socket.create_connection((host, port), timeout=10)
        time.sleep(0.2)
        s.setblocking(False)
        try:
            closed = s.recv(1) == b""
        except BlockingIOError:
            closed = False
        s.setblocking(True)
        if not closed:
            return s
        s.close()
        if time.monotonic() > deadline:
            raise AssertionError("the raw session on %s:%d was refused" % (host, port))


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


# --- The client's side: virtual ports, a scripted server peer, applications.

CONNECTIONS_KEY = r"Software\Dravik\TOVL\Connections"
SETTINGS_KEY = r"Software\Dravik\TOVL\Settings"
VIRTUAL_PORTS_KEY = r"Software\Dravik\TOVL\VirtualPorts"


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LiveProgram(Program):
    """A program whose standard output is collected while it runs."""

    def __init__(self, name, *args, env=None, cwd=None, native=False, log_path=None):
        import threading
        # The diagnostics (standard error) go to log_path when given.
        self.log_path = log_path
        stderr = open(log_path, "wb") if log_path else subprocess.DEVNULL
        super().__init__(name, *args, env=env, cwd=cwd, native=native, stderr=stderr)
        if log_path:
            stderr.close()
        self._text = b""
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()

    def _collect(self):
        while True:
            chunk = self.proc.stdout.read1(4096) if hasattr(self.proc.stdout, "read1") else self.proc.stdout.read(1)
            if not chunk:
                return
            with self._lock:
                self._text += chunk

    def _finish_output(self):
        # The reader thread owns the pipe; it ends at the program's end.
        self._reader.join(timeout=10)

    def text(self):
        with self._lock:
            return self._text.decode("latin-1")

    def wait_for_text(self, text, timeout=10.0, source=None):
        source = source or self.text
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in source():
                return True
            time.sleep(0.05)
        return text in source()

    def log(self):
        """What the program wrote to its log (standard error) so far."""
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def wait_for_log(self, text, timeout=10.0):
        return self.wait_for_text(text, timeout, self.log)

    def output(self):
        return self.text()

    def stop(self, sig=signal.SIGKILL):
        super().stop(sig)
        self._reader.join(5)
        self.proc.stdout.close()


class ScriptedServer:
    """A stand-in for tovlserver on a free loopback port: the test accepts
    each connection and plays the server's side of the exchange itself."""

    def __init__(self, port=None, host="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, port or 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.connections = []

    def accept(self, timeout=15.0):
        """The next connection, or None when none comes within timeout."""
        self.sock.settimeout(timeout)
        try:
            conn, _ = self.sock.accept()
        except socket.timeout:
            return None
        conn.settimeout(15.0)
        self.connections.append(conn)
        return conn

    def close(self):
        for c in self.connections:
            try:
                c.close()
            except OSError:
                pass
        self.sock.close()


def expect_nothing(sock, seconds):
    """True when nothing arrives (and the connection stays open) for seconds."""
    sock.settimeout(seconds)
    try:
        data = sock.recv(1)
    except socket.timeout:
        return True
    finally:
        sock.settimeout(15.0)
    return False


def open_exchange(conn, com_port, mask=0, result=0):
    """Plays the server's side of an open up to the settings; returns
    (time-outs, settings bytes) the client sent."""
    assert recv_exact(conn, 8) == u32(PL_OPEN, com_port)
    conn.sendall(u32(result, mask))
    timeouts = struct.unpack("<5I", recv_exact(conn, 20))
    code = struct.unpack("<I", recv_exact(conn, 4))[0]
    assert code == PL_SETTINGS, code
    return timeouts, recv_exact(conn, 24)


def decode_settings(record):
    """The 24-byte PL_SETTINGS record as a dict."""
    baud, byte_size, parity, stop_bits, xon, xoff, err, eof, evt = struct.unpack("<I8B", record[:12])
    xon_limit, xoff_limit = struct.unpack("<HH", record[12:16])
    handshake = record[16]
    flow_replace = struct.unpack("<I", record[20:24])[0]
    return dict(BaudRate=baud, ByteSize=byte_size, Parity=parity, StopBits=stop_bits, XonChar=xon,
                XoffChar=xoff, XonLimit=xon_limit, XoffLimit=xoff_limit,
                ControlHandShake=handshake, FlowReplace=flow_replace)


class MessageReader:
    """Reads the client's port-link messages from a connection."""

    def __init__(self, conn):
        self.conn = conn

    def next(self):
        """(code, body): body is the payload, the settings record, the mask or b""."""
        code = struct.unpack("<I", recv_exact(self.conn, 4))[0]
        if code == PL_DATA:
            length = struct.unpack("<I", recv_exact(self.conn, 4))[0]
            return code, recv_exact(self.conn, length) if length else b""
        if code == PL_SETTINGS:
            return code, recv_exact(self.conn, 24)
        if code == PL_FLOW_CONTROL:
            return code, recv_exact(self.conn, 4)
        return code, b""

    def data(self, count, timeout=30.0):
        """Collects count payload bytes, skipping other messages."""
        deadline = time.monotonic() + timeout
        got = bytearray()
        while len(got) < count and time.monotonic() < deadline:
            code, body = self.next()
            if code == PL_DATA:
                got += body
            elif code == PL_CLOSE:
                break
        return bytes(got)


class VirtualPortApp:
    """An application on a virtual port: opens the link as a serial port in
    raw mode (optionally at a speed) and reads and writes it."""

    def __init__(self, path, baud=None, two_stop_bits=False):
        import termios
        import tty
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        if baud is not None or two_stop_bits:
            attrs = termios.tcgetattr(self.fd)
            if baud is not None:
                speed = getattr(termios, "B%d" % baud)
                attrs[4] = attrs[5] = speed
            if two_stop_bits:
                attrs[2] |= termios.CSTOPB
            termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def set_speed(self, baud):
        import termios
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = getattr(termios, "B%d" % baud)
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def write(self, data):
        view = memoryview(data)
        while view:
            n = os.write(self.fd, view)
            view = view[n:]

    def read(self, count, timeout=30.0):
        import select
        got = bytearray()
        deadline = time.monotonic() + timeout
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                got += os.read(self.fd, min(65536, count - len(got)))
        return bytes(got)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class ClientTestCase(ProgramTestCase):
    """A test of tovlclient: a temporary folder for the virtual ports' links,
    and helpers that configure ports and start the client."""

    def setUp(self):
        super().setUp()
        self.link_dir = tempfile.mkdtemp(prefix="tovl-vports-")
        self.addCleanup(shutil.rmtree, self.link_dir, True)

    def link(self, n):
        return os.path.join(self.link_dir, "ttyV%d" % n)

    def client_env(self):
        """The client's environment: under Wine the client's registry is a
        directory of its own beside the prefix's."""
        if not ON_WINE:
            return self.registry.env
        if not hasattr(self, "client_registry"):
            self.client_registry = tempfile.mkdtemp(prefix="tovl-client-registry-")
            self.addCleanup(shutil.rmtree, self.client_registry, True)
        env = dict(os.environ)
        env["TOVL_REGISTRY_ROOT"] = self.client_registry
        return env

    def set_client_value(self, key, name, data):
        if not ON_WINE:
            self.registry.set_value(key, name, data)
            return
        self.client_env()
        directory = os.path.join(self.client_registry, "HKEY_LOCAL_MACHINE",
                                 *[p for p in key.split("\\") if p])
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, name), "w") as f:
            f.write(data)

    def configure_port(self, n, tcp_port, com_port, timeouts="-1;0;0;0;0", address="127.0.0.1"):
        self.set_client_value(VIRTUAL_PORTS_KEY, "VPORT%d" % n, self.link(n))
        self.set_client_value(CONNECTIONS_KEY, "REMOTEPORT%d" % n,
                              "%s:%d;%d" % (address, tcp_port, com_port))
        if timeouts is not None:
            self.set_client_value(SETTINGS_KEY, "PORT%d" % n, timeouts)

    def start_client(self, links=()):
        """tovlclient debug of the Linux build (the Windows client's virtual
        ports need the driver), also when the Windows server is tested."""
        if not os.path.exists(os.path.join(NATIVE_BIN_DIR, "tovlclient")):
            self.skipTest("the Linux build's tovlclient is not built")
        client = LiveProgram("tovlclient", "debug", env=self.client_env(), native=True,
                             log_path=os.path.join(self.link_dir, "client.log"))
        self.addCleanup(client.stop)
        deadline = time.monotonic() + 30
        while not all(os.path.islink(l) for l in links) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(all(os.path.islink(l) for l in links), "the client made no links")
        return client

    def scripted_server(self):
        server = ScriptedServer()
        self.addCleanup(server.close)
        return server

    def app(self, n, **kwargs):
        application = VirtualPortApp(self.link(n), **kwargs)
        self.addCleanup(application.close)
        return application


def registry_value_names(registry, key):
    """The value names of key as the registry holds them (sorted), or None
    when the key does not exist. Wine: read with `wine reg query`."""
    if ON_WINE:
        proc = subprocess.run([WINE_RUN, "reg", "query", "HKLM\\" + key, "/reg:32"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, timeout=60)
        if proc.returncode != 0:
            return None
        names = []
        for line in proc.stdout.decode("latin-1").splitlines():
            # "    NAME    REG_SZ    DATA"
            if line.startswith("    ") and "    REG_" in line:
                names.append(line[4:line.index("    REG_")])
        return sorted(names)
    path = registry._key_dir(key)
    if not os.path.isdir(path):
        return None
    return sorted(os.listdir(path))


class XDisplay:
    """A virtual X display (Xvfb) of the test's own, driven with xdotool.

    There is no window manager: mouse clicks reach the windows, keyboard
    input does not (under Wine). The display number is derived from the
    process id and skips numbers in use.
    """

    def __init__(self):
        number = 100 + os.getpid() % 400
        while os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
            number += 1
        self.name = ":%d" % number
        self.proc = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                                      # no reset when the last client leaves: a
                                      # connection during one fails
                                      "-noreset"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 15
        while not os.path.exists("/tmp/.X11-unix/X%d" % number):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("Xvfb did not start on " + self.name)
            time.sleep(0.05)
        # The socket comes before the server takes clients; a Wine desktop
        # process that can't connect stays without a driver for good.
        while self._xdotool("getmouselocation")[0] != 0:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("Xvfb on %s takes no clients" % self.name)
            time.sleep(0.1)
        # Seen with Wine: a desktop process started within about a second
        # of the server's start still finds no display, and stays so.
        time.sleep(1.5)

    def env(self, base):
        env = dict(base)
        env["DISPLAY"] = self.name
        env["NO_AT_BRIDGE"] = "1"
        env["GDK_BACKEND"] = "x11"
        # Sanitizer builds: the font library's caches are not our leaks.
        env["LSAN_OPTIONS"] = "suppressions=%s:print_suppressions=0" % os.path.join(
            os.path.dirname(os.path.abspath(__file__)), "lsan_gui.supp")
        return env

    def _xdotool(self, *args):
        proc = subprocess.run(["xdotool", *args], env=self.env(os.environ), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=30)
        return proc.returncode, proc.stdout.decode("latin-1")

    def windows(self, title):
        """Visible windows whose title matches the regular expression."""
        rc, out = self._xdotool("search", "--onlyvisible", "--name", title)
        return [int(w) for w in out.split()] if rc == 0 else []

    def window_names(self):
        """Titles of all windows, visible or not (for failure reports)."""
        _, out = self._xdotool("search", "--name", ".")
        names = []
        for window in out.split():
            _, name = self._xdotool("getwindowname", window)
            names.append(name.strip())
        return names

    def wait_window(self, title, timeout=30.0, gone=False):
        """Waits until a window titled title is visible (or, with gone, until
        none is); returns its id (or True)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.windows(title)
            if gone and not found:
                return True
            if found and not gone:
                # Give the window a moment to finish painting.
                time.sleep(0.3)
                return found[0]
            time.sleep(0.1)
        return None

    def geometry(self, window):
        """(x, y, width, height) of a window on the screen."""
        _, out = self._xdotool("getwindowgeometry", "--shell", str(window))
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click(self, x, y):
        self._xdotool("mousemove", "--sync", str(int(x)), str(int(y)))
        self._xdotool("click", "1")
        time.sleep(0.3)

    def screenshot(self, path):
        """Saves the whole screen as a PNG for a person to look at."""
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["import", "-display", self.name, "-window", "root", path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)


ARTEFACT_DIR = os.environ.get("TOVL_ARTEFACT_DIR", os.path.join(BIN_DIR, "..", "test-artefacts"))


def hung_up(app, timeout):
    """True when the application's port is hung up within timeout: poll
    reports POLLHUP and a write then fails with EIO."""
    import select
    poller = select.poll()
    poller.register(app.fd, select.POLLIN)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for _, events in poller.poll(50):
            if events & select.POLLHUP:
                try:
                    os.write(app.fd, b"?")
                except OSError as e:
                    return e.errno == 5
                return False
    return False
