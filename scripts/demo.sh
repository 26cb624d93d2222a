#!/usr/bin/env bash
# The loopback demonstration: builds the Linux programs, then runs
# tovlserver and tovlclient on this machine with a temporary registry. A
# pseudo-terminal plays the server's real serial port (the "device", which
# answers every line in upper case); an application opens the client's
# virtual port and talks through client, TCP and server to the device. What
# the device receives and what comes back is shown live. Everything is
# removed at the end. As root it runs in a private network namespace, so a
# tovlserver already on TCP 4445 is not disturbed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${TOVL_DEMO_STAGE:-}" ]; then
  echo "demo: building the Linux programs (cmake --preset linux) ..."
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j2 >/dev/null
  if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null; then
    exec env TOVL_DEMO_STAGE=run unshare -n bash -c 'ip link set lo up && exec "$0"' "$0"
  fi
  export TOVL_DEMO_STAGE=run
fi

exec python3 - "$PWD/build/linux/bin" <<'PY'
import os, select, shutil, signal, subprocess, sys, tempfile, termios, time, tty

bin_dir = sys.argv[1]
work = tempfile.mkdtemp(prefix="tovl-demo-")
procs = []


def put(key, name, data):
    d = os.path.join(work, "registry", "HKEY_LOCAL_MACHINE", *key.split("\\"))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "w") as f:
        f.write(data)


def say(who, text):
    print("%6.2fs  %-22s %s" % (time.monotonic() - t0, who, text), flush=True)


t0 = time.monotonic()
try:
    # The device: a pseudo-terminal standing in for the server's COM2.
    device, device_slave = os.openpty()
    device_path = os.ttyname(device_slave)
    # Set raw, then let go: the server opens a device only when no other
    # process has it open. Until it does, reading the master fails.
    tty.setraw(device_slave)
    os.close(device_slave)
    link = os.path.join(work, "ttyV3")

    put(r"Software\Dravik\TOVL\IpAddr", "127.0.0.1", "")
    put(r"Software\Dravik\TOVL\Devices", "COM2", device_path)
    put(r"Software\Dravik\TOVL\VirtualPorts", "VPORT3", link)
    put(r"Software\Dravik\TOVL\Connections", "REMOTEPORT3", "127.0.0.1;2")
    put(r"Software\Dravik\TOVL\Settings", "PORT3", "-1;0;0;0;0")
    env = dict(os.environ, TOVL_REGISTRY_ROOT=os.path.join(work, "registry"),
               TOVL_RUN_DIR=os.path.join(work, "run"))

    for name in ("tovlserver", "tovlclient"):
        procs.append(subprocess.Popen([os.path.join(bin_dir, name), "debug"], env=env,
                                      stdin=subprocess.DEVNULL, start_new_session=True))
    say("setup", "tovlserver (COM2 = %s) and tovlclient (virtual port 3 = %s)" % (device_path, link))
    while not os.path.islink(link):
        time.sleep(0.05)
    # The operator's view (control channel: root or the control group).
    admin = os.path.join(bin_dir, "tovladmin")
    trace_path = os.path.join(work, "com2.trace")
    operator = os.geteuid() == 0
    if operator:
        while not os.path.exists(os.path.join(work, "run", "control")):
            time.sleep(0.05)
        procs.append(subprocess.Popen([admin, "trace", "COM2", "--out", trace_path], env=env,
                                      stdin=subprocess.DEVNULL, start_new_session=True))
        while "attached" not in (open(trace_path).read() if os.path.exists(trace_path) else ""):
            time.sleep(0.05)
        say("operator", "tovladmin trace COM2 --out %s" % trace_path)

    app = os.open(link, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(app)
    attrs = termios.tcgetattr(app)
    attrs[4] = attrs[5] = termios.B115200
    termios.tcsetattr(app, termios.TCSANOW, attrs)
    say("application", "opened %s at 115200 baud" % link)

    lines = [b"hello, device\n", b"ATI\n", b"one line more\n"]
    pending = bytearray()
    answered = bytearray()
    deadline = time.monotonic() + 30
    for line in lines:
        os.write(app, line)
        say("application  ->", repr(line.decode()))
        want = len(line)
        got = bytearray()
        while len(got) < want and time.monotonic() < deadline:
            ready, _, _ = select.select([device, app], [], [], 0.2)
            if device in ready:
                try:
                    data = os.read(device, 4096)
                except OSError:  # no one has the device open yet
                    time.sleep(0.05)
                    continue
                pending += data
                while b"\n" in pending:
                    received, _, rest = bytes(pending).partition(b"\n")
                    pending = bytearray(rest)
                    say("device received", repr(received.decode() + "\n"))
                    if not answered:
                        speed = termios.tcgetattr(device)[4]
                        say("device", "its line is at %s baud" % {termios.B115200: "115200"}.get(speed, speed))
                        answered += b"x"
                    reply = received.upper() + b"\n"
                    os.write(device, reply)
                    say("device replies", repr(reply.decode()))
            if app in ready:
                got += os.read(app, 4096)
        say("application  <-", repr(got.decode()))
        if got != line.upper():
            raise SystemExit("the answer did not come back as expected")
        if operator and line == lines[0]:
            say("operator", "tovladmin status")
            status = subprocess.run([admin, "status"], env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, timeout=10).stdout.decode()
            print("".join("          " + l + "\n" for l in status.splitlines()), end="")
    os.close(app)
    say("application", "closed the port; the client ends the session")
    time.sleep(0.5)
    if operator:
        # The client ends the session after its settling pause.
        deadline = time.monotonic() + 10
        while "ended" not in open(trace_path).read() and time.monotonic() < deadline:
            time.sleep(0.05)
        say("operator", "the trace of COM2:")
        with open(trace_path) as f:
            print("".join("          " + l + "\n" for l in f.read().splitlines()), end="")
    print("Demonstration complete: data went application -> client -> server -> device and back.")
finally:
    for p in procs:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        p.wait()
    time.sleep(0.2)
    shutil.rmtree(work, ignore_errors=True)
PY
