#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small, valid (or nearly valid) inputs in each target's input layout, so that the
fuzzer starts from the interesting paths instead of finding the formats by chance. Run it again
after changing a target's input layout; the output is the same on every run.
"""
import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def be32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


def pad(payload, tag=b""):
    return be32(len(payload)) + tag + payload + be32(sum(payload))


def segment(software_id, body, length=None):
    header = bytearray(48)
    header[16:20] = be32(software_id)
    header[32:36] = be32(len(body) if length is None else length)
    return bytes(header) + body


def pieces(*parts):
    """Pieces for the scripted box: (pause units, bytes) each."""
    out = b""
    for pause, data in parts:
        while len(data) > 255:
            out += bytes([pause, 255]) + data[:255]
            data, pause = data[255:], 0
        out += bytes([pause, len(data)]) + data
    return out


def seeds():
    tag5 = bytes([0x14]) + be32(0x00180004)
    body = bytes(range(64))
    yield "pad_image", [
        pad(body),
        pad(body, b"\x05"),
        pad(body, tag5),
        pad(b"", b"\x05"),
        pad(b"", bytes([7]) + be32(0x0004000C)),
        pad(body, tag5)[:-1],
        pad(body, tag5[:2]),
        be32(0xFFFFFFF0) + tag5 + body,
    ]

    two = segment(0x00180002, bytes(16)) + segment(0x00180002, b"\x01" * 8)
    yield "stamped_image", [
        be32(0x00180004) + pad(two, tag5),
        be32(0x00180004) + pad(segment(0, b"", 0xFFFFFFF0), tag5),
        be32(0x00180004) + pad(segment(0, bytes(4), 100), tag5),
        be32(0x00180004) + pad(b"", tag5),
        be32(0x00180004) + bytes(7),
    ]

    application = bytearray(0x4010)
    application[0x4000:0x4008] = bytes([0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00])
    boot = bytes([0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x00, 0x00]) + bytes(24)
    yield "legacy_image", [
        b"A\x00" + pad(bytes(application), bytes([4]) + be32(0x000B0001)),
        b"f\x00" + pad(b"VK" + bytes(30), b"\x04"),
        b"B\x01" + pad(boot),
        b"S\x01" + pad(bytes([0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00]) + bytes(8)),
        b"R\x00" + pad(bytes(application)),
        b"Q\x00" + pad(bytes(16), b"\x04"),
    ]

    text = b"PAD image payload " * 20
    yield "compressed_image", [
        b"\x02" + be32(0) + pad(text, b"\x02"),
        b"\x04" + be32(0x00040015) + pad(text, bytes([4]) + be32(0x00040015)),
        b"\x06" + be32(0x00040017) + bytes(300),
        b"\x03" + be32(0x00020000) + pad(body),
        b"\x05" + be32(0x00050001) + b"",
    ]

    def argv(*args):
        return b"\x00".join(a.encode() for a in args)

    yield "options", [
        argv("update", "-p", "2", "image.pad"),
        argv("aktualisieren", "-x", "-c", "-l", "-w", "image.pad"),
        argv("VKMupdate", "-n", "-t", "B", "-6", "-9", "-1", "-7", "-8", "-u", "image.pad"),
        argv("/usr/bin/update", "-V"),
        argv("C:\\tools\\VKMaktualisieren.exe", "-s", "eol"),
        argv("update", "-p", "9", "image.pad"),
        argv("update", "-p"),
        argv("update", "-pp", "image.pad"),
        argv("update", "-q"),
        argv("update", "-i", "-2", "-b", "-e"),
        argv("update"),
    ]

    lines = [
        b"Download failed! Please try again\n\r",
        b"Wrong file format.\n\r",
        b"CRC check failed! Please try again\n\r",
        b"Header CRC check failed! Please try again\n\r",
        b"The software cannot be used with this stb.\n\r",
        b"This is not a newer software version\n\r",
        b"Manipulated header found (consistency check)!\n\r",
        b"Start application         \n\r",
    ]
    yield "verdict_lines", [
        b"Checking image...\n\r" + lines[7],
        b"SStart application         \n\r" + lines[0],
        lines[3],
        b"\x06\x06" + b"".join(lines[1:3]),
        b"Start application\n\r" + lines[5],
    ]

    yield "version_line", [
        b"\x00Bootloader Version 24.4\r\n",
        b"\x00Bootloader Version: 18.4\r",
        b"\x00BBootloader Version 1.4\r\nBootloader Version 4.12\n",
        b"\x00Bootloader Version ?\r\n",
        b"\x00Bootloader Version 99999999999.1\r",
        b"\x01" + pieces((0, b"Bootloa"), (3, b"der Version 5"), (14, b".3\r")),
        b"\x01" + pieces((14, b"Bootloader Version 2"), (2, b"1.0\n")),
    ]

    yield "wait_for", [
        b"\x00\x02" + pieces((0, b"access gran"), (2, b"ted")),
        b"\x01\x00" + pieces((1, b"\r\nNow start download\r\n")),
        b"\x02\x02" + pieces((0, b"ERROR: flash\n"), (1, b"finished!")),
        b"\x02\x03" + pieces((0, b"ERROR: no line end"), (100, b"finished!")),
        b"\x00\x01" + pieces((0, b"granted\x00"), (0, b"granted")),
        b"\x03\x00" + pieces((0, b"x" * 1000)),
        b"\x04\x02" + pieces((0, b"Bootloader Vers"), (8, b"ion 1.4\r")),
    ]

    yield "block_replies", [
        b"\x00\x00" + pieces((0, b"file:")),
        b"\x0d\x00" + pieces((1, b"...."), (1, b"eeee"), (1, b"pppp")),
        b"\x18\x00" + pieces((1, b"::"), (1, b";;"), (0, b"."), (1, b":::")),
        b"\x1c\x10" + pieces((1, b"ST"), (2, b"OP")),
        b"\x2c\x00" + pieces((2, b"ERR"), (1, b"OR: erase\n")),
        b"\x2e\x00" + pieces((0, b"Flash's manufacturer and/or "), (1, b"device ids dont match!")),
        b"\x3c\x20" + pieces((0, b"?")),
        b"\x0f\xff" + pieces((200, b"e")),
    ]


def main():
    corpus = os.path.join(HERE, "corpus")
    total = 0
    for target, inputs in seeds():
        directory = os.path.join(corpus, target)
        os.makedirs(directory, exist_ok=True)
        for old in os.listdir(directory):
            os.remove(os.path.join(directory, old))
        for data in inputs:
            name = hashlib.sha1(data).hexdigest()
            with open(os.path.join(directory, name), "wb") as out:
                out.write(data)
            total += len(data)
    print(f"seeds written to {corpus} ({total} bytes)", file=sys.stderr)


if __name__ == "__main__":
    main()
