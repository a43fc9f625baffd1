#!/usr/bin/env bash
# The Debian package: builds it with cpack from the native build, installs it
# with apt-get (dpkg -i where apt-get is missing), runs the installed programs
# and reads the installed manual pages, then removes it and checks that
# nothing of it is left. Needs root; uses the native build in build/ that
# scripts/test.sh makes first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib.sh

require_root 0 "not root: the package check installs a package and is skipped"
# dpkg-shlibdeps (dpkg-dev) and file find the runtime libraries the package depends on.
bash scripts/install-deps.sh dpkg-dev file man-db

native="${NATIVE_BUILD:-$root/build}"
[ -f "$native/CPackConfig.cmake" ] || fail "$native is not configured: run scripts/test.sh first"
if dpkg-query -W -f='${Status}' logfetch 2>/dev/null | grep -q "ok installed"; then
  fail "a logfetch package is installed already; remove it first (apt-get remove logfetch)"
fi

tmp=$(mktemp -d)
installed=0
cleanup() {
  kill_boxsims
  if [ "$installed" -eq 1 ]; then dpkg --purge logfetch >/dev/null 2>&1 || true; fi
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
  /usr/share/doc/logfetch/README.md /usr/share/doc/logfetch/boxsim.md; do
  grep -qx "$want" "$tmp/contents" || fail "the package lacks $want"
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

# The installed simulator serves an installed sample box to the installed
# program (127.0.15.2, a net of its own).
addr=127.0.15.2
start_boxsim "$tmp/box" 1 boxsim --addr "$addr" --max-seconds 60 /usr/share/logfetch/examples/demo.box
grep -qx "boxsim: serving on $addr:811" "$tmp/box.out" || fail "the installed boxsim did not start"
mkdir "$tmp/reports"
(cd "$tmp/reports" && timeout 120 logfetch -i "$addr" -p public >"$tmp/walk.out") ||
  fail "the installed logfetch did not download the demo box"
stop_boxsim "$boxsim_pid" || fail "the installed boxsim did not end cleanly on SIGINT"
grep -qx "boxsim: stopped" "$tmp/box.err" || fail "the installed boxsim did not see the SIGINT"
reports=$(ls "$tmp/reports" | wc -l)
[ "$reports" -gt 0 ] || fail "the installed logfetch wrote no report"
echo "test-package: installed programs downloaded the demo box: $reports reports"

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
! man -w logfetch >/dev/null 2>&1 || fail "man -w logfetch still finds a page after removal"
echo "test-package: installed, ran and removed cleanly"
