"""The Debian package: built with CPack from this build, its contents
listed, unpacked into a scratch root (never installed on this machine) and
its programs and maintainer scripts run from there. The scripts run with
DPKG_ROOT pointing at a scratch root and with stand-ins for systemd's tools
that only write down how they were called."""
import gzip
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ.get("TOVL_BUILD_DIR", "")
SOURCE_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PROGRAMS = ("usr/sbin/tovlserver", "usr/sbin/tovlclient", "usr/bin/tovladmin")
MAN_PAGES = ("man8/tovlserver.8", "man8/tovlclient.8", "man8/tovladmin.8", "man5/tovl-registry.5")
EXPECTED = {"./" + p for p in PROGRAMS} | {"./usr/share/man/" + p + ".gz" for p in MAN_PAGES} | {
    "./lib/systemd/system/tovlserver.service", "./lib/systemd/system/tovlclient.service",
    "./usr/share/doc/tovl/copyright", "./usr/share/doc/tovl/changelog.gz",
}
UNITS = "tovlserver.service tovlclient.service"
KEYS = ["Connections", "Devices", "IpAddr", "Raw", "Rfc2217", "Settings", "VirtualPorts"]

# Stand-ins for systemctl and the Debian helpers: each appends its command
# line to $TOVL_CALLS; deb-systemd-helper's was-enabled answers $WAS_ENABLED.
STAND_IN = """#!/bin/sh
echo "${0##*/} $*" >>"$TOVL_CALLS"
if [ "$1" = --quiet ]; then shift; fi
if [ "$1" = was-enabled ]; then exit "${WAS_ENABLED:-0}"; fi
exit 0
"""


