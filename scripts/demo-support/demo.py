#!/usr/bin/env python3
"""The demo's side of the work, called by scripts/demo:

  demo.py install DIR REGISTRY     writes build 100 into DIR with its uninstall log, the
                                   binary-patch tool (bin/kpatchl-w32.exe) and the game's utility
                                   (bin/SollexUtil.exe), and the installer's registry entries into
                                   the registry folder REGISTRY
  demo.py append PROGRAM OUT PKG... OUT := PROGRAM with the archive of the packages appended,
                                   each PKG named <source>-<target>.pkg
  demo.py package STEP STAGE OUT   makes the patch package from build STEP-1 to STEP: its folder
                                   in STAGE (lists, added files, xdelta3 differences), packed to OUT
  demo.py verify STEP DIR MD5S     checks DIR against build STEP: MD5S holds md5-tool's lines for
                                   every file in DIR (paths relative to DIR); also reads the uninstall log back
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # leave no caches in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'tests', 'patch'))

import builds  # noqa: E402
import package_format  # noqa: E402
import uninstall_log  # noqa: E402

LOG = 'unins000.dat'
TOOL = 'bin/kpatchl-w32.exe'
UTILITY = 'bin/SollexUtil.exe'
PRODUCT_KEY = 'HKEY_LOCAL_MACHINE/SOFTWARE/Kestin/Products/SollexSimulator/Demo'


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def log_path(install, path):
    """A file's path as uninstall records name it (the way the patcher adds them)."""
    return install + '/' + builds.list_path(path)


def write_utility(root):
    """The game's utility: it knows the install's build by the digest of one file every step changes."""
    trees = {b: builds.build(b) for b in (100, 101, 102)}
    marker = next(p for p in sorted(trees[100])
                  if all(p in t for t in trees.values()) and len({repr(t[p]) for t in trees.values()}) == 3)
    cases = ''.join('    %s) printf "%d,";;\n' % (md5(builds.materialize(t[marker])), b)
                    for b, t in sorted(trees.items()))
    with open(os.path.join(HERE, 'SollexUtil')) as f:
        script = f.read().replace('@MARKER@', marker).replace('@CASES@\n', cases)
    write_file(os.path.join(root, UTILITY), script.encode())
    os.chmod(os.path.join(root, UTILITY), 0o755)


def write_registry(registry, root):
    for name, value in (('ProductClass', 'Sollex'), ('ProductInstallPath', root)):
        write_file(os.path.join(registry, PRODUCT_KEY, name), ('REG_SZ\n%s\n' % value).encode())


def append(program, out, packages):
    """The patch archive after the program, at its next 4096-byte boundary (integers little-endian):
    magic, total size, entry count, directory offset, reserved; the packages; 80-byte entries."""
    data = bytearray(open(program, 'rb').read())
    data += bytes(-len(data) % 4096)
    header_at = len(data)
    payloads = [open(p, 'rb').read() for p in packages]
    directory_at = header_at + 28 + sum(len(p) for p in payloads)
    total = directory_at + 80 * len(payloads)
    data += b'L0u1' + b'm2o3' + struct.pack('<IIQI', total, len(payloads), directory_at, 0)
    entries, at = b'', header_at + 28
    for path, payload in zip(packages, payloads):
        source, target = os.path.basename(path)[:-len('.pkg')].split('-')
        entries += (source.encode().ljust(32, b'\0') + target.encode().ljust(32, b'\0') +
                    struct.pack('<QQ', at, len(payload)))
        data += payload
        at += len(payload)
    data += entries
    with open(out, 'wb') as f:
        f.write(data)
    os.chmod(out, 0o755)
    print('%s: %s with %d patches appended (%.1f MB)' % (os.path.basename(out), os.path.basename(program),
                                                          len(payloads), len(data) / 1e6))


def install(root, registry):
    tree = builds.build(builds.FIRST)
    size = 0
    for path, content in sorted(tree.items()):
        data = builds.materialize(content)
        write_file(os.path.join(root, path), data)
        size += len(data)
    shutil.copyfile(os.path.join(HERE, 'kpatchl-w32'), os.path.join(root, TOOL))
    os.chmod(os.path.join(root, TOOL), 0o755)
    write_utility(root)
    write_registry(registry, root)
    uninstall_log.write(os.path.join(root, LOG), [log_path(root, p) for p in sorted(tree)])
    print('build %d: %d files, %.1f MB, %s with %d records' %
          (builds.FIRST, len(tree), size / 1e6, LOG, len(tree) + 1))


