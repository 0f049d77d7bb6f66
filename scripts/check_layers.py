#!/usr/bin/env python3
"""Checks that every include between the project's libraries points down.

The libraries, their folders and their direct dependencies are the pellary_library(...) calls
of the top CMakeLists.txt. A file belongs to the library whose folder is the longest prefix of
its path and may include from that library and from everything it stands on, directly or not.
A library's tests and test helpers (files named *_test*) may also include the shared test
helpers in testing/ and the platform's test tools in platform/tools/.
Program files (PROGRAMS), and the folders that are no library (tests/, bench/, fuzz/,
testing/), stand on top and may include any library. The declared dependencies must form no
cycle.

Usage: scripts/check_layers.py [SOURCE-DIR]   (default: the checkout holding this script)
Prints each include that goes against the order and exits 1 if there is one.
"""

import pathlib
import re
import sys

TOP_FOLDERS = ("tests", "bench", "fuzz", "testing")
TEST_HELPERS = ("testing/", "platform/tools/")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
LIBRARY_CALL = re.compile(r"^pellary_library\(([^)]*)\)", re.MULTILINE)


def read_libraries(root):
    """{name: (dirs, depends, programs)} from the top CMakeLists.txt, in declaration order."""
    libraries = {}
    text = (root / "CMakeLists.txt").read_text()
    for call in LIBRARY_CALL.finditer(text):
        words = call.group(1).split()
        name, fields, key = words[0], {"DIRS": [], "DEPENDS": [], "PROGRAMS": []}, None
        for word in words[1:]:
            if word in fields:
                key = word
            elif key is None:
                sys.exit(f"pellary_library({name} ...): '{word}' before DIRS")
            elif "${" not in word:  # a folder chosen at configure time lies below a listed one
                fields[key].append(word)
        libraries[name] = (fields["DIRS"], fields["DEPENDS"], fields["PROGRAMS"])
    if not libraries:
        sys.exit("no pellary_library(...) call in CMakeLists.txt")
    return libraries


def closures(libraries):
    """{name: every library it stands on, itself included}; exits on an unknown name or a cycle."""
    done, result = set(), {}

    def visit(name, path):
        if name not in libraries:
            sys.exit(f"{path[-1]} depends on unknown library {name}")
        if name in path:
            sys.exit("library cycle: " + " -> ".join(path + [name]))
        if name in done:
            return result[name]
        below = {name}
        for dependency in libraries[name][1]:
            below |= visit(dependency, path + [name])
        done.add(name)
        result[name] = below
        return below

    for name in libraries:
        visit(name, [])
    return result


def owner(path, folders):
    """The library whose folder is the longest prefix of path, or None."""
    best = None
    for folder, library in folders.items():
        if path.startswith(folder + "/") and (best is None or len(folder) > len(best[0])):
            best = (folder, library)
    return best[1] if best else None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1])
    libraries = read_libraries(root)
    below = closures(libraries)
    folders = {d: name for name, (dirs, _, _) in libraries.items() for d in dirs}
    programs = {p for _, _, progs in libraries.values() for p in progs}

    wrong = []
    tops = {folder.split("/")[0] for folder in folders}
    files = sorted(p for top in tops for p in (root / top).rglob("*") if p.suffix in (".cc", ".h"))
    for file in files:
        path = file.relative_to(root).as_posix()
        library = owner(path, folders)
        if library is None or path in programs:
            continue
        is_test = "_test" in file.name
        for included in INCLUDE.findall(file.read_text(errors="replace")):
            if "/" not in included:
                continue
            if is_test and included.startswith(TEST_HELPERS):
                continue
            target = owner(included, folders)
            if target is None:
                if included.split("/")[0] in TOP_FOLDERS:
                    wrong.append(f"{path}: includes {included}, which no library may")
                continue
            if target not in below[library]:
                wrong.append(f"{path} ({library}) includes {included} ({target}), which it "
                             f"does not stand on")
    for line in wrong:
        print(line)
    if wrong:
        return 1
    print(f"layers: {len(libraries)} libraries, {len(files)} files, every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
