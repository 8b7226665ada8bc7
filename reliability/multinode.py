#!/usr/bin/python3
"""Three nodes on one LAN: three network namespaces (the test hosts), a
fourth for the master, joined by a bridge in a fifth (ip netns, veth, bridge;
all on this machine and removed afterwards). drmaster's broadcast discovery
must list all three nodes, and so must "drmaster status --broadcast" (every
answer within 2 s); two jobs sent to two of them at the same time must both
complete with every dump intact. Needs root and an X display (its
Unix socket is reachable from every namespace).

Usage: reliability/multinode.py
"""

import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (remove_tempdirs, DumpWatcher, Failure, Node, bin_dir, check, check_received, make_scene,  # noqa: E402
                     netns_files, received_dumps, render_args, tempdir)

STUB = "dumps = 3\ndump_interval_ms = 200\ndump_size = 256x128\nend_linger_ms = 100\n"
SUBNET = "10.77.0."
FRAME = 11


def ip(*args, check_=True):
    return subprocess.run(["ip"] + list(args), check=check_, capture_output=True, text=True)


class Lan:
    """The namespaces, veth pairs and bridge; removed by close()."""

    def __init__(self):
        tag = "vx%d" % (os.getpid() % 100000)
        self.lan = tag + "-lan"
        self.hosts = {name: "%s-%s" % (tag, name) for name in ("n1", "n2", "n3", "m")}
        self.address = {"n1": SUBNET + "1", "n2": SUBNET + "2", "n3": SUBNET + "3", "m": SUBNET + "10"}
        self.created = []
        ip("netns", "add", self.lan)
        self.created.append(self.lan)
        ip("-n", self.lan, "link", "add", "br0", "type", "bridge")
        ip("-n", self.lan, "link", "set", "br0", "up")
        for name, ns in self.hosts.items():
            ip("netns", "add", ns)
            self.created.append(ns)
            netns_files(ns, "".join("%s varnix-test-%s\n" % (address, host) for host, address in self.address.items()))
            ip("link", "add", "eth0", "netns", ns, "type", "veth", "peer", "name", "p-" + name, "netns", self.lan)
            ip("-n", self.lan, "link", "set", "p-" + name, "master", "br0", "up")
            ip("-n", ns, "link", "set", "lo", "up")
            ip("-n", ns, "addr", "add", self.address[name] + "/24", "brd", SUBNET + "255", "dev", "eth0")
            ip("-n", ns, "link", "set", "eth0", "up")
            # A route for the limited broadcast (255.255.255.255) of discovery.
            ip("-n", ns, "route", "add", "default", "dev", "eth0")

    def close(self):
        for ns in reversed(self.created):
            ip("netns", "delete", ns, check_=False)
            shutil.rmtree(os.path.join("/etc/netns", ns), ignore_errors=True)


def job_span(node):
    """The time stamps (text) of a node's first accepted connection and the
    end of that job, from its DrLog.txt."""
    first = last = None
    for line in node.log_text().splitlines():
        if "Accepted remote connection" in line and first is None:
            first = line[:19]
        if "Ready for new connection" in line and first is not None and last is None:
            last = line[:19]
    return (first or "?", last or "?")


def wait_all(procs, timeout):
    deadline = time.monotonic() + timeout
    results = []
    for p in procs:
        try:
            out, _ = p.communicate(timeout=max(1, deadline - time.monotonic()))
            results.append((p.returncode, out.decode(errors="replace")))
        except subprocess.TimeoutExpired:
            p.kill()
            out, _ = p.communicate()
            results.append((None, out.decode(errors="replace")))
    return results


