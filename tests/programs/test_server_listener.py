"""tovlserver's listener over the wire: accept chain, refusals, restarts."""
import socket
import time
import unittest

import harness
from harness import u32


class ServerListener(harness.ProgramTestCase):
    def setUp(self):
        super().setUp()
        self.registry.create_key(harness.IPADDR_KEY)

    def start_server(self):
        server = self.start("tovlserver", "debug")
        self.assertTrue(harness.wait_for_listener(timeout=30), "tovlserver does not listen on 4445")
        return server

    def assert_refused(self, sock, port_number=3):
        self.assertEqual(harness.open_request(sock, port_number), harness.PL_OPEN_FAILED)
        # Nothing follows the refusal: the server closes the connection.
        self.assertEqual(sock.recv(16), b"")

    def test_an_address_not_on_the_list_is_refused(self):
        self.registry.allow("127.0.0.1")
        self.start_server()
        with harness.connect(source="127.0.0.2") as s:
            self.assert_refused(s)
        self.registry.delete_key(harness.IPADDR_KEY)
        with harness.connect(source="127.0.0.1") as s:
            self.assert_refused(s)

    def test_undefined_codes_close_a_stranger_and_are_skipped_for_a_listed_client(self):
        self.registry.allow("127.0.0.1")
        self.start_server()
        with harness.connect(source="127.0.0.2") as s:
            s.sendall(u32(3, 4, 6, 8, 0xFFFFFFF0))
            self.assertEqual(s.recv(16), b"")
        with harness.connect(source="127.0.0.1") as s:
            s.sendall(u32(3, 4, 6, 8, 0xFFFFFFF0))
            self.assert_refused(s)  # COM3 is no device here

    def test_many_clients_at_once_are_each_answered(self):
        self.start_server()
        # A client that connects and says nothing holds up nobody.
        silent = harness.connect()
        self.addCleanup(silent.close)
        clients = []
        try:
            # In groups of five, the listen backlog, so that no connect has to
            # wait for its SYN to be sent again.
            for _ in range(40):
                group = [harness.connect(source="127.0.0.5") for _ in range(5)]
                clients += group
                for s in group:
                    s.sendall(u32(harness.PL_OPEN, 1))
            answered = sum(1 for s in clients if harness.recv_exact(s, 4) == u32(harness.PL_OPEN_FAILED))
            self.assertEqual(answered, 200)
        finally:
            for s in clients:
                s.close()

    @unittest.skipIf(harness.ON_WINE, "the Server key's limits are read from the Linux registry here")
    def test_strangers_past_their_limit_still_get_the_refusal(self):
        self.registry.set_value(r"Software\Dravik\TOVL\Server", "MaxStrangers", "1")
        self.start_server()
        clients = [harness.connect(source="127.0.0.%d" % (2 + i % 8)) for i in range(40)]
        try:
            for s in clients:
                s.sendall(u32(harness.PL_OPEN, 1))
            answered = sum(1 for s in clients if harness.recv_exact(s, 4) == u32(harness.PL_OPEN_FAILED))
            self.assertEqual(answered, 40)
            # Each ends with a normal close, not a reset that could have
            # wiped out the refusal before it was read.
            for s in clients:
                self.assertEqual(s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR), 0)
                self.assertEqual(s.recv(16), b"")
        finally:
            for s in clients:
                s.close()

    def test_a_client_that_goes_away_mid_message_ends_only_its_session(self):
        self.start_server()
        with harness.connect() as s:
            s.sendall(b"\x02\x00")
        with harness.connect() as s:
            s.sendall(u32(harness.PL_OPEN))  # and no port number
        with harness.connect(source="127.0.0.2") as s:
            self.assert_refused(s)

    def test_killed_and_started_again_it_listens_at_once(self):
        server = self.start_server()
        with harness.connect(source="127.0.0.2") as s:
            self.assert_refused(s)
        # A connection left open by the old process keeps the port in use on
        # the old side; the new listener must still bind.
        lingering = harness.connect(source="127.0.0.3")
        self.addCleanup(lingering.close)
        server.stop()
        started = time.monotonic()
        self.start_server()
        self.assertLess(time.monotonic() - started, 20)
        with harness.connect(source="127.0.0.2") as s:
            self.assert_refused(s)

    def test_with_the_port_taken_the_server_runs_and_accepts_nothing(self):
        blocker = socket.socket()
        # Earlier connections may still be in TIME_WAIT on this port.
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        blocker.bind(("0.0.0.0", harness.SERVER_PORT))
        blocker.listen(5)
        self.addCleanup(blocker.close)
        server = self.start("tovlserver", "debug")
        time.sleep(3 if harness.ON_WINE else 1)
        self.assertTrue(server.alive())
        with harness.connect(source="127.0.0.2", timeout=5) as s:
            s.sendall(u32(harness.PL_OPEN, 1))
            accepted, _ = blocker.accept()
            with accepted:
                self.assertEqual(harness.recv_exact(accepted, 8), u32(harness.PL_OPEN, 1))
        self.assertTrue(server.alive())


class AccessOverTheWire(harness.ProgramTestCase):
    """The allowed-address list as a client meets it: COM4 is a test
    pseudo-terminal, so an allowed open is answered with a handle."""

    def setUp(self):
        super().setUp()
        self.registry.create_key(harness.IPADDR_KEY)
        ports = harness.ComPorts(self.registry)
        self.addCleanup(ports.cleanup)
        self.device = ports.map_pty(4)
        self.addCleanup(self.device.close)
        self.start("tovlserver", "debug")
        self.assertTrue(harness.wait_for_listener(timeout=30), "tovlserver does not listen on 4445")

    def opens(self, source):
        """Whether an open request from source gets the port."""
        with harness.connect(source=source) as s:
            reply = harness.open_request(s, 4)
            if reply == harness.PL_OPEN_FAILED:
                return False
            self.assertEqual(len(harness.recv_exact(s, 4)), 4)  # the line-state mask
            s.sendall(u32(harness.PL_CLOSE))
        # The port is free again once the session has ended.
        time.sleep(0.5)
        return True

    def test_exact_names_only(self):
        for name in ("127.0.0.01", "127.0.0.1 ", "0.0.0.0"):
            self.registry.allow(name)
        self.assertFalse(self.opens("127.0.0.1"))
        # Added while the server runs: taken at the next open request.
        self.registry.allow("127.0.0.1")
        self.assertTrue(self.opens("127.0.0.1"))
        self.assertFalse(self.opens("127.0.0.2"))

    def test_long_data_and_a_deleted_key_refuse(self):
        self.registry.set_value(harness.IPADDR_KEY, "127.0.0.1", "x" * 99)
        self.assertTrue(self.opens("127.0.0.1"))
        self.registry.set_value(harness.IPADDR_KEY, "127.0.0.1", "x" * 150)
        self.assertFalse(self.opens("127.0.0.1"))
        self.registry.allow("127.0.0.1")
        self.assertTrue(self.opens("127.0.0.1"))
        self.registry.delete_key(harness.IPADDR_KEY)
        self.assertFalse(self.opens("127.0.0.1"))


if __name__ == "__main__":
    unittest.main()
