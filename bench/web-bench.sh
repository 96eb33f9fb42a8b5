#!/usr/bin/env bash
# Web figures of the headless server side by side with Debian's nginx,
# lighttpd and find, all on loopback and bounded in time:
#   listing of a 1,000-entry folder (200 pictures already in the cache), in
#   the classic and the gallery pages, vs nginx autoindex (and the page sizes); one 20 KB picture vs nginx; a 2 GiB download vs nginx and
#   lighttpd; a name search over 100,000 files vs find -iname.
# Usage: bench/web-bench.sh [build folder]   (needs: scripts/install-deps.sh bench)
# DURATION (seconds per wrk run, default 5), BIG_MIB (default 2048) and ROUNDS
# (downloads per server, default 5) adjust it, and REPEAT (default 1) the rounds
# of the picture measure. PARTS picks the measures (any of
# "list pic download search", default all). BASE names another mirelo-share
# (an earlier build) that serves the same data beside this one, so that both
# are measured in one session under the same load.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
exe=$(realpath "$build/mirelo-share")
duration=${DURATION:-5}
parts=" ${PARTS:-list pic download search} "
base_exe=${BASE:+$(realpath "$BASE")}
big_mib=${BIG_MIB:-2048}
for tool in nginx lighttpd wrk curl find python3; do
  command -v "$tool" >/dev/null || command -v "/usr/sbin/$tool" >/dev/null ||
    { echo "missing $tool: run scripts/install-deps.sh bench" >&2; exit 1; }
done
export PATH=$PATH:/usr/sbin

tmp=$(mktemp -d /tmp/mirelo-bench-XXXXXX)
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

echo "# fixtures in $tmp"
data=$tmp/data
mkdir -p "$data/list" "$data/pic" "$data/big" "$data/tree" "$tmp/work"
python3 - "$data" "$build/system/not found.jpg" "$parts" <<'PY'
import os, random, struct, sys
data, jpeg = sys.argv[1], open(sys.argv[2], 'rb').read()
# 800 files and 200 pictures in one folder.
for i in range(800):
    with open(f'{data}/list/file-{i:04d}.txt', 'wb') as f: f.write(b'x' * (i * 37 % 5000))
for i in range(200):
    with open(f'{data}/list/photo-{i:03d}.jpg', 'wb') as f: f.write(jpeg)
# A noisy picture as BMP; the server turns it into a JPEG of about 20 KB.
random.seed(7)
w, h = 304, 228
row = (w * 3 + 3) // 4 * 4
pix = bytearray()
for y in range(h):
    line = bytearray()
    for x in range(w):
        n = random.randint(-40, 40)
        line += bytes([max(0, min(255, (x * 2) + n)), max(0, min(255, (y * 3) + n)), 150])
    pix += line + b'\0' * (row - len(line))
hdr = b'BM' + struct.pack('<IHHI', 54 + len(pix), 0, 0, 54)
hdr += struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(pix), 2835, 2835, 0, 0)
open(f'{data}/pic/noise.bmp', 'wb').write(hdr + pix)
# 100,000 files in 100 x 10 folders; one name in 1,000 holds "needle".
n = 0
for a in range(100 if ' search ' in sys.argv[3] else 0):
    for b in range(10):
        d = f'{data}/tree/d{a:03d}/s{b}'
        os.makedirs(d)
        for c in range(100):
            name = f'needle-{n}.txt' if n % 1000 == 0 else f'file-{n}.dat'
            open(f'{d}/{name}', 'wb').close()
            n += 1
PY
if [[ $parts == *" download "* ]]; then
  head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$data/big/big.bin"
fi
# The fixtures reach the disk now, not while the servers are measured.
sync

# Our server, rooted at the data folder.
port=$(free_port)
MIRELO_LOOPBACK_ONLY=1 "$exe" --headless --folder "$data" --port "$port" --workdir "$tmp/work" \
  --internal --no-port-mapping --user mirelo-bench >"$tmp/ours.log" 2>&1 &
ours_pid=$!
pids+=($!)
ours=http://127.0.0.1:$port
for _ in $(seq 50); do curl -fs -o /dev/null "$ours/pic/" && break; sleep 0.1; done
curl -fs -o "$data/pic/pic.jpg" "$ours/pic/noise.bmp"
rm "$data/pic/noise.bmp"
# The listing queues the 200 thumbnails; asking for each one waits until it is made.
curl -fs "$ours/list/" | grep -o '/TAMBNEIL/[0-9]*\.JPG' | while read -r t; do
  curl -fs -o /dev/null "$ours$t"
done
echo "# picture: $(stat -c %s "$data/pic/pic.jpg") bytes"

# The same folder in the gallery pages, with a working folder of its own.
gport=$(free_port)
mkdir -p "$tmp/work-gallery"
MIRELO_LOOPBACK_ONLY=1 "$exe" --headless --folder "$data" --port "$gport" \
  --workdir "$tmp/work-gallery" --internal --no-port-mapping --user mirelo-bench \
  --pages gallery >"$tmp/gallery.log" 2>&1 &
