#!/usr/bin/env bash
# Runs the 64-bit Windows programs under Wine on a demo installation and checks what they
# leave behind. Called by scripts/test-windows; usable on its own:
#
#   scripts/windows/wine_run.sh BIN_DIR ARTEFACT_DIR JETDB [TESTS_EXE]
#
# BIN_DIR holds Kelbrook_7-7.exe and Kelbrook_Emailing_7-7.exe (64-bit), ARTEFACT_DIR gets
# the screenshots and logs, JETDB is a jetdb built for this host (it makes the protected
# data database and checks the compacted ones). TESTS_EXE, when given, is the Windows
# platform test program, run first in the same prefix. Every wait is bounded; the script ends
# every Wine process it started and its X server, whatever happens.
set -euo pipefail

bin_dir=$(realpath "$1")
artefacts=$(realpath -m "$2")
jetdb=$(realpath "$3")
tests_exe=${4:+$(realpath "$4")}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
corpus=${KELBROOK_CORPUS_DIR:-$(realpath -m "$source_dir/../shared/corpus")}
password=wexo4m

for tool in wine wineboot wineserver Xvfb xdotool import mdb-tables mdb-count; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps test)"; exit 1; }
done
[ -x "$jetdb" ] || { echo "FAIL: no host jetdb at $jetdb"; exit 1; }
# The demo installations are made from the corpus: without it their runs are skipped
# (visibly), except under CI, which must run them.
have_corpus=yes
if [ ! -f "$corpus/testV2000.mdb" ]; then
  [ -z "${CI:-}" ] || { echo "FAIL: the corpus is not at $corpus (CI needs it)"; exit 1; }
  echo "SKIP: the corpus is not at $corpus: the program runs on a demo installation are skipped"
  have_corpus=no
fi

mkdir -p "$artefacts"
work=$(mktemp -d /tmp/kelbrook-wine.XXXXXX)
xvfb_pid=
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  if [ -n "${DISPLAY:-}" ]; then import -window root "$artefacts/failure.png" 2>/dev/null || true; fi
  exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1; shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt "$end" ] || return 1
    sleep 0.5
  done
}

# --- An X server of our own, on a display nobody else uses.
display_file=$work/display
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp -noreset 9>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
wait_for 30 test -s "$display_file" || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$display_file")
echo "-- Xvfb on $DISPLAY, Wine prefix in $WINEPREFIX"

# --- A fresh Wine prefix.
start=$SECONDS
timeout 300 wineboot --init >"$artefacts/wineboot.log" 2>&1 || fail "wineboot --init failed (see $artefacts/wineboot.log)"
timeout 300 wineserver -w || true
drive_c=$WINEPREFIX/drive_c
[ -f "$drive_c/windows/explorer.exe" ] || fail "the fresh prefix has no c:\\windows\\explorer.exe"
echo "-- prefix ready in $((SECONDS - start)) s"

if [ -n "$tests_exe" ]; then
  echo "-- Windows platform tests"
  # Wine shows the host's / as drive Z:; without the corpus its tests skip, saying why.
  corpus_win=
  [ $have_corpus = yes ] && corpus_win="Z:${corpus//\//\\}"
  # Host-made symbolic links, which Wine shows as plain files or linked folders: the tests
  # copy and delete the tree and check that nothing outside it is reached.
  linked=$drive_c/linked; mkdir -p "$linked/tree/sub" "$linked/outside/dir"
  echo a >"$linked/tree/a.log"; echo b >"$linked/tree/sub/b.log"; echo secret >"$linked/outside/secret.txt"
  ln -s a.log "$linked/tree/inside-file.log"; ln -s "$linked/outside/secret.txt" "$linked/tree/outside-file.txt"
  ln -s "$linked/outside/dir" "$linked/tree/outside-folder"; ln -s .. "$linked/tree/parent"; ln -s nothing "$linked/tree/dangling"
  if ! KELBROOK_CORPUS_WIN="$corpus_win" KELBROOK_LINKED_TREE='C:\linked\tree' KELBROOK_LINKED_OUTSIDE='C:\linked\outside' \
      timeout 600 wine "$tests_exe" >"$artefacts/platform-tests.log" 2>&1; then
    tail -n 40 "$artefacts/platform-tests.log"
    fail "the Windows platform tests failed (see $artefacts/platform-tests.log)"
  fi
  rm -rf "$linked"
  grep -E '^\[  (PASSED|SKIPPED) ' "$artefacts/platform-tests.log" | sed 's/^/   /'
  timeout 30 wineserver -w >/dev/null 2>&1 || true
