"""The server's RFC 2217 listener, end to end, with pyserial as the client
and a pseudo-terminal as the real port. Runs against the Linux server and
against tovlserver.exe under Wine."""
import os
import socket
import sys
import termios
import time
import unittest

import harness
import test_server_hostile_network as hostile
from harness import (ON_WINE, PL_DATA, PL_OPEN_FAILED, ComPorts, ProgramTestCase, connect,
                     cpu_seconds, open_session, recv_message, u32, wait_for_listener)

try:
    import serial
except ImportError:  # pyserial is Debian's package, in the system Python's path
    sys.path.append("/usr/lib/python3/dist-packages")
    import serial

RFC2217_KEY = r"Software\Dravik\TOVL\Rfc2217"
PORT = 5
TCP_PORT = 7005


def serve_pty_over_rfc2217(case, *allowed):
    """Allows the addresses, maps COM<PORT> to a pty (case.pty), gives it an
    RFC 2217 listener and starts the server (case.server)."""
    for address in allowed:
        case.registry.allow(address)
    case.ports = ComPorts(case.registry)
    case.addCleanup(case.ports.cleanup)
    case.pty = case.ports.map_pty(PORT)
    case.addCleanup(case.pty.close)
    case.registry.set_value(RFC2217_KEY, "COM%d" % PORT, str(TCP_PORT))
    case.server = case.start("tovlserver", "debug")
    case.assertTrue(wait_for_listener(TCP_PORT), "no RFC 2217 listener")
    case.assertTrue(wait_for_listener(), "the native listener is gone")


IAC, SB, SE = 255, 250, 240


def com_port_command(code, value):
    """IAC SB COM-PORT-OPTION code value IAC SE, 0xFF doubled in the value."""
    return bytes([IAC, SB, 44, code]) + value.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


def read_answer(sock, code, timeout=10.0):
    """The value of the server's next Com Port answer with code; what comes
    before it (offers, notices, data) is passed over."""
    buffer = b""
    head = bytes([IAC, SB, 44, code])
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        start = buffer.find(head)
        end = buffer.find(bytes([IAC, SE]), start + len(head)) if start >= 0 else -1
        if end >= 0:
            return buffer[start + len(head):end].replace(b"\xff\xff", b"\xff")
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            got = sock.recv(4096)
        except socket.timeout:
            break
        if not got:
            break
        buffer += got
    raise AssertionError("no answer %d from the server" % code)


