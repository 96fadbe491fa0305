"""HTTPS for real: nginx with TLS 1.2 and 1.3 on 127.0.0.1, a certificate from a test
authority made here, and a Wine prefix of its own that trusts that authority.
(A prefix that does not trust it is tried in system_test.py.)"""
import hashlib
import os
import shutil
import socket
import ssl
import sys
import tempfile
import unittest
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "system"), os.path.join(HERE, "..", "tools")]
import wine_harness as harness  # noqa: E402
import nginx_server  # noqa: E402
import publish  # noqa: E402
import sample_game  # noqa: E402


def handshake(port, authority_pem, version):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(authority_pem)
    # Let the client offer old protocols, so that a refusal is the server's.
    context.set_ciphers("DEFAULT:@SECLEVEL=0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        context.minimum_version = context.maximum_version = version
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
            return tls.version()


class Https(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require(harness.LAUNCHER, harness.STAND_IN, harness.TRUST_ROOT)
        # Cleanups, unlike tearDownClass, run when this set-up fails half-way too.
        cls.tmp = tempfile.mkdtemp(prefix="https-test-", dir=harness.BUILD)
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.authority, cert, key = harness.make_authority(os.path.join(cls.tmp, "ca"))
        cls.authority_pem = os.path.join(cls.tmp, "ca", "ca.pem")
        build = os.path.join(cls.tmp, "build")
        sample_game.make_game(build, harness.LAUNCHER, harness.STAND_IN, megabytes=8)
        cls.tree = os.path.join(cls.tmp, "tree")
        cls.entries = publish.publish(build, cls.tree, "2.0-tls", quiet=True, **harness.PUBLISH_OPTIONS)
        cls.server = nginx_server.NginxServer(cls.tree, os.path.join(cls.tmp, "nginx"), tls=(cert, key))
        cls.addClassCleanup(cls.server.stop)
        cls.server.start()
        cls.display = harness.Display()
        cls.addClassCleanup(cls.display.stop)
        cls.prefix = harness.WinePrefix(os.path.join(harness.BUILD, "wineprefix-tls"), cls.display.start())
        cls.addClassCleanup(cls.prefix.kill)
        cls.prefix.create()
        cls.prefix.trust(cls.authority)

    def test_the_server_speaks_tls_1_2_and_1_3_only(self):
        cases = [(ssl.TLSVersion.TLSv1_3, "TLSv1.3"), (ssl.TLSVersion.TLSv1_2, "TLSv1.2"),
                 (ssl.TLSVersion.TLSv1_1, None), (ssl.TLSVersion.TLSv1, None)]
        for version, expected in cases:
            with self.subTest(version.name):
                if expected:
                    self.assertEqual(handshake(self.server.port, self.authority_pem, version), expected)
                else:
                    with self.assertRaises(ssl.SSLError):
                        handshake(self.server.port, self.authority_pem, version)

    def test_the_launcher_installs_over_https(self):
        install = harness.Install(os.path.join(self.tmp, "install"))
        self.server.clear_log()
        code, _ = harness.run_launcher(self.prefix, install, self.server.url)
        self.assertEqual(code, 0, install.log())
        self.assertIn(f"{harness.UP_TO_DATE} | Version 2.0-tls", install.log())
        for e in self.entries:
            self.assertEqual(hashlib.sha256(install.read(e.path)).hexdigest(), e.hash, e.path)
        requests = self.server.requests()
        self.assertTrue(requests)
        self.assertLessEqual({r["ssl_protocol"] for r in requests}, {"TLSv1.2", "TLSv1.3"})
        print(f"\nthe launcher under Wine negotiated {sorted({r['ssl_protocol'] for r in requests})}",
              file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
