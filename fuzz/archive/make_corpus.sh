#!/bin/sh
# Rebuilds the committed seed corpus of every archive fuzz target (corpus/<target>/): small valid
# archives of each kind made with Python's zipfile, Info-ZIP zip and 7z, heads of the other
# kinds, the hand-made self-extractor, and the kept regression inputs of tests/archive/regress.
# CI replays these before its fixed fuzzing time (scripts/test.sh).
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
py=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

for t in fuzz_detect fuzz_zip_list fuzz_extract fuzz_mask fuzz_path inflate_fuzz; do
  rm -rf "$here/corpus/$t"
  mkdir -p "$here/corpus/$t"
done

printf '<row id="1" name="patient 7"/>\n<row id="2" name="patient 14"/>\n' > text.txt
printf '<x/>\n' > b.xml
touch -d '2024-03-15 10:30:10' text.txt b.xml
zip -q -X -P pw zip_traditional.zip text.txt b.xml
7z a -bd -tzip -ppw -mem=AES256 7z_aes256.zip text.txt >/dev/null
7z a -bd -tzip -ppw -mem=AES128 -mx0 7z_aes128_stored.zip b.xml >/dev/null
7z a -bd -tzip -mm=Deflate64 7z_deflate64.zip text.txt >/dev/null

$py - "$here" "$root" <<'PY'
import bz2, io, os, shutil, sys, tarfile, zipfile, zlib
here, root = sys.argv[1], sys.argv[2]
corpus = lambda t, name, data: open(os.path.join(here, 'corpus', t, name), 'wb').write(data)
text = open('text.txt', 'rb').read()

def zipped(method, **kw):
    b = io.BytesIO()
    with zipfile.ZipFile(b, 'w', method, **kw) as z:
        z.writestr('text.txt', text)
        z.writestr('sub/b.xml', b'<x/>\n')
        z.writestr('empty/', b'')
    return b.getvalue()

archives = {
    'zip_stored.zip': zipped(zipfile.ZIP_STORED),
    'zip_deflate.zip': zipped(zipfile.ZIP_DEFLATED),
    'zip_bzip2.zip': zipped(zipfile.ZIP_BZIP2),
    'zip_lzma.zip': zipped(zipfile.ZIP_LZMA),
}
zipfile.ZIP64_LIMIT = 0
archives['zip64.zip'] = zipped(zipfile.ZIP_STORED)
zipfile.ZIP64_LIMIT = (1 << 31) - 1
# Written to a stream that cannot seek: data descriptors after the data.
class NoSeek(io.RawIOBase):
    def __init__(self): self.b = bytearray()
    def writable(self): return True
    def write(self, d): self.b += d; return len(d)
s = NoSeek()
with zipfile.ZipFile(s, 'w', zipfile.ZIP_DEFLATED) as z:
    with z.open('stream.txt', 'w') as f: f.write(text)
archives['zip_descriptor.zip'] = bytes(s.b)
b = io.BytesIO()
with zipfile.ZipFile(b, 'w') as z:
    z.writestr('c.txt', b'comment follows')
    z.comment = b'a comment with PK\x05\x06 inside'
archives['zip_comment.zip'] = b.getvalue()
plain = archives['zip_stored.zip']
archives['prefix_garbage.zip'] = bytes(range(100)) + plain
archives['local_only.zip'] = plain[:plain.find(b'PK\x01\x02')]
stub = bytearray(3000); stub[0:2] = b'MZ'; stub[4:6] = (1).to_bytes(2, 'little')
archives['dos_stub.exe'] = bytes(stub) + plain
for f in ('zip_traditional.zip', '7z_aes256.zip', '7z_aes128_stored.zip', '7z_deflate64.zip'):
    archives[f] = open(f, 'rb').read()
archives['sfx_pe_strings.exe'] = open(os.path.join(root, 'tests/archive/fixtures/sfx_pe_strings.exe'), 'rb').read()
tb = io.BytesIO()
with tarfile.open(fileobj=tb, mode='w', format=tarfile.USTAR_FORMAT) as t:
    info = tarfile.TarInfo('text.txt'); info.size = len(text); info.mtime = 1710498610
    t.addfile(info, io.BytesIO(text))
