"""The server's port session and port reader, end to end: a client on
loopback drives a pseudo-terminal that stands in for the server's real port,
and the test holds the other end of it. Runs against the Linux server and
against tovlserver.exe under Wine."""
import os
import random
import socket
import termios
import threading
import time
import unittest

from harness import (ON_WINE, cpu_seconds, PL_CLOSE, PL_DATA, PL_FLOW_CONTROL, PL_OPEN, PL_OPEN_FAILED,
                     PL_SETTINGS, ComPorts, ProgramTestCase, connect, open_request, open_session,
                     recv_exact, recv_message, settings_record, u32, wait_for_listener)

# "COM%d" without a device-namespace prefix names a device on Windows only
# for 1 to 9; COM1 is never used (Wine links it to the machine's ttyS0).
PORT = 5  # the pseudo-terminal most cases use
OTHER = 6  # a second pseudo-terminal
MISSING = 7  # mapped to a device that does not exist
ZERO = 0


def drain_messages(sock, seconds):
    """Every message the server sends within seconds."""
    messages = []
    sock.settimeout(seconds)
    try:
        while True:
            messages.append(recv_message(sock))
    except (socket.timeout, TimeoutError):
        pass
    finally:
        sock.settimeout(10.0)
    return messages


class PortSessionTest(ProgramTestCase):

    def setUp(self):
        super().setUp()
        self.registry.allow("127.0.0.1")
        self.ports = ComPorts(self.registry)
        self.addCleanup(self.ports.cleanup)
        self.pty = self.ports.map_pty(PORT)
        self.addCleanup(self.pty.close)
        self.other = self.ports.map_pty(OTHER)
        self.addCleanup(self.other.close)
        self.ports.map_missing(MISSING)
        self.ports.map_missing(ZERO)
        self.server = self.start("tovlserver", "debug")
        self.assertTrue(wait_for_listener(), "server does not listen")

    def session(self, port=PORT, **kwargs):
        sock = connect()
        self.addCleanup(sock.close)
        reply, mask = open_session(sock, port, **kwargs)
        return sock, reply, mask

    def assert_opens(self, port=PORT):
        sock, reply, mask = self.session(port)
        self.assertNotEqual(reply, PL_OPEN_FAILED)
        return sock

    def test_open_reply_settings_and_bytes_to_the_device(self):
        sock, reply, mask = self.session()
        self.assertNotEqual(reply, PL_OPEN_FAILED)
        # A pseudo-terminal has no modem registers to read.
        self.assertEqual(mask, 0)
        sock.sendall(u32(PL_SETTINGS) + settings_record(
            baud=57600, stop_bits=2, xon=0x11, xoff=0x13, xon_limit=100, xoff_limit=200,
            handshake=0x08 | 0x01, flow=0x01 | 0x02 | 0x40))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            attrs = self.pty.termios()
            if attrs[5] == termios.B57600:
                break
            time.sleep(0.05)
        iflag, _, cflag, _, ispeed, ospeed, _ = attrs
        self.assertEqual(ospeed, termios.B57600)
        self.assertTrue(cflag & termios.CSTOPB)
        self.assertTrue(cflag & termios.CRTSCTS)
        self.assertTrue(iflag & termios.IXON)
        self.assertTrue(iflag & termios.IXOFF)

        # The bytes arrive unchanged: no line-end mapping, no flow characters eaten.
        special = bytes([0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF, 0x0A, 0x0D, 0x7F, 0x03, 0x1A])
        sock.sendall(u32(PL_DATA, len(special)) + special)
        self.assertEqual(self.pty.read_exact(len(special)), special)

    def test_device_data_reaches_the_client_in_blocks_in_order(self):
        sock = self.assert_opens()
        data = bytes(random.Random(1).getrandbits(8) for _ in range(3000))
        self.pty.write_all(data)
        got = b""
        sock.settimeout(10.0)
        while len(got) < len(data):
            code, body = recv_message(sock)
            self.assertEqual(code, PL_DATA)
            self.assertGreater(len(body), 0)
            self.assertLessEqual(len(body), 1024)
            got += body
        self.assertEqual(got, data)
        self.assertEqual(drain_messages(sock, 0.5), [])

    def test_a_megabyte_each_way_arrives_intact(self):
        sock = self.assert_opens()
        rng = random.Random(2)
        to_device = rng.randbytes(1 << 20)
        from_device = rng.randbytes(1 << 20)
        received_device = bytearray()

        def device_side():
            self.pty.write_all(from_device, timeout=120)

        def device_reader():
            deadline = time.monotonic() + 120
            while len(received_device) < len(to_device) and time.monotonic() < deadline:
                received_device.extend(self.pty.read_some(0.2))

        threads = [threading.Thread(target=device_side), threading.Thread(target=device_reader)]
        for t in threads:
            t.start()

        def client_sender():
            for i in range(0, len(to_device), 4096):
                piece = to_device[i:i + 4096]
                sock.sendall(u32(PL_DATA, len(piece)) + piece)

        sender = threading.Thread(target=client_sender)
        sender.start()
        got = bytearray()
        sock.settimeout(60.0)
        while len(got) < len(from_device):
            code, body = recv_message(sock)
            self.assertEqual(code, PL_DATA)
            self.assertLessEqual(len(body), 1024)
            got.extend(body)
        sender.join(120)
        for t in threads:
            t.join(120)
        self.assertEqual(bytes(got), from_device)
        self.assertEqual(len(received_device), len(to_device))
        self.assertEqual(bytes(received_device), to_device)

    def test_line_requests_unknown_codes_and_empty_data(self):
        sock = self.assert_opens()
        sock.sendall(u32(PL_FLOW_CONTROL, 0))
        messages = drain_messages(sock, 1.5)
        self.assertEqual(len(messages), 1, messages)
        self.assertEqual(messages[0][0], PL_FLOW_CONTROL)

        # An undefined code is its four bytes alone.
        sock.sendall(u32(3) + u32(PL_DATA, 1) + b"X")
        self.assertEqual(self.pty.read_exact(1), b"X")
        # Length 0 writes nothing and needs nothing more.
        sock.sendall(u32(PL_DATA, 0) + u32(PL_DATA, 1) + b"Y")
        self.assertEqual(self.pty.read_exact(1), b"Y")
        self.assertEqual(self.pty.read_some(0.3), b"")

    def test_zero_time_outs_deliver_only_full_reads(self):
        sock, reply, _ = self.session(timeouts=(0, 0, 0, 0, 0))
        self.assertNotEqual(reply, PL_OPEN_FAILED)
        data = random.Random(3).randbytes(3000)
        self.pty.write_all(data)
        messages = drain_messages(sock, 2.0)
        self.assertEqual([(c, len(b)) for c, b in messages], [(PL_DATA, 1024), (PL_DATA, 1024)])
        self.assertEqual(b"".join(b for _, b in messages), data[:2048])
        # The rest completes a read once enough follows.
        self.pty.write_all(bytes(1024 - 952))
        code, body = recv_message(sock)
        self.assertEqual(body, data[2048:] + bytes(72))

    def test_idle_session_uses_no_processor_and_a_hung_up_device_ends_it(self):
        sock = self.assert_opens()
        pid = self.server.proc.pid
        time.sleep(0.5)
        idle_start = cpu_seconds(pid)
        time.sleep(2.0)
        idle_end = cpu_seconds(pid)
        self.assertIsNotNone(idle_start)
        limit = 0.3 if ON_WINE else 0.1  # seconds of processor time in 2 s
        self.assertLess(idle_end - idle_start, limit)
        self.pty.write_all(b"last")
        self.assertEqual(recv_message(sock), (PL_DATA, b"last"))
        self.pty.close()  # the device hangs up
        # The session ends: the client learns it from the connection's close.
        sock.settimeout(5)
        self.assertEqual(sock.recv(16), b"")
        self.assertTrue(self.server.alive())

    @unittest.skipIf(ON_WINE, "the rate is set through termios2 by the Linux server only")
    def test_any_rate_is_set_and_a_zero_rate_refused(self):
        sock = self.assert_opens()
        rate = self.pty.speed

        sock.sendall(u32(PL_SETTINGS) + settings_record(baud=31250) + u32(PL_DATA, 1) + b"1")
        self.assertEqual(self.pty.read_exact(1), b"1")  # the settings came first
        self.assertEqual(rate(), 31250)
        sock.sendall(u32(PL_SETTINGS) + settings_record(baud=0, stop_bits=2) + u32(PL_DATA, 1) + b"2")
        self.assertEqual(self.pty.read_exact(1), b"2")
        self.assertEqual(rate(), 31250)  # not B0: the line is not hung up
        self.assertFalse(self.pty.termios()[2] & termios.CSTOPB)  # the whole DCB was refused
        sock.sendall(u32(PL_SETTINGS) + settings_record(baud=19200, byte_size=7, parity=2)
                     + u32(PL_DATA, 1) + b"3")
        self.assertEqual(self.pty.read_exact(1), b"3")
        self.assertEqual(rate(), 19200)
        self.assertEqual(self.pty.termios()[5], termios.B19200)

    def test_port_zero_and_missing_device_are_refused(self):
        for number in (ZERO, MISSING):
            with self.subTest(port=number):
                sock = connect()
                self.addCleanup(sock.close)
                self.assertEqual(open_request(sock, number), PL_OPEN_FAILED)
                self.assertEqual(sock.recv(1), b"")  # the server closed the connection

    @unittest.skipIf(ON_WINE, "Wine does not enforce exclusive COM opens")
    def test_a_port_in_use_is_refused_and_the_first_session_goes_on(self):
        first = self.assert_opens()
        second = connect()
        self.addCleanup(second.close)
        self.assertEqual(open_request(second, PORT), PL_OPEN_FAILED)
        self.assertEqual(second.recv(1), b"")
        first.sendall(u32(PL_DATA, 3) + b"abc")
        self.assertEqual(self.pty.read_exact(3), b"abc")
        self.pty.write_all(b"xyz")
        self.assertEqual(recv_message(first), (PL_DATA, b"xyz"))

    def open_once_free(self, seconds):
        """A new session on the port, retried until the previous session
        has let go of it or seconds have passed."""
        deadline = time.monotonic() + seconds
        while True:
            probe = connect()
            self.addCleanup(probe.close)
            reply, _ = open_session(probe, PORT)
            if reply != PL_OPEN_FAILED or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertNotEqual(reply, PL_OPEN_FAILED)
        return probe

    def test_port_opens_again_after_close_and_after_a_drop(self):
        sock = self.assert_opens()
        sock.sendall(u32(PL_CLOSE))
        self.assertEqual(sock.recv(1), b"")  # port closed before the connection
        sock = self.assert_opens()
        # A client that stops sending: the server closes the port when it
        # sees the connection end.
        sock.shutdown(socket.SHUT_WR)
        self.assertEqual(sock.recv(1), b"")
        sock = self.assert_opens()
        sock.close()
        probe = self.open_once_free(2.0)
        probe.sendall(u32(PL_DATA, 2) + b"ok")
        self.assertEqual(self.pty.read_exact(2), b"ok")

    def test_silence_inside_a_message_ends_the_session(self):
        sock = self.assert_opens()
        started = time.monotonic()
        sock.sendall(u32(PL_DATA))
        sock.settimeout(20.0)
        self.assertEqual(sock.recv(1), b"")
        waited = time.monotonic() - started
        self.assertGreaterEqual(waited, 9.0)
        self.assertLess(waited, 15.0)
        other = self.assert_opens()
        other.sendall(u32(PL_DATA, 1) + b"Z")
        self.assertEqual(self.pty.read_exact(1), b"Z")

    def test_a_huge_length_keeps_memory_bounded(self):
        def rss_kib():
            try:
                with open("/proc/%d/status" % self.server.proc.pid) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            return int(line.split()[1])
            except OSError:
                pass
            return None

        sock = self.assert_opens()
        before = rss_kib()
        stop = threading.Event()
        drained = [0]

        def drain():
            while not stop.is_set():
                drained[0] += len(self.pty.read_some(0.1))

        drainer = threading.Thread(target=drain)
        drainer.start()
        try:
            sock.sendall(u32(PL_DATA, 0x7FFFFFF0))
            piece = bytes(range(256)) * 256
            for _ in range(128):  # 8 MiB
                sock.sendall(piece)
            after = rss_kib()
            sock.close()
            deadline = time.monotonic() + 60
            while drained[0] < 8 << 20 and time.monotonic() < deadline:
                time.sleep(0.1)
        finally:
            stop.set()
            drainer.join()
        self.assertEqual(drained[0], 8 << 20)
        self.assertTrue(self.server.alive())
        self.assertIsNotNone(before)
        self.assertIsNotNone(after)
        growth_limit = (32 if ON_WINE else 16) * 1024
        self.assertLess(after - before, growth_limit, "server memory grew by %d KiB" % (after - before))
        # The next client is served once the dropped session has ended.
        probe = self.open_once_free(5.0)
        probe.sendall(u32(PL_DATA, 4) + b"next")
        self.assertEqual(self.pty.read_exact(4), b"next")

    def test_random_bytes_from_a_refused_address(self):
        rng = random.Random(4)
        count = 100 if ON_WINE else 300
        for i in range(count):
            try:
                s = connect(source="127.0.0.2", timeout=5)
            except OSError:
                continue
            try:
                blob = rng.randbytes(rng.randint(1, 64))
                if i % 10 == 0:
                    blob = u32(PL_OPEN, rng.choice([PORT, OTHER, MISSING, ZERO])) + blob
                s.sendall(blob)
            except OSError:
                pass
            finally:
                s.close()
        self.assertTrue(self.server.alive())
        sock = self.assert_opens()
        sock.sendall(u32(PL_DATA, 5) + b"after")
        self.assertEqual(self.pty.read_exact(5), b"after")


if __name__ == "__main__":
    unittest.main()
