#!/usr/bin/env python3
"""Runs the built tool as a user does, one table row at a time, each in a fresh
folder: a chosen argv[0], the arguments, the environment and a map made for the
row. Compares standard output, standard error, the exit status and the map's
bytes after the run exactly. A row whose streams are both pipes runs twice, the
second time with both on one pipe (2>&1), where the lines must come in the
order listed. Every process the table starts runs in a session of its own,
which is ended whole when its row ends, and when the table is stopped.

With --runner, each run goes through that command (a memory checker, say),
and must still come out exactly as listed. With --chroot, a few rows run in
an empty root that holds only the tool and the map, and the runner if one is
given (a static emulator).

With --messages, it checks instead that the manual page and README.txt
list every fixed message in the sources. With --documents, it runs the
examples of the documents instead, as a user would, and compares what they
print byte for byte, so that a document that drifts from the tool fails:
every console block of the README, in order, as a user with tarnwick on the
PATH types them beside a copy of the sample, DM-Sample.ut2; then the manual
page's EXAMPLES, beside DM-MyMap.ut2 and a folder Maps/ holding DM-One.ut2
and DM-Two.ut2, copies of the sample, and tiny.ut2, too small to be a
package. With --documents and tarnwick.exe, it runs README.txt's batch loop
under the runner (Wine).

usage: end_to_end.py [--chroot] [--runner "command 'arg with spaces'"] [--nfs-client path]
                     path/to/tarnwick
       end_to_end.py --documents [--runner "wine"] path/to/tarnwick[.exe]
       end_to_end.py --messages path/to/mandoc
"""
import fcntl
import glob
import os
import re
import resource
import select
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from dataclasses import dataclass
from subprocess import DEVNULL, PIPE, STDOUT

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
MAP = "map.ut2"

# The Windows build (tarnwick.exe) runs under Wine, through --runner. What
# differs there by nature, and how the table allows for it, is all here:
# - Both streams are in text mode, so each "\n" arrives as "\r\n": output is
#   compared with CRLF turned into LF.
# - argv[0] arrives as a full Windows path, Z: and the file's path with
#   backslashes; it stands for {prog}.
# - The option parser is the C runtime's, with its own wording: where a row
#   lists one of glibc's messages (parser()), one line must be there instead.
#   The status and the tool's own messages are compared exactly.
# - The rows run as another user, with a file size limit or under a lease are
#   not run there: Wine runs only as its prefix's owner; Windows has no file
#   size limit, and Wine's writes ignore the Linux one; and Windows has oplocks,
#   whose break every open waits for, but Wine's open fails at once on a file
#   under a Linux lease, a Samba client's oplock among them.
# - Windows reports a directory's size as 0: a row's windows_out says what
#   the run prints there.
WINDOWS = sys.argv[-1].endswith(".exe")  # the tool's file name tells


def package(flags, tag=0xC1, length=32):
    """A made-up map header: the package tag (or another first byte, or
    another four), version, flag byte, then CR LF and ^Z filler, so that any
    text-mode translation of the file would show."""
    tag = bytes([tag]) + b"\x83\x2A\x9E" if isinstance(tag, int) else tag
    return (tag + bytes([0x80, 0x00, 0x1D, 0x00, flags]) + b"\x00\r\n\x1a" * length)[:length]


# What a run prints: the usage screen as the README shows it, which the
# documents' run holds to the tool, and the flag blocks.
README = open(os.path.join(ROOT, "README.md")).read()
USAGE = re.search(r"^\$ tarnwick\n(.*?)^\$ ", README, re.S | re.M)[1].replace("tarnwick", "{prog}")
WARNING = "[Warning]: file may not be a valid map!\n\n"
UPDATED, NO_CHANGE = "Map file updated\n", "No change to make\n"
REFUSED = "Not writing to file. Use --force option to force modificaton\n"
FLAG_NAMES = {0x01: "AllowDownload", 0x02: "ClientOptional", 0x04: "ServerSideOnly",
              0x10: "Unsecure", 0x20: "Official"}


def flag_block(label, byte):
    names = "".join(f" {name}\n" for bit, name in FLAG_NAMES.items() if byte & bit)
    return f"{label}{byte:08b}]:\n{names}\n"


def change(old, new, end=UPDATED):
    return flag_block("Current Flags [", old) + flag_block("    New Flags [", new) + end


# Each piece of what a run prints, on its stream; the option parser's own
# words are told apart, as Windows' parser words them otherwise.
def stdout(text): return ("stdout", text)
def stderr(text): return ("stderr", "{prog}: " + text)
def parser(text): return ("parser", "{prog}: " + text)


def bad(value, flag):
    return stderr(f"`{value}' is not a valid parameter for --{flag} (expecting 'on' or 'off')\n")


def unknown(*words):
    return stderr("Unknown options: " + "".join(f'"{word}" ' for word in words) + "\n")


HELP = stdout(USAGE)
SAMPLE = package(0x21)  # the map of most rows: AllowDownload and Official set
NOT_A_PACKAGE = package(0x21, tag=0x4D)  # the sample but for its first byte
FLIP_OFFICIAL = ["-o", MAP]  # the usual run: on the sample, Official switched off
OFFICIAL_OFF = stdout(change(0x21, 0x01))
SHOWN = stdout(change(0x21, 0x01, end=""))  # the same run, stopped by a message
SHOWN_21 = stdout("Current Flags [00100001]:\n AllowDownload\n Official\n\n")  # spelt out once
CHANGED = stderr("Map file changed during the run; nothing written\n")
CHANGED_WHILE = stderr("Map file changed while it was written; check it\n")
CANT_READ, CANT_WRITE = stderr("Couldnt read map file\n"), stderr("Couldnt write to map file\n")
LOCKED = stderr("Map file locked by another run; nothing written\n")
CANT_LOCK = stderr("Couldnt lock map file; nothing written\n")
COMPRESSED = stderr("Map file is compressed (.uz2); change the uncompressed package instead\n")
OUTPUT_LOST = stderr("Couldnt write to standard output\n")
NO_INFO = stderr("Couldnt get info on map file\n")
FOLDER, TEXT = "a folder", "not a map, but long enough"
HUNG = "(no end in 30 s)"
SCRIPTS = "Дмитрий-地図-🎮"  # Cyrillic, CJK and an emoji, which no Windows code page holds together


def uz2(data):
    """A package as a redirect server compresses it: zlib blocks of 32 KiB at
    most, each after its two sizes."""
    blocks = (data[i:i + 32768] for i in range(0, len(data), 32768))
    return b"".join(struct.pack("<II", len(z := zlib.compress(b)), len(b)) + z for b in blocks)


# The sample map is one block, which ends the file; a made-up map of 40,000 bytes is two.
UZ2 = uz2(open(os.path.join(ROOT, "sample", "DM-Sample.ut2"), "rb").read())
UZ2_TWO = uz2(package(0x21, length=40000))
UZ2_BIGGEST = struct.pack("<II", 33096, 32768) + UZ2_TWO[8:] + bytes(33200)

