"""tovlclient.exe under Wine, with the stand-in virtual port driver playing
the virtual ports: against a scripted server peer that records and answers,
and against tovlserver of either build with a pseudo-terminal as its port."""
import os
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

import harness
import vexa
from harness import u32, recv_exact

CONNECTIONS_KEY = r"Software\Dravik\TOVL\Connections"
SETTINGS_KEY = r"Software\Dravik\TOVL\Settings"


def vexa_settings(baud, byte_size=8, parity=0, stop_bits=0, handshake=0x01, flow=0x40):
    """A 44-byte settings record as the driver gives it to the client."""
    record = bytearray(44)
    struct.pack_into("<I", record, 8, baud)
    record[16], record[17] = 0x11, 0x13
    record[18], record[19], record[20] = byte_size, stop_bits, parity
    struct.pack_into("<IIII", record, 24, handshake, flow, 2048, 512)
    return bytes(record)


def read_application(vport, count, timeout=15.0):
    """What the client delivered to the application of vport."""
    deadline = time.monotonic() + timeout
    got = b""
    while time.monotonic() < deadline and len(got) < count:
        got += bytes.fromhex(vexa.tool("read", vport)[1])
        if len(got) < count:
            time.sleep(0.1)
    return got


@unittest.skipUnless(harness.ON_WINE, "the Windows client and its driver")
class WindowsClientTestCase(harness.ProgramTestCase):
    def configure(self, vport, address, com, timeouts="-1;0;0;0;0"):
        self.registry.set_value(CONNECTIONS_KEY, "REMOTEPORT%d" % vport, "%s;%d" % (address, com))
        if timeouts is not None:
            self.registry.set_value(SETTINGS_KEY, "PORT%d" % vport, timeouts)

    def open_application(self, vport, baud=9600):
        self.assertEqual(vexa.tool("settings", vport, vexa_settings(baud).hex())[0], 0)
        # The port is configured before it opens: that change is no session's.
        vexa.tool("wait", vport, "vexaPortSettings", 0)
        self.assertEqual(vexa.tool("open", vport)[0], 0)
        self.addCleanup(vexa.tool, "close", vport)

    def start_client(self):
        client = harness.LiveProgram("tovlclient", "debug", env=self.registry.env)
        self.addCleanup(client.stop)
        return client


