#!/usr/bin/env python3
"""Puts a new version of a map in the map's place while tarnwick may run on it, under the lock
every run of tarnwick takes, and keeps the version it replaced as MAP.old. A run that read the
old map before the new one came finds its name leading elsewhere, and writes nothing. NEW must
be on MAP's file system. Python 3.9 or later, Linux 3.15 or later.

usage: python3 replace-map.py MAP NEW"""
import fcntl
import os
import shutil
import struct
import sys

# tarnwick's lock: an exclusive lock of the open file on one byte, far past the end of any map
LOCK = struct.pack("hhqqi", fcntl.F_WRLCK, os.SEEK_SET, 0x7FFFFFFF00000000, 1, 0)


def replace(map_path, new_path):
    while True:
        try:
            before = os.stat(map_path)
        except FileNotFoundError:  # a first deploy: no map yet, so no run on it
            os.replace(new_path, map_path)
            return
        # The copy is made before the lock is taken, so that runs go on while a large map is
        # copied; under the lock, the map must still be as it was copied.
        shutil.copyfile(map_path, map_path + ".old")
        try:
            with open(map_path, "r+b") as live, open(map_path + ".old", "rb") as old:
                fcntl.fcntl(live, fcntl.F_OFD_SETLKW, LOCK)  # waits while a run holds it
                now = os.fstat(live.fileno())
                if os.path.samestat(now, os.stat(map_path)) and live.read(10) == old.read(10) \
                        and (now.st_size, now.st_mtime_ns) == (before.st_size, before.st_mtime_ns):
                    os.replace(new_path, map_path)
                    return  # the close lets go, after the rename
        except FileNotFoundError:
            pass
        # the map was changed or replaced meanwhile: copy the one under its name now


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: python3 replace-map.py MAP NEW")
    replace(sys.argv[1], sys.argv[2])
