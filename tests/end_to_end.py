#!/usr/bin/env python3
"""Runs the built tool as a user does, one table row at a time, each in a fresh
folder: a chosen argv[0], the arguments, the environment and a map made for the
row. Compares standard output, standard error, the exit status and the map's
bytes after the run exactly. A row whose streams are both pipes runs twice, the
second time with both on one pipe (2>&1), where the lines must come in the
order listed.

With --runner, each run goes through that command (a memory checker, say),
and must still come out exactly as listed. With --chroot, a few rows run in
an empty root that holds only the tool and the map, and the runner if one is
given (a static emulator).

With --messages, it checks instead that the manual page and README.txt
list every fixed message in the sources. With --documents and tarnwick.exe,
it runs README.txt's batch loop under the runner (Wine). With --documents, it
runs the examples of the documents instead, as a user
would, and compares what they print byte for byte, so that a document that
drifts from the tool fails: every console block of the README, in order, as
a user with tarnwick on the PATH types them beside a copy of the sample,
DM-Sample.ut2; then the manual page's EXAMPLES, beside DM-MyMap.ut2 and a
folder Maps/ holding DM-One.ut2 and DM-Two.ut2, copies of the sample, and
tiny.ut2, too small to be a package.

usage: end_to_end.py [--chroot] [--runner "command 'arg with spaces'"] path/to/tarnwick
       end_to_end.py --documents [--runner "wine"] path/to/tarnwick[.exe]
       end_to_end.py --messages path/to/mandoc
"""
import fcntl
import glob
import os
import re
import resource
import shlex
import shutil
import signal
import socket
import subprocess
import struct
import sys
import tempfile
import time
import zlib
from subprocess import DEVNULL, PIPE, STDOUT

DIR = "a directory"  # map stand-ins that are not bytes to write

# The Windows build (tarnwick.exe) runs under Wine, through --runner. What
# differs there by nature, and how the table allows for it, is all here:
# - Both streams are in text mode, so each "\n" arrives as "\r\n": output is
#   compared with CRLF turned into LF.
# - argv[0] arrives as a full Windows path, Z: and the file's path with
#   backslashes; it stands for {prog}.
# - The option parser is the C runtime's, with its own wording: where the
#   table lists one of glibc's messages (P), one line must be there instead.
#   The status and the tool's own messages are compared exactly.
# - The rows run as another user, with a file size limit or under a lease are
#   not run there: Wine runs only as its prefix's owner; Windows has no file
#   size limit, and Wine's writes ignore the Linux one; and Windows has oplocks,
#   whose break every open waits for, but Wine's open fails at once on a file
#   under a Linux lease, a Samba client's oplock among them.
# - Windows reports a directory's size as 0: a row's "windows" extra lists its
#   output there.
WINDOWS = sys.argv[-1].endswith(".exe")  # the tool's file name tells


# The byte every run locks, past the end of any map; a deployment script takes it so.
LOCK_BYTE = 0x7FFFFFFF00000000
# Holds a read lease on the map, as a file server does for a client, and
# lets go when the kernel asks: a run's open must wait for that. SIGIO stays
# blocked, so that one sent at any moment is pending for sigtimedwait.
LEASE = """import fcntl, os, signal, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGIO})
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
print(flush=True)
signal.sigtimedwait({signal.SIGIO}, 30)
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
print("let go", flush=True)"""


def ut2(flags, tag=0xC1, length=32):
    """A made-up map header: the package tag (or another first byte, or
    another four), version, flag byte, then CR LF and ^Z filler, so that any
    text-mode translation of the file would show."""
    tag = bytes([tag]) + b"\x83\x2A\x9E" if isinstance(tag, int) else tag
    return (tag + bytes([0x80, 0x00, 0x1D, 0x00, flags]) + b"\x00\r\n\x1a" * length)[:length]


ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# The usage screen as the README shows it, which the documents' run holds to the tool.
README = open(os.path.join(ROOT, "README.md")).read()
USAGE = re.search(r"^\$ tarnwick\n(.*?)^\$ ", README, re.S | re.M)[1].replace("tarnwick", "{prog}")
WARN, DONE, SAME = "[Warning]: file may not be a valid map!\n\n", "Map file updated\n", "No change to make\n"
REFUSED = "Not writing to file. Use --force option to force modificaton\n"


FLAGS = {0x01: "AllowDownload", 0x02: "ClientOptional", 0x04: "ServerSideOnly", 0x10: "Unsecure", 0x20: "Official"}
ALL = tuple(FLAGS.values())


def block(label, byte):
    return f"{label}{byte:08b}]:\n" + "".join(f" {name}\n" for bit, name in FLAGS.items() if byte & bit) + "\n"


def change(old, new, end=DONE): return block("Current Flags [", old) + block("    New Flags [", new) + end
def O(text): return (1, text)
def E(text): return (2, "{prog}: " + text)
def P(text): return (3, "{prog}: " + text)  # the option parser's own words, on standard error
def bad(value, flag): return E(f"`{value}' is not a valid parameter for --{flag} (expecting 'on' or 'off')\n")
def unknown(*words): return E("Unknown options: " + "".join(f'"{w}" ' for w in words) + "\n")


