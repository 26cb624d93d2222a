"""The server's raw TCP listener: a port's plain bytes on a socket, both
ways, with the configured line set on the device at connect."""
import os
import socket
import termios
import unittest

import harness
from harness import ON_WINE, ProgramTestCase, connect_raw, wait_for_listener

RAW_KEY = r"Software\Dravik\TOVL\Raw"
PORT = 5
TCP_PORT = 7105


@unittest.skipIf(ON_WINE, "the raw listener is configured with tovladmin on Linux")
class RawTcp(ProgramTestCase):

    def setUp(self):
        super().setUp()
        self.pty = harness.serve_ptys(self, PORT)[PORT]
        self.registry.set_value(RAW_KEY, "COM%d" % PORT, "%d;57600,8N2,rtscts" % TCP_PORT)
        self.server = self.start("tovlserver", "debug")
        self.assertTrue(wait_for_listener(TCP_PORT), "no raw listener")

    def connect(self):
        return connect_raw(TCP_PORT)

    def test_every_byte_value_both_ways_and_the_line_at_the_device(self):
        s = self.connect()
        self.addCleanup(s.close)
        attrs = self.pty.termios()
        self.assertEqual(harness.output_speed(self.pty.master), 57600)
        cflag = attrs[2]
        # A pty takes 8 bits without parity only; stop bits and handshake it keeps.
        self.assertEqual(cflag & termios.CSIZE, termios.CS8)
        self.assertTrue(cflag & termios.CSTOPB)
        self.assertTrue(cflag & termios.CRTSCTS)
        everything = bytes(range(256)) * 64
        s.sendall(everything)
        self.assertEqual(self.pty.read_exact(len(everything)), everything)
        self.pty.write_all(everything)
        got = b""
        while len(got) < len(everything):
            chunk = s.recv(65536)
            self.assertNotEqual(chunk, b"", "closed early")
            got += chunk
        self.assertEqual(got, everything)

    def test_a_stranger_is_closed_and_the_port_is_shared_with_the_other_protocols(self):
        with socket.create_connection(("127.0.0.1", TCP_PORT), source_address=("127.0.0.2", 0),
                                      timeout=5) as stranger:
            self.assertEqual(stranger.recv(16), b"")
        s = self.connect()
        self.addCleanup(s.close)
        with harness.connect() as native:
            reply, _ = harness.open_session(native, PORT)
            self.assertEqual(reply, harness.PL_OPEN_FAILED)


if __name__ == "__main__":
    unittest.main()
