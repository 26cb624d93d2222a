"""The Linux programs against peers that vanish or crowd them: a client
whose packets are black-holed frees its real port, a server that vanishes
the same way hangs up the client's application, and a flood of idle
connections from an address not on the list does not keep a listed client
out. Each case runs in a private network namespace of its own (the routes it
changes are that namespace's), so it needs to be allowed to make one."""
import os
import resource
import shutil
import socket
import subprocess
import sys
import time
import unittest

import harness
from harness import ON_WINE, PL_OPEN_FAILED, ComPorts, connect, open_session, wait_for_listener

PORT = 5
IN_NAMESPACE = os.environ.get("TOVL_PRIVATE_NETNS") == "1"


def run_in_private_namespace(test_id):
    """Runs one test of this module again inside `unshare -n`; (rc, output)."""
    command = ("ip link set lo up && TOVL_PRIVATE_NETNS=1 exec %s -m unittest -v %s"
               % (sys.executable, test_id))
    proc = subprocess.run(["unshare", "-n", "sh", "-c", command], cwd=os.path.dirname(__file__),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
    return proc.returncode, proc.stdout.decode("latin-1")


def can_unshare():
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return False
    return subprocess.run(["unshare", "-n", "true"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


@unittest.skipIf(ON_WINE, "network namespaces and black-holed routes are Linux cases")
class HostileNetwork(harness.ClientTestCase):
    def setUp(self):
        if not IN_NAMESPACE:
            if not can_unshare():
                self.skipTest("no private network namespace can be made here")
            rc, output = run_in_private_namespace("test_server_hostile_network." + self.id().split(".", 1)[1])
            print(output)
            self.assertEqual(rc, 0, output)
            self.skipTest("ran in a private network namespace (above)")
        super().setUp()
        self.registry.create_key(harness.IPADDR_KEY)
        self.registry.allow("127.0.0.1")
        self.ports = ComPorts(self.registry)
        self.addCleanup(self.ports.cleanup)
        self.pty = self.ports.map_pty(PORT)
        self.addCleanup(self.pty.close)

    def start_server(self):
        server = self.start("tovlserver", "debug")
        self.assertTrue(wait_for_listener(timeout=30), "tovlserver does not listen on 4445")
        return server

    def open_port(self, source):
        with connect(source=source) as s:
            reply, _ = open_session(s, PORT)
            return reply != PL_OPEN_FAILED

    @staticmethod
    def black_hole(address):
        """From now on nothing of address arrives anywhere, and no FIN or
        reset tells its peers."""
        # The local table's rule comes first (priority 0): move it behind.
        subprocess.run(["ip", "rule", "add", "pref", "100", "lookup", "local"], check=True)
        subprocess.run(["ip", "rule", "del", "pref", "0"], check=True)
        for rule in (["from", address], ["to", address]):
            subprocess.run(["ip", "rule", "add", "pref", "10", *rule, "blackhole"], check=True)

    @unittest.skipIf(harness.SANITIZED, "keep-alive timing: the plain build covers it")
    def test_a_vanished_client_frees_its_port(self):
        self.registry.allow("127.0.0.3")
        self.start_server()
        gone = connect(source="127.0.0.3")
        self.addCleanup(gone.close)
        reply, _ = open_session(gone, PORT)
        self.assertNotEqual(reply, PL_OPEN_FAILED)
        self.assertFalse(self.open_port("127.0.0.1"), "the port was not held")
        self.black_hole("127.0.0.3")
        started = time.monotonic()
        freed = None
        while time.monotonic() - started < 60:
            if self.open_port("127.0.0.1"):
                freed = time.monotonic() - started
                break
            time.sleep(1)
        self.assertIsNotNone(freed, "the port was still held after 60 s")
        print("port freed %.1f s after the client vanished" % freed)
        self.assertLess(freed, 31)

    @unittest.skipIf(harness.SANITIZED, "keep-alive timing: the plain build covers it")
    def test_a_vanished_server_hangs_up_the_application(self):
        server = harness.ScriptedServer(host="127.0.0.4")
        self.addCleanup(server.close)
        self.configure_port(3, server.port, 2, address="127.0.0.4")
        self.start_client([self.link(3)])
        app = self.app(3)
        conn = server.accept()
        self.assertIsNotNone(conn)
        harness.open_exchange(conn, 2)
        self.black_hole("127.0.0.4")
        started = time.monotonic()
        self.assertTrue(harness.hung_up(app, 40), "the application was not hung up in 40 s")
        print("application hung up %.1f s after the server vanished" % (time.monotonic() - started))
        self.assertLess(time.monotonic() - started, 31)

    def test_idle_strangers_do_not_lock_out_a_listed_client(self):
        server = self.start_server()
        subprocess.run(["prlimit", "--pid", str(server.proc.pid), "--nofile=1024:1024"], check=True)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
        strangers = []
        self.addCleanup(lambda: [s.close() for s in strangers])
        for i in range(2000):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.bind(("127.0.0.%d" % (9 + i % 4), 0))
            try:
                s.connect(("127.0.0.1", harness.SERVER_PORT))
            except BlockingIOError:
                pass
            strangers.append(s)
        time.sleep(1)
        started = time.monotonic()
        self.assertTrue(self.open_port("127.0.0.1"), "the listed client was refused")
        print("listed client opened its port %.2f s after 2000 idle strangers" %
              (time.monotonic() - started))
        self.assertLess(time.monotonic() - started, 2)
        # A stranger that sends other codes than PL_OPEN, a few at a time,
        # is let go all the same.
        with connect(source="127.0.0.21") as s:
            started = time.monotonic()
            closed = False
            s.settimeout(2)
            while not closed and time.monotonic() - started < 30:
                try:
                    s.sendall(harness.u32(3))  # a code that is the whole message
                    closed = s.recv(16) == b""
                except socket.timeout:
                    pass
                except (BrokenPipeError, ConnectionResetError):
                    closed = True
            self.assertTrue(closed, "the stranger kept its connection for 30 s")
            self.assertLess(time.monotonic() - started, 15)
        # A stranger that speaks still gets exactly the refusal.
        with connect(source="127.0.0.20") as s:
            self.assertEqual(harness.open_request(s, PORT), PL_OPEN_FAILED)
            self.assertEqual(s.recv(16), b"")


if __name__ == "__main__":
    unittest.main()
