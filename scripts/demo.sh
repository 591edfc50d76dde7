#!/usr/bin/env bash
# Demo: installs what is missing, builds the scheduler, makes a demo folder with
# "Morqa.ini", "Zelvorn.ini" and an embedded demo clinic database (the project's schema
# with a few sample rows; empty DB_PCName, so the embedded engine serves it) and starts
# the program there. The folder is ./demo (or $KESTA_DEMO_DIR); it is made once and kept.
# KESTA_DEMO_NO_START=1 prepares everything without starting the program.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target kesta-scheduler

demo=${KESTA_DEMO_DIR:-$root/demo}
mkdir -p "$demo/backup" "$demo/branches" "$demo/smp"
demo=$(cd "$demo" && pwd)
# The program reads its settings beside its own file.
cp -f build/app/kesta-scheduler "$demo/kesta-scheduler"

cp1251() { iconv -f UTF-8 -t CP1251; }

db="$demo/clinic.fdb"
if [ ! -f "$db" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  printf "CREATE DATABASE '%s' USER 'SYSDBA' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1251;\nCOMMIT;\n" "$db" \
    > "$tmp/create.sql"
  isql-fb -q -i "$tmp/create.sql"
  isql-fb -q -bail -user SYSDBA -ch WIN1251 -i db/clinic.sql "$db"
  cp1251 > "$tmp/rows.sql" <<'SQL'
SET NAMES WIN1251;
INSERT INTO OUR_HOSPITALS (KOD_HOSPITAL) VALUES (7);
INSERT INTO SYSTEM_OPTIONS (LAST_UPDATE_DATE) VALUES ('2026-12-01');
INSERT INTO NPUNKT (KOD, NAME) VALUES (1, 'Зелворн');
INSERT INTO NPUNKT (KOD, NAME) VALUES (2, 'Морква');
INSERT INTO DOCTORS (ID, KOD, KOD_PROFESSION) VALUES (1, 101, '27');
INSERT INTO PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, POLICY_SERIA, POLICY_NUM,
  MY_HOSPITAL_KOD, SNILS_KOD, NAS_PUNKT_KOD)
  VALUES (1, 'Иванов', 'Иван', 'Иванович', '1970-03-15', 'М', '', '7700000000000001', 7, '112-233-445 95', 1);
INSERT INTO PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, POLICY_SERIA, POLICY_NUM,
  MY_HOSPITAL_KOD, SNILS_KOD, NAS_PUNKT_KOD)
  VALUES (2, 'Петрова', 'Мария', 'Сергеевна', '1985-11-02', 'Ж', '', '7700000000000002', 7, '123-456-789 64', 2);
INSERT INTO PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, POLICY_SERIA, POLICY_NUM,
  MY_HOSPITAL_KOD, NAS_PUNKT_KOD)
  VALUES (3, 'Иванов', 'Иван', 'Иванович', '1970-03-15', 'М', '', '7700000000000003', 7, 1);
SET GENERATOR GEN_IDP TO 3;
COMMIT;
SQL
  isql-fb -q -bail -user SYSDBA -ch WIN1251 -i "$tmp/rows.sql" "$db"
fi

# Settings: written once, so the operator's changes stay. DB_PCName is empty: the
# embedded engine opens the file itself.
if [ ! -f "$demo/Morqa.ini" ]; then
  cp1251 > "$demo/Morqa.ini" <<INI
[WORK_PATH]
PachRen=
StartRen=0
SMP_WORK_PATH=$demo/smp/
FILIALS_WORK_PATH=$demo/branches
DBF_P=$demo/
DBF_L=$demo/
DBF_LS=$demo/
User=
[BACKUP_Path]
DB_BACKUP_Path_MAIN=$demo/backup/
[STAT_MAIN]
Database=$db
[DB_PCName]
DB_PCName=
[Password]
Password=
[PROXY]
UseProxy=0
UseAutorisation=0
Server=
Port=0
User=
Pass=
INI
  sed -i 's/$/\r/' "$demo/Morqa.ini"
fi
if [ ! -f "$demo/Zelvorn.ini" ]; then
  printf '[MY_HOSPITAL]\r\nNAME_HOSPITAL=Демонстрационная поликлиника\r\nKOD_HOSPITAL=7\r\n' | cp1251 > "$demo/Zelvorn.ini"
fi

echo "Demo folder: $demo"
if [ "${KESTA_DEMO_NO_START:-}" = "1" ]; then exit 0; fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display: start $demo/kesta-scheduler from a desktop session (in $demo)." >&2
  exit 0
fi
cd "$demo"
exec ./kesta-scheduler
