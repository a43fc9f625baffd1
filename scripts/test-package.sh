#!/usr/bin/env bash
# The Debian package: builds it with cpack from the native build, installs it
# with apt-get (dpkg -i where apt-get is missing), runs the installed programs
# and reads the installed manual pages, checks the service's units offline
# (no systemd needs to run) and runs the service's command as its user, then
# removes it and checks that nothing of it is left. Needs root; uses the
# native build in build/ that scripts/test.sh makes first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib.sh

require_root 0 "not root: the package check installs a package and is skipped"
# dpkg-shlibdeps (dpkg-dev) and file find the runtime libraries the package depends on.
bash scripts/install-deps.sh dpkg-dev file man-db
# systemd-analyze checks the units; setfacl opens the exporter's folder.
bash scripts/install-deps.sh systemd acl

native="${NATIVE_BUILD:-$root/build}"
[ -f "$native/CPackConfig.cmake" ] || fail "$native is not configured: run scripts/test.sh first"
if dpkg-query -W -f='${Status}' logfetch 2>/dev/null | grep -q "ok installed"; then
  fail "a logfetch package is installed already; remove it first (apt-get remove logfetch)"
fi

# The node exporter's textfile folder, made here when no exporter is
# installed and taken away again (from the first folder made).
exporter=/var/lib/prometheus/node-exporter
made_exporter=

tmp=$(mktemp -d)
installed=0
cleanup() {
  kill_boxsims
  if [ "$installed" -eq 1 ]; then dpkg --purge logfetch >/dev/null 2>&1 || true; fi
  if [ -n "$made_exporter" ]; then rm -rf "$made_exporter"; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

(cd "$native" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) ||
  { cat "$tmp/cpack.log"; fail "cpack could not build the package"; }
deb=$(ls "$tmp"/out/logfetch_*.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "test-package: $(basename "$deb"), version $version, depends: $(dpkg-deb -f "$deb" Depends)"

# The layout: programs in bin/, samples and documents in share/, both pages.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/contents"
for want in /usr/bin/logfetch /usr/bin/boxsim /usr/share/man/man1/logfetch.1 \
  /usr/share/man/man1/boxsim.1 /usr/share/logfetch/examples/demo.box \
  /usr/share/doc/logfetch/README.md /usr/share/doc/logfetch/boxsim.md \
  /usr/lib/systemd/system/logfetch.service /usr/lib/systemd/system/logfetch.timer \
  /usr/libexec/logfetch/logfetch-service /etc/default/logfetch /etc/logfetch/site.toml; do
  grep -qx "$want" "$tmp/contents" || fail "the package lacks $want"
done
dpkg-deb --info "$deb" conffiles >"$tmp/conffiles"
for want in /etc/default/logfetch /etc/logfetch/site.toml; do
  grep -qx "$want" "$tmp/conffiles" || fail "$want is not a conffile"
done

if command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" \
    >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "apt-get could not install $deb"; }
else
  dpkg -i "$deb" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "dpkg -i failed"; }
fi
installed=1

# From the installed files, found through PATH and MANPATH as a user would.
[ "$(command -v logfetch)" = /usr/bin/logfetch ] || fail "logfetch is not /usr/bin/logfetch on PATH"
usage=$(cd "$tmp" && logfetch -?) || fail "logfetch -? failed"
grep -q "Download data from Vellorix" <<<"$usage" || fail "logfetch -? shows no usage"
[ "$(logfetch -v)" = "logfetch $version" ] || fail "logfetch -v says '$(logfetch -v)', not 'logfetch $version'"
# Slim images tell dpkg to leave manual pages out; then nothing here can be checked.
if grep -rqs '^path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/; then
  fail "dpkg is set to leave out manual pages ($(grep -rls '^path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/))"
fi
for page in logfetch boxsim; do
  path=$(man -w "$page") || fail "man -w $page finds no page"
  [ "$path" = "/usr/share/man/man1/$page.1" ] || fail "man -w $page gives $path"
  MANWIDTH=80 man -P cat "$page" 2>"$tmp/man.err" | grep -q "EXIT STATUS" ||
    fail "man $page does not render: $(cat "$tmp/man.err")"
  [ ! -s "$tmp/man.err" ] || fail "man $page warns: $(cat "$tmp/man.err")"
done

# The service: its user and files as postinst left them, the timer not
# enabled, the units as systemd reads them and their exposure.
owner_mode() { stat -c '%U:%G %a' "$1"; }
getent passwd logfetch >"$tmp/passwd" || fail "postinst made no user logfetch"
IFS=: read -r _ _ uid gid _ home shell <"$tmp/passwd"
[ "$uid" -lt 1000 ] || fail "logfetch is not a system user (uid $uid)"
[ "$(getent group logfetch | cut -d: -f3)" = "$gid" ] || fail "logfetch's group is not logfetch"
case "$shell" in */nologin | */false) ;; *) fail "logfetch may log in (shell $shell)" ;; esac
[ ! -e "$home" ] || [ "$home" = /nonexistent ] || fail "logfetch has a home of its own: $home"
while read -r path want; do
  [ "$(owner_mode "$path")" = "$want" ] || fail "$path is $(owner_mode "$path"), not $want"