HELP, UNWRITTEN, M, B = O(USAGE), E("Couldnt write to standard output\n"), "map.ut2", ut2(0x21)
NOT_MAP = ut2(0x21, 0x4D)  # the map B, but for its first byte
U = "Дмитрий-地図-🎮"  # Cyrillic, CJK and an emoji, which no Windows code page holds together
C21 = "Current Flags [00100001]:\n AllowDownload\n Official\n\n"  # the display, spelt out once
OFF = O(change(0x21, 0x01))  # Official switched off on 0x21
SHOWN, CHANGED = O(change(0x21, 0x01, "")), E("Map file changed during the run; nothing written\n")
CANT_READ, CANT_WRITE = E("Couldnt read map file\n"), E("Couldnt write to map file\n")
TEXT, NOT_READ, HUNG = "not a map, but long enough", "a file not to read", "(no end in 30 s)"
LOCKED, NO_LOCK = E("Map file locked by another run; nothing written\n"), E("Couldnt lock map file; nothing written\n")
WHILE, COMPRESSED = E("Map file changed while it was written; check it\n"), E("Map file is compressed (.uz2); change the uncompressed package instead\n")
# The README's deployment script, run while the tool is held between its open and its lock: it puts
# a text file in the map's place; and a second program's try at the lock, which must fail.
REPLACE = f"printf '{TEXT}' > new.ut2 && python3 ../replace-map.py {M} new.ut2 && rm {M}.old"
TRY_LOCK = f"from fcntl import *; lockf(open(\"{M}\", \"r+b\"), LOCK_EX | LOCK_NB, 1, {LOCK_BYTE})"
# Packages as a redirect server compresses them: zlib blocks of 32 KiB at most, each after its two
# sizes. The sample map is one block, which ends the file; a made-up map of 40,000 bytes is two.
def uz2(data): return b"".join(struct.pack("<II", len(z := zlib.compress(b)), len(b)) + z for b in (data[:32768], data[32768:]) if b)
UZ2, UZ2_2 = uz2(open(os.path.join(ROOT, "sample", "DM-Sample.ut2"), "rb").read()), uz2(ut2(0x21, length=40000))
BIG = struct.pack("<II", 33096, 32768) + UZ2_2[8:] + bytes(33200)  # a block of the largest size a .uz2 may give

# An SMB2 client of the table's Samba server, for Debian's python3-impacket.
SAMBA = {"port": None}
SMB = ["/usr/bin/python3", os.path.join(ROOT, "tests", "smb_client.py"), "{port}", "{share}"]

# name, arguments, map bytes (None: no map), output in order, status, map after (None: unchanged), extras
# The usual run: -o on the map B. Then Official is switched off (flipped), or a message stops the run.
def flip(name, *rest): return (name, ["-o", M], B, *rest)
def flipped(name, extra): return flip(name, [OFF], 0, ut2(0x01), extra)
def stopped(name, message, extra, after=None): return flip(name, [SHOWN, message], 1, after, extra)
def not_uz2(name, data): return (name, ["-o", M], data, [O(WARN + change(0x78, 0x58, REFUSED))], 0)  # not refused


