#!/usr/bin/env python3
"""Latency of `korvane preview` while a slider moves: POST /api/render at a preview width, one
request after another with a new angle each time; prints the median and 90th percentile, the
server's processor time per request (which a loaded machine inflates less than the wall time), and
the load average before and after. With --against, a second build's server answers every other request
in the same run, and the line gives the ratio of the medians.

  bench/preview_latency.py build/release/bin/korvane INPUT [--width 960] [--count 60] [--against OTHER]
"""
import argparse, json, os, statistics, subprocess, time, urllib.request

parser = argparse.ArgumentParser()
parser.add_argument("korvane")
parser.add_argument("input")
parser.add_argument("--width", type=int, default=960)
parser.add_argument("--count", type=int, default=60)
parser.add_argument("--against", help="another korvane build, measured in turns with the first")
args = parser.parse_args()


class Preview:
    def __init__(self, korvane):
        self.name = korvane
        self.server = subprocess.Popen([korvane, "preview", args.input, "--no-open"], stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True)
        self.base, self.token = self.server.stdout.readline().strip().split("/?token=")
        self.times = []
        self.render(0)  # the first request reads and scales the input
        self.cpu_start = self.cpu_ms()

    def cpu_ms(self):
        fields = open(f"/proc/{self.server.pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")

    def render(self, angle):
        body = json.dumps({"params": {"angle": angle, "threshold_low": 0.25}, "width": args.width}).encode()
        request = urllib.request.Request(self.base + "/api/render", body, {"X-Korvane-Token": self.token})
        start = time.perf_counter()
        with urllib.request.urlopen(request) as response:
            response.read()
        return (time.perf_counter() - start) * 1000

    def close(self):
        self.cpu_per_request = (self.cpu_ms() - self.cpu_start) / max(len(self.times), 1)
        self.server.terminate()
        self.server.wait()


def p90(times):
    return sorted(times)[int(0.9 * (len(times) - 1))]


previews = [Preview(args.korvane)] + ([Preview(args.against)] if args.against else [])
load_before = os.getloadavg()[0]
try:
    for i in range(args.count):
        for preview in previews:
            preview.times.append(preview.render(i * 3 % 360))
finally:
    for preview in previews:
        preview.close()
load_after = os.getloadavg()[0]
for preview in previews:
    print(f"{preview.name}: {args.input} at width {args.width}: median {statistics.median(preview.times):.1f} ms, "
          f"p90 {p90(preview.times):.1f} ms over {len(preview.times)} renders, "
          f"{preview.cpu_per_request:.1f} ms of processor time each")
if args.against:
    print(f"ratio of medians {statistics.median(previews[0].times) / statistics.median(previews[1].times):.2f}")
print(f"load average {load_before:.2f} before, {load_after:.2f} after")
