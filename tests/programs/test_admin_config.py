"""tovladmin's configuration commands on Linux (init, port, device, rfc2217,
check, --help, --version) against a temporary registry root."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (CONNECTIONS_KEY, DEVICES_KEY, IPADDR_KEY, SETTINGS_KEY, VIRTUAL_PORTS_KEY,
                     ProgramTestCase, PtyPort, program_command)

RFC2217_KEY = r"Software\Dravik\TOVL\Rfc2217"
RAW_KEY = r"Software\Dravik\TOVL\Raw"
SERVER_KEY = r"Software\Dravik\TOVL\Server"


class AdminConfigTest(ProgramTestCase):
    def admin(self, *args, extra_env=None):
        env = dict(self.registry.env)
        env.pop("DISPLAY", None)
        env.update(extra_env or {})
        proc = subprocess.run(program_command("tovladmin", *args), env=env, timeout=30,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode()

    def value(self, key, name):
        with open(os.path.join(self.registry._key_dir(key), name)) as f:
            return f.read()

    def test_version_and_help(self):
        self.assertEqual(self.admin("--version"), (0, "tovladmin 1.0.0.1\n", ""))
        code, out, _ = self.admin("--help")
        self.assertEqual(code, 0)
        self.assertIn("tovladmin check", out)

    def test_a_fresh_tree_is_reported_then_init_makes_add_work(self):
        code, out, _ = self.admin("check")
        self.assertEqual(code, 1)
        for key in (IPADDR_KEY, DEVICES_KEY, CONNECTIONS_KEY, SETTINGS_KEY, VIRTUAL_PORTS_KEY):
            self.assertIn("key HKEY_LOCAL_MACHINE\\%s is missing" % key, out)
        self.assertEqual(self.admin("init"), (0, "", ""))
        self.assertEqual(self.admin("add", "10.0.0.7"), (0, "", ""))
        self.assertEqual(self.admin("check"), (0, "no problem found\n", ""))

    def test_port_set_writes_what_the_client_reads_and_check_accepts_it(self):
        self.admin("init")
        self.admin("add", "10.0.0.7")
        device = PtyPort()
        self.addCleanup(device.close)
        links = tempfile.mkdtemp(prefix="tovl-links-")
        self.addCleanup(os.rmdir, links)
        self.assertEqual(self.admin("device", "set", "COM2", device.path)[0], 0)
        self.assertEqual(self.admin("port", "set", "3", "--server", "127.0.0.1:5000", "--com",
                                    "2", "--link", links + "/ttyV3"), (0, "", ""))
        self.assertEqual(self.admin("port", "set", "4", "--server", "10.0.0.9", "--com", "COM1",
                                    "--link", links + "/ttyV4", "--timeouts",
                                    "100;10;1000;10;1000"), (0, "", ""))
        self.assertEqual(self.value(CONNECTIONS_KEY, "REMOTEPORT3"), "127.0.0.1:5000;2")
        self.assertEqual(self.value(CONNECTIONS_KEY, "REMOTEPORT4"), "10.0.0.9;1")
        self.assertEqual(self.value(SETTINGS_KEY, "PORT3"), "-1;0;0;0;0")
        self.assertEqual(self.value(SETTINGS_KEY, "PORT4"), "100;10;1000;10;1000")
        self.assertEqual(self.value(VIRTUAL_PORTS_KEY, "VPORT3"), links + "/ttyV3")
        self.assertEqual(self.admin("check"), (0, "no problem found\n", ""))
        self.assertEqual(self.admin("rfc2217", "set", "COM2", "7002"), (0, "", ""))
        self.assertEqual(self.admin("rfc2217", "list"), (0, "COM2 = 7002\n", ""))
        self.assertEqual(self.admin("rfc2217", "set", "COM5", "7005"), (0, "", ""))
        self.assertEqual(self.admin("rfc2217", "remove", "COM2"), (0, "", ""))
        self.assertEqual(self.admin("rfc2217", "list"), (0, "COM5 = 7005\n", ""))
        self.assertEqual(self.admin("port", "remove", "4"), (0, "", ""))
        code, out, _ = self.admin("port", "list")
        self.assertNotIn("PORT4", out)
        self.assertIn("REMOTEPORT3 = 127.0.0.1:5000;2\n", out)

    def test_port_set_refuses_what_the_client_would_misread(self):
        self.admin("init")
        for server in ("bad host", "10.0.0.7:99999", "10.0.0.7:0", "[::1", "localhost:0"):
            code, _, err = self.admin("port", "set", "3", "--server", server, "--com", "2",
                                      "--link", "/dev/ttyV3")
            self.assertEqual(code, 2, server)
        self.assertEqual(self.admin("port", "set", "3", "--server", "10.0.0.7", "--com", "2",
                                    "--link", "/no/such/dir/ttyV3")[0], 2)
        self.assertFalse(os.listdir(self.registry._key_dir(CONNECTIONS_KEY)))

    def test_port_set_names_a_server_by_host_name_or_ipv6_beside_remoteport(self):
        self.admin("init")
        self.admin("add", "10.0.0.7")
        # localhost is this machine: its server's COM2 must be there too.
        device = PtyPort()
        self.addCleanup(device.close)
        self.assertEqual(self.admin("device", "set", "COM2", device.path)[0], 0)
        links = tempfile.mkdtemp(prefix="tovl-links-")
        self.addCleanup(os.rmdir, links)
        for n, server, written in (("3", "localhost", "localhost:4445"),
                                   ("4", "[2001:DB8::0:1]:5000", "[2001:db8::1]:5000")):
            self.registry.set_value(VIRTUAL_PORTS_KEY, "VPORT" + n, links + "/ttyV" + n)
            self.assertEqual(self.admin("port", "set", n, "--server", server, "--com", "2",
                                        "--link", links + "/ttyV" + n), (0, "", ""))
            self.assertEqual(self.value(CONNECTIONS_KEY, "REMOTEHOST" + n), written)
            self.assertEqual(self.value(CONNECTIONS_KEY, "REMOTEPORT" + n), "0.0.0.0;2")
        self.assertEqual(self.admin("check"), (0, "no problem found\n", ""))
        # A dotted address again: REMOTEPORT alone, as before.
        self.assertEqual(self.admin("port", "set", "4", "--server", "10.0.0.9:5000", "--com", "2",
                                    "--link", links + "/ttyV4"), (0, "", ""))
        self.assertEqual(self.value(CONNECTIONS_KEY, "REMOTEPORT4"), "10.0.0.9:5000;2")
        self.assertNotIn("REMOTEHOST4", os.listdir(self.registry._key_dir(CONNECTIONS_KEY)))

    def test_check_explains_a_name_that_does_not_resolve_and_non_canonical_entries(self):
        self.admin("init")
        code, _, err = self.admin("port", "set", "3", "--server", "nothere.invalid", "--com", "2",
                                  "--link", "/dev/ttyV3")
        self.assertEqual(code, 0)
        self.assertIn("warning: REMOTEHOST3 = \"nothere.invalid:4445\": the name nothere.invalid"
                      " does not resolve", err)
        self.registry.allow("2001:db8:0:0::1")
        code, out, _ = self.admin("check")
        self.assertEqual(code, 1)
        self.assertIn("REMOTEHOST3 = \"nothere.invalid:4445\": the name nothere.invalid does not "
                      "resolve", out)
        self.assertIn("every open of virtual port 3 fails until it does", out)
        self.assertIn('allowed address "2001:db8:0:0::1" is not in canonical form: the server '
                      "writes a client's address as 2001:db8::1", out)

    def test_check_explains_each_problem(self):
        self.admin("init")
        r = self.registry
        r.set_value(CONNECTIONS_KEY, "REMOTEPORT1", "10.0.0.7;2")  # no PORT1, no VPORT1
        r.set_value(CONNECTIONS_KEY, "REMOTEPORT2", "garbage")
        r.set_value(CONNECTIONS_KEY, "REMOTEPORT3", "localhost;2")
        r.set_value(CONNECTIONS_KEY, "REMOTEPORT4", "10.0.0.7:99999;2")
        r.set_value(CONNECTIONS_KEY, "REMOTEPORT5", "127.0.0.1;9")  # unmapped COM9
        r.set_value(SETTINGS_KEY, "PORT5", "-1;0;0")
        r.set_value(VIRTUAL_PORTS_KEY, "VPORT5", "/no/such/dir/ttyV5")
        r.set_value(DEVICES_KEY, "COM7", "/no/such/device")
        r.set_value(DEVICES_KEY, "COM8", "/dev/null")
        code, out, _ = self.admin("check")
        self.assertEqual(code, 1)
        for words in ("PORT1 is missing", "VPORT1 is missing", 'REMOTEPORT2 = "garbage" has no',
                      '"localhost" is not a dotted decimal', 'TCP port "99999" is not 1 to 65535',
                      "COM9 has no value in HKEY_LOCAL_MACHINE\\%s and falls back to /dev/ttyS8"
                      % DEVICES_KEY, 'PORT5 = "-1;0;0" is not five whole numbers',
                      "the folder of link /no/such/dir/ttyV5 does not exist",
                      "COM7: device /no/such/device does not exist",
                      "COM8: /dev/null is a character device but not a terminal"):
            self.assertIn(words, out)

    def test_check_reads_the_server_values_as_the_server_does(self):
        self.admin("init")
        r = self.registry
        for com in (1, 2, 3, 4):
            port = PtyPort()
            self.addCleanup(port.close)
            r.set_value(DEVICES_KEY, "COM%d" % com, port.path)
        r.set_value(IPADDR_KEY, "010.0.0.7")
        r.set_value(IPADDR_KEY, "10.0.0.8", "x" * 100)
        for name in ("10.0.0.9 ", "10.0.0.256", "10.0.7"):
            r.set_value(IPADDR_KEY, name)
        r.set_value(RFC2217_KEY, "XYZ1", "7009")
        r.set_value(RFC2217_KEY, "COM1", "4445")
        r.set_value(RFC2217_KEY, "COM2", "7002")
        r.set_value(RFC2217_KEY, "COM3", "7002")
        r.set_value(RAW_KEY, "COM4", "7002;115200,8N1")
        r.set_value(RAW_KEY, "COM5", "7005;9600,8N1\n")
        r.set_value(SERVER_KEY, "MaxSessions", "0")
        r.set_value(SERVER_KEY, "MaxStrangers", "5\n")
        r.set_value(SERVER_KEY, "MaxSessionsPerAddress", "07")
        r.set_value(SERVER_KEY, "MaxSesions", "3")
        code, out, _ = self.admin("check")
        self.assertEqual(code, 1)
        for words in ('allowed address "010.0.0.7" has leading zeros: the server writes a '
                      "client's address as 10.0.0.7 and so refuses 10.0.0.7",
                      "allowed address 10.0.0.8 holds more than 99 bytes of data",
                      'allowed address "10.0.0.9 " is not dotted decimal or IPv6 and matches no client',
                      'allowed address "10.0.0.256" is not dotted decimal',
                      'allowed address "10.0.7" is not dotted decimal',
                      "RFC 2217 value XYZ1 is not named COM1 to COM255: the server ignores it",
                      "RFC 2217 COM1 asks for TCP port 4445, which the server's own protocol",
                      "RFC 2217 COM3 asks for TCP port 7002, which RFC 2217 COM2 already",
                      "raw COM4 asks for TCP port 7002, which RFC 2217 COM2 already",
                      'raw COM5 = "7005;9600,8N1\\n" is ignored by the server',
                      "(the trailing newline is not stripped here)",
                      'Server value MaxSessions = "0" is not at least 1',
                      'Server value MaxStrangers = "5\\n" is not a decimal number',
                      "Server value MaxSesions is not read"):
            self.assertIn(words, out)
        self.assertNotIn("COM2 asks", out)
        self.assertNotIn("Server value MaxSessionsPerAddress", out)
        self.assertNotIn("warning:", out)

    def test_warnings_alone_keep_exit_code_0(self):
        self.admin("init")
        port = PtyPort()
        self.addCleanup(port.close)
        self.registry.set_value(DEVICES_KEY, "COM1", port.path)
        self.registry.set_value(RFC2217_KEY, "com1", "7001\n")
        self.assertEqual(self.admin("check"), (0, (
            "warning: key HKEY_LOCAL_MACHINE\\%s lists no address: the server refuses every "
            "client until one is added (tovladmin add ADDRESS)\n"
            'warning: RFC 2217 com1 = "7001\\n": the server ignores the trailing newline and '
            "listens on TCP port 7001\n") % IPADDR_KEY, ""))

    def test_device_list_shows_a_mapped_pty_its_holder_and_by_id_names(self):
        self.admin("init")
        device = PtyPort()
        self.addCleanup(device.close)
        # An empty sysfs and a /dev whose only by-id link names the pty.
        top = tempfile.mkdtemp(prefix="tovl-devices-")
        self.addCleanup(shutil.rmtree, top)
        os.makedirs(os.path.join(top, "sys"))
        os.makedirs(os.path.join(top, "dev", "serial", "by-id"))
        link = os.path.join(top, "dev", "serial", "by-id", "usb-Acme_Widget_AB12-if00-port0")
        os.symlink(device.path, link)
        roots = {"TOVL_SYSFS_ROOT": os.path.join(top, "sys"),
                 "TOVL_DEV_ROOT": os.path.join(top, "dev")}
        code, _, err = self.admin("device", "set", "COM5", device.path, extra_env=roots)
        self.assertEqual(code, 0)
        self.assertIn("hint: %s is %s" % (device.path, link), err)
        self.assertEqual(self.admin("device", "set", "COM6", link, extra_env=roots), (0, "", ""))
        code, out, _ = self.admin("check", extra_env=roots)
        self.assertIn("warning: COM5 = %s is %s, a name that survives re-plugging" %
                      (device.path, link), out)
        self.assertNotIn("COM6 =", out)
        self.admin("device", "set", "COM7", "/no/such/device", extra_env=roots)
        slave = os.open(device.path, os.O_RDWR | os.O_NOCTTY)
        holder = subprocess.Popen(["sleep", "60"], stdin=slave)
        os.close(slave)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        code, out, _ = self.admin("device", "list", extra_env=roots)
        self.assertEqual(code, 0)
        lines = out.splitlines()
        self.assertEqual(len(lines), 3, out)
        self.assertTrue(lines[0].startswith("DEVICE"), out)
        pty = next(line for line in lines if "pseudo-terminal" in line)
        self.assertIn("COM5", pty)
        self.assertIn("COM6", pty)
        self.assertTrue(pty.endswith("held by pid %d (sleep)" % holder.pid), out)
        missing = next(line for line in lines if line.startswith("/no/such/device"))
        self.assertEqual(missing.split()[1:3], ["COM7", "missing"])
        code, out, _ = self.admin("device", "list", "--json", extra_env=roots)
        listed = {entry["device"]: entry for entry in json.loads(out)}
        self.assertEqual(len(listed), 2)
        entry = listed[device.path] if device.path in listed else listed[link]
        self.assertEqual(entry["kind"], "pseudo-terminal")
        self.assertEqual(sorted(com["com"] for com in entry["coms"]), [5, 6])
        self.assertEqual(listed["/no/such/device"]["kind"], "missing")


if __name__ == "__main__":
    unittest.main()
