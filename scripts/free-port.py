#!/usr/bin/env python3
"""Prints a TCP port on 127.0.0.1 that is free right now (the preferred one
when it is).

The port is not held until the caller's server binds it. One the kernel
hands out (bind to port 0) lies in the range it also draws the local ports
of outgoing connections from: a connection made meanwhile (a test running
beside, a client under load) can take it, and the server then fails to
start. So the port is drawn at random from below that range."""
import random
import socket
import sys

LOWEST = 10000  # below: ports that well-known services tend to use


def free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return None
        return s.getsockname()[1]


def outside_ephemeral():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(v) for v in f.read().split()[:2])
    except (OSError, ValueError):
        low, high = 32768, 60999
    pool = range(LOWEST, low) if low - LOWEST >= 1000 else range(high + 1, 65536)
    for port in random.sample(pool, min(64, len(pool))):
        if free(port):
            return port
    return None


preferred = int(sys.argv[1]) if len(sys.argv) > 1 else 0
print((preferred and free(preferred)) or outside_ephemeral() or free(0))
