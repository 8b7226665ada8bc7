#!/usr/bin/python3
"""Floods against one real node, each on its own and then all at once.

Floods (sizes scale with --scale, durations with --seconds):
  wrong greetings      1,000,000 connections that greet wrongly (reset at once)
  garbage datagrams    100,000 stray datagrams a second to UDP 19666
  parameter strings    1,000 masters sending a parameter string at the size limit
  slow-drip masters    100 masters dripping one parameter byte every 25 s
  forged pings         discovery pings from 1,000 forged (loopback) source
                       addresses a second
  all at once          the five together for --combined-seconds

During each flood: an honest prober pings every 100 ms from 127.0.0.1 and
waits up to 1 s for the reply; a status prober sends a 1400-byte status
request every second from 127.0.0.3 and waits up to 1 s for the answer,
which must never be longer than the request; an honest master (drmaster) connects a third
of the way in and must have its whole job (3 dumps) once the flood is over;
the node's resident memory is sampled every half second; DrLog.txt's growth
is measured. At the end of each flood the flood is started again and the
node is asked to close (SIGTERM, the same close request as the window's):
the time until it has ended is the window's responsiveness figure.

With --silent-dns ADDRESS (the scripts/reliability entry sets it up in a
private mount namespace whose /etc/resolv.conf names ADDRESS) a UDP socket
on ADDRESS:53 swallows every query: no name server ever answers.

Every loop is bounded in count and time; everything is sent to loopback
addresses only. Prints one line of figures per flood and "N passed, N
failed" (a flood fails when a goal is missed).

Usage: reliability/flood.py [--seconds S] [--combined-seconds S] [--scale F]
                            [--silent-dns ADDRESS] [FLOOD...]
"""

import argparse
import multiprocessing
import os
import random
import select
import signal
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (MASTER_GREETING, MASTER_PORT, NODE_GREETING, UDP_PORT, Failure, Node, check,  # noqa: E402
                     drmaster, make_scene, received_dumps, remove_tempdirs, render_args, sig, tempdir)

STUB = "dumps = 3\ndump_interval_ms = 100\ndump_size = 64x32\nend_linger_ms = 100\n"
FRAME = 7
PARAMETER_LIMIT = 256  # the node's cap on a parameter string, in bytes
MEMORY_GOAL_KB = 64 * 1024
CLOSE_GOAL_S = 3.0
SERVED_GOAL_S = 10.0
PING_GOAL = 0.99
LOG_GOAL_BYTES_PER_HOUR = 5 * 1024 * 1024


# ---------------------------------------------------------------- floods
# Each runs until `stop` is set or its count is reached; all return counts.

