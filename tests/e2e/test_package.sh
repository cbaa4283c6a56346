#!/usr/bin/env bash
# The Debian packages: made with cpack from this build tree, unpacked into a temporary root
# with dpkg -x; their files, descriptions, maintainer scripts and the systemd unit are checked,
# then the installed service runs against the installed stand-in variable server and a broker
# until it publishes, and ends in order on SIGINT.
#
# Then, as root, the packages are installed on this machine with dpkg and taken through
# install, enable, remove, install again, enable and purge: the dynamic linker's cache, the
# enable links and deb-systemd-helper's record of them are checked at each step, and where
# systemd runs (PID 1) also that the unit runs, is stopped on removal and that systemd forgets
# it. Without systemd, `systemctl enable` still makes the enable link (it works on the files),
# so everything but the running unit is checked. Skipped (with a line saying why) when not
# root, or when either package is already installed here (it is not touched then).
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
for d in libmosquitto1 libssl3 libsqlite3-0 libprotobuf-lite32; do
  [[ $depends == *"$d"* ]] || fail "the service's package does not depend on $d: $depends"
done
dpkg-deb -c "$standin_deb" | awk '{print $6}' >"$work/standin-files.txt"
for f in ./usr/bin/kalpapi-server ./usr/bin/kalpvar ./usr/lib/libKalpApi.so.2; do
  grep -qxF "$f" "$work/standin-files.txt" || fail "$f is not in $(basename "$standin_deb")"
done

# Descriptions: each package its own summary, long descriptions without list separators.
for deb in "$service_deb" "$standin_deb"; do
  dpkg-deb -f "$deb" Description >"$work/description.txt"
  if grep -q '^ *;' "$work/description.txt"; then fail "$(basename "$deb"): a description line begins with ';'"; fi
done
[ "$(dpkg-deb -f "$service_deb" Description | head -n 1)" = "MQTT client service of the industrial controller" ] ||
  fail "the service's package has the summary: $(dpkg-deb -f "$service_deb" Description | head -n 1)"
[ "$(dpkg-deb -f "$standin_deb" Description | head -n 1)" = "Stand-in of the controller's variable server, for development machines" ] ||
  fail "the stand-in's package has the summary: $(dpkg-deb -f "$standin_deb" Description | head -n 1)"

# Maintainer scripts: the service's package stops, disables and forgets its unit; the stand-in's
# library is announced to the dynamic linker by dpkg's ldconfig trigger.
mkdir "$work/control-service" "$work/control-standin"
dpkg-deb -e "$service_deb" "$work/control-service"
dpkg-deb -e "$standin_deb" "$work/control-standin"
for f in postinst prerm postrm; do
  [ -x "$work/control-service/$f" ] || fail "the service's package has no executable $f"
  sh -n "$work/control-service/$f" || fail "the service's $f is not a valid shell script"
done
grep -qx "activate-noawait ldconfig" "$work/control-standin/triggers" ||
  fail "the stand-in's package does not trigger ldconfig"

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
unset LD_LIBRARY_PATH KALPAPI_SOCKET

# ---- installed on this machine: install, enable, remove, purge ------------------------------

unit=zal-cloud-mqtt-oop.service
wants_link=/etc/systemd/system/multi-user.target.wants/$unit
other_link=/etc/systemd/system/graphical.target.wants/$unit
state=/var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also
systemd=0
[ -d /run/systemd/system ] && systemd=1

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
in_linker_cache() { ldconfig -p | grep -E '^\s*libKalpApi\.so\.2 .*=> (/usr)?/lib/libKalpApi\.so\.2$' >/dev/null; }
# As the operator does; where systemctl is missing (a bare chroot), the link it would make.
enable_unit() {
  if command -v systemctl >/dev/null 2>&1; then
    systemctl enable "$unit" >>"$work/systemctl.log" 2>&1 || fail "systemctl enable failed: $(cat "$work/systemctl.log")"
  else
    mkdir -p "$(dirname "$wants_link")"
    ln -s /lib/systemd/system/$unit "$wants_link"
  fi
  [ -L "$wants_link" ] || fail "systemctl enable made no link $wants_link"
}

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: not root: install, enable, remove and purge not checked"
elif installed zal-cloud-mqtt-oop || installed zal-kalpapi-standin; then
  echo "package test: a package is already installed here: install, enable, remove and purge not checked"