# The byte every run locks, past the end of any map; a deployment script takes it so.
LOCK_BYTE = 0x7FFFFFFF00000000
# Holds a lease on the map, as a file server does for a client (argv: the
# map, then "read" or "write"), and lets go when its standard input closes;
# with "read", also as soon as the kernel asks, which a run's open waits for.
# SIGIO stays blocked, so that one sent at any moment is pending.
LEASE = """import fcntl, os, signal, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGIO})
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK if sys.argv[2] == "read" else fcntl.F_WRLCK)
print("holds", flush=True)
signal.sigtimedwait({signal.SIGIO}, 30)
print("asked to let go", flush=True)
sys.argv[2] == "read" or sys.stdin.read()"""
HOLD_LEASE = [sys.executable, "-c", LEASE, "{map}"]
# The deployment script of the README, run while the tool is held: it puts a
# text file in the map's place.
REPLACE = f"printf '{TEXT}' > new.ut2 && python3 ../replace-map.py {MAP} new.ut2 && rm {MAP}.old"
# A second program's try at the lock, which must fail while a run holds it.
TRY_LOCK = f"from fcntl import *; lockf(open('{MAP}', 'r+b'), LOCK_EX | LOCK_NB, 1, {LOCK_BYTE})"
# An SMB2 client of the table's Samba server, for Debian's python3-impacket; an NFS client of its
# NFS server, built with the tool, which runs in the server's network (--nfs-client).
SAMBA = {"port": None}
SMB_CLIENT = ["/usr/bin/python3", os.path.join(ROOT, "tests", "smb_client.py"), "{port}", "{share}"]
NFS = {"client": None, "namespace": None}
NFS_CLIENT = ["{nfs}", "{share}"]


@dataclass(frozen=True)
class Row:
    """One run of the tool, and what must come of it. The name and the
    arguments come first; every other field is given by its name.

    Before the run:
      map          the map's bytes; None: no map; FOLDER: a folder in its place
      path         the map's path in the row's folder
      size         the map's length, when longer than its bytes: the rest is a hole
      beside       names of copies of the map, which must come out as they went in
      mode, folder_mode  the map's mode and its folder's
      folder_of_nobody   the map's folder is nobody's, and `meanwhile` runs as nobody
      lock_held    a byte of the map on which the table holds a shared lock of its process
      holder       a command that holds the map (a lock, a lease, an oplock), with {map},
                   {share} and {port} filled in; it prints a line once it holds, and lets go
                   when its standard input closes, after the run
    The run, as `tarnwick` with args:
      env          variables added to PATH (the system's folders) and LC_ALL=C.UTF-8
      as_nobody    the tool runs as nobody, not root, whom no mode stops
      file_size_limit  the limit on the size of files the run writes, in bytes
      closed       standard descriptors closed for the run
      stdout_file  the file that takes standard output, instead of a pipe
      fail         (call, result): that call of the tool's fails with the error ("EIO"),
                   or returns the number; CALLS names the calls
      stop_after   the call of the tool's after which it is stopped while `meanwhile` runs
      meanwhile    a shell command run in the row's folder while the tool is stopped, or, with
                   a holder, once the holder prints its second line; $TOOL is the tool's
                   process, $SMB and $NFS the clients' commands on the map
    What must come of it:
      out          what the run prints, in order: stdout(), stderr() and parser() pieces
      status       the exit status
      after        the map's bytes after the run; None: as before; a str: not read
      moved_to     the map's name after the run, when the row moves it
      told         all that the holder printed
      waits        the run took a second or more, waiting for a lock
      windows_out  what tarnwick.exe prints instead, where Windows differs by nature
      needs        what the row needs beyond the tool: "lease", "samba", "nfs"
    """
    name: str
    args: list
    map: object = SAMPLE
    path: str = MAP
    size: int = None
    beside: tuple = ()
    mode: int = 0o644
    folder_mode: int = 0o755
    folder_of_nobody: bool = False
    lock_held: int = None
    holder: list = None
    env: dict = None
    as_nobody: bool = False
    file_size_limit: int = None
    closed: tuple = ()
    stdout_file: str = None
    fail: tuple = None
    stop_after: str = None
    meanwhile: str = None
    out: list = ()
    status: int = 0
    after: object = None
    moved_to: str = None
    told: bytes = None
    waits: bool = False
    windows_out: list = None
    needs: tuple = ()


def not_uz2(name, data):
    """A file that only looks like a .uz2 is not refused: it is shown as any non-package."""
    return Row(name, FLIP_OFFICIAL, map=data, out=[stdout(WARNING + change(0x78, 0x58, REFUSED))])


