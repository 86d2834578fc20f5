#!/usr/bin/env python3
"""A client of the end-to-end table's NFS server, as another machine is: over NFSv3 or NFSv4
(the server on 127.0.0.1, at its usual ports) it opens a file of the export, named from the
export's top, with Debian's libnfs 4.0 (libnfs13), and, as the command says,
  byte, file  tries once to lock the byte every run locks, or the whole file; prints "granted"
              or "refused", and holds what it has until its standard input closes;
  rounds N    makes N read-modify-write rounds of byte 8 under that lock: lock (again while
              refused), flip bit 0x40, which no run changes, let go; prints "lost K", the
              rounds that found the bit not as the one before left it.
NFSv4 locks are its own LOCK and LOCKU; NFSv3 locks go to the lock service (NLM4, with its
64-bit offsets) in calls made here, as libnfs 4.0 makes them only through callbacks.
usage: nfs_client.py EXPORT FILE 3|4 byte|file|rounds N"""
import os, socket, struct, sys, time
from ctypes import CDLL, Structure, byref, c_char_p, c_int, c_uint32, c_uint64, c_void_p
from ctypes import create_string_buffer, string_at


class Pointer(c_void_p):
    """What libnfs returns and takes back whole (a plain c_void_p would pass as an int)."""


class Range(Structure):  # struct nfs4_flock
    _fields_ = [("type", c_int), ("whence", c_int), ("pid", c_uint32), ("start", c_uint64),
                ("length", c_uint64)]


LIB = CDLL("libnfs.so.13")
LIB.nfs_init_context.restype = Pointer
LIB.nfs_get_error.restype = c_char_p
LOCK_BYTE, CLIENT_BIT, F_WRLCK, F_UNLCK = 0x7FFFFFFF00000000, 0x40, 1, 2
export, path, version, action = sys.argv[1], "/" + sys.argv[2], sys.argv[3], sys.argv[4]
OWNER = f"nfs_client {os.getpid()}".encode()


def fail(what, error): sys.exit(f"nfs_client.py: {what}: {error.decode()}")
def xdr(data): return struct.pack(">I", len(data)) + data + bytes(-len(data) % 4)  # variable bytes


class Client:
    """An open of the file by a client of its own: libnfs 4.0 keeps no NFSv4 open's state past
    one LOCK (after a refusal, or a LOCKU, its next request on that open is refused), so each
    try at the lock is made by a new client, whose new verifier ends what the one before held."""
    def __init__(self):
        self.nfs, self.file = LIB.nfs_init_context(), Pointer()
        LIB.nfs4_set_client_name(self.nfs, OWNER)
        LIB.nfs4_set_verifier(self.nfs, os.urandom(8))
        LIB.nfs_set_version(self.nfs, int(version))  # the server's ports from its portmapper
        if LIB.nfs_mount(self.nfs, b"127.0.0.1", export.encode()) != 0 or \
                LIB.nfs_open(self.nfs, path.encode(), os.O_RDWR, byref(self.file)) != 0:
            fail("open", LIB.nfs_get_error(self.nfs))
        # NLM names the file by its NFSv3 handle, which libnfs keeps first in its open file
        length, address = struct.unpack("iP", string_at(self.file.value, struct.calcsize("iP")))
        self.handle = string_at(address, length) if version == "3" else b""
        self.nlm = socket.create_connection(("127.0.0.1", 32803)) if version == "3" else None

    def lock(self, on, offset, length):
        """True when granted, False when another holds a lock it overlaps."""
        if version == "4":  # to the end of the file is all ones here
            whole = Range(F_WRLCK if on else F_UNLCK, os.SEEK_SET, os.getpid(), offset,
                          length or 2 ** 64 - 1)
            if LIB.nfs_fcntl(self.nfs, self.file, 0, byref(whole)) == 0:  # NFS4_F_SETLK
                return True
            error = LIB.nfs_get_error(self.nfs)  # every refusal is -ERANGE: only the text tells
            return False if on and b"NFS4ERR_DENIED" in error else fail("lock", error)
        # An ONC RPC call over TCP, in one record, as root: LOCK (procedure 2, not blocking,
        # exclusive, no reclaim) or UNLOCK (4); the reply's status follows its empty cookie.
        held = xdr(b"localhost") + xdr(self.handle) + xdr(OWNER) + struct.pack(
            ">IQQ", os.getpid(), offset, length)
        body = xdr(b"") + (struct.pack(">II", 0, 1) + held + bytes(8) if on else held)
        credential = struct.pack(">I", 0) + xdr(b"localhost") + bytes(12)
        call = struct.pack(">6I", os.getpid(), 0, 2, 100021, 4, 2 if on else 4) + \
            struct.pack(">I", 1) + xdr(credential) + bytes(8) + body
        self.nlm.sendall(struct.pack(">I", 0x80000000 | len(call)) + call)
        reply = self.nlm.recv(4096)
        status = struct.unpack(">I", reply[32:36])[0] if len(reply) >= 36 else -1
        if status in (0, 1) and (on or status == 0):  # NLM4_GRANTED, NLM4_DENIED
            return status == 0
        fail("lock", f"NLM reply {reply!r}".encode())

    def flag_byte(self, new=None):
        byte = create_string_buffer(bytes([new or 0]))
        io = LIB.nfs_pread if new is None else LIB.nfs_pwrite
        if io(self.nfs, self.file, c_uint64(8), c_uint64(1), byte) != 1:
            fail("byte 8", LIB.nfs_get_error(self.nfs))
        return byte.raw[0]


if action == "rounds":
    lost, left, client = 0, None, Client()
    for _ in range(int(sys.argv[5])):
        while not client.lock(True, LOCK_BYTE, 1):
            client = Client() if version == "4" else client
            time.sleep(0.002)
        byte = client.flag_byte()
        lost += left is not None and byte & CLIENT_BIT != left
        time.sleep(0.003)  # a window for another's change to fall into
        left = client.flag_byte(byte ^ CLIENT_BIT) & CLIENT_BIT
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
