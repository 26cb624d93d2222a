"""TLS on the server's listeners and the client's connections, end to end
on loopback (Linux only): the Linux client and server through TLS, a
foreign TLS client (Python's ssl module) in front of an RFC 2217 listener,
and the refusals. Every certificate is made here with the openssl command."""
import os
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest

import harness as h

TLS_PORT_LINK = 4446
TLS_RFC2217 = 7105
COM = 2

CERTS = None


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_ca(folder, name):
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", name + ".key", "-out", name + ".crt", "-days", "30", "-subj",
            "/CN=" + name, cwd=folder)


def make_cert(folder, name, ca, days="30"):
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name, cwd=folder)
    openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
            "-CAcreateserial", "-out", name + ".crt", "-days", days, cwd=folder)


def make_crl(folder, ca, *revoked):
    """ca.crl: the CA's revocation list naming the certificates revoked."""
    with open(os.path.join(folder, ca + ".cnf"), "w") as f:
        f.write("[ca]\ndefault_ca = crl\n[crl]\ndatabase = %s.index\ncrlnumber = %s.crlnumber\n"
                "default_md = sha256\ndefault_crl_days = 30\n" % (ca, ca))
    open(os.path.join(folder, ca + ".index"), "w").close()
    with open(os.path.join(folder, ca + ".crlnumber"), "w") as f:
        f.write("01\n")
    common = ["-config", ca + ".cnf", "-keyfile", ca + ".key", "-cert", ca + ".crt"]
    for name in revoked:
        openssl("ca", *common, "-revoke", name + ".crt", cwd=folder)
    openssl("ca", *common, "-gencrl", "-out", ca + ".crl", cwd=folder)


def fingerprint(folder, name):
    out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                          os.path.join(folder, name + ".crt")], check=True,
                         stdout=subprocess.PIPE).stdout.decode()
    return out.strip().split("=", 1)[1].replace(":", "").lower()


def setUpModule():
    global CERTS
    if h.ON_WINE or shutil.which("openssl") is None:
        return
    CERTS = tempfile.mkdtemp(prefix="tovl-tls-")
    make_ca(CERTS, "ca")
    make_ca(CERTS, "other-ca")
    make_cert(CERTS, "server", "ca")
    make_cert(CERTS, "client-1", "ca")
    make_cert(CERTS, "stranger", "ca")
    make_cert(CERTS, "foreign", "other-ca")
    make_cert(CERTS, "expired", "ca", days="-1")
    make_cert(CERTS, "revoked", "ca")
    make_crl(CERTS, "ca", "revoked")


def tearDownModule():
    if CERTS:
        shutil.rmtree(CERTS, ignore_errors=True)


def path(name):
    return os.path.join(CERTS, name)


