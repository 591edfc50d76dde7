#!/bin/sh
# Rebuilds the committed seed corpus of the tasks' fuzz target (corpus/tasks_xmldom_fuzz/):
# register files as the XML import reads them (REGISTER/HEADER/BODY/ZAP records) in each
# encoding the loader tells apart (UTF-8 with and without a declaration or byte-order mark,
# declared windows-1251, UTF-16 with either byte-order mark), XML data packets of the
# client-dataset format as the clinic's other programs exchange them.
# CI replays these before its fixed fuzzing time (scripts/test.sh).
set -e
here=$(cd "$(dirname "$0")" && pwd)
py=/usr/bin/python3
rm -rf "$here/corpus/tasks_xmldom_fuzz"
mkdir -p "$here/corpus/tasks_xmldom_fuzz"

$py - "$here" <<'PY'
import os, sys
here = sys.argv[1]
target = 'tasks_xmldom_fuzz'
def corpus(name, data):
    with open(os.path.join(here, 'corpus', target, name), 'wb') as f:
        f.write(data)

def esc(s):
    return s.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')

def el(name, value, indent):
    return '' if value is None else '%s<%s>%s</%s>\n' % (indent, name, esc(value), name)

def zap(fam='Иванов', im='Иван', ot='Иванович', dr='1980-05-17', diagnoses=(('J06.9', '1'),), comments=True,
        npolis='6800000000000001', extra=''):
    s = '    <ZAP>\n' + ('      <!-- record -->\n' if comments else '')
    s += '      <PACIENT>\n        <DPFS>\n' + el('NPOLIS', npolis, ' ' * 10) + el('ENP', npolis, ' ' * 10)
    s += '          <MTR>\n' + el('VPOLIS', '3', ' ' * 12) + el('DATE_N', '2020-01-15', ' ' * 12) + '          </MTR>\n'
    s += '        </DPFS>\n        <PERS>\n'
    for n, v in (('FAM', fam), ('IM', im), ('OT', ot), ('DR', dr), ('W', '1'), ('MR', 'г. Тамбов'),
                 ('OKATOG', '69401000000')):
        s += el(n, v, ' ' * 10)
    s += '        </PERS>\n        <PACIENT_TO>\n          <CLS_PAC>\n'
    s += el('SPR_SOC', '1', ' ' * 12) + el('SPR_LGT', '0', ' ' * 12) + el('SPR_INVLD', '0', ' ' * 12)
    s += '          </CLS_PAC>\n        </PACIENT_TO>\n      </PACIENT>\n'
    s += '      <SLUCH>\n        <SL_COM>\n' + el('KODVR', '101', ' ' * 10) + el('DATE_1', '2026-11-05', ' ' * 10)
    s += el('RSLT', '301', ' ' * 10)
    for mkb, kind in diagnoses:
        s += '          <CLS_MKB>\n' + el('MKB', mkb, ' ' * 12) + el('MKB_TYPE', kind, ' ' * 12) + '          </CLS_MKB>\n'
    s += extra
    s += '        </SL_COM>\n        <SL_AMB>\n' + el('SPEC', '76', ' ' * 10) + el('POS_SCEL', '1', ' ' * 10)
    s += el('POS_MEST', '1', ' ' * 10) + '        </SL_AMB>\n      </SLUCH>\n    </ZAP>\n'
    return s

def register(records, filename='A061X06891000011XX', comments=True, head=('CODE', 'SMO_PLAT', 'YEAR', 'MONTH', 'NSCHET', 'DSCHET')):
    s = '<REGISTER>\n' + ('  <!-- header -->\n' if comments else '')
    s += '  <HEADER>\n    <VERSION>1.0</VERSION>\n' + el('FILENAME', filename, '    ') + '  </HEADER>\n  <BODY>\n'
    for i, n in enumerate(head):
        s += el(n, '68001' if n == 'SMO_PLAT' else str(i + 1), '    ')
    return s + ''.join(records) + '  </BODY>\n</REGISTER>\n'

utf8decl = '<?xml version="1.0" encoding="UTF-8"?>\n'
one = register([zap()])
corpus('register-utf8.xml', (utf8decl + one).encode())
corpus('register-utf8-bom.xml', b'\xef\xbb\xbf' + (utf8decl + one).encode())
corpus('register-no-declaration.xml', register([zap(comments=False)], comments=False).encode())
corpus('register-cp1251.xml', ('<?xml version="1.0" encoding="windows-1251"?>\n' + one).encode('cp1251'))
corpus('register-cp866.xml', ("<?xml version='1.0' encoding='cp866'?>\n" + one).encode('cp866'))
corpus('register-utf16le.xml', '\ufeff'.encode('utf-16-le') + ('<?xml version="1.0" encoding="UTF-16"?>\n' + one).encode('utf-16-le'))
corpus('register-utf16be.xml', '\ufeff'.encode('utf-16-be') + one.encode('utf-16-be'))
corpus('register-records.xml', (utf8decl + register([
    zap(),
    zap(fam='Петрова', im='Анна', ot=None, dr='1975-02-28', diagnoses=(('I10', '1'), ('E11.9', '2'), (None, '3'))),
    zap(fam='O\'Brien & Sons <test>', im='Ёлка', npolis=None, diagnoses=()),
    zap(extra='          <NOTE><![CDATA[free <text> & more]]></NOTE>\n          <EMPTY/>\n'),
], filename=None, head=('CODE', 'PLAT', 'YEAR', 'MONTH', 'NSCHET', 'DSCHET', 'EXTRA'))).encode())
# Character references (the placeholder keeps their '&' from being escaped), characters
# outside CP1251, a document type and a processing instruction.
refs = '\x00#1048;\x00#x432;\x00#1072;\x00#1085;\x00#1086;\x00#1074;'
corpus('register-references.xml', (utf8decl + '<!DOCTYPE REGISTER>\n<?import mode="test"?>\n' + register([
    zap(fam=refs, im='Fran\u00e7ois \u20ac', ot='\U0001F600')
]).replace('\x00', '&')).encode())
corpus('register-mixed-content.xml', (utf8decl + '<REGISTER><HEADER>text<VERSION>1.0</VERSION>tail</HEADER>'
                                      '<BODY a="1" b=\'2\'><ZAP/><ZAP></ZAP>\t\r\n</BODY></REGISTER>').encode())

