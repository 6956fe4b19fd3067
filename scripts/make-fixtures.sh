#!/usr/bin/env bash
# Regenerates the compound-file report fixtures (tests/fixtures/psr/*) and the example
# report (examples/example.psr). The compound files are written by libgsf, a writer
# independent of Keldrin, through the small program scripts/fixtures/mkole.c; python3
# only prepares the stream contents. Needs libgsf-1-dev, pkg-config, a C compiler and
# python3. The output is deterministic: rerunning it must leave git with no diff.
# scripts/check-fixtures.py checks every file it writes with python3-olefile.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cc ${CFLAGS:--O1} -o "$work/mkole" scripts/fixtures/mkole.c $(pkg-config --cflags --libs libgsf-1)
mkole="$work/mkole"
out=tests/fixtures/psr
mkdir -p "$out" examples

python3 - "$work" <<'PY'
import struct, sys, os
work = sys.argv[1]

def put(name, data):
    with open(os.path.join(work, name), 'wb') as f:
        f.write(data)

def source(name, columns, release='9'):
    lines = ['release %s;' % release,
             'datawindow(units=0 timer_interval=0 color=16777215 processing=0 print.documentname="%s" )' % name,
             'header(height=72 color="536870912" )',
             'detail(height=84 color="536870912" )',
             'table(']
    for i, col in enumerate(columns):
        lines.append(' column=(type=char(%d) updatewhereclause=yes name=%s dbname="%s" )' % (20 + 10 * i, col, col))
    lines.append(' retrieve="SELECT %s FROM keldrin_demo" )' % ', '.join(columns))
    for i, col in enumerate(columns):
        lines.append('column(band=detail id=%d alignment="0" tabsequence=%d border="0" color="0" x="%d" y="4" '
                     'height="64" width="400" format="[general]" name=%s font.face="Arial" font.height="-9" )'
                     % (i + 1, (i + 1) * 10, 9 + 420 * i, col))
    return ('\r\n'.join(lines) + '\r\n').encode('ascii')

def obj(version, seed, size):
    # Stand-in compiled object: the marker and version digits up front, then filler.
    head = b'PDW' + version.encode('ascii') + b'\0'
    return head + bytes((seed + 7 * i) % 256 for i in range(size - len(head)))

def lookup_ansi(children):
    data = struct.pack('<I', len(children))
    for name, number in children:
        field = name.encode('cp1252')[:42]
        data += field + b'\0' * (42 - len(field)) + struct.pack('<H', number)
    return data

def lookup_unicode(children):
    data = struct.pack('<I', len(children))
    for name, number in children:
        field = name.encode('utf-16-le')[:84]
        data += field + b'\0' * (84 - len(field)) + struct.pack('<H', number)
    return data

# The example report: one main DataWindow and two children.
put('ex_source', source('d_example', ['emp_id', 'emp_name', 'dept_id']))
put('ex_object', obj('0900', 1, 600))
put('ex_source_1', source('d_example_dept', ['dept_id', 'dept_name']))
put('ex_object_1', obj('0900', 2, 300))
put('ex_source_2', source('d_example_state', ['state_code']))
put('ex_object_2', obj('0900', 3, 280))
put('ex_lookup', lookup_ansi([('d_example_dept', 1), ('d_example_state', 2)]))

# A report with 120 children, so the directory spans many sectors.
many = [('D_Child_%03d' % n, n) for n in range(1, 121)]
put('many_lookup', lookup_ansi(many))
put('many_source', source('d_many', ['a']))
put('many_object', obj('1050', 4, 64))
for name, n in many:
    put('many_source_%d' % n, source(name.lower(), ['c%d' % n]))
    put('many_object_%d' % n, obj('1050', n, 40 + n))

# A Unicode report (text as UTF-16LE) with two children in the 86-byte layout.
put('uni_source', source('d_unicode', ['col']).decode('ascii').encode('utf-16-le'))
put('uni_object', obj('1250', 9, 200))
put('uni_lookup', lookup_unicode([('D_Unicode_\u00c9t\u00e9', 3), ('d_second\tjunk', 7)]))
put('uni_source_3', 'release 12.5;\r\n'.encode('utf-16-le'))
put('uni_object_3', obj('1250', 10, 100))
put('uni_source_7', 'release 12.5;\r\n'.encode('utf-16-le'))
put('uni_object_7', obj('1250', 11, 100))
PY

