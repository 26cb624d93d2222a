"""tovladmin's command line on Linux (list, add, remove) against a
temporary registry root, and its answer when it has neither a command nor
a display."""
import os
import subprocess
import unittest

from harness import IPADDR_KEY, ProgramTestCase, program_command, registry_value_names

OPEN_MESSAGE = "Can't Open Registry Key. Try To Reinstall Application!!!"
DELETE_MESSAGE = "Can't Delete Registry Value"
WRITE_MESSAGE = "Can't Write to Registry. Try To Reinstall Application!!!"


class AdminCommandLineTest(ProgramTestCase):
    def admin(self, *args, env=None):
        """Runs tovladmin; returns (exit code, stdout, stderr)."""
        env = dict(env or self.registry.env)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        proc = subprocess.run(program_command("tovladmin", *args), env=env, timeout=30,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode()

    def names(self):
        return registry_value_names(self.registry, IPADDR_KEY)

    def test_list_prints_the_rows_last_enumerated_first(self):
        for name in ("10.0.0.1", "192.168.1.5", "10.0.0.2"):
            self.registry.allow(name)
        self.registry.set_value(IPADDR_KEY, "written by hand", "x")
        self.assertEqual(self.admin("list"),
                         (0, "written by hand\n192.168.1.5\n10.0.0.2\n10.0.0.1\n", ""))

    def test_list_of_an_empty_key_prints_nothing(self):
        self.registry.create_key(IPADDR_KEY)
        self.assertEqual(self.admin("list"), (0, "", ""))

    def test_list_stops_after_256_names(self):
        names = ["10.0.%d.%d" % (i // 100, i % 100) for i in range(300)]
        for name in names:
            self.registry.allow(name)
        code, out, _ = self.admin("list")
        self.assertEqual(code, 0)
        self.assertEqual(out.splitlines(), sorted(names)[:256][::-1])

    def test_add_writes_an_empty_value_without_leading_zeros(self):
        self.registry.create_key(IPADDR_KEY)
        self.assertEqual(self.admin("add", "10.1.20.255"), (0, "", ""))
        self.assertEqual(self.admin("add", "010.001.020.007"), (0, "", ""))
        self.assertEqual(self.admin("add", "0.0.0.0"), (0, "", ""))
        self.assertEqual(self.names(), ["0.0.0.0", "10.1.20.255", "10.1.20.7"])
        path = os.path.join(self.registry._key_dir(IPADDR_KEY), "10.1.20.255")
        self.assertEqual(os.path.getsize(path), 0)

    def test_add_writes_an_ipv6_address_in_its_canonical_text(self):
        self.registry.create_key(IPADDR_KEY)
        self.assertEqual(self.admin("add", "2001:DB8:0:0::1"), (0, "", ""))
        self.assertEqual(self.admin("add", "::ffff:10.0.0.7"), (0, "", ""))
        self.assertEqual(self.names(), ["10.0.0.7", "2001:db8::1"])
        for bad in ("2001:db8::1::2", "[::1]", "::1%lo"):
            self.assertEqual(self.admin("add", bad)[0], 2, bad)

    def test_adding_a_listed_address_keeps_one_entry(self):
        self.registry.allow("10.0.0.7")
        self.assertEqual(self.admin("add", "10.0.0.7"), (0, "", ""))
        self.assertEqual(self.admin("list"), (0, "10.0.0.7\n", ""))

    def test_add_rejects_anything_but_four_numbers_0_to_255(self):
        self.registry.create_key(IPADDR_KEY)
        for bad in ("256.0.0.1", "1.2.3", "1.2.3.4.5", "a.b.c.d", "1.2.3.-4", " 1.2.3.4",
                    "1.2.3.4/24", "", "../../etc/passwd", "1.2.3.4\n"):
            code, out, err = self.admin("add", bad)
            self.assertEqual(code, 2, bad)
            self.assertIn("not an address", err, bad)
        self.assertEqual(self.names(), [])

    def test_add_with_the_key_missing_reports_and_creates_nothing(self):
        self.assertEqual(self.admin("add", "10.0.0.7"),
                         (1, "", OPEN_MESSAGE + "\n" + WRITE_MESSAGE + "\n"))
        self.assertIsNone(self.names())

    def test_list_with_the_key_missing_reports(self):
        self.assertEqual(self.admin("list"), (1, "", OPEN_MESSAGE + "\n"))
        self.assertIsNone(self.names())

    def test_remove_deletes_exactly_the_named_value(self):
        for name in ("10.0.0.1", "10.0.0.10", "not an address"):
            self.registry.set_value(IPADDR_KEY, name)
        self.assertEqual(self.admin("remove", "10.0.0.1"), (0, "", ""))
        self.assertEqual(self.admin("remove", "not an address"), (0, "", ""))
        self.assertEqual(self.names(), ["10.0.0.10"])

    def test_remove_of_an_unlisted_name_reports(self):
        self.registry.allow("10.0.0.1")
        self.assertEqual(self.admin("remove", "10.0.0.2"), (1, "", DELETE_MESSAGE + "\n"))
        # A name is never a path into another key.
        other = r"Software\Dravik\TOVL\Other"
        self.registry.set_value(other, "x", "keep")
        self.assertEqual(self.admin("remove", "../Other/x"), (1, "", DELETE_MESSAGE + "\n"))
        self.assertEqual(self.names(), ["10.0.0.1"])
        self.assertEqual(registry_value_names(self.registry, other), ["x"])

    def test_remove_with_the_key_missing_reports_both_messages(self):
        self.assertEqual(self.admin("remove", "10.0.0.1"),
                         (1, "", OPEN_MESSAGE + "\n" + DELETE_MESSAGE + "\n"))

    def test_usage_errors_exit_2(self):
        self.registry.allow("10.0.0.1")
        for args in (("lst",), ("list", "extra"), ("add",), ("remove",),
                     ("add", "1.2.3.4", "5.6.7.8"), ("--hlp",), ("check", "x")):
            code, out, err = self.admin(*args)
            self.assertEqual(code, 2, args)
            self.assertIn("usage: tovladmin", err, args)
        self.assertEqual(self.names(), ["10.0.0.1"])

    def test_without_display_and_command_it_says_how_to_use_it(self):
        code, out, err = self.admin()
        self.assertNotEqual(code, 0)
        self.assertIn("usage: tovladmin", err)
        self.assertIn("tovladmin list", err)


if __name__ == "__main__":
    unittest.main()