# Client-dataset data packets.
packets = {
    'packet-patient.xml':
        '<?xml version="1.0" standalone="yes"?><DATAPACKET Version="2.0"><METADATA><FIELDS>'
        '<FIELD attrname="IDP" fieldtype="i4"/></FIELDS><PARAMS/></METADATA><ROWDATA>'
        '<ROW IDP="1"/></ROWDATA></DATAPACKET>',
    'packet-types.xml':
        '<?xml version="1.0" standalone="yes"?>\r\n'
        '<DATAPACKET Version="2.0">\r\n<METADATA><FIELDS>'
        '<FIELD attrname="IDP" fieldtype="i4" required="true"/>'
        '<FIELD attrname="LAST_NAME" fieldtype="string" WIDTH="40"/>'
        '<FIELD attrname="BIRTHDAY" fieldtype="date"/>'
        '<FIELD attrname="DATE_INPUT" fieldtype="SQLdateTime"/>'
        '<FIELD attrname="NOTE" fieldtype="bin.hex" SUBTYPE="Text" WIDTH="8"/>'
        '<FIELD attrname="SUM" fieldtype="fixed" DECIMALS="2" WIDTH="15"/>'
        '<FIELD attrname="RATE" fieldtype="r8" SUBTYPE="Money"/>'
        '<FIELD attrname="OK" fieldtype="boolean"/>'
        '<FIELD attrname="KIND" fieldtype="ui1"/>'
        '</FIELDS><PARAMS CHANGE_LOG="1 0 4 2 0 4" LCID="1049"/></METADATA>\r\n<ROWDATA>\r\n'
        '<ROW RowState="4" IDP="1500000001" LAST_NAME="&#200;&#226;&#224;&#237;&#238;&#226;" '
        'BIRTHDAY="19800115" DATE_INPUT="20250301T10:15:00000" NOTE="a&amp;b&#13;&#10;c" SUM="12.34" '
        'RATE="1.5" OK="TRUE" KIND="255"/>\r\n'
        '<ROW RowState="1" IDP="7" LAST_NAME="old" SUM="1.5"/>\r\n'
        '<ROW RowState="8" IDP="7" LAST_NAME="&#x41e;&#1082;" DATE_INPUT="20250302T23:59:59"/>\r\n'
        '<ROW RowState="2" IDP="8"/>\r\n'
        '<!-- a comment --><ROW IDP="9" LAST_NAME="&lt;&quot;&apos;&gt;" OK="false"/>\r\n'
        '</ROWDATA></DATAPACKET>\r\n',
    'packet-visits.xml':
        '<?xml version="1.0" standalone="yes"?><DATAPACKET Version="2.0"><METADATA><FIELDS>'
        '<FIELD attrname="IDV" fieldtype="i4"/><FIELD attrname="IDP" fieldtype="i4"/>'
        '<FIELD attrname="F_DATE_BEGIN" fieldtype="date"/><FIELD attrname="F_DATE_END" fieldtype="date"/>'
        '<FIELD attrname="DIAG" fieldtype="string" WIDTH="10"/></FIELDS><PARAMS/></METADATA><ROWDATA>'
        '<ROW IDV="1" IDP="1" F_DATE_BEGIN="20241101" F_DATE_END="20241105" DIAG="J06.9"/>'
        '<ROW IDV="2" IDP="1" F_DATE_BEGIN="20241201"/></ROWDATA></DATAPACKET>',
    'packet-empty.xml':
        '<?xml version="1.0" standalone="yes"?><DATAPACKET Version="2.0"><METADATA><FIELDS>'
        '<FIELD attrname="IDP" fieldtype="i4"/></FIELDS><PARAMS/></METADATA><ROWDATA/></DATAPACKET>',
}
for name, text in packets.items():
    corpus(name, text.encode('cp1251'))
corpus('packet-utf8-bom.xml', b'\xef\xbb\xbf' + (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
    '<DATAPACKET Version="2.0"><METADATA><FIELDS>'
    '<FIELD attrname="F_DATE_BEGIN" fieldtype="date"/><FIELD attrname="NAME" fieldtype="string.uni" WIDTH="20"/>'
    '</FIELDS><PARAMS/></METADATA><ROWDATA>'
    '<ROW F_DATE_BEGIN="20240101" NAME="Ив&#1072;&#200;"/>'
    '</ROWDATA></DATAPACKET>').encode())
PY
du -sh "$here/corpus"
