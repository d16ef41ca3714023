#!/usr/bin/env bash
# Runs the BOINC build of kalvenor under the stock BOINC client (boinc and
# boinccmd, 7.20 as Debian ships it), with no server and no network: each
# scenario gets a client of its own, with a data directory made here by hand
# (anonymous platform, the unit's input already downloaded, an upload URL
# that is never contacted), its own GUI RPC port and password.
#
#   tests/boinc/real-client-test.sh path/to/boinc-build/kalvenor
#
# Scenarios, side by side (one task each, one CPU each):
#   a  a unit runs to the end: exit status 0, results.jsonl ready to upload
#      with its md5 recorded, the known factor in it, fraction done rising;
#   b  suspended in memory (leave_apps_in_memory) and resumed: no CPU used
#      while suspended, the same process goes on, the same bytes as a;
#   c  boinccmd --quit once a checkpoint is in the slot, then the client
#      again: the task continues from the checkpoint, the same bytes as a;
#   d  abort: the app ends within seconds, state aborted, exit status 203;
#   e  a unit whose line the program refuses: a computation error that the
#      app reported itself (boinc_finish with a non-zero status);
#   f  the app version laid out with its own BOINC libraries (by
#      boinc/app_version.sh where the tree has it), run by a client in a
#      mount namespace where the system's BOINC libraries are empty files:
#      runs to the end with the same bytes as a.
# One line per scenario, PASS or FAIL with the reason; the exit code is 1 on
# any failure. Every client and app started here is killed on the way out.
set -uo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tree=$(cd "$here/../.." && pwd)

program=${1:-}
[ -n "$program" ] || { echo "usage: real-client-test.sh path/to/boinc-build/kalvenor" >&2; exit 2; }
[ -x "$program" ] || { echo "real-client-test.sh: $program is not an executable" >&2; exit 2; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
for tool in boinc boinccmd python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "real-client-test.sh: $tool not found" >&2; exit 2; }
done
# A unit's command line pins the sieve depth, so every replica sieves alike.
command_line="--sieve-primes 200000"

# The client's own version and platform: a state file of another version
# makes it run benchmarks first, and the app version must be of its platform.
read -r client_version platform < <(boinc --version)
IFS=. read -r major minor release <<<"$client_version"
api_library=$(ldd "$program" | awk '/libboinc_api/ { print $3 }')
api_version=$(strings "${api_library:-/dev/null}" 2>/dev/null | sed -n 's/^API_VERSION_\([0-9.]*\)$/\1/p' | head -n 1)
[ -n "$api_version" ] || { echo "real-client-test.sh: no API_VERSION string in ${api_library:-the BOINC API library}" >&2; exit 2; }

url=http://127.0.0.1:1/kalvenor/  # port 1: any contact fails at once
project_dir=127.0.0.1_1_kalvenor   # the client's escaped form of the URL
# The factor lies a sixth of the way into this range: about 12 s of one CPU
# (AMD EPYC); four such tasks share the machine's CPUs.
line=FermatFactor=36,36,25000000001,29000000001
factor='25709319373*2^36+1'
bad_line=FermatFactor=36,36,29000000001,25000000001  # kStart > kEnd

