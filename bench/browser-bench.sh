#!/usr/bin/env bash
# A listing of real photos in headless Chromium: the time to the first row
# painted (first contentful paint) and to every thumbnail decoded, with the
# thumbnail cache empty (cold: a new work folder each time) and full (warm),
# beside nginx serving a saved copy of the same page and its pictures. Every
# load starts in a new browser profile, so the browser caches nothing.
# The photos are copies of the JPEG and PNG wallpapers that Debian's
# ukui-wallpapers and mate-backgrounds packages install (1920x1080 to
# 5640x3172); nothing is fetched from outside.
# Usage: bench/browser-bench.sh [build folder]   (needs: scripts/install-deps.sh bench,
# and tests/e2e/node_modules from scripts/install-deps.sh test)
# PHOTOS (default 69), COLD (cold loads, default 2) and WARM (warm loads and
# nginx loads, default 3) adjust it. --pages gallery (or PAGES=gallery) serves
# the gallery pages: nginx then serves their assets too, and the window is
# tall enough (VIEWPORT, default 1280x4000) that every lazily loaded
# thumbnail is on screen. RTT_MS (say 50) sends the warm and nginx loads
# through bench/delay-proxy.py, a link with that round trip on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
pages=${PAGES:-}
if [ "${1:-}" = --pages ]; then
  pages=$2
  shift 2
fi
build=${1:-build}
exe=$(realpath "$build/mirelo-share")
pageargs=()
if [ -n "$pages" ]; then
  pageargs=(--pages "$pages")
  [ "$pages" = gallery ] && export BENCH_VIEWPORT=${VIEWPORT:-1280x4000}
fi
photos=${PHOTOS:-69}
cold=${COLD:-2}
warm=${WARM:-3}
export PATH=$PATH:/usr/sbin
for tool in nginx node curl python3 /usr/bin/chromium; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps.sh bench" >&2; exit 1; }
done
export NODE_PATH=$PWD/tests/e2e/node_modules
[ -d "$NODE_PATH/playwright-core" ] || { echo "missing playwright-core: run scripts/install-deps.sh test" >&2; exit 1; }
mapfile -t sources < <(dpkg -L ukui-wallpapers mate-backgrounds 2>/dev/null |
  grep -iE '\.(jpe?g|png)$' | sort)
[ "${#sources[@]}" -gt 0 ] || { echo "no wallpapers: run scripts/install-deps.sh bench" >&2; exit 1; }

tmp=$(mktemp -d /tmp/mirelo-browser-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/home/config XDG_CACHE_HOME=$tmp/home/cache
mkdir -p "$HOME" "$tmp/data/photos"

for ((i = 0; i < photos; i++)); do
  src=${sources[i % ${#sources[@]}]}
  cp "$src" "$tmp/data/photos/$(printf 'photo-%03d' "$i").${src##*.}"
done
sync

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Starts our server on an empty work folder; sets url and server_pid.
start_server() {
  local port work
  port=$(free_port)
  work=$(mktemp -d "$tmp/work-XXXX")
  MIRELO_LOOPBACK_ONLY=1 "$exe" --headless --folder "$tmp/data" --port "$port" --workdir "$work" \
    --internal $nomap --user mirelo-bench "${pageargs[@]}" >"$work.log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  url=http://127.0.0.1:$port
  # Any answer will do (the folder itself would make the thumbnails).
  for _ in $(seq 100); do curl -s -o /dev/null -m 1 "$url/photos/x.txt" && return; sleep 0.1; done
  echo "the server did not start:" >&2
  cat "$work.log" >&2
  exit 1
}
# Builds from before port mapping know no --no-port-mapping (and map nothing).
nomap=$("$exe" --help 2>&1 | grep -q -- --no-port-mapping && echo --no-port-mapping || true)

# The address of port through a delaying proxy when RTT_MS is set (in via).
via() {
  if [ -z "${RTT_MS:-}" ]; then
    via=http://127.0.0.1:$1
    return
  fi
  local proxy
  proxy=$(free_port)
  python3 bench/delay-proxy.py "$proxy" "$1" "$RTT_MS" 900 &
  pids+=($!)
  sleep 0.3
  via=http://127.0.0.1:$proxy
}

results=$tmp/results.jsonl
run_browser() { node bench/browser-bench.js "$@" | tee -a "$results"; }

echo "# ${pageargs[*]:-classic pages}, $photos photos from ${#sources[@]} wallpapers${RTT_MS:+, warm loads over ${RTT_MS} ms round trips}; load: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((i = 0; i < cold; i++)); do
  [ -n "${server_pid:-}" ] && kill "$server_pid" && wait "$server_pid" 2>/dev/null || true
  start_server
  run_browser cold "$url/photos/"
done
via "${url##*:}"
args=()
for ((i = 0; i < warm; i++)); do args+=(warm "$via/photos/"); done
run_browser "${args[@]}"

# The saved copy: the page as our server sends it and every picture it names,
# at the same paths.
root=$tmp/nginx/root
mkdir -p "$root/photos"
curl -fs -o "$root/photos/index.html" "$url/photos/"
# The gallery's style sheet and the pictures it names come along.
{
  grep -o 'src="/[^"]*"' "$root/photos/index.html" | sed 's/^src="//; s/"$//'
  { grep -o 'href="/\.mirelo/assets/[^"]*"' "$root/photos/index.html" || true; } |
    sed 's/^href="//; s/"$//'
  curl -fs "$url/.mirelo/assets/gallery.css" 2>/dev/null | grep -o 'url(/[^)]*)' |
    sed 's/^url(//; s/)$//' || true
} | sort -u |
  while read -r p; do
    mkdir -p "$root$(dirname "$p")"
    curl -fs -o "$root$p" "$url$p"
  done

nport=$(free_port)
cat >"$tmp/nginx/nginx.conf" <<CONF
$([ "$(id -u)" = 0 ] && echo "user root;")
worker_processes 2;
daemon off;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
  types { text/html html; image/jpeg jpg jpeg; image/gif gif; text/css css;
          text/javascript js; image/svg+xml svg; }
  default_type image/jpeg;
  server {
    listen 127.0.0.1:$nport;
    root $root;
  }
}
CONF
nginx -c "$tmp/nginx/nginx.conf" -p "$tmp/nginx" &
pids+=($!)
for _ in $(seq 50); do curl -fs -o /dev/null "http://127.0.0.1:$nport/photos/" && break; sleep 0.1; done
args=()
via "$nport"
for ((i = 0; i < warm; i++)); do args+=(nginx "$via/photos/"); done
run_browser "${args[@]}"

echo "== median ms from navigation start (first contentful paint / every thumbnail decoded)"
python3 - "$results" <<'PY'
import json, statistics, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
for label in ('cold', 'warm', 'nginx'):
    mine = [r for r in rows if r['label'] == label]
    if not mine:
        continue
    med = lambda k: statistics.median(r[k] for r in mine)
    print(f"  {label:5}: first row {med('firstPaintMs'):7.0f}   every thumbnail {med('allThumbsMs'):7.0f}"
          f"   ({len(mine)} loads, {mine[0]['thumbs']} thumbnails, {sum(r['failed'] for r in mine)} failed)")
PY
