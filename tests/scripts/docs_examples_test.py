"""Runs every example of the documentation's pages, in order, each page in a scratch directory
of its own, with the built program first on PATH, and compares what an example prints with the
output the page shows for it.

The convention (CONTRIBUTING.md says it too):
- A fenced block marked sh, python or r is run: sh by bash with -e and pipefail, python in
  one interpreter per page (the blocks of a page share their names), r by Rscript.
- A ```text block right after such a block (nothing but blank lines between) is its standard
  output. A line `...` stands for any lines, and `...` inside a line for any text; trailing
  spaces are not compared.
- A block whose preceding paragraph starts "*Not run by the documentation tests" is skipped;
  the paragraph must name, in backticks, the test that covers it instead.
- r blocks that load the R package run when it is installed (the r_package test installs it
  under the build tree); otherwise they are reported skipped.

Usage: docs_examples_test.py SOURCE_DIR PROGRAM [--python-path DIR] [--r-library DIR] [PAGE...]
"""
import argparse
import contextlib
import glob
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

RUN = {"sh", "python", "r"}
SKIP_MARK = "*Not run by the documentation tests"


class Block:
    def __init__(self, page, line, language, code, skip):
        self.page, self.line, self.language, self.code, self.skip = page, line, language, code, skip
        self.expected = None

    def where(self):
        return f"{self.page}:{self.line}"


def blocks_of(path, relative):
    """The fenced blocks of a page, each with the text block that shows its output."""
    lines = open(path, encoding="utf-8").read().split("\n")
    blocks, prose, i = [], [], 0
    while i < len(lines):
        fence = re.match(r"^(\s*)(```+)\s*([\w+-]*)", lines[i])
        if not fence:
            prose.append(lines[i])
            i += 1
            continue
        indent, ticks, language = fence.group(1), fence.group(2), fence.group(3).lower()
        start, body = i + 1, []
        i += 1
        while i < len(lines) and not lines[i].strip().startswith(ticks):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
            i += 1
        if i == len(lines):
            sys.exit(f"FAIL: {relative}:{start}: a code block that is never closed")
        i += 1
        if not language:
            sys.exit(f"FAIL: {relative}:{start}: a code block without a language "
                     "(sh, python, r, text, ...)")
        paragraph = "\n".join(prose).strip().split("\n\n")[-1].strip()
        between_blocks = not "\n".join(prose).strip()
        prose = []
        previous = blocks[-1] if blocks else None
        if (language == "text" and between_blocks and previous is not None
                and previous.language in RUN and previous.expected is None):
            previous.expected = "\n".join(body)
            continue
        blocks.append(Block(relative, start, language, "\n".join(body) + "\n",
                            paragraph if paragraph.startswith(SKIP_MARK) else None))
    return blocks


def matches(expected, actual):
    """Whether the output shown matches the output printed (see the module's comment)."""
    def lines(text):
        return [line.rstrip() for line in text.rstrip("\n").split("\n")] if text.strip() else []
    pattern = ""
    for line in lines(expected):
        if line == "...":
            pattern += r"(?:[^\n]*\n)*?"
        else:
            pattern += ".*?".join(re.escape(part) for part in line.split("...")) + r"\n"
    return re.fullmatch(pattern, "".join(line + "\n" for line in lines(actual)), re.S) is not None


def known_tests(source):
    names = set()
    for path in glob.glob(os.path.join(source, "**", "CMakeLists.txt"), recursive=True):
        if os.path.relpath(path, source).split(os.sep)[0] != "build":
            names.update(re.findall(r"add_test\(NAME\s+(\w+)", open(path, encoding="utf-8").read()))
    return names | {"python_module"}  # discovered per test case, named in python/CMakeLists.txt


