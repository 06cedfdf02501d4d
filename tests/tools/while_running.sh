#!/usr/bin/env bash
# Runs under qelomsr-vbus: starts the tool in the background with its stderr
# in a file, waits (bounded) until that file matches a pattern, then runs an
# action against the running tool and waits for it to end. Exits with the
# tool's exit status, or 124 when the pattern never showed.
# Usage: while_running.sh RUNNER CLI STDERR_FILE PATTERN ACTION ARGS...
#   PATTERN  extended regular expression (grep -E) awaited on stderr
#   ACTION   shell text run once the pattern showed; $pid is the tool's
#            process id and $runner the runner (for "$runner ctl ...")
set -uo pipefail
runner=$1 cli=$2 errfile=$3 pattern=$4 action=$5
shift 5
: >"$errfile"
"$cli" "$@" 2>"$errfile" &
pid=$!
seen=0
for _ in $(seq 1 1200); do
  if grep -qE -- "$pattern" "$errfile"; then seen=1; break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
if [ "$seen" -ne 1 ]; then
  kill -KILL "$pid" 2>/dev/null
  wait "$pid"
  exit 124
fi
eval "$action"
wait "$pid"
