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

    def __init__(self, name, *args, env=None, cwd=None, stderr=subprocess.DEVNULL):
        self.proc = subprocess.Popen(program_command(name, *args), env=env, cwd=cwd,
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
        if ON_WINE:
            # Wine may keep a helper of the program's alive for a moment.
            time.sleep(0.2)

    def output(self):
        return self.proc.stdout.read().decode("latin-1") if not self.alive() else None


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

    def start(self, name, *args, env=None, stderr=subprocess.DEVNULL):
        program = Program(name, *args, env=env or self.registry.env, stderr=stderr)
        self.addCleanup(program.stop)
        return program


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
