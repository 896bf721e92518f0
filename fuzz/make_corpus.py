#!/usr/bin/env python3
"""Writes the seed corpora of the answer-reader fuzzers under fuzz/corpus/<name>/.

Each seed is the two selector bytes of fuzz/FuzzInput.h followed by a valid answer buffer, a few
per API version, laid out by hand from the answer tables in docs/protocol.md. Run it again after
a layout change; the seeds are committed.
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
CONTROLLER_SIZE = [335, 370, 370, 403]
VOLUME_SIZE = [94, 94, 98, 98]
DRIVE_SIZE = [167, 206, 207, 258]


def guid(seed):
    return bytes([seed + 1] + [seed] * 15)


def put(buf, offset, data):
    buf[offset:offset + len(data)] = data


def answer(length, count):
    buf = bytearray(length)
    put(buf, 32, struct.pack("<H", count))
    return buf


def write(name, seed_name, selector, limit, buf):
    folder = os.path.join(ROOT, name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, seed_name), "wb") as f:
        f.write(bytes([selector, limit]) + bytes(buf))


def controller_entry(api, seed):
    e = bytearray(CONTROLLER_SIZE[api])
    put(e, 0, guid(seed))
    put(e, 16, b"Controller %d" % seed)
    put(e, 272, struct.pack("<HHHBB", 0x8086, 0x2822 + seed, 0x1234, 1, 0x80))
    put(e, 280, struct.pack("<4H4H", 17, 2, 300, 1, 17, 0, 100, 0))
    put(e, 296, struct.pack("<HHHBBB", 2, 8, 32, 0xC0, 2 * (seed & 1), 0x20))
    if api > 0:
        put(e, 335, b"Slot A")
        put(e, 365, struct.pack("<BI", 7, 0xDEADBEEF))
    return e


def descriptor(level, min_drives, max_drives, migrations):
    d = struct.pack("<BHHBHH", level, min_drives, max_drives, 0xC0, 0x40, 0x3FC0)
    return d + struct.pack("<H", len(migrations)) + b"".join(bytes(m) for m in migrations)


def volume_entry(api, seed):
    e = bytearray(VOLUME_SIZE[api])
    put(e, 0, guid(seed))
    put(e, 16, guid(100))
    put(e, 32, bytes([seed]))
    put(e, 33, b"Volume %d" % seed)
    put(e, 49, struct.pack("<BBQHBHB", 1, 4, 1 << 30, 0x40, 3, 0, 0x80))
    put(e, 73, struct.pack("<IB", 512, 0x21))
    return e


def drive_entry(api, seed, dtype):
    e = bytearray(DRIVE_SIZE[api])
    shift = 2 if api == 0 else 0
    put(e, 0, guid(seed))
    put(e, 48, b"SN%08d" % seed)
    put(e, 68, b"Model %d" % seed)
    put(e, 108, b"FW1.0")
    put(e, 116, struct.pack("<QIIBBB", 1000000, 512, 4096, 1, 2, 0xF4))
    if api > 0:
        put(e, 135, bytes([1, 0]))
    put(e, 137 - shift, bytes([dtype]))
    base = 138 - shift
    if dtype in (0, 1):
        put(e, base, bytes([seed & 7, 0xC3]))
    elif dtype in (2, 3):
        put(e, base, struct.pack("<HB", 0x144D, 0xE0))
        if dtype == 3 or api == 3:
            put(e, base + 11, struct.pack("<HHHQ", 1, 2, 3, 42))
            # Current form: rate and width bytes; older forms: packed link bytes.
            put(e, base + 25, bytes([4, 8] if api == 3 else [(8 << 3) | 4, (8 << 3) | 4]))
        else:
            put(e, base + 11, bytes([(4 << 3) | 3, (4 << 3) | 3]))
    if api == 3:
        put(e, 187, b"Bay %d" % seed)
    return e


def main():
    # Executor information: each specification version.
    for major in range(1, 5):
        buf = bytearray(72)
        put(buf, 32, struct.pack("<HH", major, 0))
        put(buf, 48, b"\x11" * 16)
        write("executor_information", "version%d" % major, 0, 0, buf)

    # Identifier lists: controllers (selector 0), drives (1), others (2).
    for selector, count, length in [(0, 2, 4130), (1, 4, 34 + 16 * 8), (2, 1, 34 + 16)]:
        buf = answer(length, count)
        for i in range(count):
            put(buf, 34 + 16 * i, guid(i))
        write("identifiers", "kind%d" % selector, selector, 0, buf)

    # Controller information: single (variant clear) and refresh of two devices.
    for api in range(4):
        size = CONTROLLER_SIZE[api]
        buf = answer(34 + size, 1)
        put(buf, 34, controller_entry(api, 1))
        write("controller_info", "single_api%d" % api, api, 1, buf)
        buf = answer(34 + 2 * size, 2)
        put(buf, 34, controller_entry(api, 1))
        put(buf, 34 + size, controller_entry(api, 2))
        write("controller_info", "refresh_api%d" % api, api | 4, 2, buf)

    # Capabilities, current and legacy.
    buf = bytearray(343)
    descs = [descriptor(1, 2, 8, [(1, 1), (4, 1)]), descriptor(2, 2, 2, [(1, 0), (4, 1)]),
             descriptor(3, 4, 4, [(4, 0)]), descriptor(4, 3, 8, [(4, 1)])]
    buf[32] = len(descs)
    put(buf, 33, b"".join(descs))
    write("capabilities", "current", 1, 0, buf)
    buf = bytearray(83)
    buf[32] = 5
    for i in range(5):
        put(buf, 33 + 10 * i, descriptor(i + 1, 2, 4 + i, [])[:10])
    write("capabilities", "legacy", 4, 0, buf)

    # Arrays: two of at most four.
    buf = answer(34 + 53 * 4, 2)
    for i in range(2):
        e = bytearray(53)
        put(e, 0, guid(i))
        put(e, 16, b"Array %d" % i)
        put(e, 36, struct.pack("<QQB", 1 << 40, 1 << 39, 0x80))
        put(buf, 34 + 53 * i, e)
    write("array_list", "two", 0, 4, buf)

    # Volumes: each version, three entries in a buffer for four.
    for api in range(4):
        size = VOLUME_SIZE[api]
        buf = answer(34 + size * 4, 3)
        for i in range(3):
            put(buf, 34 + size * i, volume_entry(api, i))
        write("volume_list", "api%d" % api, api, 4, buf)

    # Drives: each version with one drive of each type, as a list and as single answers.
    for api in range(4):
        size = DRIVE_SIZE[api]
        types = [0, 1, 3] if api == 3 else [0, 1, 2, 3]
        buf = answer(34 + size * len(types) + 64, len(types))
        for i, t in enumerate(types):
            put(buf, 34 + size * i, drive_entry(api, i, t))
        write("drive_list", "list_api%d" % api, api, 0, buf)
        for t in types:
            buf = answer(34 + size, 1)
            put(buf, 34, drive_entry(api, 9, t))
            write("drive_list", "single_api%d_type%d" % (api, t), api | 4, 0, buf)


if __name__ == "__main__":
    main()
