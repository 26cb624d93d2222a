"""The services' command line: setup, delete, debug and the service path."""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import harness
from harness import ON_WINE


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@unittest.skipIf(ON_WINE, "systemd mapping of the Linux build")
class SystemdCommands(unittest.TestCase):
    def setUp(self):
        self.unit_dir = tempfile.mkdtemp(prefix="tovl-systemd-")
        self.addCleanup(shutil.rmtree, self.unit_dir, True)
        self.env = dict(os.environ, TOVL_SYSTEMD_DIR=self.unit_dir)
        self.env.pop("NOTIFY_SOCKET", None)
        self.env.pop("INVOCATION_ID", None)

    def run_cmd(self, program, *args, env=None):
        return harness.run_program(program, *args, env=env or self.env)

    def test_setup_and_delete_round_trip(self):
        for program in ("tovlserver", "tovlclient"):
            path = os.path.realpath(os.path.join(harness.BIN_DIR, program))
            unit = os.path.join(self.unit_dir, program + ".service")
            link = os.path.join(self.unit_dir, "multi-user.target.wants", program + ".service")
            self.assertEqual(self.run_cmd(program, "setup"),
                             (0, 'Successfully registered "%s"\n' % path))
            with open(unit) as f:
                text = f.read()
            self.assertIn('ExecStart="%s"\n' % path, text)
            for line in ("Type=notify", "After=network-online.target",
                         "Wants=network-online.target", "Restart=on-failure",
                         "LimitNOFILE=65536", "StandardOutput=journal", "StandardError=journal",
                         "NoNewPrivileges=yes", "ProtectSystem=strict", "ProtectHome=yes",
                         "PrivateTmp=yes", "SystemCallFilter=@system-service",
                         "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX", "DevicePolicy=closed"):
                self.assertIn(line + "\n", text, program)
            self.assertIn("DeviceAllow=char-pts rw\n", text)
            if program == "tovlserver":
                self.assertIn("ReadWritePaths=-/run/lock\n", text)
            else:
                self.assertIn("DeviceAllow=/dev/ptmx rw\n", text)
            self.check_exposure(unit, 2.5)
            self.assertIn("WantedBy=multi-user.target\n", text)
            self.assertEqual(os.path.realpath(link), unit)
            self.assertEqual(self.run_cmd(program, "setup"), (2, "Registration error!\n"))
            self.assertEqual(self.run_cmd(program, "delete"), (0, "Service deleted\n"))
            self.assertFalse(os.path.lexists(unit))
            self.assertFalse(os.path.lexists(link))
            self.assertEqual(self.run_cmd(program, "delete"), (2, "Can't open service\n"))

    def check_exposure(self, unit, limit):
        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            return
        proc = subprocess.run([analyze, "security", "--offline=yes", unit],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        found = re.search(r"Overall exposure level for \S+: ([0-9.]+)", proc.stdout.decode())
        self.assertIsNotNone(found, proc.stdout.decode())
        print("\n%s exposure %s" % (os.path.basename(unit), found.group(1)))
        self.assertLessEqual(float(found.group(1)), limit)

    def test_help_and_version(self):
        for program in ("tovlserver", "tovlclient"):
            self.assertEqual(self.run_cmd(program, "--version"), (0, program + " 1.0.0.1\n"))
            code, out = self.run_cmd(program, "--help")
            self.assertEqual(code, 0)
            self.assertTrue(out.startswith("usage: %s [setup | delete | debug" % program), out)

    def test_inherited_invocation_id_without_notify_socket_is_a_prompt(self):
        env = dict(self.env, INVOCATION_ID="0123456789abcdef")
        self.assertEqual(self.run_cmd("tovlserver", env=env), (0, ""))

    def test_command_words_ignore_case_and_further_arguments(self):
        self.assertEqual(self.run_cmd("tovlserver", "SeTuP", "delete")[0], 0)
        self.assertEqual(self.run_cmd("tovlserver", "DELETE", "setup"), (0, "Service deleted\n"))

    def test_without_a_service_manager_either_command_cannot_open_it(self):
        env = dict(self.env, TOVL_SYSTEMD_DIR=os.path.join(self.unit_dir, "missing"))
        self.assertEqual(self.run_cmd("tovlserver", "setup", env=env), (1, "Can't open SCM\n"))
        self.assertEqual(self.run_cmd("tovlclient", "delete", env=env), (1, "Can't open SCM\n"))

    def test_a_path_with_spaces_is_registered_quoted(self):
        folder = os.path.join(self.unit_dir, "Program Files", "tovl 1%")
        os.makedirs(folder)
        copy = os.path.join(folder, "tovlserver")
        shutil.copy(os.path.join(harness.BIN_DIR, "tovlserver"), copy)
        proc = subprocess.run([copy, "setup"], env=self.env, stdout=subprocess.PIPE, timeout=30)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(proc.stdout.decode(), 'Successfully registered "%s"\n' % copy)
        with open(os.path.join(self.unit_dir, "tovlserver.service")) as f:
            self.assertIn('ExecStart="%s"\n' % copy.replace("%", "%%"), f.read())

    def test_from_a_prompt_without_a_command_nothing_happens(self):
        for args in ((), ("start",), ("",)):
            start = time.monotonic()
            self.assertEqual(self.run_cmd("tovlserver", *args), (0, ""))
            self.assertLess(time.monotonic() - start, 5)

    def test_started_by_systemd_it_reports_ready_and_stops_on_sigterm(self):
        registry = harness.Registry()
        self.addCleanup(registry.cleanup)
        notify_path = os.path.join(self.unit_dir, "notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        notify.settimeout(10)
        self.addCleanup(notify.close)
        env = dict(registry.env, NOTIFY_SOCKET=notify_path, INVOCATION_ID="0123")
        server = harness.Program("tovlserver", env=env, stderr=subprocess.PIPE)
        self.addCleanup(server.stop)
        self.assertEqual(notify.recv(100), b"READY=1")
        self.assertTrue(harness.wait_for_listener(timeout=10), "the worker does not listen")
        # A session holds a connection; the stop still ends the process at once.
        with harness.connect() as held:
            server.proc.send_signal(signal.SIGTERM)
            self.assertEqual(server.proc.wait(timeout=5), 0)
            self.assertEqual(notify.recv(100), b"STOPPING=1")
            log = server.proc.stderr.read().decode()
            self.assertIn("tovlserver: started as a service\n", log)
            self.assertIn("tovlserver: stopping on request", log)
            held.settimeout(5)
            try:
                self.assertEqual(held.recv(10), b"")
            except ConnectionResetError:
                pass  # dropped by a reset: as good as an end


class DebugMode(unittest.TestCase):
    def test_client_with_no_configured_port_returns(self):
        registry = harness.Registry()
        self.addCleanup(registry.cleanup)
        env = dict(registry.env)
        env.pop("NOTIFY_SOCKET", None)
        env.pop("INVOCATION_ID", None)
        # Under Wine the dispatcher call that follows takes ~10 s to fail.
        code, out = harness.run_program("tovlclient", "debug", env=env, timeout=60)
        self.assertEqual((code, out), (0, ""))

    @unittest.skipIf(ON_WINE, "CPU use is read from /proc for the native process")
    def test_server_debug_stays_alive_without_using_the_processor(self):
        registry = harness.Registry()
        self.addCleanup(registry.cleanup)
        blocker = socket.socket()
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        blocker.bind(("0.0.0.0", harness.SERVER_PORT))
        blocker.listen(1)
        self.addCleanup(blocker.close)
        # With 4445 taken the worker returns at once; debug mode waits on.
        server = harness.Program("tovlserver", "debug", env=registry.env)
        self.addCleanup(server.stop)
        time.sleep(1.0)
        self.assertTrue(server.alive())
        used = cpu_seconds(server.proc.pid)
        time.sleep(2.0)
        self.assertTrue(server.alive())
        self.assertLess(cpu_seconds(server.proc.pid) - used, 0.05)


@unittest.skipUnless(ON_WINE, "the Windows service control manager under Wine")
class WindowsServiceManager(unittest.TestCase):
    def wine(self, *args, timeout=60):
        proc = subprocess.run([harness.WINE_RUN, *args], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=timeout)
        return proc.returncode, proc.stdout.decode("latin-1")

    def delete_quietly(self, program):
        harness.run_program(program, "delete")

    def test_setup_and_delete_round_trip(self):
        for program in ("tovlserver", "tovlclient"):
            self.addCleanup(self.delete_quietly, program)
            code, out = harness.run_program(program, "setup")
            self.assertEqual(code, 0, out)
            self.assertRegex(out, r'^Successfully registered "[A-Z]:\\.*\\%s\.exe"\r?\n$' % program)
            self.assertEqual(harness.run_program(program, "SETUP"), (2, "Registration error!\r\n"))
            self.assertEqual(harness.run_program(program, "delete"), (0, "Service deleted\r\n"))
            self.assertEqual(harness.run_program(program, "Delete"), (2, "Can't open service\r\n"))

    def test_without_a_command_nothing_is_printed(self):
        # Outside the service manager the dispatcher call fails after ~10 s.
        self.assertEqual(harness.run_program("tovlserver", timeout=60), (0, ""))

    def test_service_started_by_the_manager_listens_and_stops(self):
        registry = harness.Registry()
        self.addCleanup(registry.cleanup)
        self.addCleanup(self.delete_quietly, "tovlserver")
        self.assertEqual(harness.run_program("tovlserver", "setup")[0], 0)
        self.addCleanup(self.wine, "net", "stop", "tovlserver")
        code, out = self.wine("net", "start", "tovlserver")
        self.assertEqual(code, 0, out)
        self.assertTrue(harness.wait_for_listener(timeout=20), "the service's worker does not listen")
        with harness.connect() as s:
            # Nobody is allowed: the open request is refused.
            self.assertEqual(harness.open_request(s, 3), harness.PL_OPEN_FAILED)
        # The process ends as soon as the stop is reported, so Wine's `net`
        # may lose its answer ("Broken pipe"); the listener going away is
        # what shows the stop.
        self.wine("net", "stop", "tovlserver")
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and harness.wait_for_listener(timeout=0.5):
            time.sleep(0.5)
        self.assertFalse(harness.wait_for_listener(timeout=0.5), "still listening after the stop")


if __name__ == "__main__":
    unittest.main()
