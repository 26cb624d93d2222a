"""tovlserver's diagnostics on Linux: one line on standard error per event,
each refusal with its cause, never a data byte; standard output stays
empty."""
import os
import tempfile
import time
import unittest

from harness import (ON_WINE, PL_CLOSE, PL_DATA, PL_OPEN_FAILED, ComPorts, ProgramTestCase,
                     connect, open_request, open_session, u32, wait_for_listener)


@unittest.skipIf(ON_WINE, "the Windows services log nothing")
class ServerLog(ProgramTestCase):

    def test_each_refusal_cause_and_a_working_session_are_logged(self):
        self.registry.allow("127.0.0.1")
        ports = ComPorts(self.registry)
        pty = ports.map_pty(5)
        self.addCleanup(pty.close)
        ports.map_missing(7)
        folder = tempfile.mkdtemp(prefix="tovl-log-")
        plain_file = os.path.join(folder, "not-a-device")
        open(plain_file, "w").close()
        ports.map(8, plain_file)
        log_path = os.path.join(folder, "server.log")
        with open(log_path, "wb") as log_file:
            server = self.start("tovlserver", "debug", stderr=log_file)
        self.assertTrue(wait_for_listener())

        def log():
            with open(log_path, "rb") as f:
                return f.read().decode("latin-1")

        def wait_log(text):
            deadline = time.monotonic() + 10
            while text not in log() and time.monotonic() < deadline:
                time.sleep(0.05)
            return text in log()

        working = connect()
        self.addCleanup(working.close)
        self.assertNotEqual(open_session(working, 5)[0], PL_OPEN_FAILED)
        for number, cause in ((7, "no such device"), (8, "is not a character device"), (5, "busy")):
            with self.subTest(port=number):
                sock = connect()
                self.addCleanup(sock.close)
                self.assertEqual(open_request(sock, number), PL_OPEN_FAILED)
                self.assertTrue(wait_log("refused 127.0.0.1"), log())
                self.assertTrue(wait_log(": COM%d (" % number), log())
                self.assertIn(cause, log())
        stranger = connect(source="127.0.0.2")
        self.addCleanup(stranger.close)
        self.assertEqual(open_request(stranger, 5), PL_OPEN_FAILED)
        self.assertTrue(wait_log("not on the allowed list"), log())
        working.sendall(u32(PL_DATA, 6) + b"secret" + u32(PL_CLOSE))
        self.assertEqual(pty.read_exact(6), b"secret")
        self.assertTrue(wait_log("ended: client closed"), log())
        text = log()
        self.assertIn("listening on [::]:4445 (IPv6 and IPv4)", text)
        self.assertIn("opened COM5 (%s) for 127.0.0.1" % pty.path, text)
        self.assertIn("COM7: device /nonexistent/tovl-test-com7 does not exist", text)
        self.assertIn("%s is not a character device" % plain_file, text)
        self.assertNotIn("secret", text)
        server.stop()
        self.assertEqual(server.output(), "")


if __name__ == "__main__":
    unittest.main()