# Stream sizes around the read chunk (2048) and the mini stream cutoff (4096), nested
# storages, an empty storage, and streams beside the report's own.
"$mkole" "$out/streams.cfb" \
    empty=#0 s2048=#2048 s4096=#4096 s5000=#5000 small=#100 large=#70000 \
    outer/mid=#5000 outer/inner/deep=#300 outer/inner/big=#9000 emptystg/ Source=#7

# The same with 4096-byte sectors (major version 4).
"$mkole" -s 4096 "$out/sector4096.cfb" \
    empty=#0 s2048=#2048 s4096=#4096 s5000=#5000 small=#100 large=#70000 \
    outer/mid=#5000 outer/inner/deep=#300 outer/inner/big=#9000 emptystg/ Source=#7

# A file whose FAT needs more sectors than the header's 109 DIFAT slots name, so the
# DIFAT continues in a sector of its own. libgsf only gets there past 7 MB of data, so
# this takes a small libgsf file and lengthens its FAT by 110 sectors of free entries
# (a FAT longer than the file needs, which readers must accept) listed through one DIFAT
# sector. check-fixtures.py has python3-olefile read the result.
"$mkole" "$work/difat_base.cfb" small=#100 s5000=#5000 outer/deep=#3000
python3 - "$work/difat_base.cfb" "$out/difat.cfb" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
SECTOR, FREE, END, FATSECT, DIFSECT = 512, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC
per = SECTOR // 4
assert len(data) % SECTOR == 0
sectors = len(data) // SECTOR - 1
fat_count = struct.unpack_from('<I', data, 44)[0]
assert fat_count <= 109 and struct.unpack_from('<I', data, 72)[0] == 0
fat_sectors = list(struct.unpack_from('<%dI' % fat_count, data, 76))
fat = []
for s in fat_sectors:
    fat += struct.unpack_from('<%dI' % per, data, (s + 1) * SECTOR)
extra = 110
new_fat = list(range(sectors, sectors + extra))
difat_sector = sectors + extra
all_fat = fat_sectors + new_fat
fat += [FREE] * (len(all_fat) * per - len(fat))
for s in new_fat:
    fat[s] = FATSECT
fat[difat_sector] = DIFSECT
data += bytes(SECTOR * (extra + 1))
for i, s in enumerate(all_fat):
    struct.pack_into('<%dI' % per, data, (s + 1) * SECTOR, *fat[i * per:(i + 1) * per])
struct.pack_into('<I', data, 44, len(all_fat))
struct.pack_into('<109I', data, 76, *all_fat[:109])
struct.pack_into('<II', data, 68, difat_sector, 1)
rest = all_fat[109:]
slots = rest + [FREE] * (per - 1 - len(rest)) + [END]
struct.pack_into('<%dI' % per, data, (difat_sector + 1) * SECTOR, *slots)
open(sys.argv[2], 'wb').write(data)
PY

many_args=()
for n in $(seq 1 120); do
    many_args+=("dwstg/source_$n=@$work/many_source_$n" "dwstg/object_$n=@$work/many_object_$n")
done
"$mkole" "$out/many_children.psr" source=@"$work/many_source" object=@"$work/many_object" \
    dwstg/dwlookup=@"$work/many_lookup" "${many_args[@]}"

"$mkole" "$out/unicode_report.psr" source=@"$work/uni_source" object=@"$work/uni_object" \
    dwstg/dwlookup=@"$work/uni_lookup" \
    dwstg/source_3=@"$work/uni_source_3" dwstg/object_3=@"$work/uni_object_3" \
    dwstg/source_7=@"$work/uni_source_7" dwstg/object_7=@"$work/uni_object_7"

"$mkole" examples/example.psr source=@"$work/ex_source" object=@"$work/ex_object" \
    dwstg/dwlookup=@"$work/ex_lookup" \
    dwstg/source_1=@"$work/ex_source_1" dwstg/object_1=@"$work/ex_object_1" \
    dwstg/source_2=@"$work/ex_source_2" dwstg/object_2=@"$work/ex_object_2"

echo "fixtures written to $out and examples/"
