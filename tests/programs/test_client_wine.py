"""tovlclient.exe under Wine, with the stand-in virtual port driver playing
the virtual ports and a scripted server peer that records and answers."""
import socket
import struct
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


@unittest.skipUnless(harness.ON_WINE, "the Windows client and its driver")
class ClientWithStandInDriver(harness.ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        vexa.load_driver()

    @classmethod
    def tearDownClass(cls):
        vexa.unload_driver()

    def setUp(self):
        super().setUp()
        self.peer = socket.socket()
        self.peer.bind(("127.0.0.1", 0))
        self.peer.listen(4)
        self.peer.settimeout(20)
        self.addCleanup(self.peer.close)
        self.port = self.peer.getsockname()[1]

    def configure(self, vport, com, timeouts="-1;0;0;0;0"):
        self.registry.set_value(CONNECTIONS_KEY, "REMOTEPORT%d" % vport, "127.0.0.1:%d;%d" % (self.port, com))
        if timeouts is not None:
            self.registry.set_value(SETTINGS_KEY, "PORT%d" % vport, timeouts)

    def open_application(self, vport, baud=9600):
        self.assertEqual(vexa.tool("settings", vport, vexa_settings(baud).hex())[0], 0)
        # The port is configured before it opens: that change is no session's.
        vexa.tool("wait", vport, "vexaPortSettings", 0)
        self.assertEqual(vexa.tool("open", vport)[0], 0)
        self.addCleanup(vexa.tool, "close", vport)

    def accept_open(self, com, reply=0x1234, mask=0x05):
        """Plays the server's side of the open exchange; returns the connection."""
        conn, _ = self.peer.accept()
        conn.settimeout(20)
        self.addCleanup(conn.close)
        self.assertEqual(recv_exact(conn, 8), u32(harness.PL_OPEN, com))
        conn.sendall(u32(reply))
        if reply == harness.PL_OPEN_FAILED:
            return conn
        conn.sendall(u32(mask))
        return conn

    def test_a_session_from_open_to_close(self):
        self.configure(1, 3)
        client = self.start("tovlclient", "debug")
        self.open_application(1, baud=19200)
        opened = time.monotonic()
        conn = self.accept_open(3, mask=0x2A)
        # The two one-second pauses come before the connection.
        self.assertGreaterEqual(time.monotonic() - opened, 1.9)
        self.assertEqual(recv_exact(conn, 20), u32(0xFFFFFFFF, 0, 0, 0, 0))
        settings = recv_exact(conn, 28)
        self.assertEqual(settings[:4], u32(harness.PL_SETTINGS))
        self.assertEqual(struct.unpack("<I", settings[4:8])[0], 19200)
        self.assertEqual(settings[8], 8)
        # The open reply's mask reached the application's lines.
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

        # The server's data and modem status reach the application.
        conn.sendall(u32(harness.PL_DATA, 5) + b"world" + u32(harness.PL_FLOW_CONTROL, 0x40))
        conn.sendall(u32(3) + u32(harness.PL_FLOW_CONTROL, 0x10))
        deadline = time.monotonic() + 10
        got = ""
        while time.monotonic() < deadline and len(got) < 10:
            got += vexa.tool("read", 1)[1]
            time.sleep(0.1)
        self.assertEqual(bytes.fromhex(got), b"world")
        while time.monotonic() < deadline and vexa.state(1)["modem_status"] != 0x10:
            time.sleep(0.1)
        self.assertEqual(vexa.state(1)["modem_status"], 0x10)

        # A settings change becomes PL_SETTINGS.
        vexa.tool("settings", 1, vexa_settings(57600).hex())
        settings = recv_exact(conn, 28)
        self.assertEqual(settings[:4], u32(harness.PL_SETTINGS))
        self.assertEqual(struct.unpack("<I", settings[4:8])[0], 57600)

        # Closing the port sends PL_CLOSE and ends the connection.
        vexa.tool("close", 1)
        self.assertEqual(recv_exact(conn, 4), u32(harness.PL_CLOSE))
        self.assertEqual(conn.recv(4), b"")
        self.assertTrue(client.alive())

    def test_a_refusal_is_reported_and_a_new_opening_tries_again(self):
        self.configure(2, 4)
        client = self.start("tovlclient", "debug")
        self.open_application(2)
        conn = self.accept_open(4, reply=harness.PL_OPEN_FAILED)
        self.assertEqual(conn.recv(4), b"")
        vexa.tool("close", 2)
        time.sleep(1.5)
        vexa.tool("open", 2)
        self.accept_open(4, reply=harness.PL_OPEN_FAILED)
        client.stop()
        self.assertIn("ERROR open remote real ports!", client.output())


if __name__ == "__main__":
    unittest.main()
