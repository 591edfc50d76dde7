#!/usr/bin/python3
"""Writes a dBase III table with the python3-dbf package, text in CP866 (or the code page
the description names, which the header's language driver byte then declares).

Usage: dbf_writer.py TABLE.json

TABLE.json: {"path": file, "fields": "NAME C(20); BORN D; N1 N(5,0)",
       "records": [[value, ...], ...], "deleted": [0-based record numbers],
       "codepage": "cp866" (optional)}
Values are JSON null (a blank field), texts, or for D fields "YYYY-MM-DD"; N fields take
numbers or numeric texts.
"""
import datetime
import json
import sys

import dbf


def field_types(fields):
    types = []
    for part in fields.split(';'):
        part = part.strip()
        if part:
            types.append(part.split()[1][0].upper())
    return types


def convert(kind, value):
    if value is None:
        return None
    if kind == 'D':
        return datetime.date.fromisoformat(value)
    if kind in 'NF':
        if isinstance(value, str):
            return float(value) if '.' in value else int(value)
        return value
    if kind == 'L':
        return bool(value)
    return value


def main():
    with open(sys.argv[1], encoding='utf-8') as f:
        desc = json.load(f)
    types = field_types(desc['fields'])
    table = dbf.Table(desc['path'], desc['fields'], codepage=desc.get('codepage', 'cp866'),
                      dbf_type='db3')
    table.open(dbf.READ_WRITE)
    deleted = set(desc.get('deleted', []))
    for i, rec in enumerate(desc['records']):
        if len(rec) != len(types):
            raise SystemExit('record %d has %d values for %d fields' % (i, len(rec), len(types)))
        table.append(tuple(convert(k, v) for k, v in zip(types, rec)))
        if i in deleted:
            dbf.delete(table[-1])
    table.close()


if __name__ == '__main__':
    main()
