#!/usr/bin/env python3
"""A client of the end-to-end table's NFS server, as another machine is, on Debian's libnfs 4.0
(libnfs13). Over NFSv3 or NFSv4 (the server on 127.0.0.1, at its usual ports) it opens a file
of the export, named from the export's top, and, as the command says,
  byte, file  tries once to lock the byte every run locks, or the whole file; prints "granted"
              or "refused", and holds what it has until its standard input closes;
  rounds N    makes N read-modify-write rounds of byte 8 under that lock: lock (again while
              refused), flip bit 0x40, which no run changes, let go; prints "lost K", the
              rounds that found the bit not as the one before left it;
  unlocked N  makes the same rounds without the lock.
NFSv3 locks go through NLM4, with its 64-bit offsets; NFSv4 locks are its own LOCK and LOCKU.
usage: nfs_client.py EXPORT FILE 3|4 byte|file|rounds N|unlocked N"""
import os
import select
import sys
import time
from ctypes import CDLL, CFUNCTYPE, POINTER, Structure, byref, c_char_p, c_int, c_uint32, c_uint64
from ctypes import c_void_p, cast, create_string_buffer, sizeof


class Pointer(c_void_p):
    """What libnfs returns and takes back whole (a plain c_void_p would pass as an int)."""


class Opaque(Structure):  # XDR's variable-length bytes; and libnfs's own file handle, unseen
    _fields_ = [("length", c_uint32), ("bytes", c_void_p)]


class Range(Structure):  # struct nfs4_flock
    _fields_ = [("type", c_int), ("whence", c_int), ("pid", c_uint32), ("start", c_uint64),
                ("length", c_uint64)]


class NlmLock(Structure):  # struct nlm4_lock
    _fields_ = [("caller", c_char_p), ("handle", Opaque), ("owner", c_char_p), ("svid", c_uint32),
                ("offset", c_uint64), ("length", c_uint64)]


class NlmLocking(Structure):  # NLM4_LOCKargs; NLM4_UNLOCKargs is its cookie and lock alone
    _fields_ = [("cookie", Opaque), ("block", c_uint32), ("exclusive", c_uint32),
                ("lock", NlmLock), ("reclaim", c_uint32), ("state", c_int)]


class NlmUnlocking(Structure):
    _fields_ = [("cookie", Opaque), ("lock", NlmLock)]


LIB = CDLL("libnfs.so.13")
for function in ("nfs_init_context", "nfs_parse_url_dir", "rpc_init_context"):
    getattr(LIB, function).restype = Pointer
LIB.nfs_get_error.restype = LIB.rpc_get_error.restype = c_char_p
CALLBACK = CFUNCTYPE(None, c_void_p, c_int, c_void_p, c_void_p)
LOCK_BYTE, CLIENT_BIT, GRANTED, DENIED, F_WRLCK, F_UNLCK = 0x7FFFFFFF00000000, 0x40, 0, 1, 1, 2
export, path, version, action = sys.argv[1], "/" + sys.argv[2], sys.argv[3], sys.argv[4]
OWNER = f"nfs_client {os.getpid()}".encode()


def fail(what, error):
    sys.exit(f"nfs_client.py: {what}: {error.decode()}")


def call(rpc, start):
    """Starts an RPC with a callback that keeps its reply's status (-1: it failed; NLM's status
    stands after the cookie in every reply), and serves the connection until it has come."""
    reply = []
    keep = CALLBACK(lambda _, status, data, __: reply.append(
        -1 if status else c_int.from_address(data + sizeof(Opaque)).value if data else 0))
    if start(keep) != 0:
        fail("rpc", LIB.rpc_get_error(rpc))
    poller, deadline = select.poll(), time.monotonic() + 10
    while not reply and time.monotonic() < deadline:
        poller.register(LIB.rpc_get_fd(rpc), LIB.rpc_which_events(rpc))
        events = poller.poll(100)
        if LIB.rpc_service(rpc, events[0][1] if events else 0) < 0:
            fail("rpc", LIB.rpc_get_error(rpc))
    return reply[0] if reply else fail("rpc", b"no reply")


