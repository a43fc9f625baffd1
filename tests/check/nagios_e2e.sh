#!/usr/bin/env bash
# --check under a real Nagios: nagios4 in the foreground with a config of its
# own in a temporary folder (one host, one service whose command is
# `logfetch -f SITE --check -n -c`, checked every few seconds) against one
# boxsim box on 127.0.57.20; passes when status.dat holds the service's
# output and performance data from a real check.
#
# Under ctest LOGFETCH_EXE and BOXSIM_EXE name the binaries; SKIP is the
# status for a machine without root.
set -euo pipefail
cd "$(dirname "$0")/../.."
skip=${CHECK_SKIP:-1}
. scripts/lib.sh
require_root "$skip" "needs root: boxsim binds UDP port 811"
bash scripts/install-deps.sh nagios4-core >&2
nagios=$(command -v nagios4 || echo /usr/sbin/nagios4)
[ -x "$nagios" ] || fail "nagios4 is not installed"
logfetch=$(realpath "${LOGFETCH_EXE:?}")
boxsim=$(realpath "${BOXSIM_EXE:?}")
addr=127.0.57.20
work=$(mktemp -d /tmp/logfetch-nagios-XXXXXX)
nagios_pid=
trap '[ -z "$nagios_pid" ] || { kill "$nagios_pid" 2>/dev/null; wait "$nagios_pid" 2>/dev/null; }; kill_boxsims; rm -rf "$work"' EXIT

{
  printf 'system Rack\nclock now\npassword public\n'
  printf '[port 1 slot 1]\ntype temperature\nunit C\nsample_size 2\ninterval 5\ncapacity 500\nlast_log_time clock\ngenerate 40 ramp 200 5\n'
} >"$work/rack.box"
start_boxsim "$work/boxsim" 1 "$boxsim" --max-seconds 90 --box "$addr=$work/rack.box"
mkdir "$work/site" "$work/spool"
printf '[[box]]\nname = "rack"\naddress = "%s"\npassword = "public"\n[[box.sensor]]\nport = 1\nslot = 1\nwarn = "~:400"\ncrit = "~:500"\n' \
  "$addr" >"$work/site/site.toml"
chmod 600 "$work/site/site.toml"

cat >"$work/objects.cfg" <<CFG
define timeperiod {
  timeperiod_name always
  alias           always
  sunday 00:00-24:00
  monday 00:00-24:00
  tuesday 00:00-24:00
  wednesday 00:00-24:00
  thursday 00:00-24:00
  friday 00:00-24:00
  saturday 00:00-24:00
}
define command {
  command_name check_logfetch
  command_line $logfetch -f $work/site/site.toml --check -n -c
}
define command {
  command_name host_up
  command_line /bin/true
}
define contact {
  contact_name                  nobody
  host_notifications_enabled    0
  service_notifications_enabled 0
  host_notification_period      always
  service_notification_period   always
  host_notification_options     n
  service_notification_options  n
  host_notification_commands    host_up
  service_notification_commands host_up
}
define host {
  host_name          site
  address            127.0.0.1
  check_command      host_up
  max_check_attempts 1
  check_period       always
  contacts           nobody
}
define service {
  host_name           site
  service_description logfetch
  check_command       check_logfetch
  max_check_attempts  1
  check_interval      3
  retry_interval      3
  check_period        always
  contacts            nobody
}
CFG
cat >"$work/nagios.cfg" <<CFG
cfg_file=$work/objects.cfg
log_file=$work/nagios.log
status_file=$work/status.dat
status_update_interval=1
check_result_path=$work/spool
check_result_reaper_frequency=1
temp_file=$work/nagios.tmp
temp_path=$work
lock_file=$work/nagios.lock
object_cache_file=$work/objects.cache
precached_object_file=$work/objects.precache
query_socket=$work/nagios.qh
state_retention_file=$work/retention.dat
retain_state_information=0
use_retained_scheduling_info=0
check_external_commands=0
interval_length=1
max_service_check_spread=1
max_host_check_spread=1
service_inter_check_delay_method=n
host_inter_check_delay_method=n
enable_notifications=0
enable_event_handlers=0
enable_flap_detection=0
nagios_user=root
nagios_group=root
allow_empty_hostgroup_assignment=1
CFG
"$nagios" -v "$work/nagios.cfg" >"$work/verify.out" 2>&1 || fail "nagios4 refuses the config: $(tail -20 "$work/verify.out")"
"$nagios" "$work/nagios.cfg" >"$work/nagios.out" 2>&1 &
nagios_pid=$!

# The service's block of status.dat once a real check has come back.
block=
for ((tries = 600; tries > 0; tries--)); do
  if [ -f "$work/status.dat" ]; then
    block=$(awk '/^servicestatus \{/ { b = ""; on = 1 } on { b = b $0 "\n" } on && /^\t\}/ { on = 0; if (b ~ /has_been_checked=1/) print b }' "$work/status.dat")
    [ -n "$block" ] && grep -q "plugin_output=LOGFETCH" <<<"$block" && break
  fi
  kill -0 "$nagios_pid" 2>/dev/null || fail "nagios4 ended: $(tail -20 "$work/nagios.out")"
  sleep 0.1
done
[ -n "$block" ] && grep -q "plugin_output=LOGFETCH" <<<"$block" ||
  fail "no check result in 60 s: $(tail -20 "$work/nagios.log" 2>/dev/null)"
grep -qx $'\tplugin_output=LOGFETCH OK - 1 box, 1 sensor' <<<"$block" ||
  fail "the service's output: $(grep plugin_output <<<"$block")"
grep -qx $'\tperformance_data='"'rack p1s1 temperature'=395;~:400;~:500" <<<"$block" ||
  fail "the service's performance data: $(grep performance_data <<<"$block")"
grep -qx $'\tcurrent_state=0' <<<"$block" || fail "the service's state: $(grep current_state <<<"$block")"
echo "nagios_e2e: $(grep -E 'plugin_output|performance_data' <<<"$block" | tr -d '\t' | tr '\n' ' ')"
