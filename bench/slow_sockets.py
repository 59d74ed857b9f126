#!/usr/bin/env python3
"""Holds COUNT connections to 127.0.0.1:PORT, each sending one byte of a request every 10 s and
never finishing it, until it is killed. Prints "open N" once every connection is made."""
import socket
import sys
import time

port, count = int(sys.argv[1]), int(sys.argv[2])
request = b"GET /kxmirror/downloads/sha1/" + b"0" * 40 + b" HTTP/1.1\r\nHost: r\r\n"
sockets = []
for _ in range(count):
    s = socket.create_connection(("127.0.0.1", port))
    s.setblocking(False)
    sockets.append(s)
print(f"open {len(sockets)}", flush=True)
sent = 0
while True:
    for s in sockets:
        try:
            s.send(request[sent % len(request):sent % len(request) + 1])
        except OSError:
            pass  # a closed one stays closed: the server may shed slow clients
    sent += 1
    time.sleep(10)
