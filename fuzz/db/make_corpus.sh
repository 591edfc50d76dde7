#!/bin/sh
# Writes the seed corpus of the data packet fuzz target: XML packets (every field type,
# a change log with rows of each state, UTF-8 with a byte-order mark) and binary packets
# (every field kind, a change log property), made by hand from the layouts that
# db/DataPacket.README.md describes. Needs python3.
set -e
out="$(dirname "$0")/corpus/db_packet_fuzz"
mkdir -p "$out"
python3 - "$out" <<'PY'
import os, struct, sys
out = sys.argv[1]

def put(name, data):
    if isinstance(data, str):
        data = data.encode('latin-1')
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)

head = '<?xml version="1.0" standalone="yes"?>  <DATAPACKET Version="2.0"><METADATA><FIELDS>'
put('xml_types.xml', head +
    '<FIELD attrname="ID" fieldtype="i4" required="true"/><FIELD attrname="SMALL" fieldtype="i2"/>'
    '<FIELD attrname="BIG" fieldtype="i8"/><FIELD attrname="REAL" fieldtype="r8"/>'
    '<FIELD attrname="MONEY" fieldtype="fixed" DECIMALS="4" WIDTH="18"/><FIELD attrname="FLAG" fieldtype="boolean"/>'
    '<FIELD attrname="NAME" fieldtype="string" WIDTH="30"/><FIELD attrname="BIRTHDAY" fieldtype="date"/>'
    '<FIELD attrname="CALL_TIME" fieldtype="time"/><FIELD attrname="DATE_INPUT" fieldtype="SQLdateTime"/>'
    '<FIELD attrname="NOTE" fieldtype="bin.hex" SUBTYPE="Text" WIDTH="8"/>'
    '<FIELD attrname="FORMA" fieldtype="bin.hex" SUBTYPE="Binary" WIDTH="8"/>'
    '</FIELDS><PARAMS/></METADATA><ROWDATA>'
    '<ROW ID="1" SMALL="-32768" BIG="9000000000123" REAL="-0.3333333333333333" MONEY="-12345.6789" FLAG="TRUE" '
    'NAME="A&lt;B&gt;&amp;&quot;&#200;&#255;" BIRTHDAY="19800115" CALL_TIME="14:30:05012" '
    'DATE_INPUT="20250301T10:15:071231" NOTE="line1&#13;&#10;line2" FORMA="AAH/PD4mIic="/>'
    '<ROW ID="2"/><ROW ID="3" CALL_TIME="23:59:599999" DATE_INPUT="00010101T00:00:00" FLAG="FALSE"/>'
    '</ROWDATA></DATAPACKET>')
put('xml_change_log.xml',
    '<DATAPACKET Version="2.0"><METADATA><FIELDS><FIELD attrname="ID" fieldtype="i4"/>'
    '<FIELD attrname="NAME" fieldtype="string" WIDTH="20"/><FIELD attrname="AGE" fieldtype="i2"/></FIELDS>'
    '<PARAMS CHANGE_LOG="3 1 8 4 2 8 5 0 4"/></METADATA><ROWDATA>'
    '<ROW RowState="1" ID="7" NAME="seven" AGE="30"/><ROW RowState="1" ID="8" NAME="eight" AGE="40"/>'
    '<ROW RowState="8" NAME="seven, new"/><ROW RowState="8" AGE="41"/><ROW RowState="4" ID="9" NAME="nine"/>'
    '<ROW RowState="2" ID="10"/><ROW RowState="8" AGE="1"/><!-- a comment --><ROW ID="11" UNKNOWN="x"/>'
    '</ROWDATA></DATAPACKET>')
put('xml_utf8.xml', b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?><DATAPACKET Version="2.0">'
    b'<METADATA><FIELDS><FIELD attrname="\xd0\xa4\xd0\x98\xd0\x9e" fieldtype="string.uni" WIDTH="20"/>'
    b'<FIELD attrname="F_DATE_BEGIN" fieldtype="date"/></FIELDS><PARAMS/></METADATA><ROWDATA>'
    b'<ROW \xd0\xa4\xd0\x98\xd0\x9e="\xd0\x98\xd0\xb2&#1072;&#x415;" F_DATE_BEGIN="20240101"/>'
    b'<ROW F_DATE_BEGIN="99991231"/></ROWDATA></DATAPACKET>')