@unittest.skipUnless(BUILD_DIR and shutil.which("cpack") and shutil.which("dpkg-deb"),
                     "needs the build folder, cpack and dpkg-deb")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tovl-package-")
        subprocess.run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                        "-B", cls.work], check=True, stdout=subprocess.DEVNULL, timeout=300)
        cls.deb = [os.path.join(cls.work, f) for f in os.listdir(cls.work) if f.endswith(".deb")][0]
        cls.root = os.path.join(cls.work, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True, timeout=60)
        cls.control = os.path.join(cls.work, "control")
        subprocess.run(["dpkg-deb", "-e", cls.deb, cls.control], check=True, timeout=60)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def setUp(self):
        # A root for one maintainer script run: the unpacked tovladmin, and a
        # PATH holding only rm, rmdir and (when asked) the stand-ins.
        self.scratch = tempfile.mkdtemp(prefix="tovl-dpkg-root-")
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.dpkg_root = os.path.join(self.scratch, "root")
        os.makedirs(os.path.join(self.dpkg_root, "usr/bin"))
        os.symlink(os.path.join(self.root, "usr/bin/tovladmin"),
                   os.path.join(self.dpkg_root, "usr/bin/tovladmin"))
        self.tools = os.path.join(self.scratch, "tools")
        os.mkdir(self.tools)
        for tool in ("rm", "rmdir"):
            os.symlink(shutil.which(tool), os.path.join(self.tools, tool))
        self.calls = os.path.join(self.scratch, "calls")
        self.registry = os.path.join(self.dpkg_root, "etc/tovl/registry")

    def systemd(self, running):
        for tool in ("systemctl", "deb-systemd-helper", "deb-systemd-invoke"):
            path = os.path.join(self.tools, tool)
            with open(path, "w") as f:
                f.write(STAND_IN)
            os.chmod(path, 0o755)
        if running:
            os.makedirs(os.path.join(self.dpkg_root, "run/systemd/system"))

    def script(self, name, *args, was_enabled=0):
        env = {"PATH": self.tools, "DPKG_ROOT": self.dpkg_root, "TOVL_CALLS": self.calls,
               "WAS_ENABLED": str(was_enabled)}
        subprocess.run(["/bin/sh", os.path.join(self.control, name), *args], check=True, env=env,
                       timeout=30, stdout=subprocess.DEVNULL)
        calls = []
        if os.path.exists(self.calls):
            with open(self.calls) as f:
                calls = f.read().splitlines()
            os.remove(self.calls)
        return calls

    def test_contents(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.deb], check=True, timeout=60,
                                 stdout=subprocess.PIPE).stdout.decode()
        files = {line.split()[-1] for line in listing.splitlines() if not line.startswith("d")}
        print("\n" + listing)
        self.assertEqual(files, EXPECTED)
        # Nothing under /etc: the configuration tree is made by postinst.
        self.assertEqual(sorted(os.listdir(self.control)),
                         ["control", "md5sums", "postinst", "postrm", "prerm"])
        for name in ("postinst", "postrm", "prerm"):
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.control, name)).st_mode), 0o755)

    def test_control_fields(self):
        with open(os.path.join(self.control, "control")) as f:
            fields = f.read()
        print("\n" + fields)
        depends = next(line for line in fields.splitlines() if line.startswith("Depends:"))
        self.assertRegex(depends, r"libc6 \(>= [0-9.]+\)")
        self.assertIn("libgtk-3-0 (>= ", depends)
        self.assertIn("\n tovlserver lends", fields)  # the extended description
        self.assertNotIn("localhost", fields)

    def test_programs_run_from_the_scratch_root(self):
        for path in PROGRAMS:
            name = os.path.basename(path)
            out = subprocess.run([os.path.join(self.root, path), "--version"], check=True,
                                 stdout=subprocess.PIPE, timeout=30).stdout.decode()
            self.assertEqual(out, name + " 1.0.0.1\n")

    @unittest.skipUnless(shutil.which("readelf"), "needs readelf")
    @unittest.skipIf(os.environ.get("TOVL_SANITIZED") == "1",
                     "the sanitizer builds are debug builds, not the hardened release build")
    def test_programs_are_stripped_and_bound_at_start(self):
        for path in PROGRAMS:
            elf = os.path.join(self.root, path)
            sections = subprocess.run(["readelf", "-SW", elf], check=True, stdout=subprocess.PIPE,
                                      timeout=30).stdout.decode()
            for section in (".symtab", ".debug_info", ".comment"):
                self.assertNotIn(" " + section + " ", sections, path)
            dynamic = subprocess.run(["readelf", "-dW", elf], check=True, stdout=subprocess.PIPE,
                                     timeout=30).stdout.decode()
            self.assertIn("BIND_NOW", dynamic, path)
            self.assertRegex(dynamic, r"FLAGS_1.*\bNOW\b", path)

    @unittest.skipUnless(shutil.which("readelf"), "needs readelf")
    def test_debug_symbols_of_exactly_these_programs_are_packed_apart(self):
        ddeb = [os.path.join(self.work, f) for f in os.listdir(self.work) if f.endswith(".ddeb")]
        self.assertEqual(len(ddeb), 1, os.listdir(self.work))
        symbols = os.path.join(self.work, "dbgsym")
        subprocess.run(["dpkg-deb", "-x", ddeb[0], symbols], check=True, timeout=60)
        for path in PROGRAMS:
            notes = subprocess.run(["readelf", "-n", os.path.join(self.root, path)], check=True,
                                   stdout=subprocess.PIPE, timeout=30).stdout.decode()
            build_id = re.search(r"Build ID: ([0-9a-f]+)", notes).group(1)
            debug = os.path.join(symbols, "usr/lib/debug/.build-id", build_id[:2],
                                 build_id[2:] + ".debug")
            sections = subprocess.run(["readelf", "-SW", debug], check=True,
                                      stdout=subprocess.PIPE, timeout=30).stdout.decode()
            self.assertIn(" .debug_info ", sections, path)

    def test_manual_pages_and_changelog_are_compressed_reproducibly(self):
        pairs = [(os.path.join(self.root, "usr/share/man", page + ".gz"),
                  os.path.join(SOURCE_DIR, "man", os.path.basename(page))) for page in MAN_PAGES]
        pairs.append((os.path.join(self.root, "usr/share/doc/tovl/changelog.gz"),
                      os.path.join(SOURCE_DIR, "cmake/debian/changelog")))
        for packed, source in pairs:
            with open(packed, "rb") as f:
                header = f.read(10)
            # gzip -n: no file name (FLG bit 3) and no time stamp.
            self.assertEqual(header[3] & 0x08, 0, packed)
            self.assertEqual(header[4:8], b"\0\0\0\0", packed)
            with gzip.open(packed) as f, open(source, "rb") as g:
                self.assertEqual(f.read(), g.read(), packed)

    def test_copyright_is_machine_readable(self):
        with open(os.path.join(self.root, "usr/share/doc/tovl/copyright")) as f:
            text = f.read()
        self.assertTrue(text.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        self.assertIn("\nFiles: *\nCopyright: ", text)

    def test_the_unit_starts_the_installed_program(self):
        with open(os.path.join(self.root, "lib/systemd/system/tovlserver.service")) as f:
            self.assertIn('ExecStart="/usr/sbin/tovlserver"\n', f.read())

    def test_first_installation_creates_the_keys_enables_and_starts(self):
        self.systemd(running=True)
        calls = self.script("postinst", "configure")
        keys = os.path.join(self.registry, "HKEY_LOCAL_MACHINE", "Software", "Dravik", "TOVL")
        self.assertEqual(sorted(os.listdir(keys)), KEYS)
        self.assertEqual(calls, [
            "deb-systemd-helper --quiet was-enabled tovlserver.service",
            "deb-systemd-helper enable tovlserver.service",
            "deb-systemd-helper --quiet was-enabled tovlclient.service",
            "deb-systemd-helper enable tovlclient.service",
            "systemctl daemon-reload",
            "deb-systemd-invoke start " + UNITS])

    def test_upgrade_restarts_and_keeps_a_disabled_service_disabled(self):
        self.systemd(running=True)
        calls = self.script("postinst", "configure", "1.0.0.0", was_enabled=1)
        self.assertEqual(calls[-2:], ["systemctl daemon-reload", "deb-systemd-invoke restart " + UNITS])
        self.assertNotIn("deb-systemd-helper enable tovlserver.service", calls)
        self.assertIn("deb-systemd-helper update-state tovlserver.service", calls)

    def test_installation_without_systemd_makes_the_keys_and_starts_nothing(self):
        self.systemd(running=False)
        calls = self.script("postinst", "configure")
        self.assertTrue(os.path.isdir(self.registry))
        self.assertNotIn("systemctl daemon-reload", calls)
        self.assertFalse([c for c in calls if c.startswith("deb-systemd-invoke")])

    def test_removal_stops_and_disables_but_an_upgrade_does_not(self):
        self.systemd(running=True)
        self.assertEqual(self.script("prerm", "upgrade", "1.0.0.2"), [])
        self.assertEqual(self.script("prerm", "remove"), [
            "deb-systemd-invoke stop " + UNITS, "deb-systemd-helper purge " + UNITS])
        self.assertEqual(self.script("postrm", "remove"), ["systemctl daemon-reload"])

    def test_remove_keeps_the_keys_and_purge_deletes_them_without_systemd(self):
        self.script("postinst", "configure")
        self.script("postrm", "remove")
        self.assertTrue(os.path.isdir(self.registry))
        self.script("postrm", "purge")
        self.assertFalse(os.path.exists(os.path.join(self.dpkg_root, "etc/tovl")))

    def test_purge_forgets_the_units_state(self):
        self.systemd(running=False)
        self.assertEqual(self.script("postrm", "purge"), ["deb-systemd-helper purge " + UNITS])

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_finds_no_error_or_warning(self):
        packages = [os.path.join(self.work, f) for f in os.listdir(self.work)
                    if f.endswith((".deb", ".ddeb"))]
        out = subprocess.run(["lintian", "--pedantic", "-I", *packages], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=280).stdout.decode()
        print("\n" + out)
        self.assertFalse([line for line in out.splitlines() if line[:2] in ("E:", "W:")])


if __name__ == "__main__":
    unittest.main()