class Rfc2217Test(ProgramTestCase):

    def setUp(self):
        super().setUp()
        serve_pty_over_rfc2217(self, "127.0.0.1")

    def client(self, baud=9600):
        # The listener probe of setUp was a session too: its port may take a
        # moment to be free again.
        deadline = time.monotonic() + 5
        while True:
            try:
                port = serial.serial_for_url("rfc2217://127.0.0.1:%d" % TCP_PORT, baudrate=baud,
                                             timeout=5)
                break
            except (serial.SerialException, OSError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self.addCleanup(port.close)
        return port

    def device_speed(self):
        return termios.tcgetattr(self.pty.master)[4]

    def test_data_both_ways_with_iac_and_speeds_reach_the_device(self):
        port = self.client(115200)
        data = bytes(range(256)) * 4
        port.write(data)
        self.assertEqual(self.pty.read_exact(len(data)), data)
        self.pty.write_all(b"\xff\xffx\xff")
        self.assertEqual(port.read(4), b"\xff\xffx\xff")
        self.assertEqual(self.device_speed(), termios.B115200)
        port.baudrate = 57600
        port.stopbits = serial.STOPBITS_TWO
        port.rtscts = True
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and self.device_speed() != termios.B57600:
            time.sleep(0.05)
        attrs = termios.tcgetattr(self.pty.master)
        self.assertEqual(attrs[4], termios.B57600)
        self.assertTrue(attrs[2] & termios.CSTOPB)
        self.assertTrue(attrs[2] & termios.CRTSCTS)

    @unittest.skipIf(ON_WINE, "the device holds the output through the Linux tty's XON/XOFF")
    def test_data_in_front_of_a_speed_change_reaches_the_device_at_the_old_speed(self):
        time.sleep(0.5)  # the listener probe's session ends
        sock = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=10)
        self.addCleanup(sock.close)
        sock.sendall(com_port_command(5, b"\x02"))  # XON/XOFF
        self.assertEqual(read_answer(sock, 105), b"\x02")
        iflag = self.pty.termios()[0]
        self.assertEqual(iflag & (termios.IXON | termios.IXOFF), termios.IXON | termios.IXOFF)
        before = self.pty.speed()
        # XOFF from the device: the port's output waits for XON.
        self.pty.write_all(b"\x13")
        time.sleep(0.2)
        sock.sendall(b"held" + com_port_command(1, (57600).to_bytes(4, "big")))
        # The rate must not change while the data in front of it waits.
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            self.assertEqual(self.pty.speed(), before, "the rate changed before the data went out")
            time.sleep(0.05)
        self.pty.write_all(b"\x11")
        self.assertEqual(self.pty.read_exact(4), b"held")
        self.assertEqual(read_answer(sock, 101), (57600).to_bytes(4, "big"))
        self.assertEqual(self.pty.speed(), 57600)

    def test_no_flow_control_clears_the_handshake_the_device_started_with(self):
        attrs = self.pty.termios()
        attrs[2] |= termios.CRTSCTS
        termios.tcsetattr(self.pty.master, termios.TCSANOW, attrs)
        self.assertTrue(self.pty.termios()[2] & termios.CRTSCTS)
        port = self.client()  # rtscts=False: SET-CONTROL "no flow control", answered
        port.write(b"n")
        self.assertEqual(self.pty.read_exact(1), b"n")
        attrs = self.pty.termios()
        self.assertFalse(attrs[2] & termios.CRTSCTS)
        self.assertFalse(attrs[0] & (termios.IXON | termios.IXOFF))

    def test_line_requests_are_answered_and_an_idle_session_uses_no_processor(self):
        port = self.client()
        # pyserial waits for each answer and raises unless it carries the
        # value asked for.
        port.break_condition = True
        port.break_condition = False
        port.reset_input_buffer()
        port.reset_output_buffer()
        self.assertFalse(port.cts)  # a pseudo-terminal has no modem lines
        pid = self.server.proc.pid
        time.sleep(0.5)
        idle_start = cpu_seconds(pid)
        time.sleep(2.0)
        idle_end = cpu_seconds(pid)
        self.assertIsNotNone(idle_start)
        limit = 0.3 if ON_WINE else 0.1  # seconds of processor time in 2 s
        self.assertLess(idle_end - idle_start, limit)
        port.write(b"still")
        self.assertEqual(self.pty.read_exact(5), b"still")

    @unittest.skipIf(ON_WINE, "the custom-speed read-back needs the Linux tty")
    def test_custom_speed_reaches_the_device(self):
        port = self.client(250000)
        port.write(b"z")
        self.assertEqual(self.pty.read_exact(1), b"z")
        self.assertEqual(self.pty.speed(), 250000)

    @unittest.skipIf(ON_WINE, "Wine does not enforce exclusive COM opens")
    def test_one_session_per_port_across_both_protocols(self):
        port = self.client()
        sock = connect()
        self.addCleanup(sock.close)
        reply, _ = open_session(sock, PORT)
        self.assertEqual(reply, PL_OPEN_FAILED)
        port.close()
        time.sleep(0.5)
        sock2 = connect()
        self.addCleanup(sock2.close)
        reply, _ = open_session(sock2, PORT)
        self.assertNotEqual(reply, PL_OPEN_FAILED)
        with self.assertRaises((serial.SerialException, OSError)):
            serial.serial_for_url("rfc2217://127.0.0.1:%d" % TCP_PORT, timeout=3).close()

    def test_native_sessions_run_beside_an_rfc2217_session(self):
        other = self.ports.map_pty(PORT + 1)
        self.addCleanup(other.close)
        port = self.client()
        sock = connect()
        self.addCleanup(sock.close)
        reply, _ = open_session(sock, PORT + 1)
        self.assertNotEqual(reply, PL_OPEN_FAILED)
        sock.sendall(u32(PL_DATA, 3) + b"nat")
        self.assertEqual(other.read_exact(3), b"nat")
        other.write_all(b"ive")
        self.assertEqual(recv_message(sock), (PL_DATA, b"ive"))
        port.write(b"rfc")
        self.assertEqual(self.pty.read_exact(3), b"rfc")

    def test_an_unlisted_address_is_closed_at_once(self):
        sock = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=5, source_address=("127.0.0.2", 0))
        self.addCleanup(sock.close)
        try:
            self.assertEqual(sock.recv(100), b"")
        except ConnectionResetError:
            pass
        # The port was never opened: a listed client gets it at once.
        self.client().write(b"k")
        self.assertEqual(self.pty.read_exact(1), b"k")


@unittest.skipIf(ON_WINE, "network namespaces and black-holed routes are Linux cases")
@unittest.skipIf(harness.SANITIZED, "keep-alive timing: the plain build covers it")
class Rfc2217VanishedClientTest(ProgramTestCase):
    """A client whose packets are black-holed frees its port as a native
    client does; runs in a private network namespace of its own."""

    def setUp(self):
        if not hostile.IN_NAMESPACE:
            if not hostile.can_unshare():
                self.skipTest("no private network namespace can be made here")
            rc, output = hostile.run_in_private_namespace("test_rfc2217." + self.id().split(".", 1)[1])
            print(output)
            self.assertEqual(rc, 0, output)
            self.skipTest("ran in a private network namespace (above)")
        super().setUp()
        serve_pty_over_rfc2217(self, "127.0.0.1", "127.0.0.5")

    def native_open(self):
        with connect() as s:
            reply, _ = open_session(s, PORT)
            return reply != PL_OPEN_FAILED

    def test_a_vanished_client_frees_its_port(self):
        time.sleep(0.5)  # the listener probe's session ends
        gone = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=5,
                                        source_address=("127.0.0.5", 0))
        self.addCleanup(gone.close)
        self.assertTrue(gone.recv(3))  # the session has started: the port is open
        self.assertFalse(self.native_open(), "the port was not held")
        hostile.HostileNetwork.black_hole("127.0.0.5")
        started = time.monotonic()
        freed = None
        while time.monotonic() - started < 60:
            if self.native_open():
                freed = time.monotonic() - started
                break
            time.sleep(1)
        self.assertIsNotNone(freed, "the port was still held after 60 s")
        print("port freed %.1f s after the RFC 2217 client vanished" % freed)
        self.assertLess(freed, 31)


if __name__ == "__main__":
    unittest.main()
