#!/usr/bin/env bash
# bench/soak.sh MINUTES: runs the headless program for MINUTES on 200 scheduled tasks against
# servers on 127.0.0.1 only, samples its resident set, threads and open descriptors every 10 s,
# and fails when one of them grows over the run or the program does not end cleanly.
#
# The tasks (bench/soak/make_tasks.py): 158 page checks that succeed, 30 that fail and alert
# through an HTTP hook that counts what it gets, 8 pings of 127.0.0.1 and 4 crawls of a small
# generated site, every one due every 11 to 60 s. The program starts one task a second at most,
# so it is never idle: each task runs about every 200 s, and every task has run once after
# about 4 minutes, which is where the growth check's baseline can begin at the earliest. The web
# server and the hook are bench/soak/servers.py; the site comes from ../shared/bench/gensite.py.
#
# The program gets a settings file, data, config and cache folders of its own under a temporary
# folder (the result history's SQLite file lands there), so the user's are never touched; the
# folder is removed at the end. Kept afterwards:
#   CORVANE_SOAK_CSV  the samples, elapsed_s,rss_kb,threads,fds (default BUILD/soak.csv)
#   CORVANE_SOAK_LOG  the program's log lines (default: the CSV's name ending -program.log)
# CORVANE_BUILD_DIR names the build (default build; built with ./dev.sh build when missing).
#
# Exit status: 0 when the run was clean; 1 when a figure grew (bench/soak/growth.py says how
# that is judged), the program died, did not exit 0 on SIGTERM, ran nothing or alerted nothing;
# 2 for a usage or setup error.
set -euo pipefail

