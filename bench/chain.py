#!/usr/bin/python3
"""Benchmark of the whole chain, side by side with socat.

    application <-> virtual port <-> tovlclient <-> TCP <-> tovlserver <-> device
    application <-> pty <-> socat <-> TCP <-> socat <-> pty <-> device

Both ends are pseudo-terminals held by this script. It builds nothing: it
runs build/linux/bin/tovlserver and tovlclient of the checkout (or of
--build-dir). It needs root: it re-runs itself in a private network
namespace (`unshare -n`) so that TCP 4445 and the traffic stay its own, and
ends everything it started. "up" is application -> device, "down" is
device -> application; "server" is the device's side (tovlserver, the
listening socat), "client" the application's side.

    sudo /usr/bin/python3 bench/chain.py [--runs 3] [--build-dir build/linux]
"""
import argparse
import collections
import errno
import glob
import os
import random
import resource
import select
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "programs"))
import harness as h  # noqa: E402  (registry keys and protocol codes of the tests)

PYTHON = "/usr/bin/python3"
NETNS_MARK = "TOVL_BENCH_NETNS"
MIB = 1 << 20
BULK_BYTES = 8 * MIB
ROUND_TRIPS = 2000
IDLE_SECONDS = 5.0
CONNECTS = 1000
SOCAT_PORT = 5445
COM_NUMBER = 2
VPORT_NUMBER = 3


def fail(message):
    sys.stderr.write("chain.py: %s\n" % message)
    sys.exit(2)


# --- Processes: counters from /proc.


def cpu_ms(pid):
    """User plus system time of the process (all its threads) in ms."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000.0 / os.sysconf("SC_CLK_TCK")


def context_switches(pid):
    """Voluntary and non-voluntary context switches of the process's threads."""
    total = 0
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass  # a thread that just ended
    return total


