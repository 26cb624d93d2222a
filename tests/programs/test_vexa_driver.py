"""The stand-in virtual port driver itself: what the client relies on."""
import struct
import unittest

import harness
import vexa
from vexa import client_call, state, tool


def index(port):
    return struct.pack("<I", port - 1)


@unittest.skipUnless(harness.ON_WINE, "a Windows kernel-mode driver")
class StandInDriver(unittest.TestCase):
    def test_the_four_events_are_found_by_their_plain_names(self):
        code, out = tool("events", 3)
        self.assertEqual(code, 0, out)
        self.assertEqual(client_call(99, "CHECK_PORT"), (False, 87))

    def test_events_are_auto_reset(self):
        tool("wait", 4, "vexaPortOpened", 0)
        self.assertEqual(tool("open", 4)[0], 0)
        self.assertEqual(tool("wait", 4, "vexaPortOpened", 0), (0, "signalled"))
        self.assertEqual(tool("wait", 4, "vexaPortOpened", 0), (0, "timeout"))
        self.assertEqual(tool("close", 4)[0], 0)
        self.assertEqual(tool("wait", 4, "vexaPortOpened", 0), (0, "signalled"))

    def test_application_data_is_read_byte_by_byte_then_259(self):
        tool("open", 5)
        self.assertEqual(tool("write", 5, "41ff00"), (0, "3"))
        self.assertEqual(tool("wait", 5, "vexaPortData", 0), (0, "signalled"))
        self.assertEqual(client_call(5, "GET_PENDING", index(5)), (True, "03000000"))
        got = [client_call(5, "READ_BYTE", index(5)) for _ in range(4)]
        self.assertEqual(got, [(True, "41"), (True, "ff"), (True, "00"), (False, 259)])
        self.assertEqual(client_call(5, "GET_OPEN_STATE", index(5)), (True, "01000000"))
        tool("close", 5)
        self.assertEqual(client_call(5, "GET_OPEN_STATE", index(5)), (True, "00000000"))

    def test_a_full_port_refuses_a_byte_with_234(self):
        tool("open", 6)
        tool("limit", 6, 2)
        results = [client_call(6, "WRITE_BYTE", bytes([5, 0, 0, b]))[0] for b in b"xyz"]
        self.assertEqual(results, [True, True, False])
        self.assertEqual(client_call(6, "WRITE_BYTE", bytes([5, 0, 0, 0x41])), (False, 234))
        self.assertEqual(tool("read", 6), (0, "7879"))
        tool("close", 6)

    def test_lines_and_settings(self):
        tool("open", 7)
        tool("lines", 7, 3)
        self.assertEqual(tool("wait", 7, "vexaPortFlowControl", 0), (0, "signalled"))
        ok, lines = client_call(7, "GET_LINES", index(7) + bytes(8))
        self.assertTrue(ok)
        self.assertEqual(lines, (index(7) + struct.pack("<II", 0, 3)).hex())
        self.assertTrue(client_call(7, "SET_LINES", index(7) + struct.pack("<II", 0xB0, 0))[0])
        self.assertEqual(state(7)["modem_status"], 0xB0)
        settings = bytes(range(44))
        tool("settings", 7, settings.hex())
        self.assertEqual(tool("wait", 7, "vexaPortSettings", 0), (0, "signalled"))
        self.assertEqual(client_call(7, "GET_SETTINGS", index(7)), (True, settings.hex()))
        tool("close", 7)


if __name__ == "__main__":
    unittest.main()
