#!/usr/bin/env python3
"""Puts a new version of a map in the map's place while tarnwick may run on it, under the lock
every run of tarnwick takes, and keeps the version it replaced as MAP.old. A run that read the
old map before the new one came finds its name leading elsewhere, and writes nothing. NEW must
be a file on MAP's file system; it takes the old map's mode and, run as root, its owner. MAP is
the file itself, not a symbolic link. Python 3.9 or later, Linux 3.15 or later; not for a folder
that Samba shares, where a file open by a client cannot be renamed over.

usage: python3 replace-map.py MAP NEW"""
import fcntl
import os
import shutil
import stat
import struct
import sys

# tarnwick's lock: an exclusive lock of the open file on one byte, far past the end of any map
LOCK = struct.pack("hhqqi", fcntl.F_WRLCK, os.SEEK_SET, 0x7FFFFFFF00000000, 1, 0)


def replace(map_path, new_path):
    new = os.stat(new_path)
    folder = os.stat(os.path.dirname(os.path.abspath(map_path)))
    if not stat.S_ISREG(new.st_mode) or new.st_dev != folder.st_dev:
        sys.exit(f"replace-map.py: {new_path} is no file on the file system of {map_path}")
    if os.path.islink(map_path):
        sys.exit(f"replace-map.py: {map_path} is a symbolic link: name the file it leads to")
    old, tries = map_path + ".old", 0
    while True:
        try:
            before = os.stat(map_path)
        except FileNotFoundError:  # a first deploy: no map yet, so no run on it
            os.replace(new_path, map_path)
            return
        # The old map is copied before the lock is taken, so that runs go on while a large map
        # is copied; under the lock, it must still be as it was copied. A map that changes all
        # the time is copied under the lock from the third try on.
        tries += 1
        try:
            with open(map_path, "r+b") as live:
                if tries >= 3:
                    fcntl.fcntl(live, fcntl.F_OFD_SETLKW, LOCK)
                shutil.copyfile(map_path, old + ".new")
                fcntl.fcntl(live, fcntl.F_OFD_SETLKW, LOCK)  # waits while a run holds it
                now = os.fstat(live.fileno())
                copied = open(old + ".new", "rb").read(10)
                if os.path.samestat(now, os.stat(map_path)) and live.read(10) == copied and \
                        (now.st_size, now.st_mtime_ns) == (before.st_size, before.st_mtime_ns):
                    shutil.copymode(map_path, new_path)
                    if os.geteuid() == 0:
                        os.chown(new_path, now.st_uid, now.st_gid)
                    os.replace(old + ".new", old)
                    os.replace(new_path, map_path)
                    return  # the close lets go, after the rename
        except FileNotFoundError:
            pass
        # the map was changed or replaced meanwhile: copy the one under its name now


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: python3 replace-map.py MAP NEW")
    try:
        replace(sys.argv[1], sys.argv[2])
    except OSError as error:
        sys.exit(f"replace-map.py: {error.filename}: {error.strerror}")