ROWS = [
    # usage screen and operands
    ("no arguments", [], None, [HELP], 1),
    ("-f alone", ["-f"], B, [E("Please give the map filename "), HELP], 1),
    ("a pattern that matched three maps", [M, "b", "c d"], B, [unknown("b", "c d"), HELP], 1),
    ("the empty operand", [""], None, [E("Couldnt get info on map file\n")], 1),
    ("-- ends the options", ["--", "--Official"], B, [O(C21)], 0, None, {"path": "--Official"}),
    ("options after the operand", [M, "--Official=off"], B, [OFF], 0, ut2(0x01)),
    ("POSIXLY_CORRECT stops at the operand", [M, "--Official=off"], B, [unknown("--Official=off"), HELP], 1, None, {"env": {"POSIXLY_CORRECT": "1"}}),
    ("a value in the next word is an operand", ["--Official", "off", M], B, [unknown(M), HELP], 1),
    # names in any script: the map named, and no other
    ("a name in three scripts, in a folder named so too", ["-o", f"{U}/{U}.ut2"], B, [OFF], 0, ut2(0x01), {"path": f"{U}/{U}.ut2"}),
    ("a surplus name in three scripts", [M, f"{U}.ut2"], B, [unknown(f"{U}.ut2"), HELP], 1),
    ("Café.ut2 beside Cafe.ut2, on a Russian system", ["--AllowDownload=on", "Café.ut2"], ut2(0x20), [O(change(0x20, 0x21))], 0,
     ut2(0x21), {"path": "Café.ut2", "beside": ["Cafe.ut2"], "env": {"LC_ALL": "ru_RU.UTF-8"}}),
    # option names and values
    ("abbreviated name", ["--Off=off", M], B, [OFF], 0, ut2(0x01)),
    ("short letter with value", ["-ooff", M], B, [OFF], 0, ut2(0x01)),
    ("--f is --force", ["--f", "-o", M], NOT_MAP, [O(WARN + change(0x21, 0x01))], 0, ut2(0x01, 0x4D)),
    ("-fo: force, flip", ["-fo", M], ut2(0x01, 0), [O(WARN + change(0x01, 0x21))], 0, ut2(0x21, 0)),
    ("value case matters", ["--Official=On", M], B, [bad("On", "Official"), HELP], 1),
    ("empty value", ["--Official=", M], B, [bad("", "Official"), HELP], 1),
    ("values that only look like on or off", ["--AllowDownload=onX", "--ClientOptional=offf", "--ServerSideOnly=of", "-uo", "-o on", M],
     B, [bad(v, f) for v, f in zip(("onX", "offf", "of", "o", " on"), ALL)] + [HELP], 1),
    ("name case matters", ["--official", M], B, [P("unrecognized option '--official'\n"), HELP], 1),
    ("--force takes no value", ["--force=yes", M], B, [P("option '--force' doesn't allow an argument\n"), HELP], 1),
    ("unknown letter and name", ["-x", "--bogus", M], B, [P("invalid option -- 'x'\n"), P("unrecognized option '--bogus'\n"), HELP], 1),
    ("letters are named by their long option", ["-aX", "-cX", "-sX", "-uX", "-oX", M], B, [bad("X", f) for f in ALL] + [HELP], 1),
    ("several errors, one usage screen", ["--Unsecure=of", M, "extra", "-q"], B,
     [bad("of", "Unsecure"), P("invalid option -- 'q'\n"), unknown("extra"), HELP], 1),
    ("every letter flips its flag, a repeat flips once", ["-a", "-c", "-s", "-u", "-o", "-a", M], ut2(0x00), [O(change(0x00, 0x37))], 0, ut2(0x37)),
    ("off beats on", ["--Official=on", "--Official=off", M], B, [OFF], 0, ut2(0x01)),
    ("a flip comes after on and off, whatever their order", ["-o", "--Official=off", "--AllowDownload=on", "-a", M], ut2(0x01),
     [O(change(0x01, 0x20))], 0, ut2(0x20)),
    ("every name on, unnamed bits kept", [f"--{f}=on" for f in ALL] + [M], ut2(0xC8), [O(change(0xC8, 0xFF))], 0, ut2(0xFF)),
    ("every name off, unnamed bits kept", [f"--{f}=off" for f in ALL] + [M], ut2(0xFF), [O(change(0xFF, 0xC8))], 0, ut2(0xC8)),
    # the map file
    ("missing map", ["-o", M], None, [E("Couldnt get info on map file\n")], 1),
    ("8-byte file", ["-o", M], ut2(0x21, length=8), [E("Map file too small\n")], 1),
    ("9-byte map, last byte is the flags", ["--ServerSideOnly=on", M], ut2(0x21, length=9), [O(change(0x21, 0x25))], 0, ut2(0x25, length=9)),
    # a .uz2, as a redirect server offers the map for download: never shown as a package, never written
    ("a .uz2, shown", [M], UZ2, [COMPRESSED], 1),
    ("a .uz2, changed", ["-o", M], UZ2, [COMPRESSED], 1),
    ("a .uz2 of two blocks, forced", ["-fo", M], UZ2_2, [COMPRESSED], 1),
    ("a .uz2 block of 33096 bytes, the most", ["-o", M], BIG, [COMPRESSED], 1),
    not_uz2("a .uz2's zlib check broken", UZ2_2[:9] + b"\x00" + UZ2_2[10:]),
    not_uz2("a block of 33097 bytes", struct.pack("<I", 33097) + BIG[4:]),
    not_uz2("a block of 2^24 + 33096 bytes", struct.pack("<I", (1 << 24) + 33096) + BIG[4:]),
    ("a .uz2's first 9 bytes", ["-fo", M], UZ2[:9], [O(WARN + change(0x78, 0x58))], 0, UZ2[:8] + b"\x58"),
    ("C1 83 2A 9F is no package", ["-o", M], ut2(0x21, b"\xC1\x83\x2A\x9F"), [O(WARN + change(0x21, 0x01, REFUSED))], 0),
    ("flags shown only", [M], B, [O(C21)], 0),
    ("flags shown only, not a map", [M], NOT_MAP, [O(WARN + C21)], 0),
    ("not a map, change refused", ["-o", M], NOT_MAP, [O(WARN + change(0x21, 0x01, REFUSED))], 0),
    ("not a map, forced", ["-o", M, "-f"], NOT_MAP, [O(WARN + change(0x21, 0x01))], 0, ut2(0x01, 0x4D)),
    ("no change to make", ["--Official=on", M], B, [O(change(0x21, 0x21, SAME))], 0),
    ("flag byte 0x1A to 0x0A", ["-u", M], ut2(0x1A), [O(change(0x1A, 0x0A))], 0, ut2(0x0A)),
    flipped("a 3 GiB map", {"size": 3 << 30}),
    flipped("a map 8 bytes over 4 GiB", {"size": (4 << 30) + 8}),
    ("tag 0x1A, 64 KiB long", ["-fa", M], ut2(0x00, 0x1A, 65536), [O(WARN + change(0x00, 0x01))], 0, ut2(0x01, 0x1A, 65536)),
    # failures: the map must come out untouched
    flip("unreadable map", [E("Couldnt open file for reading\n")], 1, None, {"user": 1, "mode": 0}),
    flip("read-only map", [O(change(0x21, 0x01, "")), E("Couldnt open file for writing\n")], 1, None, {"user": 1, "mode": 0o444}),
    ("read-only map, nothing to write", ["--Official=on", M], B, [O(change(0x21, 0x21, SAME))], 0, None, {"user": 1, "mode": 0o444}),
    ("a directory", ["-o", M], DIR, [CANT_READ], 1, None, {"windows": [E("Map file too small\n")]}),
    flip("the write fails: ulimit -f 0", [SHOWN, CANT_WRITE], 1, None, {"fsize": 0}),
    stopped("another program holds the lock", LOCKED, {"locked": LOCK_BYTE, "waits": 1}),
    flip("a kernel without open-file locks: the process's lock", [SHOWN, LOCKED], 1, None,
     {"locked": LOCK_BYTE, "inject": "/^fcntl:error=EINVAL:when=1", "waits": 1}),
    flipped("a lock on the next byte is no run's", {"locked": LOCK_BYTE + 1}),
    flip("no lock records for a second, while another holds the lock", [SHOWN, NO_LOCK], 1, None,
     {"locked": LOCK_BYTE, "inject": "/^fcntl:error=ENOLCK", "waits": 1}),
    stopped("other lock errors", NO_LOCK, {"locked": LOCK_BYTE, "inject": "/^fcntl:error=EDEADLK"}),
    stopped("a file server that lost the file", CHANGED, {"inject": "/^fcntl:error=ESTALE"}),
    flipped("no locks on this file system", {"inject": "/^fcntl:error=ENOSYS"}),
    # the name: a map moved aside, or replaced as the README's script does, between the open and the lock
    ("in a folder one may enter but not list", ["-o", "in/m.ut2"], B, [OFF], 0, ut2(0x01),
     {"path": "in/m.ut2", "user": 1, "mode": 0o666, "folder": 0o711}),
    stopped("the map renamed aside", CHANGED, {"hold": ("openat:when=2", f"mv {M} aside.ut2"), "moved": "aside.ut2"}),
    stopped("the README's script replaces the map", CHANGED, {"hold": ("openat:when=2", REPLACE)}, TEXT.encode()),
    flip("the README's script, and the process's lock", [SHOWN, CHANGED], 1, TEXT.encode(),
     {"hold": ("openat:when=2", REPLACE), "inject": "/^fcntl:error=EINVAL:when=1"}),
    flip("the process's lock still held at the write", [OFF], 0, ut2(0x01),
     {"hold": ("pwrite64:when=1", f"python3 -c '{TRY_LOCK}' 2> /dev/null && touch unlocked"), "inject": "/^fcntl:error=EINVAL:when=1"}),
    stopped("a copy over the map right after the write", WHILE, {"hold": ("pwrite64:when=1", f"cp copy {M}"), "beside": ["copy"]}),
    # a file server's lease, broken as the kernel asks: the run waits, as any open does
    flipped("a read lease", {"holder": [sys.executable, "-c", LEASE, "{map}"], "lease": 1}),
    # a real file server: the Samba server of the table, with an SMB2 client on the map
    stopped("a Samba client holds the lock", LOCKED, {"holder": SMB + ["lock"], "told": b"granted\n", "waits": 1, "smb": 1}),
    flip("a run's lock refuses a Samba client", [OFF], 0, ut2(0x01),
     {"hold": ("/^fcntl:when=1", "$SMB lock </dev/null | grep -q refused || > granted"), "smb": 1}),
    flipped("a Samba client's batch oplock, broken for the run", {"holder": SMB + ["oplock"], "told": b"ready\nbroken\n", "smb": 1, "lease": 1}),
    # the write stage's own look at the file fails: a failure, not a change
    stopped("the second look at the file fails", CANT_READ, {"inject": "%%stat:error=EIO:when=3"}),
    stopped("the name cannot be looked up", CANT_READ, {"inject": "openat:error=EACCES:when=3"}),
    stopped("the second read fails", CANT_READ, {"inject": "pread64:error=EIO:when=2"}),
    stopped("the second read comes back short", CHANGED, {"inject": "pread64:retval=9:when=2"}),
    stopped("the look after the write fails", CANT_WRITE, {"inject": "%%stat:error=EIO:when=5"}, ut2(0x01)),
    stopped("the read after the write fails", CANT_WRITE, {"inject": "pread64:error=EIO:when=3"}, ut2(0x01)),
    stopped("the name after the write cannot be looked up", CANT_WRITE, {"inject": "openat:error=EACCES:when=4"}, ut2(0x01)),
    # the map's name made to lead elsewhere while the run is held between its stages, or before the first open
    stopped("a text file renamed over the map", CHANGED, {"hold": ("close:when=1", f"ln -f {M} r && printf '{TEXT}' > t && mv t {M}"), "beside": ["r"]}, TEXT.encode()),
    stopped("map cut to 8 bytes", CHANGED, {"hold": ("close:when=1", f"truncate -s 8 {M}")}, B[:8]),
    flip("the map emptied between the second read and the write", [SHOWN, WHILE], 1,
     bytes(8) + b"\x01", {"hold": ("pread64:when=2", f": > {M}")}),
    stopped("byte 8 changed by another run", CHANGED, {"hold": ("close:when=1", f"../tarnwick -aoff {M} > /dev/null")}, ut2(0x20)),
    flip("the tag's last byte changed", [SHOWN, CHANGED], 1, ut2(0x21, b"\xC1\x83\x2A\x9F"),
     {"hold": ("close:when=1", f"printf '\\237' | dd of={M} bs=1 seek=3 conv=notrunc status=none")}),
    ("a symbolic link to another file, put by another user", ["-o", "up/m.ut2"], B, [SHOWN, CHANGED], 1, None,
     {"path": "up/m.ut2", "beside": ["secret"], "hold": ("close:when=1", "ln -sf ../secret up/m.ut2"), "owner": "nobody"}),
    flip("a FIFO renamed over the map before the first open", [CHANGED], 1, NOT_READ, {"hold": ("%%stat:when=1", f"mkfifo t && mv t {M}")}),
    flip("the map cut to 4 bytes before it is read", [CANT_READ], 1, B[:4], {"hold": ("%%stat:when=1", f"truncate -s 4 {M}")}),
    flip("map emptied before the read", [CANT_READ], 1, b"", {"hold": ("%%stat:when=1", f": > {M}")}),
    # the byte went out; the close did not confirm it
    flip("the close after the write fails", [SHOWN, CANT_WRITE], 1, ut2(0x01),
     {"inject": "close:error=EIO:when=2"}),
    # standard output that cannot be written: the map keeps its own outcome, the run fails
    ("output on a full disk, flags shown", [M], B, [UNWRITTEN], 1, None, {"stdout": "/dev/full"}),
    flip("output on a full disk, the write fails", [CANT_WRITE, UNWRITTEN], 1, None, {"stdout": "/dev/full", "fsize": 8}),
    flip("output closed, change", [UNWRITTEN], 1, ut2(0x01), {"close": (1,)}),
    flip("all three streams closed, change", [], 1, ut2(0x01), {"close": (0, 1, 2)}),
    flip("output and errors closed, the write fails", [], 1, None, {"close": (1, 2), "fsize": 8}),
]