class Client:
    """An open of the file by a client of its own: libnfs 4.0 keeps no NFSv4 open's state past
    one LOCK (after a refusal, or a LOCKU, its next request on that open is refused), so each
    try at the lock is made by a new client, whose new verifier ends what the one before held."""
    made = 0

    def __init__(self):
        Client.made += 1
        self.nfs, self.file, self.nlm = LIB.nfs_init_context(), Pointer(), LIB.rpc_init_context()
        LIB.nfs4_set_client_name(self.nfs, OWNER)
        LIB.nfs4_set_verifier(self.nfs, os.getpid().to_bytes(4, "little") + bytes([Client.made] * 4))
        url = f"nfs://127.0.0.1{export}?version={version}&nfsport=2049&mountport=20048".encode()
        parsed = cast(LIB.nfs_parse_url_dir(self.nfs, url), POINTER(c_char_p * 2))
        if not parsed or LIB.nfs_mount(self.nfs, *parsed.contents) != 0 or \
                LIB.nfs_open(self.nfs, path.encode(), os.O_RDWR, byref(self.file)) != 0:
            fail("open", LIB.nfs_get_error(self.nfs))
        if version == "3":
            call(self.nlm, lambda keep: LIB.rpc_connect_port_async(
                self.nlm, b"127.0.0.1", 32803, 100021, 4, keep, None))

    def lock(self, on, offset, length):
        """True when granted, False when another holds a lock it overlaps."""
        if version == "4":  # to the end of the file is all ones here
            whole = Range(F_WRLCK if on else F_UNLCK, os.SEEK_SET, os.getpid(), offset,
                          length or 2 ** 64 - 1)
            if LIB.nfs_fcntl(self.nfs, self.file, 0, byref(whole)) == 0:  # NFS4_F_SETLK
                return True
            error = LIB.nfs_get_error(self.nfs)  # every refusal is -ERANGE: only the text tells
            return False if on and b"NFS4ERR_DENIED" in error else fail("lock", error)
        # NLM names the file by its NFSv3 handle, which libnfs keeps first in its open file
        held = NlmLock(b"localhost", Opaque.from_address(self.file.value), OWNER, os.getpid(),
                       offset, length)
        status = call(self.nlm, lambda keep: LIB.rpc_nlm4_lock_async(
            self.nlm, keep, byref(NlmLocking(lock=held, exclusive=1)), None) if on else
            LIB.rpc_nlm4_unlock_async(self.nlm, keep, byref(NlmUnlocking(lock=held)), None))
        return status == GRANTED or (False if status == DENIED and on else
                                     fail("lock", f"NLM status {status}".encode()))

    def flag_byte(self, new=None):
        byte = create_string_buffer(bytes([new or 0]))
        io = LIB.nfs_pread if new is None else LIB.nfs_pwrite
        if io(self.nfs, self.file, c_uint64(8), c_uint64(1), byte) != 1:
            fail("byte 8", LIB.nfs_get_error(self.nfs))
        return byte.raw[0]


if action in ("rounds", "unlocked"):
    lost, left, client = 0, None, Client()
    for _ in range(int(sys.argv[5])):
        while action == "rounds" and not client.lock(True, LOCK_BYTE, 1):
            client = Client() if version == "4" else client
            time.sleep(0.002)
        byte = client.flag_byte()
        lost += left is not None and byte & CLIENT_BIT != left
        time.sleep(0.003)  # a window for another's change to fall into
        left = client.flag_byte(byte ^ CLIENT_BIT) & CLIENT_BIT
        if action == "rounds":
            client.lock(False, LOCK_BYTE, 1)
            client = Client() if version == "4" else client
    print(f"lost {lost}")
else:
    client, offset, length = Client(), *((0, 0) if action == "file" else (LOCK_BYTE, 1))
    granted = client.lock(True, offset, length)
    print("granted" if granted else "refused", flush=True)
    sys.stdin.read()
    if granted:
        client.lock(False, offset, length)