fi

root=$drive_c/Tarvel/KT500
originals=$work/originals

# The demo installation: a protected data database, a history database with a leftover
# compacted copy from an interrupted run, debug files, and a backup folder holding an
# earlier backup and a file that is not ours.
make_installation() {
  rm -rf "$drive_c/Tarvel" "$originals"
  mkdir -p "$root/data/Debug Files/Traces" "$root/history" "$root/Old Software" "$originals"
  "$jetdb" compact --new-password "$password" "$corpus/testV2000.mdb" "$root/data/duvura-d-7-7.mdb" >/dev/null ||
    fail "jetdb could not make the protected data database"
  # About 740 pages of which some 50 are reachable: compaction shrinks it many times.
  cp "$corpus/testRefGlobalV2000.mdb" "$root/history/duvura-h-7-7.mdb"
  cp "$corpus/empty.mdb" "$root/history/duvura-h-7-7new.mdb"
  cp "$corpus/empty.mdb" "$root/Old Software/duvura-d-7-7.mdb"
  echo "not ours" >"$root/Old Software/keep.txt"
  printf '2014-02-13 09:12:44 instrument started\r\n2014-02-13 09:13:02 self test passed\r\n' \
    >"$root/data/Debug Files/KT500.log"
  printf 'trace\r\n' >"$root/data/Debug Files/Traces/run-0001.trc"
  chmod -R u+w "$drive_c/Tarvel"
  cp "$root/data/duvura-d-7-7.mdb" "$originals/data.mdb"
  cp "$root/history/duvura-h-7-7.mdb" "$originals/history.mdb"
}

# Row counts of every user table as mdbtools (an independent reader) sees them.
table_counts() {
  local file=$1 table
  mdb-tables -1 "$file" | sort | while IFS= read -r table; do
    [ -n "$table" ] && printf '%s=%s\n' "$table" "$(mdb-count "$file" "$table")"
  done
}

# The program's window: the only one titled exactly "Kelbrook v7-7" (a message box of the
# program carries the same title, so more than one means a failure is being reported).
find_windows() { xdotool search --onlyvisible --name '^Kelbrook (for emailing )?v7-7$' 2>/dev/null || true; }
one_window() { [ "$(find_windows | wc -l)" -ge 1 ]; }
failure_shown() {
  [ "$(find_windows | wc -l)" -gt 1 ] || xdotool search --onlyvisible --name '^Compact Database$' >/dev/null 2>&1
}

# Client coordinates of a button's centre, from its design place in twips (15 per pixel).
click_button() {
  local window=$1 left=$2 top=$3 width=$4 height=$5
  xdotool mousemove --window "$window" $(((left + width / 2) / 15)) $(((top + height / 2) / 15)) click 1
}

# Gives the window the keyboard: a click on an empty spot of its client area.
focus_window() { xdotool mousemove --window "$1" 580 190 click 1; sleep 0.5; }

