"""The documentation cannot drift from the tool: the commands the tool lists
in its --help (made from its one table of commands) are those of the man page
and the bash completion, every option each command accepts (its --help is made
from the same table its parser uses) is in the man page and the completion,
and the other way round; the version is one."""
import os
import re
import subprocess
import unittest

GLIMPACK = os.environ.get("GLIMPACK", "glimpack")
MAN_PAGE = os.environ.get("GLIMPACK_MAN", "")
COMPLETION = os.environ.get("GLIMPACK_COMPLETION", "")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
EVERYWHERE = {"-h", "--help", "--version"}  # described once, for every command


def tool_commands():
    """The commands as `glimpack --help` lists them, in its order."""
    out = subprocess.run([GLIMPACK, "--help"], stdout=subprocess.PIPE, text=True,
                         check=True).stdout
    section = out.split("\nCommands:\n", 1)[1].split("\n\n", 1)[0]
    return [line.split()[0] for line in section.splitlines()]


COMMANDS = tool_commands()


def help_options(command):
    out = subprocess.run([GLIMPACK, "help", command], stdout=subprocess.PIPE, text=True,
                         check=True).stdout
    options = set()
    section = out.split("\nOptions:\n", 1)[1]
    for line in section.splitlines():
        m = re.match(r"  (-[^ ,]+(?:, -[^ ,]+)*)", line)
        if m:
            options.update(o.strip() for o in m.group(1).split(","))
    return options


def man_options():
    with open(MAN_PAGE) as f:
        text = f.read()
    sections = {}
    for m in re.finditer(r'^\.SS "glimpack ([a-z-]+)"\n(.*?)(?=^\.SS |^\.SH )', text,
                         re.S | re.M):
        if m.group(1) == "help":
            sections["help"] = set()  # it has only the options every command has
            continue
        options = set()
        for tp in re.finditer(r"^\.TP\n(.*)$", m.group(2), re.M):
            options.update(o.replace("\\-", "-")
                           for o in re.findall(r"\\-(?:\\-)?[a-zA-Z][\w\\-]*", tp.group(1)))
        sections[m.group(1)] = options
    return sections, text


def completion_text():
    with open(COMPLETION) as f:
        return f.read()


def completion_options():
    options = {m.group(1): set(m.group(2).split())
               for m in re.finditer(r'^\s+([a-z-]+)\) options="([^"]*)"', completion_text(),
                                    re.M)}
    options.setdefault("help", set())  # `help` completes command names instead
    return options


def man_command_list(text):
    """The commands the man page lists under COMMANDS, before the first .SS."""
    part = text.split("\n.SH COMMANDS\n", 1)[1].split("\n.SS ", 1)[0]
    return [name.replace("\\-", "-") for name in re.findall(r"^\.TP\n\.B (\S+)$", part, re.M)]


class Documentation(unittest.TestCase):
    def test_the_man_page_and_the_completion_list_the_tool_s_commands(self):
        self.assertIn("help", COMMANDS)
        _, man = man_options()
        self.assertEqual(man_command_list(man), COMMANDS)
        listed = re.search(r'local commands="([^"]*)"', completion_text()).group(1).split()
        self.assertEqual(listed, COMMANDS)
        # `help` completes with the commands' names, the same list.
        self.assertIn('help) COMPREPLY=($(compgen -W "$commands"', completion_text())
        for command in COMMANDS:
            with self.subTest(command=command):
                helped = subprocess.run([GLIMPACK, "help", command], stdout=subprocess.PIPE,
                                        text=True)
                self.assertEqual(helped.returncode, 0)
                self.assertTrue(helped.stdout.startswith("Usage: glimpack %s " % command))

    def test_the_man_page_documents_exactly_what_each_command_accepts(self):
        sections, _ = man_options()
        for command in COMMANDS:
            with self.subTest(command=command):
                self.assertEqual(sections.get(command), help_options(command) - EVERYWHERE)

    def test_the_completion_offers_exactly_what_each_command_accepts(self):
        completion = completion_options()
        for command in COMMANDS:
            with self.subTest(command=command):
                self.assertEqual(completion.get(command), help_options(command) - EVERYWHERE)

    def test_the_version_is_one_in_the_tool_the_man_page_and_the_build(self):
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            project = re.search(r"project\(\S+ VERSION (\S+)", f.read()).group(1)
        tool = subprocess.run([GLIMPACK, "--version"], stdout=subprocess.PIPE, text=True,
                              check=True).stdout.strip()
        self.assertEqual(tool, "glimpack " + project)
        for command in COMMANDS:
            out = subprocess.run([GLIMPACK, command, "--version"], stdout=subprocess.PIPE,
                                 text=True, check=True).stdout.strip()
            self.assertEqual(out, tool)
        _, man = man_options()
        self.assertIn('"glimpack %s"' % project, man)

    def test_the_readme_lists_exactly_the_codes_of_the_problem_table(self):
        with open(os.path.join(SOURCE, "package", "problems.cpp")) as f:
            table = re.findall(r'\{C::k\w+, "([a-z0-9-]+)", [PN],', f.read())
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        section = readme.split("### Problems and their codes", 1)[1].split("\n## ", 1)[0]
        listed = re.findall(r"^\| `([a-z0-9-]+)` \|", section, re.M)
        self.assertGreater(len(table), 40)
        self.assertEqual(listed, table)

    def test_what_ok_promises_is_said_in_the_same_words_everywhere(self):
        sentence = ("OK means the installer will read and write every file as listed, and "
                    "nothing more: the format has no checksum, so only a signature can show "
                    "that no byte was changed since the package was made.")
        help_text = subprocess.run([GLIMPACK, "help", "test"], stdout=subprocess.PIPE,
                                   text=True, check=True).stdout
        _, man = man_options()
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        for where, text in (("help", help_text), ("man page", man), ("README", readme)):
            with self.subTest(where=where):
                self.assertIn(sentence, " ".join(text.split()))

    def test_the_device_names_are_written_once(self):
        """The README's list of device names is the rule's own sentence."""
        with open(os.path.join(SOURCE, "base", "windows_names.h")) as f:
            m = re.search(r'#define WINDOWS_DEVICE_NAMES_TEXT\s*\\\n((?:\s*"[^"]*"\s*\\?\n)+)', f.read())
        sentence = "".join(re.findall(r'"([^"]*)"', m.group(1)))
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = " ".join(f.read().split())
        self.assertIn(sentence, readme)

    def test_the_readme_names_every_command_and_long_option(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        missing = []
        for command in COMMANDS:
            if "**%s**" % command not in readme and command != "help":
                missing.append(command)
            for option in help_options(command) - EVERYWHERE:
                if option.startswith("--") and not re.search(
                        r"(?<![\w-])%s(?![\w-])" % re.escape(option), readme):
                    missing.append("%s %s" % (command, option))
        self.assertEqual(missing, [], "not in the README")


if __name__ == "__main__":
    unittest.main()
