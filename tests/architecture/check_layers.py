#!/usr/bin/env python3
"""Fails when an #include runs against the layers; prints each offending file and line.

Usage: check_layers.py REPOSITORY_ROOT

Project includes name a folder, and a folder may include itself and the layers below it:
a layer never reaches up, nor sideways to a peer of the same rank. Angle includes are the
C++ standard library (a name without "." or "/": always allowed), a known library (allowed
where the table below says), or else an operating-system or C-library header, which only the
platform layer, the tests and the benchmarks may use.
"""
import os
import re
import sys

# Rank of each product layer; an edge must point from a higher rank to a lower one.
RANKS = {
    "core/common": 0,
    "core/plist": 1,
    "core/platform": 2,
    "core/dsstore": 3,
    "core/preferences": 3,
    "core/inspection": 4,
    "core/backup": 4,
    "core/finder": 4,
    "core/engine": 5,
    "core/watcher": 6,
    "cli": 7,
    "app": 7,
}
# Test and measurement code may include any layer and each other's support.
HARNESSES = ("tests", "bench", "fuzz")

# Known libraries: header prefix -> the folders or files that may include it.
LIBRARIES = {
    "unicode/": ("core/common/Text.cpp",),  # ICU has one wrapper
    "openssl/": ("core/platform/Sha256.cpp",),  # so has OpenSSL
    "nlohmann/": ("core", "cli", "app", "tests", "bench", "fuzz"),  # records carry their JSON
    "toml++/": ("core/preferences/LayoutFile.cpp",),  # layout files have one reader
    "CLI/": ("cli",),
    "gtest/": ("tests",),
    "gmock/": ("tests",),
    "benchmark/": ("bench",),
    "plist/": (),  # property lists are our own code now
}
QT = re.compile(r"Q[A-Za-z0-9]*(/|$)")  # <QtWidgets/QWidget>, <QString>
QT_HOMES = ("app", "tests/app")
# errno is how the system reports failure, and only the platform layer turns it into an Error.
SYSTEM_BY_NAME = {"cerrno"}
SYSTEM_HOMES = ("core/platform", "tests", "bench")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".mm")
SCANNED = ("core", "cli", "app") + HARNESSES


def within(path, homes):
    return any(path == home or path.startswith(home + "/") for home in homes)


def layer_of(path):
    """The product layer a repository path belongs to, or None."""
    for layer in RANKS:
        if within(path, (layer,)):
            return layer
    return None


def verdict(path, bracket, header):
    """None when `path` may include `header`, else why it may not."""
    if bracket == '"':
        target = layer_of(header)
        if target is None:
            if within(header, HARNESSES):
                return None if within(path, HARNESSES) else f"{header.split('/')[0]}/ is test code"
            return "includes are rooted at the repository root (core/..., cli/..., tests/...)"
        source = layer_of(path)
        if source is None or source == target or RANKS[target] < RANKS[source]:
            return None
        return f"{source} may not depend on {target}"
    for prefix, homes in LIBRARIES.items():
        if header.startswith(prefix):
            if within(path, homes):
                return None
            return f"{prefix} belongs in {', '.join(homes)}" if homes else f"{prefix} is not used"
    if QT.match(header):
        return None if within(path, QT_HOMES) else "Qt belongs in app/"
    if "." not in header and "/" not in header and header not in SYSTEM_BY_NAME:
        return None  # the C++ standard library
    return None if within(path, SYSTEM_HOMES) else "system headers belong in core/platform/"


# Each rule, with an include it allows and one it refuses, so a broken rule fails here.
SELF_CHECK = [
    ("core/dsstore/A.cpp", '"', "core/platform/B.h", True),
    ("core/platform/A.cpp", '"', "core/dsstore/B.h", False),
    ("core/preferences/A.cpp", '"', "core/dsstore/B.h", False),
    ("core/engine/A.cpp", '"', "core/finder/B.h", True),
    ("core/backup/A.cpp", '"', "core/inspection/B.h", False),
    ("cli/A.cpp", '"', "core/engine/B.h", True),
    ("core/engine/A.cpp", '"', "cli/B.h", False),
    ("core/common/A.cpp", '"', "tests/support/B.h", False),
    ("core/common/A.cpp", '"', "A.h", False),
    ("tests/cli/A.cpp", '"', "tests/support/B.h", True),
    ("core/platform/A.cpp", "<", "sys/xattr.h", True),
    ("core/backup/A.cpp", "<", "unistd.h", False),
    ("core/backup/A.cpp", "<", "cerrno", False),
    ("core/backup/A.cpp", "<", "string_view", True),
    ("core/common/Text.cpp", "<", "unicode/unistr.h", True),
    ("core/common/Text.h", "<", "unicode/unistr.h", False),
    ("core/platform/Sha256.cpp", "<", "openssl/evp.h", True),
    ("core/platform/FileSystemLinux.cpp", "<", "openssl/evp.h", False),
    ("core/plist/PropertyList.cpp", "<", "plist/plist.h", False),
    ("core/preferences/LayoutFile.cpp", "<", "toml++/toml.h", True),
    ("core/preferences/LayoutFile.h", "<", "toml++/toml.h", False),
    ("core/platform/A.cpp", '"', "core/plist/B.h", True),
    ("core/plist/A.cpp", '"', "core/platform/B.h", False),
    ("core/backup/A.h", "<", "nlohmann/json.hpp", True),
    ("core/engine/A.cpp", "<", "CLI/CLI.hpp", False),
    ("app/A.cpp", "<", "QtWidgets/QWidget", True),
    ("cli/A.cpp", "<", "QString", False),
    ("bench/A.cpp", "<", "dirent.h", True),
    ("fuzz/A.cpp", "<", "unistd.h", False),
]


def self_check():
    wrong = [row for row in SELF_CHECK if (verdict(*row[:3]) is None) != row[3]]
    for path, bracket, header, allowed in wrong:
        close = ">" if bracket == "<" else '"'
        print(f"self-check: {path} including {bracket}{header}{close} should be "
              f"{'allowed' if allowed else 'refused'}")
    return not wrong


def main(root):
    if not self_check():
        return 1
    offences = 0
    scanned = 0
    for top in SCANNED:
        for folder, subfolders, files in os.walk(os.path.join(root, top)):
            subfolders.sort()
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                scanned += 1
                with open(os.path.join(folder, name), encoding="utf-8") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        why = match and verdict(path, match.group(1), match.group(2))
                        if why:
                            print(f"{path}:{number}: {line.strip()}: {why}")
                            offences += 1
    if scanned == 0:
        print(f"no sources under {root}")
        return 1
    print(f"{scanned} files, {offences} includes against the layers")
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
