#!/usr/bin/env bash
# Resident memory of the headless server around one thumbnail batch: a folder
# of 57 pictures (copies of the JPEG and PNG wallpapers of Debian's
# ukui-wallpapers and mate-backgrounds packages, 1920x1080 to 5640x3172),
# cache empty; the listing page is fetched, then every thumbnail it names,
# four at a time as a browser would. Prints the resident size when idle, the
# peak during the batch (VmHWM), the size 5 s after it, and the batch's time
# and the server's processor time (user and system) for it.
# Usage: bench/memory-bench.sh [build folder]   (needs: scripts/install-deps.sh bench)
# PHOTOS (default 57) and SETTLE (seconds after the batch, default 5) adjust it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
exe=$(realpath "$build/mirelo-share")
photos=${PHOTOS:-57}
settle=${SETTLE:-5}
for tool in curl python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
mapfile -t sources < <(dpkg -L ukui-wallpapers mate-backgrounds 2>/dev/null |
  grep -iE '\.(jpe?g|png)$' | sort)
[ "${#sources[@]}" -gt 0 ] || { echo "no wallpapers: run scripts/install-deps.sh bench" >&2; exit 1; }

tmp=$(mktemp -d /tmp/mirelo-memory-XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/data/photos" "$tmp/work"
for ((i = 0; i < photos; i++)); do
  src=${sources[i % ${#sources[@]}]}
  cp "$src" "$tmp/data/photos/$(printf 'photo-%03d' "$i").${src##*.}"
done
sync

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# Builds from before port mapping know no --no-port-mapping (and map nothing).
nomap=$("$exe" --help 2>&1 | grep -q -- --no-port-mapping && echo --no-port-mapping || true)
MIRELO_LOOPBACK_ONLY=1 "$exe" --headless --folder "$tmp/data" --port "$port" --workdir "$tmp/work" \
  --internal $nomap --user mirelo-bench >"$tmp/server.log" 2>&1 &
pid=$!
url=http://127.0.0.1:$port
for _ in $(seq 50); do curl -fs -o /dev/null "$url/" && break; sleep 0.1; done

kib() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$pid/status"; }
mib() { python3 -c "print(f'{$1 / 1024:.1f}')"; }
sleep 1
idle=$(kib VmRSS)

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
cpu0=$(ticks)
start=$(date +%s%N)
curl -fs -o "$tmp/page.html" "$url/photos/"
first=$(date +%s%N)
grep -o 'src="/TAMBNEIL/[^"]*"' "$tmp/page.html" | sed 's/^src="//; s/"$//' >"$tmp/thumbs.txt"
# Every thumbnail, four requests at a time; a failed one is counted.
failed=$(python3 - "$url" "$tmp/thumbs.txt" <<'PY'
import sys, urllib.request
from concurrent.futures import ThreadPoolExecutor
base, names = sys.argv[1], open(sys.argv[2]).read().split()
def get(name):
    try:
        with urllib.request.urlopen(base + name, timeout=120) as r:
            return 0 if r.read() else 1
    except Exception:
        return 1
with ThreadPoolExecutor(4) as pool:
    print(sum(pool.map(get, names)))
PY
)
end=$(date +%s%N)
peak=$(kib VmHWM)
cpu=$(python3 -c "print(f'{($(ticks) - $cpu0) / $(getconf CLK_TCK):.2f}')")
sleep "$settle"
after=$(kib VmRSS)

echo "# $photos pictures from $(printf '%s\n' "${sources[@]}" | wc -l) wallpapers; load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'page %s ms, page and %s thumbnails %s ms (%s failed), server CPU %s s\n' \
  $(((first - start) / 1000000)) "$(wc -l <"$tmp/thumbs.txt")" $(((end - start) / 1000000)) \
  "$failed" "$cpu"
printf 'resident MiB: idle %s, peak during the batch %s, %s s after it %s\n' \
  "$(mib "$idle")" "$(mib "$peak")" "$settle" "$(mib "$after")"