def start_samba(top):
    """Starts the table's Samba server, on a free port of 127.0.0.1, sharing the table's folder
    as "maps" as a file server whose maps are changed in place should be: the clients' locks
    as POSIX locks, their oplocks as kernel leases."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        SAMBA["port"] = port = probe.getsockname()[1]
    state = os.path.join(top, ".samba")
    os.mkdir(state)
    dirs = [f"{d} = {state}" for d in ("private dir", "lock directory", "state directory", "cache directory", "pid directory", "ncalrpc dir")]
    open(os.path.join(top, "smb.conf"), "w").write("\n".join([
        "[global]", f"smb ports = {port}", "interfaces = lo", "bind interfaces only = yes", *dirs, "map to guest = bad user",
        "load printers = no", "disable spoolss = yes", "posix locking = yes", "kernel oplocks = yes",
        "[maps]", f"path = {top}", "read only = no", "guest ok = yes", "force user = root"]))
    # in a group of its own, which it ends as it ends
    server = subprocess.Popen(["smbd", "--foreground", "--no-process-group", "-s", os.path.join(top, "smb.conf")], start_new_session=True,
                              stdout=DEVNULL, stderr=DEVNULL)
    deadline = time.monotonic() + 10  # until it answers
    while socket.socket().connect_ex(("127.0.0.1", port)) and time.monotonic() < deadline:
        time.sleep(0.1)
    return server


def fill(words, path):
    """The words of a helper's command, with the map's path, its path on the share and the server's port."""
    share = os.path.relpath(path, os.path.dirname(os.path.dirname(path)))
    return [{"{map}": path, "{share}": share, "{port}": str(SAMBA["port"])}.get(w, w) for w in words]


