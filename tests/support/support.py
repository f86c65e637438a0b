#!/usr/bin/python3
"""Support for the tests, in Python and from the shell: a free loopback
port, waiting until something accepts connections on one (the C++ tests
have the same in test_util.h), and a PNG's pixels.

    support.py free-port                 prints a TCP port on 127.0.0.1 that was free
    support.py wait-for-port PORT [S]    exits 0 once PORT accepts, 1 after S seconds (10)
    support.py pixel PNG X Y             prints the pixel's colour as RRGGBB, then the width and height
"""
import socket
import struct
import sys
import time
import zlib


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


def decode_png(data):
    """A PNG as (width, height, rows of (r, g, b, a)): 8-bit and palette
    images of every bit depth, every filter, not interlaced."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, palette, alpha = 8, b"", [], b""
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack(">IIBB", body[:10])
        elif kind == b"PLTE":
            palette = [tuple(body[i:i + 3]) for i in range(0, n, 3)]
        elif kind == b"tRNS":
            alpha = body
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    bits = depth * channels
    stride, bpp = (w * bits + 7) // 8, max(1, bits // 8)
    raw, prev, rows = zlib.decompress(idat), bytearray(stride), []
    for y in range(h):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            p = a + b - c
            pred = (0, a, b, (a + b) // 2,
                    a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c)[f]
            line[i] = (line[i] + pred) & 255
        prev = line
        if depth < 8:
            values = [(line[(x * depth) // 8] >> (8 - depth - (x * depth) % 8)) & ((1 << depth) - 1) for x in range(w)]
        else:
            values = [tuple(line[x * channels:(x + 1) * channels]) for x in range(w)]
        row = []
        for v in values:
            if colour == 3:
                i = v if isinstance(v, int) else v[0]
                row.append(palette[i] + (alpha[i] if i < len(alpha) else 255,))
            elif colour in (0, 4):
                g = v if isinstance(v, int) else v[0]
                row.append((g, g, g, v[1] if colour == 4 else 255))
            else:
                row.append(tuple(v) + ((255,) if colour == 2 else ()))
        rows.append(row)
    return w, h, rows


if __name__ == "__main__":
    if sys.argv[1:2] == ["free-port"]:
        print(free_port())
    elif sys.argv[1:2] == ["pixel"] and len(sys.argv) == 5:
        with open(sys.argv[2], "rb") as f:
            w, h, rows = decode_png(f.read())
        print("%02X%02X%02X" % rows[int(sys.argv[4])][int(sys.argv[3])][:3], w, h)
    elif sys.argv[1:2] == ["wait-for-port"] and len(sys.argv) in (3, 4):
        sys.exit(0 if wait_for_port(int(sys.argv[2]), float(sys.argv[3]) if len(sys.argv) > 3 else 10.0) else 1)
    else:
        sys.exit(__doc__)
