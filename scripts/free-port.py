#!/usr/bin/env python3
"""Prints a TCP port on 127.0.0.1 that is free right now (the preferred one
when it is)."""
import socket
import sys


def free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return None
        return s.getsockname()[1]


preferred = int(sys.argv[1]) if len(sys.argv) > 1 else 0
print(free(preferred) or free(0))
