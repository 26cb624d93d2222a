"""The Debian package: built with CPack from this build, its contents
listed, unpacked into a scratch root (never installed on this machine) and
run from there."""
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ.get("TOVL_BUILD_DIR", "")
EXPECTED = {
    "./usr/sbin/tovlserver", "./usr/sbin/tovlclient", "./usr/bin/tovladmin",
    "./lib/systemd/system/tovlserver.service", "./lib/systemd/system/tovlclient.service",
    "./usr/share/man/man8/tovlserver.8", "./usr/share/man/man8/tovlclient.8",
    "./usr/share/man/man8/tovladmin.8", "./usr/share/man/man5/tovl-registry.5",
}


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

    def test_contents(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.deb], check=True, timeout=60,
                                 stdout=subprocess.PIPE).stdout.decode()
        files = {line.split()[-1] for line in listing.splitlines() if not line.startswith("d")}
        print("\n" + listing)
        self.assertEqual(files, EXPECTED)
        # The configuration belongs to the administrator: nothing under /etc, no removal script.
        self.assertEqual(sorted(os.listdir(self.control)), ["control", "md5sums", "postinst"])

    def test_programs_run_from_the_scratch_root(self):
        for path, name in (("usr/sbin/tovlserver", "tovlserver"), ("usr/sbin/tovlclient", "tovlclient"),
                           ("usr/bin/tovladmin", "tovladmin")):
            out = subprocess.run([os.path.join(self.root, path), "--version"], check=True,
                                 stdout=subprocess.PIPE, timeout=30).stdout.decode()
            self.assertEqual(out, name + " 1.0.0.1\n")

    def test_the_unit_starts_the_installed_program(self):
        with open(os.path.join(self.root, "lib/systemd/system/tovlserver.service")) as f:
            self.assertIn('ExecStart="/usr/sbin/tovlserver"\n', f.read())

    def test_postinst_creates_the_keys(self):
        registry = os.path.join(self.work, "registry")
        env = dict(os.environ, TOVL_REGISTRY_ROOT=registry,
                   PATH=os.path.join(self.root, "usr/bin") + ":/usr/bin:/bin")
        subprocess.run([os.path.join(self.control, "postinst"), "configure"], check=True, env=env,
                       timeout=30, stdout=subprocess.DEVNULL)
        keys = os.path.join(registry, "HKEY_LOCAL_MACHINE", "Software", "Dravik", "TOVL")
        self.assertEqual(sorted(os.listdir(keys)), ["Connections", "Devices", "IpAddr", "Raw",
                                                    "Rfc2217", "Settings", "VirtualPorts"])


if __name__ == "__main__":
    unittest.main()
