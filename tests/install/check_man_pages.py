"""Checks that a manual page names every long option that the program's
--help and each of its subcommands' --help show.
    check_man_pages.py PROGRAM MANUAL_PAGE [PROGRAM MANUAL_PAGE...]
"""
import re
import subprocess
import sys

OPTION = re.compile(r"--[a-z0-9][a-z0-9-]*")


def help_text(program, *words):
    return subprocess.run([program, *words, "--help"], check=True, capture_output=True, text=True).stdout


def section(text, title):
    """The indented lines below `title:` up to the next line that is not."""
    found = re.search(r"^%s:\n((?:[ \t]+.*\n)+)" % title, text, re.MULTILINE)
    return found.group(1) if found else ""


def options_of(text):
    # An option line starts with the option; its description may name others.
    return {OPTION.search(line).group(0) for line in section(text, "Options").splitlines()
            if re.match(r"\s+(-\w,)?--", line)}


def check(program, page):
    with open(page, encoding="utf-8") as f:
        documented = set(OPTION.findall(f.read().replace("\\-", "-")))
    top = help_text(program)
    commands = [line.split()[0] for line in section(top, "Subcommands").splitlines() if line.strip()]
    missing = []
    for words in [[]] + [[c] for c in commands]:
        missing += ["%s: %s" % (" ".join([program] + words), option)
                    for option in sorted(options_of(help_text(program, *words)) - documented)]
    for line in missing:
        print("not in %s: %s" % (page, line))
    print("%s: %d commands, %s" % (page, len(commands) + 1, "options missing" if missing else "every option named"))
    return not missing


if __name__ == "__main__":
    pairs = list(zip(sys.argv[1::2], sys.argv[2::2]))
    sys.exit(0 if all([check(program, page) for program, page in pairs]) else 1)
