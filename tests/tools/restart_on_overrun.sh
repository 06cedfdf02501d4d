#!/usr/bin/env bash
# Runs under qelomsr-vbus: streams from the Ka with restarts on overrun while
# the device reports an overflow on every status read, and lets it deliver
# only once the tool has restarted at least twice. Every overrun is therefore
# certain, whatever the speed of the host.
# Usage: restart_on_overrun.sh RUNNER CLI STDERR_FILE ARGS...
set -euo pipefail
runner=$1 cli=$2 errfile=$3
shift 3
"$runner" ctl fault 1-3 forceOverflow on >/dev/null
"$cli" "$@" 2>"$errfile" &
pid=$!
# Wait (bounded) until the tool has reported two overruns, then let frames flow.
for _ in $(seq 1 600); do
  n=$(grep -c "overrun after" "$errfile" || true)
  [ "$n" -ge 2 ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
"$runner" ctl fault 1-3 forceOverflow off >/dev/null
wait "$pid"