def lines(groups):
    return b''.join(line.encode('cp1252') + b'\r\n' for group in groups for line in group)


def md5(data):
    return hashlib.md5(data).hexdigest()


def package(step, stage, out):
    old_tree = builds.build(step - 1)
    added, deleted, patched, replacing = [], [], [], 0
    with tempfile.TemporaryDirectory() as scratch:
        for op in builds.STEPS[step]:
            kind, path = op[0], op[1]
            listed = builds.list_path(path)
            if kind == 'add':
                data = builds.materialize(op[2])
                write_file(os.path.join(stage, 'data', path), data)
                added.append((listed, md5(data), ''))
                replacing += path in old_tree
            elif kind == 'delete':
                deleted.append((listed, '', ''))
            else:
                old = builds.materialize(old_tree[path])
                new = builds.materialize(('edit', old_tree[path], op[2]))
                old_file, new_file = os.path.join(scratch, 'old'), os.path.join(scratch, 'new')
                write_file(old_file, old)
                write_file(new_file, new)
                diff = os.path.join(stage, 'data', path + '.diff')
                os.makedirs(os.path.dirname(diff), exist_ok=True)
                subprocess.run(['xdelta3', '-e', '-f', '-s', old_file, new_file, diff], check=True)
                patched.append((listed, md5(new), md5(old)))
    for name, groups in (('addedFiles.txt', added), ('deletedFiles.txt', deleted),
                         ('patchedFiles.txt', patched)):
        write_file(os.path.join(stage, name), lines(groups))
    package_format.write(2, stage, out)
    print('patch %d -> %d: %d added (%d of them replacing a file), %d deleted, %d binary-patched; '
          'package %s, %.1f KB' % (step - 1, step, len(added), replacing, len(deleted), len(patched),
                                   os.path.basename(out), os.path.getsize(out) / 1e3))


def verify(step, root, md5_output):
    expected = {path: md5(builds.materialize(c)) for path, c in builds.build(step).items()}
    found = {}
    with open(md5_output, encoding='utf-8', errors='surrogateescape') as f:
        for line in f:
            digest, path = line.rstrip('\n').split('  ', 1)
            found[os.path.normpath(path)] = digest
    faults = []
    for path, digest in sorted(expected.items()):
        if path not in found:
            faults.append('missing: ' + path)
        elif found[path] != digest:
            faults.append('MD5 differs: %s (%s, expected %s)' % (path, found[path], digest))
    for path in sorted(set(found) - set(expected) - {LOG, TOOL, UTILITY}):
        faults.append('not in build %d: %s' % (step, path))

    first = builds.build(builds.FIRST)
    # A record for each added file the log does not name yet (it names build 100's files already).
    named, added = set(first), 0
    for s in range(builds.FIRST + 1, step + 1):
        for op in builds.STEPS[s]:
            if op[0] == 'add' and op[1] not in named:
                named.add(op[1])
                added += 1
    want_records = len(first) + 1 + added
    try:
        records = uninstall_log.read(os.path.join(root, LOG))
        if len(records) != want_records:
            faults.append('%s: %d records, expected %d' % (LOG, len(records), want_records))
        else:
            print('%s: %d records (%d at build %d, one more for each of the %d files the patches added new), '
                  'every CRC valid' % (LOG, len(records), len(first) + 1, builds.FIRST, added))
    except (OSError, ValueError) as error:
        faults.append('%s: %s' % (LOG, error))

    for fault in faults:
        print('FAULT: ' + fault)
    if faults:
        return 1
    print('%d files checked against build %d, every MD5 matching' % (len(expected), step))
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == 'install':
        install(argv[2], argv[3])
    elif len(argv) >= 5 and argv[1] == 'append':
        append(argv[2], argv[3], argv[4:])
    elif len(argv) == 5 and argv[1] == 'package':
        package(int(argv[2]), argv[3], argv[4])
    elif len(argv) == 5 and argv[1] == 'verify':
        return verify(int(argv[2]), argv[3], argv[4])
    else:
        sys.exit(__doc__)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
