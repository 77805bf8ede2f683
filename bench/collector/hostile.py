#!/usr/bin/env python3
"""Hostile clients for the report collector's memory benchmark (loopback only).

  hostile.py PORT large N       N clients, each sends all but the last byte of the largest report
  hostile.py PORT halfheader N  N clients, each sends the first 7 bytes of a header
  hostile.py PORT full N M      N clients, each sends M largest reports whole (answers unread)

Sends without blocking for up to 20 s, prints "sent BYTES" on stdout, then holds every
connection open until a line arrives on stdin (or stdin closes) and closes them all.
"""
import resource
import selectors
import socket
import struct
import sys
import time

RECORD = 298
MAX_RECORDS = 3518  # the most records a 1 MiB report holds


def report(records):
    # Texts at their full width: the parsed form of such a report is the largest there is.
    record = b"s" * 32 + b"\0" + b"http://h/" + b"u" * 246 + b"\0" + struct.pack("<q", 1) + b"\1"
    payload = struct.pack("<I", records) + record * records
    length = (len(payload) + 14 + 7) // 8 * 8 - 14
    return struct.pack("<HHIHI", 0x0300, 0x9A, 0, 0, length) + payload + b"\0" * (length - len(payload))


def main():
    port, mode, clients = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    largest = report(MAX_RECORDS)
    if mode == "large":
        data = largest[:-1]
    elif mode == "halfheader":
        data = largest[:7]
    else:
        data = largest * int(sys.argv[4])
    sel = selectors.DefaultSelector()
    sockets = []
    for _ in range(clients):
        s = socket.create_connection(("127.0.0.1", port))
        s.setblocking(False)
        sockets.append(s)
        sel.register(s, selectors.EVENT_WRITE, [memoryview(data)])
    sent = 0
    deadline = time.monotonic() + 20
    pending = clients
    while pending and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=0.2):
            rest = key.data[0]
            try:
                count = key.fileobj.send(rest[:1 << 20])
            except BlockingIOError:
                continue
            sent += count
            key.data[0] = rest[count:]
            if not len(key.data[0]):
                sel.unregister(key.fileobj)
                pending -= 1
    print("sent %d unsent_clients %d" % (sent, pending), flush=True)
    sys.stdin.readline()
    for s in sockets:
        s.close()


if __name__ == "__main__":
    main()
