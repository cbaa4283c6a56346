#!/usr/bin/env bash
# scripts/demo on this build tree (nothing installed, nothing built), under a time limit:
# it returns 0, shows the orderly shut-down, and leaves no process of its own behind. Without
# --tls, two decoy processes with the service's name and command line run, one started before
# the demo and one once the demo's service is connected: the demo must stop its own service, and
# neither decoy.
#   test_demo.sh SOURCE_DIR BUILD_DIR [--tls]
source "$(dirname "$0")/lib.sh"
source_dir=$1
build_dir=$2
mode=${3:-}
limit=180

# A process named like the service, with the same command line.
start_decoy() {
  [ -e "$work/ZAL_CLOUD_MQTT_OOP" ] || ln -s "$(command -v sleep)" "$work/ZAL_CLOUD_MQTT_OOP"
  (exec -a "$build_dir/ZAL_CLOUD_MQTT_OOP" "$work/ZAL_CLOUD_MQTT_OOP" 600) &
  decoys+=($!)
  pids+=($!)
}
decoys=()
[ -z "$mode" ] && start_decoy

# The demo in a session of its own: whatever it leaves running is still in that session.
DEMO_NO_SETUP=1 DEMO_BUILD_DIR="$build_dir" DEMO_SECONDS=2 \
  setsid "$source_dir/scripts/demo" $mode >"$work/demo.log" 2>&1 &
demo=$!
pids+=("$demo")

if [ -z "$mode" ]; then
  wait_until 120 grep -q "xConnectedToBroker = 1: connected" "$work/demo.log" ||
    fail "the demo's service did not connect"
  start_decoy
fi

wait_until $limit eval '! kill -0 '"$demo" || fail "the demo did not return within $limit s"
status=0
wait "$demo" || status=$?
[ $status -eq 0 ] || fail "the demo returned $status"
grep -q "Leaving MQTT service. Good bye!" "$work/demo.log" || fail "no good-bye line"
grep -q "demo finished in" "$work/demo.log" || fail "the demo did not finish its story"
for decoy in "${decoys[@]}"; do
  kill -0 "$decoy" 2>/dev/null || fail "a decoy did not survive the demo"
done
left=$(pgrep -s "$demo" || true)
[ -z "$left" ] || fail "the demo left processes behind: $(ps -o pid,args -p "$(echo $left | tr ' ' ,)")"
# Every line is one a newcomer can read: no bare status word, no alarm that is not one, and
# every tag explained in the README.
grep -qx '0x[0-9a-fA-F]*' "$work/demo.log" && fail "a bare status line: $(grep -x '0x[0-9a-fA-F]*' "$work/demo.log")"
grep -qi "unexpected eof" "$work/demo.log" && fail "a half-open TLS session in the broker's log"
grep -qi "should not be run as root" "$work/demo.log" && fail "mosquitto warns that it runs as root"
for tag in $(sed -n 's/^  \[\([a-z]*\)\] .*/\1/p' "$work/demo.log" | sort -u); do
  grep -qF "\`[$tag]\`" "$source_dir/README.md" || fail "the README does not explain the demo's tag [$tag]"
done
echo "demo test passed ($(grep -o 'demo finished in [0-9]* s' "$work/demo.log"))"
