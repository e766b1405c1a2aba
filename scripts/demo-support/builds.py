"""The demo's game builds: build 100 as a tree of generated files, and the two steps that bring it
to 101 and 102. Every content is made from a seed, so each run makes the same bytes.

A content is a tuple: ('random', seed, size) or ('edit', base, seed), the base content with a few
ranges overwritten and some bytes inserted (what a binary patch is good at), or ('text', words).
"""
import random

MiB = 1 << 20
KiB = 1 << 10

FIRST = 100


def materialize(content):
    kind = content[0]
    if kind == 'random':
        return random.Random(content[1]).randbytes(content[2])
    if kind == 'text':
        return content[1].encode('cp1252')
    if kind == 'edit':
        data = bytearray(materialize(content[1]))
        rng = random.Random(content[2])
        for _ in range(8):
            at = rng.randrange(len(data))
            piece = rng.randbytes(rng.randrange(16, 4 * KiB))
            data[at:at + len(piece)] = piece
        at = rng.randrange(len(data))
        data[at:at] = rng.randbytes(64 * KiB)
        return bytes(data)
    raise ValueError('unknown content kind %r' % kind)


def build_100():
    """relative path ("/" separators) -> content; about 280 files, about 230 MB."""
    tree = {
        'bin/game.dll': ('random', 1, 12 * MiB),
        'bin/render.dll': ('random', 2, 6 * MiB),
        'bin/legacy.dll': ('random', 3, 2 * MiB),
        'bin/config.ini': ('text', '[game]\r\nbuild=100\r\nfullscreen=1\r\n'),
        'docs/Read Me.txt': ('text', 'Welcome to build 100.\r\n'),
        'docs/old manual.txt': ('text', 'The manual of build 100.\r\n' * 200),
    }
    for i in range(10):
        tree['data/textures/big_%02d.tex' % i] = ('random', 100 + i, 16 * MiB)
    rng = random.Random(7)
    for r, route in enumerate(['hills', 'valley', 'old', 'city', 'harbour']):
        for i in range(52):
            tree['data/routes/%s/track_%03d.bin' % (route, i)] = ('random', 1000 + 100 * r + i,
                                                                 rng.randrange(16 * KiB, 160 * KiB))
    return tree


# Each step: the patch package's operations. 'add' brings a new file or replaces one as a whole,
# 'patch' rebuilds a file from a binary difference, 'delete' removes one.
STEPS = {
    101: [
        ('add', 'data/routes/coast/track_000.bin', ('random', 2000, 96 * KiB)),
        ('add', 'data/routes/coast/track_001.bin', ('random', 2001, 64 * KiB)),
        ('add', 'data/routes/coast/signals/main signal.bin', ('random', 2002, 20 * KiB)),
        ('add', 'docs/Release Notes.txt', ('text', 'Build 101: the coast route.\r\n')),
        ('add', 'docs/Read Me.txt', ('text', 'Welcome to build 101.\r\n')),
        ('add', 'bin/config.ini', ('text', '[game]\r\nbuild=101\r\nfullscreen=1\r\n')),
        ('delete', 'bin/legacy.dll'),
        ('delete', 'data/routes/old/track_010.bin'),
        ('delete', 'data/routes/old/track_011.bin'),
        ('patch', 'bin/game.dll', 11),
        ('patch', 'data/textures/big_00.tex', 12),
        ('patch', 'data/routes/hills/track_003.bin', 13),
    ],
    102: [
        ('add', 'data/sound/horns/horn 2.wav', ('random', 3000, 128 * KiB)),
        ('add', 'bin/plugins/extra.dll', ('random', 3001, 256 * KiB)),
        ('add', 'docs/Release Notes.txt', ('text', 'Build 101: the coast route.\r\nBuild 102: new horns.\r\n')),
        ('add', 'data/routes/coast/track_001.bin', ('random', 3002, 80 * KiB)),
        ('delete', 'data/routes/coast/track_000.bin'),
        ('delete', 'docs/old manual.txt'),
        ('patch', 'bin/game.dll', 21),
        ('patch', 'bin/render.dll', 22),
        ('patch', 'data/textures/big_01.tex', 23),
        ('patch', 'data/routes/coast/signals/main signal.bin', 24),
    ],
}


def apply_step(tree, step):
    tree = dict(tree)
    for op in STEPS[step]:
        if op[0] == 'add':
            tree[op[1]] = op[2]
        elif op[0] == 'delete':
            del tree[op[1]]
        else:
            tree[op[1]] = ('edit', tree[op[1]], op[2])
    return tree


def build(number):
    tree = build_100()
    for step in range(FIRST + 1, number + 1):
        tree = apply_step(tree, step)
    return tree


def list_path(path):
    """The path as the package's lists write it."""
    return path.replace('/', '\\')