done <<'EOF'
/var/lib/logfetch logfetch:logfetch 750
/etc/logfetch/site.toml logfetch:logfetch 600
EOF
[ ! -e /etc/systemd/system/timers.target.wants/logfetch.timer ] ||
  fail "installing the package enabled logfetch.timer"
units=(/usr/lib/systemd/system/logfetch.service /usr/lib/systemd/system/logfetch.timer)
systemd-analyze verify "${units[@]}" >"$tmp/verify.log" 2>&1 ||
  { cat "$tmp/verify.log"; fail "systemd-analyze verify refuses the units"; }
! grep -i "logfetch" "$tmp/verify.log" || fail "systemd-analyze verify warns about the units"
systemd-analyze security --offline=true "${units[0]}" >"$tmp/security.log" 2>&1 ||
  { cat "$tmp/security.log"; fail "systemd-analyze security could not rate logfetch.service"; }
exposure=$(sed -n 's/.*Overall exposure level for logfetch.service: \([0-9.]*\).*/\1/p' "$tmp/security.log")
[ -n "$exposure" ] || { cat "$tmp/security.log"; fail "no exposure level in systemd-analyze security"; }
awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' ||
  { grep '✗' "$tmp/security.log"; fail "logfetch.service is exposed $exposure, above 1.5"; }
echo "test-package: user logfetch ($uid), units verified, exposure $exposure"

# The installed simulator serves an installed sample box to the installed
# program (127.0.15.2, a net of its own).
addr=127.0.15.2
start_boxsim "$tmp/box" 1 boxsim --addr "$addr" --max-seconds 60 /usr/share/logfetch/examples/demo.box
grep -qx "boxsim: serving on $addr:811" "$tmp/box.out" || fail "the installed boxsim did not start"
mkdir "$tmp/reports"
(cd "$tmp/reports" && timeout 120 logfetch -i "$addr" -p public >"$tmp/walk.out") ||
  fail "the installed logfetch did not download the demo box"
reports=$(ls "$tmp/reports" | wc -l)
[ "$reports" -gt 0 ] || fail "the installed logfetch wrote no report"
echo "test-package: installed programs downloaded the demo box: $reports reports"

# The service's command, as systemd would run it: its options file, its user,
# its folder; the box added to the installed site file, which keeps its owner
# and mode. Once with no exporter folder, once with one logfetch may not
# write, once after dpkg-reconfigure granted it.
unit_value() { sed -n "s/^$1=//p" "${units[0]}"; }
exec_start=$(unit_value ExecStart)
work_dir=$(unit_value WorkingDirectory)
printf '\n[[box]]\nname = "demo"\naddress = "%s"\npassword = "public"\n' "$addr" >>/etc/logfetch/site.toml
run_service() {  # NAME: output in $tmp/NAME.out and .err
  local status=0
  # shellcheck disable=SC1091  # the installed options file
  (set -a && . /etc/default/logfetch && set +a && cd "$work_dir" && umask "$(unit_value UMask)" &&
    timeout 120 runuser -u logfetch -- "$exec_start" >"$tmp/$1.out" 2>"$tmp/$1.err") || status=$?
  [ "$status" -eq 0 ] ||
    { cat "$tmp/$1.out" "$tmp/$1.err"; fail "the service's command ($1) ended with status $status"; }
}
textfile_of() {
  grep -qE "^logfetch_run_exit_status\{box=\"[^\"]*\",address=\"$addr\"\} 0\$" "$1" 2>/dev/null ||
    fail "$1 holds no successful run of $addr"
}
existed_exporter=0
[ -d "$exporter" ] && existed_exporter=1
if [ "$existed_exporter" -eq 0 ]; then
  run_service no-exporter
  [ ! -s "$tmp/no-exporter.err" ] || fail "without an exporter folder the service says: $(cat "$tmp/no-exporter.err")"
  textfile_of /var/lib/logfetch/logfetch.prom
  made_exporter=$exporter
  while [ ! -d "$(dirname "$made_exporter")" ]; do made_exporter=$(dirname "$made_exporter"); done
  mkdir -p "$exporter"
  rm /var/lib/logfetch/logfetch.prom
  run_service unwritable
  grep -q "^logfetch-service: $exporter may not be written" "$tmp/unwritable.err" ||
    fail "the service does not say that it may not write $exporter: $(cat "$tmp/unwritable.err")"
  textfile_of /var/lib/logfetch/logfetch.prom
