"""The manual page, the README and the bash completion name every action, option and exit
status that the binary has, and no exit status that it does not have."""

import os
import re
import shutil
import subprocess
import unittest

import harness

ROOT = os.path.dirname(harness.HERE)
MANPAGE = os.path.join(ROOT, "packaging", "corvane.1")
COMPLETION = os.path.join(ROOT, "packaging", "corvane.bash-completion")
README = os.path.join(ROOT, "README.md")

# Answered although the help screen does not list them.
UNLISTED_ACTIONS = {"jsonzone", "cache", "memory", "zones"}
# The lines the program prints for a person or for the agent, besides answers.
MESSAGES = ["ZBX_NOTSUPPORTED", "Missing argument", "HTTP GET Failed", "Unknown root tag",
            "Unsupported bind statistics version"]
EMPTY = ('{"zones": {}, "counter": {}, "zonemaintenancecounter": {}, "resolvercounter": {}, '
         '"socketcounter": {}, "incounter": {}, "outcounter": {}, "cache": {}, "memory": {}}')


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def helpscreen():
    run = harness.corvane("--help")
    assert run.status == 0, run
    return run.out


def helpactions(screen):
    """The words of the `action` entry: from its line to the next empty line."""
    lines = screen.splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip().startswith("action"))
    words = []
    for line in lines[start:]:
        if not line.strip():
            break
        words += [w for w in re.split(r"[\s|]+", line) if w]
    return set(words) - {"action"}


def helpoptions(screen):
    """Every option spelling the help screen shows (-h, --help, -z ...)."""
    return set(re.findall(r"(?<![\w-])(--?[a-z][-a-z]*)", screen))


def mansection(source, name):
    """The roff source of one .SH section, up to the next."""
    m = re.search(r'(?ms)^\.SH "?%s"?\n(.*?)(?=^\.SH |\Z)' % re.escape(name), source)
    assert m, f"no section {name} in {MANPAGE}"
    return m.group(1)


def tags(section):
    """The first word of each .TP tag, with roff's escapes and font macros taken off."""
    found = []
    lines = section.splitlines()
    for i, line in enumerate(lines[:-1]):
        if line.startswith(".TP"):
            tag = re.sub(r"^\.[A-Z]+\s+", "", lines[i + 1]).replace("\\-", "-").strip('"')
            found.append(tag.split()[0] if tag.split() else "")
    return found


class Documented(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.screen = helpscreen()
        cls.actions = helpactions(cls.screen) | UNLISTED_ACTIONS
        cls.options = helpoptions(cls.screen)
        cls.man = read(MANPAGE)
        cls.readme = read(README)
        cls.completion = read(COMPLETION)

    def test_help_screen_was_understood(self):
        # Guards the parsing above: a reworded help screen must not make every check vacuous.
        self.assertGreaterEqual(len(self.actions), 10, self.screen)
        self.assertTrue({"-h", "--help", "-z", "-c", "-p"} <= self.options, self.options)

    def test_every_action_in_manual_readme_and_completion(self):
        manactions = set(tags(mansection(self.man, "ACTIONS")))
        readmeactions = set(re.findall(r"(?m)^\| `([a-z]+)` \|", self.readme))
        completionactions = set(re.search(r'actions="([^"]*)"', self.completion).group(1).split())
        for action in sorted(self.actions):
            with self.subTest(action=action):
                self.assertIn(action, manactions, "ACTIONS section of the manual page")
                self.assertIn(action, readmeactions, "answers table of the README")
                self.assertIn(action, completionactions, "bash completion")

    def test_every_option_in_manual_readme_and_completion(self):
        manoptions = {t for t in tags(mansection(self.man, "OPTIONS"))}
        manoptions |= {"--help"} if re.search(r"\\-\\-help", mansection(self.man, "OPTIONS")) else set()
        synopsis = mansection(self.man, "SYNOPSIS").replace("\\-", "-")
        completionoptions = set(re.search(r'options="([^"]*)"', self.completion).group(1).split())
        for option in sorted(self.options):
            with self.subTest(option=option):
                self.assertIn(option, manoptions, "OPTIONS section of the manual page")
                if option != "--help":
                    self.assertIn(option, synopsis, "SYNOPSIS of the manual page")
                self.assertIn(f"`{option}", self.readme)
                self.assertIn(option, completionoptions, "bash completion")

    def test_exit_statuses_are_the_documented_ones(self):
        harness.placecache(EMPTY)
        runs = {
            "help": harness.corvane("-h"),
            "answer": harness.corvane("json"),
            "missing argument": harness.corvane("zonecounter"),
            "no such key": harness.corvane("counter", "-c", "nosuchcounter"),
            "no action": harness.corvane(),
            "unknown option": harness.corvane("-x", "json"),
        }
        seen = {run.status for run in runs.values()}
        self.assertEqual(seen, {0, 1, 2}, runs)
        manstatuses = {int(t) for t in tags(mansection(self.man, "EXIT STATUS")) if t.isdigit()}
        readmestatuses = {int(s) for s in re.findall(r"(?m)^\| ([0-9]) \|", self.readme)}
        self.assertEqual(manstatuses, seen, "EXIT STATUS section of the manual page")
        self.assertEqual(readmestatuses, seen, "status table of the README")

    def test_fixed_messages_are_the_programs(self):
        with open(harness.CORVANE, "rb") as f:
            binary = f.read()
        for message in MESSAGES:
            with self.subTest(message=message):
                self.assertIn(message.encode(), binary, "the program no longer prints it")
                self.assertIn(message, self.man)
                self.assertIn(message, self.readme)

    def test_manual_page_examples_are_filled_in(self):
        self.assertFalse("PLACEHOLDER" in self.man, "the EXAMPLES still hold a placeholder")


@unittest.skipUnless(shutil.which("groff"), "groff is not installed")
class Renders(unittest.TestCase):
    def test_groff_has_no_warning(self):
        p = subprocess.run(["groff", "-man", "-ww", "-z", MANPAGE], capture_output=True, text=True)
        self.assertEqual((p.returncode, p.stdout, p.stderr), (0, "", ""))


class Completion(unittest.TestCase):
    def test_is_valid_bash(self):
        p = subprocess.run(["bash", "-n", COMPLETION], capture_output=True, text=True)
        self.assertEqual((p.returncode, p.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
