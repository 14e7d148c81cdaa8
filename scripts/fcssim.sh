# Sourced by the scripts that run a save against the simulated station.
# fcssim_start FCSSIM HOME: starts FCSSIM for the workstation HOME on a free loopback port, waits
# until it listens and points HOME/workstation.json at it. Sets SIM_PID and SIM_ADDR.
# fcssim_stop: stops it (safe to call twice; put it in an EXIT trap).
SIM_PID=""
SIM_OUT=""
SIM_ADDR=""

fcssim_start() {
  local fcssim=$1 home=$2
  SIM_OUT=$(mktemp)
  "$fcssim" --home "$home" --listen 127.0.0.1:0 >"$SIM_OUT" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 1 100); do
    SIM_ADDR=$(sed -n 's/^fcssim listening on \(udp:127\.0\.0\.1:[0-9][0-9]*\).*$/\1/p' "$SIM_OUT" | head -n 1)
    [ -n "$SIM_ADDR" ] && break
    if ! kill -0 "$SIM_PID" 2>/dev/null; then
      cat "$SIM_OUT" >&2
      echo "fcssim ended before it listened" >&2
      return 1
    fi
    sleep 0.1
  done
  [ -n "$SIM_ADDR" ] || { echo "fcssim did not report its address" >&2; return 1; }
  local ws="$home/workstation.json"
  if grep -q '"controlBus"' "$ws"; then
    sed -i -E "s#\"controlBus\"[[:space:]]*:[[:space:]]*\"[^\"]*\"#\"controlBus\": \"$SIM_ADDR\"#" "$ws"
  else
    sed -i "0,/{/s//{ \"controlBus\": \"$SIM_ADDR\",/" "$ws"
  fi
}

fcssim_stop() {
  if [ -n "$SIM_PID" ]; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=""
  fi
  [ -z "$SIM_OUT" ] || rm -f "$SIM_OUT"
  SIM_OUT=""
}
