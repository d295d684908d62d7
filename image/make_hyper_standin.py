#!/usr/bin/env python3
"""Writes the stand-in hyper bootloader: a big-endian MIPS32 program that branches to itself
(b . ; nop), padded with nops to the 35,632 bytes that the box's 1.x bootloaders take.

It lets the 1.x download path be built and tested without the box maker's program; replace it
(cmake -DHYPER_BOOTLOADER_FILE=...) before updating real 1.x boxes."""
import struct
import sys

SIZE = 35632
code = struct.pack(">II", 0x1000FFFF, 0x00000000)  # beq $zero,$zero,-1 ; nop (delay slot)
image = code + b"\x00" * (SIZE - len(code))
out = sys.argv[1] if len(sys.argv) > 1 else "hyper_standin.bin"
with open(out, "wb") as f:
    f.write(image)
