#!/usr/bin/env bash
# make demo: builds a sample workstation in ./demo-home, starts the simulated station for it
# on a loopback port, and runs one save. The simulator is always stopped on the way out.
# Usage: scripts/demo.sh BUILD_DIR   (DEMO_STATION=FCS0102 picks the other station)
set -euo pipefail

BUILD=${1:-build}
TUSAVE="$BUILD/tools/tusave/tusave"
FCSSIM="$BUILD/station/fcssim"
DEMO_HOME="$PWD/demo-home"
STATION=${DEMO_STATION:-FCS0101}

[ -x "$TUSAVE" ] || { echo "demo: $TUSAVE is not built" >&2; exit 1; }

rm -rf "$DEMO_HOME"
"$TUSAVE" sample "$DEMO_HOME"

SIM_PID=""
SIM_OUT=""
cleanup() {
  if [ -n "$SIM_PID" ]; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  [ -z "$SIM_OUT" ] || rm -f "$SIM_OUT"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

MODE=0
if [ -x "$FCSSIM" ]; then
  SIM_OUT=$(mktemp)
  "$FCSSIM" --home "$DEMO_HOME" --listen 127.0.0.1:0 >"$SIM_OUT" 2>&1 &
  SIM_PID=$!
  addr=""
  for _ in $(seq 1 100); do
    addr=$(sed -n 's/^fcssim listening on \(udp:127\.0\.0\.1:[0-9][0-9]*\).*$/\1/p' "$SIM_OUT" | head -n 1)
    [ -n "$addr" ] && break
    if ! kill -0 "$SIM_PID" 2>/dev/null; then
      cat "$SIM_OUT" >&2
      echo "demo: fcssim ended before it listened" >&2
      exit 1
    fi
    sleep 0.1
  done
  [ -n "$addr" ] || { echo "demo: fcssim did not report its address" >&2; exit 1; }
  echo "demo: simulated station on $addr"
  ws="$DEMO_HOME/workstation.json"
  if grep -q '"controlBus"' "$ws"; then
    sed -i -E "s#\"controlBus\"[[:space:]]*:[[:space:]]*\"[^\"]*\"#\"controlBus\": \"$addr\"#" "$ws"
  else
    sed -i "0,/{/s//{ \"controlBus\": \"$addr\",/" "$ws"
  fi
else
  echo "demo: no simulated station ($FCSSIM is not built): saving without the generation-time check"
  MODE=2
fi

set +e
TUSAVE_HOME="$DEMO_HOME" "$TUSAVE" save --project DEMO --station "$STATION" --mode "$MODE"
status=$?
set -e
echo "demo: tusave save exited with $status; the workstation is in $DEMO_HOME"
copies="$DEMO_HOME/backup/shgsave"
if [ -d "$copies" ]; then
  echo "demo: the backup tool's copies of the station's custom files (log: $DEMO_HOME/log/shgsave.log):"
  (cd "$copies" && find . -type f | sed 's#^\./#  #' | sort)
fi
exit "$status"
