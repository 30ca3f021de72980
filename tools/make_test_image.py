#!/usr/bin/env python3
"""Writes the deterministic test image that the default build carries.

29,228 bytes: 14 full pages and a last page of 556 bytes. The bytes come from
a xorshift generator with no byte equal to the one before it, so an offset or
byte-order fault in the transfer always changes what lands in the flash.
"""
import sys

LENGTH = 29228


def image(length=LENGTH, seed=0x70525645):
    state, previous, out = seed, -1, bytearray()
    while len(out) < length:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        byte = state & 0xFF
        if byte == previous:
            byte = (byte + 1) & 0xFF
        out.append(byte)
        previous = byte
    return bytes(out)


if __name__ == "__main__":
    path = sys.argv[1] if len(sys.argv) > 1 else "firmware/CAN.bin"
    with open(path, "wb") as f:
        f.write(image())
