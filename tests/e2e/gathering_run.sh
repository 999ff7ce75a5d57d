#!/usr/bin/env bash
# A delivered program end to end: an installation made with jetdb in a temporary drive
# folder, the window on Xvfb, "Click to Continue" and "Click to Close" pressed with xdotool,
# then the window's place, the output folder, the backups and the started file manager
# checked.
# Usage: gathering_run.sh BIN_DIR support|emailing   (exit 77: skipped, something is missing)
set -uo pipefail

bin=$1
variant=$2
jetdb=$bin/jetdb
if [ "$variant" = emailing ]; then
  program=$bin/Kelbrook_Emailing_7-7
  title='Kelbrook for emailing v7-7'
  suffix=EMAIL_FILES
  gathered='duvura-d-7-7.mdb'
  position='20,217'     # the design position, twips / 15
else
  program=$bin/Kelbrook_7-7
  title='Kelbrook v7-7'
  suffix=SUPPORT_FILES
  gathered='duvura-d-7-7.mdb duvura-h-7-7.mdb'
  position='217,285'    # centred on the 1024 x 768 screen
fi
for tool in Xvfb xdotool mdb-tables mdb-count; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps)"; exit 77; }
done
for file in "$program" "$jetdb"; do
  [ -x "$file" ] || { echo "SKIP: $file has not been built"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kelbrook-e2e-XXXXXX")
xvfb=
program_pid=
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; "$@" >"$work/check.out" 2>&1 || { fail "$what"; cat "$work/check.out"; }; }

# The installation.
drive=$work/drive_c
root=$drive/Tarvel/KT500
mkdir -p "$root/data/Debug Files/sub" "$root/history" "$root/Old Software"
"$jetdb" generate --profile instrument-data --rows 400 --deleted-fraction 0.3 --seed 5 \
  "$root/data/duvura-d-7-7.mdb" >/dev/null || { echo "FAIL: jetdb generate (data)"; exit 1; }
"$jetdb" generate --profile instrument-history --rows 300 --deleted-fraction 0.3 --seed 6 \
  "$root/history/duvura-h-7-7.mdb" >/dev/null || { echo "FAIL: jetdb generate (history)"; exit 1; }
printf 'run 1 finished\n' >"$root/data/Debug Files/instrument.log"
printf 'crash report\n' >"$root/data/Debug Files/sub/crash.txt"
mkdir -p "$work/before"
cp "$root/data/duvura-d-7-7.mdb" "$root/history/duvura-h-7-7.mdb" "$work/before/"

# A stand-in opener that records what it was asked to open.
mkdir -p "$work/bin"
cat >"$work/bin/xdg-open" <<OPENER
#!/bin/sh
printf '%s\n' "\$@" >"$work/opened.tmp" && mv "$work/opened.tmp" "$work/opened"
OPENER
chmod +x "$work/bin/xdg-open"

# Xvfb picks a free display number itself and writes it once it is ready.
rm -f "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=:$(head -n 1 "$work/display")

WINEPREFIX=$work PATH=$work/bin:$PATH "$program" >"$work/program.log" 2>&1 &
program_pid=$!
window=$(timeout 30 xdotool search --sync --name "^$title\$" | head -n 1)
[ -n "$window" ] || { echo "FAIL: the window did not open"; cat "$work/program.log"; exit 1; }
sleep 0.5
geometry=$(xdotool getwindowgeometry "$window")
echo "$geometry" | grep -q "Position: $position " || fail "window not at $position: $geometry"
echo "$geometry" | grep -q "Geometry: 590x198" || fail "client area not 590 x 198: $geometry"

# Button centres in the window's pixels: "Click to Continue", then "Click to Close".
xdotool mousemove --window "$window" 102 144 click 1
output=$root/$(date +%Y-%m-%d)" $suffix"
for _ in $(seq 240); do
  [ -e "$output/Debug files/sub/crash.txt" ] && break
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.25
done
[ -e "$output/Debug files/sub/crash.txt" ] || { echo "FAIL: the run did not finish"; ls -R "$root"; exit 1; }
sleep 0.5
xdotool mousemove --window "$window" 274 144 click 1
status=
for _ in $(seq 100); do
  if ! kill -0 "$program_pid" 2>/dev/null; then wait "$program_pid"; status=$?; program_pid=; break; fi
  sleep 0.1
done
[ "$status" = 0 ] || fail "the program did not end with status 0 after \"Click to Close\" (status '${status:-still running}')"

# The output folder: the variant's compacted databases and the debug files.
[ "$(cd "$output" && ls -1 | grep -v '^Debug files$' | tr '\n' ' ')" = "$gathered " ] ||
  fail "the output folder holds $(ls "$output" | tr '\n' ' '), not $gathered and Debug files"
for db in $gathered; do
  [ -f "$output/$db" ] || fail "$db missing from the output folder"
  cmp -s "$output/$db" "$work/before/$db" && fail "$db in the output folder is not the compacted one"
  check "mdb-tables reads $db" mdb-tables -1 "$output/$db"
done
check "jetdb check data database with its password" "$jetdb" check --password wexo4m "$output/duvura-d-7-7.mdb"
"$jetdb" check --password wrong1 "$output/duvura-d-7-7.mdb" >/dev/null 2>&1 &&
  fail "the data database opens without its password"
check "jetdb check history database" "$jetdb" check "$root/history/duvura-h-7-7.mdb"
check "debug files copied" diff -r "$root/data/Debug Files" "$output/Debug files"
for table in $(mdb-tables -1 "$work/before/duvura-d-7-7.mdb" | grep -v '^MSys'); do
  [ "$(mdb-count "$work/before/duvura-d-7-7.mdb" "$table")" = "$(mdb-count "$output/duvura-d-7-7.mdb" "$table")" ] ||
    fail "table $table lost rows in the compacted data database"
done

# The rotation (both variants, both databases): backups are the databases as they were; the
# live files are the compacted ones.
check "data backup is the database as it was" cmp "$root/Old Software/duvura-d-7-7.mdb" "$work/before/duvura-d-7-7.mdb"
check "history backup is the database as it was" cmp "$root/Old Software/duvura-h-7-7.mdb" "$work/before/duvura-h-7-7.mdb"
check "live data database is the compacted one" cmp "$root/data/duvura-d-7-7.mdb" "$output/duvura-d-7-7.mdb"
cmp -s "$root/history/duvura-h-7-7.mdb" "$work/before/duvura-h-7-7.mdb" && fail "the history database was not compacted"
[ -e "$root/data/duvura-d-7-7new.mdb" ] || [ -e "$root/history/duvura-h-7-7new.mdb" ] &&
  fail "a compacted copy was left behind"

# The file manager, started on the installation root.
for _ in $(seq 50); do [ -e "$work/opened" ] && break; sleep 0.1; done
if [ -e "$work/opened" ]; then
  opened=$(cat "$work/opened")
  [ "${opened%/}" = "$root" ] || fail "xdg-open was given '$opened', not the installation root $root"
else
  fail "xdg-open was not started"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "PASS: run gathered $(ls "$output" | tr '\n' ' ')and opened $opened"