ROWS = [
    # usage screen and operands
    Row("no arguments", [], map=None, out=[HELP], status=1),
    Row("-f alone", ["-f"], out=[stderr("Please give the map filename "), HELP], status=1),
    Row("a pattern that matched three maps", [MAP, "b", "c d"], out=[unknown("b", "c d"), HELP],
        status=1),
    Row("the empty operand", [""], map=None, out=[NO_INFO], status=1),
    Row("-- ends the options", ["--", "--Official"], path="--Official", out=[SHOWN_21]),
    Row("options after the operand", [MAP, "--Official=off"], out=[OFFICIAL_OFF],
        after=package(0x01)),
    Row("POSIXLY_CORRECT stops at the operand", [MAP, "--Official=off"],
        env={"POSIXLY_CORRECT": "1"}, out=[unknown("--Official=off"), HELP], status=1),
    Row("a value in the next word is an operand", ["--Official", "off", MAP],
        out=[unknown(MAP), HELP], status=1),
    # names in any script: the map named, and no other
    Row("a name in three scripts, in a folder named so too", ["-o", f"{SCRIPTS}/{SCRIPTS}.ut2"],
        path=f"{SCRIPTS}/{SCRIPTS}.ut2", out=[OFFICIAL_OFF], after=package(0x01)),
    Row("a surplus name in three scripts", [MAP, f"{SCRIPTS}.ut2"],
        out=[unknown(f"{SCRIPTS}.ut2"), HELP], status=1),
    Row("Café.ut2 beside Cafe.ut2, on a Russian system", ["--AllowDownload=on", "Café.ut2"],
        map=package(0x20), path="Café.ut2", beside=("Cafe.ut2",), env={"LC_ALL": "ru_RU.UTF-8"},
        out=[stdout(change(0x20, 0x21))], after=package(0x21)),
    # option names and values
    Row("abbreviated name", ["--Off=off", MAP], out=[OFFICIAL_OFF], after=package(0x01)),
    Row("short letter with value", ["-ooff", MAP], out=[OFFICIAL_OFF], after=package(0x01)),
    Row("--f is --force", ["--f", "-o", MAP], map=NOT_A_PACKAGE,
        out=[stdout(WARNING + change(0x21, 0x01))], after=package(0x01, tag=0x4D)),
    Row("-fo: force, flip", ["-fo", MAP], map=package(0x01, tag=0),
        out=[stdout(WARNING + change(0x01, 0x21))], after=package(0x21, tag=0)),
    Row("value case matters", ["--Official=On", MAP], out=[bad("On", "Official"), HELP], status=1),
    Row("empty value", ["--Official=", MAP], out=[bad("", "Official"), HELP], status=1),
    Row("values that only look like on or off", ["--AllowDownload=onX", "--ClientOptional=offf",
                                                 "--ServerSideOnly=of", "-uo", "-o on", MAP],
        out=[*map(bad, ("onX", "offf", "of", "o", " on"), FLAG_NAMES.values()), HELP], status=1),
    Row("name case matters", ["--official", MAP],
        out=[parser("unrecognized option '--official'\n"), HELP], status=1),
    Row("--force takes no value", ["--force=yes", MAP],
        out=[parser("option '--force' doesn't allow an argument\n"), HELP], status=1),
    Row("unknown letter and name", ["-x", "--bogus", MAP], status=1,
        out=[parser("invalid option -- 'x'\n"), parser("unrecognized option '--bogus'\n"), HELP]),
    Row("letters are named by their long option", ["-aX", "-cX", "-sX", "-uX", "-oX", MAP],
        out=[*(bad("X", flag) for flag in FLAG_NAMES.values()), HELP], status=1),
    Row("several errors, one usage screen", ["--Unsecure=of", MAP, "extra", "-q"], status=1,
        out=[bad("of", "Unsecure"), parser("invalid option -- 'q'\n"), unknown("extra"), HELP]),
    Row("every letter flips its flag, a repeat flips once",
        ["-a", "-c", "-s", "-u", "-o", "-a", MAP], map=package(0x00),
        out=[stdout(change(0x00, 0x37))], after=package(0x37)),
    Row("off beats on", ["--Official=on", "--Official=off", MAP], out=[OFFICIAL_OFF],
        after=package(0x01)),
    Row("a flip comes after on and off, whatever their order",
        ["-o", "--Official=off", "--AllowDownload=on", "-a", MAP], map=package(0x01),
        out=[stdout(change(0x01, 0x20))], after=package(0x20)),
    Row("every name on, unnamed bits kept", [*(f"--{f}=on" for f in FLAG_NAMES.values()), MAP],
        map=package(0xC8), out=[stdout(change(0xC8, 0xFF))], after=package(0xFF)),
    Row("every name off, unnamed bits kept", [*(f"--{f}=off" for f in FLAG_NAMES.values()), MAP],
        map=package(0xFF), out=[stdout(change(0xFF, 0xC8))], after=package(0xC8)),
    # the map file
    Row("missing map", FLIP_OFFICIAL, map=None, out=[NO_INFO], status=1),
    Row("8-byte file", FLIP_OFFICIAL, map=package(0x21, length=8),
        out=[stderr("Map file too small\n")], status=1),
    Row("9-byte map, last byte is the flags", ["--ServerSideOnly=on", MAP],
        map=package(0x21, length=9), out=[stdout(change(0x21, 0x25))],
        after=package(0x25, length=9)),
    Row("flags shown only", [MAP], out=[SHOWN_21]),
    Row("flags shown only, not a map", [MAP], map=NOT_A_PACKAGE, out=[stdout(WARNING), SHOWN_21]),
    Row("not a map, change refused", FLIP_OFFICIAL, map=NOT_A_PACKAGE,
        out=[stdout(WARNING + change(0x21, 0x01, REFUSED))]),
    Row("not a map, forced", ["-o", MAP, "-f"], map=NOT_A_PACKAGE,
        out=[stdout(WARNING + change(0x21, 0x01))], after=package(0x01, tag=0x4D)),
    Row("C1 83 2A 9F is no package", FLIP_OFFICIAL, map=package(0x21, tag=b"\xC1\x83\x2A\x9F"),
        out=[stdout(WARNING + change(0x21, 0x01, REFUSED))]),
    Row("no change to make", ["--Official=on", MAP], out=[stdout(change(0x21, 0x21, NO_CHANGE))]),
    Row("flag byte 0x1A to 0x0A", ["-u", MAP], map=package(0x1A), out=[stdout(change(0x1A, 0x0A))],
        after=package(0x0A)),
    Row("a 3 GiB map", FLIP_OFFICIAL, size=3 << 30, out=[OFFICIAL_OFF], after=package(0x01)),
    Row("a map 8 bytes over 4 GiB", FLIP_OFFICIAL, size=(4 << 30) + 8, out=[OFFICIAL_OFF],
        after=package(0x01)),
    Row("tag 0x1A, 64 KiB long", ["-fa", MAP], map=package(0x00, 0x1A, 65536),
        out=[stdout(WARNING + change(0x00, 0x01))], after=package(0x01, 0x1A, 65536)),
    # a .uz2, as a redirect server offers the map for download: never shown as a package, never
    # written; a file that only looks like one is shown as any other
    Row("a .uz2, shown", [MAP], map=UZ2, out=[COMPRESSED], status=1),
    Row("a .uz2, changed", FLIP_OFFICIAL, map=UZ2, out=[COMPRESSED], status=1),
    Row("a .uz2 of two blocks, forced", ["-fo", MAP], map=UZ2_TWO, out=[COMPRESSED], status=1),
    Row("a .uz2 block of 33096 bytes, the most", FLIP_OFFICIAL, map=UZ2_BIGGEST, out=[COMPRESSED],
        status=1),
    not_uz2("a .uz2's zlib check broken", UZ2_TWO[:9] + b"\x00" + UZ2_TWO[10:]),
    not_uz2("a block of 33097 bytes", struct.pack("<I", 33097) + UZ2_BIGGEST[4:]),
    not_uz2("a block of 2^24 + 33096 bytes",
            struct.pack("<I", (1 << 24) + 33096) + UZ2_BIGGEST[4:]),
    Row("a .uz2's first 9 bytes", ["-fo", MAP], map=UZ2[:9],
        out=[stdout(WARNING + change(0x78, 0x58))], after=UZ2[:8] + b"\x58"),
    # failures: the map must come out untouched
    Row("unreadable map", FLIP_OFFICIAL, mode=0, as_nobody=True,
        out=[stderr("Couldnt open file for reading\n")], status=1),
    Row("read-only map", FLIP_OFFICIAL, mode=0o444, as_nobody=True,
        out=[SHOWN, stderr("Couldnt open file for writing\n")], status=1),
    Row("read-only map, nothing to write", ["--Official=on", MAP], mode=0o444, as_nobody=True,
        out=[stdout(change(0x21, 0x21, NO_CHANGE))]),
    Row("a directory", FLIP_OFFICIAL, map=FOLDER, out=[CANT_READ], status=1,
        windows_out=[stderr("Map file too small\n")]),
    Row("the write fails: ulimit -f 0", FLIP_OFFICIAL, file_size_limit=0, out=[SHOWN, CANT_WRITE],
        status=1),
    Row("the close after the write fails", FLIP_OFFICIAL, fail=("the close after the write", "EIO"),
        out=[SHOWN, CANT_WRITE], status=1, after=package(0x01)),
    # the lock: held by another, or not to be had
    Row("another program holds the lock", FLIP_OFFICIAL, lock_held=LOCK_BYTE, waits=True,
        out=[SHOWN, LOCKED], status=1),
    Row("a lock on the next byte is no run's", FLIP_OFFICIAL, lock_held=LOCK_BYTE + 1,
        out=[OFFICIAL_OFF], after=package(0x01)),
    *(Row(f"no open-file lock here ({error}): the process's lock, held by another", FLIP_OFFICIAL,
          lock_held=LOCK_BYTE, fail=("the lock", error), waits=True, out=[SHOWN, LOCKED], status=1)
      for error in ("EINVAL", "EOPNOTSUPP", "ENOSYS")),
    Row("no locks on this file system", FLIP_OFFICIAL, fail=("every lock", "ENOSYS"),
        out=[OFFICIAL_OFF], after=package(0x01)),
    Row("no lock records for a second, while another holds the lock", FLIP_OFFICIAL,
        lock_held=LOCK_BYTE, fail=("every lock", "ENOLCK"), waits=True, out=[SHOWN, CANT_LOCK],
        status=1),
    Row("other lock errors", FLIP_OFFICIAL, lock_held=LOCK_BYTE, fail=("every lock", "EDEADLK"),
        out=[SHOWN, CANT_LOCK], status=1),
    Row("a file server that lost the file", FLIP_OFFICIAL, fail=("the lock", "ESTALE"),
        out=[SHOWN, CHANGED], status=1),
    # a lease, as a file server holds for its client, broken as the kernel asks: the run waits,
    # but never for a FIFO put in the map's place meanwhile
    Row("a read lease", FLIP_OFFICIAL, holder=[*HOLD_LEASE, "read"], needs=("lease",),
        out=[OFFICIAL_OFF], after=package(0x01)),
    Row("a FIFO put in the map's place while a lease holds the run, which is stopped and goes on",
        FLIP_OFFICIAL, holder=[*HOLD_LEASE, "write"], needs=("lease",), after="a FIFO",
        meanwhile="mkfifo fifo && mv fifo map.ut2 && kill -STOP $TOOL && kill -CONT $TOOL",
        out=[CHANGED], status=1),
    # the name: a map moved aside, or replaced as the README's script does, between the stages
    Row("in a folder one may enter but not list", ["-o", "in/m.ut2"], path="in/m.ut2", mode=0o666,
        folder_mode=0o711, as_nobody=True, out=[OFFICIAL_OFF], after=package(0x01)),
    Row("the map renamed aside before the open to write", FLIP_OFFICIAL,
        stop_after="the read stage's close", meanwhile=f"mv {MAP} aside.ut2", moved_to="aside.ut2",
        out=[SHOWN, CHANGED], status=1),
    Row("the map renamed aside before the lock", FLIP_OFFICIAL, stop_after="the open to write",
        meanwhile=f"mv {MAP} aside.ut2", moved_to="aside.ut2", out=[SHOWN, CHANGED], status=1),
    Row("the README's script replaces the map", FLIP_OFFICIAL, stop_after="the open to write",
        meanwhile=REPLACE, out=[SHOWN, CHANGED], status=1, after=TEXT.encode()),
    Row("the README's script, and the process's lock", FLIP_OFFICIAL, fail=("the lock", "EINVAL"),
        stop_after="the open to write", meanwhile=REPLACE, out=[SHOWN, CHANGED], status=1,
        after=TEXT.encode()),
    Row("the process's lock still held at the write", FLIP_OFFICIAL, fail=("the lock", "EINVAL"),
        stop_after="the write", meanwhile=f'python3 -c "{TRY_LOCK}" 2> /dev/null && touch unlocked',
        out=[OFFICIAL_OFF], after=package(0x01)),
    Row("a copy over the map right after the write", FLIP_OFFICIAL, beside=("copy",),
        stop_after="the write", meanwhile=f"cp copy {MAP}", out=[SHOWN, CHANGED_WHILE], status=1),
    Row("the map grown right after the write", FLIP_OFFICIAL, stop_after="the write",
        meanwhile=f"truncate -s 40 {MAP}", out=[SHOWN, CHANGED_WHILE], status=1,
        after=package(0x01) + bytes(8)),
    # a real file server: the Samba server of the table, with an SMB2 client on the map
    Row("a Samba client holds the lock", FLIP_OFFICIAL, holder=[*SMB_CLIENT, "lock"],
        needs=("samba",), told=b"granted\n", waits=True, out=[SHOWN, LOCKED], status=1),
    Row("a run's lock refuses a Samba client", FLIP_OFFICIAL, needs=("samba",),
        stop_after="the lock", meanwhile="$SMB lock < /dev/null | grep -q refused || > granted",
        out=[OFFICIAL_OFF], after=package(0x01)),
    Row("a Samba client's batch oplock, broken for the run", FLIP_OFFICIAL,
        holder=[*SMB_CLIENT, "oplock"], needs=("samba", "lease"), told=b"ready\nbroken\n",
        out=[OFFICIAL_OFF], after=package(0x01)),
    # a real NFS server too: the table's, with an NFSv3 or NFSv4 client on the map
    *(Row(f"an NFSv{version} client's lock on the {what} holds a run back", FLIP_OFFICIAL,
          holder=[*NFS_CLIENT, version, what], needs=("nfs",), told=b"granted\n", waits=True,
          out=[SHOWN, LOCKED], status=1)
      for version in "34" for what in ("byte", "file")),
    *(Row(f"a run's lock refuses an NFSv{version} client", FLIP_OFFICIAL, needs=("nfs",),
          stop_after="the lock",
          meanwhile=f"$NFS {version} byte < /dev/null | grep -q refused || > granted",
          out=[OFFICIAL_OFF], after=package(0x01))
      for version in "34"),
    # the write stage's own looks at the file fail: a failure, not a change
    *(Row(f"{call} fails", FLIP_OFFICIAL, fail=(call, "EIO" if "look-up" not in call else "EACCES"),
          out=[SHOWN, CANT_READ if "under" in call else CANT_WRITE], status=1,
          after=None if "under" in call else package(0x01))
      for call in ("the query under the lock", "the look-up under the lock",
                   "the read under the lock", "the query after the write",
                   "the look-up after the write", "the read after the write")),
    # the map's name made to lead elsewhere, or the map cut or changed, between the stages or
    # before the first open
    Row("a text file renamed over the map", FLIP_OFFICIAL, beside=("before",),
        stop_after="the read stage's close",
        meanwhile=f"ln -f {MAP} before && printf '{TEXT}' > text && mv text {MAP}",
        out=[SHOWN, CHANGED], status=1, after=TEXT.encode()),
    Row("the map cut to 9 bytes", FLIP_OFFICIAL, stop_after="the read stage's close",
        meanwhile=f"truncate -s 9 {MAP}", out=[SHOWN, CHANGED], status=1, after=SAMPLE[:9]),
    Row("the read under the lock comes back short", FLIP_OFFICIAL,
        fail=("the read under the lock", 9), out=[SHOWN, CHANGED], status=1),
    Row("the map emptied between the read under the lock and the write", FLIP_OFFICIAL,
        stop_after="the read under the lock", meanwhile=f": > {MAP}",
        out=[SHOWN, CHANGED_WHILE], status=1, after=bytes(8) + b"\x01"),
    Row("byte 8 changed by another run", FLIP_OFFICIAL, stop_after="the read stage's close",
        meanwhile=f"../tarnwick -aoff {MAP} > /dev/null", out=[SHOWN, CHANGED], status=1,
        after=package(0x20)),
    Row("the tag's last byte changed", FLIP_OFFICIAL, stop_after="the read stage's close",
        meanwhile=f"printf '\\237' | dd of={MAP} bs=1 seek=3 conv=notrunc status=none",
        out=[SHOWN, CHANGED], status=1, after=package(0x21, b"\xC1\x83\x2A\x9F")),
    Row("a symbolic link to another file, put by another user", ["-o", "up/m.ut2"], path="up/m.ut2",
        beside=("secret",), folder_of_nobody=True, stop_after="the read stage's close",
        meanwhile="ln -sf ../secret up/m.ut2", out=[SHOWN, CHANGED], status=1),
    Row("a FIFO renamed over the map before the first open", FLIP_OFFICIAL,
        stop_after="the size query", meanwhile=f"mkfifo fifo && mv fifo {MAP}", after="a FIFO",
        out=[CHANGED], status=1),
    Row("the map cut to 4 bytes before it is read", FLIP_OFFICIAL, stop_after="the size query",
        meanwhile=f"truncate -s 4 {MAP}", out=[CANT_READ], status=1, after=SAMPLE[:4]),
    Row("the map emptied before it is read", FLIP_OFFICIAL, stop_after="the size query",
        meanwhile=f": > {MAP}", out=[CANT_READ], status=1, after=b""),
    # standard output that cannot be written: the map keeps its own outcome, the run fails
    Row("output on a full disk, flags shown", [MAP], stdout_file="/dev/full", out=[OUTPUT_LOST],
        status=1),
    Row("output on a full disk, the write fails", FLIP_OFFICIAL, stdout_file="/dev/full",
        file_size_limit=8, out=[CANT_WRITE, OUTPUT_LOST], status=1),
    Row("output closed, change", FLIP_OFFICIAL, closed=(1,), out=[OUTPUT_LOST], status=1,
        after=package(0x01)),
    Row("all three streams closed, change", FLIP_OFFICIAL, closed=(0, 1, 2), status=1,
        after=package(0x01)),
    Row("output and errors closed, the write fails", FLIP_OFFICIAL, closed=(1, 2),
        file_size_limit=8, status=1),
]
# What the empty root runs: a few rows, and one that only it can show, as it has no /dev/null to
# stand in for a closed descriptor (an emulator beside the tool would take that descriptor).
EMPTY_ROOT_ROWS = ("flags shown only", "options after the operand", "name case matters")
NO_DEV_NULL = Row("no /dev/null for closed input", FLIP_OFFICIAL, closed=(0,), status=1,
                  out=[stderr("Couldnt open /dev/null in place of a closed standard stream\n")])