def run(binary, runner, name, args, before, io, status, after=None, extra={}, merged=False):
    """Runs one row; returns a list of what differed."""
    io, prog = extra.get("windows", io) if WINDOWS else io, "tarnwick"
    with tempfile.TemporaryDirectory(dir=os.path.dirname(binary)) as folder:
        os.chmod(folder, 0o755)
        path, beside = os.path.join(folder, extra.get("path", M)), extra.get("beside", [])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        # as nobody, if root
        owner = dict(user=65534, group=65534, extra_groups=[]) if os.geteuid() == 0 else {}
        if "owner" in extra and owner:  # the map's folder is the other user's
            os.chown(os.path.dirname(path), 65534, 65534)
        if before is DIR:
            os.mkdir(path)
        elif before is not None:
            with open(path, "wb") as f:
                f.write(before)
                f.truncate(extra.get("size", len(before)))  # a large map is sparse: no disk spent
            for other in beside:  # look-alikes that must come out untouched
                shutil.copy(path, os.path.join(folder, other))
            os.chmod(path, extra.get("mode", 0o644))
            os.chmod(os.path.dirname(path), extra.get("folder", 0o755))
        user = owner if extra.get("user") else {}  # root writes read-only files

        def set_up_child():
            # valgrind writes a file of its own first: only the tool's direct runs face the signal
            if "fsize" in extra:
                resource.setrlimit(resource.RLIMIT_FSIZE, (extra["fsize"], extra["fsize"]))
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN if "valgrind" in " ".join(runner) else signal.SIG_DFL)
            for fd in extra.get("close", ()):
                os.close(fd)

        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C.UTF-8", **extra.get("env", {})}
        # argv[0] pinned, in a direct run only
        executable, log, inside = None, folder + ".strace", []
        if "inject" in extra or "hold" in extra:
            # strace fails the chosen call on the map, or stops the run after
            # it; it names the tool by its path
            faults = [f for f in (extra.get("inject"), "hold" in extra and extra["hold"][0] + ":signal=SIGSTOP") if f]
            prog = os.path.relpath(binary, folder)
            command = ["strace", "-qq", "-o", log, "-P", extra.get("path", M), "-e", "trace=" + ",".join(f.split(":")[0] for f in faults),
                       *(f"-einject={f}" for f in faults), prog, *args]
            # a sanitized build's leak check cannot run under ptrace
            env["ASAN_OPTIONS"] = "detect_leaks=0"
        elif runner[:1] == ["chroot"]:
            # with the build's emulator, which must be static, beside the tool
            inside = ["/" + os.path.basename(shutil.copy(shutil.which(path), folder)) for path in (*runner[1:], binary)]
            prog, command = inside[-1], (["unshare", "-r"] if os.geteuid() else []) + ["chroot", folder, *inside, *args]
        elif runner:  # which names the tool by the path it was given, under Wine as a Windows path
            command, prog = [*runner, binary, *args], "Z:" + binary.replace("/", "\\") if WINDOWS else binary
        else:
            command, executable = [prog, *args], binary
        with open(extra.get("stdout", os.devnull), "wb") as sink, open(path if "locked" in extra else os.devnull) as locked:
            # shared, so that a run which took only a shared lock would go through
            if "locked" in extra:
                fcntl.lockf(locked, fcntl.LOCK_SH, 1, extra["locked"])
            # a program that holds the lock, a lease or an oplock from before the run, and says when it does
            holder = subprocess.Popen(fill(extra["holder"], path), stdin=PIPE, stdout=PIPE) if "holder" in extra else None
            told = holder and holder.stdout.readline()
            started = time.monotonic()
            child = subprocess.Popen(
                command, executable=executable, cwd=folder, env=env, stdin=DEVNULL,
                stdout=sink if "stdout" in extra else PIPE, stderr=STDOUT if merged else PIPE,
                preexec_fn=set_up_child, start_new_session=True, **user)
            out = err = None
            try:
                # strace stops the tool after the row's call; the row changes the folder, then lets it go on
                while "hold" in extra and child.poll() is None and time.monotonic() < started + 30 and \
                        "stopped by SIGSTOP" not in (open(log).read() if os.path.exists(log) else ""):
                    time.sleep(0.01)
                if "hold" in extra and child.poll() is None:
                    subprocess.run(["bash", "-c", extra["hold"][1]], cwd=folder, timeout=30, **(owner if "owner" in extra else {}),
                                   env={**os.environ, "SMB": shlex.join(fill(SMB, path))})
                    os.killpg(child.pid, signal.SIGCONT)
                out, err = child.communicate(timeout=30)
            except subprocess.TimeoutExpired as expired:
                out = err = (HUNG if expired.cmd is command else f"(the row's command did not end: {expired.cmd})").encode()
            finally:  # no run outlives its row, not even a held or a hung one
                if child.poll() is None:
                    os.killpg(child.pid, signal.SIGKILL)
                    child.communicate()
                if holder:  # a holder that never let go holds any run: the row fails, not the tool
                    try:
                        told += holder.communicate(timeout=25)[0]
                    except subprocess.TimeoutExpired:
                        holder.kill()
                    if b"let go" not in told and out == HUNG.encode():
                        out = err = b"(the holder never let go)"
            elapsed = time.monotonic() - started
        # strace names the map's whole path first, as it found it from the folder
        out, err = (re.sub(rb"^strace: Requested path .*\n", b"", text or b"") for text in (out, err))
        got = [("status", child.returncode, status)]
        for what, out, fds in [("2>&1", out, (1, 2, 3))] if merged else [("stdout", out, (1,)), ("stderr", err, (2, 3))]:
            out = (out or b"").replace(b"\r\n", b"\n") if WINDOWS else out or b""
            want = [(t.replace("{prog}", prog).encode(), fd) for fd, t in io if fd in fds]
            pattern = b"".join(rb"[^\n]+\n" if fd == 3 and WINDOWS else re.escape(t) for t, fd in want)
            got.append((what, out, out if re.fullmatch(pattern, out) else b"".join(t for t, fd in want)))
        # Load only lengthens a wait, and a runner's start adds to it: a run that must not wait shows it in its output.
        got += [("waited a second for the lock", elapsed >= 1, True)] * ("waits" in extra)
        got += [("what the holder was told", told, extra.get("told"))] * ("told" in extra)
        # the map's name when the run ends, and the folder's entry that leads to it
        final = extra.get("moved", extra.get("path", M))
        after, path = before if after is None else after, os.path.join(folder, final)
        if isinstance(after, bytes):
            os.chmod(path, 0o644)
            got += [("map", open(path, "rb").read(len(before)), after), ("size", os.path.getsize(path), extra.get("size", len(after)))]
        got += [(other, open(os.path.join(folder, other), "rb").read(), before) for other in beside]
        files = [] if before is None else [final.split("/")[0], *beside]
        got.append(("folder", sorted(os.listdir(folder)), sorted(files + [name[1:] for name in inside])))
        return [f"{what}: got {have!r}\n    want {want!r}" for what, have, want in got if have != want]


