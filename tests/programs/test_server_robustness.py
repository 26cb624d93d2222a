"""The server against peers and devices that misbehave: resets and
half-closes at every stage of both protocols, strangers that trickle, a
device that takes no data while its client leaves, a device that hangs up.
The server must keep serving through all of it, and free each port as soon
as its session cannot go on."""
import fcntl
import os
import socket
import struct
import termios
import time
import unittest

import harness
from harness import (ON_WINE, PL_DATA, PL_OPEN, PL_OPEN_FAILED, ProgramTestCase, connect,
                     open_session, u32, wait_for_listener)

RFC2217_KEY = r"Software\Dravik\TOVL\Rfc2217"
PORT = 5
TCP_PORT = 7005


def reset(sock):
    """Closes with a reset instead of a FIN."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def closed_within(sock, seconds):
    """True when the server closes sock within seconds (EOF or reset)."""
    sock.settimeout(seconds)
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            if sock.recv(65536) == b"":
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except (socket.timeout, TimeoutError):
        return False
    return False


class Robustness(ProgramTestCase):

    def setUp(self):
        super().setUp()
        self.pty = harness.serve_ptys(self, PORT)[PORT]
        self.registry.set_value(RFC2217_KEY, "COM%d" % PORT, str(TCP_PORT))
        self.log = open(os.environ.get("TOVL_DEBUG_LOG", os.devnull), "w")
        self.addCleanup(self.log.close)
        self.server = self.start("tovlserver", "debug", stderr=self.log)
        self.assertTrue(wait_for_listener(), "server does not listen")
        self.assertTrue(wait_for_listener(TCP_PORT), "no RFC 2217 listener")

    def open_port(self, timeout=10, **kwargs):
        """A listed client's session of the port, had within timeout seconds
        (the port of an ending session may take a moment to be free)."""
        deadline = time.monotonic() + timeout
        while True:
            s = connect()
            reply, _ = open_session(s, PORT, **kwargs)
            if reply != PL_OPEN_FAILED:
                return s
            s.close()
            self.assertLess(time.monotonic(), deadline, "COM%d stayed held" % PORT)
            time.sleep(0.1)

    def assert_port_opens(self, timeout=10):
        self.open_port(timeout).close()

    def test_resets_and_half_closes_at_every_stage_leave_the_server_serving(self):
        stages = [
            ("127.0.0.2", b""),  # a stranger, before any byte
            ("127.0.0.2", u32(PL_OPEN)[:3]),  # a stranger, mid-code
            ("127.0.0.2", u32(PL_DATA, 0xFFFFFFFF) + b"xy"),  # a stranger's payload
            ("127.0.0.1", b""),  # listed, before any byte
            ("127.0.0.1", u32(PL_OPEN, PORT)),  # listed, after the open request
            ("127.0.0.1", u32(PL_OPEN, PORT) + u32(0xFFFFFFFF, 0)),  # mid time-outs
        ]
        for round_ in range(10):
            for source, data in stages:
                s = connect(source=source)
                if data:
                    s.sendall(data)
                if round_ % 2:
                    s.shutdown(socket.SHUT_WR)  # half-close, then the reset
                reset(s)
            # A running session reset on both protocols.
            s = self.open_port()
            s.sendall(u32(PL_DATA, 3) + b"abc")
            reset(s)
            rfc = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=10)
            rfc.sendall(b"\xff\xfa\x2c\x01")  # a sub-negotiation cut short
            reset(rfc)
            self.assertTrue(self.server.alive(), "the server died in round %d" % round_)
        self.assert_port_opens()
        # Undefined codes from a listed client are still skipped.
        time.sleep(0.5)
        with connect() as s:
            s.sendall(u32(3, 4, 6, 8))
            reply, _ = open_session(s, PORT)
            self.assertNotEqual(reply, PL_OPEN_FAILED)

    def test_a_stranger_that_trickles_is_closed_within_its_stay(self):
        # Another code than PL_OPEN closes it before its payload is read.
        with connect(source="127.0.0.2") as s:
            started = time.monotonic()
            s.sendall(u32(PL_DATA, 0xFFFFFFF0) + b"x")
            self.assertTrue(closed_within(s, 5))
            print("a stranger's PL_DATA closed after %.2f s" % (time.monotonic() - started))
        # An open request a byte at a time is cut off at the end of its stay.
        with connect(source="127.0.0.2") as s:
            started = time.monotonic()
            closed = False
            for byte in u32(PL_OPEN) + u32(PORT)[:3]:
                try:
                    s.sendall(bytes([byte]))
                except (BrokenPipeError, ConnectionResetError):
                    closed = True
                    break
                if closed_within(s, 2):
                    closed = True
                    break
            closed = closed or closed_within(s, 10)
            stay = time.monotonic() - started
            print("a trickling stranger closed after %.1f s" % stay)
            self.assertTrue(closed)
            self.assertLess(stay, 13)
        # One that speaks plainly still gets exactly the refusal.
        with connect(source="127.0.0.2") as s:
            self.assertEqual(harness.open_request(s, PORT), PL_OPEN_FAILED)
            self.assertEqual(s.recv(16), b"")

    @unittest.skipIf(ON_WINE, "a pty's flow cannot be held from the device side under Wine")
    def test_a_device_that_takes_no_data_is_freed_when_its_client_leaves(self):
        # Writes without a time limit: only the client's leaving can end them.
        s = self.open_port(timeouts=(0xFFFFFFFF, 0, 0, 0, 0))
        # The test never reads the device: blocks go until the pty is full
        # and the server's write waits (what the pty holds stops growing).
        payload = b"z" * 8192
        held = -1
        for sent in range(1, 200):
            s.sendall(u32(PL_DATA, len(payload)) + payload)
            time.sleep(0.3)
            now = struct.unpack("i", fcntl.ioctl(self.pty.master, termios.FIONREAD, b"\0" * 4))[0]
            if now == held:
                break
            held = now
        self.assertEqual(now, held, "the device took everything")
        time.sleep(0.5)
        started = time.monotonic()
        s.close()
        self.assert_port_opens(timeout=15)
        print("port freed %.2f s after the client left a stuck write (%d bytes held by the pty)" %
              (time.monotonic() - started, held))

    @unittest.skipIf(ON_WINE, "the hang-up of a pty's master is a Linux case")
    def test_a_device_that_hangs_up_ends_the_session_on_both_protocols(self):
        s = self.open_port()
        self.addCleanup(s.close)
        self.pty.close()
        started = time.monotonic()
        self.assertTrue(closed_within(s, 5), "the session went on without its device")
        print("native session ended %.2f s after the device hung up" % (time.monotonic() - started))
        self.assertLess(time.monotonic() - started, 1.5)

        # The same over RFC 2217, on a fresh device.
        self.pty = self.ports.map_pty(PORT)
        self.addCleanup(self.pty.close)
        rfc = socket.create_connection(("127.0.0.1", TCP_PORT), timeout=10)
        self.addCleanup(rfc.close)
        rfc.settimeout(2)
        self.assertTrue(rfc.recv(64).startswith(b"\xff"), "no telnet offers")
        self.pty.close()
        started = time.monotonic()
        self.assertTrue(closed_within(rfc, 5), "the RFC 2217 session went on without its device")
        print("RFC 2217 session ended %.2f s after the device hung up" %
              (time.monotonic() - started))
        self.assertLess(time.monotonic() - started, 1.5)
        self.assertTrue(self.server.alive())


if __name__ == "__main__":
    unittest.main()
