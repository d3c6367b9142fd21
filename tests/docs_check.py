#!/usr/bin/env python3
"""The documents against the code.

    tests/docs_check.py SOURCE_DIR BUILD_DIR

1. Every program `cmake --install BUILD_DIR` puts in bin/ and sbin/ (staged
   in a temporary directory) has a manual page docs/man/PROGRAM.1, installed
   too, that names as words (roff's `\\-` and font escapes removed) each
   option and subcommand its `--help` prints: options are its `--word`
   tokens (`--help` aside); subcommands the lower-case words after the
   program's name on a usage line and, where the usage names a COMMAND, the
   lines indented by two spaces that start with a lower-case word. Corvana
   and Mistrel take no arguments and would start working: they are not run.
2. Every module (base name of a .cpp or .h under src/ and web/) is named in
   backquotes in a table row of docs/architecture.md.

Exits 1 with one line per finding, 0 when there is none.
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

# Programs that take no arguments: never run with --help.
NO_ARGUMENTS = {"Corvana", "Mistrel"}

OPTION = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*")


def roff_text(path):
    """The page's words: roff escapes for minus and fonts removed."""
    text = path.read_text(encoding="utf-8", errors="replace")
    text = text.replace("\\-", "-").replace("\\(en", "-").replace("\\(em", "-")
    return re.sub(r"\\f(\[[^\]]*\]|\(..|.)", "", text).replace("\\&", "").replace("\\e", "\\")


def help_text(program):
    """What `PROGRAM --help` prints (standard output and error), or None."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8",
           "TERM": "dumb", "ULMET_DB_CONFIG": "/nonexistent/ulmet-docs-check.cnf"}
    try:
        run = subprocess.run([str(program), "--help"], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=20, env=env)
        return run.stdout + run.stderr
    except subprocess.TimeoutExpired:
        return None


def interface(name, text):
    """The options and subcommands a program's help names."""
    options = sorted(set(OPTION.findall(text)) - {"--help"})
    lines = text.splitlines()
    # A usage line per subcommand: "[usage:] PROGRAM WORD ...".
    usage = r"\s*(?:usage:\s*)?" + re.escape(name) + r"\s+([a-z][a-z0-9-]*)(\s|$)"
    found = [m.group(1) for line in lines if (m := re.match(usage, line))]
    has_commands = any(re.search(r"\b" + re.escape(name) + r"\b.*\bCOMMAND\b", l) for l in lines)
    if has_commands:
        found += [m.group(1) for line in lines
                  if (m := re.match(r"  ([a-z][a-z0-9-]*)(\s|$)", line)) and m.group(1) != name]
    return options, list(dict.fromkeys(found)), has_commands


def check_programs(source, build, problems):
    with tempfile.TemporaryDirectory(prefix="ulmet-docs-") as stage:
        # Staged with DESTDIR, not --prefix: the units' and users' directories
        # are absolute paths, which --prefix would leave on the live system.
        run = subprocess.run(["cmake", "--install", str(build)], capture_output=True, text=True,
                             env=dict(os.environ, DESTDIR=stage))
        if run.returncode != 0:
            return problems.append("cmake --install failed: " + run.stderr.strip())
        cache = (build / "CMakeCache.txt").read_text(encoding="utf-8")
        prefix = re.search(r"^CMAKE_INSTALL_PREFIX:\w+=(.*)$", cache, re.M)
        root = Path(stage + (prefix.group(1) if prefix else "/usr/local"))
        programs = sorted(p for d in ("bin", "sbin") if (root / d).is_dir()
                          for p in (root / d).iterdir() if os.access(p, os.X_OK))
        if not programs:
            problems.append("cmake --install installed no program")
        for program in programs:
            name = program.name
            page = source / "docs" / "man" / (name + ".1")
            if not page.is_file():
                problems.append(f"{name}: no manual page docs/man/{name}.1")
                continue
            if not (root / "share" / "man" / "man1" / (name + ".1")).is_file():
                problems.append(f"{name}: docs/man/{name}.1 is not installed")
            if name in NO_ARGUMENTS:
                continue
            text = help_text(program)
            if text is None:
                problems.append(f"{name}: --help did not end within 20 s")
                continue
            # The usage names the program (a script may say its name in the
            # source tree, install-db for ulmet-install-db).
            if name not in text and name.removeprefix("ulmet-") not in text:
                problems.append(f"{name}: --help printed no usage: {text.strip()[:200]!r}")
                continue
            options, subcommands, has_commands = interface(name, text)
            if has_commands and not subcommands:
                problems.append(f"{name}: its usage names a COMMAND but --help lists none")
            page_text = roff_text(page)
            for word in options + subcommands:
                if not re.search(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])", page_text):
                    kind = "option" if word.startswith("--") else "subcommand"
                    problems.append(f"{name}: docs/man/{name}.1 does not name the {kind} {word}")


def check_modules(source, problems):
    modules = {p.stem for folder in ("src", "web") for p in (source / folder).rglob("*")
               if p.suffix in (".cpp", ".h") and p.is_file()}
    doc = source / "docs" / "architecture.md"
    rows = "\n".join(line for line in doc.read_text(encoding="utf-8").splitlines()
                     if line.lstrip().startswith("|"))
    named = set(re.findall(r"`([A-Za-z0-9_]+)(?:\.(?:cpp|h))?`", rows))
    problems += [f"module {m}: not in a table of docs/architecture.md" for m in sorted(modules - named)]


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    source, build = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    problems = []
    check_programs(source, build, problems)
    check_modules(source, problems)
    for problem in problems:
        print("docs_check: " + problem)
    if not problems:
        print("docs_check: every installed program's page names its interface; "
              "every module is in docs/architecture.md")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
