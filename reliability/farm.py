#!/usr/bin/python3
"""A farm in a box: N windowless nodes (default 200), each in a network
namespace of its own with its own host name, and a master namespace, on one
bridge (ip netns, veth, bridge; all removed afterwards). Measures what an
admin of N machines meets first:
  - how long all N take to start;
  - "drmaster discover" by broadcast (RUNS times) and naming every node: all N
    listed, exit status 0;
  - "drmaster status --broadcast --roster FILE": all N, then, with KILLED
    nodes killed, those shown as not answering and exit status 10;
  - "drmaster farm --roster FILE" started after the kill: every roster node
    in its first page, the dead ones not answering after its first round;
  - the first node's wake-ups a second, idle and under a scrape of /metrics
    every 5 s, and promtool's judgement of the metrics (when installed).
Needs root.

Usage: reliability/farm.py [N] [--runs R] [--killed K] [--scrape-seconds S]
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import bin_dir, netns_files, remove_tempdirs, tempdir  # noqa: E402

STUB = "dumps = 1\ndump_size = 64x32\n"
METRICS_PORT = 19670
PAGE_PORT = 18090


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True, capture_output=True, text=True)


def address(i):
    return "10.78.%d.%d" % (i // 250, i % 250 + 1)


MASTER = "10.78.255.1"


class Farm:
    def __init__(self, root, count):
        tag = "vf%d" % (os.getpid() % 100000)
        self.root = root
        self.lan = tag + "-lan"
        self.master = tag + "-m"
        self.spaces = [self.lan]
        self.nodes = []  # (namespace, address, process)
        ip("netns", "add", self.lan)
        ip("-n", self.lan, "link", "add", "br0", "type", "bridge")
        ip("-n", self.lan, "link", "set", "br0", "up")
        self.join(self.master, MASTER, "pm")
        self.hosts = "".join("%s farm-%03d\n" % (address(i), i) for i in range(count))
        for i in range(count):
            self.join("%s-%d" % (tag, i), address(i), "p%d" % i)

    def join(self, ns, addr, peer):
        ip("netns", "add", ns)
        self.spaces.append(ns)
        netns_files(ns, getattr(self, "hosts", ""))
        ip("link", "add", "eth0", "netns", ns, "type", "veth", "peer", "name", peer, "netns", self.lan)
        ip("-n", self.lan, "link", "set", peer, "master", "br0", "up")
        ip("-n", ns, "link", "set", "lo", "up")
        ip("-n", ns, "addr", "add", addr + "/16", "brd", "10.78.255.255", "dev", "eth0")
        ip("-n", ns, "link", "set", "eth0", "up")
        ip("-n", ns, "route", "add", "default", "dev", "eth0")

    def start_node(self, i, registry=""):
        ns = self.spaces[i + 2]
        folder = os.path.join(self.root, "n%03d" % i)
        stub = os.path.join(folder, "max")
        os.makedirs(os.path.join(folder, "drData"), exist_ok=True)
        os.makedirs(stub, exist_ok=True)
        shutil.copy2(os.path.join(bin_dir(), "maxstub", "3dsmaxcmd.exe"), stub)
        with open(os.path.join(stub, "maxstub-behaviour.txt"), "w") as f:
            f.write(STUB)
        with open(os.path.join(folder, "drData", "DrConfig.txt"), "w") as f:
            f.write("2014 %s/\n" % stub)
        reg = os.path.join(folder, "registry.reg")
        with open(reg, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n" + registry)
        env = dict(os.environ, VARNIX_REGISTRY=reg)
        env.pop("DISPLAY", None)
        proc = subprocess.Popen(["ip", "netns", "exec", ns, "unshare", "-u", "sh", "-c",
                                 'hostname "$1" && exec "$2" --no-window "$3"', "sh", "farm-%03d" % i,
                                 os.path.join(bin_dir(), "varnix-node"), folder],
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        self.nodes.append((ns, address(i), proc, os.path.join(folder, "drData", "DrLog.txt")))

    def started(self, i):
        try:
            with open(self.nodes[i][3], errors="replace") as f:
                return "DR server started" in f.read()
        except OSError:
            return False

    def in_master(self, *argv, **kw):
        return subprocess.run(["ip", "netns", "exec", self.master] + list(argv), capture_output=True, text=True,
                              **kw)

    def close(self):
        for _, _, proc, _ in self.nodes:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        for _, _, proc, _ in self.nodes:
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        for ns in reversed(self.spaces):
            subprocess.run(["ip", "netns", "delete", ns], capture_output=True)
            shutil.rmtree(os.path.join("/etc/netns", ns), ignore_errors=True)


def switches(pid):
    """Context switches of every thread of `pid` so far: each one a wake-up."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, task)) as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("count", nargs="?", type=int, default=200)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--killed", type=int, default=5)
    parser.add_argument("--scrape-seconds", type=int, default=60)
    args = parser.parse_args()
    n = args.count
    root = tempdir("varnix-farm-")
    farm = Farm(root, n)
    drmaster = os.path.join(bin_dir(), "drmaster")
    failures = []

    def result(ok, what):
        print("%s %s" % ("PASS" if ok else "FAIL", what), flush=True)
        if not ok:
            failures.append(what)

    try:
        started = time.monotonic()
        for i in range(n):
            farm.start_node(i, '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n"statusHttpAddress"="%s:%d"\n' %
                            (address(i), METRICS_PORT) if i == 0 else "")
        while not all(farm.started(i) for i in range(n)) and time.monotonic() - started < 120:
            time.sleep(0.1)
        up = sum(farm.started(i) for i in range(n))
        result(up == n, "%d of %d nodes up in %.1f s" % (up, n, time.monotonic() - started))

        everyone = sorted(address(i) for i in range(n))
        for run in range(args.runs):
            r = farm.in_master(drmaster, "discover", "--numeric", "--wait", "2", timeout=60)
            listed = sorted(line.split("\t")[0] for line in r.stdout.splitlines())
            result(r.returncode == 0 and listed == everyone,
                   "discover by broadcast, run %d: %d of %d, status %d %s" %
                   (run + 1, len(listed), n, r.returncode, r.stderr.strip()[:200]))
        r = farm.in_master(drmaster, "discover", "--numeric", "--wait", "5", *everyone, timeout=60)
        listed = sorted(line.split("\t")[0] for line in r.stdout.splitlines())
        result(r.returncode == 0 and listed == everyone, "discover naming all %d: %d listed, status %d" %
               (n, len(listed), r.returncode))

        roster = os.path.join(root, "roster.txt")
        r = farm.in_master(drmaster, "status", "--broadcast", "--json", "--wait", "2", "--roster", roster, timeout=60)
        seen = len(json.loads(r.stdout)["nodes"]) if r.stdout else 0
        result(r.returncode == 0 and seen == n, "status --broadcast --roster: %d of %d, status %d" %
               (seen, n, r.returncode))

        # Metrics and wake-ups of the first node: quiet, then scraped every 5 s.
        pid = farm.nodes[0][2].pid
        url = "http://%s:%d/metrics" % (address(0), METRICS_PORT)
        text = farm.in_master("python3", "-c", "import urllib.request,sys;"
                              "sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode())", url).stdout
        result("varnix_node_state" in text, "the first node's /metrics: %d bytes" % len(text))
        if shutil.which("promtool"):
            p = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
            result(p.returncode == 0, "promtool check metrics: %s" % ((p.stdout + p.stderr).strip()[:300] or "clean"))
        seconds = args.scrape_seconds
        before = switches(pid)
        time.sleep(seconds)
        idle = (switches(pid) - before) / seconds
        # As Prometheus scrapes: one HTTP/1.1 connection kept alive while the server allows.
        scraper = ("import http.client,time,sys\nend=time.monotonic()+%d\nn=0\n"
                   "c=http.client.HTTPConnection(sys.argv[1].split('/')[2])\n"
                   "while time.monotonic()<end:\n for again in (0,1):\n  try:\n   c.request('GET','/metrics')\n"
                   "   n+=b'varnix_node_state' in c.getresponse().read(); break\n"
                   "  except (http.client.HTTPException,OSError): c.close()\n time.sleep(5)\nprint(n)\n" % seconds)
        before = switches(pid)
        r = farm.in_master("python3", "-c", scraper, url, timeout=seconds + 60)
        scraped = (switches(pid) - before) / seconds
        result(scraped < 10 and r.returncode == 0, "node wake-ups a second: %.1f idle, %.1f with /metrics scraped "
               "every 5 s (%s scrapes) %s" % (idle, scraped, r.stdout.strip(), r.stderr.strip()[-200:]))

        dead = list(range(1, 1 + min(args.killed, n - 1)))
        for i in dead:
            farm.nodes[i][2].send_signal(signal.SIGKILL)
            farm.nodes[i][2].wait()
        r = farm.in_master(drmaster, "status", "--broadcast", "--json", "--wait", "2", "--roster", roster, timeout=60)
        report = json.loads(r.stdout) if r.stdout else {}
        silent = sorted(x["address"] for x in report.get("roster_silent", []))
        result(r.returncode == 10 and silent == sorted(address(i) for i in dead),
               "status --roster with %d killed: %d answering, %d shown not answering, status %d" %
               (len(dead), len(report.get("nodes", [])), len(silent), r.returncode))

        page = subprocess.Popen(["ip", "netns", "exec", farm.master, drmaster, "farm", "--serve",
                                 "%s:%d" % (MASTER, PAGE_PORT), "--broadcast", "--roster", roster],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            fetch = ("import time,urllib.request,sys,json\nbase=sys.argv[1]\nt=time.monotonic()\n"
                     "while True:\n try:\n  html=urllib.request.urlopen(base).read().decode(); break\n"
                     " except OSError: time.sleep(0.02)\n"
                     "first=time.monotonic()\nhead=urllib.request.urlopen(base).read()\nserve=time.monotonic()-first\n"
                     "while True:\n b=json.load(urllib.request.urlopen(base+'nodes.json'))\n"
                     " if b['rounds']>0: break\n time.sleep(0.1)\n"
                     "print(json.dumps({'rows_first': html.count('\"address\"'), 'serve_s': serve,"
                     " 'round_s': time.monotonic()-t, 'silent': sorted(x['address'] for x in b['nodes']"
                     " if not x['answering']), 'rows': len(b['nodes'])}))\n")
            r = farm.in_master("python3", "-c", fetch, "http://%s:%d/" % (MASTER, PAGE_PORT), timeout=60)
            got = json.loads(r.stdout) if r.stdout else {}
            result(got.get("rows_first") == n and got.get("silent") == sorted(address(i) for i in dead),
                   "farm page restarted: %s rows in its first page (served in %.0f ms), after its first round "
                   "(%.1f s) %s rows, %d not answering" %
                   (got.get("rows_first"), 1000 * got.get("serve_s", 0), got.get("round_s", 0), got.get("rows"),
                    len(got.get("silent", []))))
        finally:
            page.send_signal(signal.SIGINT)
            page.wait(30)
    finally:
        farm.close()
    if not failures:
        remove_tempdirs()
    print("farm of %d: %d failed" % (n, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
