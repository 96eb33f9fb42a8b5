#!/usr/bin/env python3
"""Loads a page and its thumbnails as a browser would: six connections to
the host, HTTP/1.1, the thumbnails shared among them once the page is in.

Usage: page-load.py BASE_URL PAGE_PATH ROUNDS
Prints, for connections kept (when the server allows it) and for a new
connection per request ("Connection: close"), the median time of a warm
load in milliseconds and how many connections it opened.
"""
import concurrent.futures
import http.client
import re
import statistics
import sys
import time
import urllib.parse

LANES = 6


class Lane:
    def __init__(self, host, port, keep):
        self.host, self.port, self.keep = host, port, keep
        self.conn = None
        self.opened = 0

    def get(self, path):
        if self.conn is None:
            self.conn = http.client.HTTPConnection(self.host, self.port, timeout=30)
            self.opened += 1
        headers = {} if self.keep else {'Connection': 'close'}
        self.conn.request('GET', path, headers=headers)
        response = self.conn.getresponse()
        body = response.read()
        if response.will_close:
            self.conn.close()
            self.conn = None
        return response.status, body


def load(host, port, page, keep):
    lanes = [Lane(host, port, keep) for _ in range(LANES)]
    start = time.monotonic()
    status, body = lanes[0].get(page)
    if status != 200:
        raise SystemExit(f'page: status {status}')
    html = body.decode('utf-8', 'replace').replace('&amp;', '&')
    thumbs = sorted(set(re.findall(r'(?:src|data-src)="([^"]*TAMBNEIL[^"]*)"', html, re.I)))
    with concurrent.futures.ThreadPoolExecutor(LANES) as pool:
        def run(i):
            lane = lanes[i]
            for path in thumbs[i::LANES]:
                s, _ = lane.get(urllib.parse.urljoin(page, path))
                if s != 200:
                    raise SystemExit(f'{path}: status {s}')
        list(pool.map(run, range(LANES)))
    elapsed = (time.monotonic() - start) * 1000
    for lane in lanes:
        if lane.conn:
            lane.conn.close()
    return elapsed, len(thumbs), sum(lane.opened for lane in lanes)


def main():
    url, page, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    parts = urllib.parse.urlsplit(url)
    for keep in (True, False):
        load(parts.hostname, parts.port, page, keep)  # warm: thumbnails made
        times, opened, thumbs = [], 0, 0
        for _ in range(rounds):
            ms, thumbs, opened = load(parts.hostname, parts.port, page, keep)
            times.append(ms)
        label = 'kept connections' if keep else 'one per request '
        print(f'{label}: page + {thumbs} thumbnails in {statistics.median(times):7.1f} ms '
              f'(median of {rounds}), {opened} connections')


if __name__ == '__main__':
    main()
