"""Signed packages, made fresh each run: packed by the real glimpack, signed
by osslsigncode with a throwaway certificate, then altered in the ways that
matter. For every file, what our signature check reports (through
authenticode_probe, one JSON object per file) is held against osslsigncode's
own verification of the same file: "intact" exactly where osslsigncode
verifies it, and the digests it shows are the ones osslsigncode computes.

The certificate is trusted for osslsigncode's chain check (-CAfile), which
our check leaves alone, so the two verdicts are about the same question.

Environment: GLIMPACK, GLIMPACK_STUB, GLIM_AUTHENTICODE_PROBE, and
GLIMPACK_RUNNER and GLIM_PROBE_RUNNER (commands put before glimpack and the
probe, to run the Windows build's under Wine). Files are named relative to
the folder the programs run in, which both systems read alike.
"""
import datetime
import json
import os
import re
import shlex
import struct
import subprocess
import tempfile
import unittest

GLIMPACK = os.environ["GLIMPACK"]
STUB = os.environ["GLIMPACK_STUB"]
PROBE = os.environ["GLIM_AUTHENTICODE_PROBE"]
GLIMPACK_RUNNER = shlex.split(os.environ.get("GLIMPACK_RUNNER", ""))
PROBE_RUNNER = shlex.split(os.environ.get("GLIM_PROBE_RUNNER", ""))

SUBJECT = "CN=Glim Test Signer, O=Glimmerloom Tests"


def run(args, cwd, check=True):
    done = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=300)
    if check and done.returncode != 0:
        raise AssertionError("%s failed (%d): %s%s" % (args[0], done.returncode, done.stdout,
                                                       done.stderr))
    return done


def align8(n):
    return (n + 7) // 8 * 8


