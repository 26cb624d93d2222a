"""tovlclient's Linux virtual ports, one use after another: nothing of one
use reaches the next, a reopen carries the new application's settings, any
speed travels exactly, and a session that fails hangs the application up
(then the next open works)."""
import socket
import time
import unittest

import harness as h



@unittest.skipIf(h.ON_WINE, "virtual ports of the Windows build need the driver")
class ClientUses(h.ClientTestCase):

    def test_nothing_of_one_use_reaches_the_next(self):
        server = self.scripted_server()
        self.configure_port(3, server.port, 2)
        self.start_client([self.link(3)])
        # Written and closed before the session was up: sent in a session
        # of its own, which then ends; its answer reaches nobody.
        app = self.app(3)
        app.write(b"STALE\r")
        time.sleep(0.3)
        app.close()
        conn = server.accept(timeout=5.0)
        self.assertIsNotNone(conn)
        h.open_exchange(conn, 2)
        reader = h.MessageReader(conn)
        self.assertEqual(reader.data(6, 10), b"STALE\r")
        conn.sendall(h.u32(h.PL_DATA, 6) + b"ANSWER")
        self.assertEqual(reader.next(), (h.PL_CLOSE, b""))
        app = self.app(3)
        conn = server.accept()
        h.open_exchange(conn, 2)
        app.write(b"FRESH\r")
        reader = h.MessageReader(conn)
        self.assertEqual(reader.data(6, 10), b"FRESH\r")
        # Sent by the server and not read by this use.
        conn.sendall(h.u32(h.PL_DATA, 3) + b"OLD")
        time.sleep(0.3)
        app.close()
        message = reader.next()
        while message == (h.PL_DATA, b""):
            message = reader.next()
        self.assertEqual(message, (h.PL_CLOSE, b""))
        time.sleep(1.5)
        app = self.app(3)
        conn2 = server.accept()
        h.open_exchange(conn2, 2)
        self.assertEqual(app.read(1, 1.0), b"")

    def test_a_use_that_wrote_nothing_makes_no_connection(self):
        server = self.scripted_server()
        self.configure_port(11, server.port, 2)
        self.start_client([self.link(11)])
        app = self.app(11)
        app.close()
        self.assertIsNone(server.accept(timeout=2.5))

    def test_uses_closed_before_their_session_each_get_their_own(self):
        server = self.scripted_server()
        self.configure_port(12, server.port, 2)
        self.start_client([self.link(12)])
        first = self.app(12, baud=19200)
        first.write(b"ATZ\r")
        first.close()
        # The next application comes while the first use waits for its
        # session (the client has seen the close).
        time.sleep(0.5)
        second = self.app(12)
        second.write(b"NEXT\r")
        # The closed use's bytes and settings, then PL_CLOSE; its answer is
        # dropped.
        conn = server.accept(timeout=5.0)
        _, record = h.open_exchange(conn, 2)
        self.assertEqual(h.decode_settings(record)["BaudRate"], 19200)
        reader = h.MessageReader(conn)
        self.assertEqual(reader.data(4, 10), b"ATZ\r")
        conn.sendall(h.u32(h.PL_DATA, 3) + b"OK\n")
        self.assertEqual(reader.next(), (h.PL_CLOSE, b""))
        # The open use in the next session, with only its own bytes.
        conn2 = server.accept(timeout=5.0)
        h.open_exchange(conn2, 2)
        self.assertEqual(h.MessageReader(conn2).data(5, 10), b"NEXT\r")
        conn2.sendall(h.u32(h.PL_DATA, 4) + b"NXT\n")
        self.assertEqual(second.read(4, 10), b"NXT\n")

    def test_reopen_within_the_pause_carries_the_new_settings(self):
        server = self.scripted_server()
        self.configure_port(4, server.port, 2)
        self.start_client([self.link(4)])
        app = self.app(4, baud=115200)
        conn = server.accept()
        _, record = h.open_exchange(conn, 2)
        self.assertEqual(h.decode_settings(record)["BaudRate"], 115200)
        app.close()
        time.sleep(0.2)
        app = self.app(4, baud=57600)
        # The first session ends after the pause with nothing of the new
        # application: its settings are the next session's.
        reader = h.MessageReader(conn)
        message = reader.next()
        while message == (h.PL_DATA, b""):
            message = reader.next()
        self.assertEqual(message, (h.PL_CLOSE, b""))
        conn2 = server.accept()
        self.assertIsNotNone(conn2)
        _, record = h.open_exchange(conn2, 2)
        self.assertEqual(h.decode_settings(record)["BaudRate"], 57600)
        app.write(b"new")
        self.assertEqual(h.MessageReader(conn2).data(3, 10), b"new")

    def test_custom_speeds_travel_exactly(self):
        server = self.scripted_server()
        self.configure_port(5, server.port, 2)
        self.start_client([self.link(5)])
        app = self.app(5)
        h.set_custom_speed(app.fd, 250000)
        conn = server.accept()
        _, record = h.open_exchange(conn, 2)
        self.assertEqual(h.decode_settings(record)["BaudRate"], 250000)
        h.set_custom_speed(app.fd, 3840)
        code, body = h.MessageReader(conn).next()
        self.assertEqual(code, h.PL_SETTINGS)
        self.assertEqual(h.decode_settings(body)["BaudRate"], 3840)

    def test_each_failed_set_up_hangs_up_and_the_next_open_works(self):
        server = self.scripted_server()
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        refused_port = closed.getsockname()[1]
        closed.close()
        self.configure_port(6, refused_port, 2)
        self.configure_port(7, server.port, 2)
        self.configure_port(8, server.port, 2, timeouts=None)
        self.start_client([self.link(n) for n in (6, 7, 8)])

        # Connect refused.
        app = self.app(6)
        self.assertTrue(h.hung_up(app, 4.0))
        app.close()
        # Refused by the server.
        app = self.app(7)
        conn = server.accept()
        self.assertEqual(h.recv_exact(conn, 8), h.u32(h.PL_OPEN, 2))
        conn.sendall(h.u32(h.PL_OPEN_FAILED))
        self.assertTrue(h.hung_up(app, 1.0))
        app.close()
        # The time-outs value missing.
        app = self.app(8)
        conn = server.accept()
        self.assertEqual(h.recv_exact(conn, 8), h.u32(h.PL_OPEN, 2))
        conn.sendall(h.u32(0, 0))
        self.assertTrue(h.hung_up(app, 1.0))
        app.close()

        # The next open of a port that failed gets a new session.
        app = self.app(7)
        conn = server.accept()
        h.open_exchange(conn, 2)
        app.write(b"ok")
        self.assertEqual(h.MessageReader(conn).data(2, 10), b"ok")

    def test_settings_go_before_the_data_written_after_them(self):
        server = self.scripted_server()
        self.configure_port(10, server.port, 2)
        self.start_client([self.link(10)])
        app = self.app(10, baud=9600)
        conn = server.accept()
        _, record = h.open_exchange(conn, 2)
        self.assertEqual(h.decode_settings(record)["BaudRate"], 9600)
        reader = h.MessageReader(conn)
        for baud in (57600, 115200, 19200):
            app.set_speed(baud)
            app.write(b"at %d" % baud)
            message = reader.next()
            while message == (h.PL_DATA, b""):
                message = reader.next()
            self.assertEqual(message[0], h.PL_SETTINGS)
            self.assertEqual(h.decode_settings(message[1])["BaudRate"], baud)
            self.assertEqual(reader.data(len(b"at %d" % baud), 10), b"at %d" % baud)

    def test_an_input_flush_drops_what_the_client_holds(self):
        import termios
        server = self.scripted_server()
        self.configure_port(13, server.port, 2)
        self.start_client([self.link(13)])
        app = self.app(13)
        conn = server.accept()
        h.open_exchange(conn, 2)
        # More than the pty holds: the rest waits in the client.
        old = h.u32(h.PL_DATA, 1024) + b"o" * 1024
        conn.sendall(old * 200)
        self.assertEqual(app.read(1, 10), b"o")
        termios.tcflush(app.fd, termios.TCIFLUSH)
        # Sent once the client has seen the flush: kept.
        time.sleep(0.5)
        conn.sendall(h.u32(h.PL_DATA, 3) + b"NEW")
        got = app.read(200 * 1024, 3.0)
        self.assertTrue(got.endswith(b"NEW"), got[-16:])
        print("old bytes after the flush: %d" % (len(got) - 3))
        self.assertLess(len(got) - 3, 4096)

    def test_dropped_connection_hangs_up(self):
        server = self.scripted_server()
        self.configure_port(9, server.port, 2)
        self.start_client([self.link(9)])
        app = self.app(9)
        conn = server.accept()
        h.open_exchange(conn, 2)
        conn.close()
        self.assertTrue(h.hung_up(app, 1.0))


if __name__ == "__main__":
    unittest.main()
