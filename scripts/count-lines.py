#!/usr/bin/env python3
"""Counts the non-blank, non-comment lines of the tests against those of the code they test
(driver/, host/, client/, tools/) and prints the share. Reports only; it never fails a build.

Usage: count-lines.py [--files] [PATH...]
  PATH...   count only these files or folders of tests/ (e.g. to measure one area before and
            after a change); the code total is always the whole of the code folders.
  --files   also list every counted test file with its count.
"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODE_FOLDERS = ("driver", "host", "client", "tools")
TEST_FOLDER = "tests"

# Comment syntax by file ending. Files of other kinds (data, INF, .def) are not counted.
C_LIKE = (".c", ".cc", ".cpp", ".h", ".hpp", ".S")
HASH_LIKE = (".py", ".sh", ".cmake")


def tracked_files(paths):
    """Files under the paths that git tracks or would track (new files count before their
    commit); a tree that is not a git checkout falls back to a walk."""
    try:
        listing = subprocess.run(
            ["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard",
             "--", *paths], check=True, capture_output=True).stdout.decode()
        return sorted({name for name in listing.split("\0")
                       if name and os.path.isfile(os.path.join(ROOT, name))})
    except (OSError, subprocess.CalledProcessError):
        found = []
        for path in paths:
            if os.path.isfile(os.path.join(ROOT, path)):
                found.append(path)
            for folder, _, names in os.walk(os.path.join(ROOT, path)):
                found += [os.path.relpath(os.path.join(folder, name), ROOT) for name in names]
        return found


def c_like_lines(text):
    """Lines holding code once // and /* */ comments are gone; quotes are honoured, so a // inside
    a string literal does not start a comment."""
    count = 0
    in_block = False
    for line in text.splitlines():
        has_code = False
        index, quote = 0, None
        while index < len(line):
            char = line[index]
            pair = line[index:index + 2]
            if in_block:
                if pair == "*/":
                    in_block = False
                    index += 2
                    continue
            elif quote:
                has_code = True
                if char == "\\":
                    index += 1
                elif char == quote:
                    quote = None
            elif pair == "//":
                break
            elif pair == "/*":
                in_block = True
                index += 2
                continue
            elif not char.isspace():
                has_code = True
                if char in "\"'":
                    quote = char
            index += 1
        count += has_code
    return count


def hash_lines(text):
    return sum(1 for line in text.splitlines() if line.strip() and not line.strip().startswith("#"))


def counted_lines(path):
    if os.path.basename(path) == "CMakeLists.txt" or path.endswith(HASH_LIKE):
        counter = hash_lines
    elif path.endswith(C_LIKE):
        counter = c_like_lines
    else:
        return None
    with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as source:
        return counter(source.read())


def total(paths):
    counts = {}
    for path in tracked_files(paths):
        lines = counted_lines(path)
        if lines is not None:
            counts[path] = lines
    return counts


def main(arguments):
    list_files = "--files" in arguments
    test_paths = [argument for argument in arguments if argument != "--files"] or [TEST_FOLDER]
    tests = total(test_paths)
    code = total(CODE_FOLDERS)
    if list_files:
        for path, lines in sorted(tests.items()):
            print(f"{lines:7d}  {path}")
    test_lines, code_lines = sum(tests.values()), sum(code.values())
    share = 100.0 * test_lines / code_lines if code_lines else 0.0
    print(f"tests {test_lines} lines ({' '.join(test_paths)}), code {code_lines} lines"
          f" ({' '.join(CODE_FOLDERS)}): {share:.1f} %")


if __name__ == "__main__":
    main(sys.argv[1:])