def listening(port):
    """True when a socket listens on TCP port (without connecting to it),
    of either family: the server listens dual-stack."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        if not os.path.exists(table):
            continue
        with open(table) as f:
            for line in f.readlines()[1:]:
                local, state = line.split()[1], line.split()[3]
                if state == "0A" and int(local.rsplit(":", 1)[1], 16) == port:
                    return True
    return False


def wait_until(check, timeout, what):
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.02)


class Processes:
    """The programs of one chain, each in its own process group; stop() ends
    them all, however far the start came."""

    def __init__(self):
        self.procs = {}

    def start(self, role, command, env=None):
        self.procs[role] = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                            start_new_session=True)
        return self.procs[role]

    def check_alive(self):
        for role, proc in self.procs.items():
            if proc.poll() is not None:
                raise RuntimeError("%s ended (exit code %s)" % (role, proc.returncode))

    def pid(self, role):
        return self.procs[role].pid

    def stop(self):
        for proc in self.procs.values():
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for proc in self.procs.values():
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(timeout=5)


# --- The two chains: each gives the application's and the device's fd.


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    return fd


class TovlChain:
    name = "tovl"

    def __init__(self, bin_dir, work):
        self.procs = Processes()
        self.fds = []
        registry = h.Registry()  # a fresh TOVL_REGISTRY_ROOT
        self.registry = registry
        master, slave = os.openpty()
        device_path = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(master, False)
        self.fds.append(master)
        self.device = master
        link = os.path.join(work, "ttyV%d" % VPORT_NUMBER)
        registry.allow("127.0.0.1")
        registry.set_value(h.DEVICES_KEY, "COM%d" % COM_NUMBER, device_path)
        registry.set_value(h.VIRTUAL_PORTS_KEY, "VPORT%d" % VPORT_NUMBER, link)
        registry.set_value(h.CONNECTIONS_KEY, "REMOTEPORT%d" % VPORT_NUMBER,
                           "127.0.0.1:%d;%d" % (h.SERVER_PORT, COM_NUMBER))
        registry.set_value(h.SETTINGS_KEY, "PORT%d" % VPORT_NUMBER, "-1;0;0;0;0")
        self.procs.start("server", [os.path.join(bin_dir, "tovlserver"), "debug"], registry.env)
        wait_until(lambda: self.procs.check_alive() or listening(h.SERVER_PORT), 30,
                   "tovlserver to listen on %d" % h.SERVER_PORT)
        self.procs.start("client", [os.path.join(bin_dir, "tovlclient"), "debug"], registry.env)
        wait_until(lambda: self.procs.check_alive() or os.path.islink(link), 30,
                   "tovlclient's virtual port link")
        # The client connects once the application opens the port.
        self.app = open_raw(link)
        self.fds.append(self.app)

    def close(self):
        for fd in self.fds:
            os.close(fd)
        self.procs.stop()
        self.registry.cleanup()


class SocatChain:
    name = "socat"

    def __init__(self, work):
        self.procs = Processes()
        self.fds = []
        device_link = os.path.join(work, "socat-device")
        app_link = os.path.join(work, "socat-app")
        self.procs.start("server", ["socat", "PTY,link=%s,raw,echo=0" % device_link,
                                    "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % SOCAT_PORT])
        wait_until(lambda: self.procs.check_alive() or listening(SOCAT_PORT), 30,
                   "socat to listen on %d" % SOCAT_PORT)
        self.procs.start("client", ["socat", "TCP:127.0.0.1:%d" % SOCAT_PORT,
                                    "PTY,link=%s,raw,echo=0" % app_link])
        wait_until(lambda: self.procs.check_alive() or os.path.islink(app_link), 30,
                   "socat's application link")
        self.device = open_raw(device_link)
        self.fds.append(self.device)
        self.app = open_raw(app_link)
        self.fds.append(self.app)

    def close(self):
        for fd in self.fds:
            os.close(fd)
        self.procs.stop()


# --- Measurements.


def wait_io(fd, event, deadline):
    poller = select.poll()
    poller.register(fd, event)
    while not poller.poll(100):
        if time.monotonic() > deadline:
            raise RuntimeError("no progress on the chain")


def read_exact(fd, count, deadline, check=None):
    """count bytes of fd; check() is called while waiting and may raise."""
    got = bytearray()
    while len(got) < count:
        if check is not None:
            check()
        wait_io(fd, select.POLLIN, deadline)
        try:
            got += os.read(fd, count - len(got))
        except BlockingIOError:
            pass
        except OSError:  # a pty master before its slave is opened: EIO
            if time.monotonic() > deadline:
                raise RuntimeError("no progress on the chain")
            time.sleep(0.01)
    return bytes(got)


def check_not_hung_up(chain):
    """Raises when the application's port was hung up: the client could not
    set its session up (its log says why)."""
    poller = select.poll()
    poller.register(chain.app, select.POLLIN)
    if any(events & select.POLLHUP for _, events in poller.poll(0)):
        raise RuntimeError("%s: the session could not be set up: the application's port was "
                           "hung up (the client's log says why)" % chain.name)


def write_all(fd, data, deadline):
    view = memoryview(data)
    while view:
        wait_io(fd, select.POLLOUT, deadline)
        try:
            view = view[os.write(fd, view):]
        except BlockingIOError:
            pass


def wait_session(chain, timeout=30.0):
    """Waits until a byte goes through in both directions (the client's
    connect and open with its pauses come first)."""
    deadline = time.monotonic() + timeout
    write_all(chain.app, b"u", deadline)
    if read_exact(chain.device, 1, deadline, lambda: check_not_hung_up(chain)) != b"u":
        raise RuntimeError("%s: a wrong first byte up" % chain.name)
    write_all(chain.device, b"d", deadline)
    if read_exact(chain.app, 1, deadline) != b"d":
        raise RuntimeError("%s: a wrong first byte down" % chain.name)


def transfer(source, sink, data, timeout=120.0):
    """Writes data into source while reading sink; returns the seconds from
    the first byte written to the last byte read. The bytes must arrive
    unchanged."""
    deadline = time.monotonic() + timeout
    poller = select.poll()
    poller.register(sink, select.POLLIN)
    poller.register(source, select.POLLOUT)
    view = memoryview(data)
    got = bytearray()
    start = time.monotonic()
    while len(got) < len(data):
        if time.monotonic() > deadline:
            raise RuntimeError("transfer stalled after %d of %d bytes" % (len(got), len(data)))
        for fd, _ in poller.poll(100):
            if fd == sink:
                got += os.read(sink, 1 << 16)
            elif view:
                try:
                    view = view[os.write(source, view[: 1 << 16]):]
                except BlockingIOError:
                    continue
                if not view:
                    poller.unregister(source)
    seconds = time.monotonic() - start
    if got != data:
        where = next(i for i in range(len(data)) if i >= len(got) or got[i] != data[i])
        raise RuntimeError("the data changed on the way (first difference at byte %d)" % where)
    return seconds


def round_trip(chain, payload, deadline):
    write_all(chain.app, payload, deadline)
    echoed = read_exact(chain.device, 1, deadline)
    write_all(chain.device, echoed, deadline)
    if read_exact(chain.app, 1, deadline) != payload:
        raise RuntimeError("%s: a round trip changed its byte" % chain.name)


def counters(chain, read):
    return {role: read(chain.procs.pid(role)) for role in ("server", "client")}


def measure_chain(chain, rng):
    """The figures of one chain whose session is up."""
    figures = {}
    up, down = rng.randbytes(BULK_BYTES), rng.randbytes(BULK_BYTES)
    cpu_before = counters(chain, cpu_ms)
    figures["up MB/s"] = BULK_BYTES / transfer(chain.app, chain.device, up) / 1e6
    figures["down MB/s"] = BULK_BYTES / transfer(chain.device, chain.app, down) / 1e6
    cpu_after = counters(chain, cpu_ms)
    for role in ("server", "client"):
        figures["CPU ms/MiB " + role] = (cpu_after[role] - cpu_before[role]) / (2 * BULK_BYTES / MIB)
    figures["CPU ms/MiB both"] = figures["CPU ms/MiB server"] + figures["CPU ms/MiB client"]

    deadline = time.monotonic() + 120
    for _ in range(50):  # warm up
        round_trip(chain, b"w", deadline)
    times = []
    switches_before = counters(chain, context_switches)
    for i in range(ROUND_TRIPS):
        start = time.perf_counter()
        round_trip(chain, bytes([i & 0xFF]), deadline)
        times.append(time.perf_counter() - start)
    switches_after = counters(chain, context_switches)
    times.sort()
    figures["round trip p50 us"] = times[len(times) // 2] * 1e6
    figures["round trip p99 us"] = times[int(len(times) * 0.99)] * 1e6
    for role in ("server", "client"):
        figures["ctx switches/rt " + role] = (switches_after[role] - switches_before[role]) / ROUND_TRIPS

    time.sleep(0.5)  # let the last round trip's work settle
    idle_before = counters(chain, context_switches)
    time.sleep(IDLE_SECONDS)
    idle_after = counters(chain, context_switches)
    for role in ("server", "client"):
        figures["idle wake-ups/s " + role] = (idle_after[role] - idle_before[role]) / IDLE_SECONDS
    chain.procs.check_alive()
    return figures


def connect_burst(count, limit):
    """Opens count connections to the server at once from an address it does
    not allow, each sending an open request as soon as it is connected.
    Returns (seconds until the last outcome, {outcome: how many}), where
    "answered" is the refusal the server owes each; gives up after limit s."""
    socks, connecting, replies = {}, set(), {}
    outcomes = collections.Counter()
    poller = select.poll()
    start = last = time.monotonic()

    def finish(fd, outcome):
        nonlocal last
        outcomes[outcome] += 1
        last = time.monotonic()
        poller.unregister(fd)
        connecting.discard(fd)
        replies.pop(fd, None)

    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.bind(("127.0.0.2", 0))
            s.connect_ex(("127.0.0.1", h.SERVER_PORT))
            socks[s.fileno()] = s
            connecting.add(s.fileno())
            poller.register(s.fileno(), select.POLLOUT)
        while (connecting or replies) and time.monotonic() - start < limit:
            for fd, _ in poller.poll(100):
                s = socks[fd]
                try:
                    error = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                    if error:
                        raise OSError(error, os.strerror(error))
                    if fd in connecting:
                        connecting.discard(fd)
                        s.send(h.u32(h.PL_OPEN, 1))
                        replies[fd] = b""
                        poller.modify(fd, select.POLLIN)
                        continue
                    chunk = s.recv(4 - len(replies[fd]))
                except OSError as e:
                    finish(fd, errno.errorcode.get(e.errno, str(e.errno)))
                    continue
                replies[fd] += chunk
                if not chunk:
                    finish(fd, "closed unanswered")
                elif len(replies[fd]) == 4:
                    finish(fd, "answered" if replies[fd] == h.u32(h.PL_OPEN_FAILED) else "wrong reply")
        outcomes["still waiting"] += len(connecting) + len(replies)
        if outcomes["still waiting"]:
            last = time.monotonic()
        return last - start, outcomes
    finally:
        for s in socks.values():
            s.close()


def run_once(bin_dir, connect_limit, seed):
    """One run: both chains, one after the other; {chain: {figure: value}}."""
    results = {}
    work = tempfile.mkdtemp(prefix="tovl-bench-")
    try:
        for make in (lambda: TovlChain(bin_dir, work), lambda: SocatChain(work)):
            chain = None
            try:
                chain = make()
                wait_session(chain)
                figures = measure_chain(chain, random.Random(seed))
                if isinstance(chain, TovlChain):
                    seconds, outcomes = connect_burst(CONNECTS, connect_limit)
                    figures["1000 connects s"] = seconds
                    figures["1000 connects answered"] = outcomes["answered"]
                    sys.stderr.write("1000 connects: %s\n" % ", ".join(
                        "%d %s" % (n, what) for what, n in sorted(outcomes.items()) if n))
                    chain.procs.check_alive()
                results[chain.name] = figures
            finally:
                if chain is not None:
                    chain.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return results


# --- Output.

ORDER = [
    ("up MB/s", "%.1f"), ("down MB/s", "%.1f"),
    ("round trip p50 us", "%.0f"), ("round trip p99 us", "%.0f"),
    ("CPU ms/MiB server", "%.1f"), ("CPU ms/MiB client", "%.1f"), ("CPU ms/MiB both", "%.1f"),
    ("ctx switches/rt server", "%.2f"), ("ctx switches/rt client", "%.2f"),
    ("idle wake-ups/s server", "%.1f"), ("idle wake-ups/s client", "%.1f"),
    ("1000 connects s", "%.2f"), ("1000 connects answered", "%d"),
]
RATIOS = [("up", "up MB/s"), ("down", "down MB/s"), ("p50", "round trip p50 us"),
          ("p99", "round trip p99 us"), ("CPU/MiB", "CPU ms/MiB both"),
          ("ctx/rt server", "ctx switches/rt server"), ("ctx/rt client", "ctx switches/rt client")]


def median_figures(runs):
    merged = {}
    for name in runs[0]:
        merged[name] = {key: statistics.median(run[name][key] for run in runs) for key in runs[0][name]}
    return merged


def print_table(figures, runs):
    ours, socat = figures["tovl"], figures["socat"]
    title = "median of %d runs" % runs if runs > 1 else "one run"
    print("%-24s %12s %12s   (%s)" % ("figure", "tovl", "socat", title))
    for key, form in ORDER:
        print("%-24s %12s %12s" % (key, form % ours[key], form % socat[key] if key in socat else "-"))
    parts = []
    for label, key in RATIOS:
        parts.append("%s %.2fx" % (label, ours[key] / socat[key]) if socat[key] else "%s -" % label)
    print("ratio to socat: " + ", ".join(parts))


def enter_namespace(argv):
    """Re-runs this script in a private network namespace with loopback up."""
    if os.environ.get(NETNS_MARK) != "1":
        if os.geteuid() != 0:
            fail("needs root for a private network namespace: sudo %s %s" % (PYTHON, " ".join(argv)))
        if not shutil.which("unshare") or not shutil.which("socat"):
            fail("needs unshare (util-linux) and socat")
        env = dict(os.environ, **{NETNS_MARK: "1"})
        os.execvpe("unshare", ["unshare", "-n", "--", PYTHON, os.path.abspath(__file__), *argv], env)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--connect-limit", type=float, default=200.0,
                        help="seconds to wait for the 1000 connects (default 200)")
    args = parser.parse_args()
    bin_dir = os.path.join(os.path.abspath(args.build_dir), "bin")
    for program in ("tovlserver", "tovlclient"):
        if not os.access(os.path.join(bin_dir, program), os.X_OK):
            fail("%s/%s is missing: build it first (cmake --preset linux && "
                 "cmake --build --preset linux)" % (bin_dir, program))
    enter_namespace(sys.argv[1:])
    # The benchmark's 1000 sockets, and the server's (it inherits the limit).
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard != resource.RLIM_INFINITY and hard < 2 * CONNECTS + 100:
        fail("the open-files limit (%d) is too low for %d connections" % (hard, CONNECTS))
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    runs = []
    for i in range(args.runs):
        try:
            runs.append(run_once(bin_dir, args.connect_limit, seed=i))
        except RuntimeError as e:
            fail(str(e))
        sys.stderr.write("run %d of %d done\n" % (i + 1, args.runs))
        if args.runs > 1:
            print_table(runs[-1], 1)
            print()
    print_table(median_figures(runs), args.runs)


if __name__ == "__main__":
    main()