@unittest.skipIf(h.ON_WINE, "TLS is provided on Linux only")
class TlsTest(h.ClientTestCase):

    def setUp(self):
        if CERTS is None:
            self.skipTest("no openssl command")
        super().setUp()
        self.com = h.ComPorts(self.registry)
        self.addCleanup(self.com.cleanup)
        self.device = self.com.map_pty(COM)
        self.addCleanup(self.device.close)
        self.admin("init")
        self.admin("tls", "server", "--cert", path("server.crt"), "--key", path("server.key"),
                   "--client-ca", path("ca.crt"), "--crl", path("ca.crl"))
        self.admin("tls", "listen", str(TLS_PORT_LINK))
        self.admin("tls", "listen", "COM%d" % COM, str(TLS_RFC2217))

    def admin(self, *args, expect=0):
        code, _ = h.run_program("tovladmin", *args, env=self.registry.env)
        self.assertEqual(code, expect, "tovladmin %s" % " ".join(args))

    def start_server(self):
        self.server = h.LiveProgram("tovlserver", "debug", env=self.registry.env,
                                    log_path=os.path.join(self.link_dir, "server.log"))
        self.addCleanup(self.server.stop)
        for port in (h.SERVER_PORT, TLS_PORT_LINK, TLS_RFC2217):
            self.assertTrue(h.wait_for_listener(port), "no listener on %d" % port)
        return self.server

    def tls_client(self, cert="client-1", ca="ca"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.load_verify_locations(path(ca + ".crt"))
        if cert:
            context.load_cert_chain(path(cert + ".crt"), path(cert + ".key"))
        raw = socket.create_connection(("127.0.0.1", TLS_RFC2217), timeout=10)
        return context.wrap_socket(raw)

    def configure_tls_port(self, n, ca="ca", cert="client-1"):
        self.admin("port", "set", str(n), "--server", "127.0.0.1:%d" % TLS_PORT_LINK, "--com",
                   str(COM), "--link", self.link(n), "--tls-ca", path(ca + ".crt"), "--tls-cert",
                   path(cert + ".crt"), "--tls-key", path(cert + ".key"))

    def test_client_listed_by_its_certificate_has_a_session_through_tls(self):
        # The address is not listed: the certificate alone lets it in.
        self.admin("tls", "allow", "sha256:" + fingerprint(CERTS, "client-1"))
        self.configure_tls_port(3)
        self.start_server()
        client = self.start_client([self.link(3)])
        app = self.app(3)
        app.write(b"A")
        self.assertEqual(self.device.read_exact(1, 20), b"A")
        # Both ways at once: each end sends while it receives.
        up, down = os.urandom(256 * 1024), os.urandom(256 * 1024)
        got = {}
        workers = [threading.Thread(target=app.write, args=(up,)),
                   threading.Thread(target=self.device.write_all, args=(down, 60)),
                   threading.Thread(target=lambda: got.setdefault("down", app.read(len(down), 60)))]
        for worker in workers:
            worker.start()
        got_up = self.device.read_exact(len(up), 60)
        for worker in workers:
            worker.join(70)
        self.assertEqual(got_up, up)
        self.assertEqual(got.get("down"), down)
        # The log names the peer and its certificate.
        self.assertRegex(self.server.log(), r'port-link tls: 127\.0\.0\.1:\d+: TLS with certificate '
                         r'"CN=client-1" sha256:' + fingerprint(CERTS, "client-1")
                         + r", let in \(certificate listed\)")
        self.assertTrue(client.wait_for_log('TLS with the server\'s certificate "CN=server"'))
        app.close()

    def test_unlisted_certificate_is_refused_after_its_open_request(self):
        self.configure_tls_port(3, cert="stranger")
        self.start_server()
        client = self.start_client([self.link(3)])
        app = self.app(3)
        self.assertTrue(client.wait_for_text("ERROR open remote real ports!\n", 20))
        self.assertTrue(h.hung_up(app, 5.0))
        self.assertTrue(self.server.wait_for_log('TLS with certificate "CN=stranger"'))
        self.assertEqual(self.device.read_some(0.5), b"")

    def test_client_refuses_a_server_its_ca_did_not_sign(self):
        self.registry.allow("127.0.0.1")
        self.configure_tls_port(3, ca="other-ca")
        self.start_server()
        client = self.start_client([self.link(3)])
        app = self.app(3)
        app.write(b"never")
        self.assertTrue(client.wait_for_log("TLS handshake failed: certificate verify failed"))
        self.assertTrue(h.hung_up(app, 5.0))
        self.assertEqual(self.device.read_some(0.5), b"")

    def test_client_verifies_the_server_by_its_pinned_fingerprint(self):
        self.registry.allow("127.0.0.1")
        for n, pinned in ((3, "server"), (4, "client-1")):
            self.admin("port", "set", str(n), "--server", "127.0.0.1:%d" % TLS_PORT_LINK, "--com",
                       str(COM), "--link", self.link(n), "--tls-pin", fingerprint(CERTS, pinned),
                       "--tls-cert", path("client-1.crt"), "--tls-key", path("client-1.key"))
        self.start_server()
        client = self.start_client([self.link(3), self.link(4)])
        wrong = self.app(4)
        wrong.write(b"never")
        self.assertTrue(client.wait_for_log("virtual port 4: no session"))
        self.assertIn("is not the pinned one", client.log())
        self.assertTrue(h.hung_up(wrong, 5.0))
        app = self.app(3)
        app.write(b"pinned")
        self.assertEqual(self.device.read_exact(6, 20), b"pinned")

    def test_foreign_tls_client_in_front_of_rfc2217(self):
        self.registry.allow("127.0.0.1")
        self.start_server()
        with self.tls_client() as conn:
            self.assertIn(conn.version(), ("TLSv1.2", "TLSv1.3"))
            conn.sendall(b"through tls")
            self.assertEqual(self.device.read_exact(11, 10), b"through tls")
            self.device.write_all(b"back")
            got = b""
            deadline = time.monotonic() + 10
            while b"back" not in got and time.monotonic() < deadline:
                got += conn.recv(4096)
            self.assertIn(b"back", got)

    def test_socat_reaches_a_raw_port_through_tls(self):
        self.registry.allow("127.0.0.1")
        self.admin("tls", "listen", "COM%d" % COM, str(TLS_RFC2217), "--raw", "57600,8N1")
        self.start_server()
        self.assertTrue(self.server.wait_for_log("raw tls COM%d: listening" % COM))
        socat = subprocess.Popen(
            ["socat", "-", "OPENSSL:127.0.0.1:%d,cafile=%s,cert=%s,key=%s,verify=1,commonname=server" % (
                TLS_RFC2217, path("ca.crt"), path("client-1.crt"), path("client-1.key"))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(socat.stdout.close)
        self.addCleanup(socat.stdin.close)
        self.addCleanup(socat.wait, 10)
        self.addCleanup(socat.kill)
        socat.stdin.write(b"via socat")
        socat.stdin.flush()
        self.assertEqual(self.device.read_exact(9, 10), b"via socat")
        self.assertEqual(h.output_speed(self.device.master), 57600)
        self.device.write_all(b"raw back")
        self.assertEqual(socat.stdout.read(8), b"raw back")

    def test_a_reset_ends_the_tls_session_and_frees_the_port(self):
        self.registry.allow("127.0.0.1")
        self.start_server()
        conn = self.tls_client()
        conn.sendall(b"first")
        self.assertEqual(self.device.read_exact(5, 10), b"first")
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
        self.assertTrue(self.server.wait_for_log("connection reset by the client", 10))
        with self.tls_client() as again:
            again.sendall(b"second")
            self.assertEqual(self.device.read_exact(6, 10), b"second")

    def test_refused_peers_never_reach_the_port(self):
        self.registry.allow("127.0.0.1")
        self.start_server()
        cases = {
            "no client certificate": dict(cert=None),
            "a certificate of another CA": dict(cert="foreign"),
            "an expired certificate": dict(cert="expired"),
            "a revoked certificate": dict(cert="revoked"),
        }
        for what, kwargs in cases.items():
            with self.subTest(what):
                failures = self.server.log().count("TLS handshake failed")
                try:
                    with self.tls_client(**kwargs) as conn:
                        conn.sendall(b"x")
                        self.assertEqual(conn.recv(16), b"")
                except (ssl.SSLError, OSError):
                    pass
                deadline = time.monotonic() + 10
                while self.server.log().count("TLS handshake failed") <= failures and \
                        time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertGreater(self.server.log().count("TLS handshake failed"), failures)
        # The counts above only pace the cases: the readiness probe's own
        # failed handshakes may be logged among them, so each refusal's line
        # is waited for by its text.
        self.assertTrue(self.server.wait_for_log(
            'certificate revoked (certificate "CN=revoked"', 10), self.server.log())
        # A refused certificate is named too.
        self.assertTrue(self.server.wait_for_log(
            'certificate has expired (certificate "CN=expired" sha256:' +
            fingerprint(CERTS, "expired"), 10), self.server.log())
        with self.subTest("plaintext"):
            raw = h.connect(TLS_RFC2217)
            raw.sendall(b"plain text\r\n")
            raw.settimeout(10)
            try:
                self.assertEqual(raw.recv(16), b"")
            except ConnectionResetError:
                pass
            raw.close()
            self.assertTrue(self.server.wait_for_log("not TLS: the peer sent plain bytes"))
        self.assertEqual(self.device.read_some(0.5), b"")

    def test_a_handshake_cut_short_holds_nobody_up_and_ends_at_its_deadline(self):
        self.registry.allow("127.0.0.1")
        self.start_server()
        # The start of a ClientHello record, and then silence.
        stalled = h.connect(TLS_RFC2217)
        self.addCleanup(stalled.close)
        stalled.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")
        started = time.monotonic()
        with self.tls_client() as conn:
            conn.sendall(b"meanwhile")
            self.assertEqual(self.device.read_exact(9, 10), b"meanwhile")
        self.assertLess(time.monotonic() - started, 5)
        self.assertTrue(self.server.wait_for_log("TLS handshake not finished in time", 20))
        stalled.settimeout(5)
        self.assertIn(stalled.recv(16), (b"",))

    def test_a_half_close_mid_handshake_is_closed_at_once(self):
        self.registry.allow("127.0.0.1")
        self.start_server()
        halted = h.connect(TLS_RFC2217)
        self.addCleanup(halted.close)
        halted.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")
        halted.shutdown(socket.SHUT_WR)
        started = time.monotonic()
        halted.settimeout(10)
        try:
            self.assertEqual(halted.recv(16), b"")
        except ConnectionResetError:
            pass
        # Well before the stranger's deadline.
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(self.device.read_some(0.2), b"")

    def test_check_explains_tls_problems(self):
        self.registry.set_value(h.IPADDR_KEY, "cert:sha256:1234")
        self.registry.set_value(r"Software\Dravik\TOVL\Tls", "Key", path("client-1.key"))
        code, out = h.run_program("tovladmin", "check", env=self.registry.env)
        self.assertEqual(code, 1)
        self.assertIn("cert:sha256:1234", out)
        self.assertIn("does not belong to certificate", out)


if __name__ == "__main__":
    unittest.main()
