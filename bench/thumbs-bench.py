#!/usr/bin/env python3
"""First byte of a listing of new photos, and the whole thumbnail batch.

Runs the headless server on loopback over folders of real photos and, for
each server binary given (this build, and optionally a baseline), reports:
  - batch: a folder of BATCH photos with an empty cache: time to the first
    byte of the listing, to its last byte, and to the last byte of the last
    of its thumbnails, fetched as a browser does (SOCKETS connections at
    once, in page order); then the same again with every thumbnail cached;
  - many: a folder of MANY photos with an empty cache: time to the first
    byte of the listing; the time until every thumbnail has come through
    the image requests; then the first byte with every thumbnail cached
    (median of 5); with COLD_ROUNDS=N, then N rounds of a fresh server on an
    empty cache and one on the full cache, with the ratio of their first
    bytes in each.

Photos: the JPEG and PNG pictures of Debian's wallpaper packages
(mate-backgrounds, ukui-wallpapers and the like, under /usr/share/backgrounds
and /usr/share/wallpapers), hard-linked (or copied) in turn until a folder
holds its number. Nothing is fetched from outside: every request goes to
127.0.0.1.

Usage: bench/thumbs-bench.py [build folder] [baseline binary ...]
Environment: BATCH (default 57), MANY (default 1000), SOCKETS (default 6),
MANY_MAX_BYTES (default 1100000: larger photos are left out of the many
folder, so that making its thumbnails stays within minutes), SKIP_MANY=1,
COLD_ROUNDS (default 0).
Packages: scripts/install-deps.sh bench installs mate-backgrounds.
"""
import glob
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BATCH = int(os.environ.get("BATCH", "57"))
MANY = int(os.environ.get("MANY", "1000"))
SOCKETS = int(os.environ.get("SOCKETS", "6"))
MANY_MAX_BYTES = int(os.environ.get("MANY_MAX_BYTES", "1100000"))
SKIP_MANY = os.environ.get("SKIP_MANY") == "1"
COLD_ROUNDS = int(os.environ.get("COLD_ROUNDS", "0"))


def photos():
    found = []
    for root in ("/usr/share/backgrounds", "/usr/share/wallpapers"):
        for ext in ("jpg", "jpeg", "JPG", "png"):
            found += glob.glob(f"{root}/**/*.{ext}", recursive=True)
    # Icons and thumbnails of the packages are no photos.
    found = sorted(p for p in set(found) if os.path.getsize(p) > 100_000)
    if not found:
        sys.exit("no wallpaper photos found: install mate-backgrounds or another wallpaper package")
    return found


def fill(folder, sources, count):
    os.makedirs(folder)
    for i in range(count):
        src = sources[i % len(sources)]
        dst = os.path.join(folder, f"photo-{i:04d}{os.path.splitext(src)[1].lower()}")
        try:
            os.link(src, dst)
        except OSError:
            shutil.copyfile(src, dst)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def get(port, path):
    """(seconds to the first byte, seconds to the last, body) of one GET."""
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
        s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
        chunks = [s.recv(65536)]
        first = time.perf_counter() - start
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    reply = b"".join(chunks)
    if not reply.startswith(b"HTTP/1.0 200"):
        raise RuntimeError(f"{path}: {reply[:40]!r}")
    return first, time.perf_counter() - start, reply[reply.find(b"\r\n\r\n") + 4:]


def thumbs_of(page):
    names, at = [], 0
    while True:
        at = page.find(b'<img src="/TAMBNEIL/', at)
        if at < 0:
            return names
        at += len(b'<img src="/TAMBNEIL/')
        end = page.find(b'"', at)
        names.append(page[at:end].decode())
        at = end


NOT_FOUND = b""  # the not-found picture, which no thumbnail may be


