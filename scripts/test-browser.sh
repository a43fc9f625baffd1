#!/usr/bin/env bash
# The chart page in a real browser: downloads the sample box with -w, loads
# the page in headless Chromium, checks that it draws one chart per sensor
# history with its time and value grid, on/off sensors as states, without a
# console message, and that its screenshot is not blank; then the site page
# of a site run: a row per box, the stale one flagged, links to their pages.
# Uses the native build in build/ (NATIVE_BUILD overrides it). Needs root:
# the simulated box listens on UDP port 811. SCREENSHOT_OUT=FILE keeps the
# screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib.sh

require_root 0 "SKIPPED: boxsim must bind UDP port 811, which needs root"
bash scripts/install-deps.sh chromium imagemagick fonts-dejavu-core
command -v chromium >/dev/null || fail "chromium is not installed"

native="${NATIVE_BUILD:-$root/build}"
cmake --build "$native" -j"$(nproc)" --target logfetch boxsim >/dev/null
addr=127.0.13.1

tmp=$(mktemp -d)
trap 'kill_boxsims; rm -rf "$tmp"' EXIT

start_boxsim "$tmp/boxsim" 1 "$native/boxsim/boxsim" --addr "$addr" --max-seconds 60 examples/demo.box

mkdir "$tmp/run"
(cd "$tmp/run" && timeout 60 "$native/app/logfetch" -w -i "$addr" -p public) >"$tmp/logfetch.out" ||
  fail "logfetch -w failed: $(cat "$tmp/logfetch.out")"
page="$tmp/run/$addr.html"
[ -s "$page" ] || fail "no page written: $(cat "$tmp/logfetch.out")"
histories=$(find "$tmp/run" -name '*.csv' | wc -l)
[ "$histories" -gt 0 ] || fail "no CSV history written"

# Root needs --no-sandbox; a profile of our own keeps runs apart.
browse() {
  timeout 60 chromium --headless --no-sandbox --disable-gpu --no-first-run \
    --user-data-dir="$tmp/profile" --enable-logging=stderr --v=0 "$@" "file://$page"
}
browse --dump-dom >"$tmp/dom.html" 2>"$tmp/dom.log" || fail "chromium could not load the page"
count() { grep -o "$1" "$tmp/dom.html" | wc -l; }
charts=$(count '<svg class="chart"')
lines=$(count '<path class="line" d="M')
means=$(count '<path class="mean" d="M')
states=$(count '<path class="state" d="M')
grids=$(count '<line class="grid"')
ticks=$(count '<text class="tick"')
on_off=$(find "$tmp/run" -regex '.*_\(water\|security\|drycontact\|relay\|motion\)\.csv' | wc -l)
echo "test-browser: $histories histories ($on_off on/off), $charts charts, $lines bands," \
  "$means mean lines, $states state lines, $grids grid lines, $ticks tick labels"
[ "$charts" -eq "$histories" ] || fail "$charts charts for $histories histories"
[ "$states" -eq "$on_off" ] || fail "$states state charts for $on_off on/off sensors"
[ "$lines" -eq $((histories - on_off)) ] || fail "$lines bands for $((histories - on_off)) series"
[ "$means" -eq "$lines" ] || fail "$means mean lines for $lines bands"
[ "$grids" -ge $((3 * histories)) ] || fail "only $grids grid lines for $histories charts"
[ "$ticks" -ge $((3 * histories)) ] || fail "only $ticks tick labels for $histories charts"
grep -q 'class="written">Page written ' "$tmp/dom.html" || fail "the page does not say when it was written"
if [ "$on_off" -gt 0 ]; then
  grep -q 'class="alarm-time">In alarm' "$tmp/dom.html" || fail "no alarm time for an on/off sensor"
fi
if grep -q 'CONSOLE' "$tmp/dom.log"; then
  grep 'CONSOLE' "$tmp/dom.log" >&2
  fail "the page logged to the browser console"
fi

browse --screenshot="$tmp/page.png" --window-size=900,1600 --hide-scrollbars \
  >/dev/null 2>"$tmp/shot.log" || fail "chromium could not take a screenshot"
[ -s "$tmp/page.png" ] || fail "no screenshot"
colours=$(identify -format '%k' "$tmp/page.png")
echo "test-browser: screenshot $(identify -format '%wx%h' "$tmp/page.png"), $colours colours"
[ "$colours" -ge 16 ] || fail "the screenshot looks blank ($colours colours)"
if [ -n "${SCREENSHOT_OUT:-}" ]; then cp "$tmp/page.png" "$SCREENSHOT_OUT"; fi

# The site page: one boxsim serving a box on the host's clock and one whose
# newest sample is days old, collected by one site run with -w.
stop_boxsim "$boxsim_pid" || true
fresh=127.0.13.11 stale=127.0.13.12
start_boxsim "$tmp/site-boxsim" 2 "$native/boxsim/boxsim" --max-seconds 60 \
  --box "$fresh=examples/site-server-room.box" --box "$stale=examples/scheduled.box"
mkdir "$tmp/site"
printf '[[box]]\nname = "fresh"\naddress = "%s"\npassword = "public"\n[[box]]\nname = "stale"\naddress = "%s"\npassword = "public"\n' \
  "$fresh" "$stale" >"$tmp/site/site.toml"
chmod 600 "$tmp/site/site.toml"
(cd "$tmp/site" && timeout 60 "$native/app/logfetch" -f site.toml -w) >"$tmp/site.out" ||
  fail "the site run failed: $(cat "$tmp/site.out")"
page="$tmp/site/index.html"
[ -s "$page" ] || fail "no site page written: $(cat "$tmp/site.out")"
browse --dump-dom >"$tmp/site-dom.html" 2>"$tmp/site-dom.log" || fail "chromium could not load the site page"
rows=$(grep -o '<tr[ >]' "$tmp/site-dom.html" | wc -l)
behind=$(grep -o '<tr class="behind">' "$tmp/site-dom.html" | wc -l)
links=$(grep -o '<a href="127\.0\.13\.1[12]\.html">' "$tmp/site-dom.html" | wc -l)
echo "test-browser: site page: $((rows - 1)) boxes, $behind flagged behind, $links links to box pages"
[ "$rows" -eq 3 ] || fail "the site page has $((rows - 1)) rows for 2 boxes"
[ "$behind" -eq 1 ] || fail "$behind boxes flagged behind, not the one stale box"
grep -q '<tr class="behind"><td>stale</td>' "$tmp/site-dom.html" || fail "the stale box is not the one flagged"
[ "$links" -eq 2 ] || fail "$links links to the boxes' pages, not 2"
if grep -q 'CONSOLE' "$tmp/site-dom.log"; then
  grep 'CONSOLE' "$tmp/site-dom.log" >&2
  fail "the site page logged to the browser console"
fi
echo "test-browser: passed"