usage() {
    echo "usage: $0 MINUTES   (MINUTES: a positive whole number; 6 or more for a growth verdict)" >&2
    exit 2
}
[[ $# -eq 1 && $1 =~ ^[0-9]+$ ]] || usage
minutes=$((10#$1))
((minutes > 0)) || usage

here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
repo=$(dirname "$here")
helpers=$here/soak
gensite=$repo/../shared/bench/gensite.py
build=${CORVANE_BUILD_DIR:-build}
[[ $build == /* ]] || build=$repo/$build
program=$build/corvane
csv=${CORVANE_SOAK_CSV:-$build/soak.csv}
program_log=${CORVANE_SOAK_LOG:-${csv%.csv}-program.log}
readonly sample_every=10 # seconds between samples
readonly stop_wait=60    # seconds a clean stop may take before the program is killed

if [[ ! -f $gensite ]]; then
    echo "soak: the site generator $gensite is missing" >&2
    exit 2
fi
if [[ ! -x $program ]]; then
    echo "soak: no program in $build; building it"
    (cd "$repo" && CORVANE_BUILD_DIR=$build ./dev.sh build)
fi
mkdir -p "$(dirname "$csv")" "$(dirname "$program_log")"

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-soak.XXXXXX")
program_pid=
servers_pid=
sleep_pid=

# Ends a process this script started: SIGTERM, up to `wait_s` seconds, then SIGKILL; then
# reaps it. A zombie still answers kill -0, so the state in /proc tells when it has ended.
stop_process() {
    local pid=$1 wait_s=$2 state i
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < wait_s * 10; i++)); do
        state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null) || state=
        [[ -z $state || $state == Z ]] && break
        sleep 0.1
    done
    if [[ -n $state && $state != Z ]]; then
        echo "soak: pid $pid did not end within ${wait_s} s; killing it" >&2
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null
}

# On every way out (the end, an error, Ctrl+C, SIGTERM): nothing this script started is left
# running, and the temporary folder goes.
# shellcheck disable=SC2317 # only the traps call it, which shellcheck 0.9 does not follow
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if [[ -n $sleep_pid ]]; then kill "$sleep_pid" 2>/dev/null || true; fi
    if [[ -n $program_pid ]]; then stop_process "$program_pid" "$stop_wait" || true; fi
    if [[ -n $servers_pid ]]; then stop_process "$servers_pid" 10 || true; fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'echo "soak: interrupted" >&2; exit 130' INT
trap 'echo "soak: terminated" >&2; exit 143' TERM

# The crawled site, served from the web server's root (its links are absolute paths): 40 pages,
# so that a crawl takes well under a second. The generator always plants at least one missing
# page; it is written here, so that the crawls of the site succeed and only the tasks meant to
# fail (one crawl among them) alert.
mkdir -p "$work/home" "$work/config" "$work/data" "$work/cache" "$work/state" "$work/run"
chmod 700 "$work/run"
python3 "$gensite" "$work/www" --pages 40 --broken-rate 0 >/dev/null
while read -r missing; do
    mkdir -p "$work/www$(dirname "$missing")"
    echo "<html><body><a href=\"/index.html\">home</a></body></html>" >"$work/www$missing"
done <"$work/www/_gen/broken-urls.txt"

python3 "$helpers/servers.py" --root "$work/www" --ports-file "$work/ports" &
servers_pid=$!
for ((i = 0; i < 100; i++)); do
    [[ -s $work/ports ]] && break
    kill -0 "$servers_pid" 2>/dev/null || { echo "soak: the local servers did not start" >&2; exit 2; }
    sleep 0.1
done
read -r web_port hook_port <"$work/ports"
hook=http://127.0.0.1:$hook_port

task_count=$(python3 "$helpers/make_tasks.py" "$work/tasks.cvn" "$web_port" "$hook_port")

echo "soak: $minutes minute(s), $task_count tasks; web server :$web_port, hook :$hook_port"
echo "soak: samples in $csv"
echo "soak: program log in $program_log"

# Runs of all tasks, summed over the metrics page's per-task counters; empty when it cannot be read.
metrics_runs() {
    [[ -n $metrics ]] || return 0
    curl -fsS --max-time 5 "$metrics" 2>/dev/null \
        | awk '/^corvane_task_runs_total[{ ]/ { sum += $NF } END { if (NR) printf "%d\n", sum }' || true
}

HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache \
    XDG_STATE_HOME=$work/state XDG_RUNTIME_DIR=$work/run LC_ALL=C \
    "$program" --headless --settings "$work/settings.ini" --metrics-listen 127.0.0.1:0 \
    "$work/tasks.cvn" >"$program_log" 2>&1 &
program_pid=$!

# The metrics endpoint, scraped at every sample so that serving it is part of the load, is on
# a port the program takes itself (port 0) and names in its log.
metrics=
for ((i = 0; i < 300; i++)); do
    metrics=$(grep -m 1 -o 'Metrics served at http://[^ ]*/metrics' "$program_log" | sed 's/^Metrics served at //') || metrics=
    [[ -n $metrics ]] && break
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
done
echo "soak: metrics at ${metrics:-(not served)}"

# One sample every 10 s from the start; the last one at the end of the run.
echo "elapsed_s,rss_kb,threads,fds" >"$csv"
start=$EPOCHSECONDS
end=$((start + minutes * 60))
next=$start
died=
scrapes_failed=0
all_ran_s= # when every task had finished its first run: the end of the warm-up at the earliest
while :; do
    now=$EPOCHSECONDS
    # In the background and waited for, so that Ctrl+C or SIGTERM is handled at once.
    if ((now < next)); then
        sleep $((next - now)) &
        sleep_pid=$!
        wait "$sleep_pid"
        sleep_pid=
    fi
    if ! figures=$(awk '/^VmRSS:/ { rss = $2 } /^Threads:/ { threads = $2 } END { if (rss == "") exit 1; print rss "," threads }' \
        "/proc/$program_pid/status" 2>/dev/null); then
        died=yes
        break
    fi
    fds=("/proc/$program_pid/fd/"*)
    echo "$((EPOCHSECONDS - start)),$figures,${#fds[@]}" >>"$csv"
    [[ -n $(metrics_runs) ]] || scrapes_failed=$((scrapes_failed + 1))
    if [[ -z $all_ran_s ]] \
        && (($(grep -o $'\tFinished task .*' "$program_log" | sort -u | wc -l) >= task_count)); then
        all_ran_s=$((EPOCHSECONDS - start))
        echo "soak: every task has run once after $all_ran_s s"
    fi
    ((next < end)) || break
    next=$((next + sample_every))
done

runs_by_metrics=
[[ -n $died ]] || runs_by_metrics=$(metrics_runs)

# The clean stop: SIGTERM, as a service manager sends it, must end the program with 0.
status=0
if [[ -z $died ]]; then
    stop_process "$program_pid" "$stop_wait" || status=$?
else
    wait "$program_pid" 2>/dev/null || status=$?
fi
program_pid=

# Counted after the program ended, so that alerts still queued at the stop are in.
counts=$(curl -fsS --max-time 5 "$hook/count") || counts=
alerts=$(awk '$1 == "alerts" { print $2 }' <<<"$counts")
web_requests=$(awk '$1 == "web_requests" { print $2 }' <<<"$counts")
stop_process "$servers_pid" 10 || true
servers_pid=

# What the log shows: each run gives one verdict, a line of severity Task Success or Task Failure.
count() { grep -c -- "$1" "$program_log" || true; }
successes=$(count $'\tTask Success\t')
failures=$(count $'\tTask Failure\t')
runs=$((successes + failures))
app_failures=$(count $'\tApplication Failure\t')

echo
echo "== soak summary ($minutes min) =="
verdict=0
# Until every task has run once, new per-task state (its metrics series, its history rows)
# is growth that a leak check must not count; a run too short for that gets no verdict.
python3 "$helpers/growth.py" "$csv" --settled-at "${all_ran_s:-never}" || verdict=1
echo "alerts received by the hook: ${alerts:-unknown}"
echo "web server requests: ${web_requests:-unknown}"
echo "runs in the log: $runs ($successes succeeded, $failures failed); by the metrics: ${runs_by_metrics:-unknown}"
echo "application failures in the log: $app_failures"
if ((app_failures > 0)); then
    grep -m 5 $'\tApplication Failure\t' "$program_log" | sed 's/^/  /'
fi
((scrapes_failed == 0)) || echo "metrics scrapes that failed: $scrapes_failed"
if [[ -n $died ]]; then
    echo "FAILED: the program died during the run (exit status $status)"
    verdict=1
elif ((status != 0)); then
    echo "FAILED: the program exited with $status after SIGTERM"
    verdict=1
else
    echo "program: exited 0 after SIGTERM"
fi
if ((runs == 0)); then
    echo "FAILED: the log shows no run"
    verdict=1
fi
if [[ -z $alerts || $alerts -eq 0 ]]; then
    echo "FAILED: the hook got no alert"
    verdict=1
fi
if ((verdict == 0)); then echo "soak: PASSED"; else echo "soak: FAILED"; fi
exit "$verdict"
