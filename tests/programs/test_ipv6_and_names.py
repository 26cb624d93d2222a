"""IPv6 and servers named by host name, end to end: the server's dual-stack
listener and an IPv6 allowed-list entry, and the Linux client reaching its
server by an IPv6 address or by a host name resolved at each session."""
import socket
import time
import unittest

import harness as h


def ipv6_loopback():
    """True when ::1 can be bound here (a private network namespace has it
    once its loopback is up)."""
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class Ipv6AndNames(h.ClientTestCase):

    def setUp(self):
        super().setUp()
        self.com = h.ComPorts(self.registry)
        self.addCleanup(self.com.cleanup)

    def start_server(self):
        server = self.start("tovlserver", "debug")
        self.assertTrue(h.wait_for_listener(), "tovlserver does not listen")
        return server

    def named_port(self, n, server, com_port):
        """Virtual port n served by REMOTEHOST<n>; REMOTEPORT<n> gives the COM
        number only, as tovladmin port set writes it."""
        self.configure_port(n, h.SERVER_PORT, com_port, address="0.0.0.0")
        self.set_client_value(h.CONNECTIONS_KEY, "REMOTEHOST%d" % n, server)

    def session_carries_data(self, n, device):
        app = self.app(n)
        app.write(b"ping")
        self.assertEqual(device.read_exact(4, 20), b"ping")
        device.write_all(b"pong")
        self.assertEqual(app.read(4, 20), b"pong")
        app.close()

    @unittest.skipUnless(ipv6_loopback(), "no IPv6 loopback here")
    def test_session_over_ipv6_admitted_by_an_ipv6_entry(self):
        # Only ::1 is listed: the session can only be the IPv6 one.
        self.registry.allow("::1")
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.named_port(3, "[::1]:4445", 2)
        self.start_server()
        self.start_client([self.link(3)])
        self.session_carries_data(3, device)

    @unittest.skipUnless(ipv6_loopback(), "no IPv6 loopback here")
    def test_unlisted_ipv6_peer_is_refused_and_listed_ipv4_still_admitted(self):
        self.registry.allow("127.0.0.1")
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.start_server()
        with socket.create_connection(("::1", h.SERVER_PORT), timeout=10) as stranger:
            self.assertEqual(h.open_request(stranger, 2), h.PL_OPEN_FAILED)
        # The same listener takes IPv4: 127.0.0.1 is matched by its dotted name.
        listed = h.connect()
        self.addCleanup(listed.close)
        self.assertNotEqual(h.open_session(listed, 2)[0], h.PL_OPEN_FAILED)

    @unittest.skipUnless(ipv6_loopback(), "no IPv6 loopback here")
    @unittest.skipIf(h.ON_WINE, "the raw listener is configured with tovladmin on Linux")
    def test_raw_listener_is_dual_stack_too(self):
        # Every listener goes through the one listen path: the raw one stands for them.
        self.registry.allow("::1")
        device = self.com.map_pty(5)
        self.addCleanup(device.close)
        tcp_port = h.free_tcp_port()
        self.registry.set_value(r"Software\Dravik\TOVL\Raw", "COM5", "%d;9600,8N1" % tcp_port)
        self.start_server()
        self.assertTrue(h.wait_for_listener(tcp_port, host="::1"), "no raw listener on ::1")
        # The probe above was a session too: the port may take a moment to be free.
        for _ in range(25):
            s = socket.create_connection(("::1", tcp_port), timeout=10)
            self.addCleanup(s.close)
            time.sleep(0.2)
            s.setblocking(False)
            try:
                closed = s.recv(1) == b""
            except BlockingIOError:
                closed = False
            s.setblocking(True)
            if not closed:
                break
        s.sendall(b"six")
        self.assertEqual(device.read_exact(3), b"six")

    def test_server_named_localhost(self):
        # localhost may resolve to ::1, 127.0.0.1 or both: both are listed.
        self.registry.allow("127.0.0.1")
        if ipv6_loopback():
            self.registry.allow("::1")
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.named_port(3, "localhost:4445", 2)
        self.start_server()
        client = self.start_client([self.link(3)])
        self.session_carries_data(3, device)
        self.assertIn("serves COM2 of localhost:4445", client.log())

    def test_name_that_does_not_resolve_fails_like_an_unreachable_server(self):
        self.named_port(3, "nothere.invalid:4445", 2)
        client = self.start_client([self.link(3)])
        app = self.app(3)
        self.assertTrue(client.wait_for_log("the name nothere.invalid does not resolve", 20),
                        client.log())
        # The application is hung up, as for a server that cannot be reached.
        self.assertTrue(h.hung_up(app, 5.0))
        self.assertTrue(client.alive())


if __name__ == "__main__":
    unittest.main()