def main():
    root = tempdir("varnix-lan-")
    lan = Lan()
    nodes = {}
    watchers = {}
    passed = failed = 0

    def result(ok, what):
        nonlocal passed, failed
        print("%s %s" % ("PASS" if ok else "FAIL", what), flush=True)
        passed += bool(ok)
        failed += not ok

    try:
        for name in ("n1", "n2", "n3"):
            node = Node(os.path.join(root, name), netns=lan.hosts[name], address=lan.address[name])
            stub = node.install_stub("max", STUB)
            node.write_config("2014 %s\n" % stub)
            node.start()
            nodes[name] = node
            watchers[name] = DumpWatcher(node.data, os.path.join(node.root, "written"))
        master_ns = lan.hosts["m"]
        drmaster = os.path.join(bin_dir(), "drmaster")

        r = subprocess.run(["ip", "netns", "exec", master_ns, drmaster, "discover", "--numeric", "--wait", "2"],
                           capture_output=True, text=True, timeout=30)
        listed = [line.split()[0] for line in r.stdout.splitlines() if line.strip()]
        print("    drmaster discover (broadcast) listed: %s" % ", ".join(listed))
        result(r.returncode == 0 and sorted(listed) == sorted(lan.address[n] for n in ("n1", "n2", "n3")),
               "broadcast discovery lists exactly the three nodes (status %d)" % r.returncode)

        # The status answer by broadcast: how long until all three answered
        # (the last answer's time after the request), and the whole command.
        started = time.monotonic()
        r = subprocess.run(["ip", "netns", "exec", master_ns, drmaster, "status", "--broadcast", "--json", "--wait",
                            "2"], capture_output=True, text=True, timeout=30)
        took = time.monotonic() - started
        try:
            answered = {n["address"]: n["reply_ms"] for n in json.loads(r.stdout)["nodes"]}
        except (ValueError, KeyError, TypeError):
            answered = {}
        print("    drmaster status --broadcast: %s answered, the last after %.1f ms (the command %.2f s with "
              "--wait 2)" % (", ".join(sorted(answered)), max(answered.values(), default=float("nan")), took))
        result(r.returncode == 0 and sorted(answered) == sorted(lan.address[n] for n in ("n1", "n2", "n3")) and
               max(answered.values()) < 2000, "a status broadcast finds the three nodes within 2 s (status %d)" %
               r.returncode)

        scene = make_scene(os.path.join(root, "scene.max"), 2000000)
        outs = {n: os.path.join(root, "out-" + n) for n in ("n1", "n2")}
        start = time.monotonic()
        procs = [subprocess.Popen(["ip", "netns", "exec", master_ns, drmaster] +
                                  render_args(lan.address[n], 2014, FRAME, scene, outs[n], ["--end-after-dumps", "3"]),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
                 for n in ("n1", "n2")]
        results = wait_all(procs, 120)
        elapsed = time.monotonic() - start
        for n, (rc, text) in zip(("n1", "n2"), results):
            got = received_dumps(outs[n], FRAME)
            ok = rc == 0 and len(got) == 3
            detail = ""
            if ok:
                try:
                    check_received(got, watchers[n], "job on " + n)
                except Failure as e:
                    ok, detail = False, str(e)
            else:
                detail = text
            result(ok, "concurrent job on %s (%s): status %s, %d dumps %s" % (n, lan.address[n], rc, len(got), detail))
        # Both ran at once: each node logged its job, and the two overlapped.
        result(all(nodes[n].wait_log("Ready for new connection", 1, 10) for n in ("n1", "n2")),
               "both nodes finished their job (%.1f s for both together)" % elapsed)
        spans = {n: job_span(nodes[n]) for n in ("n1", "n2")}
        result(spans["n1"][0] <= spans["n2"][1] and spans["n2"][0] <= spans["n1"][1],
               "the two jobs overlapped in time: %s" % spans)
        result(nodes["n3"].count_log("Accepted remote connection") == 0, "the third node got no job")
        for name, node in nodes.items():
            result(node.stop() == 0, "node %s ended cleanly" % name)
    finally:
        for w in watchers.values():
            w.stop()
        for node in nodes.values():
            node.stop()
        lan.close()
    if failed == 0:
        remove_tempdirs()
    print("multinode: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
