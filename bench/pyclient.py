#!/usr/bin/env python3
"""The peer for ruvado's exchange: the same exchange written plainly in
Python with the same socket options. Sends each line of the command file,
waits through "DC2"/"DC4" replies, prints both like ruvado.
  pyclient.py port host file"""
import socket
import struct
import sys


def main():
    port, host, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.bind(("0.0.0.0", 0))
    sock.connect((host, port))
    sock.settimeout(15)
    out = sys.stdout.buffer
    with open(path, "rb") as commands:
        for line in commands:
            line = line.split(b"\n", 1)[0].split(b"\r", 1)[0]
            out.write(b"Envio     : [" + line.replace(b"\x1c", b"|") + b"]\n")
            sock.send(line)
            while True:
                reply = sock.recv(500)
                if not reply:
                    sys.exit(255)
                if b"DC2" not in reply and b"DC4" not in reply:
                    break
            out.write(b"Respuesta : [" + reply.replace(b"\x1c", b"|") + b"]\n\n")
    sock.close()


main()