def transcript(text, folder, env):
    """Runs each "$ " command of a transcript (with its "> " lines) in bash;
    returns what differed from the lines that follow it, or "" for each."""
    results = []
    for command, want in re.findall(r"^\$ (.*(?:\n> .*)*)\n((?:(?![$] ).*\n)*)", text, re.M):
        got = subprocess.run(["bash", "-c", command.replace("\n> ", "\n")], cwd=folder, env=env, text=True,
                             stdout=PIPE, stderr=STDOUT, timeout=30).stdout
        results.append("" if got == want else f"FAIL $ {command}\n  got  {got!r}\n  want {want!r}")
    return results


def documents(top, binary):
    sample = open(os.path.join(ROOT, "sample", "DM-Sample.ut2"), "rb").read()
    for path, data in [("DM-Sample.ut2", sample), ("DM-MyMap.ut2", sample), ("Maps/DM-One.ut2", sample),
                       ("Maps/DM-Two.ut2", sample), ("Maps/tiny.ut2", b"tiny"), ("bin/tarnwick", None)]:
        os.makedirs(os.path.dirname(os.path.join(top, path)), exist_ok=True)
        open(os.path.join(top, path), "wb").write(data) if data else shutil.copy(binary, os.path.join(top, path))
    env = {"PATH": os.path.join(top, "bin") + ":/usr/bin:/bin", "LC_ALL": "C.UTF-8"}
    examples = open(os.path.join(ROOT, "tarnwick.1")).read().split(".Sh EXAMPLES")[1].split("\n.Sh ")[0]
    return transcript("".join(re.findall(r"^```console\n(.*?)^```", README, re.S | re.M)) + "".join(
        re.findall(r"^\.Bd -literal[^\n]*\n(.*?)^\.Ed", examples, re.S | re.M)).replace("\\e", "\\"), top, env)