heads = {
    'head.tar': tb.getvalue(),
    'head.gz': b'\x1f\x8b\x08\x00' + bytes(12) + zlib.compress(text)[2:],
    'head.bz2': bz2.compress(text),
    'head.rar': b'Rar!\x1a\x07\x00' + bytes(40),
    'head.cab': b'MSCF' + bytes(60),
    'head.lzh': b'\x20\x00-lh5-' + bytes(40),
    'head.arj': b'\x60\xea\x20\x00' + bytes(60),
    'head.ace': b'1234567**ACE**' + bytes(30),
    'head.b64': b'Content-Transfer-Encoding: Base64\n\nSGVsbG8=\n',
    'head.uue': b'begin 644 a.txt\n#86)C\n`\nend\n',
    'head.arcsfx': b'\xb7\xdf' + bytes(7800),
}
for name, data in archives.items():
    for t in ('fuzz_detect', 'fuzz_zip_list', 'fuzz_extract'):
        corpus(t, name, data)
for name, data in heads.items():
    corpus('fuzz_detect', name, data)

regress = os.path.join(root, 'tests/archive/regress')
for name in sorted(os.listdir(regress)):
    data = open(os.path.join(regress, name), 'rb').read()
    kind = name.split('-')[0]
    targets = {'detect': ['fuzz_detect', 'fuzz_zip_list', 'fuzz_extract'], 'list': ['fuzz_zip_list', 'fuzz_extract'],
               'mask': ['fuzz_mask'], 'path': ['fuzz_path']}.get(kind, ['fuzz_extract'])
    for t in targets:
        corpus(t, 'regress-' + name, data)

for i, (mask, name) in enumerate([('*.*', 'PATIENT.XML'), ('*.xml', 'dir\\b.xml'), ('a?c', 'abc'), ('*?c', 'c'),
                                  ('*.', 'noext'), ('*a*b*c*', 'xaybzc'), ('\xd0*.dbf', '\xf0\xe5\xe3.DBF')]):
    corpus('fuzz_mask', 'mask%d' % i, (mask + '\n' + name).encode('latin-1'))
for i, (mode, name) in enumerate([(4, 'sub/dir/file.txt'), (4, '../evil.txt'), (0, 'C:\\drive\\x.txt'),
                                  (5, 'utf8/\xd0\xbf\xd0\xb0.txt'), (6, '\xa0\xa1.txt'), (4, 'dir/')]):
    corpus('fuzz_path', 'path%d' % i, bytes([mode]) + name.encode('latin-1'))

def raw(data, level, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
    return c.compress(data) + c.flush()
rep = text * 40
corpus('inflate_fuzz', 'deflate-dynamic', bytes([0]) + raw(rep, 6))
corpus('inflate_fuzz', 'deflate-fixed', bytes([1 | 8]) + raw(rep, 6, zlib.Z_FIXED))
corpus('inflate_fuzz', 'deflate-stored', bytes([2 | 16]) + raw(text, 0))
corpus('inflate_fuzz', 'deflate-huffman', bytes([3 | 24]) + raw(rep, 9, zlib.Z_HUFFMAN_ONLY))
# A skewed alphabet (codes of up to 15 bits, beyond the root of the decoding tables, and pairs of
# short ones) and binary records (matches of every distance class), a few kilobytes each.
seed = [1]
def rnd():
    seed[0] = (seed[0] * 1103515245 + 12345) & 0x7FFFFFFF
    return seed[0] >> 8
def geometric(r):
    k = 0
    while k < 15 and (r >> k) & 1:
        k += 1
    return k
skewed = bytes(65 + geometric(rnd()) for _ in range(12000))
records = bytes((rnd() % 16) * (i % 4 == 0) for i in range(3000)) + bytes([7]) * 600 + bytes(rnd() % 8 for _ in range(500))
corpus('inflate_fuzz', 'deflate-skewed', bytes([0 | 8]) + raw(skewed, 9, zlib.Z_HUFFMAN_ONLY))
corpus('inflate_fuzz', 'deflate-records', bytes([1 | 16]) + raw(records + records[1000:2500], 6))
z = archives['7z_deflate64.zip']
n, x, size = int.from_bytes(z[26:28], 'little'), int.from_bytes(z[28:30], 'little'), int.from_bytes(z[18:22], 'little')
corpus('inflate_fuzz', 'deflate64', bytes([4]) + z[30 + n + x:30 + n + x + size])
corpus('inflate_fuzz', 'bzip2', bytes([6 | 8]) + bz2.compress(rep))
PY
du -sh "$here/corpus"
