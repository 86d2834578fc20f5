#!/usr/bin/env python3
"""An SMB2 client of the end-to-end table's Samba server, on 127.0.0.1, as the
guest: it opens a map on the share "maps", tries at once for the byte every run
locks, prints "granted" or "refused", and holds what it has until its standard
input closes.
usage: smb_client.py PORT PATH   (Debian's python3-impacket)"""
import sys
from impacket import smb3structs as smb
from impacket.smbconnection import SMBConnection

port, path = sys.argv[1:3]
session = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=int(port))
session.login("guest", "")
server, tree = session.getSMBServer(), session.connectTree("maps")
map_id = server.create(tree, path, smb.FILE_READ_DATA | smb.FILE_WRITE_DATA,
                       smb.FILE_SHARE_READ | smb.FILE_SHARE_WRITE, 0, smb.FILE_OPEN, 0)
# impacket's own lock() joins its requests as text: the request is made here
byte = smb.SMB2_LOCK_ELEMENT()
byte["Offset"], byte["Length"] = 0x7FFFFFFF00000000, 1
byte["Flags"] = smb.SMB2_LOCKFLAG_EXCLUSIVE_LOCK | smb.SMB2_LOCKFLAG_FAIL_IMMEDIATELY
request, packet = smb.SMB2Lock(), server.SMB_PACKET()
request["FileID"], request["LockCount"], request["Locks"] = map_id, 1, byte.getData()
packet["Command"], packet["TreeID"], packet["Data"] = smb.SMB2_LOCK, tree, request
print("granted" if server.recvSMB(server.sendSMB(packet))["Status"] == 0 else "refused", flush=True)
sys.stdin.read()