def batch_loop(top, binary, runner):
    """README.txt's batch loop, run by Wine's cmd beside tarnwick.exe in the folder README.txt
    shows it in: a map whose download is off, copies of it whose names only begin like a map's
    (whose short 8.3 names end in .UT2), and two files that are no package, the second with the
    bit set already. It must name those two, as README.txt says, and change the map alone."""
    text = open(os.path.join(ROOT, "README.txt"), encoding="utf-8").read().replace("\r\n", "\n")
    loop = re.search(r"^    @echo off\n(?=    for )(?:    .*\n)+", text, re.M)[0].replace("\n    ", "\n")[4:]
    said = re.search(r"the batch file changes DM-A.ut2 alone and prints:\n\n((?:    .*\n)+)", text)[1].replace("    ", "")
    sample = open(os.path.join(ROOT, "sample", "DM-Sample.ut2"), "rb").read()
    off = sample[:8] + bytes([sample[8] & ~0x01]) + sample[9:]
    files = {"DM-A.ut2": off, "DM-A.ut2_backup": off, "DM-B.ut2x": off, "notes.ut2": TEXT.encode(), "notes3.ut2": b"Some notes on maps"}
    for name, data in {**files, "loop.bat": loop.replace("\n", "\r\n").encode()}.items():
        open(os.path.join(top, name), "wb").write(data)
    shutil.copy(binary, os.path.join(top, "tarnwick.exe"))
    got = subprocess.run([*runner, "cmd", "/c", "loop.bat"], cwd=top, env={"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"},
                         stdout=PIPE, stderr=STDOUT, timeout=60).stdout.replace(b"\r\n", b"\n").decode()
    changed = [name for name, data in {**files, "DM-A.ut2": sample}.items() if open(os.path.join(top, name), "rb").read() != data]
    named = "notes.ut2: not changed\nnotes3.ut2: not changed\n"  # every file it left, and no other
    return ["" if got == said == named and not changed else f"FAIL README.txt's batch loop: printed {got!r}, README.txt "
            f"says {said!r}, want {named!r}; files not as they should be: {changed}"]


