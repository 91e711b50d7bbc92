#!/usr/bin/env bash
# The spider against its floor: a generated 2,000-page site (gensite.py) served by nginx on
# 127.0.0.1, crawled with no limits by bench_spider, beside curl fetching the same URLs,
# listed up front, over one keep-alive connection. Each is run twice.
#   bench/run-spider.sh            (after ./dev.sh build; needs nginx and python3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
shared=${CORVANE_SHARED_BENCH:-$repo/../shared/bench}
build=${CORVANE_BUILD_DIR:-$repo/build}
port=${PORT:-8089}

command -v nginx >/dev/null || { echo "nginx is missing: apt-get install -y nginx" >&2; exit 1; }
[ -x "$build/bench/bench_spider" ] || { echo "build first: ./dev.sh build" >&2; exit 1; }

work=$(mktemp -d)
chmod 755 "$work" # nginx workers run as another user
export NGX_DIR=$work/nginx
cleanup() { bash "$shared/serve-nginx.sh" stop >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT

python3 "$shared/gensite.py" "$work/site" | tail -n 1
bash "$shared/serve-nginx.sh" start "$work/site" "$port" >/dev/null
base="http://127.0.0.1:$port"

cat "$work/site/_gen/reachable-html.txt" "$work/site/_gen/broken-urls.txt" \
    | awk -v base="$base" '{ printf "url = \"%s%s\"\noutput = \"/dev/null\"\n", base, $0 }' >"$work/urls.cfg"
urls=$(grep -c '^url' "$work/urls.cfg")

for run in 1 2; do
    /usr/bin/time -f "floor:  %e s wall, $urls URLs by curl over one connection, peak RSS %M kB" \
        curl -s --config "$work/urls.cfg"
    "$build/bench/bench_spider" "$base/index.html"
done
