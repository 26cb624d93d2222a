"""The running server as an operator sees it: `tovladmin status` lists the
listeners and the sessions of every protocol, `disconnect` ends one, and
only root may ask."""
import json
import os
import socket
import subprocess
import tempfile
import time
import unittest

import harness
from harness import ON_WINE, PL_OPEN_FAILED, ProgramTestCase, open_session, wait_for_listener

RFC2217_KEY = r"Software\Dravik\TOVL\Rfc2217"
NATIVE, RFC = 5, 6
TCP_PORT = 7006


@unittest.skipIf(ON_WINE, "the control channel is a Unix socket of the Linux server")
class Control(ProgramTestCase):

    def setUp(self):
        super().setUp()
        self.run_dir = tempfile.mkdtemp(prefix="tovl-run-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.run_dir]))
        ptys = harness.serve_ptys(self, NATIVE, RFC)
        self.native = ptys[NATIVE]
        self.registry.set_value(RFC2217_KEY, "COM%d" % RFC, str(TCP_PORT))
        env = dict(self.registry.env, TOVL_RUN_DIR=self.run_dir)
        self.env = env
        self.server = self.start("tovlserver", "debug", env=env)
        self.assertTrue(wait_for_listener(TCP_PORT), "no RFC 2217 listener")
        self.assertTrue(wait_for_listener(), "server does not listen")
        # The control channel opens after the listeners.
        control = os.path.join(self.run_dir, "control")
        deadline = time.monotonic() + 10
        while not os.path.exists(control) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(os.path.exists(control), "no control channel")

    def admin(self, *args, user=None):
        command = harness.program_command("tovladmin", *args)
        if user is not None:
            command = ["setpriv", "--reuid", str(user), "--regid", str(user), "--clear-groups"] + command
        return subprocess.run(command, env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=30, text=True)

    def open_native(self):
        """A session of COM<NATIVE>; the listener probes' sessions may hold
        the port a moment."""
        deadline = time.monotonic() + 5
        while True:
            sock = harness.connect()
            reply, _ = open_session(sock, NATIVE)
            if reply != PL_OPEN_FAILED:
                self.addCleanup(sock.close)
                return sock
            sock.close()
            self.assertLess(time.monotonic(), deadline, "COM%d stayed held" % NATIVE)
            time.sleep(0.1)

    def sessions(self):
        done = self.admin("status", "--json")
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def test_status_of_two_protocols_then_a_disconnect(self):
        native = self.open_native()
        native.sendall(harness.u32(harness.PL_DATA, 5) + b"hello")
        self.assertEqual(self.native.read_exact(5), b"hello")
        self.native.write_all(b"pong")
        message = harness.recv_message(native)
        while message[0] != harness.PL_DATA:  # a modem status report may come first
            message = harness.recv_message(native)
        self.assertEqual(message, (harness.PL_DATA, b"pong"))
        rfc = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=10)
        self.addCleanup(rfc.close)
        rfc.recv(64)  # the server's offers
        status = {}
        for _ in range(50):
            status = self.sessions()
            if len([s for s in status["sessions"] if s["com"]]) == 2:
                break
            time.sleep(0.1)
        by_com = {s["com"]: s for s in status["sessions"] if s["com"]}
        self.assertEqual(sorted(by_com), [NATIVE, RFC])
        self.assertEqual(by_com[NATIVE]["protocol"], "port-link")
        self.assertEqual(by_com[RFC]["protocol"], "rfc2217")
        self.assertEqual(by_com[NATIVE]["device"], self.native.path)
        # Data bytes each way, not the protocol's messages.
        self.assertEqual((by_com[NATIVE]["bytesToPort"], by_com[NATIVE]["bytesToClient"]), (5, 4))
        self.assertTrue(by_com[NATIVE]["peer"].startswith("127.0.0.1:"))
        self.assertTrue(by_com[NATIVE]["listed"])
        self.assertRegex(by_com[NATIVE]["line"], r"^\d+,8N1")
        listeners = {(l["protocol"], l["tcpPort"], l["com"]) for l in status["listeners"]}
        self.assertEqual(listeners, {("port-link", 4445, 0), ("rfc2217", TCP_PORT, RFC)})
        text = self.admin("status")
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertIn("COM%d" % NATIVE, text.stdout)

        done = self.admin("disconnect", "COM%d" % NATIVE)
        self.assertEqual(done.returncode, 0, done.stderr)
        native.settimeout(5)
        self.assertEqual(native.recv(16), b"")
        self.assertEqual(self.admin("disconnect", "COM%d" % NATIVE).returncode, 1)

    def test_trace_of_a_short_exchange(self):
        out = os.path.join(self.run_dir, "trace.txt")
        tracer = subprocess.Popen(harness.program_command("tovladmin", "trace", "COM%d" % NATIVE,
                                                          "--out", out), env=self.env)
        self.addCleanup(tracer.kill)
        deadline = time.monotonic() + 10
        attached = "-- trace of COM%d attached" % NATIVE
        while time.monotonic() < deadline:
            if os.path.exists(out):
                with open(out) as f:
                    if attached in f.read():
                        break
            time.sleep(0.05)
        native = self.open_native()
        native.sendall(harness.u32(harness.PL_SETTINGS) + harness.settings_record(baud=19200))
        native.sendall(harness.u32(harness.PL_DATA, 4) + b"ping")
        self.assertEqual(self.native.read_exact(4), b"ping")
        self.native.write_all(b"pong")
        self.assertEqual(harness.recv_message(native), (harness.PL_DATA, b"pong"))
        native.sendall(harness.u32(harness.PL_CLOSE))
        native.close()
        text = ""
        while "ended" not in text and time.monotonic() < deadline + 5:
            time.sleep(0.1)
            with open(out) as f:
                text = f.read()
        tracer.kill()
        lines = text.splitlines()
        order = [next(i for i, l in enumerate(lines) if marker in l) for marker in
                 (attached, "opened COM%d" % NATIVE, "line 19200,8N1", "client>port", "port>client",
                  "ended: client closed")]
        self.assertEqual(order, sorted(order), text)
        self.assertIn("|ping|", text)
        self.assertIn("70 6f 6e 67", text)  # "pong" as hexdump -C shows it
        self.assertRegex(lines[order[3]], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} client>port ")

    @unittest.skipIf(os.geteuid() != 0, "needs root to ask as another user")
    def test_a_user_that_is_not_root_is_refused(self):
        os.chmod(self.run_dir, 0o755)
        os.chmod(os.path.join(self.run_dir, "control"), 0o666)  # let the request reach the check
        done = self.admin("status", user=65534)
        self.assertEqual(done.returncode, 1)
        self.assertIn("permission denied", done.stderr)

    def test_no_server_says_so(self):
        self.server.stop()
        os.unlink(os.path.join(self.run_dir, "control"))
        done = self.admin("status")
        self.assertEqual(done.returncode, 1)
        self.assertIn("not running", done.stderr)


if __name__ == "__main__":
    unittest.main()
