#!/usr/bin/env bash
# A delivered program killed with SIGKILL just before and just after each of its changes to
# the installation's files, then run again to the end: no database may be lost, no
# compacted copy or temporary file left (crash_harness.py does the work).
# Usage: crash_harness.sh BIN_DIR support|emailing [crash_harness.py options]
# Exit 77: skipped, something is missing here (under CI, a missing tool fails instead).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$1
variant=$2
shift 2

missing_tool() {
  if [ -n "${CI:-}" ]; then
    echo "FAIL: $1 is not installed; scripts/install-deps installs it"
    exit 1
  fi
  echo "SKIP: $1 is not installed (scripts/install-deps)"
  exit 77
}
for tool in Xvfb xdotool strace python3; do
  command -v "$tool" >/dev/null || missing_tool "$tool"
done
if [ "$variant" = emailing ]; then program=$bin/Kelbrook_Emailing_7-7; else program=$bin/Kelbrook_7-7; fi
for file in "$program" "$bin/jetdb"; do
  [ -x "$file" ] || { echo "SKIP: $file has not been built"; exit 77; }
done
if [ "$(uname -m)" != x86_64 ]; then
  echo "SKIP: the tracer knows the system calls of x86-64 only, not $(uname -m)"
  exit 77
fi
# The tracer needs ptrace and a seccomp filter; some containers allow neither.
if ! probe=$(python3 "$here/syscall_tracer.py" --root /nonexistent --log /dev/null -- true 2>&1); then
  echo "SKIP: this machine does not let a process trace its child (ptrace, seccomp): $probe"
  exit 77
fi

exec python3 "$here/crash_harness.py" "$bin" "$variant" "$@"
