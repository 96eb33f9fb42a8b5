#!/usr/bin/env bash
# Keep-alive's gain for loading a page and its thumbnails over a long link:
# a folder of 69 pictures, served by the headless program behind a delaying
# proxy on loopback (bench/delay-proxy.py, RTT_MS round trips, 50 by default),
# loaded warm by six HTTP/1.1 connections as a browser would
# (bench/page-load.py), once with connections kept where the server allows
# it and once with a new connection per request.
# Usage: bench/keepalive-bench.sh [build folder]
# PAGES (classic|gallery, default gallery when the program knows --pages),
# RTT_MS and ROUNDS (default 5) adjust it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
exe=$(realpath "$build/mirelo-share")
rtt=${RTT_MS:-50}
rounds=${ROUNDS:-5}

tmp=$(mktemp -d /tmp/mirelo-keepalive-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

mkdir -p "$tmp/data/photos" "$tmp/work"
for i in $(seq -w 1 69); do cp "$build/system/not found.jpg" "$tmp/data/photos/photo-$i.jpg"; done

pages=()
if [ -n "${PAGES:-}" ]; then
  pages=(--pages "$PAGES")
elif "$exe" --help 2>&1 | grep -q -- '--pages'; then
  pages=(--pages gallery)
fi

port=$(free_port)
MIRELO_LOOPBACK_ONLY=1 "$exe" --headless --folder "$tmp/data" --port "$port" --bind 127.0.0.1 \
  --workdir "$tmp/work" --internal --no-port-mapping --user mirelo-bench "${pages[@]}" \
  >"$tmp/ours.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do curl -fs -o /dev/null "http://127.0.0.1:$port/photos/" && break; sleep 0.1; done

proxy=$(free_port)
python3 bench/delay-proxy.py "$proxy" "$port" "$rtt" 600 &
pids+=($!)
sleep 0.5

echo "# ${pages[*]:-classic pages}, 69 pictures"
echo "## direct on loopback"
python3 bench/page-load.py "http://127.0.0.1:$port" /photos/ "$rounds"
echo "## through the proxy, ${rtt} ms round trips"
python3 bench/page-load.py "http://127.0.0.1:$proxy" /photos/ "$rounds"
