"""The sandbox home of the crash harness: how it is built, fingerprinted and compared.

Stores are written through `lumifold dsstore write`; property lists come from Python's plistlib,
an independent implementation.
"""
import base64
import datetime
import hashlib
import json
import os
import plistlib
import socket
import subprocess

FOLDERS = ["Desktop", "Documents", "Downloads", "Pictures", "Movies", "Music"]
EXTENSIONS = ["txt", "pdf", "png", "jpeg", "csv", "zip", "mov", "mp3"]
OTHER_OWNER = (1234, 5678)  # not ours: Apply and Restore must keep the owner
FINDER_INFO = "user.com.apple.FinderInfo"
# Folders Apply creates for the domain files when missing; no snapshot holds a folder.
MADE_FOR_DOMAINS = {"Library", "Library/Preferences", "Library/Preferences/ByHost"}


def host_id():
    """The name the program gives this host in ByHost files (machine id, else host name)."""
    try:
        with open("/etc/machine-id") as f:
            name = f.read().strip()
        if name and "/" not in name:
            return name
    except OSError:
        pass
    return socket.gethostname().strip() or "localhost"


def blob(data):
    return {"type": "blob", "value": base64.b64encode(data).decode()}


def iloc(x, y):
    return blob(x.to_bytes(4, "big") + y.to_bytes(4, "big") + b"\xff" * 6 + b"\0\0")


def bplist(value):
    return blob(plistlib.dumps(value, fmt=plistlib.FMT_BINARY))


def record(filename, code, value):
    kind = {"vstl": {"type": "type", "value": value}, "cmmt": {"type": "ustr", "value": value}}
    return {"filename": filename, "code": code, **kind.get(code, value)}