# The calls a row can fail or stop the tool at, each found in the order of the tool's calls that
# strace shows for the row's own map: the first call that matches the last pattern, after the
# ones that match those before it. Every call is named by what it is, not by its count, so that
# one call more elsewhere moves no row. "every lock" fails every try at the lock.
SIZE_QUERY = r'(new)?fstatat(64)?\(AT_FDCWD|statx\(AT_FDCWD|stat(64)?\('
FILE_QUERY = r'(new)?fstatat(64)?\(\d+, ""|statx\(\d+, ""|fstat(64)?\('
OPEN_TO_READ = r'openat\(AT_FDCWD, "[^"]*", O_RDONLY'
OPEN_TO_WRITE = r'openat\(AT_FDCWD, "[^"]*", O_RDWR'
LOCK, LOOK_UP = r"fcntl(64)?\(\d+, F_(OFD_)?SETLK", r'openat\(\d+, "'
READ, WRITE, CLOSE = r"pread64\(", r"pwrite64\(", r"close\("
CALLS = {
    "the size query": [SIZE_QUERY],
    "the read stage's close": [OPEN_TO_READ, CLOSE],
    "the open to write": [OPEN_TO_WRITE],
    "the lock": [LOCK],
    "every lock": [LOCK],
    "the query under the lock": [LOCK, FILE_QUERY],
    "the look-up under the lock": [LOCK, LOOK_UP],
    "the read under the lock": [LOCK, READ],
    "the write": [WRITE],
    "the query after the write": [WRITE, FILE_QUERY],
    "the look-up after the write": [WRITE, LOOK_UP],
    "the read after the write": [WRITE, READ],
    "the close after the write": [WRITE, CLOSE],
}