put('xml_cp1251.xml', '<?xml version="1.0" encoding="windows-1251"?><DATAPACKET Version="2.0"><METADATA><FIELDS>'
    '<FIELD attrname="\xd4\xc8\xce" fieldtype="string" WIDTH="20"/></FIELDS><PARAMS/></METADATA><ROWDATA>'
    '<ROW \xd4\xc8\xce="\xc8\xe2\xe0\xed\xee\xe2"/></ROWDATA></DATAPACKET>')

def u(v, n):
    return (v & ((1 << (8 * n)) - 1)).to_bytes(n, 'little')

def s(t):
    t = t.encode('latin-1') if isinstance(t, str) else t
    return bytes([len(t)]) + t

def field(name, size, kind, props=b'', count=0, attrs=0):
    return s(name) + u(size, 2) + u(kind, 2) + u(attrs, 2) + u(count, 2) + props

def int_prop(name, v):
    return s(name) + u(4, 2) + u(1, 2) + u(v, 4)

def packet(fields, props, records, rows):
    meta = b''.join(fields) + props
    return (b'\x96\x19\xe0\xbd' + u(1, 4) + u(18, 4) + u(len(fields), 2) + u(records, 4) + u(3, 4) +
            u(len(meta), 2) + meta + rows)

def bcd(digits, places, neg=False):
    b = bytearray(34)
    b[0] = len(digits)
    b[1] = (0x80 if neg else 0) | places
    for i, ch in enumerate(digits):
        d = int(ch)
        b[2 + i // 2] |= d if i % 2 else d << 4
    return bytes(b)

DAY1899 = 693594
fields = [field('ID', 4, 1, attrs=4), field('U', 2, 2), field('FLAG', 2, 3), field('REAL', 8, 4),
          field('MONEY', 34, 5, int_prop('WIDTH', 18) + int_prop('DECIMALS', 2), 2), field('D', 4, 6),
          field('T', 4, 7), field('TF', 8, 7), field('S', 8, 8), field('FIX', 6, 9),
          field('VAR', 2, 9 | 0x40, int_prop('WIDTH', 40), 1), field('W', 2, 10 | 0x40),
          field('MEMO', 4, 11 | 0x40, s('SUBTYPE') + u(4, 2) + u(9, 2) + b'Text', 1), field('BLOB', 1, 11 | 0x40)]
bitmap_bytes = (len(fields) + 3) // 4
row1 = (b'\x00' + bytes(bitmap_bytes) + u(101, 4) + u(65535, 2) + u(0xFFFF, 2) + struct.pack('<d', 2.5) +
        bcd('1234567', 2, True) + u(DAY1899 + 45000, 4) + u(52205250, 4) + struct.pack('<d', 52205250.5) +
        struct.pack('<d', (DAY1899 + 45000) * 86400000.0 + 3723000.7) + b'ab\x00\x00\x00\x00' +
        u(3, 2) + b'\xd3\xeb.' + u(4, 2) + '\u0418\u0432'.encode('utf-16-le') + u(5, 4) + b'memo1' + u(2, 1) + b'\x00\xff')
row2 = b'\x04' + bytes([0x55] * bitmap_bytes) + b''
put('bin_types.bin', packet(fields, u(0, 2), 2, row1 + row2))

log = s('CHANGE_LOG') + u(4, 2) + u(0x80 | 2, 2) + u(6, 4) + b''.join(u(v, 4) for v in (3, 1, 8, 4, 0, 4))
two = [field('ID', 4, 1), field('NAME', 1, 9 | 0x40)]
rows = (b'\x01\x00' + u(7, 4) + u(3, 1) + b'old' + b'\x01\x00' + u(8, 4) + u(3, 1) + b'eig' +
        b'\x08\x02' + u(3, 1) + b'new' + b'\x04\x00' + u(9, 4) + u(4, 1) + b'nine' + b'\x02\x05')
put('bin_change_log.bin', packet(two, u(1, 2) + log, 5, rows))
PY