fi
dpkg-reconfigure logfetch >"$tmp/reconfigure.log" 2>&1 ||
  { cat "$tmp/reconfigure.log"; fail "dpkg-reconfigure logfetch failed"; }
run_service exporter
[ ! -s "$tmp/exporter.err" ] || fail "with an exporter folder the service says: $(cat "$tmp/exporter.err")"
textfile_of "$exporter/logfetch.prom"
[ "$(owner_mode "$exporter/logfetch.prom")" = "logfetch:logfetch 644" ] ||
  fail "the exporter cannot read $exporter/logfetch.prom: $(owner_mode "$exporter/logfetch.prom")"
for f in logfetch.state index.html "$addr.html" "${addr}_p1_temperature.txt" "${addr}_p1_s1_temperature.csv"; do
  [ "$(stat -c %U "/var/lib/logfetch/$f" 2>/dev/null)" = logfetch ] ||
    fail "the service's runs left no /var/lib/logfetch/$f of its user"
done
if [ "$existed_exporter" -eq 0 ]; then
  grep -qx "demo: Sensor on port 1 slot 1 has no new samples." "$tmp/exporter.out" ||
    fail "the service's later run is not incremental: $(cat "$tmp/exporter.out")"
fi
stop_boxsim "$boxsim_pid" || fail "the installed boxsim did not end cleanly on SIGINT"
grep -qx "boxsim: stopped" "$tmp/box.err" || fail "the installed boxsim did not see the SIGINT"
echo "test-package: the service's command collected the site as logfetch, textfile in the state folder or the exporter's"

# Enabled by hand (offline: no systemd need run), as the README says.
systemctl enable logfetch.timer >"$tmp/enable.log" 2>&1 ||
  { cat "$tmp/enable.log"; fail "systemctl enable logfetch.timer failed"; }
[ -L /etc/systemd/system/timers.target.wants/logfetch.timer ] || fail "systemctl enable made no link"

# Removal leaves none of the package's files behind.
if command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq logfetch >"$tmp/remove.log" 2>&1 ||
    { cat "$tmp/remove.log"; fail "apt-get could not remove logfetch"; }
else
  dpkg --purge logfetch >"$tmp/remove.log" 2>&1 || { cat "$tmp/remove.log"; fail "dpkg --purge failed"; }
fi
installed=0
if dpkg-query -W -f='${Status}' logfetch 2>/dev/null | grep -q "installed"; then
  fail "logfetch is still installed after removal"
fi
while read -r path; do
  [ -z "$path" ] || [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left after removal"
done <"$tmp/contents"
[ ! -e /usr/share/logfetch ] || fail "/usr/share/logfetch is left after removal"
for path in /var/lib/logfetch /etc/logfetch /etc/default/logfetch \
  /etc/systemd/system/timers.target.wants/logfetch.timer "$exporter/logfetch.prom"; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is left after purge"; fi
done
! getfacl -cp "$exporter" 2>/dev/null | grep -q "^user:logfetch:" ||
  fail "logfetch may still write $exporter after purge"
[ "$existed_exporter" -eq 1 ] || [ -z "$(getfacl -cps "$exporter")" ] ||
  fail "purge left an access list on $exporter: $(getfacl -cp "$exporter")"
! man -w logfetch >/dev/null 2>&1 || fail "man -w logfetch still finds a page after removal"
echo "test-package: installed, ran and removed cleanly"