# Every process the table starts, until it has ended whole: on its way out, the table ends what is
# left of each, whatever stops it.
LIVE = set()


def start(command, **options):
    """Starts a command in a session of its own."""
    child = subprocess.Popen(command, start_new_session=True, **options)
    LIVE.add(child)
    return child


def end(child):
    """Kills whatever is left of the child's session and waits for it; returns what its standard
    output still held."""
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    child.wait()
    rest = child.stdout.read() if child.stdout and not child.stdout.closed else b""
    for pipe in (child.stdin, child.stdout, child.stderr):
        pipe and pipe.close()
    LIVE.discard(child)
    return rest


def run_ended(command, timeout, **options):
    """Runs a command to its end, or for `timeout` seconds; returns its status and what it wrote
    to its standard output (None when it did not end), and ends what is left of it."""
    child = start(command, stdout=PIPE, **options)
    try:
        output = child.communicate(timeout=timeout)[0]
    except subprocess.TimeoutExpired:
        output = None
    end(child)
    return child.returncode, output


def read_line(pipe, timeout):
    """The next line a helper prints, or b"" when none comes in time."""
    return pipe.readline() if select.select([pipe], [], [], timeout)[0] else b""


def filled(words, path):
    """A helper's command, with the map's path, its path on the share, Samba's port and the NFS
    client's command, which the table's folder (the export) follows."""
    top = os.path.dirname(os.path.dirname(path))
    values = {"{map}": [path], "{share}": [os.path.relpath(path, top)],
              "{port}": [str(SAMBA["port"])],
              "{nfs}": ["nsenter", "--net", "-t", str(NFS["namespace"]), "--", NFS["client"], top]}
    return [value for word in words for value in values.get(word, [word])]


