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

. "$(dirname "$0")/fcssim.sh"
trap fcssim_stop EXIT
trap 'exit 130' INT TERM

MODE=0
if [ -x "$FCSSIM" ]; then
  fcssim_start "$FCSSIM" "$DEMO_HOME"
  echo "demo: simulated station on $SIM_ADDR"
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