else
  # One such test at a time on this machine (dpkg's own lock would make a second one fail).
  mkdir -p /run/lock
  exec 9>/run/lock/zal-e2e-package.lock
  flock -w 120 9 || fail "another package test holds /run/lock/zal-e2e-package.lock"
  at_exit "dpkg -P zal-cloud-mqtt-oop zal-kalpapi-standin >/dev/null 2>&1; rm -f '$wants_link' '$other_link'"

  dpkg -i "$standin_deb" "$service_deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i failed: $(cat "$work/dpkg.log")"
  installed zal-cloud-mqtt-oop && installed zal-kalpapi-standin || fail "the packages are not installed"
  in_linker_cache || fail "libKalpApi.so.2 is not in the dynamic linker's cache after installing"
  if ldd /usr/bin/ZAL_CLOUD_MQTT_OOP | grep "not found" >/dev/null; then
    fail "the installed service misses a library: $(ldd /usr/bin/ZAL_CLOUD_MQTT_OOP | grep 'not found')"
  fi
  grep -qxF "$wants_link" "$state" 2>/dev/null || fail "deb-systemd-helper has no record of $wants_link"
  [ -e "$wants_link" ] && fail "installing enabled the unit"

  # Enabled by the operator (and, another way, wanted by one more target), then removed.
  enable_unit
  if [ ! -d "$(dirname "$other_link")" ]; then
    mkdir "$(dirname "$other_link")"
    at_exit "rmdir '$(dirname "$other_link")' 2>/dev/null"
  fi
  ln -s /usr/lib/systemd/system/$unit "$other_link"
  if [ $systemd -eq 1 ]; then
    systemctl start "$unit" || fail "the unit did not start"
    [ "$(systemctl is-active "$unit")" = active ] || fail "the unit is not active"
  fi
  dpkg -r zal-cloud-mqtt-oop >>"$work/dpkg.log" 2>&1 || fail "dpkg -r failed: $(tail -n 20 "$work/dpkg.log")"
  [ -e /usr/bin/ZAL_CLOUD_MQTT_OOP ] && fail "dpkg -r left the binary"
  [ -L "$wants_link" ] && fail "dpkg -r left the enable link $wants_link"
  [ -L "$other_link" ] && fail "dpkg -r left the link $other_link pointing at nothing"
  if [ $systemd -eq 1 ]; then
    [ "$(systemctl is-active "$unit")" = active ] && fail "dpkg -r did not stop the unit"
    systemctl cat "$unit" >/dev/null 2>&1 && fail "systemd still knows the unit after dpkg -r"
  fi

  # Installed again: not enabled by itself; enabled, then purged with the stand-in.
  dpkg -i "$service_deb" >>"$work/dpkg.log" 2>&1 || fail "dpkg -i (again) failed: $(tail -n 20 "$work/dpkg.log")"
  [ -e "$wants_link" ] && fail "installing again enabled the unit"
  enable_unit
  dpkg -P zal-cloud-mqtt-oop zal-kalpapi-standin >>"$work/dpkg.log" 2>&1 ||
    fail "dpkg -P failed: $(tail -n 20 "$work/dpkg.log")"
  [ -L "$wants_link" ] && fail "dpkg -P left the enable link $wants_link"
  [ -e "$state" ] && fail "dpkg -P left deb-systemd-helper's record $state"
  dpkg-query -W zal-cloud-mqtt-oop >/dev/null 2>&1 && fail "dpkg -P left zal-cloud-mqtt-oop in dpkg's database"
  in_linker_cache && fail "libKalpApi.so.2 is still in the dynamic linker's cache after the purge"
  if [ $systemd -eq 1 ]; then
    echo "package test: install, enable, start, remove (stopped, disabled), purge checked with systemd"
  else
    echo "package test: install, enable, remove, purge checked without systemd as PID 1 (links, records, linker cache; not the running unit)"
  fi
fi
echo "package test passed: $(basename "$service_deb"), $(basename "$standin_deb")"
