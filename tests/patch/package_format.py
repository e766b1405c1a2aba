#!/usr/bin/env python3
"""An independent writer of patch packages, for cross-checks from the C++ tests.

  package_format.py write VERSION FOLDER OUT   package FOLDER (folders first, then files in
                                               folders, then files at the root, each in name order)

Format: u32 version (1 or 2); per item a container holding u32 name length in UTF-16 units, the
UTF-16LE path and (version 2) a kind byte 0 folder / 1 file; files then a container of their
content. A container is u32 chunk count, then per chunk u32 packed length, u32 raw length and a
zlib stream. All integers little-endian.
"""
import os
import struct
import sys
import zlib

CHUNK = 0x10000000


def container(raw):
    chunks = [raw[i:i + CHUNK] for i in range(0, len(raw), CHUNK)]
    out = struct.pack('<I', len(chunks))
    for chunk in chunks:
        packed = zlib.compress(chunk)
        out += struct.pack('<II', len(packed), len(chunk)) + packed
    return out


def header(path, version, folder):
    name = path.encode('utf-16-le', 'surrogatepass')
    out = struct.pack('<I', len(name) // 2) + name
    if version == 2:
        out += b'\0' if folder else b'\1'
    return out


def write(version, root, out_path):
    folders, deep, top = [], [], []

    def walk(rel):
        base = os.path.join(root, rel) if rel else root
        for name in sorted(os.listdir(base), key=os.fsencode):
            path = os.path.join(rel, name) if rel else name
            if os.path.isdir(os.path.join(root, path)) and not os.path.islink(os.path.join(root, path)):
                folders.append(path)
                walk(path)
            else:
                (deep if rel else top).append(path)

    walk('')
    deep.sort(key=os.fsencode)
    body = struct.pack('<I', version)
    for folder in folders:
        body += container(header('.\\' + folder.replace('/', '\\'), version, True))
    for path in deep + top:
        with open(os.path.join(root, path), 'rb') as f:
            content = f.read()
        body += container(header('.\\' + path.replace('/', '\\'), version, False)) + container(content)
    with open(out_path, 'wb') as f:
        f.write(body)


if __name__ == '__main__':
    if sys.argv[1] != 'write':
        sys.exit('usage: package_format.py write VERSION FOLDER OUT')
    write(int(sys.argv[2]), sys.argv[3], sys.argv[4])