def build_home(home, lumifold, file_count):
    """A home with everything Apply rewrites and everything it must keep."""
    def own(path, mode, other=False):
        if other and os.geteuid() == 0:
            os.chown(path, *OTHER_OWNER, follow_symlinks=False)
        os.chmod(path, mode)

    for folder in FOLDERS + ["Documents/Projects", "Sync", "Library/Preferences/ByHost"]:
        os.makedirs(os.path.join(home, folder), exist_ok=True)
    names = {folder: [] for folder in FOLDERS}
    for i in range(file_count):
        folder = FOLDERS[i % len(FOLDERS)]
        name = f"file-{i:05d}" + ("" if i % 13 == 0 else "." + EXTENSIONS[i % len(EXTENSIONS)])
        path = os.path.join(home, folder, name)
        with open(path, "w") as f:
            f.write(name + "\n")
        names[folder].append(name)
        if i % 11 == 0 or i % 17 == 0:  # a record with other flags, or one already hidden
            flags = 0x0100 if i % 11 == 0 else 0x0010
            os.setxattr(path, FINDER_INFO, b"TEXTttxt" + flags.to_bytes(2, "big") + bytes(22))
        if i % 5 == 0:
            os.setxattr(path, "user.kept", b"tag %d" % i)
        if i % 7 == 0:
            own(path, 0o600 if i % 2 else 0o640, other=True)
    os.symlink(names["Desktop"][1], os.path.join(home, "Desktop/shortcut.txt"))
    os.chmod(os.path.join(home, "Documents/Projects"), 0o750)

    def positions(folder, every):
        out = []
        for n, name in enumerate(names[folder]):
            if n % every == 0:
                out.append(record(name, "Iloc", iloc(20 + n % 10 * 90, 20 + n // 10 * 90)))
            if n % (every * 7) == 0:
                out.append(record(name, "cmmt", f"About {name} \u2014 keep"))
        return out

    def write_store(folder, records):
        lines = "".join(json.dumps(r) + "\n" for r in records).encode()
        subprocess.run([lumifold, "dsstore", "write", os.path.join(home, folder, ".DS_Store")],
                       input=lines, check=True)

    window = record(".", "bwsp", bplist({"WindowBounds": "{{9, 9}, {640, 400}}"}))
    list_view = record(".", "lsvp", bplist({"sortColumn": "dateModified", "textSize": 12.0}))
    icon_view = record(".", "icvp", bplist({"iconSize": 64.0, "arrangeBy": "name"}))
    write_store("Desktop", [record(".", "vstl", "Nlsv"), list_view, window]
                + positions("Desktop", 1))
    write_store("Documents", [record(".", "vstl", "clmv"), icon_view, window]
                + positions("Documents", 2))
    write_store("Downloads", [record(".", "vstl", "Nlsv"), list_view] + positions("Downloads", 3))
    write_store("Pictures", [list_view] + positions("Pictures", 4))
    write_store("Music", [window] + positions("Music", 2))  # nothing to change there
    write_store("Documents/Projects", [record(".", "vstl", "Nlsv")])  # not a chosen folder
    write_store("", [window, record("Downloads", "vstl", "Nlsv"), record("Desktop", "Iloc",
                iloc(9, 9)), record("Pictures", "lsvp", bplist({"sortColumn": "size"}))])
    os.setxattr(os.path.join(home, "Desktop/.DS_Store"), "user.kept", b"desktop store")
    os.setxattr(os.path.join(home, ".DS_Store"), "user.kept", b"home store")
    own(os.path.join(home, "Documents/.DS_Store"), 0o640, other=True)
    own(os.path.join(home, "Downloads/.DS_Store"), 0o600)

    def write_plist(relative, value, mode, other=False):
        path = os.path.join(home, relative)
        with open(path, "wb") as f:
            plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
        os.setxattr(path, "user.kept", b"preferences")
        own(path, mode, other)

    # The preferences file lives in a sync folder; a relative link keeps copies whole.
    write_plist("Sync/com.apple.finder.plist", {
        "FXPreferredViewStyle": "Nlsv", "AppleShowAllExtensions": True, "ShowPathbar": True,
        "FXRecentFolders": [{"name": "Projects"}], "NSWindow Frame": "10 10 800 600",
        "StandardViewSettings": {"IconViewSettings": {"iconSize": 64, "arrangeBy": "name"}}},
        0o640, other=True)
    os.symlink("../../Sync/com.apple.finder.plist",
               os.path.join(home, "Library/Preferences/com.apple.finder.plist"))
    # Every kind of value, so that "the same values" below means something.
    write_plist(f"Library/Preferences/ByHost/.GlobalPreferences.{host_id()}.plist", {
        "AppleShowAllExtensions": True, "AppleInterfaceStyle": "Dark", "Scaling": 0.1,
        "Counter": 2**62, "Offset": -5, "Installed": datetime.datetime(2020, 1, 2, 3, 4, 5),
        "Token": b"\0\1\2", "Recent": {"paths": ["/tmp", "caf\u00e9"], "Ratio": 2.5e300},
        "Empty": {}, "Flag": False}, 0o600, other=True)


def fingerprint(home):
    """Every entry outside .lumifold: a file's digest, owner, group, bits and attributes; a
    folder's owner, group, bits and attributes; a link's target."""
    prints = {}
    for folder, dirs, files in os.walk(home):
        if folder == home:
            dirs[:] = [d for d in dirs if d != ".lumifold"]
        for name in dirs + files:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            relative = os.path.relpath(path, home)
            if os.path.islink(path):
                prints[relative] = ("link", os.readlink(path))
                continue
            attributes = {a: os.getxattr(path, a, follow_symlinks=False)
                          for a in sorted(os.listxattr(path, follow_symlinks=False))}
            digest = None
            if not os.path.isdir(path):
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            prints[relative] = ("file" if digest else "folder", digest, info.st_uid,
                                info.st_gid, oct(info.st_mode & 0o7777), attributes)
    return prints


def differences(before, after):
    """What differs, sorted into two lists: faults (as lines), and folders Apply made for the
    per-host domains that no snapshot holds (left empty by Restore)."""
    faults, left = [], []
    for path in sorted(set(before) | set(after)):
        old, new = before.get(path), after.get(path)
        if old == new:
            continue
        if old is None:
            made = new[0] == "folder" and path in MADE_FOR_DOMAINS
            (left if made else faults).append(f"{path}: new {new[0]}")
        elif new is None:
            faults.append(f"{path}: missing")
        elif old[0] != new[0] or old[0] == "link":
            faults.append(f"{path}: was {old[:2]}, now {new[:2]}")
        else:
            for label, i in [("bytes", 1), ("owner", 2), ("group", 3), ("bits", 4)]:
                if old[i] != new[i]:
                    faults.append(f"{path}: {label} {old[i]} -> {new[i]}")
            for name in sorted(set(old[5]) | set(new[5])):
                was, now = (old[5].get(name), new[5].get(name))
                if was != now:
                    show = lambda value: "absent" if value is None else value.hex()
                    faults.append(f"{path}: attribute {name} {show(was)} -> {show(now)}")
    return faults, left
