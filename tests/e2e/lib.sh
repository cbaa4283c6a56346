# Helpers of the end-to-end test scripts (sourced): a private temporary folder, processes
# started in the background and stopped by their own PIDs when the script ends, commands to run
# at the end (at_exit), waits with deadlines, and a mosquitto broker on a free loopback port.
set -euo pipefail

work=$(mktemp -d "${TMPDIR:-/tmp}/zal-e2e.XXXXXX")
chmod 700 "$work"
pids=()
exit_commands=()

# Runs command (one string, evaluated) when the script ends, after its processes are stopped;
# the last registered first.
at_exit() { exit_commands+=("$1"); }

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
  for ((i = ${#exit_commands[@]} - 1; i >= 0; i--)); do eval "${exit_commands[$i]}" || true; done
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

# Whether something on this machine uses the TCP port (listening or connected, IPv4 or IPv6),
# from the kernel's tables: no connection is opened, so a TLS listener logs no aborted handshake.
port_in_use() {  # port
  local hex
  hex=$(printf '%04X' "$1")
  grep -qE "^ *[0-9]+: [0-9A-F]+:$hex " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
# Whether something listens on the TCP port of 127.0.0.1 (or every address).
port_listening() {  # port
  local hex
  hex=$(printf '%04X' "$1")
  grep -qE "^ *[0-9]+: (0100007F|00000000):$hex [0-9A-F]+:[0-9A-F]+ 0A " /proc/net/tcp 2>/dev/null
}

# The user a broker started by a test runs as: as root, mosquitto's own user when it exists
# (mosquitto warns when it runs as root, and drops to that user anyway unless told otherwise),
# else the current user. Files the broker reads after starting (certificates, keys) must be
# readable by that user; its configuration is read before it changes user.
broker_user() {
  if [ "$(id -u)" -eq 0 ] && id -u mosquitto >/dev/null 2>&1; then echo mosquitto; else id -un; fi
}

# A plain mosquitto on a free loopback port; the port in $broker_port.
broker_port=""
start_broker() {
  local candidate
  for _ in $(seq 1 20); do
    candidate=$((20000 + RANDOM % 40000))
    port_in_use "$candidate" && continue
    printf 'persistence false\nlog_dest stderr\nuser %s\nallow_anonymous true\nlistener %s 127.0.0.1\n' \
      "$(broker_user)" "$candidate" >"$work/mosquitto.conf"
    start broker /usr/sbin/mosquitto -c "$work/mosquitto.conf"
    if wait_until 10 port_listening "$candidate" && kill -0 "$started" 2>/dev/null; then
      broker_port=$candidate
      return 0
    fi
    stop_pid "$started" TERM 5
  done
  fail "no broker could be started"
}
