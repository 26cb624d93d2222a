"""tovlclient end to end against a scripted server peer: the open exchange,
data both ways, settings, closing and reopening. The test is the
application on the virtual port (a pseudo-terminal link) and the server."""
import os
import random
import struct
import threading
import time
import unittest

import harness as h


@unittest.skipIf(h.ON_WINE, "virtual ports of the Windows build need the driver")
class ClientSessions(h.ClientTestCase):

    def test_open_exchange_order_close_and_reopen_with_new_time_outs(self):
        server = self.scripted_server()
        self.configure_port(3, server.port, 2, "100;10;1000;10;1000;7")
        client = self.start_client([self.link(3)])
        opened_at = time.monotonic()
        app = self.app(3, baud=19200, two_stop_bits=True)
        conn = server.accept()
        self.assertIsNotNone(conn)
        # The loop's pause and the socket's pause come first.
        self.assertGreaterEqual(time.monotonic() - opened_at, 1.9)
        self.assertEqual(h.recv_exact(conn, 8), h.u32(h.PL_OPEN, 2))
        # Nothing more before the open reply.
        self.assertTrue(h.expect_nothing(conn, 0.5))
        conn.sendall(h.u32(0, 0x3F))
        timeouts = struct.unpack("<5I", h.recv_exact(conn, 20))
        self.assertEqual(timeouts, (100, 10, 1000, 10, 1000))
        self.assertEqual(struct.unpack("<I", h.recv_exact(conn, 4))[0], h.PL_SETTINGS)
        settings = h.decode_settings(h.recv_exact(conn, 24))
        self.assertEqual(settings["BaudRate"], 19200)
        self.assertEqual(settings["StopBits"], 2)
        self.assertEqual(settings["ControlHandShake"], 0x01)
        self.assertEqual(settings["FlowReplace"], 0x40)
        app.write(b"x")
        reader = h.MessageReader(conn)
        self.assertEqual(reader.next(), (h.PL_DATA, b"x"))
        print("open to first byte at the server: %.2f s" % (time.monotonic() - opened_at))

        # Closing sends PL_CLOSE and ends the connection.
        app.close()
        self.assertEqual(reader.next(), (h.PL_CLOSE, b""))
        self.assertEqual(conn.recv(1), b"")

        # A changed PORT value is read at the next opening.
        self.registry.set_value(h.SETTINGS_KEY, "PORT3", "-1;0;0;0;0")
        time.sleep(0.5)
        app2 = self.app(3)
        conn2 = server.accept()
        self.assertIsNotNone(conn2)
        timeouts, _ = h.open_exchange(conn2, 2)
        self.assertEqual(timeouts, (0xFFFFFFFF, 0, 0, 0, 0))
        app2.close()
        self.assertEqual(h.MessageReader(conn2).next(), (h.PL_CLOSE, b""))
        self.assertTrue(client.alive())

    def test_bytes_both_ways_arrive_unchanged(self):
        server = self.scripted_server()
        self.configure_port(5, server.port, 4)
        self.start_client([self.link(5)])
        app = self.app(5)
        conn = server.accept()
        h.open_exchange(conn, 4)
        reader = h.MessageReader(conn)

        every_byte = bytes(range(256))
        app.write(every_byte)
        self.assertEqual(reader.data(256), every_byte)
        conn.sendall(h.u32(h.PL_DATA, 256) + every_byte)
        self.assertEqual(app.read(256, 10), every_byte)

        rng = random.Random(7)
        upward = rng.randbytes(1 << 20)
        downward = rng.randbytes(1 << 20)
        results = {}

        def server_side():
            # Messages of many sizes, one far larger than the client's
            # pieces, and a line report in between.
            sizes = [1, 1000, 4096, 300000, 17, 65536 * 3]
            pos, i = 0, 0
            while pos < len(downward):
                n = min(sizes[i % len(sizes)], len(downward) - pos)
                conn.sendall(h.u32(h.PL_DATA, n) + downward[pos:pos + n])
                if i == 2:
                    conn.sendall(h.u32(h.PL_FLOW_CONTROL, 0xB0))
                pos += n
                i += 1
            results["up"] = reader.data(len(upward), 60)

        def app_writer():
            for pos in range(0, len(upward), 8192):
                app.write(upward[pos:pos + 8192])

        t_server = threading.Thread(target=server_side)
        t_writer = threading.Thread(target=app_writer)
        start = time.monotonic()
        t_server.start()
        t_writer.start()
        got_down = app.read(len(downward), 60)
        t_writer.join(60)
        t_server.join(60)
        elapsed = time.monotonic() - start
        self.assertEqual(len(got_down), len(downward))
        self.assertTrue(got_down == downward, "data to the application changed")
        self.assertEqual(len(results.get("up", b"")), len(upward))
        self.assertTrue(results["up"] == upward, "data to the server changed")
        print("1 MiB each way in %.2f s" % elapsed)

    def test_speed_change_is_sent_as_settings(self):
        server = self.scripted_server()
        self.configure_port(4, server.port, 2)
        self.start_client([self.link(4)])
        app = self.app(4, baud=9600)
        conn = server.accept()
        _, record = h.open_exchange(conn, 2)
        self.assertEqual(h.decode_settings(record)["BaudRate"], 9600)
        changed_at = time.monotonic()
        app.set_speed(57600)
        code, body = h.MessageReader(conn).next()
        self.assertEqual(code, h.PL_SETTINGS)
        self.assertEqual(h.decode_settings(body)["BaudRate"], 57600)
        # Within 200 ms on an idle machine; slack for sanitizer builds.
        self.assertLess(time.monotonic() - changed_at, 2.0)

    def test_many_ports_are_all_served(self):
        server = self.scripted_server()
        for n in range(1, 71):
            self.configure_port(n, server.port, n)
        self.start_client([self.link(n) for n in (1, 70)])
        app = self.app(70)
        conn = server.accept()
        self.assertIsNotNone(conn)
        h.open_exchange(conn, 70)
        app.write(b"seventy")
        self.assertEqual(h.MessageReader(conn).data(7), b"seventy")

    def test_links_are_removed_when_the_client_ends(self):
        server = self.scripted_server()
        self.configure_port(6, server.port, 2)
        client = self.start_client([self.link(6)])
        client.stop()
        deadline = time.monotonic() + 15
        while os.path.lexists(self.link(6)) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(os.path.lexists(self.link(6)))


if __name__ == "__main__":
    unittest.main()
