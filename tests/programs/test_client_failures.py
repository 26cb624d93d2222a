"""tovlclient end to end when things go wrong: openings too short to
connect, refused opens, missing time-outs, a server that dies."""
import os
import socket
import time
import unittest

import harness as h


@unittest.skipIf(h.ON_WINE, "virtual ports of the Windows build need the driver")
class ClientFailures(h.ClientTestCase):

    def test_no_configured_port_returns_at_once(self):
        start = time.monotonic()
        code, out = h.run_program("tovlclient", "debug", env=self.registry.env, timeout=20)
        self.assertEqual(code, 0)
        self.assertEqual(out, "")
        self.assertLess(time.monotonic() - start, 5)

    def test_open_and_close_within_a_second_makes_no_connection(self):
        server = self.scripted_server()
        self.configure_port(3, server.port, 2)
        client = self.start_client([self.link(3)])
        app = self.app(3)
        time.sleep(0.3)
        app.close()
        self.assertIsNone(server.accept(timeout=3.5))
        # A later opening still works.
        app = self.app(3)
        conn = server.accept()
        self.assertIsNotNone(conn)
        h.open_exchange(conn, 2)
        self.assertTrue(client.alive())

    def test_refused_open_prints_the_message_and_a_new_opening_tries_again(self):
        server = self.scripted_server()
        self.configure_port(3, server.port, 2)
        client = self.start_client([self.link(3)])
        app = self.app(3)
        conn = server.accept()
        self.assertEqual(h.recv_exact(conn, 8), h.u32(h.PL_OPEN, 2))
        conn.sendall(h.u32(h.PL_OPEN_FAILED))
        self.assertTrue(client.wait_for_text("ERROR open remote real ports!\n"))
        self.assertTrue(client.wait_for_log("virtual port 3: no session with COM2 of 127.0.0.1:%d: "
                                            "refused by the server" % server.port))
        self.assertEqual(conn.recv(1), b"")
        app.close()
        # Closing a port without a session sends nothing anywhere.
        self.assertIsNone(server.accept(timeout=2.0))
        app = self.app(3)
        conn = server.accept()
        self.assertIsNotNone(conn)
        h.open_exchange(conn, 2)

    def test_unreachable_server_prints_nothing(self):
        self.configure_port(3, h.free_tcp_port(), 2)
        client = self.start_client([self.link(3)])
        app = self.app(3)
        time.sleep(3.0)
        app.close()
        time.sleep(1.5)
        self.assertTrue(client.alive())
        self.assertEqual(client.text(), "")
        self.assertIn("connect: connection refused", client.log())

    def test_missing_port_value_prints_and_closes_after_the_open_reply(self):
        server = self.scripted_server()
        self.configure_port(3, server.port, 2, timeouts=None)
        self.registry.set_value(h.SETTINGS_KEY, "PORT4", "1;2;3;4;5")
        client = self.start_client([self.link(3)])
        self.app(3)
        conn = server.accept()
        self.assertEqual(h.recv_exact(conn, 8), h.u32(h.PL_OPEN, 2))
        conn.sendall(h.u32(0, 0))
        self.assertEqual(conn.recv(1), b"")
        self.assertTrue(client.wait_for_text("ERROR registry read!\n"))
        self.assertIn("PORT3 is missing from", client.log())

    def test_configuration_problems_and_set_up_sessions_are_logged(self):
        server = self.scripted_server()
        self.configure_port(3, server.port, 2, timeouts="1;2")
        self.configure_port(4, server.port, 5)
        self.set_client_value(h.CONNECTIONS_KEY, "REMOTEPORT4", "127.0.0.1:%d" % server.port)
        self.set_client_value(h.CONNECTIONS_KEY, "REMOTEPORT5", "localhost;7")
        self.configure_port(6, server.port, 6)
        self.set_client_value(h.VIRTUAL_PORTS_KEY, "VPORT6", "/nonexistent-tovl/ttyV6")
        client = self.start_client([self.link(3)])
        self.assertTrue(client.wait_for_log("virtual port 3 serves COM2 of 127.0.0.1:%d" % server.port))
        # Each problem is logged once, in no fixed order with the offers.
        for line in ('REMOTEPORT4 = "127.0.0.1:%d" has no ";COM" part' % server.port,
                     '"localhost" is not a dotted decimal IPv4 address',
                     "REMOTEPORT5 is not served: virtual port 5 is not offered",
                     "virtual port 6 not offered at /nonexistent-tovl/ttyV6: the folder of link "
                     "/nonexistent-tovl/ttyV6 does not exist"):
            self.assertTrue(client.wait_for_log(line), client.log())
        app = self.app(3)
        h.open_exchange(server.accept(), 2)
        self.assertTrue(client.wait_for_log("virtual port 3: session with COM2 of 127.0.0.1:%d set up"
                                            % server.port))
        self.assertIn('PORT3 = "1;2" is not five whole numbers', client.log())
        app.close()
        self.assertTrue(client.wait_for_log("virtual port 3: session with COM2 of 127.0.0.1:%d "
                                            "ended: the application closed the port" % server.port))

    def test_server_dying_mid_session_leaves_the_client_serving(self):
        server = self.scripted_server()
        self.configure_port(3, server.port, 2)
        client = self.start_client([self.link(3)])
        app = self.app(3)
        conn = server.accept()
        h.open_exchange(conn, 2)
        # The server goes away hard.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        conn.close()
        port = server.port
        server.close()
        app.write(b"lost")
        time.sleep(0.5)
        app.close()
        time.sleep(1.5)
        self.assertTrue(client.alive())
        # The server is back: the next opening works.
        server2 = h.ScriptedServer(port)
        self.addCleanup(server2.close)
        app = self.app(3)
        conn = server2.accept()
        self.assertIsNotNone(conn)
        h.open_exchange(conn, 2)
        app.write(b"again")
        self.assertEqual(h.MessageReader(conn).data(5), b"again")


if __name__ == "__main__":
    unittest.main()