gallery_pid=$!
pids+=($!)
gallery=http://127.0.0.1:$gport
for _ in $(seq 50); do curl -fs -o /dev/null "$gallery/pic/" && break; sleep 0.1; done
curl -fs -o /dev/null "$gallery/list/"  # makes its 200 thumbnails

# The earlier build, if any, on the same folder with its own work folder.
if [ -n "$base_exe" ]; then
  bport=$(free_port)
  mkdir -p "$tmp/basework"
  # Builds from before port mapping know no --no-port-mapping (and map nothing).
  nomap=$("$base_exe" --help 2>&1 | grep -q -- --no-port-mapping && echo --no-port-mapping || true)
  MIRELO_LOOPBACK_ONLY=1 "$base_exe" --headless --folder "$data" --port "$bport" \
    --workdir "$tmp/basework" --internal $nomap --user mirelo-bench >"$tmp/base.log" 2>&1 &
  base_pid=$!
  pids+=($!)
  base_url=http://127.0.0.1:$bport
  for _ in $(seq 50); do curl -fs -o /dev/null "$base_url/pic/" && break; sleep 0.1; done
  curl -fs -o /dev/null "$base_url/list/"
fi

# nginx with autoindex and sendfile, two workers.
nport=$(free_port)
mkdir -p "$tmp/nginx"
cat > "$tmp/nginx/nginx.conf" <<CONF
$( [ "$(id -u)" = 0 ] && echo "user root;" )
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
  types { image/jpeg jpg; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$nport;
    root $data;
    autoindex on;
  }
}
CONF
nginx -c "$tmp/nginx/nginx.conf" -p "$tmp/nginx" &
nginx_pid=$!
pids+=($!)
nginx_url=http://127.0.0.1:$nport

# lighttpd with its defaults (sendfile where the platform has it).
lport=$(free_port)
cat > "$tmp/lighttpd.conf" <<CONF
server.document-root = "$data"
server.port = $lport
server.bind = "127.0.0.1"
server.errorlog = "$tmp/lighttpd.err"
mimetype.assign = (".jpg" => "image/jpeg", "" => "application/octet-stream")
CONF
lighttpd -D -f "$tmp/lighttpd.conf" &
pids+=($!)
lighttpd_url=http://127.0.0.1:$lport
for u in "$nginx_url/pic/pic.jpg" "$lighttpd_url/pic/pic.jpg"; do
  for _ in $(seq 50); do curl -fs -o /dev/null "$u" && break; sleep 0.1; done
done

