"""tovlserver on Linux and the lock directory every user can write to:
something planted under one device's lock name refuses that device alone,
at once, and the log names the file."""
import os
import shutil
import socket
import tempfile
import time
import unittest

from harness import (ON_WINE, PL_OPEN_FAILED, ComPorts, ProgramTestCase, connect, open_request,
                     wait_for_listener)


@unittest.skipIf(ON_WINE, "lock files are the Linux server's")
class ServerLockFiles(ProgramTestCase):

    def test_a_fifo_as_one_lock_file_refuses_that_port_only(self):
        self.registry.allow("127.0.0.1")
        ports = ComPorts(self.registry)
        planted = ports.map_pty(1)
        self.addCleanup(planted.close)
        free = ports.map_pty(2)
        self.addCleanup(free.close)
        lock_dir = tempfile.mkdtemp(prefix="tovl-locks-")
        self.addCleanup(shutil.rmtree, lock_dir, True)
        fifo = os.path.join(lock_dir, "LCK.." + os.path.basename(planted.path))
        os.mkfifo(fifo)
        env = dict(self.registry.env, TOVL_LOCK_DIR=lock_dir)
        log_path = os.path.join(lock_dir, "server.log")
        with open(log_path, "wb") as log_file:
            self.start("tovlserver", "debug", env=env, stderr=log_file)
        self.assertTrue(wait_for_listener(), "server does not listen")

        refused = connect()
        self.addCleanup(refused.close)
        try:
            self.assertEqual(open_request(refused, 1), PL_OPEN_FAILED)
        except socket.timeout:
            self.fail("the open of COM1 waits on its lock file")
        opened = connect()
        self.addCleanup(opened.close)
        try:
            self.assertNotEqual(open_request(opened, 2), PL_OPEN_FAILED)
        except socket.timeout:
            self.fail("the open of COM2 waits behind COM1's lock file")

        def log():
            with open(log_path, "rb") as f:
                return f.read().decode("latin-1")

        # The refusal names the file, not only "busy".
        refusal = "COM1 (%s): busy, lock file %s is a FIFO" % (planted.path, fifo)
        deadline = time.monotonic() + 10
        while refusal not in log() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIn(refusal, log())
        self.assertTrue(os.path.exists(
            os.path.join(lock_dir, "LCK.." + os.path.basename(free.path))))


if __name__ == "__main__":
    unittest.main()
