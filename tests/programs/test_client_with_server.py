"""tovlclient with the real tovlserver on loopback: a pseudo-terminal is
the server's real port (the test plays the device) and another is the
client's virtual port (the test plays the application)."""
import os
import random
import time
import unittest

import harness as h


class ClientWithServer(h.ClientTestCase):
    """Runs against the server of the build under test (under Wine the
    Windows server); the client is always the Linux one."""

    def setUp(self):
        super().setUp()
        self.com = h.ComPorts(self.registry)
        self.addCleanup(self.com.cleanup)
        self.registry.allow("127.0.0.1")

    def start_server(self):
        server = self.start("tovlserver", "debug")
        self.assertTrue(h.wait_for_listener(), "tovlserver does not listen")
        return server

    def wait_termios(self, device, check, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if check(device.termios()):
                return True
            time.sleep(0.05)
        return check(device.termios())

    def test_one_session_with_data_both_ways(self):
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.configure_port(3, h.SERVER_PORT, 2)
        self.start_server()
        self.start_client([self.link(3)])
        opened_at = time.monotonic()
        app = self.app(3)
        app.write(b"A")
        self.assertEqual(device.read_exact(1, 20), b"A")
        print("open to first byte at the device: %.2f s" % (time.monotonic() - opened_at))
        data = bytes(range(256)) * 64
        app.write(data)
        self.assertEqual(device.read_exact(len(data), 20), data)
        device.write_all(data)
        self.assertEqual(app.read(len(data), 20), data)
        app.close()

    def test_address_not_allowed_prints_the_refusal(self):
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.registry.delete_value(h.IPADDR_KEY, "127.0.0.1")
        self.configure_port(3, h.SERVER_PORT, 2)
        self.start_server()
        client = self.start_client([self.link(3)])
        app = self.app(3)
        self.assertTrue(client.wait_for_text("ERROR open remote real ports!\n", 20))
        # The refused session hangs the application up.
        self.assertTrue(h.hung_up(app, 1.0))
        self.assertEqual(device.read_some(1.0), b"")

    @unittest.skipIf(h.ON_WINE, "the full session runs against the Linux server")
    def test_session_data_speed_close_and_reopen(self):
        import termios
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.configure_port(3, h.SERVER_PORT, 2)
        self.start_server()
        self.start_client([self.link(3)])
        opened_at = time.monotonic()
        app = self.app(3, baud=19200)
        app.write(b"A")
        first = device.read_exact(1, 15)
        self.assertEqual(first, b"A")
        print("open to first byte at the device: %.2f s" % (time.monotonic() - opened_at))
        self.assertTrue(self.wait_termios(device, lambda t: t[4] == termios.B19200))

        every_byte = bytes(range(256))
        app.write(every_byte)
        self.assertEqual(device.read_exact(256, 10), every_byte)
        device.write_all(every_byte)
        self.assertEqual(app.read(256, 10), every_byte)

        rng = random.Random(11)
        block = rng.randbytes(1 << 20)
        import threading
        got = {}
        reader = threading.Thread(target=lambda: got.update(down=device.read_exact(len(block), 60)))
        reader.start()
        start = time.monotonic()
        app.write(block)
        reader.join(70)
        self.assertTrue(got.get("down") == block, "data to the device changed")
        up_start = time.monotonic()
        writer = threading.Thread(target=device.write_all, args=(block, 60))
        writer.start()
        back = app.read(len(block), 60)
        writer.join(70)
        self.assertTrue(back == block, "data to the application changed")
        print("1 MiB to the device in %.2f s, 1 MiB back in %.2f s"
              % (up_start - start, time.monotonic() - up_start))

        # A speed change reaches the real port.
        app.set_speed(57600)
        self.assertTrue(self.wait_termios(device, lambda t: t[4] == termios.B57600))

        # Closing ends the server's session and frees the real port.
        app.close()
        time.sleep(1.5)
        app2 = self.app(3)
        app2.write(b"again")
        self.assertEqual(device.read_exact(5, 15), b"again")

    @unittest.skipIf(h.ON_WINE, "Wine does not open COM ports exclusively")
    def test_second_virtual_port_on_the_same_real_port_is_refused(self):
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.configure_port(3, h.SERVER_PORT, 2)
        self.configure_port(4, h.SERVER_PORT, 2)
        self.start_server()
        client = self.start_client([self.link(3), self.link(4)])
        app3 = self.app(3)
        app3.write(b"one")
        self.assertEqual(device.read_exact(3, 15), b"one")
        self.app(4)
        self.assertTrue(client.wait_for_text("ERROR open remote real ports!\n", 15))
        app3.write(b"two")
        self.assertEqual(device.read_exact(3, 10), b"two")

    @unittest.skipIf(h.ON_WINE, "runs against the Linux server")
    @unittest.skipIf(h.ON_WINE, "termios2 speeds of the Linux virtual port")
    def test_any_speed_reaches_the_device_before_the_data_written_after_it(self):
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.configure_port(4, h.SERVER_PORT, 2)
        self.start_server()
        self.start_client([self.link(4)])
        app = self.app(4)
        app.write(b"0")
        self.assertEqual(device.read_exact(1, 15), b"0")
        for baud in (250000, 3840, 115200):
            h.set_custom_speed(app.fd, baud)
            app.write(b"s")
            self.assertEqual(device.read_exact(1, 15), b"s")
            # Read when the byte has arrived: the speed was set before it.
            self.assertEqual(device.speed(), baud)

    @unittest.skipIf(h.ON_WINE, "runs against the Linux server")
    def test_a_short_use_is_delivered_to_the_device(self):
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.configure_port(3, h.SERVER_PORT, 2)
        self.start_server()
        self.start_client([self.link(3)])
        # Written and closed at once, as `echo ATZ > port` does.
        fd = os.open(self.link(3), os.O_WRONLY | os.O_NOCTTY)
        os.write(fd, b"ATZ\r")
        os.close(fd)
        self.assertEqual(device.read_exact(4, 20), b"ATZ\r")

    def test_killed_server_then_back(self):
        device = self.com.map_pty(2)
        self.addCleanup(device.close)
        self.configure_port(3, h.SERVER_PORT, 2)
        server = self.start_server()
        client = self.start_client([self.link(3)])
        app = self.app(3)
        app.write(b"x")
        self.assertEqual(device.read_exact(1, 15), b"x")
        server.stop()
        # The dropped connection hangs the application up.
        self.assertTrue(h.hung_up(app, 2.0))
        app.close()
        self.assertTrue(client.alive())
        self.start_server()
        app = self.app(3)
        app.write(b"z")
        self.assertEqual(device.read_exact(1, 15)[-1:], b"z")


if __name__ == "__main__":
    unittest.main()