def _reset(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def flood_wrong_greetings(stop, count, worker=0, workers=1):
    """Connections from rotating loopback sources that send a wrong greeting
    and reset (no TIME_WAIT on either side)."""
    rng = random.Random(worker)
    done = 0
    kinds = [b"\x00\x01\x02\x03", sig(NODE_GREETING), b"GET /", b""]
    while done < count and not stop.is_set():
        s = socket.socket()
        try:
            s.settimeout(5)
            s.bind(("127.2.%d.%d" % (rng.randrange(256), rng.randrange(1, 255)), 0))
            s.connect(("127.0.0.1", MASTER_PORT))
            data = kinds[done % len(kinds)]
            if data:
                s.send(data)
        except OSError:
            pass
        finally:
            try:
                _reset(s)
            except OSError:
                pass
        done += 1
    return done


def _greetings_process(stop, count, worker, workers, out):
    out.put(flood_wrong_greetings(stop, count, worker, workers))


def flood_garbage(stop, rate, seconds, worker=0):
    """Stray datagrams at about `rate` a second."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rng = random.Random(100 + worker)
    payloads = [bytes(rng.getrandbits(8) for _ in range(n)) for n in (0, 1, 3, 4, 5, 8, 64, 512)]
    payloads += [sig(MASTER_GREETING)[:3], sig(NODE_GREETING)]
    sent = 0
    start = time.monotonic()
    end = start + seconds
    while not stop.is_set():
        now = time.monotonic()
        if now >= end:
            break
        due = int((now - start) * rate)
        burst = min(due - sent, 2000)
        if burst <= 0:
            time.sleep(0.001)
            continue
        for i in range(burst):
            try:
                s.sendto(payloads[(sent + i) % len(payloads)], ("127.0.0.1", UDP_PORT))
            except OSError:
                pass
        sent += burst
    s.close()
    return sent


def _garbage_process(stop, rate, seconds, worker, out):
    out.put(flood_garbage(stop, rate, seconds, worker))


def flood_parameter_strings(stop, count):
    """Masters that send a parameter string of exactly the size limit (a
    version the node refuses) and wait for the node to close."""
    done = 0
    rng = random.Random(3)
    while done < count and not stop.is_set():
        try:
            s = socket.create_connection(("127.0.0.1", MASTER_PORT), timeout=20)
            s.settimeout(20)
            if s.recv(4) == sig(NODE_GREETING):
                text = ("2010 1 " + "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789 ")
                                            for _ in range(PARAMETER_LIMIT - 7))).encode()
                s.sendall(sig(MASTER_GREETING) + text + b"\0")
                while s.recv(4096):
                    pass
            s.close()
        except OSError:
            pass
        done += 1
    return done


def flood_slow_drip(stop, masters, seconds):
    """`masters` connections that greet as masters and then send one
    parameter byte every 25 s; each one cut by the node is replaced."""
    conns = {}
    end = time.monotonic() + seconds
    made = 0

    def connect():
        nonlocal made
        try:
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", MASTER_PORT))
            made += 1
            conns[s] = {"greeted": False, "next": 0.0}
        except OSError:
            pass

    for _ in range(masters):
        connect()
    while not stop.is_set() and time.monotonic() < end:
        now = time.monotonic()
        readable, _, _ = select.select(list(conns), [], [], 0.2)
        for s in readable:
            try:
                data = s.recv(64)
            except OSError:
                data = b""
            state = conns[s]
            if not data:
                s.close()
                del conns[s]
                connect()
            elif not state["greeted"]:
                try:
                    s.send(sig(MASTER_GREETING) + b"2")
                except OSError:
                    pass
                state["greeted"] = True
                state["next"] = now + 25
        for s, state in list(conns.items()):
            if state["greeted"] and now >= state["next"]:
                try:
                    s.send(b"0")
                except OSError:
                    pass
                state["next"] = now + 25
    for s in list(conns):
        s.close()
    return made


def flood_forged_pings(stop, per_second, seconds, addresses=1000):
    """Pings from `addresses` distinct loopback sources, `per_second` in all."""
    socks = []
    for i in range(addresses):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setblocking(False)
        s.bind(("127.%d.%d.%d" % (10 + i // 65536, (i // 256) % 256, i % 256 or 1), 0))
        socks.append(s)
    sent = 0
    start = time.monotonic()
    while not stop.is_set() and time.monotonic() - start < seconds:
        due = int((time.monotonic() - start) * per_second)
        while sent < due:
            s = socks[sent % len(socks)]
            try:
                s.sendto(sig(MASTER_GREETING), ("127.0.0.1", UDP_PORT))
            except OSError:
                pass
            sent += 1
        # Drop the replies that pile up.
        for s in socks[:50]:
            try:
                while s.recv(64):
                    pass
            except OSError:
                pass
        time.sleep(0.01)
    for s in socks:
        s.close()
    return sent


# ---------------------------------------------------------------- watchers

class Prober(threading.Thread):
    """An honest master's discovery: a ping every 100 ms from 127.0.0.1;
    answered means a reply within 1 s."""

    def __init__(self):
        super().__init__(daemon=True)
        self.stop = threading.Event()
        self.sent = 0
        self.answered = 0
        self.worst = 0.0

    def run(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        while not self.stop.is_set():
            while select.select([s], [], [], 0)[0]:
                s.recv(64)  # late replies of earlier pings
            start = time.monotonic()
            s.sendto(sig(MASTER_GREETING), ("127.0.0.1", UDP_PORT))
            self.sent += 1
            while True:
                left = start + 1.0 - time.monotonic()
                if left <= 0 or not select.select([s], [], [], left)[0]:
                    break
                if s.recv(64) == sig(NODE_GREETING):
                    took = time.monotonic() - start
                    self.answered += 1
                    self.worst = max(self.worst, took)
                    break
            time.sleep(max(0.0, start + 0.1 - time.monotonic()))
        s.close()


class StatusProber(threading.Thread):
    """A farm page's status requests: one of 1400 bytes every second from
    127.0.0.3 (within the node's ration); answered means an answer within
    1 s. Counts answers longer than their request, which must never come."""

    REQUEST = struct.pack("<I", 0xC0C05354) + bytes(1396)

    def __init__(self):
        super().__init__(daemon=True)
        self.stop = threading.Event()
        self.sent = 0
        self.answered = 0
        self.too_long = 0
        self.worst = 0.0

    def run(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.3", 0))
        while not self.stop.is_set():
            while select.select([s], [], [], 0)[0]:
                s.recv(65536)  # late answers of earlier requests
            start = time.monotonic()
            s.sendto(self.REQUEST, ("127.0.0.1", UDP_PORT))
            self.sent += 1
            while True:
                left = start + 1.0 - time.monotonic()
                if left <= 0 or not select.select([s], [], [], left)[0]:
                    break
                answer = s.recv(65536)
                if len(answer) > len(self.REQUEST):
                    self.too_long += 1
                if answer[:4] == struct.pack("<I", 0xC0C05355):
                    self.answered += 1
                    self.worst = max(self.worst, time.monotonic() - start)
                    break
            time.sleep(max(0.0, start + 1.0 - time.monotonic()))
        s.close()


class MemoryWatch(threading.Thread):
    def __init__(self, node):
        super().__init__(daemon=True)
        self.node = node
        self.stop = threading.Event()
        self.peak_kb = 0
        self.peak_anon_kb = 0
        self.file_at_peak_kb = 0

    def run(self):
        while not self.stop.is_set():
            try:
                f = self.node.figures()
                if f["rss_kb"] > self.peak_kb:
                    self.peak_kb, self.file_at_peak_kb = f["rss_kb"], f["rss_file_kb"]
                self.peak_anon_kb = max(self.peak_anon_kb, f["rss_anon_kb"])
            except (OSError, KeyError, ValueError):
                pass
            time.sleep(0.5)


def log_size(node):
    try:
        return os.path.getsize(os.path.join(node.data, "DrLog.txt"))
    except OSError:
        return 0


# ---------------------------------------------------------------- one run

class Flood:
    """The floods named, started in threads and processes, stopped together."""

    def __init__(self, names, seconds, scale):
        self.names = names
        self.seconds = seconds
        self.scale = scale
        self.stop_thread = threading.Event()
        self.stop_process = multiprocessing.Event()
        self.threads = []
        self.processes = []
        self.queue = multiprocessing.Queue()
        self.counts = {}

    def start(self):
        s = self.scale
        if "wrong greetings" in self.names:
            workers = 2
            for w in range(workers):
                p = multiprocessing.Process(target=_greetings_process,
                                            args=(self.stop_process, int(1000000 * s) // workers, w, workers,
                                                  self.queue))
                self.processes.append(p)
        if "garbage datagrams" in self.names:
            for w in range(3):
                p = multiprocessing.Process(target=_garbage_process,
                                            args=(self.stop_process, 100000 * s / 3, self.seconds, w, self.queue))
                self.processes.append(p)
        self._thread("parameter strings", flood_parameter_strings, int(1000 * s) or 1)
        self._thread("slow-drip masters", flood_slow_drip, max(1, int(100 * s)), self.seconds)
        self._thread("forged pings", flood_forged_pings, int(1000 * s) or 1, self.seconds)
        for p in self.processes:
            p.start()
        for t in self.threads:
            t.start()

    def _thread(self, name, fn, *args):
        if name not in self.names:
            return

        def run():
            self.counts[name] = fn(self.stop_thread, *args)
        self.threads.append(threading.Thread(target=run, daemon=True))

    def wait(self, seconds):
        """Until every flood has run its course or `seconds` have passed."""
        end = time.monotonic() + seconds
        for p in self.processes:
            p.join(max(0, end - time.monotonic()))
        for t in self.threads:
            t.join(max(0, end - time.monotonic()))

    def stop(self):
        self.stop_thread.set()
        self.stop_process.set()
        for p in self.processes:
            p.join(30)
            if p.is_alive():
                p.kill()
        for t in self.threads:
            t.join(30)
        total = 0
        while not self.queue.empty():
            total += self.queue.get()
        return total


def run_flood(names, seconds, scale, label):
    root = tempdir("varnix-flood-")
    node = Node(root)
    good = node.install_stub("good", STUB)
    node.write_config("2014 %s\n" % good)
    scene = make_scene(os.path.join(root, "scene.max"), 200000)
    out = os.path.join(root, "out")
    os.makedirs(out)
    node.start()
    time.sleep(1)
    figures = {}
    try:
        log_before = log_size(node)
        idle = node.figures()  # what the node holds before any flood
        prober = Prober()
        status = StatusProber()
        memory = MemoryWatch(node)
        prober.start()
        status.start()
        memory.start()
        flood = Flood(names, seconds, scale)
        started = time.monotonic()
        flood.start()

        honest = {}

        def honest_job():
            honest["started"] = time.time()
            rc, text = drmaster(render_args("127.0.0.1", 2014, FRAME, scene, out,
                                            ["--wait", "0", "--end-after-dumps", "3"]), timeout=seconds + 300)
            honest["rc"], honest["text"], honest["ended"] = rc, text, time.monotonic()

        time.sleep(min(seconds / 3.0, 20))
        job = threading.Thread(target=honest_job, daemon=True)
        job.start()
        flood.wait(seconds - (time.monotonic() - started))
        sent = flood.stop()
        flood_end = time.monotonic()
        flood_seconds = flood_end - started
        job.join(120)
        log_after = log_size(node)
        prober.stop.set()
        prober.join(5)
        status.stop.set()
        status.join(5)
        memory.stop.set()
        memory.join(5)

        served = waited = None
        if "ended" in honest:
            # The job ends 3 dumps after it started; count from the end of the
            # flood to the moment its parameters were logged.
            stamps = [line for line in node.log_text().split("\n") if "Parameters received: 2014 %d" % FRAME in line]
            if stamps:
                stamp = time.mktime(time.strptime(stamps[0][:19], "%Y/%m/%d-%H:%M:%S"))
                served = stamp - (time.time() - (time.monotonic() - flood_end))
                # What the flood cost the honest master: at most this long
                # from its start to its job's first line (the log's stamps
                # are whole seconds, cut).
                waited = stamp + 1 - honest["started"]
        dumps = len(received_dumps(out, FRAME))

        # The close request, while the flood runs again.
        again = Flood(names, 20, scale)
        again.start()
        time.sleep(3)
        close_start = time.monotonic()
        node.proc.send_signal(signal.SIGTERM)
        try:
            node.proc.wait(30)
            close_s = time.monotonic() - close_start
        except Exception:
            close_s = None
        again.stop()

        growth = log_after - log_before
        figures = {
            "label": label,
            "flood_s": flood_seconds,
            "sent": sent + sum(v for v in flood.counts.values() if isinstance(v, int)),
            "peak_rss_kb": memory.peak_kb,
            "peak_file_kb": memory.file_at_peak_kb,
            "peak_anon_kb": memory.peak_anon_kb,
            "idle_rss_kb": idle["rss_kb"],
            "idle_anon_kb": idle["rss_anon_kb"],
            "pings": (prober.answered, prober.sent, prober.worst),
            "status": (status.answered, status.sent, status.worst, status.too_long),
            "honest_rc": honest.get("rc"),
            "dumps": dumps,
            "served_after_flood_s": served,
            "honest_waited_s": waited,
            "close_s": close_s,
            "log_growth": growth,
            "log_per_hour": growth * 3600.0 / max(flood_seconds, 1.0),
        }
        return figures, node
    finally:
        node.stop()


def judge(f, smoke=False):
    """The goals missed. A smoke run (CTest, on machines of any speed) checks
    only what does not depend on speed: the honest job whole, the close."""
    problems = []
    answered, sent, worst, too_long = f["status"]
    if too_long:
        problems.append("%d status answers longer than their request" % too_long)
    if smoke:
        if answered == 0:
            problems.append("no status answer")
        if f["honest_rc"] != 0 or f["dumps"] != 3:
            problems.append("honest job rc %s, %d dumps" % (f["honest_rc"], f["dumps"]))
        if f["close_s"] is None:
            problems.append("the node did not end on SIGTERM within 30 s")
        return problems
    if f["peak_rss_kb"] >= MEMORY_GOAL_KB:
        problems.append("memory %d kB" % f["peak_rss_kb"])
    answered, sent, worst = f["pings"]
    if sent == 0 or answered < PING_GOAL * sent:
        problems.append("pings %d/%d" % (answered, sent))
    if sent == 0 or answered < PING_GOAL * sent:
        problems.append("status answers %d/%d" % (answered, sent))
    if f["honest_rc"] != 0 or f["dumps"] != 3:
        problems.append("honest job rc %s, %d dumps" % (f["honest_rc"], f["dumps"]))
    if f["served_after_flood_s"] is None or f["served_after_flood_s"] > SERVED_GOAL_S:
        problems.append("honest master served %s s after the flood" % f["served_after_flood_s"])
    if f["close_s"] is None or f["close_s"] > CLOSE_GOAL_S:
        problems.append("close took %s s" % f["close_s"])
    if f["log_per_hour"] > LOG_GOAL_BYTES_PER_HOUR:
        problems.append("log %.1f MB/h" % (f["log_per_hour"] / 1e6))
    return problems


def describe(f):
    answered, sent, worst = f["pings"]
    served = f["served_after_flood_s"]
    status = "; status answers %d/%d, worst %.2f s" % f["status"][:3]
    return ("%s: %.0f s, %s sent; peak RSS %.1f MB (%.1f MB of it mapped files; idle before the flood %.1f MB), "
            "anonymous %.1f MB at most (idle %.1f MB); honest pings %d/%d (%.2f %%), worst %.2f s; honest job rc %s "
            "with %d/3 dumps, served %s after the flood ended and at most %s after it started; close during flood %.2f s; DrLog.txt +%d bytes "
            "(%.2f MB/h)" % (f["label"], f["flood_s"], "{:,}".format(f["sent"]), f["peak_rss_kb"] / 1024.0,
                             f["peak_file_kb"] / 1024.0, f["idle_rss_kb"] / 1024.0, f["peak_anon_kb"] / 1024.0,
                             f["idle_anon_kb"] / 1024.0, answered,
                             sent, 100.0 * answered / max(sent, 1), worst, f["honest_rc"], f["dumps"],
                             "n/a" if served is None else "%+.0f s" % served,
                             "n/a" if f["honest_waited_s"] is None else "%.1f s" % f["honest_waited_s"], f["close_s"] or -1, f["log_growth"],
                             f["log_per_hour"] / 1e6)) + status


FLOODS = ["wrong greetings", "garbage datagrams", "parameter strings", "slow-drip masters", "forged pings"]


def silent_name_server(address):
    """Swallows every datagram sent to address:53 until the process ends."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, 53))

    def run():
        while True:
            try:
                s.recv(4096)
            except OSError:
                return
    threading.Thread(target=run, daemon=True).start()
    return s


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60, help="length of each single flood")
    parser.add_argument("--combined-seconds", type=float, default=600, help="length of the combined flood")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every flood's size and rate")
    parser.add_argument("--silent-dns", help="address of the silent name server to run")
    parser.add_argument("--smoke", action="store_true",
                        help="judge only what does not depend on the machine's speed (for CTest)")
    parser.add_argument("floods", nargs="*", help="floods to run (default: each, then all at once)")
    args = parser.parse_args()
    wanted = args.floods or FLOODS + ["all at once"]
    keep = None
    if args.silent_dns:
        keep = silent_name_server(args.silent_dns)  # noqa: F841
    passed = failed = 0
    for name in wanted:
        names = FLOODS if name == "all at once" else [name]
        seconds = args.combined_seconds if name == "all at once" else args.seconds
        try:
            f, _ = run_flood(names, seconds, args.scale, name)
            problems = judge(f, args.smoke)
            print(("PASS " if not problems else "FAIL ") + describe(f) + ("" if not problems else
                                                                             " -- " + "; ".join(problems)),
                  flush=True)
            if problems:
                failed += 1
            else:
                passed += 1
        except (Failure, OSError) as e:
            failed += 1
            print("FAIL %s: %s" % (name, e), flush=True)
    if failed == 0:
        remove_tempdirs()
    print("flood: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
