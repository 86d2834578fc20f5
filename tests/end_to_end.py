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

With --documents, it runs the examples of the documents instead, as a user
would, and compares what they print byte for byte, so that a document that
drifts from the tool fails: every console block of the README and of
DEPLOYING.md, in order, as a user with tarnwick on the PATH types them beside
a copy of the sample, DM-Sample.ut2, and the shipped scripts in examples/;
then the manual page's EXAMPLES, beside DM-MyMap.ut2 and a folder Maps/. It
runs the shipped loop from another folder on a folder of files of every kind,
and a stand-in for the tool that never ends, of which nothing may be left.
With --documents and tarnwick.exe, it runs the shipped batch file under the
runner (Wine). With --messages, it checks instead that the manual page lists
every fixed message in the sources.

usage: end_to_end.py [--chroot] [--runner "command 'arg with spaces'"] path/to/tarnwick
       end_to_end.py --documents [--runner "wine"] path/to/tarnwick[.exe]
       end_to_end.py --messages path/to/mandoc
"""
import fcntl, glob, os, re, resource, select, shlex, shutil, signal, socket, struct, subprocess
import sys, tempfile, time, zlib
from contextlib import suppress
from ctypes.util import find_library
from subprocess import DEVNULL, PIPE, STDOUT
from types import SimpleNamespace

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


def read(path): return open(path, "rb").read()


def package(flags, tag=0xC1, length=32):
    """A made-up map header: the package tag (or another first byte, or
    another four), version, flag byte, then CR LF and ^Z filler, so that any
    text-mode translation of the file would show."""
    tag = bytes([tag]) + b"\x83\x2A\x9E" if isinstance(tag, int) else tag
    return (tag + bytes([0x80, 0x00, 0x1D, 0x00, flags]) + b"\x00\r\n\x1a" * length)[:length]


# What a run prints. The usage screen as the README shows it, which the documents' run holds to
# the tool; the flag byte's blocks; each piece of output on its stream, the option parser's own
# words told apart, as Windows' parser words them otherwise.
README = open(os.path.join(ROOT, "README.md")).read()
USAGE = re.search(r"^\$ tarnwick\n(.*?)^\$ ", README, re.S | re.M)[1].replace("tarnwick", "{prog}")
WARNING, UPDATED = "[Warning]: file may not be a valid map!\n\n", "Map file updated\n"
REFUSED = "Not writing to file. Use --force option to force modificaton\n"
ON_OFF = "(expecting 'on' or 'off')"
FLAGS = {0x01: "AllowDownload", 0x02: "ClientOptional", 0x04: "ServerSideOnly", 0x10: "Unsecure",
         0x20: "Official"}


def flag_block(label, byte):
    names = "".join(f" {name}\n" for bit, name in FLAGS.items() if byte & bit)
    return f"{label}{byte:08b}]:\n{names}\n"


def change(old, new, end=UPDATED):
    return flag_block("Current Flags [", old) + flag_block("    New Flags [", new) + end


def stdout(text): return ("stdout", text)
def stderr(text): return ("stderr", "{prog}: " + text)
def parser(text): return ("parser", "{prog}: " + text)
def bad(value, flag): return stderr(f"`{value}' is not a valid parameter for --{flag} {ON_OFF}\n")
def unknown(*words): return stderr("Unknown options: " + "".join(f'"{w}" ' for w in words) + "\n")


HELP = stdout(USAGE)
SAMPLE = package(0x21)  # the map of most rows: AllowDownload and Official set
C1_83_2A_9F = b"\xC1\x83\x2A\x9F"  # a tag that differs from a package's in its last byte
FLIP_OFFICIAL = ["-o", MAP]  # the usual run: on the sample, Official switched off
CHANGED = stderr("Map file changed during the run; nothing written\n")
CHANGED_WHILE = stderr("Map file changed while it was written; check it\n")
CANT_READ, CANT_WRITE = stderr("Couldnt read map file\n"), stderr("Couldnt write to map file\n")
LOCKED = stderr("Map file locked by another run; nothing written\n")
CANT_LOCK = stderr("Couldnt lock map file; nothing written\n")
COMPRESSED = stderr("Map file is compressed (.uz2); change the uncompressed package instead\n")
OUTPUT_LOST = stderr("Couldnt write to standard output\n")
NO_INFO, TOO_SMALL = stderr("Couldnt get info on map file\n"), stderr("Map file too small\n")
CANT_OPEN = stderr("Couldnt open file for reading\n")
FOLDER, TEXT, HUNG = "a folder", "not a map, but long enough", "(no end in 30 s)"
PAUSED = "Press any key to continue..."  # Wine's words, from a batch file that waits for a key
SCRIPTS = "Дмитрий-地図-🎮"  # Cyrillic, CJK and an emoji, which no Windows code page holds


def uz2(data):
    """A package as a redirect server compresses it: zlib blocks of 32 KiB at most, each after
    its two sizes."""
    blocks = (data[i:i + 32768] for i in range(0, len(data), 32768))
    return b"".join(struct.pack("<II", len(z := zlib.compress(b)), len(b)) + z for b in blocks)


# The sample map is one block, which ends the file; a made-up map of 40,000 bytes is two.
DM_SAMPLE = read(os.path.join(ROOT, "sample", "DM-Sample.ut2"))  # the sample the project ships
UZ2 = uz2(DM_SAMPLE)
UZ2_TWO = uz2(package(0x21, length=40000))
UZ2_BIGGEST = struct.pack("<II", 33096, 32768) + UZ2_TWO[8:] + bytes(33200)

# The byte every run locks, past the end of any map; a deployment script takes it so.
LOCK_BYTE = 0x7FFFFFFF00000000
# Holds a lease on the map, as a file server does for a client (argv: the map, then "read" or
# "write"), and lets go when its standard input closes; with "read", also as soon as the kernel
# asks, which a run's open waits for. SIGIO stays blocked, so that one sent at any moment waits.
HOLD_LEASE = [sys.executable, "-c", """import fcntl, os, signal, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGIO})
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK if sys.argv[2] == "read" else fcntl.F_WRLCK)
print("holds", flush=True)
signal.sigtimedwait({signal.SIGIO}, 30)
print("asked to let go", flush=True)
sys.argv[2] == "read" or sys.stdin.read()""", "{map}"]
# The deployment script that ships, run while the tool is held: it puts a text file in the map's
# place. And a second program's try at the lock, which must fail while a run holds it.
EXAMPLES = os.path.join(ROOT, "examples")
REPLACE = f"printf '{TEXT}' > new.ut2 && python3 {shlex.quote(EXAMPLES)}/replace-map.py {MAP}" \
    f" new.ut2 && rm {MAP}.old"
TRY_LOCK = f"from fcntl import *; lockf(open('{MAP}', 'r+b'), LOCK_EX | LOCK_NB, 1, {LOCK_BYTE})"
# An SMB2 client of the table's Samba server, for Debian's python3-impacket, and an NFS client of
# its NFS server, for Debian's libnfs13, run in that server's network.
SMB_CLIENT = ["/usr/bin/python3", ROOT + "/tests/smb_client.py", "{port}", "{share}"]
NFS_CLIENT = ["{nfs}", "{share}"]
SERVERS = {"samba port": None, "nfs namespace": None}


def row(name, args, *, map=SAMPLE, path=MAP, size=None, beside=(), mode=0o644, folder_mode=0o755,
        lock_held=None, holder=None, env=None, as_nobody=False, file_size_limit=None, closed=(),
        fail=None, stop_after=None, meanwhile=None, out=(), status=0, after=None, moved_to=None,
        waits=False, windows_out=None, needs=()):
    """One run of the tool, as `tarnwick` with args, and what must come of it.

    Before the run:
      map          the map's bytes; None: no map; FOLDER: a folder in its place
      path         the map's path in the row's folder
      size         the map's length, when longer than its bytes: the rest is a hole
      beside       names of copies of the map, which must come out as they went in
      mode, folder_mode  the map's mode and its folder's
      lock_held    a byte of the map on which the table holds a shared lock of its process
      holder       a command that holds the map (a lock, a lease, an oplock), with {map},
                   {share} (its path from the table's folder), {port} (Samba's) and {nfs} (the
                   NFS client, before that path) filled in; it prints a line once it holds, and
                   lets go when its standard input closes, after the run
    The run:
      env          variables added to PATH (the system's folders) and LC_ALL=C.UTF-8
      as_nobody    the tool runs as nobody, not as root, whom no mode stops
      file_size_limit  the limit on the size of files the run writes, in bytes
      closed       standard descriptors closed for the run
      fail         (call, error): that call of the tool's fails with the error ("EIO"); CALLS
                   names the calls
      stop_after   the call of the tool's after which it is stopped while `meanwhile` runs
      meanwhile    a shell command run in the row's folder while the tool is stopped, or, with
                   a holder, once the holder prints its second line; $TOOL is the tool's
                   process, $SMB and $NFS the clients' commands on the map
    What must come of it:
      out          what the run prints, in order: stdout(), stderr() and parser() pieces
      status       the exit status
      after        the map's bytes after the run; None: as before; a str: not read
      moved_to     the map's name after the run, when the row moves it
      waits        the run took a second or more, waiting for a lock
      windows_out  what tarnwick.exe prints instead, where Windows differs by nature
      needs        what the row needs beyond the tool: "lease", "samba", "nfs"; and, from the
                   fields above, "strace", "nobody", "standard error", "size limit"
    """
    needs = {*needs, *["strace"] * bool(fail or stop_after), *["nobody"] * as_nobody,
             *["standard error"] * (2 in closed), *["size limit"] * (file_size_limit is not None)}
    return SimpleNamespace(**locals())


def stopped(name, message, **fields):
    """The usual run, stopped by a message after it showed the flags: status 1."""
    return row(name, FLIP_OFFICIAL, out=[stdout(change(0x21, 0x01, end="")), message], status=1,
               **fields)


def official_off(name, args=FLIP_OFFICIAL, **fields):
    """A run that switches Official off on the sample, and says so."""
    return row(name, args, out=[stdout(change(0x21, 0x01))], after=package(0x01), **fields)


ROWS = [
    # usage screen and operands
    row("no arguments", [], map=None, out=[HELP], status=1),
    row("-f alone", ["-f"], out=[stderr("Please give the map filename "), HELP], status=1),
    row("words left over: a value in the next word, a name with a space in three scripts", status=1,
        args=["--Official", "off", MAP, f"{SCRIPTS} 2"], out=[unknown(MAP, f"{SCRIPTS} 2"), HELP]),
    row("the empty operand", [""], map=None, out=[NO_INFO], status=1),
    official_off("options after the operand", [MAP, "--Official=off"]),
    # names in any script: the map named, and no other
    official_off("a name in three scripts, in a folder named so too",
                 ["-o", f"{SCRIPTS}/{SCRIPTS}.ut2"], path=f"{SCRIPTS}/{SCRIPTS}.ut2"),
    row("Café.ut2 beside Cafe.ut2, on a Russian system", ["--AllowDownload=on", "Café.ut2"],
        map=package(0x20), path="Café.ut2", beside=("Cafe.ut2",), env={"LC_ALL": "ru_RU.UTF-8"},
        out=[stdout(change(0x20, 0x21))], after=package(0x21)),
    # option names and values: each letter and name, each kind of value
    row("values that only look like on or off, or are empty",
        ["-aonX", "-coffX", "-sof", "-uo", "-o on", "-oOn", "--Off=", "--AllowDownload=X", MAP],
        out=[bad("onX", "AllowDownload"), bad("offX", "ClientOptional"),
             bad("of", "ServerSideOnly"), bad("o", "Unsecure"), bad(" on", "Official"),
             bad("On", "Official"), bad("", "Official"), bad("X", "AllowDownload"), HELP],
        status=1),
    row("name case matters", ["--official", MAP], status=1,
        out=[parser("unrecognized option '--official'\n"), HELP]),
    row("--force takes no value", ["--force=yes", MAP], status=1,
        out=[parser("option '--force' doesn't allow an argument\n"), HELP]),
    row("several errors, one usage screen", ["--Unsecure=of", MAP, "extra", "-q"], status=1,
        out=[bad("of", "Unsecure"), parser("invalid option -- 'q'\n"), unknown("extra"), HELP]),
    row("every letter flips its flag, a repeat flips once", [*"-a -c -s -u -o -a".split(), MAP],
        map=package(0), out=[stdout(change(0x00, 0x37))], after=package(0x37)),
    official_off("off beats on, in the short form too", ["--Official=on", "-ooff", MAP]),
    row("a flip comes after on and off, whatever their order",
        ["-o", "--Official=off", "--AllowDownload=on", "-a", MAP], map=package(1),
        out=[stdout(change(0x01, 0x20))], after=package(0x20)),
    row("every name on, unnamed bits kept", [*(f"--{flag}=on" for flag in FLAGS.values()), MAP],
        map=package(0xC8), out=[stdout(change(0xC8, 0xFF))], after=package(0xFF)),
    # the map file
    row("8-byte file", FLIP_OFFICIAL, map=SAMPLE[:8], out=[TOO_SMALL], status=1),
    row("9-byte map, last byte is the flags", ["--ServerSideOnly=on", MAP], map=SAMPLE[:9],
        out=[stdout(change(0x21, 0x25))], after=package(0x25, length=9)),
    row("flags shown only", [MAP], out=[stdout(flag_block("Current Flags [", 0x21))]),
    row("no package (another first byte), change refused", FLIP_OFFICIAL,
        map=package(0x21, tag=0x4D), out=[stdout(WARNING + change(0x21, 0x01, REFUSED))]),
    row("no package (C1 83 2A 9F), forced", ["-o", MAP, "--f"], map=package(0x21, tag=C1_83_2A_9F),
        out=[stdout(WARNING + change(0x21, 0x01))], after=package(0x01, tag=C1_83_2A_9F)),
    row("tag and flag byte 0x1A, 64 KiB long", ["-fu", MAP], map=package(0x1A, 0x1A, 65536),
        out=[stdout(WARNING + change(0x1A, 0x0A))], after=package(0x0A, 0x1A, 65536)),
    *(official_off(f"a map of {size:,} bytes", size=size) for size in (3 << 30, (4 << 30) + 8)),
    # a .uz2, as a redirect server offers the map for download: never shown as a package, never
    # written; a file that only looks like one is shown as any other
    *(row(f"a .uz2 {what}", args, map=data, out=[COMPRESSED], status=1) for what, args, data in (
        ("of 1 byte", [MAP], uz2(b"x")), ("of two blocks, forced", ["-fo", MAP], UZ2_TWO),
        ("block of 33096 bytes, the most", FLIP_OFFICIAL, UZ2_BIGGEST))),
    *(row(name, FLIP_OFFICIAL, map=data, out=[stdout(WARNING + change(0x78, 0x58, REFUSED))])
      for name, data in (
        ("a .uz2's zlib check broken", UZ2_TWO[:9] + b"\x00" + UZ2_TWO[10:]),
        ("a block of 33097 bytes", struct.pack("<I", 33097) + UZ2_BIGGEST[4:]),
        ("a block of 2^24 + 33096 bytes", struct.pack("<I", (1 << 24) + 33096) + UZ2_BIGGEST[4:]),
        ("a block of 32769 bytes unpacked", struct.pack("<II", 33096, 32769) + UZ2_BIGGEST[8:]))),
    row("a .uz2's first 10 bytes", ["-fo", MAP], map=UZ2[:10],
        out=[stdout(WARNING + change(0x78, 0x58))], after=UZ2[:8] + b"\x58" + UZ2[9:10]),
    # failures: the map must come out untouched
    row("unreadable map", FLIP_OFFICIAL, mode=0, as_nobody=True, out=[CANT_OPEN], status=1),
    stopped("read-only map", stderr("Couldnt open file for writing\n"), mode=0o444, as_nobody=True),
    row("read-only map, nothing to write", ["--Official=on", MAP], mode=0o444, as_nobody=True,
        out=[stdout(change(0x21, 0x21, "No change to make\n"))]),
    row("a folder", FLIP_OFFICIAL, map=FOLDER, out=[CANT_READ], status=1, windows_out=[TOO_SMALL]),
    stopped("the write fails: ulimit -f 0", CANT_WRITE, file_size_limit=0),
    stopped("the close after the write fails", CANT_WRITE, after=package(1),
            fail=("the close after the write", "EIO")),
    # the lock: held by another, or not to be had
    stopped("another program holds the lock", LOCKED, lock_held=LOCK_BYTE, waits=True),
    official_off("a lock on the next byte is no run's", lock_held=LOCK_BYTE + 1),
    *(stopped(f"no open-file lock ({error}): the process's lock, which another holds", LOCKED,
              lock_held=LOCK_BYTE, fail=("the lock", error), waits=True)
      for error in ("EINVAL", "EOPNOTSUPP", "ENOSYS")),
    official_off("no locks on this file system", fail=("every lock", "ENOSYS")),
    stopped("no lock records for a second, while another holds the lock", CANT_LOCK, waits=True,
            lock_held=LOCK_BYTE, fail=("every lock", "ENOLCK")),
    stopped("other lock errors", CANT_LOCK, lock_held=LOCK_BYTE, fail=("every lock", "EDEADLK")),
    stopped("a file server that lost the file", CHANGED, fail=("the lock", "ESTALE")),
    # a lease, as a file server holds for its client, broken as the kernel asks: the run waits,
    # but never for a FIFO put in the map's place meanwhile
    official_off("a read lease", holder=[*HOLD_LEASE, "read"], needs=("lease",)),
    row("a FIFO put in the map's place while a lease holds the run, stopped and continued",
        FLIP_OFFICIAL, holder=[*HOLD_LEASE, "write"], needs=("lease",), out=[CHANGED], status=1,
        after="a FIFO", meanwhile="kill -STOP $TOOL && mkfifo f && mv f map.ut2; kill -CONT $TOOL"),
    # the name: a map moved aside, or replaced as the deployment script does, between the stages
    official_off("in a folder one may enter but not list", ["-o", "in/m.ut2"], path="in/m.ut2",
                 mode=0o666, folder_mode=0o711, as_nobody=True),
    *(stopped(f"the map renamed aside after {call}", CHANGED, stop_after=call,
              meanwhile=f"mv {MAP} aside.ut2", moved_to="aside.ut2")
      for call in ("the read stage's close", "the open to write")),
    *(stopped(f"the deployment script replaces the map{how}", CHANGED, fail=fail,
              stop_after="the open to write", meanwhile=REPLACE, after=TEXT.encode())
      for how, fail in (("", None), (", under the process's lock", ("the lock", "EINVAL")))),
    official_off("the process's lock still held at the write", fail=("the lock", "EINVAL"),
                 stop_after="the write", meanwhile=f'python3 -c "{TRY_LOCK}" 2>/dev/null && >free'),
    stopped("a copy over the map right after the write", CHANGED_WHILE, beside=("copy",),
            stop_after="the write", meanwhile=f"cp copy {MAP}"),
    stopped("the map grown right after the write", CHANGED_WHILE, stop_after="the write",
            meanwhile=f"truncate -s 40 {MAP}", after=package(1) + bytes(8)),
    # real file servers: the table's Samba and NFS servers, with a client of each on the map
    stopped("a Samba client's lock", LOCKED, holder=SMB_CLIENT, needs=("samba",), waits=True),
    *(stopped(f"an NFSv{version} client's lock on the {what} holds a run back", LOCKED,
              holder=[*NFS_CLIENT, version, what], needs=("nfs",), waits=True)
      for version in "34" for what in ("byte", "file")),
    *(official_off(f"a run's lock refuses {whom}", needs=(server,), stop_after="the lock",
                   meanwhile=f"{client} < /dev/null | grep -q refused || > granted")
      for whom, server, client in (("a Samba client", "samba", "$SMB"),
                                   ("an NFSv3 client", "nfs", "$NFS 3 byte"),
                                   ("an NFSv4 client", "nfs", "$NFS 4 byte"))),
    # the write stage's own looks at the file fail: a failure, not a change
    *(stopped(f"{call} fails", CANT_READ if "under" in call else CANT_WRITE,
              fail=(call, "EACCES" if "look-up" in call else "EIO"),
              after=None if "under" in call else package(1))
      for call in ("the query under the lock", "the look-up under the lock",
                   "the read under the lock", "the query after the write",
                   "the look-up after the write", "the read after the write")),
    # the map's name made to lead elsewhere, or the map cut or changed, between the stages or
    # before the first open
    *(stopped(name, CHANGED, stop_after="the read stage's close", meanwhile=meanwhile, after=after,
              beside=("before",) * ("before" in meanwhile))
      for name, meanwhile, after in (
        ("a text file renamed over the map",
         f"ln -f {MAP} before && printf '{TEXT}' > text && mv text {MAP}", TEXT.encode()),
        *((f"the map cut to {n} bytes", f"truncate -s {n} {MAP}", SAMPLE[:n]) for n in (9, 0)),
        ("byte 8 changed by another run", f"../tarnwick -aoff {MAP} > /dev/null", package(0x20)))),
    row("a FIFO renamed over the map before the first open", FLIP_OFFICIAL, out=[CHANGED], status=1,
        stop_after="the size query", meanwhile=f"mkfifo fifo && mv fifo {MAP}", after="a FIFO"),
    *(row(f"the map cut to {n} bytes before it is read", FLIP_OFFICIAL, out=[CANT_READ], status=1,
          stop_after="the size query", meanwhile=f"truncate -s {n} {MAP}", after=SAMPLE[:n])
      for n in (4, 8, 0)),
    # standard output that cannot be written: the map keeps its own outcome, the run fails
    *(row(f"{which} closed, change", FLIP_OFFICIAL, closed=closed, out=out, status=1,
          after=package(1)) for which, closed, out in (("output", (1,), [OUTPUT_LOST]),
                                                        ("all three streams", (0, 1, 2), []))),
    row("output and errors closed, the write fails", FLIP_OFFICIAL, closed=(1, 2),
        file_size_limit=8, status=1),
]
# The empty root runs a few rows, and one that only it can show, as it has no /dev/null to stand
# in for a closed descriptor (an emulator beside the tool would take that descriptor).
EMPTY_ROOT_ROWS = ("flags shown only", "options after the operand", "name case matters")
NO_DEV_NULL = row("no /dev/null for closed input", FLIP_OFFICIAL, closed=(0,), status=1,
                  out=[stderr("Couldnt open /dev/null in place of a closed standard stream\n")])

# The calls a row can fail or stop the tool at, each found in the order of the tool's calls on
# the map that strace shows in a run of the row's own: the first call that matches the last
# pattern, after the ones that match those before it. Every call is named by what it is, not by
# its count, so that one call more elsewhere moves no row. "every lock" fails every try.
FILE_QUERY = r'(new)?fstatat(64)?\(\d+, ""|statx\(\d+, ""|fstat(64)?\('
LOCK, LOOK_UP = r"fcntl(64)?\(\d+, F_(OFD_)?SETLK", r'openat\(\d+, "'
READ, WRITE, CLOSE = r"pread64\(", r"pwrite64\(", r"close\("
CALLS = {
    "the size query": [r'(new)?fstatat(64)?\(AT_FDCWD|statx\(AT_FDCWD|stat(64)?\('],
    "the read stage's close": [r'openat\(AT_FDCWD, "[^"]*", O_RDONLY', CLOSE],
    "the open to write": [r'openat\(AT_FDCWD, "[^"]*", O_RDWR'],
    "the lock": [LOCK], "every lock": [LOCK],
    "the query under the lock": [LOCK, FILE_QUERY], "the look-up under the lock": [LOCK, LOOK_UP],
    "the read under the lock": [LOCK, READ], "the write": [WRITE],
    "the query after the write": [WRITE, FILE_QUERY],
    "the look-up after the write": [WRITE, LOOK_UP],
    "the read after the write": [WRITE, READ], "the close after the write": [WRITE, CLOSE],
}

# Every process the table starts, until it has ended whole: on its way out, however it is
# stopped, the table ends what is left of each.
LIVE = set()


def start(command, **options):
    """Starts a command in a session of its own."""
    child = subprocess.Popen(command, start_new_session=True, **options)
    LIVE.add(child)
    return child


def end(child):
    """Kills whatever is left of the child's session and waits for it; returns what its
    standard output still held."""
    with suppress(ProcessLookupError):  # when no process of it is left
        os.killpg(child.pid, signal.SIGKILL)
    child.wait()
    rest = child.stdout.read() if child.stdout and not child.stdout.closed else b""
    for pipe in (child.stdin, child.stdout, child.stderr):
        pipe and pipe.close()
    LIVE.discard(child)
    return rest


def run_ended(command, timeout=30, **options):
    """Runs a command for `timeout` seconds at most, then ends what is left of it; returns its
    status and its standard output, None if it did not end."""
    child = start(command, stdout=PIPE, **options)
    try:
        output = child.communicate(timeout=timeout)[0]
    except subprocess.TimeoutExpired:
        output = None
    end(child)
    return child.returncode, output


def read_line(pipe, timeout=30):
    """The next line a helper prints, or b"" when none comes in time."""
    return pipe.readline() if select.select([pipe], [], [], timeout)[0] else b""


def filled(words, path):
    """A helper's command, with the map's path, its path from the table's folder, Samba's port,
    and the NFS client's command, which the table's folder (the export) follows."""
    top = os.path.dirname(os.path.dirname(path))
    nfs = ["nsenter", "--net", "-t", str(SERVERS["nfs namespace"]), "--", sys.executable,
           os.path.join(ROOT, "tests", "nfs_client.py"), top]
    values = {"{map}": [path], "{share}": [os.path.relpath(path, top)], "{nfs}": nfs,
              "{port}": [str(SERVERS["samba port"])]}
    return [value for word in words for value in values.get(word, [word])]


def put(top, files):
    """Writes each file (its path from top: its bytes), with the folders it needs; one that
    begins as a program does (#! or ELF) is made executable."""
    for name, data in files.items():
        os.makedirs(os.path.dirname(path := os.path.join(top, name)), exist_ok=True)
        open(path, "wb").write(data)
        os.chmod(path, 0o755 if data.startswith((b"#!", b"\x7fELF")) else 0o644)


def make_folder(row, parent):
    """Makes the row's folder, with its map and the copies beside it; returns the folder."""
    folder = tempfile.mkdtemp(dir=parent)
    path = os.path.join(folder, row.path)
    os.makedirs(path if row.map is FOLDER else os.path.dirname(path), exist_ok=True)
    if isinstance(row.map, bytes):
        put(folder, {name: row.map for name in (row.path, *row.beside)})
        os.truncate(path, row.size or len(row.map))  # a large map is sparse: no disk spent
        os.chmod(path, row.mode)
    os.chmod(folder, 0o755)
    os.chmod(os.path.dirname(path), row.folder_mode)
    return folder


def strace(row, binary, folder, injections):
    """strace's command line for the row, with each injection (syscall, count or None for every
    one, what to do: "error=EIO", or "signal=SIGSTOP" to stop the tool after it) made."""
    injected = [f"-einject={name}:{action}" + (f":when={count}" if count else "")
                for name, count, action in injections]
    return ["strace", "--quiet=all", "-o", folder + ".strace", "-P", row.path, *injected,
            os.path.relpath(binary, folder), *row.args]


def locate(row, binary, env, faults, call, error=None):
    """The injection at the row's call: its syscall, its count among the tool's calls of that
    name on the map, from a run under strace with the faults made in a folder of its own, and
    what to do there: fail with the error, or stop the tool after it."""
    folder = make_folder(row, os.path.dirname(binary))
    run_ended(strace(row, binary, folder, faults), cwd=folder, env=env, stdin=DEVNULL,
              stderr=DEVNULL)
    shutil.rmtree(folder)
    calls, found = open(folder + ".strace").read().splitlines(), -1
    for pattern in CALLS[call]:
        found = next((i for i in range(found + 1, len(calls)) if re.match(pattern, calls[i])), None)
        if found is None:
            raise LookupError(f"the tool never made {call}")
    name = re.match(r"\w+", calls[found])[0]
    count = sum(line.startswith(name + "(") for line in calls[:found + 1])
    action = f"error={error}" if error else "signal=SIGSTOP"
    return name, None if call.startswith("every") else count, action


def command(row, binary, runner, folder, env):
    """The tool's command line for the row, how argv[0] comes out, and the runner's files in an
    empty root."""
    if row.fail or row.stop_after:  # strace fails the row's call, or stops the tool after it
        env["ASAN_OPTIONS"] = "detect_leaks=0"  # a sanitized build's leak check cannot run so
        fail = [locate(row, binary, env, [], *row.fail)] if row.fail else []
        stop = [locate(row, binary, env, fail, row.stop_after)] if row.stop_after else []
        return strace(row, binary, folder, fail + stop), os.path.relpath(binary, folder), []
    if runner[:1] == ["chroot"]:  # with the build's emulator, which must be static
        inside = ["/" + os.path.basename(shutil.copy(shutil.which(program), folder))
                  for program in (*runner[1:], binary)]
        return ["unshare", "-r"] * (os.geteuid() != 0) + ["chroot", folder, *inside, *row.args], \
            inside[-1], inside
    if runner:  # which names the tool by its path, under Wine as a Windows path
        prog = "Z:" + binary.replace("/", "\\") if WINDOWS else binary
        return [*runner, binary, *row.args], prog, []
    return ["tarnwick", *row.args], "tarnwick", []  # argv[0] as typed


def run(row, binary, runner, merged=False):
    """Runs one row; returns what differed from it."""
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C.UTF-8", **(row.env or {})}
    nobody = dict(user=65534, group=65534, extra_groups=[]) if os.geteuid() == 0 else {}
    folder = make_folder(row, os.path.dirname(binary))
    path, log = os.path.join(folder, row.path), folder + ".strace"
    try:
        tool_command, prog, inside = command(row, binary, runner, folder, env)
    except LookupError as missing:
        return [str(missing)]

    def set_up_tool():
        if row.file_size_limit is not None:  # valgrind writes a file of its own first: only
            resource.setrlimit(resource.RLIMIT_FSIZE, (row.file_size_limit,) * 2)  # direct runs
            ignored = "valgrind" in str(runner)  # get the signal that the limit sends
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN if ignored else signal.SIG_DFL)
        for descriptor in row.closed:
            os.close(descriptor)

    with open(path if row.lock_held else os.devnull) as locked:
        if row.lock_held:  # shared, so that a run which took only a shared lock would go through
            fcntl.lockf(locked, fcntl.LOCK_SH, 1, row.lock_held)
        holder = row.holder and start(filled(row.holder, path), stdin=PIPE, stdout=PIPE)
        holder and read_line(holder.stdout)  # until it holds
        started = time.monotonic()
        tool = start(tool_command, executable=binary if tool_command[0] == "tarnwick" else None,
                     cwd=folder, env=env, stdin=DEVNULL, stdout=PIPE, preexec_fn=set_up_tool,
                     stderr=STDOUT if merged else PIPE, **(nobody if row.as_nobody else {}))
        try:
            while row.stop_after and tool.poll() is None and time.monotonic() < started + 30 and \
                    "stopped by SIGSTOP" not in (open(log).read() if os.path.exists(log) else ""):
                time.sleep(0.01)  # until strace has stopped the tool after the row's call
            if holder and row.meanwhile:  # until the holder tells that the tool waits for it
                read_line(holder.stdout)
            if row.meanwhile and tool.poll() is None:
                run_ended(["bash", "-c", row.meanwhile], cwd=folder, env={
                    **os.environ, "SMB": shlex.join(filled(SMB_CLIENT, path)),
                    "NFS": shlex.join(filled(NFS_CLIENT, path)), "TOOL": str(tool.pid)})
                # strace stopped it; no other tool is sent a signal here, as a sanitized build's
                # leak check, which stops the tool's own threads at its exit, may hang on one
                row.stop_after and os.killpg(tool.pid, signal.SIGCONT)
            output, errors = tool.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            output = errors = HUNG.encode()
        end(tool)
        if holder:  # told to let go, then ended
            holder.stdin.close()
            end(holder)
    got = [("status", tool.returncode, row.status)]
    # Load only lengthens a wait: a run that must not wait shows it in its output.
    got += [("waited a second for the lock", time.monotonic() - started >= 1, True)] * row.waits
    streams = {"2>&1": (output, "stdout stderr parser")} if merged else \
        {"stdout": (output, "stdout"), "stderr": (errors, "stderr parser")}
    for stream, (text, kinds) in streams.items():
        text = (text or b"").replace(b"\r\n", b"\n") if WINDOWS else text or b""
        want = [(kind, piece.replace("{prog}", prog).encode())
                for kind, piece in (row.windows_out if WINDOWS and row.windows_out else row.out)
                if kind in kinds]
        pattern = b"".join(rb"[^\n]+\n" if kind == "parser" and WINDOWS else re.escape(piece)
                           for kind, piece in want)
        whole = b"".join(piece for _, piece in want)
        got.append((stream, text, text if re.fullmatch(pattern, text) else whole))
    # the map, under its name when the run ends, and the folder's entries
    final = os.path.join(folder, row.moved_to or row.path)
    after = row.map if row.after is None else row.after
    if isinstance(after, bytes):
        os.chmod(final, 0o644)
        got += [("map", open(final, "rb").read(len(after)), after),
                ("size", os.path.getsize(final), row.size or len(after))]
    got += [(other, read(os.path.join(folder, other)), row.map) for other in row.beside]
    files = [(row.moved_to or row.path).split("/")[0], *row.beside] if row.map is not None else []
    got.append(("folder", sorted(os.listdir(folder)), sorted(files + [n[1:] for n in inside])))
    shutil.rmtree(folder)
    return [f"{what}: got {have!r}\n    want {want!r}" for what, have, want in got if have != want]


# The NFS server's settings: the usual ports, which its network of its own has free, no grace
# period (or every lock waits 90 s after the start), and the table's folder as its one export.
GANESHA = """NFS_CORE_PARAM {{ NFS_Port = 2049; MNT_Port = 20048; NLM_Port = 32803;
    Protocols = 3, 4; Enable_RQUOTA = false; Enable_UDP = false; }}
NFSv4 {{ Graceless = true; RecoveryRoot = "{state}"; }}
EXPORT {{ Export_Id = 1; Path = "{top}"; Pseudo = "{top}"; Access_Type = RW;
    Squash = No_Root_Squash; FSAL {{ Name = VFS; }} }}"""
# The first process of the server's namespaces: loopback alone in its network, a /run of its own
# (where the daemons keep their files); it tells its process, and ends when its input does.
NAMESPACE = """ip link set lo up && mount -n -t tmpfs tmpfs /run && mkdir /run/rpcbind &&
read -r process rest < /proc/self/stat && echo $process && cat > /dev/null"""


def start_nfs(top):
    """Starts the table's NFS server, NFSv3 with its lock and status services and NFSv4, in
    network, mount and process namespaces of its own, exporting the table's folder: when the
    namespace's first process ends, as the table does however it ends, the kernel ends the
    rest. Returns what went wrong, or ""."""
    state = os.path.join(top, ".nfs")
    for folder in ("sm", "sm.bak"):  # rpc.statd's
        os.makedirs(os.path.join(state, folder))
    open(os.path.join(state, "ganesha.conf"), "w").write(GANESHA.format(state=state, top=top))
    namespace = start(["unshare", "--net", "--mount", "--pid", "--fork", "--kill-child", "sh", "-c",
                       NAMESPACE], stdin=PIPE, stdout=PIPE)
    SERVERS["nfs namespace"] = read_line(namespace.stdout, 10).decode().strip()
    inside = ["nsenter", "--net", "--mount", "--pid", "-t", SERVERS["nfs namespace"], "--"]
    ganesha = ["ganesha.nfsd", "-F", "-f", os.path.join(state, "ganesha.conf"), "-p", "/run/pid",
               "-L", os.path.join(state, "ganesha.log")]
    for daemon, ready, word in ((["rpcbind", "-f"], "rpcinfo -p", "portmapper"),  # each as the
                                (["rpc.statd", "-F", "-L", "-P", state], "rpcinfo -p", "status"),
                                (ganesha, "showmount -e 127.0.0.1", top)):  # next needs it
        start(inside + daemon, stdin=DEVNULL, stdout=DEVNULL, stderr=DEVNULL)
        deadline = time.monotonic() + 20
        while word.encode() not in (run_ended(inside + ready.split(), stderr=DEVNULL)[1] or b""):
            if time.monotonic() > deadline:
                return f"FAIL the NFS server: {daemon[0]} does not answer; see {state}"
            time.sleep(0.05)
    return ""
def rounds_beside_runs(top, binary, version):
    """An NFS client's read-modify-write rounds of byte 8 under the lock, beside runs of the tool
    one after another that flip Official; returns how many changes were lost: the client's, and
    those of runs that said "Map file updated" and whose change the next run did not find.
    (Without the client's lock, seven rounds in ten or so lose a run's change.)"""
    folder = make_folder(row("rounds", FLIP_OFFICIAL), top)
    client = start(filled([*NFS_CLIENT, version, "rounds", "100"], os.path.join(folder, MAP)),
                   stdout=PIPE)
    lost, official = 0, 0x20
    while client.poll() is None:
        output = run_ended([binary, *FLIP_OFFICIAL], cwd=folder, stderr=DEVNULL)[1] or b""
        shown = re.match(rb"Current Flags \[(.{8})", output)  # a run that shows none loses
        current = int(shown[1], 2) & 0x20 if shown else -1
        lost += current != official
        official = current ^ 0x20 if UPDATED.encode() in output else current
    told = re.fullmatch(rb"lost (\d+)\n", end(client))
    return lost + (int(told[1]) if told else 1)


def start_samba(top):
    """Starts the table's Samba server, on a free port of 127.0.0.1, sharing the table's folder
    as "maps" as a file server whose maps are changed in place should be: the clients' locks
    as POSIX locks, their oplocks as kernel leases."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        SERVERS["samba port"] = port = probe.getsockname()[1]
    os.mkdir(state := os.path.join(top, ".samba"))
    open(conf := os.path.join(state, "smb.conf"), "w").write("\n".join([
        "[global]", f"smb ports = {port}", "interfaces = lo", "bind interfaces only = yes",
        *(f"{name} = {state}" for name in ("private dir", "lock directory", "state directory",
                                            "cache directory", "pid directory", "ncalrpc dir")),
        "map to guest = bad user", "load printers = no", "disable spoolss = yes",
        "posix locking = yes", "kernel oplocks = yes",
        "[maps]", f"path = {top}", "read only = no", "guest ok = yes", "force user = root"]))
    start(["smbd", "--foreground", "--no-process-group", "-s", conf], stdout=DEVNULL,
          stderr=DEVNULL)
    deadline = time.monotonic() + 10  # until it answers
    while socket.socket().connect_ex(("127.0.0.1", port)) and time.monotonic() < deadline:
        time.sleep(0.1)


def transcript(text, folder, env, timeout=30):
    """Runs each "$ " command of a transcript (with its "> " lines) in bash; returns what
    differed from the lines that follow it, or "" for each."""
    results = []
    for command, want in re.findall(r"^\$ (.*(?:\n> .*)*)\n((?:(?![$] ).*\n)*)", text, re.M):
        got = run_ended(["bash", "-c", command.replace("\n> ", "\n")], timeout, cwd=folder, env=env,
                        stderr=STDOUT)[1]
        got = f"(no end in {timeout} s)\n" if got is None else got.decode()
        results.append("" if got == want else f"FAIL $ {command}\n  got  {got!r}\n  want {want!r}")
    return results


def nothing_outlives(top):
    """A stand-in for the tool that never ends, run as the documents are: once its command is
    given up, no process of it may be left."""
    put(top, {"standin/tarnwick": b"#!/bin/sh\nwhile :; do :; done\n"})
    standin = os.path.join(top, "standin", "tarnwick")
    env = {"PATH": os.path.dirname(standin) + ":/usr/bin:/bin"}
    results = transcript(f"$ tarnwick -o {MAP} | tail -n 1\n(no end in 1 s)\n", top, env, 1)
    every = run_ended(["sh", "-c", "cat /proc/[0-9]*/cmdline"], stderr=DEVNULL)[1]  # skips ended
    left = standin.encode() in every
    return results + ["FAIL a process of the stand-in was left" if left else ""]


def documents(top, binary):
    """The console blocks of the README and of DEPLOYING.md, then the manual page's examples, as
    a user types them with the tool on the PATH and the shipped scripts in examples/."""
    put(top, {"DM-Sample.ut2": DM_SAMPLE, "DM-MyMap.ut2": DM_SAMPLE, "bin/tarnwick": read(binary),
              "Maps/DM-One.ut2": DM_SAMPLE, "Maps/DM-Two.ut2": DM_SAMPLE, "Maps/tiny.ut2": b"tiny",
              "Maps/notes.ut2": TEXT.encode()})
    shutil.copytree(EXAMPLES, os.path.join(top, "examples"))
    env = {"PATH": os.path.join(top, "bin") + ":/usr/bin:/bin", "LC_ALL": "C.UTF-8"}
    guides = README + open(os.path.join(ROOT, "DEPLOYING.md")).read()
    examples = open(os.path.join(ROOT, "tarnwick.1")).read().split(".Sh EXAMPLES")[1]
    blocks = re.findall(r"^```console\n(.*?)^```", guides, re.S | re.M) + [
        block.replace("\\e", "\\") for block in
        re.findall(r"^\.Bd -literal[^\n]*\n(.*?)^\.Ed", examples.split("\n.Sh ")[0], re.S | re.M)]
    return transcript("".join(blocks), top, env)


def shipped_loop(top, binary, runner):
    """The loop that ships, run from another folder on a folder of files of every kind: the
    shell script with the tool on the PATH, then with cron's PATH alone, where it must say that
    it finds no tool; for tarnwick.exe, the batch file under Wine, on the folder it is in, then
    on a map named after it. It must name every file it leaves, and change the maps alone."""
    sample, notes, maps = DM_SAMPLE, b"Some notes on maps", "Maps dir/"
    off = sample[:8] + b"\x20" + sample[9:]
    files = {maps + name: (before, after) for name, before, after in (
        ("DM-Off.ut2", off, sample), ("Ünï map.ut2", off, sample), ("DM-Packed.ut2", UZ2, UZ2),
        ("DM-Sample.ut2", sample, sample), ("notes.ut2", b"not a map", b"not a map"),
        ("notes3.ut2", notes, notes), ("tiny.ut2", b"tiny", b"tiny"),  # 0x65 in byte 8: no change
        ("DM-Off.ut2_backup", off, off))}  # a long name whose short one (8.3) ends in .UT2
    files["elsewhere/named.ut2"] = (off, sample if WINDOWS else off)
    put(top, {name: before for name, (before, _) in files.items()})
    left = ("DM-Packed.ut2", "notes.ut2", "notes3.ut2", "tiny.ut2")
    if WINDOWS:
        put(top, {maps + "tarnwick.exe": read(binary),
                  maps + "allow-download.bat": read(os.path.join(EXAMPLES, "allow-download.bat"))})
        batch = [*runner, "cmd", "/c", "..\\Maps dir\\allow-download.bat"]
        runs = [(batch, [f"{name}: not changed" for name in left] + [PAUSED], None),
                ([*batch, "named.ut2"], [PAUSED], None)]
    else:
        put(top, {"tool/tarnwick": read(binary)})
        script = ["sh", os.path.join(EXAMPLES, "allow-download.sh"), top + "/Maps dir"]
        why = {"DM-Packed.ut2": COMPRESSED[1][8:-1], "tiny.ut2": TOO_SMALL[1][8:-1]}
        left = [f"{script[-1]}/{name}: {why.get(name, 'not a package; not changed')}"
                for name in left]
        cron = "allow-download.sh: tarnwick: not found; put it on the PATH, or name it in TARNWICK"
        runs = [(["env", f"PATH={top}/tool:/usr/bin:/bin", *script], left, 1),
                (["env", "-i", "PATH=/usr/bin:/bin", *script], [cron], 2)]
    results = []
    for command, lines, status in runs:
        got, printed = run_ended(command, 60, cwd=os.path.join(top, "elsewhere"), stdin=DEVNULL,
                                 stderr=STDOUT, env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"})
        printed = sorted(line.rstrip() for line in (printed or b"").decode().splitlines())
        results.append("" if printed == sorted(lines) and status in (None, got) else
                       f"FAIL the shipped loop, {command[-1]}: printed {printed}, status {got}")
    wrong = [name for name, (_, after) in files.items() if read(os.path.join(top, name)) != after]
    return results + [f"FAIL the shipped loop left these files wrong: {wrong}" if wrong else ""]


def messages(mandoc):
    """Every fixed message of the sources, "%s: ..." diagnostics and what the map run prints,
    as the manual page renders it; returns what is missing."""
    page = run_ended([mandoc, "-T", "ascii", os.path.join(ROOT, "tarnwick.1")], 60)[1].decode()
    page = " ".join(re.sub(".\b", "", page).split())
    sources = {name: read(name).decode() for name in glob.glob(os.path.join(ROOT, "src", "*.cpp"))}
    shown = r'(?:printTo\(stdout, |printFlagByte\(|fail\(|return |= )"([^"]*)"'  # by the map run
    texts = re.findall(r'"%s: ([^"]*)"', "".join(sources.values()))
    texts += re.findall(shown, sources[ROOT + "/src/mapfile.cpp"])
    texts = {" ".join(text.replace("\\n", " ").split()) for text in texts}
    return [f"FAIL not in the manual page: {text}" for text in sorted(texts)
            if not re.search(re.escape(text).replace("%s", ".+?"), page)]


def table(top, binary, runner):
    """Runs the rows this build and this machine can run, and says what the others need."""
    samba = shutil.which("smbd") and not run_ended(["/usr/bin/python3", "-c", "import impacket"])[0]
    nfs = all(map(shutil.which, ("ganesha.nfsd", "rpcbind", "rpc.statd"))) and find_library("nfs")
    # A runner reports on standard error, and strace cannot trace it; Wine runs only as its
    # prefix's owner, and ignores a file size limit and a lease of Linux.
    absent = {"strace", "standard error"} if runner else set()
    absent |= {"nobody", "size limit", "lease"} if WINDOWS else set()
    absent |= {"samba"} if os.geteuid() or not samba else set()
    absent |= {"nfs"} if os.geteuid() or not nfs else set()
    rows = [row for row in ROWS if not absent & row.needs]
    if runner[:1] == ["chroot"]:
        rows = [row for row in ROWS if row.name in EMPTY_ROOT_ROWS]
        rows += [NO_DEV_NULL] * (runner == ["chroot"])
    elif len(rows) < len(ROWS):  # samba and nfs need root and the packages tests/all.sh installs
        print(f"{len(ROWS) - len(rows)} rows left out: they need {', '.join(sorted(absent))}")
    binary, results = shutil.copy(binary, top), []
    os.chmod(binary, 0o755)  # for the rows run as nobody
    if any("samba" in row.needs for row in rows):
        start_samba(top)
    if any("nfs" in row.needs for row in rows):
        results.append(start_nfs(top))
        rows = [row for row in rows if "nfs" not in row.needs or not results[-1]]
    for version in "34" if results == [""] and not runner else "":  # what the lock is for
        lost = rounds_beside_runs(top, binary, version)
        results.append(lost and f"FAIL NFSv{version} rounds beside runs: {lost} changes lost" or "")
    for row in rows:
        # A stream that is not a pipe cannot also carry the other one. Under valgrind or qemu the
        # tool's own order of writes is the same as in a direct run; so it is in a run that waits.
        for merged in (False, True)[:1 if row.closed or row.waits or runner and not WINDOWS else 2]:
            problems = "\n  ".join(run(row, binary, runner, merged))
            results.append(problems and f"FAIL {row.name}{' (2>&1)' * merged}:\n  {problems}")
        if HUNG in results[-1]:
            break  # a tool that hung once would hang on every row
    return results


def main():
    options, binary = sys.argv[1:-1], sys.argv[-1]
    runner = ["chroot"] * ("--chroot" in options)
    runner += shlex.split(options[options.index("--runner") + 1]) if "--runner" in options else []
    os.umask(0o022)  # the rows' files and folders as any user makes them
    # Stopped by a signal, the table ends every process it started and removes its folder; a
    # folder of a table that was killed (a test's time limit) goes on the next start.
    for stop in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(stop, lambda *_: sys.exit("stopped"))
    for folder in glob.glob(os.path.join(tempfile.gettempdir(), "tarnwick-e2e-*-*-")):
        if not os.path.exists(f"/proc/{os.path.basename(folder).split('-')[2]}"):
            shutil.rmtree(folder, ignore_errors=True)
    try:
        with tempfile.TemporaryDirectory(prefix=f"tarnwick-e2e-{os.getpid()}-", suffix="-") as top:
            os.chmod(top, 0o755)  # reachable by nobody, wherever the build folder is
            results = messages(binary) if "--messages" in options else \
                table(top, binary, runner) if "--documents" not in options else \
                shipped_loop(top, binary, runner) if WINDOWS else \
                shipped_loop(top, binary, runner) + nothing_outlives(top) + documents(top, binary)
    finally:
        for child in list(LIVE):
            end(child)
    failed = [result for result in results if result]
    print(*failed, f"{len(results) - len(failed)} passed, {len(failed)} failed", sep="\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
