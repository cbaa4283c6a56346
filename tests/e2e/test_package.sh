#!/usr/bin/env bash
# The Debian packages: made with cpack from this build tree, unpacked into a temporary root
# with dpkg -x; their files and the systemd unit are checked, then the installed service runs
# against the installed stand-in variable server and a broker until it publishes, and ends in
# order on SIGINT.
#   test_package.sh SOURCE_DIR BUILD_DIR
source "$(dirname "$0")/lib.sh"
source_dir=$1
build_dir=$2

(cd "$build_dir" && "${CPACK:-cpack}" -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) || fail "cpack failed"
service_deb=$(ls "$work"/packages/zal-cloud-mqtt-oop_*.deb)
standin_deb=$(ls "$work"/packages/zal-kalpapi-standin_*.deb)

# The service's package: the binary, the unit, the docs; not the platform's library.
dpkg-deb -c "$service_deb" | awk '{print $6}' >"$work/service-files.txt"
for f in ./usr/bin/ZAL_CLOUD_MQTT_OOP ./usr/lib/systemd/system/zal-cloud-mqtt-oop.service \
  ./usr/share/doc/zal-cloud-mqtt-oop/README.md ./usr/share/doc/zal-cloud-mqtt-oop/examples/demo-plant.json; do
  grep -qxF "$f" "$work/service-files.txt" || fail "$f is not in $(basename "$service_deb")"
done
grep -q KalpApi "$work/service-files.txt" && fail "the service's package holds the platform's library"
depends=$(dpkg-deb -f "$service_deb" Depends)
for d in libmosquitto1 libssl3 libsqlite3-0; do
  [[ $depends == *"$d"* ]] || fail "the service's package does not depend on $d: $depends"
done
dpkg-deb -c "$standin_deb" | awk '{print $6}' >"$work/standin-files.txt"
for f in ./usr/bin/kalpapi-server ./usr/bin/kalpvar ./usr/lib/libKalpApi.so.2; do
  grep -qxF "$f" "$work/standin-files.txt" || fail "$f is not in $(basename "$standin_deb")"
done

root="$work/root"
dpkg -x "$service_deb" "$root"
dpkg -x "$standin_deb" "$root"

unit="$root/usr/lib/systemd/system/zal-cloud-mqtt-oop.service"
for line in ExecStart=/usr/bin/ZAL_CLOUD_MQTT_OOP KillSignal=SIGINT Restart=on-failure \
  Environment=KALPAPI_SOCKET=/run/kalpapi/kalpapi.sock; do
  grep -qxF "$line" "$unit" || fail "the unit has no line $line"
done

# The installed binaries find nothing in the build tree.
for b in usr/bin/ZAL_CLOUD_MQTT_OOP usr/bin/kalpvar; do
  if readelf -d "$root/$b" | grep -E 'RPATH|RUNPATH' | grep -qF "$build_dir"; then
    fail "$b searches the build tree for libraries"
  fi
done

export LD_LIBRARY_PATH="$root/usr/lib"
export KALPAPI_SOCKET="$work/kalpapi.sock"
kalpvar="$root/usr/bin/kalpvar"
root_node="SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0"

start_broker
start server "$root/usr/bin/kalpapi-server" --tree "$root/usr/share/doc/zal-cloud-mqtt-oop/examples/demo-plant.json"
wait_until 20 "$kalpvar" state || fail "the installed kalpapi-server did not come up"
"$kalpvar" set "$root_node.BrokerURL" 127.0.0.1
"$kalpvar" set "$root_node.BrokerPort" "$broker_port"
start subscriber mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t demoplant/status -C 1 -W 60
subscriber=$started
start service "$root/usr/bin/ZAL_CLOUD_MQTT_OOP"
service=$started

# The subscriber ends by itself once the first message arrived (-C 1), or after 60 s (-W).
wait_until 70 eval '! kill -0 '"$subscriber" || fail "mosquitto_sub did not end"
wait "$subscriber" || fail "no message from the installed service within 60 s"
grep -qx Running "$work/subscriber.log" || fail "unexpected message: $(cat "$work/subscriber.log")"
grep -qF "$root/usr/lib/libKalpApi.so.2" "/proc/$service/maps" ||
  fail "the installed service did not load the installed libKalpApi.so.2"

kill -INT "$service"
wait_until 30 eval '! kill -0 '"$service" || fail "the service did not end after SIGINT"
status=0
wait "$service" || status=$?
[ $status -eq 0 ] || fail "the service ended with status $status"
grep -q "Leaving MQTT service. Good bye!" "$work/service.log" || fail "no good-bye line"
echo "package test passed: $(basename "$service_deb"), $(basename "$standin_deb")"