# Processor time (user and system, clock ticks) of a process and its children.
cpu_ticks() {
  local t=0 p
  for p in "$1" $(pgrep -P "$1" || true); do
    t=$((t + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$t"
}

# url connections pid -> requests per second, then the server's processor time
# per request in microseconds (and errors, if any)
rps() {
  local out before after
  before=$(cpu_ticks "$3")
  out=$(wrk -t2 -c"$2" -d"${duration}s" -H "Connection: close" "$1")
  after=$(cpu_ticks "$3")
  local r n e
  r=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  n=$(awk '/requests in/ {print $1}' <<<"$out")
  e=$(grep -E "Socket errors|Non-2xx" <<<"$out" | tr -s ' ' | tr '\n' ' ' || true)
  local us
  us=$(python3 -c "print(round(($after - $before) * 1e6 / $(getconf CLK_TCK) / max($n, 1)))")
  echo "$r ${us}us${e:+ ($e)}"
}

ratio() { python3 -c "import sys; print(f'{float(sys.argv[1].split()[0]) / float(sys.argv[2].split()[0]):.2f}')" "$1" "$2" 2>/dev/null || echo '?'; }

# Requests/s and processor time per request of ours (and the earlier build)
# beside nginx, with the ratios of requests/s.
# The ratios of every line go to ratios[connections] ("mirelo base" pairs).
declare -A ratios=()
side_by_side() {  # label path-on-ours path-on-nginx connections
  local m n b=""
  m=$(rps "$ours$2" "$4" "$ours_pid")
  n=$(rps "$nginx_url$3" "$4" "$nginx_pid")
  [ -n "$base_exe" ] && b=$(rps "$base_url$2" "$4" "$base_pid")
  printf '  %2d connections: mirelo %s   %s %s   (%sx)' "$4" "$m" "$1" "$n" "$(ratio "$m" "$n")"
  [ -n "$base_exe" ] && printf '   base %s (%sx)' "$b" "$(ratio "$b" "$n")"
  echo
  ratios[$4]="${ratios[$4]:-} $(ratio "$m" "$n") $( [ -n "$base_exe" ] && ratio "$b" "$n" || echo -)"
}

# The median of the ratios gathered for some connections, ours and the base's.
median_ratios() {  # connections
  python3 - "${ratios[$1]}" <<'PY'
import statistics, sys
v = sys.argv[1].split()
ours = [float(x) for x in v[0::2] if x != '?']
base = [float(x) for x in v[1::2] if x not in '?-']
line = f'median of {len(ours)}: mirelo {statistics.median(ours):.2f}x'
if base: line += f'   base {statistics.median(base):.2f}x'
print(line)
PY
}

echo
if [[ $parts == *" list "* ]]; then
  echo "== listing of a 1,000-entry folder, requests/s and server CPU per request (wrk, Connection: close)"
  for c in 16 64; do side_by_side "nginx autoindex" /list/ /list/ "$c"; done

  echo "== the same listing in the gallery pages, requests/s (wrk, Connection: close)"
  for c in 16 64; do
    printf '  %2d connections: mirelo gallery %s   nginx autoindex %s\n' "$c" \
      "$(rps "$gallery/list/" "$c" "$gallery_pid")" "$(rps "$nginx_url/list/" "$c" "$nginx_pid")"
  done
  size_classic=$(curl -fs "$ours/list/" | wc -c)
  size_gallery=$(curl -fs "$gallery/list/" | wc -c)
  size_nginx=$(curl -fs "$nginx_url/list/" | wc -c)
  printf '  page bytes: classic %s   gallery %s   nginx autoindex %s   (gallery / nginx %s)\n' \
    "$size_classic" "$size_gallery" "$size_nginx" \
    "$(python3 -c "print(round($size_gallery / $size_nginx, 2))")"
fi

if [[ $parts == *" pic "* ]]; then
  echo "== one 20 KB picture, requests/s and server CPU per request"
  # Small responses swing with where the scheduler puts server and client:
  # REPEAT rounds (default 1) take turns, and give the median of the ratios.
  ratios=()
  for _ in $(seq "${REPEAT:-1}"); do
    for c in 16 64; do side_by_side nginx /pic/pic.jpg /pic/pic.jpg "$c"; done
  done
  if [ "${REPEAT:-1}" -gt 1 ]; then
    for c in 16 64; do printf '  %2d connections, %s\n' "$c" "$(median_ratios "$c")"; done
  fi
fi
if [[ $parts == *" download "* ]]; then
# Loopback throughput swings widely from one transfer to the next (where the
# scheduler puts sender and receiver), so the servers take turns, five rounds,
# each round started by the next server.
rounds=${ROUNDS:-5}
declare -A best=()
declare -A all=()
echo "== ${big_mib} MiB download, MiB/s (best of $rounds, the servers taking turns)"
order=(mirelo nginx lighttpd)
# One download from each first, not counted.
for url in "$ours/download?big/big.bin" "$nginx_url/big/big.bin" "$lighttpd_url/big/big.bin"; do
  curl -fs -o /dev/null "$url"
done
for _ in $(seq "$rounds"); do
  for server in "${order[@]}"; do
    case $server in
      mirelo) url="$ours/download?big/big.bin" ;;
      nginx) url="$nginx_url/big/big.bin" ;;
      lighttpd) url="$lighttpd_url/big/big.bin" ;;
    esac
    read -r s size < <(curl -fs -o /dev/null -w '%{speed_download} %{size_download}\n' "$url")
    [ "$size" = $((big_mib * 1024 * 1024)) ] || echo "short download from $url: $size" >&2
    mib=$(python3 -c "print(round($s / 1048576))")
    all[$server]="${all[$server]:-} $mib"
    best[$server]=$(python3 -c "print(max(${best[$server]:-0}, $mib))")
  done
  order=("${order[@]:1}" "${order[0]}")  # each server goes first in turn
done
printf '  mirelo %s   nginx %s   lighttpd %s\n' "${best[mirelo]}" "${best[nginx]}" "${best[lighttpd]}"
printf '  each run: mirelo%s; nginx%s; lighttpd%s\n' "${all[mirelo]}" "${all[nginx]}" "${all[lighttpd]}"
fi

[[ $parts == *" search "* ]] || exit 0
echo "== name search over 100,000 files, ms (median of 5, warm cache)"
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
find "$data/tree" -iname '*needle*' >/dev/null
ms_ours=$(for _ in 1 2 3 4 5; do
  curl -fs -o "$tmp/search.html" -w '%{time_total}\n' "$ours/search?searchtext=needle&path=tree"
done | awk '{printf "%.1f\n", $1 * 1000}' | median)
found=$(grep -c '/download?' "$tmp/search.html" || true)
ms_find=$(for _ in 1 2 3 4 5; do
  s=$(date +%s%N); find "$data/tree" -iname '*needle*' >/dev/null; e=$(date +%s%N)
  echo "$(( (e - s) / 100000 ))" | awk '{printf "%.1f\n", $1 / 10}'
done | median)
printf '  mirelo %s ms (%s results)   find -iname %s ms\n' "$ms_ours" "$found" "$ms_find"