tmp=$(mktemp -d /tmp/kalvenor-boinc-client.XXXXXX)
scenario_pids=()
cleanup() {
  local pid dir
  for pid in "${scenario_pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  for dir in "$tmp"/*/; do
    [ -f "$dir/client.pid" ] && kill -KILL "$(cat "$dir/client.pid")" 2>/dev/null
  done
  # The apps outlive a killed client; they are the processes working in a
  # slot of these data directories.
  for pid in /proc/[0-9]*; do
    [[ $(readlink "$pid/cwd" 2>/dev/null) == "$tmp"/* ]] && kill -KILL "${pid#/proc/}" 2>/dev/null
  done
  sleep 0.2
  # KALVENOR_KEEP_CLIENT_DIRS=1 keeps the data directories to look into.
  if [ "${KALVENOR_KEEP_CLIENT_DIRS:-0}" = 1 ]; then echo "data directories kept in $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {  # a random port nobody listens on, never the real client's 31416
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    [ "$port" -eq 31416 ] && continue
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}

md5() { md5sum "$1" | cut -d' ' -f1; }

# ---- a client's data directory
app_info_plain() {  # app_info.xml for the build as it is, linked to the system's libraries
  cat <<EOF
<app_info>
  <app><name>kalvenor</name></app>
  <file_info><name>kalvenor</name><executable/></file_info>
  <app_version>
    <app_name>kalvenor</app_name>
    <version_num>100</version_num>
    <platform>$platform</platform>
    <api_version>$api_version</api_version>
    <avg_ncpus>1</avg_ncpus>
    <file_ref><file_name>kalvenor</file_name><main_program/></file_ref>
  </app_version>
</app_info>
EOF
}

setup() {  # setup DIR UNIT LINE [PREFS]: the data directory of a client with one downloaded task
  local dir=$1 unit=$2 unit_line=$3 prefs=${4:-} now
  mkdir -p "$dir/projects/$project_dir"
  free_port >"$dir/port"
  printf 'kalvenor-test-%s\n' "$RANDOM$RANDOM" >"$dir/gui_rpc_auth.cfg"
  printf '%s\n' "$unit_line" >"$dir/projects/$project_dir/$unit"
  if [ ! -f "$dir/projects/$project_dir/app_info.xml" ]; then
    cp "$program" "$dir/projects/$project_dir/kalvenor"
    app_info_plain >"$dir/projects/$project_dir/app_info.xml"
  fi
  cat >"$dir/account_$project_dir.xml" <<EOF
<account>
  <master_url>$url</master_url>
  <authenticator>kalvenor-test</authenticator>
  <project_name>kalvenor test</project_name>
</account>
EOF
  # Apps at normal priority: at idle priority they would starve behind
  # anything else on the machine.
  cat >"$dir/cc_config.xml" <<EOF
<cc_config><options>
  <no_gpus>1</no_gpus>
  <skip_cpu_benchmarks>1</skip_cpu_benchmarks>
  <no_priority_change>1</no_priority_change>
  <no_info_fetch>1</no_info_fetch>
</options></cc_config>
EOF
  # Compute whatever else runs (the other clients included: to each other
  # they are non-BOINC load) and whether or not a user is active.
  cat >"$dir/global_prefs_override.xml" <<EOF
<global_preferences>
  <run_on_batteries>1</run_on_batteries>
  <run_if_user_active>1</run_if_user_active>
  <run_gpu_if_user_active>1</run_gpu_if_user_active>
  <suspend_cpu_usage>0</suspend_cpu_usage>
  <max_ncpus_pct>100</max_ncpus_pct>
  <cpu_usage_limit>100</cpu_usage_limit>
  <ram_max_used_busy_pct>90</ram_max_used_busy_pct>
  <ram_max_used_idle_pct>90</ram_max_used_idle_pct>
  <disk_max_used_pct>100</disk_max_used_pct>
  <disk_min_free_gb>0</disk_min_free_gb>
  $prefs
</global_preferences>
EOF
  now=$(date +%s)
  cat >"$dir/client_state.xml" <<EOF
<client_state>
<core_client_major_version>$major</core_client_major_version>
<core_client_minor_version>$minor</core_client_minor_version>
<core_client_release>$release</core_client_release>
<user_run_request>1</user_run_request>
<user_gpu_request>3</user_gpu_request>
<user_network_request>3</user_network_request>
<project>
  <master_url>$url</master_url>
  <project_name>kalvenor test</project_name>
  <dont_request_more_work/>
  <resource_share>100</resource_share>
</project>
<app><name>kalvenor</name></app>
<file_info>
  <name>$unit</name>
  <nbytes>$(stat -c %s "$dir/projects/$project_dir/$unit")</nbytes>
  <max_nbytes>0</max_nbytes>
  <md5_cksum>$(md5 "$dir/projects/$project_dir/$unit")</md5_cksum>
  <status>1</status>
</file_info>
<file_info>
  <name>${unit}_r0_0</name>
  <max_nbytes>1000000</max_nbytes>
  <url>http://127.0.0.1:1/kalvenor_cgi/file_upload_handler</url>
</file_info>
<workunit>
  <name>$unit</name>
  <app_name>kalvenor</app_name>
  <version_num>100</version_num>
  <command_line>$command_line</command_line>
  <rsc_fpops_est>1e12</rsc_fpops_est>
  <rsc_fpops_bound>1e18</rsc_fpops_bound>
  <rsc_memory_bound>1e9</rsc_memory_bound>
  <rsc_disk_bound>1e9</rsc_disk_bound>
  <file_ref>
    <file_name>$unit</file_name>
    <open_name>worktodo.txt</open_name>
    <copy_file/>
  </file_ref>
</workunit>
<result>
  <name>${unit}_r0</name>
  <final_cpu_time>0</final_cpu_time>
  <exit_status>0</exit_status>
  <state>2</state>
  <platform>$platform</platform>
  <version_num>100</version_num>
  <wu_name>$unit</wu_name>
  <report_deadline>$((now + 7 * 86400))</report_deadline>
  <received_time>$now</received_time>
  <file_ref>
    <file_name>${unit}_r0_0</file_name>
    <open_name>results.jsonl</open_name>
    <copy_file/>
  </file_ref>
</result>
</client_state>
EOF
  echo "$unit" >"$dir/unit"
}

# start_client DIR [WRAPPER...]: the client in DIR, its messages in DIR/client.log;
# fails when it does not answer on its port within 30 s.
start_client() {
  local dir=$1; shift
  "$@" boinc --dir "$dir" --gui_rpc_port "$(cat "$dir/port")" --allow_multiple_clients \
    --skip_cpu_benchmarks --no_gpus --no_info_fetch >>"$dir/client.log" 2>&1 &
  echo $! >"$dir/client.pid"
  wait_until 30 answers "$dir"
}
rpc() {  # rpc DIR ARGS...: boinccmd against the client of DIR
  local dir=$1; shift
  boinccmd --host "127.0.0.1:$(cat "$dir/port")" --passwd "$(cat "$dir/gui_rpc_auth.cfg")" "$@"
}
task() {  # task DIR FIELD: a field of the one task, as boinccmd --get_tasks prints it
  rpc "$1" --get_tasks 2>/dev/null | sed -n "s/^ *$2: //p" | head -n 1
}
task_control() {  # task_control DIR suspend|resume|abort
  rpc "$1" --task "$url" "$(cat "$1/unit")_r0" "$2"
}
app_pid() {  # the app's process, once the client started it
  local pid
  pid=$(task "$1" PID)
  [ -n "$pid" ] && [ "$pid" != 0 ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }
alive() { kill -0 "$1" 2>/dev/null; }
wait_until() {  # wait_until SECONDS COMMAND...: true once COMMAND is, false after SECONDS
  local half
  # Each look may ask a client: twice a second keeps six of them cheap.
  for ((half = 0; half < 2 * $1; half++)); do
    "${@:2}" && return 0
    sleep 0.5
  done
  return 1
}
answers() { rpc "$1" --get_tasks >/dev/null 2>&1; }
running_past() {  # running_past DIR FRACTION: the app reported at least FRACTION done
  local done
  done=$(task "$1" "fraction done")
  [ -n "$done" ] && awk -v d="$done" -v f="$2" 'BEGIN { exit !(d >= f) }'
}
task_over() {  # the task left the running states: uploading, error, aborted...
  local state
  state=$(task "$1" state)
  [ -n "$state" ] && [ "$state" != downloaded ]
}
quit_client() {  # quit_client DIR: a clean quit, so client_state.xml holds everything
  local dir=$1 pid
  pid=$(cat "$dir/client.pid")
  rpc "$dir" --quit >/dev/null 2>&1
  wait_until 90 eval "! alive $pid" || { kill -KILL "$pid" 2>/dev/null; return 1; }
}
final() {  # final DIR: the result's state, exit status and output checksum, from client_state.xml
  python3 - "$1/client_state.xml" "$(cat "$1/unit")" "$1/stderr_out" <<'EOF'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
unit = sys.argv[2]
result = next((r for r in root.iter("result") if r.findtext("name") == unit + "_r0"), None)
# The client writes its files as <file>, though it reads <file_info> too.
out = next((f for f in root.iter("file") if f.findtext("name") == unit + "_r0_0"), None)
if result is None:
    print("state=missing exit_status= md5=")
    sys.exit()
with open(sys.argv[3], "w") as f:
    f.write(result.findtext("stderr_out") or "")
md5 = out.findtext("md5_cksum") if out is not None else ""
print(f"state={result.findtext('state')} exit_status={result.findtext('exit_status')} md5={md5 or ''}")
EOF
}
# The one task's result, from the state file the client wrote at its quit.
load_final() {  # load_final DIR: sets state, exit_status, recorded_md5
  local dir=$1
  state= exit_status= recorded_md5=
  eval "$(final "$dir" | sed 's/md5=/recorded_md5=/')"
}
output_of() { echo "$1/projects/$project_dir/$(cat "$1/unit")_r0_0"; }
console_of() {  # what the app printed, wherever the client put it
  cat "$1/stderr_out" "$1/client.log" "$1"/slots/*/stderr.txt "$1"/slots/*/stdout.txt 2>/dev/null
}
report() {  # report DIR LETTER PASS|FAIL TEXT: the scenario's line
  printf '%s %s: %s\n' "$3" "$2" "$4" >"$tmp/result-$2"
}

# checks_done DIR: the task ended as a success ready to upload, with the factor
completed() {
  local dir=$1 output
  output=$(output_of "$dir")
  load_final "$dir"
  [ "$state" = 4 ] || { why="result state $state, not 4 (uploading); exit status $exit_status"; return 1; }
  [ "$exit_status" = 0 ] || { why="exit status $exit_status"; return 1; }
  [ -s "$output" ] || { why="no output file $(basename "$output")"; return 1; }
  [ "$recorded_md5" = "$(md5 "$output")" ] || { why="the output's md5 is not the one in client_state.xml ('$recorded_md5')"; return 1; }
  [ "$(grep -c . "$output")" -eq 1 ] || { why="results.jsonl holds $(grep -c . "$output") records, not 1"; return 1; }
  grep -qF "\"line\":\"$line\"" "$output" || { why="the record is not of $line: $(cat "$output")"; return 1; }
  grep -qF "{\"factor\":\"$factor\",\"m\":28}" "$output" || { why="the record lacks $factor: $(cat "$output")"; return 1; }
  grep -qF '"status":"complete"' "$output" || { why="the record is not complete: $(cat "$output")"; return 1; }
  return 0
}

# ---- the scenarios, each in a subshell of its own
scenario_a() {
  local dir=$tmp/a fractions=() done rising half
  setup "$dir" kalvenor_a "$line"
  start_client "$dir" || { report "$dir" a FAIL "the client did not answer on its port"; return; }
  # Sampled until the task ends; a fraction is only recorded while it runs.
  for ((half = 0; half < 1200; half++)); do
    task_over "$dir" && break
    done=$(task "$dir" "fraction done")
    [ -n "$done" ] && fractions+=("$done")
    sleep 0.5
  done
  quit_client "$dir" || { report "$dir" a FAIL "the client did not quit"; return; }
  completed "$dir" || { report "$dir" a FAIL "$why"; return; }
  # Rising: never down, and at least three distinct values strictly inside (0, 1].
  rising=$(printf '%s\n' "${fractions[@]}" | awk '
    { if (NR > 1 && $1 + 0 < last) down = 1; last = $1 + 0; if ($1 > 0 && !seen[$1]++) distinct++ }
    END { print (down ? "down" : distinct + 0) }')
  if [ "$rising" = down ] || [ "$rising" -lt 3 ]; then
    report "$dir" a FAIL "fraction done did not rise: $(printf '%s ' "${fractions[@]}")"
    return
  fi
  report "$dir" a PASS "exit status 0, results.jsonl ready to upload with its md5, $factor in it, fraction done rose through $rising values"
}

scenario_b() {
  local dir=$tmp/b pid before after resumed
  setup "$dir" kalvenor_b "$line" "<leave_apps_in_memory>1</leave_apps_in_memory>"
  start_client "$dir" || { report "$dir" b FAIL "the client did not answer on its port"; return; }
  wait_until 300 running_past "$dir" 0.05 || { report "$dir" b FAIL "the task never reached 5%"; return; }
  pid=$(app_pid "$dir") || { report "$dir" b FAIL "no app process"; return; }
  task_control "$dir" suspend
  wait_until 30 eval '[ "$(task "$dir" "active_task_state")" = SUSPENDED ]' ||
    { report "$dir" b FAIL "the task was not suspended: $(task "$dir" active_task_state)"; return; }
  # The work in hand when the request came is allowed to end.
  sleep 3
  alive "$pid" || { report "$dir" b FAIL "the app left memory on suspend"; return; }
  before=$(cpu_ticks "$pid")
  sleep 4
  after=$(cpu_ticks "$pid")
  task_control "$dir" resume
  wait_until 600 task_over "$dir"
  resumed=$(alive "$pid" && echo yes || echo no)
  quit_client "$dir" || { report "$dir" b FAIL "the client did not quit"; return; }
  completed "$dir" || { report "$dir" b FAIL "$why"; return; }
  # The library's timer thread wakes ten times a second; a clock tick or two
  # over four seconds is that, anything more is computing.
  if [ $((after - before)) -gt 2 ]; then
    report "$dir" b FAIL "the suspended app used $((after - before)) clock ticks of CPU in 4 s"
    return
  fi
  echo "$((after - before))" >"$dir/suspended_ticks"
  report "$dir" b PASS "suspended in memory (same process $pid, $((after - before)) clock ticks in 4 s), resumed to exit status 0"
}

tested_in() { sed -n 's/^kTested *= *//p' "$1" 2>/dev/null; }  # candidates done, per a checkpoint
scenario_c() {
  local dir=$tmp/c pid slot before after starts
  # A checkpoint granted every two seconds, so one is there long before the end.
  setup "$dir" kalvenor_c "$line" "<disk_interval>2</disk_interval>"
  start_client "$dir" || { report "$dir" c FAIL "the client did not answer on its port"; return; }
  wait_until 300 eval 'compgen -G "$dir/slots/*/kalvenor.cpt" >/dev/null && running_past "$dir" 0.05' ||
    { report "$dir" c FAIL "no checkpoint in the slot by 5% done"; return; }
  pid=$(app_pid "$dir") || { report "$dir" c FAIL "no app process"; return; }
  slot=$(dirname "$(compgen -G "$dir/slots/*/kalvenor.cpt")")
  quit_client "$dir" || { report "$dir" c FAIL "the client did not quit within 90 s"; return; }
  wait_until 30 eval "! alive $pid" || { report "$dir" c FAIL "the app outlived the client's quit"; return; }
  [ -f "$slot/kalvenor.cpt" ] || { report "$dir" c FAIL "the checkpoint did not survive the quit"; return; }
  cp "$slot/kalvenor.cpt" "$dir/checkpoint.at-quit"
  before=$(tested_in "$dir/checkpoint.at-quit")
  start_client "$dir" || { report "$dir" c FAIL "the restarted client did not answer"; return; }
  # The client sends the app's console to /dev/null, so the resume shows in
  # the slot: the restarted app's first checkpoint goes on from the old one,
  # and its log has no second start of the range.
  wait_until 300 eval '[ "$slot/kalvenor.cpt" -nt "$dir/checkpoint.at-quit" ]' ||
    { report "$dir" c FAIL "the restarted app wrote no checkpoint in $slot"; return; }
  cp "$slot/kalvenor.cpt" "$dir/checkpoint.after-restart"
  cp "$slot/results.txt" "$dir/results.txt.after-restart"
  after=$(tested_in "$dir/checkpoint.after-restart")
  starts=$(grep -c "Starting range" "$dir/results.txt.after-restart")
  wait_until 600 task_over "$dir"
  quit_client "$dir" || { report "$dir" c FAIL "the client did not quit"; return; }
  completed "$dir" || { report "$dir" c FAIL "after the restart: $why"; return; }
  if [ -z "$before" ] || [ -z "$after" ] || [ "$after" -lt "$before" ] || [ "$starts" -ne 1 ]; then
    report "$dir" c FAIL "the restarted app started the range again: $starts start(s) logged, $before candidates tested at the quit, $after at its first checkpoint"
    return
  fi
  report "$dir" c PASS "quit with $before candidates tested; the restarted task went on from there ($after at its first checkpoint, one start logged) to exit status 0"
}

scenario_d() {
  local dir=$tmp/d pid tenths
  setup "$dir" kalvenor_d "$line"
  start_client "$dir" || { report "$dir" d FAIL "the client did not answer on its port"; return; }
  wait_until 300 running_past "$dir" 0.02 || { report "$dir" d FAIL "the task never reached 2%"; return; }
  pid=$(app_pid "$dir") || { report "$dir" d FAIL "no app process"; return; }
  task_control "$dir" abort
  # The client kills an app that ignores the request only after a while; ten
  # seconds is well inside that and well beyond a batch.
  for ((tenths = 0; tenths < 100; tenths++)); do alive "$pid" || break; sleep 0.1; done
  if alive "$pid"; then
    report "$dir" d FAIL "the app still ran 10 s after the abort"
    return
  fi
  quit_client "$dir" || { report "$dir" d FAIL "the client did not quit"; return; }
  load_final "$dir"
  if [ "$state" != 6 ] || [ "$exit_status" != 203 ]; then
    report "$dir" d FAIL "after the abort: state $state, exit status $exit_status (expected 6, 203)"
    return
  fi
  report "$dir" d PASS "the app ended $((tenths / 10)).$((tenths % 10)) s after the abort; state 6, exit status 203"
}

scenario_e() {
  local dir=$tmp/e finished reason
  setup "$dir" kalvenor_e "$bad_line"
  start_client "$dir" || { report "$dir" e FAIL "the client did not answer on its port"; return; }
  wait_until 120 task_over "$dir" || { report "$dir" e FAIL "the refused unit did not end within 2 minutes"; return; }
  quit_client "$dir" || { report "$dir" e FAIL "the client did not quit"; return; }
  load_final "$dir"
  # The library logs the status the app finished with; a zero there means
  # the client saw an error only because results.jsonl was missing.
  finished=$(sed -n 's/.*called boinc_finish(\(-\{0,1\}[0-9]*\)).*/\1/p' "$dir/stderr_out" | tail -n 1)
  # And the app says why, beside the library's own lines.
  reason=$(sed -n '/<stderr_txt>/,/<\/stderr_txt>/p' "$dir/stderr_out" |
           grep -v -e '^ *$' -e 'stderr_txt>$' -e 'called boinc_finish' | head -n 1)
  if [ "$state" != 3 ]; then
    report "$dir" e FAIL "the refused unit ended in state $state (exit status $exit_status), not a computation error (3)"
  elif [ "$exit_status" = 0 ] || [ "${finished:-}" = 0 ]; then
    report "$dir" e FAIL "the refused unit is an error only for its missing output: the app called boinc_finish(${finished:-?}), exit status $exit_status"
  elif [ -z "$finished" ] || [ "$finished" != "$exit_status" ]; then
    report "$dir" e FAIL "exit status $exit_status is not the app's own (boinc_finish(${finished:-none}) in its stderr)"
  elif [ -z "$reason" ]; then
    report "$dir" e FAIL "exit status $exit_status, but stderr.txt gives no reason"
  else
    report "$dir" e PASS "computation error with the app's own exit status $exit_status ($reason)"
  fi
}

# The app version as an operator ships it: boinc/app_version.sh where the
# tree has it, else the executable beside the BOINC libraries it loads.
lay_out_app() {  # lay_out_app PROJECT_DIR: the files and app_info.xml of the app version
  local target=$1 layout=$tmp/app_version version_dir library
  if [ -x "$tree/boinc/app_version.sh" ]; then
    "$tree/boinc/app_version.sh" "$(dirname "$program")" "$layout" >"$tmp/app_version.log" 2>&1 || {
      why="boinc/app_version.sh failed: $(tail -n 3 "$tmp/app_version.log")"; return 1; }
    version_dir=$(find "$layout/apps/kalvenor" -mindepth 2 -maxdepth 2 -type d -name "$platform" | head -n 1)
    [ -n "$version_dir" ] && [ -f "$version_dir/version.xml" ] || {
      why="no apps/kalvenor/VERSION/$platform/version.xml from boinc/app_version.sh"; return 1; }
    cp -p "$version_dir"/* "$target"/ && rm -f "$target/version.xml"
    # version.xml's files as app_info.xml names them: the physical name is
    # the file, the logical one the name the app opens.
    python3 - "$version_dir/version.xml" "$platform" "$api_version" >"$target/app_info.xml" <<'EOF' || {
import sys, xml.etree.ElementTree as ET
version = ET.parse(sys.argv[1]).getroot()
platform, api = sys.argv[2], version.findtext("api_version") or sys.argv[3]
files, refs = [], []
for f in version.iter("file"):
    name = f.findtext("physical_name")
    main = f.find("main_program") is not None
    files.append(f"  <file_info><name>{name}</name>{'<executable/>' if main else ''}</file_info>")
    ref = f"<file_name>{name}</file_name>"
    if f.findtext("logical_name"):
        ref += f"<open_name>{f.findtext('logical_name')}</open_name>"
    if main:
        ref += "<main_program/>"
    if f.find("copy_file") is not None:
        ref += "<copy_file/>"
    refs.append(f"    <file_ref>{ref}</file_ref>")
if not files:
    sys.exit("no <file> in version.xml")
print("<app_info>\n  <app><name>kalvenor</name></app>")
print("\n".join(files))
print(f"  <app_version>\n    <app_name>kalvenor</app_name>\n    <version_num>100</version_num>")
print(f"    <platform>{platform}</platform>\n    <api_version>{api}</api_version>\n    <avg_ncpus>1</avg_ncpus>")
print("\n".join(refs))
print("  </app_version>\n</app_info>")
EOF
      why="version.xml of boinc/app_version.sh unreadable"; return 1; }
    echo "boinc/app_version.sh" >"$tmp/layout_source"
    return 0
  fi
  cp "$program" "$target/kalvenor"
  local libraries=()
  for library in $(ldd "$program" | awk '/libboinc/ { print $3 }'); do
    cp -L "$library" "$target/$(basename "$library")"
    libraries+=("$(basename "$library")")
  done
  {
    echo "<app_info>"
    echo "  <app><name>kalvenor</name></app>"
    echo "  <file_info><name>kalvenor</name><executable/></file_info>"
    for library in "${libraries[@]}"; do echo "  <file_info><name>$library</name></file_info>"; done
    echo "  <app_version>"
    echo "    <app_name>kalvenor</app_name><version_num>100</version_num><platform>$platform</platform>"
    echo "    <api_version>$api_version</api_version><avg_ncpus>1</avg_ncpus>"
    echo "    <file_ref><file_name>kalvenor</file_name><main_program/></file_ref>"
    for library in "${libraries[@]}"; do echo "    <file_ref><file_name>$library</file_name></file_ref>"; done
    echo "  </app_version>"
    echo "</app_info>"
  } >"$target/app_info.xml"
  echo "the build's executable and the libboinc libraries ldd names" >"$tmp/layout_source"
}

# The client itself links libboinc, so the libraries cannot be hidden before
# it starts. It runs in a mount namespace of its own; once it answers, its
# libraries are mapped, and empty files are bound over the system's BOINC
# libraries there. Every app it starts from then on finds them empty, as on
# a volunteer's machine without them, while nothing outside the namespace
# changes.
scenario_f() {
  local dir=$tmp/f client library hidden=() control pid environment
  mkdir -p "$dir/projects/$project_dir"
  lay_out_app "$dir/projects/$project_dir" || { report "$dir" f FAIL "$why"; return; }
  setup "$dir" kalvenor_f "$line"
  if ! unshare -m --propagation private true 2>/dev/null; then
    report "$dir" f FAIL "no mount namespace here (unshare -m needs root or CAP_SYS_ADMIN)"
    return
  fi
  # The client's start is held until the namespace exists, and the task's
  # until the libraries are hidden: with the run mode "never" the client
  # starts nothing, and boinccmd --set_run_mode lets it go.
  sed -i 's:<user_run_request>1<:<user_run_request>3<:' "$dir/client_state.xml"
  start_client "$dir" unshare -m --propagation private || {
    report "$dir" f FAIL "the client did not answer on its port"; return; }
  client=$(cat "$dir/client.pid")
  : >"$dir/empty"
  # /lib is often a link to /usr/lib: each file once, by its real path.
  for library in $(readlink -f /usr/lib/*/libboinc*.so* /lib/*/libboinc*.so* /usr/lib/libboinc*.so* /lib/libboinc*.so* 2>/dev/null | sort -u); do
    [ -f "$library" ] || continue
    nsenter -t "$client" -m mount --bind "$dir/empty" "$library" || {
      report "$dir" f FAIL "could not hide $library in the client's namespace"; return; }
    hidden+=("$library")
  done
  [ ${#hidden[@]} -gt 0 ] || { report "$dir" f FAIL "no system BOINC library found to hide"; return; }
  # Proof that the hiding holds: the build as linked cannot start there.
  control=$(nsenter -t "$client" -m "$program" --version 2>&1)
  if [ $? -ne 127 ]; then
    report "$dir" f FAIL "with the libraries hidden the system-linked build still starts: $control"
    return
  fi
  rpc "$dir" --set_run_mode always >/dev/null 2>&1
  wait_until 300 running_past "$dir" 0.02
  pid=$(app_pid "$dir") && environment=$(tr '\0' '\n' <"/proc/$pid/environ" | grep '^LD_LIBRARY_PATH=' || echo "no LD_LIBRARY_PATH")
  echo "$environment" >"$dir/app_environment"
  wait_until 600 task_over "$dir"
  quit_client "$dir" || { report "$dir" f FAIL "the client did not quit"; return; }
  completed "$dir" || { report "$dir" f FAIL "$why; app said: $(console_of "$dir" | grep -m 2 -i 'error\|shared' || true)"; return; }
  report "$dir" f PASS "laid out by $(cat "$tmp/layout_source"), ran to exit status 0 with ${#hidden[@]} system BOINC libraries empty ($environment)"
}

started=$SECONDS
# KALVENOR_CLIENT_SCENARIOS="a c" runs only those.
scenarios=${KALVENOR_CLIENT_SCENARIOS:-a b c d e f}
for letter in $scenarios; do
  "scenario_$letter" &
  scenario_pids+=($!)
done
wait "${scenario_pids[@]}"
scenario_pids=()

# The same bytes from every run that ended: stopped, continued or moved.
reference=$tmp/a/projects/$project_dir/kalvenor_a_r0_0
for letter in b c f; do
  [ -f "$tmp/result-$letter" ] && grep -q '^PASS' "$tmp/result-$letter" || continue
  if [ ! -s "$reference" ]; then
    sed -i "s/^PASS $letter: .*/FAIL $letter: no uninterrupted run (a) to compare with/" "$tmp/result-$letter"
  elif ! cmp -s "$reference" "$(output_of "$tmp/$letter")"; then
    printf 'FAIL %s: results.jsonl differs from the uninterrupted run'"'"'s:\n  %s\n  %s\n' "$letter" \
      "$(cat "$(output_of "$tmp/$letter")")" "$(cat "$reference")" >"$tmp/result-$letter"
  else
    sed -i "s/\$/; results.jsonl identical to a's/" "$tmp/result-$letter"
  fi
done

failures=0
for letter in $scenarios; do
  if [ -f "$tmp/result-$letter" ]; then
    cat "$tmp/result-$letter"
  else
    echo "FAIL $letter: the scenario ended without a verdict"
  fi
  grep -q '^PASS' "$tmp/result-$letter" 2>/dev/null || {
    failures=$((failures + 1))
    echo "  --- client log of $letter (last lines):"; tail -n 15 "$tmp/$letter/client.log" 2>/dev/null | sed 's/^/  /'
  }
done
echo "real-client test: $((SECONDS - started)) s, $failures failure(s)"
[ "$failures" -eq 0 ]