def make_map(row, folder):
    """Makes the row's map, and the copies beside it, in the folder."""
    path = os.path.join(folder, row.path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if row.folder_of_nobody:
        os.chown(os.path.dirname(path), 65534, 65534)
    if row.map is FOLDER:
        os.mkdir(path)
    elif row.map is not None:
        with open(path, "wb") as file:
            file.write(row.map)
            file.truncate(row.size or len(row.map))  # a large map is sparse: no disk spent
        for other in row.beside:
            shutil.copy(path, os.path.join(folder, other))
        os.chmod(path, row.mode)
        os.chmod(os.path.dirname(path), row.folder_mode)
    return path


def strace(row, binary, folder, faults, stop=None):
    """strace's command line for the tool with the given faults, each (syscall, count or None for
    every one, result), and stopped after the syscall `stop` (syscall, count)."""
    def when(count): return "" if count is None else f":when={count}"
    injected = [f"-einject={name}:{'retval' if isinstance(result, int) else 'error'}={result}"
                f"{when(count)}" for name, count, result in faults]
    if stop:
        injected.append(f"-einject={stop[0]}:signal=SIGSTOP{when(stop[1])}")
    return ["strace", "-qq", "-o", folder + ".strace", "-P", row.path, *injected,
            os.path.relpath(binary, folder), *row.args]


def locate(row, binary, env, faults, call):
    """The syscall that the row's call is, and its count among the tool's calls of that name on
    the map, from a run of the tool under strace, with the faults, in a folder like the row's."""
    with tempfile.TemporaryDirectory(dir=os.path.dirname(binary)) as folder:
        os.chmod(folder, 0o755)
        make_map(row, folder)
        run_ended(strace(row, binary, folder, faults), 30, cwd=folder, env=env, stdin=DEVNULL,
                  stderr=DEVNULL)
        calls = open(folder + ".strace").read().splitlines()
        os.remove(folder + ".strace")
    found = -1
    for pattern in CALLS[call]:
        found = next((i for i in range(found + 1, len(calls)) if re.match(pattern, calls[i])), None)
        if found is None:
            raise LookupError(f"the tool never made {call}")
    name = re.match(r"\w+", calls[found])[0]
    count = sum(line.startswith(name + "(") for line in calls[:found + 1])
    return name, None if call.startswith("every") else count


def run(row, binary, runner, merged=False):
    """Runs one row; returns what differed from it."""
    expected, prog = row.windows_out if WINDOWS and row.windows_out else row.out, "tarnwick"
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C.UTF-8", **(row.env or {})}
    nobody = dict(user=65534, group=65534, extra_groups=[]) if os.geteuid() == 0 else {}
    command, executable, inside = None, None, []
    if row.fail or row.stop_after:
        # strace fails the row's call, or stops the tool after it; a sanitized build's leak check
        # cannot run under ptrace
        env["ASAN_OPTIONS"] = "detect_leaks=0"
        try:
            faults = [(*locate(row, binary, env, [], row.fail[0]), row.fail[1])] if row.fail else []
            stop = row.stop_after and locate(row, binary, env, faults, row.stop_after)
        except LookupError as missing:
            return [str(missing)]
    with tempfile.TemporaryDirectory(dir=os.path.dirname(binary)) as folder:
        os.chmod(folder, 0o755)
        path = make_map(row, folder)
        if row.fail or row.stop_after:  # strace names the tool by its path
            command = strace(row, binary, folder, faults, stop)
            prog = os.path.relpath(binary, folder)
        elif runner[:1] == ["chroot"]:  # with the build's emulator, which must be static
            inside = ["/" + os.path.basename(shutil.copy(shutil.which(program), folder))
                      for program in (*runner[1:], binary)]
            prog, command = inside[-1], ["unshare", "-r"] * (os.geteuid() != 0) + ["chroot", folder]
            command += [*inside, *row.args]
        elif runner:  # which names the tool by its path, under Wine as a Windows path
            command = [*runner, binary, *row.args]
            prog = "Z:" + binary.replace("/", "\\") if WINDOWS else binary
        else:  # argv[0] as typed
            command, executable = [prog, *row.args], binary

        def set_up_tool():
            if row.file_size_limit is not None:
                limit = row.file_size_limit
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
                # valgrind writes a file of its own first: only the tool's direct runs face it
                stop_signal = signal.SIG_IGN if "valgrind" in " ".join(runner) else signal.SIG_DFL
                signal.signal(signal.SIGXFSZ, stop_signal)
            for descriptor in row.closed:
                os.close(descriptor)

        with open(row.stdout_file or os.devnull, "wb") as sink, \
                open(path if row.lock_held else os.devnull) as locked:
            # shared, so that a run which took only a shared lock would go through
            if row.lock_held:
                fcntl.lockf(locked, fcntl.LOCK_SH, 1, row.lock_held)
            holder = row.holder and start(filled(row.holder, path), stdin=PIPE, stdout=PIPE)
            told = holder and read_line(holder.stdout, 30)
            started = time.monotonic()
            tool = start(command, executable=executable, cwd=folder, env=env, stdin=DEVNULL,
                         stdout=sink if row.stdout_file else PIPE,
                         stderr=STDOUT if merged else PIPE, preexec_fn=set_up_tool,
                         **(nobody if row.as_nobody else {}))
            try:
                if row.stop_after:  # strace stops the tool after the row's call
                    log = folder + ".strace"
                    while tool.poll() is None and time.monotonic() < started + 30 and not (
                            os.path.exists(log) and "stopped by SIGSTOP" in open(log).read()):
                        time.sleep(0.01)
                elif holder and row.meanwhile:  # the holder tells when the tool waits for it
                    told += read_line(holder.stdout, 30)
                if row.meanwhile and tool.poll() is None:
                    sharing = {"SMB": shlex.join(filled(SMB_CLIENT, path)), "TOOL": str(tool.pid),
                               "NFS": shlex.join(filled(NFS_CLIENT, path))}
                    run_ended(["bash", "-c", row.meanwhile], 30, cwd=folder, env={**os.environ,
                              **sharing}, **(nobody if row.folder_of_nobody else {}))
                    os.killpg(tool.pid, signal.SIGCONT)
                output, errors = tool.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                output = errors = HUNG.encode()
            finally:  # no run outlives its row, not even a held or a hung one
                end(tool)
                if holder:  # told to let go; one that never does fails the row, not the tool
                    holder.stdin.close()
                    try:
                        holder.wait(timeout=25)
                    except subprocess.TimeoutExpired:
                        told += b"(it never let go)"
                    told += end(holder)
            elapsed = time.monotonic() - started
        # strace names the map's whole path first, as it found it from the folder
        output, errors = (re.sub(rb"^strace: Requested path .*\n", b"", text or b"")
                          for text in (output, errors))
        got = [("status", tool.returncode, row.status)]
        streams = {"2>&1": (output, ("stdout", "stderr", "parser"))} if merged else \
            {"stdout": (output, ("stdout",)), "stderr": (errors, ("stderr", "parser"))}
        for stream, (text, kinds) in streams.items():
            text = text.replace(b"\r\n", b"\n") if WINDOWS else text
            want = [(kind, piece.replace("{prog}", prog).encode()) for kind, piece in expected
                    if kind in kinds]
            pattern = b"".join(rb"[^\n]+\n" if kind == "parser" and WINDOWS else re.escape(piece)
                               for kind, piece in want)
            whole = b"".join(piece for _, piece in want)
            got.append((stream, text, text if re.fullmatch(pattern, text) else whole))
        # Load only lengthens a wait, and a runner's start adds to it: a run that must not wait
        # shows it in its output.
        if row.waits:
            got.append(("waited a second for the lock", elapsed >= 1, True))
        if row.told is not None:
            got.append(("what the holder printed", told, row.told))
        # the map's name when the run ends, and the folder's entries
        final = os.path.join(folder, row.moved_to or row.path)
        before = row.map
        after = before if row.after is None else row.after
        if isinstance(after, bytes):
            os.chmod(final, 0o644)
            got += [("map", open(final, "rb").read(len(after)), after),
                    ("size", os.path.getsize(final), row.size or len(after))]
        got += [(other, open(os.path.join(folder, other), "rb").read(), before)
                for other in row.beside]
        files = [] if before is None else [(row.moved_to or row.path).split("/")[0], *row.beside]
        files += [name[1:] for name in inside]
        got.append(("folder", sorted(os.listdir(folder)), sorted(files)))
        return [f"{what}: got {have!r}\n    want {want!r}"
                for what, have, want in got if have != want]




# The NFS server's settings: the usual ports, which its network of its own has free, no grace
# period (or every lock waits 90 s after the start), and the table's folder as its one export.
GANESHA = """NFS_CORE_PARAM {{ NFS_Port = 2049; MNT_Port = 20048; NLM_Port = 32803;
    Protocols = 3, 4; Enable_RQUOTA = false; Enable_UDP = false; }}
NFSv4 {{ Graceless = true; RecoveryRoot = "{state}"; }}
EXPORT {{ Export_Id = 1; Path = "{top}"; Pseudo = "{top}"; Access_Type = RW;
    Squash = No_Root_Squash; FSAL {{ Name = VFS; }} }}"""
# The first process of the server's namespaces: only loopback in its network, its own /run
# (where the daemons keep their files); it tells its process and waits for its input to end.
NAMESPACE = """ip link set lo up && mount -n -t tmpfs tmpfs /run && mkdir /run/rpcbind &&
read -r process rest < /proc/self/stat && echo $process && cat > /dev/null"""


def start_nfs(top):
    """Starts the table's NFS server (NFSv3 with its lock and status services, and NFSv4) in
    network, mount and process namespaces of its own, exporting the table's folder. When the
    namespace's first process ends, as the table ends however it does, the kernel ends the
    rest. Returns what went wrong, or None."""
    state = os.path.join(top, ".nfs")
    for folder in ("sm", "sm.bak"):  # rpc.statd's
        os.makedirs(os.path.join(state, folder))
    open(os.path.join(state, "ganesha.conf"), "w").write(GANESHA.format(state=state, top=top))
    namespace = start(["unshare", "--net", "--mount", "--pid", "--fork", "--kill-child", "sh", "-c",
                       NAMESPACE], stdin=PIPE, stdout=PIPE)
    NFS["namespace"] = read_line(namespace.stdout, 10).strip().decode()
    inside = ["nsenter", "--net", "--mount", "--pid", "-t", NFS["namespace"], "--"]
    ganesha = ["ganesha.nfsd", "-F", "-f", os.path.join(state, "ganesha.conf"), "-L",
               os.path.join(state, "ganesha.log"), "-p", "/run/ganesha.pid"]
    # each waited for until it has registered, as the next one needs it
    for daemon, ready in ((["rpcbind", "-f"], b"portmapper"),
                          (["rpc.statd", "-F", "-L", "-P", state], b"status"),
                          (ganesha, b"nlockmgr")):
        start(inside + daemon, stdin=DEVNULL, stdout=DEVNULL, stderr=DEVNULL)
        deadline = time.monotonic() + 20
        while ready not in (run_ended(inside + ["rpcinfo", "-p"], 10, stderr=DEVNULL)[1] or b""):
            if time.monotonic() > deadline:
                return f"FAIL the NFS server: {daemon[0]} did not start; see {state}"
            time.sleep(0.05)
    while top.encode() not in (run_ended(inside + ["showmount", "-e", "127.0.0.1"], 10,
                                         stderr=DEVNULL)[1] or b""):
        if time.monotonic() > deadline:
            return f"FAIL the NFS server does not export {top}; see {state}"
        time.sleep(0.05)
    return None


def rounds_beside_runs(top, binary, version, locked):
    """An NFS client's read-modify-write rounds of byte 8, under the lock or not, beside runs
    of the tool one after another that flip Official; returns how many changes were lost: the
    client's, and those of runs that said "Map file updated" and whose change the next run did
    not find."""
    with tempfile.TemporaryDirectory(dir=top) as folder:
        path = os.path.join(folder, MAP)
        open(path, "wb").write(SAMPLE)
        rounds = [*NFS_CLIENT, version, "rounds" if locked else "unlocked", "100"]
        client = start(filled(rounds, path), stdout=PIPE)
        lost, official = 0, 0x20
        while client.poll() is None:
            _, output = run_ended([binary, "-o", MAP], 30, cwd=folder, stderr=DEVNULL)
            current = int(re.match(rb"Current Flags \[([01]{8})\]", output or b"")[1], 2) & 0x20
            lost += current != official
            official = current ^ 0x20 if UPDATED.encode() in output else current
        return lost + int(re.fullmatch(rb"lost (\d+)\n", end(client))[1])


def start_samba(top):
    """Starts the table's Samba server, on a free port of 127.0.0.1, sharing the table's folder
    as "maps" as a file server whose maps are changed in place should be: the clients' locks
    as POSIX locks, their oplocks as kernel leases."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        SAMBA["port"] = port = probe.getsockname()[1]
    state = os.path.join(top, ".samba")
    os.mkdir(state)
    folders = ("private dir", "lock directory", "state directory", "cache directory",
               "pid directory", "ncalrpc dir")
    open(os.path.join(top, "smb.conf"), "w").write("\n".join([
        "[global]", f"smb ports = {port}", "interfaces = lo", "bind interfaces only = yes",
        *(f"{folder} = {state}" for folder in folders), "map to guest = bad user",
        "load printers = no", "disable spoolss = yes", "posix locking = yes",
        "kernel oplocks = yes",
        "[maps]", f"path = {top}", "read only = no", "guest ok = yes", "force user = root"]))
    server = ["smbd", "--foreground", "--no-process-group", "-s", os.path.join(top, "smb.conf")]
    server = start(server, stdout=DEVNULL, stderr=DEVNULL)
    deadline = time.monotonic() + 10  # until it answers
    while socket.socket().connect_ex(("127.0.0.1", port)) and time.monotonic() < deadline:
        time.sleep(0.1)
    return server


def transcript(text, folder, env, timeout=30):
    """Runs each "$ " command of a transcript (with its "> " lines) in bash; returns what
    differed from the lines that follow it, or "" for each."""
    results = []
    for command, want in re.findall(r"^\$ (.*(?:\n> .*)*)\n((?:(?![$] ).*\n)*)", text, re.M):
        _, got = run_ended(["bash", "-c", command.replace("\n> ", "\n")], timeout, cwd=folder,
                           env=env, stderr=STDOUT)
        got = f"(no end in {timeout} s)\n" if got is None else got.decode()
        results.append("" if got == want else f"FAIL $ {command}\n  got  {got!r}\n  want {want!r}")
    return results


def nothing_outlives(top):
    """A stand-in for the tool that never ends, run as the documents are: once its command is
    given up, no process of it may be left."""
    standin = os.path.join(top, "standin", "tarnwick")
    os.makedirs(os.path.dirname(standin))
    open(standin, "w").write("#!/bin/sh\nwhile :; do :; done\n")
    os.chmod(standin, 0o755)
    env = {"PATH": os.path.dirname(standin) + ":/usr/bin:/bin"}
    results = transcript(f"$ tarnwick -o {MAP} | tail -n 1\n(no end in 1 s)\n", top, env, timeout=1)
    left = [pid for pid in filter(str.isdigit, os.listdir("/proc"))
            if standin.encode() in open(f"/proc/{pid}/cmdline", "rb").read()]
    return results + [f"FAIL a process of the stand-in was left: {left}" if left else ""]


def documents(top, binary):
    sample = open(os.path.join(ROOT, "sample", "DM-Sample.ut2"), "rb").read()
    for path, data in [("DM-Sample.ut2", sample), ("DM-MyMap.ut2", sample),
                       ("Maps/DM-One.ut2", sample), ("Maps/DM-Two.ut2", sample),
                       ("Maps/tiny.ut2", b"tiny"), ("bin/tarnwick", None)]:
        os.makedirs(os.path.dirname(os.path.join(top, path)), exist_ok=True)
        open(os.path.join(top, path), "wb").write(data) if data else \
            shutil.copy(binary, os.path.join(top, path))
    env = {"PATH": os.path.join(top, "bin") + ":/usr/bin:/bin", "LC_ALL": "C.UTF-8"}
    examples = open(os.path.join(ROOT, "tarnwick.1")).read().split(".Sh EXAMPLES")[1]
    examples = examples.split("\n.Sh ")[0]
    blocks = re.findall(r"^```console\n(.*?)^```", README, re.S | re.M)
    blocks += [block.replace("\\e", "\\")
               for block in re.findall(r"^\.Bd -literal[^\n]*\n(.*?)^\.Ed", examples, re.S | re.M)]
    return transcript("".join(blocks), top, env)


def batch_loop(top, binary, runner):
    """README.txt's batch loop, run by Wine's cmd beside tarnwick.exe in the folder README.txt
    shows it in: a map whose download is off, copies of it whose names only begin like a map's
    (whose short 8.3 names end in .UT2), and two files that are no package, the second with the
    bit set already. It must name those two, as README.txt says, and change the map alone."""
    text = open(os.path.join(ROOT, "README.txt"), encoding="utf-8").read().replace("\r\n", "\n")
    loop = re.search(r"^    @echo off\n(?=    for )(?:    .*\n)+", text, re.M)[0]
    loop = loop.replace("\n    ", "\n")[4:]
    said = re.search(r"changes DM-A.ut2 alone and prints:\n\n((?:    .*\n)+)", text)[1]
    said = said.replace("    ", "")
    sample = open(os.path.join(ROOT, "sample", "DM-Sample.ut2"), "rb").read()
    off = sample[:8] + bytes([sample[8] & ~0x01]) + sample[9:]
    files = {"DM-A.ut2": off, "DM-A.ut2_backup": off, "DM-B.ut2x": off, "notes.ut2": TEXT.encode(),
             "notes3.ut2": b"Some notes on maps"}
    for name, data in {**files, "loop.bat": loop.replace("\n", "\r\n").encode()}.items():
        open(os.path.join(top, name), "wb").write(data)
    shutil.copy(binary, os.path.join(top, "tarnwick.exe"))
    _, got = run_ended([*runner, "cmd", "/c", "loop.bat"], 60, cwd=top, stderr=STDOUT,
                       env={"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"})
    got = (got or b"").replace(b"\r\n", b"\n").decode()
    changed = [name for name, data in {**files, "DM-A.ut2": sample}.items()
               if open(os.path.join(top, name), "rb").read() != data]
    named = "notes.ut2: not changed\nnotes3.ut2: not changed\n"  # every file it left, and no other
    return ["" if got == said == named and not changed else
            f"FAIL README.txt's batch loop: printed {got!r}, README.txt says {said!r}, "
            f"want {named!r}; files not as they should be: {changed}"]


def messages(mandoc):
    """Every fixed message in the sources (every "%s: ..." diagnostic, and what the map run
    prints), as the manual page's DIAGNOSTICS render it and as README.txt lists it, but the
    POSIX-only ones there; returns what is missing."""
    def squeeze(text): return " ".join(text.replace("\\n", " ").split())
    _, page = run_ended([mandoc, "-T", "ascii", os.path.join(ROOT, "tarnwick.1")], 60)
    diagnostics = re.sub(".\b", "", page.decode()).split("\nDIAGNOSTICS\n")[1]
    diagnostics = diagnostics.split("\nCAVEATS\n")[0]
    documents = {"manual page": squeeze(diagnostics),
                 "README.txt": squeeze(open(os.path.join(ROOT, "README.txt"), encoding="utf-8")
                                       .read())}
    found = r'"%s: ([^"]*)"|(?:printTo\(stdout, |printFlagByte\(|fail\(|return |= )"([^"]*)"'
    return sorted({f"FAIL not in the {name}: {text}"
                   for source in glob.glob(os.path.join(ROOT, "src", "*.cpp"))
                   for message in re.findall(found, open(source).read())
                   for text in [squeeze("".join(message))] if message[0] or "mapfile" in source
                   for name in list(documents)[:1 if "posix" in source else 2]
                   if not re.search(re.escape(text).replace("%s", ".+?"), documents[name])})


def rows_for(runner):
    """The rows this build and this machine can run, and a word on each kind left out."""
    if runner[:1] == ["chroot"]:
        rows = [row for row in ROWS if row.name in EMPTY_ROOT_ROWS]
        return rows + [NO_DEV_NULL] * (runner == ["chroot"]), []
    rows, notes = ROWS, []
    if runner:  # a runner reports on standard error, and strace cannot trace it
        rows = [row for row in rows if 2 not in row.closed and not (row.fail or row.stop_after)]
        notes.append(f"{len(ROWS) - len(rows)} rows close standard error or run under strace, "
                     "and are left to direct runs")
    if WINDOWS:
        rows = [row for row in rows if not (row.as_nobody or row.file_size_limit is not None
                                            or "lease" in row.needs)]
    impacket = run_ended([SMB_CLIENT[0], "-c", "import impacket"], 60, stderr=DEVNULL)[0] == 0
    if not (os.geteuid() == 0 and shutil.which("smbd") and impacket):
        rows = [row for row in rows if "samba" not in row.needs]
        notes.append("Samba rows left out: they need root, smbd (package samba) and "
                     "python3-impacket")
    daemons = ("ganesha.nfsd", "rpcbind", "rpc.statd")
    if not (os.geteuid() == 0 and NFS["client"] and all(map(shutil.which, daemons))):
        rows = [row for row in rows if "nfs" not in row.needs]
        notes.append("NFS rows left out: they need root, ganesha.nfsd (packages nfs-ganesha and "
                     "nfs-ganesha-vfs), rpcbind, rpc.statd (nfs-common) and the NFS client, built "
                     "with libnfs (libnfs-dev)")
    return rows, notes


def main():
    options, binary = sys.argv[1:-1], sys.argv[-1]
    if "--nfs-client" in options:
        NFS["client"] = options[options.index("--nfs-client") + 1]
    runner = ["chroot"] * ("--chroot" in options)
    runner += shlex.split(options[options.index("--runner") + 1]) if "--runner" in options else []
    # the rows' files and folders as any user makes them, whatever the builder's umask
    os.umask(0o022)
    # Stopped by a signal, the table ends every process it started and removes its folder; a
    # folder of a table that was killed (a test's time limit) goes on the next start.
    for stop in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(stop, lambda *_: sys.exit("stopped"))
    for folder in glob.glob(os.path.join(tempfile.gettempdir(), "tarnwick-e2e-*-*-")):
        if not os.path.exists(f"/proc/{os.path.basename(folder).split('-')[2]}"):
            shutil.rmtree(folder, ignore_errors=True)
    results = []
    try:
        with tempfile.TemporaryDirectory(prefix=f"tarnwick-e2e-{os.getpid()}-", suffix="-") as top:
            os.chmod(top, 0o755)  # reachable by nobody, wherever the build folder is
            if "--messages" in options:
                results = messages(binary)
            elif "--documents" in options:
                results = batch_loop(top, binary, runner) if WINDOWS else \
                    nothing_outlives(top) + documents(top, binary)
            else:
                results = table(top, binary, runner)
    finally:
        for child in list(LIVE):
            end(child)
    failed = [result for result in results if result]
    print(*failed, f"{len(results) - len(failed)} passed, {len(failed)} failed", sep="\n")
    return 1 if failed else 0


def table(top, binary, runner):
    rows, notes = rows_for(runner)
    print(*notes, sep="\n")
    binary = shutil.copy(binary, top)
    os.chmod(binary, 0o755)  # for the rows run as nobody
    readme_script = re.search(r"^```python\n(.*?)^```", README, re.S | re.M)[1]
    open(os.path.join(top, "replace-map.py"), "w").write(readme_script)
    if any("samba" in row.needs for row in rows):
        start_samba(top)
    results = []
    if any("nfs" in row.needs for row in rows):
        results.append(start_nfs(top) or "")
        if results[-1]:
            rows = [row for row in rows if "nfs" not in row.needs]
        elif not runner:  # what the lock is for: no change lost, on either side
            for version in "34":
                losses = [rounds_beside_runs(top, binary, version, locked)
                          for locked in (True, False)]
                results.append("" if losses[0] == 0 < losses[1] else
                               f"FAIL NFSv{version} rounds beside runs: {losses[0]} changes lost "
                               f"with the client's lock (want 0), {losses[1]} without (want some)")
    for row in rows:
        # A stream that is not a pipe cannot also carry the other one. Under valgrind or qemu the
        # tool's own order of writes is the same as in a direct run; so it is in a run that waits.
        once = row.stdout_file or row.closed or row.waits or runner and not WINDOWS
        for merged in (False, True)[:1 if once else 2]:
            problems = run(row, binary, runner, merged)
            failed = f"FAIL {row.name}{' (2>&1)' if merged else ''}:\n  " + "\n  ".join(problems)
            results.append(failed if problems else "")
        if HUNG in results[-1]:
            break  # a tool that hung once would hang on every row
    return results


if __name__ == "__main__":
    sys.exit(main())
