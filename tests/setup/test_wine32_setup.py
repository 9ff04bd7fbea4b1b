"""The set-up step that makes 32-bit programs run: where it takes the
backports' address from, the probe it trusts, and what it tells a user
without root."""

import contextlib
import importlib.util
import io
import os
import unittest
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "cmake", "ensure-wine32.py")
spec = importlib.util.spec_from_file_location("ensure_wine32", SCRIPT)
w32 = importlib.util.module_from_spec(spec)
spec.loader.exec_module(w32)

DEB822 = """Types: deb
# a snapshot comment
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"""


class BackportsSource(unittest.TestCase):
    def test_copies_address_components_and_keyring_of_the_bookworm_entry(self):
        entry = w32.backports_entry({"/etc/apt/sources.list.d/debian.sources": DEB822})
        self.assertEqual(entry, "Types: deb\nURIs: http://mirror.example/debian\n"
                         "Suites: bookworm-backports\nComponents: main contrib\n"
                         "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n")

    def test_one_line_sources_with_their_options(self):
        text = ("# deb http://old.example/debian bookworm main\n"
                "deb [arch=amd64 signed-by=/k.gpg] http://m.example/debian bookworm main\n")
        entry = w32.backports_entry({"/etc/apt/sources.list": text})
        self.assertIn("URIs: http://m.example/debian\n", entry)
        self.assertIn("Signed-By: /k.gpg\n", entry)

    def test_nothing_to_add_when_backports_is_there_in_either_form(self):
        for files in ({"/a.sources": DEB822 + "\nTypes: deb\nURIs: http://x/\n"
                                              "Suites: bookworm-backports\n"},
                      {"/a.sources": DEB822,
                       "/b.list": "deb http://x/debian bookworm-backports main\n"}):
            self.assertIsNone(w32.backports_entry(files))

    def test_disabled_and_other_suites_are_not_copied(self):
        disabled = DEB822.replace("Types: deb\n# a", "Enabled: no\nTypes: deb\n# a", 1)
        with self.assertRaises(w32.SetupError):
            w32.backports_entry({"/a.sources": disabled})
        with self.assertRaises(w32.SetupError):
            w32.backports_entry({"/a.list": "deb-src http://x/ bookworm main\n"})


class Probe(unittest.TestCase):
    def test_the_probe_runs_here_and_says_how(self):
        # make test has been through the set-up, so i386 programs run, one
        # way or the other, and the description names the way.
        probe = w32.run_probe()
        self.assertTrue(probe.runs)
        self.assertRegex(probe.describe(), r"^32-bit programs run (natively|through the emulator, "
                         r"qemu-i386 \d+\.)")

    def test_emulator_versions(self):
        line = w32.first_version_line("qemu-i386 version 10.0.2 (Debian 1:10.0.2)\nCopyright\n")
        self.assertEqual(line, "qemu-i386 version 10.0.2 (Debian 1:10.0.2)")
        self.assertEqual(w32.version_number(line), 10)
        self.assertIsNone(w32.first_version_line(""))
        self.assertEqual(w32.version_number(None), 0)


class WithoutRoot(unittest.TestCase):
    def test_prints_the_commands_and_fails(self):
        refused = w32.Probe(False, None, "the kernel refused it: Exec format error")
        err = io.StringIO()
        with mock.patch.object(w32, "run_probe", return_value=refused), \
                mock.patch.object(w32, "installed_qemu", return_value=None), \
                mock.patch.object(w32, "apt_source_files",
                                  return_value={"/d.sources": DEB822}), \
                mock.patch.object(w32.os, "geteuid", return_value=1000), \
                contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(w32.main(["ensure-wine32.py", "auto"]), 1)
        text = err.getvalue()
        self.assertIn("does not run here (the kernel refused it: Exec format error)", text)
        self.assertIn("sudo apt-get install -y -t bookworm-backports qemu-user-static", text)
        self.assertIn("'%s' | sudo tee /proc/sys/fs/binfmt_misc/register" % w32.REGISTRATION, text)
        self.assertTrue(text.rstrip().endswith("32-bit programs cannot run yet"))

    def test_an_unknown_mode_is_a_usage_error(self):
        with contextlib.redirect_stderr(io.StringIO()):
            self.assertEqual(w32.main(["ensure-wine32.py", "sometimes"]), 2)


if __name__ == "__main__":
    unittest.main()
