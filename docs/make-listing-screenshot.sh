#!/usr/bin/env bash
# Makes docs/listing.png: the built headless program shares a small folder of
# generated pictures, and headless Chromium takes a picture of its listing.
# Needs build/mirelo-share (./run.sh --help builds it), python3 and chromium.
# Only 127.0.0.1 is contacted; settings go to a temporary HOME.
set -euo pipefail
cd "$(dirname "$0")/.."
exe=$PWD/build/mirelo-share
out=$PWD/docs/listing.png
tmp=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" || true
  rm -rf "$tmp"
}
trap cleanup EXIT
for d in home config data cache run share work profile; do mkdir -m 700 "$tmp/$d"; done
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/config XDG_DATA_HOME=$tmp/data \
  XDG_CACHE_HOME=$tmp/cache XDG_RUNTIME_DIR=$tmp/run

# A few colourful pictures (PNG and BMP), a sub-folder and a text file.
python3 - "$tmp/share" <<'PY'
import math, os, struct, sys, zlib
root = sys.argv[1]

def png(path, w, h, pixel):
    rows = b''.join(b'\0' + bytes(c for x in range(w) for c in pixel(x, y)) for y in range(h))
    chunk = lambda t, d: struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
                + chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))

def bmp(path, w, h, pixel):
    row = (w * 3 + 3) // 4 * 4
    data = b''.join(bytes(c for x in range(w) for c in pixel(x, h - 1 - y)[::-1]).ljust(row, b'\0')
                    for y in range(h))
    with open(path, 'wb') as f:
        f.write(b'BM' + struct.pack('<IHHI', 54 + len(data), 0, 0, 54)
                + struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0) + data)

clamp = lambda v: max(0, min(255, int(v)))

def sunset(x, y):
    sun = math.hypot(x - 200, y - 170) < 60
    if y > 190:
        return (20, 40 + y // 6, 90 + y // 4)
    return (255, 220, 90) if sun else (255, clamp(80 + y * 0.6), clamp(60 + y * 0.3))

def lagoon(x, y):
    v = math.sin(x / 18.0) + math.sin(y / 11.0) + math.sin((x + y) / 25.0)
    return (clamp(20 + 15 * v), clamp(150 + 35 * v), clamp(190 + 20 * v))

def meadow(x, y):
    if y < 110:
        return (clamp(120 + y), clamp(180 + y * 0.5), 255)
    flower = (x * 7 + y * 13) % 97 < 3
    return (230, 60, 120) if flower else (clamp(60 + (x * y) % 40), clamp(150 + y // 5), 50)

def stripes(x, y):
    colours = [(230, 57, 70), (244, 162, 97), (233, 196, 106), (42, 157, 143), (38, 70, 83)]
    return colours[((x + y) // 24) % len(colours)]

def rings(x, y):
    d = math.hypot(x - 160, y - 120)
    return (clamp(128 + 127 * math.sin(d / 9)), clamp(128 + 127 * math.sin(d / 13 + 2)),
            clamp(128 + 127 * math.sin(d / 17 + 4)))

os.makedirs(os.path.join(root, 'Holiday 2026'))
png(os.path.join(root, 'Sunset.png'), 400, 300, sunset)
png(os.path.join(root, 'Lagoon.png'), 320, 240, lagoon)
png(os.path.join(root, 'Meadow.png'), 360, 270, meadow)
bmp(os.path.join(root, 'Stripes.bmp'), 320, 240, stripes)
png(os.path.join(root, 'Holiday 2026', 'Rings.png'), 320, 240, rings)
with open(os.path.join(root, 'Read me.txt'), 'w') as f:
    f.write('Pictures from our trip. Take what you like!\n')
PY

# --internal: the web address is the local one; no outside host is asked;
# --no-port-mapping and MIRELO_LOOPBACK_ONLY: no router is looked for or asked.
MIRELO_LOOPBACK_ONLY=1 "$exe" --headless --folder "$tmp/share" --port 0 --workdir "$tmp/work" \
  --internal --no-port-mapping --user Docs >"$tmp/server.log" 2>&1 &
server=$!
url=
for _ in $(seq 100); do
  url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$tmp/server.log" | head -1) && [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || { cat "$tmp/server.log"; exit 1; }

chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --host-resolver-rules='MAP * ~NOTFOUND , EXCLUDE 127.0.0.1' --hide-scrollbars \
  --user-data-dir="$tmp/profile" --window-size=1100,800 --virtual-time-budget=5000 \
  --screenshot="$out" "$url" 2>/dev/null
echo "wrote $out"
