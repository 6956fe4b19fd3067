#!/usr/bin/python3
"""Checks the compound-file report fixtures with python3-olefile, a reader independent of
Keldrin's own, so that a fixture is never vouched for by the code it tests.

usage: check-fixtures.py [--corpus DIR]

For every file of tests/fixtures/psr and examples/example.psr: olefile must accept it,
list exactly the elements expected, and give every stream the expected size and bytes
(generated streams hold byte i = i % 251). Report-shaped files must hold "source",
"object" with version digits at bytes 3..5, and a "dwstg/dwlookup" whose every child
has its source_N and object_N streams. With --corpus, the compound-file report of the
corpus is read too and its streams are compared with the sizes and FNV-1a hashes that
tests/psr/corpus_test.cpp expects from Keldrin's reader.
"""
import os
import struct
import sys

import olefile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(ROOT, 'tests', 'fixtures', 'psr')

STREAM_SET = {
    'empty': 0, 's2048': 2048, 's4096': 4096, 's5000': 5000, 'small': 100, 'large': 70000,
    'outer/mid': 5000, 'outer/inner/deep': 300, 'outer/inner/big': 9000, 'Source': 7,
}
STREAM_STORAGES = {'outer', 'outer/inner', 'emptystg'}

GENERATED = {
    'streams.cfb': (512, 3, STREAM_SET, STREAM_STORAGES),
    'sector4096.cfb': (4096, 4, STREAM_SET, STREAM_STORAGES),
    'difat.cfb': (512, 3, {'small': 100, 's5000': 5000, 'outer/deep': 3000}, {'outer'}),
}

REPORTS = {
    # file: (children as (name, number), version digits, unicode)
    'many_children.psr': ([('D_Child_%03d' % n, n) for n in range(1, 121)], '105', False),
    'unicode_report.psr': ([('D_Unicode_\u00c9t\u00e9', 3), ('d_second\tjunk', 7)], '125', True),
    os.path.join('..', '..', '..', 'examples', 'example.psr'):
        ([('d_example_dept', 1), ('d_example_state', 2)], '090', False),
}

# The corpus's one compound-file report: stream -> (size, FNV-1a 32 of its bytes).
CORPUS_OLE = 'thansuoi113__PowerBuilder-Examples-And-Skills-Part-2/PB105/57.PSRBrowser/12.psr'
CORPUS_STREAMS = {
    'FSInfo': (68, 0x25E1456B), 'RSM': (16, 0x045B9FB6), 'data': (1971, 0xF501F95A),
    'dwstg/dwlookup': (0, 0x811C9DC5), 'object': (5624, 0x8A9F6206),
    'original_data': (44, 0xB9CB00E1), 'source': (7007, 0xED50BD6D),
}

failures = []


def fail(message):
    failures.append(message)
    print('FAIL ' + message)


def fnv1a(data):
    h = 0x811C9DC5
    for b in data:
        h = ((h ^ b) * 0x01000193) & 0xFFFFFFFF
    return h


def elements(ole):
    streams = {'/'.join(p): ole.openstream(p).read() for p in ole.listdir(streams=True, storages=False)}
    storages = {'/'.join(p) for p in ole.listdir(streams=False, storages=True)}
    return streams, storages


def check_generated(name, sector, major, expected_streams, expected_storages):
    path = os.path.join(FIXTURES, name)
    ole = olefile.OleFileIO(path)
    if ole.sector_size != sector or ole.dll_version != major:
        fail('%s: sector size %d version %d' % (name, ole.sector_size, ole.dll_version))
    streams, storages = elements(ole)
    if set(streams) != set(expected_streams):
        fail('%s: streams %s' % (name, sorted(streams)))
    if storages != expected_storages:
        fail('%s: storages %s' % (name, sorted(storages)))
    for stream, size in expected_streams.items():
        data = streams.get(stream)
        if data != bytes(i % 251 for i in range(size)):
            fail('%s: stream %s has wrong bytes' % (name, stream))


def check_report(name, children, version, unicode):
    path = os.path.normpath(os.path.join(FIXTURES, name))
    ole = olefile.OleFileIO(path)
    streams, storages = elements(ole)
    source, obj, lookup = streams.get('source'), streams.get('object'), streams.get('dwstg/dwlookup')
    if source is None or obj is None or lookup is None:
        fail('%s: a report stream is missing' % name)
        return
    if (source[1] == 0) != unicode:
        fail('%s: source encoding' % name)
    if obj[3:6].decode('ascii') != version:
        fail('%s: version bytes %r' % (name, obj[3:6]))
    size, field = (86, 84) if unicode else (44, 42)
    count = struct.unpack_from('<I', lookup, 0)[0]
    if count != len(children) or len(lookup) != 4 + count * size:
        fail('%s: lookup count %d' % (name, count))
    for i, (child, number) in enumerate(children):
        record = lookup[4 + i * size:4 + (i + 1) * size]
        text = record[:field].decode('utf-16-le' if unicode else 'cp1252').split('\0')[0]
        if text != child or struct.unpack_from('<H', record, field)[0] != number:
            fail('%s: lookup record %d' % (name, i))
        for kind in ('source', 'object'):
            if 'dwstg/%s_%d' % (kind, number) not in streams:
                fail('%s: no dwstg/%s_%d' % (name, kind, number))
    expected = {'source', 'object', 'dwstg/dwlookup'}
    expected |= {'dwstg/%s_%d' % (k, n) for _, n in children for k in ('source', 'object')}
    if set(streams) != expected or storages != {'dwstg'}:
        fail('%s: unexpected elements' % name)


def check_corpus(corpus):
    path = os.path.join(corpus, CORPUS_OLE)
    if not os.path.exists(path):
        print('skip corpus: %s not found' % path)
        return
    streams, _ = elements(olefile.OleFileIO(path))
    if set(streams) != set(CORPUS_STREAMS):
        fail('corpus: streams %s' % sorted(streams))
    for stream, (size, digest) in CORPUS_STREAMS.items():
        data = streams.get(stream, b'')
        if len(data) != size or fnv1a(data) != digest:
            fail('corpus: %s is %d bytes, FNV-1a %08x' % (stream, len(data), fnv1a(data)))


def main(argv):
    corpus = None
    if len(argv) >= 2 and argv[0] == '--corpus':
        corpus = argv[1]
    on_disk = {f for f in os.listdir(FIXTURES) if f.endswith(('.cfb', '.psr'))}
    known = set(GENERATED) | {n for n in REPORTS if os.sep not in n}
    if on_disk != known:
        fail('fixtures on disk %s, known %s' % (sorted(on_disk), sorted(known)))
    for name in sorted(on_disk | known):
        if not olefile.isOleFile(os.path.join(FIXTURES, name)):
            fail('%s: olefile does not take it for a compound file' % name)
    for name, args in GENERATED.items():
        check_generated(name, *args)
    for name, args in REPORTS.items():
        check_report(name, *args)
    if corpus:
        check_corpus(corpus)
    print('%d failure(s)' % len(failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
