#!/usr/bin/python3
"""An independent reader and writer of "0stf" file-tree summaries, for the format tests.

Layout (little-endian): b"0stf", u32 count, then per entry u32 L, L UTF-16LE units, u32 checksum,
u64 time; entries sorted by UTF-16 code units.

  summary_format.py read SUMMARY      prints "name<TAB>checksum<TAB>time" per entry, in file order
  summary_format.py write TEXT OUT    writes the entries of TEXT (lines as printed by read), sorted

`read` fails (exit 1) on anything off the layout: bad magic, a short field, bytes after the last entry.
"""
import struct
import sys


def read(path):
    data = open(path, "rb").read()
    if data[:4] != b"0stf":
        raise ValueError("bad magic")
    (count,) = struct.unpack_from("<I", data, 4)
    offset = 8
    for _ in range(count):
        (units,) = struct.unpack_from("<I", data, offset)
        offset += 4
        raw = data[offset:offset + 2 * units]
        if len(raw) != 2 * units:
            raise ValueError("name cut off")
        offset += 2 * units
        checksum, time = struct.unpack_from("<IQ", data, offset)
        offset += 12
        print("%s\t%d\t%d" % (raw.decode("utf-16-le"), checksum, time))
    if offset != len(data):
        raise ValueError("bytes after the last entry")


def write(text_path, out_path):
    entries = []
    for line in open(text_path, encoding="utf-8").read().splitlines():
        name, checksum, time = line.split("\t")
        entries.append((name.encode("utf-16-be"), name, int(checksum), int(time)))
    entries.sort()  # big-endian UTF-16 bytes sort as UTF-16 code units
    out = bytearray(b"0stf" + struct.pack("<I", len(entries)))
    for _, name, checksum, time in entries:
        encoded = name.encode("utf-16-le")
        out += struct.pack("<I", len(encoded) // 2) + encoded + struct.pack("<IQ", checksum, time)
    open(out_path, "wb").write(out)


if __name__ == "__main__":
    try:
        if sys.argv[1] == "read":
            read(sys.argv[2])
        else:
            write(sys.argv[2], sys.argv[3])
    except (ValueError, struct.error) as error:
        print(error, file=sys.stderr)
        sys.exit(1)