class SignedPackages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="glim-signing-")
        cls.dir = cls.tmp.name
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
             "-out", "cert.pem", "-subj", "/O=Glimmerloom Tests/CN=Glim Test Signer",
             "-days", "2"], cls.dir)
        # A package whose length is not a multiple of 8, so that the signer
        # pads it, and whose last byte is not zero, so that the padding is
        # exactly the zeros before the table.
        cls.write("SAVER.SCR", bytes(range(256)) * 20 + b"saver")
        cls.write("DATA.DAT", b"settings=1\n")
        run(GLIMPACK_RUNNER + [GLIMPACK, "pack", "--stub", STUB, "-o", "PKG.EXE", "--title", "Signed",
             "--scr", "SAVER.SCR", "--dat", "DATA.DAT"], cls.dir)
        cls.package = cls.read("PKG.EXE")
        listing = json.loads(run(GLIMPACK_RUNNER + [GLIMPACK, "list", "--json", "PKG.EXE"], cls.dir).stdout)
        cls.body_offset = listing["records"][0]["offset"]
        cls.sign("PKG.EXE", "SHA256.EXE", "sha256")
        cls.sign("PKG.EXE", "SHA1.EXE", "sha1")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    # --- helpers ---------------------------------------------------------------

    @classmethod
    def path(cls, name):
        return os.path.join(cls.dir, name)

    @classmethod
    def read(cls, name):
        with open(cls.path(name), "rb") as f:
            return f.read()

    @classmethod
    def write(cls, name, data):
        with open(cls.path(name), "wb") as f:
            f.write(data)

    @classmethod
    def sign(cls, source, target, algorithm, *extra):
        run(["osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem", "-h", algorithm,
             *extra, "-in", source, "-out", target], cls.dir)

    def altered(self, source, target, change):
        data = bytearray(self.read(source))
        change(data)
        self.write(target, bytes(data))
        return target

    def probe(self, name):
        out = run(PROBE_RUNNER + [PROBE, name], self.dir).stdout
        return json.loads(out.strip().splitlines()[-1])

    def osslsigncode(self, name):
        done = run(["osslsigncode", "verify", "-CAfile", "cert.pem", "-in", name], self.dir,
                   check=False)
        return done.returncode == 0, done.stdout + done.stderr

    def check(self, name, outcome, fault="none"):
        """The probe's report, after checking its outcome and that it agrees
        with osslsigncode's verdict on the same file."""
        report = self.probe(name)
        self.assertEqual((report["outcome"], report["fault"]), (outcome, fault), name)
        verified, text = self.osslsigncode(name)
        self.assertEqual(verified, outcome == "intact",
                         "%s: osslsigncode says %s\n%s" % (name, verified, text))
        return report, text

    @staticmethod
    def shown_digest(text, label):
        m = re.search(label + r"\s*:\s*([0-9A-Fa-f]+)", text)
        return m.group(1).lower() if m else None

    def signed_digest_offset(self, data, report):
        digest = bytes.fromhex(report["signed_digest"])
        at = data.find(digest, report["table_offset"])
        self.assertGreater(at, 0)
        return at

    # --- the cases ---------------------------------------------------------------

    def test_unsigned_package(self):
        self.check("PKG.EXE", "unsigned")

    def test_signed_with_sha256_and_sha1(self):
        for name, algorithm in (("SHA256.EXE", "sha256"), ("SHA1.EXE", "sha1")):
            with self.subTest(algorithm):
                report, text = self.check(name, "intact")
                self.assertEqual(report["algorithm"], algorithm)
                self.assertEqual(report["subject"], SUBJECT)
                self.assertEqual(report["issuer"], SUBJECT)
                self.assertEqual(report["signed_digest"],
                                 self.shown_digest(text, "Current message digest"))
                self.assertEqual(report["file_digest"],
                                 self.shown_digest(text, "Calculated message digest"))
                when = re.search(r"Signing time: (\w+ +\d+ [\d:]+ \d+) GMT", text).group(1)
                shown = datetime.datetime.strptime(" ".join(when.split()), "%b %d %H:%M:%S %Y")
                self.assertEqual(report["signing_time"], shown.strftime("%Y-%m-%dT%H:%M:%SZ"))
                # The table ends the file, after the padding to 8 bytes.
                size = len(self.read(name))
                self.assertEqual(report["table_offset"], align8(len(self.package)))
                self.assertEqual(report["table_offset"] + report["table_size"], size)
                self.assertNotEqual(len(self.package) % 8, 0)
                self.assertEqual(report["padding_offset"], len(self.package))
                self.assertEqual(report["padding_size"],
                                 align8(len(self.package)) - len(self.package))
                self.assertEqual((report["entries"], report["nested"]), (1, 0))

    def test_a_body_byte_flipped_after_signing(self):
        def flip(data):
            data[self.body_offset + 100] ^= 0x01
        name = self.altered("SHA256.EXE", "TAMPERED.EXE", flip)
        report, text = self.check(name, "changed-after-signing")
        self.assertNotEqual(report["file_digest"], report["signed_digest"])
        # Both compute the same digest of the changed file.
        self.assertEqual(report["file_digest"], self.shown_digest(text, "Calculated message digest"))
        # Signed anew, the changed file is as it was signed.
        self.sign(name, "RESIGNED.EXE", "sha256")
        resigned, _ = self.check("RESIGNED.EXE", "intact")
        self.assertEqual(resigned["signed_digest"], report["file_digest"])

    def test_what_the_digest_covers(self):
        signed = self.read("SHA256.EXE")
        pe = struct.unpack_from("<I", signed, 60)[0]

        def checksum(data):
            data[pe + 24 + 64] ^= 0x55

        def padding(data):
            data[len(self.package)] ^= 0x01

        def stub_header(data):
            data[pe + 24 + 40] ^= 0x01  # the optional header's OS version

        # The checksum field is left out of the digest; the padding the
        # signer added and every header byte are in it.
        self.check(self.altered("SHA256.EXE", "CHECKSUM.EXE", checksum), "intact")
        self.check(self.altered("SHA256.EXE", "PADDING.EXE", padding), "changed-after-signing")
        self.check(self.altered("SHA256.EXE", "HEADER.EXE", stub_header), "changed-after-signing")

    def test_digest_rewritten_inside_the_signature(self):
        # The file changed and the digest inside the signature made to match
        # it: the digest the signer signed no longer matches its content.
        def flip(data):
            data[self.body_offset] ^= 0x80
        tampered = self.probe(self.altered("SHA256.EXE", "REWRITE0.EXE", flip))

        def rewrite(data):
            at = self.signed_digest_offset(data, tampered)
            data[at:at + 32] = bytes.fromhex(tampered["file_digest"])
            flip(data)
        report, _ = self.check(self.altered("SHA256.EXE", "REWRITTEN.EXE", rewrite),
                               "signature-invalid", "message-digest-mismatch")
        self.assertEqual(report["signed_digest"], tampered["file_digest"])

    def test_signed_attribute_altered(self):
        # One digit of the signing time, which the signer's signature covers.
        def alter(data):
            report = self.probe("SHA256.EXE")
            stamp = report["signing_time"]
            utc = (stamp[2:4] + stamp[5:7] + stamp[8:10] + stamp[11:13] + stamp[14:16] +
                   stamp[17:19] + "Z").encode()
            # The last one: the certificate, made in the same second, may
            # carry the same time before it.
            at = data.rfind(utc, report["table_offset"])
            self.assertGreater(at, 0)
            data[at + 11] = ord("0") if data[at + 11] != ord("0") else ord("1")
        self.check(self.altered("SHA256.EXE", "ATTRIBUTE.EXE", alter), "signature-invalid",
                   "signature-does-not-verify")

    def test_stub_signed_before_the_payload_was_appended(self):
        self.sign(STUB, "SIGNED-STUB.EXE", "sha256")
        self.check("SIGNED-STUB.EXE", "intact")
        # pack refuses to build on it, naming the stub and why.
        done = run(GLIMPACK_RUNNER + [GLIMPACK, "pack", "--stub", "SIGNED-STUB.EXE", "-o", "ON-SIGNED.EXE",
                    "--title", "Refused", "--scr", "SAVER.SCR", "--dat", "DATA.DAT"], self.dir, check=False)
        self.assertEqual(done.returncode, 2)
        self.assertIn("SIGNED-STUB.EXE", done.stderr)
        self.assertIn("signed: laying it out or appending a payload would void its signature; "
                      "sign the finished package instead", done.stderr)
        self.assertFalse(os.path.exists(self.path("ON-SIGNED.EXE")))
        # Made by hand instead: the signed stub, then a payload.
        stub = self.read("SIGNED-STUB.EXE")
        self.write("APPENDED.EXE", stub + self.package[len(self.read(STUB)):])
        report, _ = self.check("APPENDED.EXE", "not-at-end")
        self.assertEqual(report["table_offset"] + report["table_size"], len(stub))
        self.assertEqual(report["subject"], SUBJECT)

    def test_bytes_after_the_certificate_table(self):
        signed = self.read("SHA256.EXE")
        self.write("TRAILING.EXE", signed + bytes(1024))
        self.check("TRAILING.EXE", "not-at-end")

    def test_cut_short_inside_the_table(self):
        signed = self.read("SHA256.EXE")
        self.write("CUT.EXE", signed[:-100])
        self.check("CUT.EXE", "malformed", "table-outside-file")

    def test_nested_signature_is_counted_not_checked(self):
        self.sign("SHA1.EXE", "NESTED.EXE", "sha256", "-nest")
        report, _ = self.check("NESTED.EXE", "intact")
        self.assertEqual((report["algorithm"], report["nested"]), ("sha1", 1))

    def test_every_byte_of_the_table_altered(self):
        # Each byte of the certificate table flipped in turn, and the table
        # cut short at every length: every file gets a report (none crashes
        # the reading, which runs under the sanitizers natively), and no
        # change to what the signer signed leaves the file "intact".
        signed = self.read("SHA256.EXE")
        report = self.probe("SHA256.EXE")
        start = report["table_offset"]
        digest_at = self.signed_digest_offset(signed, report)
        names, flipped = [], []
        for i, at in enumerate(range(start, len(signed))):
            data = bytearray(signed)
            data[at] ^= 0xFF
            names.append("FLIP%d.EXE" % i)
            flipped.append(at)
            self.write(names[-1], bytes(data))
        for n in range(0, len(signed) - start, 7):
            names.append("CUT%d.EXE" % n)
            flipped.append(None)
            self.write(names[-1], signed[:start + n])
        outcomes = {"intact", "changed-after-signing", "signature-invalid", "malformed",
                    "not-at-end"}
        for first in range(0, len(names), 400):
            batch = names[first:first + 400]
            out = run(PROBE_RUNNER + [PROBE] + batch, self.dir).stdout.strip().splitlines()
            self.assertEqual(len(out), len(batch))
            for name, at, line in zip(batch, flipped[first:first + 400], out):
                result = json.loads(line)
                self.assertIn(result["outcome"], outcomes, name)
                if at is None:
                    self.assertNotEqual(result["outcome"], "intact", name)
                elif digest_at <= at < digest_at + 32 or start <= at < start + 8:
                    self.assertNotEqual(result["outcome"], "intact", name)
        for name in names:
            os.remove(self.path(name))


if __name__ == "__main__":
    unittest.main()
