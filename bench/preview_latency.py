#!/usr/bin/env python3
"""Latency of `korvane preview` while a slider moves: POST /api/render at a preview width, one
request after another with a new angle each time; prints the median and 90th percentile.

  bench/preview_latency.py build/release/bin/korvane INPUT [--width 960] [--count 60]
"""
import argparse, json, statistics, subprocess, time, urllib.request

parser = argparse.ArgumentParser()
parser.add_argument("korvane")
parser.add_argument("input")
parser.add_argument("--width", type=int, default=960)
parser.add_argument("--count", type=int, default=60)
args = parser.parse_args()

server = subprocess.Popen([args.korvane, "preview", args.input, "--no-open"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
try:
    url = server.stdout.readline().strip()
    base, token = url.split("/?token=")
    def render(angle):
        body = json.dumps({"params": {"angle": angle, "threshold_low": 0.25}, "width": args.width}).encode()
        request = urllib.request.Request(base + "/api/render", body, {"X-Korvane-Token": token})
        with urllib.request.urlopen(request) as response:
            response.read()
    render(0)  # the first request reads and scales the input
    times = []
    for i in range(args.count):
        start = time.perf_counter()
        render(i * 3 % 360)
        times.append((time.perf_counter() - start) * 1000)
    times.sort()
    print(f"{args.input} at width {args.width}: median {statistics.median(times):.1f} ms, "
          f"p90 {times[int(0.9 * (len(times) - 1))]:.1f} ms over {len(times)} renders")
finally:
    server.terminate()
    server.wait()
