#!/usr/bin/env bash
# The spider against its floor: a generated 2,000-page site (gensite.py) served by nginx on
# 127.0.0.1, crawled with no limits by bench_spider, beside curl fetching the same URLs,
# listed up front, over one keep-alive connection. Then the same through the delaying proxy
# (delayproxy.py, DELAY_MS per request, 10 by default), where a round trip per page sets the
# pace: the crawl over one connection and over N (PARALLEL, "4 8 16" by default), curl over
# one connection, and curl over N parallel connections as the floor of a crawl with N. The
# proxy counts the connections each run opened. Each is run ROUNDS times (2 by default). Last,
# the crawls once more through a proxy that also delays every new connection.
#   bench/run-spider.sh            (after ./dev.sh build; needs nginx and python3)
#   SKIP_LOOPBACK=1 bench/run-spider.sh    (only the runs through the proxy)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
shared=${CORVANE_SHARED_BENCH:-$repo/../shared/bench}
build=${CORVANE_BUILD_DIR:-$repo/build}
port=${PORT:-8089}
proxyPort=${PROXY_PORT:-$((port + 1))}
delay=${DELAY_MS:-10}
parallel=${PARALLEL:-4 8 16}
rounds=${ROUNDS:-2}

command -v nginx >/dev/null || { echo "nginx is missing: apt-get install -y nginx" >&2; exit 1; }
[ -x "$build/bench/bench_spider" ] || { echo "build first: ./dev.sh build" >&2; exit 1; }

work=$(mktemp -d)
chmod 755 "$work" # nginx workers run as another user
export NGX_DIR=$work/nginx
proxyPid=
cleanup() {
    [ -n "$proxyPid" ] && kill "$proxyPid" 2>/dev/null && wait "$proxyPid" 2>/dev/null
    bash "$shared/serve-nginx.sh" stop >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

python3 "$shared/gensite.py" "$work/site" | tail -n 1
bash "$shared/serve-nginx.sh" start "$work/site" "$port" >/dev/null

# One curl config of every URL the crawl fetches, pages and broken links, against base.
url_config() {
    cat "$work/site/_gen/reachable-html.txt" "$work/site/_gen/broken-urls.txt" \
        | awk -v base="$1" '{ printf "url = \"%s%s\"\noutput = \"/dev/null\"\n", base, $0 }'
}

base="http://127.0.0.1:$port"
url_config "$base" >"$work/urls.cfg"
urls=$(grep -c '^url' "$work/urls.cfg")

if [ -z "${SKIP_LOOPBACK:-}" ]; then
    for _ in $(seq "$rounds"); do
        /usr/bin/time -f "floor:  %e s wall, $urls URLs by curl over one connection, peak RSS %M kB" \
            curl -s --config "$work/urls.cfg"
        for n in 1 $parallel; do
            "$build/bench/bench_spider" "$base/index.html" 5 "$n"
        done
    done
fi

# The proxy writes its counters (and starts them again) on SIGUSR1; one line per run.
proxied="http://127.0.0.1:$proxyPort"
url_config "$proxied" >"$work/urls-proxy.cfg"
start_proxy() { # extra options of delayproxy.py
    if [ -n "$proxyPid" ]; then
        kill "$proxyPid" 2>/dev/null && wait "$proxyPid" 2>/dev/null || true
    fi
    python3 "$shared/delayproxy.py" "$proxyPort" "$port" "$delay" --stats "$work/proxy.json" "$@" >/dev/null &
    proxyPid=$!
    for _ in $(seq 50); do
        curl -s -o /dev/null "$proxied/index.html" && break
        sleep 0.1
    done
    proxy_connections >/dev/null # the probe is not part of any run
}
proxy_connections() {
    rm -f "$work/proxy.json"
    kill -USR1 "$proxyPid"
    for _ in $(seq 50); do [ -s "$work/proxy.json" ] && break; sleep 0.1; done
    python3 -c 'import json, sys; s = json.load(open(sys.argv[1])); print("  %d connections, peak %d open" % (s["connections"], s["peak_open"]))' "$work/proxy.json"
}
start_proxy

for _ in $(seq "$rounds"); do
    echo "through the proxy, $delay ms per request:"
    for n in 1 $parallel; do
        "$build/bench/bench_spider" "$proxied/index.html" 5 "$n"
        proxy_connections
    done
    /usr/bin/time -f "floor:  %e s wall, $urls URLs by curl over one connection, peak RSS %M kB" \
        curl -s --config "$work/urls-proxy.cfg"
    proxy_connections
    for n in $parallel; do
        /usr/bin/time -f "floor:  %e s wall, $urls URLs by curl over $n parallel connections, peak RSS %M kB" \
            curl -s --no-progress-meter --parallel --parallel-max "$n" --config "$work/urls-proxy.cfg"
        proxy_connections
    done
done

# A new connection costs a handshake round trip as well (CONNECT_DELAY_MS, 10 by default): the
# crawl should open about as many connections as it keeps in flight, not one per broken link.
connectDelay=${CONNECT_DELAY_MS:-10}
start_proxy --connect-delay-ms "$connectDelay"
echo "through the proxy, $delay ms per request and $connectDelay ms per new connection:"
for n in 1 $parallel; do
    "$build/bench/bench_spider" "$proxied/index.html" 5 "$n"
    proxy_connections
done
