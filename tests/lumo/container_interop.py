#!/usr/bin/python3
"""An independent reader and writer of the chunked zlib container, for the interoperability tests.

Layout: u32 chunk count, then per chunk u32 packed length, u32 raw length and one zlib stream;
all integers little-endian.

  container_interop.py read CONTAINER OUT        checks the layout strictly, writes the raw bytes
  container_interop.py write IN CONTAINER CHUNK  writes IN as a container of CHUNK-byte chunks

`read` prints the raw length of every chunk, one per line, and fails (exit 1, reason on stderr)
on anything that does not follow the layout: short fields, a stream that does not end exactly at
its packed length, a raw length that differs from what the stream holds, bytes after the last chunk.
"""
import struct
import sys
import zlib


def read(container_path, out_path):
    with open(container_path, "rb") as f:
        data = f.read()
    if len(data) < 4:
        raise ValueError("no chunk count")
    (count,) = struct.unpack_from("<I", data, 0)
    offset = 4
    raw = []
    for index in range(count):
        if offset + 8 > len(data):
            raise ValueError("chunk %d: header cut off" % index)
        packed_length, raw_length = struct.unpack_from("<II", data, offset)
        offset += 8
        stream = data[offset:offset + packed_length]
        if len(stream) != packed_length:
            raise ValueError("chunk %d: stream cut off" % index)
        offset += packed_length
        inflater = zlib.decompressobj()
        chunk = inflater.decompress(stream)
        if not inflater.eof or inflater.unused_data:
            raise ValueError("chunk %d: stream does not end at its packed length" % index)
        if len(chunk) != raw_length:
            raise ValueError("chunk %d: raw length %d, stream holds %d" % (index, raw_length, len(chunk)))
        print(raw_length)
        raw.append(chunk)
    if offset != len(data):
        raise ValueError("%d bytes after the last chunk" % (len(data) - offset))
    with open(out_path, "wb") as f:
        f.write(b"".join(raw))


def write(in_path, container_path, chunk_size):
    with open(in_path, "rb") as f:
        data = f.read()
    chunks = [data[i:i + chunk_size] for i in range(0, len(data), chunk_size)]
    parts = [struct.pack("<I", len(chunks))]
    for chunk in chunks:
        stream = zlib.compress(chunk)
        parts.append(struct.pack("<II", len(stream), len(chunk)))
        parts.append(stream)
    with open(container_path, "wb") as f:
        f.write(b"".join(parts))


def main(argv):
    try:
        if len(argv) == 4 and argv[1] == "read":
            read(argv[2], argv[3])
        elif len(argv) == 5 and argv[1] == "write":
            write(argv[2], argv[3], int(argv[4]))
        else:
            sys.stderr.write(__doc__)
            return 2
    except (ValueError, zlib.error, OSError) as error:
        sys.stderr.write("container_interop: %s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