def messages(mandoc):
    """Every fixed message in the sources (every "%s: ..." diagnostic, and
    what the map run prints), as the manual page's DIAGNOSTICS render it and
    as README.txt lists it, but the POSIX-only ones there; returns what is
    missing."""
    def squeeze(text): return " ".join(text.replace("\\n", " ").split())
    page = subprocess.run([mandoc, "-T", "ascii", os.path.join(ROOT, "tarnwick.1")], stdout=PIPE, text=True, timeout=60).stdout
    documents = {"manual page": squeeze(re.sub(".\b", "", page).split("\nDIAGNOSTICS\n")[1].split("\nCAVEATS\n")[0]),
                 "README.txt": squeeze(open(os.path.join(ROOT, "README.txt"), encoding="utf-8").read())}
    return sorted({f"FAIL not in the {name}: {text}" for source in glob.glob(os.path.join(ROOT, "src", "*.cpp"))
                   for found in re.findall(r'"%s: ([^"]*)"|(?:printTo\(stdout, |printFlagByte\(|fail\(|return |= )"([^"]*)"', open(source).read())
                   for text in [squeeze("".join(found))] if found[0] or "mapfile" in source
                   for name in list(documents)[:1 if "posix" in source else 2]
                   if not re.search(re.escape(text).replace("%s", ".+?"), documents[name])})


def main():
    options = sys.argv[1:-1]
    runner = ["chroot"] * ("--chroot" in options) + (shlex.split(options[options.index("--runner") + 1]) if "--runner" in options else [])
    rows = ROWS
    if runner[:1] == ["chroot"]:
        rows = [r for r in rows if r[0] in ("flags shown only", "options after the operand", "name case matters")]
        # no /dev/null to stand in for a closed descriptor (an emulator would take it)
        if runner == ["chroot"]:
            rows.append(("no /dev/null for closed input", ["-o", M], B, [E("Couldnt open /dev/null in place of a closed standard stream\n")], 1, None, {"close": (0,)}))
    elif runner:  # a runner reports on standard error, and strace cannot trace it
        rows = [r for r in rows if 2 not in r[-1].get("close", ()) and not {"inject", "hold"} & set(r[-1])]
        print(f"{len(ROWS) - len(rows)} rows close standard error or run under strace, and are left to direct runs")
    rows = [r for r in rows if not (WINDOWS and {"user", "fsize", "lease"} & set(r[-1]))]
    samba = os.geteuid() == 0 and shutil.which("smbd") and subprocess.run([SMB[0], "-c", "import impacket"], timeout=60).returncode == 0
    if not samba and any("smb" in r[-1] for r in rows):
        rows = [r for r in rows if "smb" not in r[-1]]
        print("Samba rows left out: they need root, smbd (package samba) and python3-impacket")
    results = []
    # the rows' files and folders as any user makes them, whatever the builder's umask
    os.umask(0o022)
    # Stopped by a signal, the table still removes its folder and ends its runs; a folder of a table
    # that was killed (a test's time limit) goes on the next start.
    for stop in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda *_: sys.exit("stopped"))
    for folder in glob.glob(os.path.join(tempfile.gettempdir(), "tarnwick-e2e-*-*-")):
        if not os.path.exists(f"/proc/{os.path.basename(folder).split('-')[2]}"):
            shutil.rmtree(folder, ignore_errors=True)
    with tempfile.TemporaryDirectory(prefix=f"tarnwick-e2e-{os.getpid()}-", suffix="-") as top:
        os.chmod(top, 0o755)  # reachable by nobody, wherever the build folder is
        if {"--documents", "--messages"} & set(options):
            rows, results = [], messages(sys.argv[-1]) if "--messages" in options else \
                batch_loop(top, sys.argv[-1], runner) if WINDOWS else documents(top, sys.argv[-1])
        binary = shutil.copy(sys.argv[-1], top)
        server = start_samba(top) if samba and any("smb" in r[-1] for r in rows) else None
        open(os.path.join(top, "replace-map.py"), "w").write(re.search(r"^```python\n(.*?)^```", README, re.S | re.M)[1])
        os.chmod(binary, 0o755)  # for the rows run as nobody
        try:
            for row in rows:
                # A stream that is not a pipe cannot also carry the other one.
                # Under valgrind or qemu the tool's own order of writes is the same as in a direct run.
                for merged in (False, True)[:1 if {"stdout", "close", "locked"} & set(row[-1]) or runner and not WINDOWS else 2]:
                    problems = run(binary, runner, *row, merged=merged)
                    results.append(f"FAIL {row[0]}{' (2>&1)' if merged else ''}:\n  " + "\n  ".join(problems) if problems else "")
                if HUNG in results[-1]:
                    break  # a tool that hung once would hang on every row
        finally:
            server and (os.killpg(server.pid, signal.SIGTERM), server.wait())
    failed = [result for result in results if result]
    print(*failed, f"{len(results) - len(failed)} passed, {len(failed)} failed", sep="\n")
    return 1 if failed else 0


# Every row as (name, args, map before, output, status, map after, extras).
ROWS = [row + (None, {})[len(row) - 5:] if len(row) < 7 else row for row in ROWS]

if __name__ == "__main__":
    sys.exit(main())
