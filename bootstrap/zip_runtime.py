#!/usr/bin/env python3
"""Zips a launcher runtime directory as the installer's runtime payload.

    bootstrap/zip_runtime.py RUNTIME_DIR ZIP

The zip holds the directory's content at its top (bin/orlex-launcher or bin/orlex-launcher.exe, bin/qt.conf,
lib/..., plugins/...): regular files only, no directory entries, deflate, each entry with a unix mode so that
bsdtar gives the unpacked program back its executable bits: 0755 for a file with any execute bit, 0644 for
the others, so that the builder's umask changes nothing. Names are sorted and every time is the same, so
one runtime always gives the same bytes, and the installer the same runtime id. The program comes last: the
installer takes its presence for a complete runtime, so an unpack cut off before the end must leave it
missing.
"""
import os
import stat
import sys
import zipfile

PROGRAMS = ("bin/orlex-launcher", "bin/orlex-launcher.exe")  # a Linux runtime's, a Windows runtime's


def main(source, target):
    entries = []
    for folder, directories, files in os.walk(source):
        directories.sort()
        for name in files:
            path = os.path.join(folder, name)
            entries.append((os.path.relpath(path, source).replace(os.sep, "/"), path))
    # Sorted by name, the program last.
    entries.sort(key=lambda entry: (entry[0] in PROGRAMS, entry[0]))
    if not entries or entries[-1][0] not in PROGRAMS:
        sys.exit("zip_runtime: %s has no %s" % (source, " or ".join(PROGRAMS)))
    partial = target + ".part"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, path in entries:
            mode = os.lstat(path).st_mode
            if not stat.S_ISREG(mode):
                sys.exit("zip_runtime: %s is not a regular file" % path)
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.create_system = 3  # unix: the modes below are read back
            info.external_attr = (stat.S_IFREG | (0o755 if mode & 0o111 else 0o644)) << 16
            with open(path, "rb") as data:
                archive.writestr(info, data.read(), compress_type=zipfile.ZIP_DEFLATED, compresslevel=6)
    os.replace(partial, target)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: zip_runtime.py RUNTIME_DIR ZIP")
    main(sys.argv[1], sys.argv[2])