def fetch_all(port, paths):
    """Fetches paths in order over SOCKETS connections at once; seconds taken."""
    queue = list(reversed(paths))
    lock = threading.Lock()
    errors = []

    def worker():
        while True:
            with lock:
                if not queue:
                    return
                path = queue.pop()
            try:
                _, _, body = get(port, path)
                if not body.startswith(b"\xff\xd8") or body == NOT_FOUND:
                    errors.append(path)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(f"{path}: {e}")

    start = time.perf_counter()
    threads = [threading.Thread(target=worker) for _ in range(SOCKETS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise RuntimeError(f"{len(errors)} thumbnails failed, first: {errors[0]}")
    return time.perf_counter() - start


class Server:
    def __init__(self, exe, data, work):
        self.port = free_port()
        args = [exe, "--headless", "--folder", data, "--port", str(self.port), "--workdir", work,
                "--internal", "--user", "mirelo-bench"]
        help_text = subprocess.run([exe, "--help"], capture_output=True, text=True).stdout
        if "--no-port-mapping" in help_text:
            args.append("--no-port-mapping")
        env = dict(os.environ, MIRELO_LOOPBACK_ONLY="1")
        self.log = open(os.path.join(work, "..", os.path.basename(work) + ".log"), "w")
        self.proc = subprocess.Popen(args, env=env, stdout=self.log, stderr=subprocess.STDOUT)
        for _ in range(100):
            try:
                get(self.port, "/.nothing-here/")
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError(f"{exe} did not start")

    def cpu(self):
        """Seconds of processor time the server has used so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(120)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def ms(seconds):
    return f"{seconds * 1000:9.1f} ms"


def run(exe, tmp, label):
    print(f"## {label}: {exe}")
    work = tempfile.mkdtemp(dir=tmp, prefix="work-")
    server = Server(exe, tmp + "/data", work)
    try:
        cpu = server.cpu()
        first, last, page = get(server.port, "/batch/")
        names = thumbs_of(page)
        assert len(names) == BATCH, len(names)
        images = fetch_all(server.port, [f"/TAMBNEIL/{n}" for n in names])
        print(f"batch {BATCH} cold: first byte {ms(first)}  page {ms(last)}  "
              f"page + every thumbnail {ms(last + images)}  "
              f"server processor time {ms(server.cpu() - cpu)}")
        first, last, page = get(server.port, "/batch/")
        images = fetch_all(server.port, [f"/TAMBNEIL/{n}" for n in thumbs_of(page)])
        print(f"batch {BATCH} warm: first byte {ms(first)}  page {ms(last)}  "
              f"page + every thumbnail {ms(last + images)}")
        if not SKIP_MANY:
            first, last, page = get(server.port, "/many/")
            names = thumbs_of(page)
            images = fetch_all(server.port, [f"/TAMBNEIL/{n}" for n in names])
            print(f"many {len(names)} cold: first byte {ms(first)}  page {ms(last)}  "
                  f"page + every thumbnail {ms(last + images)}")
            warm = [get(server.port, "/many/")[0] for _ in range(5)]
            print(f"many {len(names)} warm: first byte {ms(statistics.median(warm))} (median of 5)")
    finally:
        server.stop()
    if not SKIP_MANY and COLD_ROUNDS > 0:
        # Rounds of a fresh server on an empty cache beside one on the full
        # cache just made: a single first byte wanders with the machine.
        ratios = []
        for _ in range(COLD_ROUNDS):
            fresh = tempfile.mkdtemp(dir=tmp, prefix="cold-")
            server = Server(exe, tmp + "/data", fresh)
            try:
                cold = get(server.port, "/many/")[0]
            finally:
                server.stop()
            shutil.rmtree(fresh, ignore_errors=True)
            server = Server(exe, tmp + "/data", work)
            try:
                warm = statistics.median(get(server.port, "/many/")[0] for _ in range(5))
            finally:
                server.stop()
            ratios.append(cold / warm)
        print(f"many cold / warm first byte, {COLD_ROUNDS} fresh servers: median "
              f"{statistics.median(ratios):.2f}x, highest {max(ratios):.2f}x "
              f"({' '.join(f'{r:.2f}' for r in ratios)})")


def main():
    global NOT_FOUND
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    exes = [os.path.realpath(os.path.join(build, "mirelo-share"))] + sys.argv[2:]
    with open(os.path.join(build, "system", "not found.jpg"), "rb") as f:
        NOT_FOUND = f.read()
    sources = photos()
    tmp = tempfile.mkdtemp(prefix="mirelo-thumbs-bench-")
    try:
        fill(tmp + "/data/batch", sources, BATCH)
        small = [p for p in sources if os.path.getsize(p) <= MANY_MAX_BYTES] or sources
        if not SKIP_MANY:
            fill(tmp + "/data/many", small, MANY)
        print(f"# {len(sources)} photos ({len(small)} up to {MANY_MAX_BYTES} bytes) from "
              "/usr/share/backgrounds and /usr/share/wallpapers")
        print(f"# {os.cpu_count()} processors; load average {os.getloadavg()[0]:.2f} at start")
        for i, exe in enumerate(exes):
            run(exe, tmp, "this build" if i == 0 else "baseline")
        print(f"# load average {os.getloadavg()[0]:.2f} at the end")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