class ClientWithScriptedServer(WindowsClientTestCase):
    def setUp(self):
        super().setUp()
        self.server = harness.ScriptedServer()
        self.addCleanup(self.server.close)

    def test_a_session_from_open_to_close(self):
        self.configure(1, "127.0.0.1:%d" % self.server.port, 3)
        client = self.start_client()
        self.open_application(1, baud=19200)
        opened = time.monotonic()
        conn = self.server.accept()
        self.assertIsNotNone(conn, "the client did not connect")
        # The two one-second pauses come before the connection.
        self.assertGreaterEqual(time.monotonic() - opened, 1.9)
        timeouts, settings = harness.open_exchange(conn, 3, mask=0x2A, result=0x1234)
        self.assertEqual(timeouts, (0xFFFFFFFF, 0, 0, 0, 0))
        self.assertEqual(harness.decode_settings(settings)["BaudRate"], 19200)
        self.assertEqual(harness.decode_settings(settings)["ByteSize"], 8)
        # The open reply's mask reached the application's input lines.
        self.assertEqual(vexa.state(1)["modem_status"], 0xB0)

        # Application data becomes PL_DATA.
        self.assertEqual(vexa.tool("write", 1, b"hello\x00\xff".hex()), (0, "7"))
        self.assertEqual(recv_exact(conn, 8), u32(harness.PL_DATA, 7))
        self.assertEqual(recv_exact(conn, 7), b"hello\x00\xff")

        # DTR and RTS by the application: PL_FLOW_CONTROL with 0x05 set, 300 ms
        # later; the port's mask also carries the input lines set above.
        changed = time.monotonic()
        vexa.tool("lines", 1, 3)
        self.assertEqual(recv_exact(conn, 8), u32(harness.PL_FLOW_CONTROL, 0x05 | 0x2A))
        self.assertGreaterEqual(time.monotonic() - changed, 0.3)

        # The server's data and modem status reach the application; an
        # undefined code is consumed as its four bytes alone.
        conn.sendall(u32(harness.PL_DATA, 5) + b"world" + u32(harness.PL_FLOW_CONTROL, 0x40))
        conn.sendall(u32(3) + u32(harness.PL_FLOW_CONTROL, 0x10))
        self.assertEqual(read_application(1, 5), b"world")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and vexa.state(1)["modem_status"] != 0x10:
            time.sleep(0.1)
        self.assertEqual(vexa.state(1)["modem_status"], 0x10)

        # A settings change becomes PL_SETTINGS.
        vexa.tool("settings", 1, vexa_settings(57600).hex())
        self.assertEqual(recv_exact(conn, 4), u32(harness.PL_SETTINGS))
        self.assertEqual(harness.decode_settings(recv_exact(conn, 24))["BaudRate"], 57600)

        # Closing the port sends PL_CLOSE and ends the connection.
        vexa.tool("close", 1)
        self.assertEqual(recv_exact(conn, 4), u32(harness.PL_CLOSE))
        self.assertEqual(conn.recv(4), b"")
        self.assertTrue(client.alive())

    def test_a_refusal_is_reported_and_a_new_opening_tries_again(self):
        self.configure(2, "127.0.0.1:%d" % self.server.port, 4)
        client = self.start_client()
        for _ in range(2):
            self.open_application(2)
            conn = self.server.accept()
            self.assertIsNotNone(conn, "the client did not connect")
            self.assertEqual(recv_exact(conn, 8), u32(harness.PL_OPEN, 4))
            conn.sendall(u32(harness.PL_OPEN_FAILED))
            self.assertEqual(conn.recv(4), b"")
            vexa.tool("close", 2)
            time.sleep(1.5)
        self.assertTrue(client.wait_for_text("ERROR open remote real ports!"))


    def test_as_a_service_under_the_service_manager(self):
        self.configure(3, "127.0.0.1:%d" % self.server.port, 6)
        self.addCleanup(harness.run_program, "tovlclient", "delete")
        self.assertEqual(harness.run_program("tovlclient", "setup")[0], 0)
        wine = [harness.WINE_RUN, "net"]
        self.addCleanup(subprocess.run, wine + ["stop", "tovlclient"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        started = subprocess.run(wine + ["start", "tovlclient"], stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, timeout=60)
        self.assertEqual(started.returncode, 0, started.stdout)
        self.open_application(3)
        conn = self.server.accept(timeout=20)
        self.assertIsNotNone(conn, "the service did not connect")
        harness.open_exchange(conn, 6)
        vexa.tool("write", 3, b"svc".hex())
        self.assertEqual(recv_exact(conn, 11), u32(harness.PL_DATA, 3) + b"svc")
        subprocess.run(wine + ["stop", "tovlclient"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=60)
        # The stop ends the process: the session's connection drops.
        conn.settimeout(15)
        try:
            self.assertEqual(conn.recv(4), b"")
        except ConnectionResetError:
            pass
        self.assertEqual(harness.run_program("tovlclient", "delete")[0], 0)


class ClientWithRealServers(WindowsClientTestCase):
    """Windows client with the Windows server and with the Linux server."""

    def start_windows_server(self, com):
        self.registry.allow("127.0.0.1")
        ports = harness.ComPorts(self.registry)
        self.addCleanup(ports.cleanup)
        device = ports.map_pty(com)
        self.start("tovlserver", "debug")
        return device

    def start_linux_server(self, com):
        if not os.path.exists(os.path.join(harness.NATIVE_BIN_DIR, "tovlserver")):
            self.skipTest("the Linux build's tovlserver is not built")
        root = tempfile.mkdtemp(prefix="tovl-server-registry-")
        self.addCleanup(shutil.rmtree, root, True)
        tovl = os.path.join(root, "HKEY_LOCAL_MACHINE", "Software", "Dravik", "TOVL")
        os.makedirs(os.path.join(tovl, "IpAddr"))
        os.makedirs(os.path.join(tovl, "Devices"))
        open(os.path.join(tovl, "IpAddr", "127.0.0.1"), "w").close()
        device = harness.PtyPort()
        self.addCleanup(device.close)
        with open(os.path.join(tovl, "Devices", "COM%d" % com), "w") as f:
            f.write(device.path)
        server = harness.Program("tovlserver", "debug", native=True,
                                 env=dict(os.environ, TOVL_REGISTRY_ROOT=root))
        self.addCleanup(server.stop)
        return device

    def carry_data_both_ways(self, vport, device):
        self.configure(vport, "127.0.0.1", 5)
        self.assertTrue(harness.wait_for_listener(timeout=30), "the server does not listen")
        self.start_client()
        self.open_application(vport)
        sent = bytes(range(256))
        # The session is up once the application's bytes reach the device.
        deadline = time.monotonic() + 20
        while vexa.state(vport)["status_count"] == 0 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(vexa.state(vport)["status_count"], 1, "no session was opened")
        self.assertEqual(vexa.tool("write", vport, sent.hex())[0], 0)
        self.assertEqual(device.read_exact(256, timeout=20), sent)
        device.write_all(sent[::-1])
        self.assertEqual(read_application(vport, 256), sent[::-1])
        # Closing the virtual port ends the session and frees the real port:
        # the next opening gets it again.
        vexa.tool("close", vport)
        time.sleep(1.5)
        vexa.tool("open", vport)
        deadline = time.monotonic() + 20
        while vexa.state(vport)["status_count"] < 2 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(vexa.state(vport)["status_count"], 2, "the port was not opened again")
        self.assertEqual(vexa.tool("write", vport, b"again".hex())[0], 0)
        self.assertEqual(device.read_exact(5, timeout=20), b"again")

    def test_windows_client_with_windows_server(self):
        self.carry_data_both_ways(8, self.start_windows_server(5))

    def test_windows_client_with_linux_server(self):
        self.carry_data_both_ways(9, self.start_linux_server(5))


if __name__ == "__main__":
    unittest.main()