run_variant() {
  local exe=$1 title=$2 suffix=$3 copies_history=$4 shot=$5 input=${6:-mouse}
  echo "-- $exe"
  make_installation

  local day_before
  day_before=$(date +%F)
  wine "$bin_dir/$exe" >"$artefacts/$shot.log" 2>&1 &
  local app=$!

  wait_for 60 one_window || fail "$exe: no window titled \"$title\" within 60 s"
  local window
  window=$(find_windows | head -n1)
  local name
  name=$(xdotool getwindowname "$window")
  [ "$name" = "$title" ] || fail "$exe: window title is \"$name\", expected \"$title\""
  sleep 1
  import -window root "$artefacts/$shot-start.png"

  # Client area 590 x 198 pixels; the support-files program centred, the e-mailing
  # program with its client area's corner at (20, 217).
  local geometry x y w h
  geometry=$(xdotool getwindowgeometry --shell "$window")
  x=$(sed -n 's/^X=//p' <<<"$geometry"); y=$(sed -n 's/^Y=//p' <<<"$geometry")
  w=$(sed -n 's/^WIDTH=//p' <<<"$geometry"); h=$(sed -n 's/^HEIGHT=//p' <<<"$geometry")
  [ "$w" = 590 ] && [ "$h" = 198 ] || fail "$exe: client area is ${w}x${h}, expected 590x198"
  if [ "$suffix" = " EMAIL_FILES" ]; then
    [ "$x" = 20 ] && [ "$y" = 217 ] || fail "$exe: client area at ($x,$y), expected (20,217)"
  else
    local dx=$((x + w / 2 - 512)) dy=$((y + h / 2 - 384))
    [ ${dx#-} -le 4 ] && [ ${dy#-} -le 20 ] || fail "$exe: window not centred (client area at $x,$y)"
  fi

  # "Click to Continue", then wait for the last copy of the run. By keyboard: the focus
  # starts on "Click to Continue"; Tab goes to "Cancel" and, past the hidden "Click to
  # Close" and the label, back again; Space presses it.
  if [ "$input" = keys ]; then
    focus_window "$window"
    xdotool key Tab; sleep 0.3; xdotool key Tab; sleep 0.3; xdotool key space
  else
    click_button "$window" 330 1875 2415 585
  fi
  local folder_today="$root/$(date +%F)$suffix" folder_before="$root/$day_before$suffix"
  run_done() {
    failure_shown && return 0  # a message box: stop waiting
    local f
    for f in "$folder_today" "$folder_before"; do
      [ -f "$f/Debug files/Traces/run-0001.trc" ] && [ -f "$f/Debug files/KT500.log" ] && return 0
    done
    return 1
  }
  wait_for 180 run_done || fail "$exe: the run did not finish within 180 s"
  sleep 2
  import -window root "$artefacts/$shot-done.png"
  ! failure_shown || fail "$exe: the program reported a failure (see $artefacts/$shot-done.png)"
  local out=$folder_today
  [ -d "$out" ] || out=$folder_before

  # "Click to Close": Wine's explorer opens on the installation root, the program ends.
  # After the run the focus is on it, so Space presses it too.
  if [ "$input" = keys ]; then
    xdotool key space
  else
    click_button "$window" 2910 1875 2415 585
  fi
  explorer_started() { ps -eo args= | grep -F 'explorer.exe' | grep -qiF 'C:\Tarvel\KT500'; }
  wait_for 30 explorer_started || fail "$exe: no explorer.exe started on C:\\Tarvel\\KT500\\"
  local status=0
  wait_for 30 bash -c "! kill -0 $app 2>/dev/null" || fail "$exe: still running after \"Click to Close\""
  wait "$app" || status=$?
  [ "$status" = 0 ] || fail "$exe: exit status $status"

  # What the run left behind.
  local expected_files="duvura-d-7-7.mdb"
  [ "$copies_history" = yes ] && expected_files="duvura-d-7-7.mdb duvura-h-7-7.mdb"
  local listing
  listing=$(cd "$out" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
  local want
  want=$( (for f in $expected_files; do echo "$f"; done; echo "Debug files/KT500.log"; echo "Debug files/Traces/run-0001.trc") | sort | tr '\n' ' ')
  [ "$listing" = "$want" ] || fail "$exe: output folder holds [$listing], expected [$want]"
  [ "$(find "$root" -maxdepth 1 -type d -name 'Debug*' | wc -l)" = 0 ] || fail "$exe: a debug folder landed in the root"
  cmp -s "$root/data/Debug Files/KT500.log" "$out/Debug files/KT500.log" || fail "$exe: debug file copied wrongly"

  "$jetdb" check --password "$password" "$out/duvura-d-7-7.mdb" >"$artefacts/$shot-check-data.txt" 2>&1 ||
    fail "$exe: jetdb check fails on the gathered data database (see $artefacts/$shot-check-data.txt)"
  "$jetdb" check "$root/history/duvura-h-7-7.mdb" >"$artefacts/$shot-check-history.txt" 2>&1 ||
    fail "$exe: jetdb check fails on the compacted history database"
  cmp -s "$root/data/duvura-d-7-7.mdb" "$out/duvura-d-7-7.mdb" || fail "$exe: gathered data database is not the live one"
  if [ "$copies_history" = yes ]; then
    cmp -s "$root/history/duvura-h-7-7.mdb" "$out/duvura-h-7-7.mdb" || fail "$exe: gathered history database is not the live one"
  fi
  [ ! -e "$root/data/duvura-d-7-7new.mdb" ] && [ ! -e "$root/history/duvura-h-7-7new.mdb" ] ||
    fail "$exe: a compacted copy (…new.mdb) was left behind"
  cmp -s "$originals/data.mdb" "$root/Old Software/duvura-d-7-7.mdb" || fail "$exe: data backup is not the database as it was"
  cmp -s "$originals/history.mdb" "$root/Old Software/duvura-h-7-7.mdb" || fail "$exe: history backup is not the database as it was"
  [ -f "$root/Old Software/keep.txt" ] || fail "$exe: the backup folder lost a file that is not the program's"
  local before after
  before=$(stat -c %s "$originals/history.mdb"); after=$(stat -c %s "$root/history/duvura-h-7-7.mdb")
  [ $((after * 4)) -lt "$before" ] || fail "$exe: compaction did not shrink the history database ($before -> $after bytes)"
  [ "$(table_counts "$originals/data.mdb")" = "$(table_counts "$out/duvura-d-7-7.mdb")" ] ||
    fail "$exe: mdbtools counts other rows in the gathered data database"
  [ "$(table_counts "$originals/history.mdb")" = "$(table_counts "$root/history/duvura-h-7-7.mdb")" ] ||
    fail "$exe: mdbtools counts other rows in the compacted history database"
  echo "   ok: window, run, output folder \"$(basename "$out")\", history compacted $before -> $after bytes, file manager"

  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
}

# Starts a program and waits for its window; sets app (the process) and window.
start_program() {
  local exe=$1 log=$2
  wine "$bin_dir/$exe" >"$artefacts/$log.log" 2>&1 &
  app=$!
  wait_for 60 one_window || fail "$exe: no window within 60 s"
  window=$(find_windows | head -n1)
  sleep 1
}

# Waits for the program to end and checks its exit status.
expect_exit() {
  local exe=$1 expected=$2 status=0
  wait_for 30 bash -c "! kill -0 $app 2>/dev/null" || fail "$exe: still running"
  wait "$app" || status=$?
  [ "$status" = "$expected" ] || fail "$exe: exit status $status, expected $expected"
}

# "Cancel" before a run: the program ends and nothing on disk changes.
scenario_cancel() {
  echo "-- Kelbrook_7-7.exe: Cancel"
  make_installation
  local before
  before=$(cd "$root" && find . | sort | md5sum)
  start_program Kelbrook_7-7.exe cancel
  click_button "$window" 6765 1875 1230 585
  expect_exit Kelbrook_7-7.exe 0
  [ "$(cd "$root" && find . | sort | md5sum)" = "$before" ] || fail "Cancel changed the installation"
  cmp -s "$originals/data.mdb" "$root/data/duvura-d-7-7.mdb" || fail "Cancel changed the data database"

  # The close box (Alt+F4) before a run does the same.
  start_program Kelbrook_Emailing_7-7.exe close-box
  focus_window "$window"
  xdotool key alt+F4
  expect_exit Kelbrook_Emailing_7-7.exe 0
  [ "$(cd "$root" && find . | sort | md5sum)" = "$before" ] || fail "the close box changed the installation"
  echo "   ok (and the close box)"
}

# No data database: the not-found text, no output folder; "Click to Close" still opens
# the file manager.
scenario_not_found() {
  echo "-- Kelbrook_Emailing_7-7.exe: no data database"
  make_installation
  rm "$root/data/duvura-d-7-7.mdb"
  start_program Kelbrook_Emailing_7-7.exe not-found
  click_button "$window" 330 1875 2415 585
  sleep 2
  import -window root "$artefacts/not-found.png"
  click_button "$window" 2910 1875 2415 585
  explorer_on_root() { ps -eo args= | grep -F 'explorer.exe' | grep -qiF 'C:\Tarvel\KT500'; }
  wait_for 30 explorer_on_root || fail "not found: no explorer.exe started on the installation root"
  expect_exit Kelbrook_Emailing_7-7.exe 0
  [ -z "$(find "$root" -maxdepth 1 -name '*_FILES')" ] || fail "not found: an output folder was made"
  echo "   ok"
  timeout 30 wineserver -k >/dev/null 2>&1 || true
}

# No debug-file folder: the databases are gathered, then the copy of the folder fails;
# the failure is reported in a message box and the program ends with status 1.
scenario_failure() {
  echo "-- Kelbrook_7-7.exe: no debug-file folder"
  make_installation
  rm -rf "$root/data/Debug Files"
  start_program Kelbrook_7-7.exe failure
  click_button "$window" 330 1875 2415 585
  wait_for 120 failure_shown || fail "failure: no message box within 120 s"
  sleep 1
  import -window root "$artefacts/failure-message.png"
  local box
  box=$(find_windows | grep -v "^$window\$" | head -n1)
  [ -n "$box" ] || fail "failure: the message box is not titled like the window"
  xdotool mousemove --window "$box" 5 5 click 1; sleep 0.3; xdotool key Return
  expect_exit Kelbrook_7-7.exe 1
  local out
  out=$(find "$root" -maxdepth 1 -name '* SUPPORT_FILES' | head -n1)
  [ -f "$out/duvura-d-7-7.mdb" ] && [ -f "$out/duvura-h-7-7.mdb" ] || fail "failure: the databases were not gathered first"
  [ -z "$(find "$out/Debug files" -type f)" ] || fail "failure: debug files appeared from nowhere"
  echo "   ok"
}

# A data database without the expected password: the engine refuses it, the rotation stops
# before anything is deleted, "Compact Database" reports it and the program ends (status 2).
scenario_compaction_failure() {
  echo "-- Kelbrook_7-7.exe: data database with another password"
  make_installation
  rm "$root/data/duvura-d-7-7.mdb"
  "$jetdb" compact --new-password other1 "$corpus/delTestV2000.mdb" "$root/data/duvura-d-7-7.mdb" >/dev/null ||
    fail "jetdb could not make a database with another password"
  cp "$root/data/duvura-d-7-7.mdb" "$originals/data.mdb"
  start_program Kelbrook_7-7.exe compaction-failure
  click_button "$window" 330 1875 2415 585
  compact_report() { xdotool search --onlyvisible --name '^Compact Database$' >/dev/null 2>&1; }
  wait_for 120 compact_report || fail "compaction failure: no \"Compact Database\" message within 120 s"
  sleep 1
  import -window root "$artefacts/compaction-failure.png"
  local box
  box=$(xdotool search --onlyvisible --name '^Compact Database$' | head -n1)
  xdotool mousemove --window "$box" 5 5 click 1; sleep 0.3; xdotool key Return
  expect_exit Kelbrook_7-7.exe 2
  cmp -s "$originals/data.mdb" "$root/data/duvura-d-7-7.mdb" || fail "compaction failure: the data database changed"
  cmp -s "$originals/history.mdb" "$root/history/duvura-h-7-7.mdb" || fail "compaction failure: the history database changed"
  cmp -s "$corpus/empty.mdb" "$root/Old Software/duvura-d-7-7.mdb" || fail "compaction failure: the previous backup changed"
  [ ! -e "$root/data/duvura-d-7-7new.mdb" ] || fail "compaction failure: a compacted copy was left behind"
  echo "   ok"
}

# The instrument has the data database open (a Jet program in shared mode: the database
# open for writing, its user lock on duvura-d-7-7.ldb): our engine refuses it with Jet's
# text, natively and under Wine, and the program reports the compaction failure and
# leaves every file of the installation as it was. Made without the corpus.
scenario_database_in_use() {
  echo "-- data database in use by the instrument"
  local holder=$bin_dir/Hold_Database.exe
  [ -f "$holder" ] || fail "no $holder (built by the windows presets)"
  rm -rf "$drive_c/Tarvel"
  mkdir -p "$root/data/Debug Files" "$root/history" "$root/Old Software"
  "$jetdb" generate --profile instrument-data --rows 300 "$root/data/duvura-d-7-7.mdb" >/dev/null ||
    fail "jetdb could not make the data database"
  "$jetdb" generate --profile instrument-history --rows 300 "$root/history/duvura-h-7-7.mdb" >/dev/null ||
    fail "jetdb could not make the history database"
  cp "$root/data/duvura-d-7-7.mdb" "$root/Old Software/duvura-d-7-7.mdb"
  printf 'log\r\n' >"$root/data/Debug Files/KT500.log"

  local data_win='C:\Tarvel\KT500\data\duvura-d-7-7.mdb'
  local ready=$work/holder-ready stop=$work/holder-stop
  rm -f "$ready" "$stop"
  wine "$holder" "$data_win" "Z:${ready//\//\\}" "Z:${stop//\//\\}" 300 >"$artefacts/holder.log" 2>&1 &
  local holder_pid=$!
  release_holder() { touch "$stop"; wait "$holder_pid" 2>/dev/null || true; }
  wait_for 60 test -f "$ready" || { release_holder; fail "the holding program did not start (see $artefacts/holder.log)"; }
  [ -f "$root/data/duvura-d-7-7.ldb" ] || { release_holder; fail "the holding program made no lock file"; }

  local before
  before=$(cd "$root" && find . -type f -print0 | sort -z | xargs -0 md5sum)
  local expected="Could not use '$data_win'; file already in use."

  # Our engine under Wine (jetdb.exe) and natively (the Wine server's lock is a POSIX lock).
  local status=0
  wine "$bin_dir/jetdb.exe" compact --password "$password" "$data_win" 'C:\Tarvel\KT500\data\out.mdb' \
    >"$artefacts/in-use-jetdb-exe.log" 2>&1 || status=$?
  [ "$status" != 0 ] || { release_holder; fail "in use: jetdb.exe compacted a database the instrument holds"; }
  grep -qF "$expected" "$artefacts/in-use-jetdb-exe.log" ||
    { release_holder; fail "in use: jetdb.exe did not say \"$expected\" (see $artefacts/in-use-jetdb-exe.log)"; }
  status=0
  "$jetdb" compact --password "$password" "$root/data/duvura-d-7-7.mdb" "$root/data/out.mdb" \
    >"$artefacts/in-use-jetdb.log" 2>&1 || status=$?
  [ "$status" != 0 ] && grep -qF "file already in use." "$artefacts/in-use-jetdb.log" ||
    { release_holder; fail "in use: the host jetdb did not refuse (see $artefacts/in-use-jetdb.log)"; }

  # The delivered program: "Error - Could not use ..." in "Compact Database", exit status 2.
  # Wine's window trace shows the texts the program gives its windows, the message too.
  WINEDEBUG=trace+win start_program Kelbrook_7-7.exe database-in-use
  click_button "$window" 330 1875 2415 585
  compact_report() { xdotool search --onlyvisible --name '^Compact Database$' >/dev/null 2>&1; }
  if ! wait_for 120 compact_report; then
    import -window root "$artefacts/database-in-use.png" 2>/dev/null || true
    release_holder
    fail "in use: no \"Compact Database\" failure within 120 s (the rotation compacted a database in use?)"
  fi
  sleep 1
  import -window root "$artefacts/database-in-use.png"
  local box
  box=$(xdotool search --onlyvisible --name '^Compact Database$' | head -n1)
  xdotool mousemove --window "$box" 5 5 click 1; sleep 0.3; xdotool key Return
  expect_exit Kelbrook_7-7.exe 2
  local after
  after=$(cd "$root" && find . -type f -print0 | sort -z | xargs -0 md5sum)
  release_holder
  # (the trace writes each backslash twice)
  grep -qF "\"Error - ${expected//\\/\\\\}\"" "$artefacts/database-in-use.log" ||
    fail "in use: the program did not report \"Error - $expected\" (see $artefacts/database-in-use.png)"
  [ "$before" = "$after" ] || fail "in use: files of the installation changed:
$(diff <(echo "$before") <(echo "$after"))"
  [ -z "$(find "$root" -name '*.kelbrook-tmp-*')" ] || fail "in use: a temporary was left behind"
  echo "   ok: refused by jetdb.exe, by the host jetdb and by the program; every file as it was"
  timeout 30 wineserver -k >/dev/null 2>&1 || true
}

if [ $have_corpus = yes ]; then
  run_variant Kelbrook_7-7.exe "Kelbrook v7-7" " SUPPORT_FILES" yes support mouse
  run_variant Kelbrook_Emailing_7-7.exe "Kelbrook for emailing v7-7" " EMAIL_FILES" no emailing keys
  scenario_cancel
  scenario_not_found
  scenario_failure
  scenario_compaction_failure
fi
scenario_database_in_use
echo "-- Wine: both programs passed"
