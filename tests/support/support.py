#!/usr/bin/python3
"""Support for the tests that run servers, in Python and from the shell:
a free loopback port, and waiting until something accepts connections on
one. (The C++ tests have the same in test_util.h.)

    support.py free-port                 prints a TCP port on 127.0.0.1 that was free
    support.py wait-for-port PORT [S]    exits 0 once PORT accepts, 1 after S seconds (10)
"""
import socket
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


if __name__ == "__main__":
    if sys.argv[1:2] == ["free-port"]:
        print(free_port())
    elif sys.argv[1:2] == ["wait-for-port"] and len(sys.argv) in (3, 4):
        sys.exit(0 if wait_for_port(int(sys.argv[2]), float(sys.argv[3]) if len(sys.argv) > 3 else 10.0) else 1)
    else:
        sys.exit(__doc__)
