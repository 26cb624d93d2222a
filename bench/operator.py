#!/usr/bin/python3
"""Figures of the operator's tools and of raw TCP, from one run of the
built server (build/linux/bin/tovlserver) with pseudo-terminals as devices:

- how long `status` takes to answer with 1000 sessions open;
- raw TCP: 8 MiB each way through socat and through a Python socket, checked
  byte for byte, and the 1-byte round trip beside the native protocol's;
- what a trace attached to a port running at full speed costs its
  throughput (the same raw transfer with and without a trace reader).

It needs root: it re-runs itself in a private network namespace. Not part
of the tests.

    sudo /usr/bin/python3 bench/operator.py
"""
import os
import resource
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "programs"))
os.environ.setdefault("TOVL_BIN_DIR", os.path.join(ROOT, "build", "linux", "bin"))
os.environ.setdefault("TOVL_TEST_PLATFORM", "linux")
import harness as h  # noqa: E402

RAW_KEY = r"Software\Dravik\TOVL\Raw"
NATIVE, RAW = 5, 6
RAW_TCP = 7106
MIB8 = bytes((i * 7 + i // 251) & 0xFF for i in range(8 << 20))


def ask(run_dir, request):
    s = socket.socket(socket.AF_UNIX)
    s.connect(os.path.join(run_dir, "control"))
    s.sendall(request.encode() + b"\n")
    data = b""
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            return data
        data += chunk


def pump(src_fd_read, dst_write, total):
    """Moves total bytes; returns them (for the check)."""
    got = bytearray()
    while len(got) < total:
        chunk = src_fd_read()
        if not chunk:
            break
        got += chunk
        if dst_write:
            dst_write(chunk)
    return bytes(got)


def raw_transfer(pty, sock):
    """8 MiB up (socket -> device) and 8 MiB down at once; MB/s each way."""
    up_result, down_result = {}, {}

    def up():
        start = time.monotonic()
        sock.sendall(MIB8)
        up_result["sent"] = time.monotonic() - start

    def device():
        start = time.monotonic()
        got = bytearray()
        while len(got) < len(MIB8):
            got += pty.read_some(5) or b""
        up_result["time"] = time.monotonic() - start
        up_result["ok"] = bytes(got) == MIB8

    def down_reader():
        start = time.monotonic()
        got = bytearray()
        sock.settimeout(30)
        while len(got) < len(MIB8):
            chunk = sock.recv(1 << 20)
            if not chunk:
                break
            got += chunk
        down_result["time"] = time.monotonic() - start
        down_result["ok"] = bytes(got) == MIB8

    threads = [threading.Thread(target=f) for f in (up, device, down_reader)]
    for t in threads:
        t.start()
    pty.write_all(MIB8, timeout=120)
    for t in threads:
        t.join()
    mb = len(MIB8) / 1e6
    return (mb / up_result["time"], up_result["ok"], mb / down_result["time"], down_result["ok"])


def cpu_seconds(pid):
    """User and system time a process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def round_trip(send, recv_exact, pty, n=300):
    times = []
    for _ in range(n):
        start = time.perf_counter()
        send(b"x")
        assert pty.read_exact(1) == b"x"
        pty.write_all(b"y")
        recv_exact()
        times.append((time.perf_counter() - start) * 1e6)
    return statistics.median(times)


def main():
    if os.environ.get("TOVL_BENCH_NETNS") != "1":
        os.execvp("unshare", ["unshare", "-n", "sh", "-c",
                              "ip link set lo up && TOVL_BENCH_NETNS=1 exec %s %s"
                              % (sys.executable, os.path.abspath(__file__))])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    registry = h.Registry()
    run_dir = tempfile.mkdtemp(prefix="tovl-bench-run-")
    ports = h.ComPorts(registry)
    native_pty = ports.map_pty(NATIVE)
    raw_pty = ports.map_pty(RAW)
    for i in range(1, 5):  # 250 sessions from each: a peer address may hold 256
        registry.allow("127.0.0.%d" % i)
    registry.set_value(RAW_KEY, "COM%d" % RAW, "%d;115200,8N1" % RAW_TCP)
    env = dict(registry.env, TOVL_RUN_DIR=run_dir)
    server = h.Program("tovlserver", "debug", env=env)
    try:
        assert h.wait_for_listener() and h.wait_for_listener(RAW_TCP)
        time.sleep(0.5)

        # status beside 1000 open sessions
        idle = [h.connect(source="127.0.0.%d" % (1 + i % 4)) for i in range(1000)]
        time.sleep(1)
        times = []
        for _ in range(20):
            start = time.perf_counter()
            answer = ask(run_dir, "status json")
            times.append((time.perf_counter() - start) * 1000)
        sessions = answer.count(b'"peer"')
        print("status with %d sessions open: median %.1f ms, max %.1f ms" %
              (sessions, statistics.median(times), max(times)))
        for s in idle:
            s.close()
        time.sleep(1)

        # raw TCP through a Python socket, then through socat
        sock = socket.create_connection(("127.0.0.1", RAW_TCP))
        time.sleep(0.3)
        up, up_ok, down, down_ok = raw_transfer(raw_pty, sock)
        print("raw TCP, Python socket: up %.1f MB/s (%s), down %.1f MB/s (%s)" %
              (up, "checked" if up_ok else "MISMATCH", down, "checked" if down_ok else "MISMATCH"))
        raw_rt = round_trip(sock.sendall, lambda: sock.recv(1), raw_pty)
        sock.close()
        time.sleep(0.5)
        if shutil.which("socat"):
            sink = tempfile.NamedTemporaryFile(delete=False)
            source = tempfile.NamedTemporaryFile(delete=False)
            source.write(MIB8)
            source.close()
            got = {}
            reader = threading.Thread(
                target=lambda: got.update(data=raw_pty.read_exact(len(MIB8), timeout=60)))
            reader.start()
            start = time.monotonic()
            subprocess.run(["socat", "-u", "OPEN:%s" % source.name,
                            "TCP:127.0.0.1:%d" % RAW_TCP], check=True, timeout=120)
            reader.join()
            print("raw TCP, socat up: %.1f MB/s (%s)" %
                  (len(MIB8) / 1e6 / (time.monotonic() - start),
                   "checked" if got.get("data") == MIB8 else "MISMATCH"))
            time.sleep(0.5)
            proc = subprocess.Popen(["socat", "-u", "TCP:127.0.0.1:%d" % RAW_TCP,
                                     "CREATE:%s" % sink.name])
            time.sleep(0.5)
            start = time.monotonic()
            raw_pty.write_all(MIB8, timeout=120)
            while os.path.getsize(sink.name) < len(MIB8) and time.monotonic() - start < 60:
                time.sleep(0.05)
            elapsed = time.monotonic() - start
            proc.kill()
            with open(sink.name, "rb") as f:
                ok = f.read() == MIB8
            print("raw TCP, socat down: %.1f MB/s (%s)" %
                  (len(MIB8) / 1e6 / elapsed, "checked" if ok else "MISMATCH"))
            os.unlink(sink.name)
            os.unlink(source.name)
            time.sleep(0.5)

        # the native protocol's round trip on the other port
        native = h.connect()
        reply, _ = h.open_session(native, NATIVE)
        assert reply != h.PL_OPEN_FAILED
        native_rt = round_trip(lambda b: native.sendall(h.u32(h.PL_DATA, 1) + b),
                               lambda: h.recv_message(native), native_pty)
        native.close()
        print("1-byte round trip p50: raw %.0f us, native %.0f us (raw/native %.2f)" %
              (raw_rt, native_rt, raw_rt / native_rt))
        time.sleep(0.5)

        # a trace attached to the raw port at full speed
        sock = socket.create_connection(("127.0.0.1", RAW_TCP))
        time.sleep(0.3)
        cpu_before = cpu_seconds(server.proc.pid)
        plain = raw_transfer(raw_pty, sock)
        plain_cpu = cpu_seconds(server.proc.pid) - cpu_before
        # The trace is read as an operator reads it: tovladmin, a process of
        # its own, writing the text to a file.
        trace_file = tempfile.NamedTemporaryFile(delete=False)
        trace_file.close()
        tracer = subprocess.Popen(h.program_command("tovladmin", "trace", "COM%d" % RAW, "--out",
                                                    trace_file.name), env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        cpu_before = cpu_seconds(server.proc.pid)
        traced = raw_transfer(raw_pty, sock)
        traced_cpu = cpu_seconds(server.proc.pid) - cpu_before
        time.sleep(0.5)
        tracer_cpu = cpu_seconds(tracer.pid)
        tracer.terminate()
        tracer.wait(10)
        traced_bytes = [os.path.getsize(trace_file.name)]
        with open(trace_file.name, "rb") as f:
            dropped = sum(int(line.split()[1]) for line in f
                          if line.startswith(b"-- ") and b"events dropped" in line)
        os.unlink(trace_file.name)
        sock.close()
        print("raw TCP with a trace attached: up %.1f / down %.1f MB/s, without: up %.1f / down "
              "%.1f MB/s (%.0f%% / %.0f%% of it); trace text read: %.1f MB, %d events dropped" %
              (traced[0], traced[2], plain[0], plain[2], 100 * traced[0] / plain[0],
               100 * traced[2] / plain[2], traced_bytes[0] / 1e6, dropped))
        print("processor time for the 16 MiB: server %.2f s without a trace, %.2f s with one; "
              "tovladmin trace %.2f s" % (plain_cpu, traced_cpu, tracer_cpu))
    finally:
        server.stop()
        native_pty.close()
        raw_pty.close()
        ports.cleanup()
        registry.cleanup()
        shutil.rmtree(run_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
