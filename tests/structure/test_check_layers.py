"""The layer check itself: each way of reaching another folder's files is
planted in a small tree and must be reported, by the file that does it, while
a tree that keeps to the rules passes."""
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

    def culprits(self, files):
        return sorted({p.split(": ", 1)[0] for p in self.problems(files)})

    def assert_each_reported(self, files):
        """Every file planted is a violation of its own, and reported."""
        self.assertEqual(self.culprits(files), sorted(files))

    def test_a_clean_tree_passes(self):
        self.assertEqual(self.problems({
            "payload/a.cpp": '#include "format/naming.h"\n#include "platform/platform.h"\n',
            "format/naming.h": '#include "base/text.h"\n#include <stddef.h>\n',
            "hostos/windows.cpp": '#include "base/windows_names.h"\n#include <windows.h>\n',
            "samples/stars/saver.cpp": '#include "resource.h"\n',
            "samples/stars/resource.h": "",
            "tests/unit/a_test.cpp": '#include "testkit/fakes/fake_control.h"\n'
                                     '#include "platform/host/host_world.h"\n',
            "fuzz/entry.cpp": '#include "testkit/fuzz_targets/targets.h"\n',
            "bench/b.cpp": '#include "testkit/reference/oracle_decoder.h"\n',
            "package/session.cpp": '#include "platform/host/host_world.h"\n',
            "package/session.h": '#include "platform/host/host_world.h"\n',
            "encoder/e.cpp": "#include <emmintrin.h>\n#include <vector>\n#include <cstdlib>\n"
                             "// getenv(\"X\") is not called here\n"
                             'const char* k = "system(1)";\nint f(S& s) { return s.system(); }\n',
            "tools/glimpack/main.cpp": "#include <filesystem>\n#ifdef _WIN32\n#endif\n",
            "package/CMakeLists.txt": "add_library(glim_package STATIC a.cpp)\n"
                                      "target_link_libraries(glim_package PUBLIC glim_pe "
                                      "GTest::gtest -lm $<$<BOOL:X>:y>)\n",
            "pe/CMakeLists.txt": "add_library(glim_pe STATIC pe.cpp)\n",
            "testkit/fakes/CMakeLists.txt": "add_library(glim_fakes STATIC fake.cpp)\n",
            "tests/CMakeLists.txt": "set(UNIT ${CMAKE_SOURCE_DIR}/tests/unit)\n"
                                    "add_executable(unit_tests ${UNIT}/a_test.cpp "
                                    "${CMAKE_SOURCE_DIR}/testkit/packages/pe_builder.cpp)\n"
                                    "target_link_libraries(unit_tests PRIVATE glim_fakes "
                                    "glim_package)\n",
        }), [])

    def test_upward_sideways_and_private_includes_are_reported(self):
        self.assert_each_reported({
            "payload/extract.cpp": '#include "shell/shell.h"\n',
            "decoder/streams.cpp": '#include "platform/platform.h"\n',
            "shell/texts.cpp": '#include "platform/platform.h"\n',
            "tools/glimpack/x.cpp": '#include "testkit/fakes/fake_control.h"\n',
            "package/y.cpp": '#include "platform/host/host_state.h"\n',
        })

    def test_angle_bracket_includes_are_includes_too(self):
        self.assert_each_reported({
            "payload/a.cpp": "#include <shell/shell.h>\n",
            "format/b.h": "#include <package/read.h>\n",
        })

    def test_paths_are_normalised_before_they_are_judged(self):
        found = self.problems({
            "tools/glimpack/a.cpp": '#include "../../shell/dialogs.h"\n',
            "format/b.cpp": '#include "./../package/read.h"\n',
            "package/c.cpp": '#include "../platform/host/host_world.h"\n',
            "base/d.cpp": '#include "../../outside.h"\n',
            "shell/dialogs.h": "",
        })
        self.assertEqual(sorted(p.split(":")[0] for p in found),
                         ["base/d.cpp", "format/b.cpp", "package/c.cpp", "tools/glimpack/a.cpp"])
        self.assertIn("outside the repository", "\n".join(found))

    def test_every_c_and_cpp_extension_is_read(self):
        self.assert_each_reported({
            "package/a.hpp": '#include "shell/shell.h"\n',
            "package/b.hxx": '#include "shell/shell.h"\n',
            "package/c.cc": '#include "shell/shell.h"\n',
            "package/d.cxx": '#include "shell/shell.h"\n',
            "package/e.inc": '#include "shell/shell.h"\n',
            "package/f.ipp": '#include "shell/shell.h"\n',
            "package/g.c": '#include "shell/shell.h"\n',
            "package/h.hh": '#include "shell/shell.h"\n',
            "format/i.rc": '#include "payload/payload.h"\n',
            "tools/glimpack/version.h.in": '#include "shell/shell.h"\n',
        })

    def test_tests_fuzz_and_bench_do_not_use_each_other(self):
        self.assert_each_reported({
            "tests/regress/regress_test.cpp": '#include "fuzz/targets.h"\n',
            "fuzz/make_seeds.cpp": '#include "tests/support/pe_builder.h"\n',
            "bench/codec_bench.cpp": '#include "tests/reference/oracle_decoder.h"\n',
            "testkit/fakes/fake.cpp": '#include "tests/support/tool_fixture.h"\n',
        })

    def test_cmake_links_sources_and_includes_are_judged_like_includes(self):
        defined = {
            "package/CMakeLists.txt": "add_library(glim_package STATIC a.cpp)\n",
            "shell/CMakeLists.txt": "function(glim_add_shell suffix)\n"
                                    "  add_library(glim_shell${suffix} STATIC s.cpp)\n"
                                    "endfunction()\n",
            "testkit/fakes/CMakeLists.txt": "add_library(glim_fakes STATIC fake.cpp)\n",
        }
        planted = {
            # Upward: the format's library linking the package's.
            "format/CMakeLists.txt": "add_library(glim_format STATIC n.cpp)\n"
                                     "target_link_libraries(glim_format PUBLIC glim_package)\n",
            # A name made with a variable still belongs to its folder.
            "tools/CMakeLists.txt": "add_executable(glimpack main.cpp)\n"
                                    "target_link_libraries(glimpack PRIVATE glim_shell_win32)\n",
            # Object files are linked as well.
            "pe/CMakeLists.txt": "add_executable(fix WIN32 $<TARGET_OBJECTS:glim_package>)\n",
            # Another folder's sources compiled in, another's CMake file read.
            "fuzz/CMakeLists.txt": "add_executable(seeds s.cpp\n"
                                   "  ${CMAKE_SOURCE_DIR}/tests/support/pe_builder.cpp)\n",
            "tests/hostile/CMakeLists.txt": "include(${CMAKE_SOURCE_DIR}/fuzz/targets.cmake)\n",
            "bench/CMakeLists.txt": "add_executable(b b.cpp ../tests/reference/oracle.cpp)\n",
            # The fakes are for tests only, whatever the layer table says.
            "web/CMakeLists.txt": "add_executable(page page.cpp)\n"
                                  "target_link_libraries(page PRIVATE glim_fakes)\n",
        }
        self.assertEqual(self.culprits(defined | planted), sorted(planted))

    def test_the_host_back_ends_headers_are_private(self):
        found = self.culprits({
            "package/read.cpp": '#include "platform/host/host_world.h"\n',
            "tools/glimpack/cmd_extract.cpp": '#include "platform/host/host_world.h"\n',
            "web/glue.cpp": '#include "platform/host/win32_api.h"\n',
            "package/session.cpp": '#include "platform/host/host_world.h"\n',
            "package/session.h": '#include "platform/host/host_state.h"\n',
            "platform/host/host_paths.cpp": '#include "platform/host/host_state.h"\n',
        })
        # The session may hold the emulated world, not reach into its state.
        self.assertEqual(found, ["package/read.cpp", "package/session.h",
                                 "tools/glimpack/cmd_extract.cpp", "web/glue.cpp"])

    def test_system_calls_outside_hostos_are_reported(self):
        self.assert_each_reported({
            "package/read.cpp": "#include <unistd.h>\n",
            "tools/glimpack/files.cpp": "#ifdef _WIN32\n#endif\n",
            "platform/host/host_files.cpp": "#include <sys/stat.h>\n",
            "encoder/x.cpp": "#if defined(__linux__) || defined(__APPLE__)\n#endif\n",
            "tools/glimpack/main.cpp": "#ifdef __linux__\n#endif\n",
            # Any header outside the standard library, whatever its name.
            "decoder/z.cpp": "#include <zlib.h>\n",
            "pe/q.cpp": '#include "windows.h"\n',
        })

    def test_the_standard_librarys_system_access_is_hostos_alone(self):
        self.assert_each_reported({
            "tools/glimpack/cli.cpp": "#include <filesystem>\n",
            "tools/glimpack/progress.h": "#include <chrono>\n",
            "tools/glimpack/progress.cpp": 'int d() { return std::getenv("TERM") != 0; }\n',
            "package/a.cpp": "#include <fstream>\n",
            "package/b.cpp": "#include <thread>\n",
            "payload/c.cpp": "#include <csignal>\n",
            "format/d.cpp": 'void f() { ::system("x"); }\n',
            "pe/e.cpp": 'FILE* g() { return fopen("x", "rb"); }\n',
            "encoder/f.cpp": "std::random_device seed;\n",
            "base/g.cpp": "#include <ctime>\n",
        })

    def test_hostos_and_the_entry_may_depend_on_the_system(self):
        self.assertEqual(self.problems({
            "hostos/windows.cpp": "#include <windows.h>\n#ifdef _WIN32\n#endif\n",
            "hostos/posix.cpp": "#include <unistd.h>\n#include <sys/stat.h>\n"
                                'const char* t = std::getenv("TMPDIR");\n',
            "hostos/common.cpp": "#include <chrono>\n",
            "tools/glimpack/main.cpp": "#ifdef _WIN32\nint wmain();\n#endif\n#include <thread>\n",
            "platform/win32/platform_win32.cpp": "#include <sys/stat.h>\n",
            "package/text.cpp": "// #include <windows.h> is not needed here\n"
                                "/* nor\n#include <filesystem>\n */\n",
        }), [])

    def test_an_include_it_cannot_follow_is_reported(self):
        self.assert_each_reported({"package/a.cpp": "#include HEADER_OF_THE_DAY\n"})


if __name__ == "__main__":
    unittest.main()
