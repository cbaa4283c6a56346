# Helpers of the end-to-end test scripts (sourced): a private temporary folder, processes
# started in the background and stopped by their own PIDs when the script ends, waits with
# deadlines, and a mosquitto broker on a free loopback port.
set -euo pipefail

work=$(mktemp -d "${TMPDIR:-/tmp}/zal-e2e.XXXXXX")
chmod 700 "$work"
pids=()

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Sends signal to pid, waits up to limit seconds for it to end, then kills it; reaps it.
stop_pid() {  # pid signal limit
  local pid=$1 signal=$2 limit=$3 waited=0
  kill -"$signal" "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt $((limit * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

e2e_cleanup() {
  local status=$? i
  trap - EXIT
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[$i]}" TERM 5; done
  if [ $status -ne 0 ]; then
    for log in "$work"/*.log; do
      [ -f "$log" ] && { echo "---- $log" >&2; tail -n 40 "$log" >&2; }
    done
  fi
  rm -rf "$work"
  exit $status
}
trap e2e_cleanup EXIT

# Runs command in the background with its output in $work/name.log; its PID in $started.
started=""
start() {  # name command...
  local name=$1
  shift
  "$@" >"$work/$name.log" 2>&1 &
  started=$!
  pids+=("$started")
}

# Waits up to limit seconds for command to succeed.
wait_until() {  # limit command...
  local limit=$1 waited=0
  shift
  until "$@" >/dev/null 2>&1; do
    [ $waited -ge $((limit * 10)) ] && return 1
    sleep 0.1
    waited=$((waited + 1))
  done
}

port_accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A plain mosquitto on a free loopback port; the port in $broker_port.
broker_port=""
start_broker() {
  local candidate
  for _ in $(seq 1 20); do
    candidate=$((20000 + RANDOM % 40000))
    port_accepts "$candidate" && continue
    printf 'persistence false\nlog_dest stderr\nuser %s\nallow_anonymous true\nlistener %s 127.0.0.1\n' \
      "$(id -un)" "$candidate" >"$work/mosquitto.conf"
    start broker /usr/sbin/mosquitto -c "$work/mosquitto.conf"
    if wait_until 10 port_accepts "$candidate" && kill -0 "$started" 2>/dev/null; then
      broker_port=$candidate
      return 0
    fi
    stop_pid "$started" TERM 5
  done
  fail "no broker could be started"
}
