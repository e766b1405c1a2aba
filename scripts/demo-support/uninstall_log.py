"""The installer's uninstall log ("unins000.dat"), written and read back for the demo.

A 448-byte header (NumRecs u32 at 324, EndOffset u32 at 328, CRC-32 of bytes 0..443 at 444), then
blocks to the end of the file: u32 Size (at most 4096, all but the last full), u32 ~Size, u32
CRC-32 of the data, the data. The blocks' data joined is a chain of records: u16 type, u32
extraData, u32 dataSize, data. The last record (28 bytes) closes the log. A delete-file record is
type 0x0082, extraData 0, data: the path's length (one byte below 0xFD, else 0xFD and a u16, or
0xFE and a u32), the 8-bit path, 0xFF. All integers little-endian.
"""
import struct
import zlib

HEADER = 448
BLOCK = 4096
DELETE_FILE = 0x0082


def record(rtype, extra, data):
    return struct.pack('<HII', rtype, extra, len(data)) + data


def delete_file_record(path):
    raw = path.encode('cp1252')
    if len(raw) < 0xFD:
        length = bytes([len(raw)])
    elif len(raw) <= 0xFFFF:
        length = b'\xfd' + struct.pack('<H', len(raw))
    else:
        length = b'\xfe' + struct.pack('<I', len(raw))
    return record(DELETE_FILE, 0, length + raw + b'\xff')


def closing_record():
    return record(0x0003, 0, b'demo install done\xff')  # 10 + 18 = 28 bytes


def write(path, deleted_paths):
    """A log that removes deleted_paths on uninstall, then the closing record."""
    stream = b''.join(delete_file_record(p) for p in deleted_paths) + closing_record()
    title = b'Uninstall log of the demo installation'
    header = bytearray(title + bytes((i * 7 + 3) % 251 for i in range(len(title), HEADER)))
    body = b''
    for pos in range(0, len(stream), BLOCK):
        data = stream[pos:pos + BLOCK]
        body += struct.pack('<III', len(data), len(data) ^ 0xFFFFFFFF, zlib.crc32(data)) + data
    struct.pack_into('<II', header, 324, len(deleted_paths) + 1, HEADER + len(body))
    struct.pack_into('<I', header, 444, zlib.crc32(bytes(header[:444])))
    with open(path, 'wb') as f:
        f.write(bytes(header) + body)


def read(path):
    """(records as (type, extra, data), NumRecs) after checking every CRC and size; raises
    ValueError saying what is wrong."""
    with open(path, 'rb') as f:
        data = f.read()
    if len(data) < HEADER:
        raise ValueError('shorter than the header')
    num_recs, end_offset = struct.unpack_from('<II', data, 324)
    if struct.unpack_from('<I', data, 444)[0] != zlib.crc32(data[:444]):
        raise ValueError('header CRC does not match')
    if end_offset != len(data):
        raise ValueError('EndOffset %d is not the file size %d' % (end_offset, len(data)))
    stream, pos = b'', HEADER
    while pos < len(data):
        if len(data) - pos < 12:
            raise ValueError('block header cut off at %d' % pos)
        size, not_size, crc = struct.unpack_from('<III', data, pos)
        if not_size != size ^ 0xFFFFFFFF or size > BLOCK or pos + 12 + size > len(data):
            raise ValueError('bad block size at %d' % pos)
        block = data[pos + 12:pos + 12 + size]
        if zlib.crc32(block) != crc:
            raise ValueError('block CRC does not match at %d' % pos)
        if size < BLOCK and pos + 12 + size < len(data):
            raise ValueError('short block before the last at %d' % pos)
        stream += block
        pos += 12 + size
    records, pos = [], 0
    while pos < len(stream):
        if len(stream) - pos < 10:
            raise ValueError('record header cut off at stream offset %d' % pos)
        rtype, extra, size = struct.unpack_from('<HII', stream, pos)
        if pos + 10 + size > len(stream):
            raise ValueError('record cut off at stream offset %d' % pos)
        records.append((rtype, extra, stream[pos + 10:pos + 10 + size]))
        pos += 10 + size
    if len(records) != num_recs:
        raise ValueError('NumRecs %d but %d records' % (num_recs, len(records)))
    if not records or len(records[-1][2]) != 18:
        raise ValueError('the closing record is not last')
    return records
