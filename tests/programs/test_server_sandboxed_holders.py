"""tovlserver with the rights and the /proc its systemd unit gives it (a
reduced capability set, /proc mounted hidepid=ptraceable,subset=pid): a
device another program holds, as root or as another user, is still refused
and the holder named; without the right to look into other processes the
server says so when it starts."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import (ON_WINE, PL_OPEN_FAILED, ProgramTestCase, connect, open_request,
                     program_command, serve_ptys, wait_for_listener)

UNIT_CAPS = "+dac_override,+net_bind_service,+sys_ptrace"
UNSEEN = "the open files of other processes cannot be seen"


def sandbox_usable():
    if os.geteuid() != 0 or not shutil.which("setpriv") or not shutil.which("unshare"):
        return False
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                            "mount -t proc -o hidepid=ptraceable,subset=pid proc /proc"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return probe.returncode == 0


@unittest.skipIf(ON_WINE, "the sandbox is the Linux unit's")
@unittest.skipUnless(sandbox_usable(), "needs root, setpriv and a /proc of its own")
class SandboxedHolders(ProgramTestCase):

    def start_sandboxed(self, caps, hidepid):
        log_dir = tempfile.mkdtemp(prefix="tovl-sandbox-")
        self.addCleanup(shutil.rmtree, log_dir, True)
        self.log_path = os.path.join(log_dir, "server.log")
        command = " ".join(program_command("tovlserver", "debug"))
        script = ("mount -t proc -o hidepid=%s,subset=pid proc /proc && "
                  "exec setpriv --bounding-set -all,%s %s" % (hidepid, caps, command))
        with open(self.log_path, "wb") as log:
            proc = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", script],
                                    env=self.registry.env, stdout=subprocess.DEVNULL, stderr=log,
                                    stdin=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(lambda: (os.killpg(proc.pid, 9), proc.wait(10)))
        self.assertTrue(wait_for_listener(), "server does not listen")

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def hold(self, pty, *user):
        """A process that keeps the port's device open, as user (setpriv
        arguments) or as root with every capability."""
        os.chmod(pty.path, 0o666)
        with open(pty.path, "rb", buffering=0) as device:
            holder = subprocess.Popen(["setpriv", *user, "sleep", "60"] if user else ["sleep", "60"],
                                      stdin=device, stdout=subprocess.DEVNULL)
        self.addCleanup(lambda: (holder.kill(), holder.wait(10)))
        return holder

    def test_holders_of_any_user_are_refused_and_named(self):
        ptys = serve_ptys(self, 1, 2)
        by_root = self.hold(ptys[1])
        by_nobody = self.hold(ptys[2], "--reuid=65534", "--regid=65534", "--clear-groups")
        self.start_sandboxed(UNIT_CAPS, "ptraceable")
        for number, holder in ((1, by_root), (2, by_nobody)):
            sock = connect()
            self.addCleanup(sock.close)
            self.assertEqual(open_request(sock, number), PL_OPEN_FAILED, "COM%d" % number)
            refusal = "COM%d (%s): busy, held by pid %d (sleep)" % (number, ptys[number].path,
                                                                    holder.pid)
            deadline = time.monotonic() + 10
            while refusal not in self.log() and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertIn(refusal, self.log())

    def test_without_the_right_to_look_the_server_says_so_at_start(self):
        serve_ptys(self, 1)
        self.start_sandboxed("+dac_override,+net_bind_service", "invisible")
        self.assertIn(UNSEEN, self.log())


if __name__ == "__main__":
    unittest.main()