class Page:
    def __init__(self, directory, env, r_package):
        self.directory, self.env, self.r_package = directory, env, r_package
        self.names = {"__name__": "__docs__"}

    def run(self, block):
        """Standard output of the block; raises RuntimeError with what went wrong."""
        if block.language == "sh":
            done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block.code],
                                  cwd=self.directory, env=self.env, capture_output=True,
                                  text=True, timeout=300)
            if done.returncode != 0:
                raise RuntimeError(f"exit status {done.returncode}\n--- stdout\n{done.stdout}"
                                   f"--- stderr\n{done.stderr}")
            return done.stdout
        if block.language == "r":
            script = os.path.join(self.directory, ".block.R")
            with open(script, "w", encoding="utf-8") as file:
                file.write(block.code)
            done = subprocess.run(["Rscript", "--vanilla", script], cwd=self.directory,
                                  env=self.env, capture_output=True, text=True, timeout=300)
            os.unlink(script)
            if done.returncode != 0:
                raise RuntimeError(f"exit status {done.returncode}\n--- stdout\n{done.stdout}"
                                   f"--- stderr\n{done.stderr}")
            return done.stdout
        out = io.StringIO()
        here = os.getcwd()
        os.chdir(self.directory)
        try:
            with contextlib.redirect_stdout(out):
                exec(compile(block.code, block.where(), "exec"), self.names)
        except Exception:
            raise RuntimeError(f"--- stdout\n{out.getvalue()}--- traceback\n"
                               f"{traceback.format_exc()}")
        finally:
            os.chdir(here)
        return out.getvalue()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("source")
    parser.add_argument("program")
    parser.add_argument("--python-path")
    parser.add_argument("--r-library")
    parser.add_argument("pages", nargs="*")
    args = parser.parse_intermixed_args()
    source = os.path.abspath(args.source)
    pages = args.pages or (["README.md", "docs/tutorial.md"] +
                           sorted(os.path.relpath(path, source) for path in
                                  glob.glob(os.path.join(source, "docs", "how-to", "*.md"))))

    env = dict(os.environ)
    env["PATH"] = os.path.dirname(os.path.abspath(args.program)) + os.pathsep + env["PATH"]
    env["MPLBACKEND"] = "Agg"
    if args.python_path:
        env["PYTHONPATH"] = os.path.abspath(args.python_path)
        sys.path.insert(0, env["PYTHONPATH"])
        os.environ["PATH"] = env["PATH"]  # python blocks run here, in this process
    os.environ["MPLBACKEND"] = "Agg"
    if args.r_library:
        env["R_LIBS"] = os.path.abspath(args.r_library)
    have_r = shutil.which("Rscript") is not None
    r_package = have_r and subprocess.run(
        ["Rscript", "--vanilla", "-e", 'quit(status = !requireNamespace("hostswitch", quietly = TRUE))'],
        env=env, capture_output=True).returncode == 0
    tests = known_tests(source)

    failures, ran, skipped, started = [], 0, [], time.monotonic()
    for relative in pages:
        page_started = time.monotonic()
        blocks = blocks_of(os.path.join(source, relative), relative)
        with tempfile.TemporaryDirectory(prefix="docs-") as scratch:
            page = Page(scratch, env, r_package)
            for block in blocks:
                if block.language not in RUN:
                    continue
                if block.skip is not None:
                    named = set(re.findall(r"`(\w+)`", block.skip)) & tests
                    if not named:
                        failures.append(f"{block.where()}: skipped, but its note names no test "
                                        f"that covers it: {block.skip!r}")
                    skipped.append(f"{block.where()} (covered by {', '.join(sorted(named))})")
                    continue
                if block.language == "r" and (not have_r or (
                        "library(hostswitch)" in block.code and not r_package)):
                    skipped.append(f"{block.where()} (no {'R' if not have_r else 'R package hostswitch'} here)")
                    continue
                if block.language == "python" and not args.python_path and any(
                        "import hostswitch" in other.code for other in blocks):
                    skipped.append(f"{block.where()} (no Python module built)")
                    continue
                ran += 1
                try:
                    output = page.run(block)
                except (RuntimeError, subprocess.TimeoutExpired) as error:
                    failures.append(f"{block.where()}: the {block.language} block failed:\n"
                                    f"{block.code}{error}")
                    break  # later blocks of the page build on this one
                if block.expected is not None and not matches(block.expected, output):
                    failures.append(f"{block.where()}: the {block.language} block printed\n"
                                    f"{output}--- but the page shows\n{block.expected}")
        print(f"{relative}: {time.monotonic() - page_started:.1f} s")
    for note in skipped:
        print(f"skipped: {note}")
    if failures:
        print("\n\n".join(failures), file=sys.stderr)
        sys.exit(f"FAIL: {len(failures)} of the documentation's examples")
    print(f"{ran} examples of {len(pages)} pages ran as shown in "
          f"{time.monotonic() - started:.1f} s; {len(skipped)} skipped")


if __name__ == "__main__":
    main()
