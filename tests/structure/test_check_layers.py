"""The layer check itself: it must see an upward include, a sideways one and
a private header used from outside, and pass a clean tree."""
import os
import tempfile
import unittest

import check_layers


def make_tree(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)


class CheckLayers(unittest.TestCase):
    def problems(self, files):
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, files)
            return check_layers.check(root)

    def test_a_clean_tree_passes(self):
        self.assertEqual(self.problems({
            "payload/a.cpp": '#include "format/naming.h"\n#include "platform/platform.h"\n',
            "format/naming.h": '#include "base/text.h"\n',
        }), [])

    def test_upward_sideways_and_private_includes_are_reported(self):
        found = self.problems({
            "payload/extract.cpp": '#include "shell/shell.h"\n',
            "decoder/streams.cpp": '#include "platform/platform.h"\n',
            "shell/texts.cpp": '#include "platform/platform.h"\n',
            "tools/glimpack/x.cpp": '#include "tests/fakes/fake_control.h"\n',
            "package/y.cpp": '#include "platform/host/host_state.h"\n',
        })
        text = "\n".join(found)
        for culprit in ("payload/extract.cpp", "decoder/streams.cpp", "shell/texts.cpp",
                        "tools/glimpack/x.cpp", "package/y.cpp"):
            self.assertIn(culprit, text)

    def test_system_calls_outside_hostos_are_reported(self):
        found = self.problems({
            "package/read.cpp": "#include <unistd.h>\n",
            "tools/glimpack/files.cpp": "#ifdef _WIN32\n#endif\n",
            "platform/host/host_files.cpp": "#include <sys/stat.h>\n",
            "encoder/x.cpp": "#if defined(__linux__) || defined(__APPLE__)\n#endif\n",
            "tools/glimpack/main.cpp": "#ifdef __linux__\n#endif\n",
        })
        text = "\n".join(found)
        for culprit in ("package/read.cpp", "tools/glimpack/files.cpp",
                        "platform/host/host_files.cpp", "encoder/x.cpp", "tools/glimpack/main.cpp"):
            self.assertIn(culprit, text)

    def test_hostos_and_the_entry_may_depend_on_the_system(self):
        self.assertEqual(self.problems({
            "hostos/windows.cpp": "#include <windows.h>\n#ifdef _WIN32\n#endif\n",
            "hostos/posix.cpp": "#include <unistd.h>\n#include <sys/stat.h>\n",
            "tools/glimpack/main.cpp": "#ifdef _WIN32\nint wmain();\n#endif\n",
            "platform/win32/platform_win32.cpp": "#include <sys/stat.h>\n",
            "package/text.cpp": "// #include <windows.h> is not needed here\n",
        }), [])


if __name__ == "__main__":
    unittest.main()
