#!/usr/bin/env bash
# Demo: installs what is missing, builds the scheduler and the demo-data maker, fills a
# demo folder and starts the program there. The folder is ./demo (or $KESTA_DEMO_DIR):
# an embedded clinic database "clinic.fdb" (the project's schema with a population of
# patients; empty DB_PCName, so the embedded engine serves it), the settings files
# "Morqa.ini" and "Zelvorn.ini", and one input for each task that reads files, named by
# the task pages: the fund's file PRIK.DBF (CP866), the privileged persons LGOT.DBF, the
# drug directory LS.DBF, two branch archives in branches/ (exported from a branch
# database, filial.fdb), an ambulance package smp/calls.zip and an XML register
# register.xml. The databases and the settings are made once and kept; the inputs are
# written anew at every start, so every task can run again.
# KESTA_DEMO_NO_START=1 prepares everything without starting the program.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target kesta-scheduler kesta-demo-data

demo=${KESTA_DEMO_DIR:-$root/demo}
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
# The program reads its settings beside its own file.
cp -f build/app/kesta-scheduler "$demo/kesta-scheduler"
build/tools/kesta-demo-data "$demo"

echo "Demo folder: $demo"
if [ "${KESTA_DEMO_NO_START:-}" = "1" ]; then exit 0; fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display: start $demo/kesta-scheduler from a desktop session (in $demo)." >&2
  exit 0
fi
cd "$demo"
exec ./kesta-scheduler
