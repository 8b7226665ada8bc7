#!/usr/bin/python3
"""Fault injection against the real node, end to end.

One node serves a series of faults (a master killed mid-scene and mid-dump,
a crashing and a hanging renderer, 1,000 wrongly greeting connections,
100,000 garbage datagrams, 10,000 junk datagrams a second beside honest
pings, an undeletable dump, a dump name that is not UTF-8, an unwritable
data directory, a dump frame cut with the master still connected, an
undeletable dump among stale ones, a renderer sending bytes after its
greeting, END split across segments, unsendable dumps among good ones);
after each, a whole job with drmaster and the stand-in must
succeed and every dump written while the master was connected must have
arrived byte for byte. Then the fixed ports are taken by other programs
before nodes start. Needs root (chattr), an X display, and the fixed ports
free. Prints one line per case and "N passed, N failed".

Then a node dies mid-job in each way (SIGKILL while its renderer loads or
while a helper of it is about to write a dump, SIGHUP, its X display gone)
and is restarted at once: the next job must get only its own dumps, and
nothing of the dead node's job may be left running.

Usage: reliability/faults.py [CASE...]   (default: every case)
       reliability/faults.py death   the node-death cases alone
       reliability/faults.py hung [LIMIT [CAP [WAY...]]]   renderers that hang, each on a
           fresh node with every renderer limit at LIMIT s (default 60; 0: none),
           and the time each takes the machine from the farm (at most CAP s)
"""

import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (remove_tempdirs, END_SIGNAL, FILE_DUMP_SIGNAL, MASTER_GREETING, MASTER_PORT, HOST_PORT, UDP_PORT,  # noqa: E402
                     NODE_GREETING, DumpWatcher, Failure, Node, RawMaster, bin_dir, check, check_received, digest,
                     drmaster, make_scene, received_dumps, render_args, sig, tempdir)

GOOD_STUB = "dumps = 3\ndump_interval_ms = 100\ndump_size = 64x32\nend_linger_ms = 100\n"
FRAME = 7


class Bench:
    """The one node that serves every fault case, with a good renderer for
    2014 and a renderer for 2015 whose behaviour each case sets."""

    def __init__(self):
        self.root = tempdir("varnix-faults-")
        self.node = Node(self.root)
        self.good = self.node.install_stub("good", GOOD_STUB)
        self.faulty = self.node.install_stub("faulty", GOOD_STUB)
        self.node.write_config("2014 %s\n2015 %s\n" % (self.good, self.faulty))
        self.scene = make_scene(os.path.join(self.root, "scene.max"), 300000)
        self.jobs = 0
        self.node.start()
        self.watcher = DumpWatcher(self.node.data, os.path.join(self.root, "written"))

    def out_dir(self, tag):
        d = os.path.join(self.root, "out", tag)
        os.makedirs(d, exist_ok=True)
        return d

    def ready_count(self):
        return self.node.count_log("Ready for new connection")

    def wait_job_end(self, before, timeout=60):
        """Waits until the accept loop has logged the end of one more job."""
        check(self.node.wait_log("Ready for new connection", before + 1, timeout),
              "the node did not finish the job within %d s" % timeout)

    def whole_job(self, tag):
        """A clean job that must succeed completely after any fault."""
        check(self.node.running(), "the node is not running any more")
        self.watcher.take()
        before = self.ready_count()
        out = self.out_dir("check-" + tag)
        rc, text = drmaster(render_args("127.0.0.1", 2014, FRAME, self.scene, out, ["--end-after-dumps", "3"]),
                            timeout=90)
        check(rc == 0, "%s: follow-up job failed, drmaster status %s:\n%s" % (tag, rc, text))
        self.wait_job_end(before)
        got = received_dumps(out, FRAME)
        self.watcher.take()
        check(len(got) == 3, "%s: follow-up job brought %d dumps, not 3" % (tag, len(got)))
        check_received(got, self.watcher, tag + " follow-up")
        check(not any(n.startswith("dump") for n in os.listdir(self.node.data)),
              "%s: dumps left in the data directory after the job" % tag)

    def close(self):
        status = self.node.stop()
        self.watcher.stop()
        return status


def wait_for(predicate, timeout, step=0.005):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


def start_drmaster(args):
    return subprocess.Popen([os.path.join(bin_dir(), "drmaster")] + args, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)


# ---------------------------------------------------------------- cases

def case_master_killed_mid_scene(b):
    # A real drmaster uploading a 1.5 GB scene (sparse, so cheap to read) is
    # killed once the node has part of it on disk.
    big = os.path.join(b.root, "big.max")
    with open(big, "wb") as f:
        f.truncate(1536 << 20)
    scene_path = os.path.join(b.node.data, "received_scene.max")
    if os.path.exists(scene_path):
        os.unlink(scene_path)
    before = b.ready_count()
    p = start_drmaster(render_args("127.0.0.1", 2014, FRAME, big, b.out_dir("killed-scene")))
    check(wait_for(lambda: os.path.exists(scene_path) and os.path.getsize(scene_path) > (4 << 20), 30),
          "the scene upload never started")
    p.kill()
    p.wait()
    size = os.path.getsize(scene_path)
    check(size < (1536 << 20), "the scene was complete before the master could be killed")
    b.wait_job_end(before)
    b.whole_job("master killed mid-scene")

    # The same with a raw master that resets the connection mid-scene.
    before = b.ready_count()
    m = RawMaster()
    check(m.read_exactly(4) == sig(NODE_GREETING), "no node greeting")
    m.send(sig(MASTER_GREETING) + b"2014 3\0" + struct.pack("<i", 50 << 20) + b"x" * (1 << 20))
    time.sleep(0.3)
    m.abort()
    b.wait_job_end(before)
    b.whole_job("raw master reset mid-scene")


def case_master_killed_mid_dump(b):
    # Dumps of about 50 MB, so that the master can be killed while one moves.
    b.node.set_behaviour("faulty", "dumps = 3\ndump_interval_ms = 100\ndump_size = 2048x2048\nend_wait_seconds = 30\n")
    b.watcher.take()
    before = b.ready_count()
    out = b.out_dir("killed-dump")
    p = start_drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out))
    check(wait_for(lambda: any(n.endswith(".part") for n in os.listdir(out)), 60, 0.002),
          "no dump transfer started")
    p.kill()
    p.wait()
    b.wait_job_end(before, timeout=90)
    check_received(received_dumps(out, FRAME), b.watcher, "master killed mid-dump")
    check("Sending file to remote side failed" in b.node.log_text() or
          "File dump signal write failed" in b.node.log_text(), "the cut dump was not logged")
    b.whole_job("master killed mid-dump")

    # A raw master that takes the signal, the size and half a dump, then resets.
    b.node.set_behaviour("faulty", "dumps = 2\ndump_interval_ms = 100\ndump_size = 1024x1024\nend_wait_seconds = 30\n")
    before = b.ready_count()
    m = RawMaster()
    check(m.read_exactly(4) == sig(NODE_GREETING), "no node greeting")
    small = open(b.scene, "rb").read()
    m.send(sig(MASTER_GREETING) + b"2015 3\0" + struct.pack("<i", len(small)) + small)
    m.sock.settimeout(60)
    check(m.read_exactly(4) == sig(FILE_DUMP_SIGNAL), "no file-dump signal")
    size = struct.unpack("<i", m.read_exactly(4))[0]
    check(size > 1000, "dump size %d" % size)
    m.read_exactly(size // 2)
    m.abort()
    b.wait_job_end(before, timeout=90)
    b.whole_job("raw master reset mid-dump")


def case_renderer_crashes(b):
    b.node.set_behaviour("faulty", "dumps = 3\ndump_interval_ms = 100\ndump_size = 64x32\ncrash_after_dumps = 1\n")
    b.watcher.take()
    before = b.ready_count()
    out = b.out_dir("crash")
    rc, text = drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out, ["--end-after-seconds", "20"]), 90)
    check(rc == 0, "drmaster status %s after the renderer crashed:\n%s" % (rc, text))
    b.wait_job_end(before)
    got = received_dumps(out, FRAME)
    check(len(got) == 1, "%d dumps arrived from a renderer that crashed after its first" % len(got))
    check_received(got, b.watcher, "renderer crash")
    check("crash" in b.node.stub_record("faulty"), "the stand-in did not crash")
    b.whole_job("renderer crashed mid-render")


def case_renderer_hangs_until_end(b):
    b.node.set_behaviour("faulty", "dumps = 2\ndump_interval_ms = 100\ndump_size = 64x32\nhang_until_end = yes\n")
    b.watcher.take()
    before = b.ready_count()
    out = b.out_dir("hang")
    start = time.monotonic()
    rc, text = drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out, ["--end-after-seconds", "4"]), 90)
    check(rc == 0, "drmaster status %s with a renderer that waits for END:\n%s" % (rc, text))
    check(time.monotonic() - start >= 4, "the job ended before END was sent")
    b.wait_job_end(before)
    got = received_dumps(out, FRAME)
    check(len(got) == 2, "%d dumps, not 2" % len(got))
    check_received(got, b.watcher, "renderer hanging until END")
    check("end_received" in b.node.stub_record("faulty"), "END did not reach the renderer")
    b.whole_job("renderer hanging until END")


def case_wrong_greetings(b):
    # A connection its peer closed before the node took it from the listen
    # queue is logged as a peer that gave up; past the burst both kinds are
    # counted in one line.
    def bogus():
        return (b.node.count_log("Got bogus master connection") +
                b.node.count_log("A connection closed before the node could greet it"))

    before_bogus = bogus()
    rng = random.Random(1)
    kinds = [
        lambda: b"\x00\x01\x02\x03",
        lambda: b"GET / HTTP/1.0\r\n\r\n",
        lambda: sig(NODE_GREETING),
        lambda: sig(MASTER_GREETING)[:3],  # three bytes, then the close
        lambda: b"",  # connects and closes at once
        lambda: bytes(rng.getrandbits(8) for _ in range(rng.randint(4, 200))),
    ]
    start = time.monotonic()
    for i in range(1000):
        m = RawMaster()
        data = kinds[i % len(kinds)]()
        if data:
            m.send(data)
        if i % 2:
            m.abort()
        elif len(data) < 4:
            m.close()  # gone before a whole greeting: the node must not wait for more
        else:
            check(m.closed_by_node(15), "connection %d was not closed by the node" % i)
            m.close()
    elapsed = time.monotonic() - start
    deadline = time.monotonic() + 60
    while bogus() < before_bogus + 1000 and time.monotonic() < deadline:
        time.sleep(0.05)
    check(bogus() >= before_bogus + 1000, "only %d of 1000 bogus connections logged" % (bogus() - before_bogus))
    print("    1000 wrong greetings in %.1f s" % elapsed)
    b.whole_job("1000 wrong greetings")


def case_garbage_datagrams(b):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rng = random.Random(2)
    payloads = [bytes(rng.getrandbits(8) for _ in range(n)) for n in (0, 1, 3, 4, 5, 8, 64, 512, 1400)]
    payloads += [sig(MASTER_GREETING)[:3], sig(MASTER_GREETING) + b"\0", sig(NODE_GREETING), sig(END_SIGNAL)]
    start = time.monotonic()
    for i in range(100000):
        try:
            s.sendto(payloads[i % len(payloads)], ("127.0.0.1", UDP_PORT))
        except OSError:
            pass
    elapsed = time.monotonic() - start
    s.close()
    print("    100000 garbage datagrams in %.1f s" % elapsed)
    time.sleep(1)
    rc, text = drmaster(["discover", "--numeric", "--wait", "2", "127.0.0.1"], 30)
    check(rc == 0 and "127.0.0.1" in text, "discovery after the garbage failed (%s):\n%s" % (rc, text))
    b.whole_job("100000 garbage datagrams")


def case_steady_noise(b, rate=10000, seconds=10.0, pings_per_second=10):
    """Junk datagrams at a steady rate, and meanwhile honest pings, each from
    a socket of its own so that its replies can be told apart: the share of
    pings answered must be at least 99 %."""
    addr = ("127.0.0.1", UDP_PORT)
    rng = random.Random(3)
    payloads = [bytes(rng.getrandbits(8) for _ in range(n)) for n in (0, 1, 3, 4, 5, 8, 64, 512)]
    payloads += [sig(MASTER_GREETING)[:3], sig(NODE_GREETING), sig(END_SIGNAL)]
    junk = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    pingers = []
    sent = 0
    start = time.monotonic()
    next_ping = start
    try:
        while True:
            now = time.monotonic()
            elapsed = now - start
            if elapsed >= seconds:
                break
            while sent < int(elapsed * rate):
                try:
                    junk.sendto(payloads[sent % len(payloads)], addr)
                except OSError:
                    pass
                sent += 1
            if now >= next_ping:
                p = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                p.bind(("127.0.0.1", 0))
                p.setblocking(False)
                p.sendto(sig(MASTER_GREETING), addr)
                pingers.append(p)
                next_ping += 1.0 / pings_per_second
            time.sleep(0.0005)
        elapsed = time.monotonic() - start
        time.sleep(2)  # the last pings' replies
        answered = 0
        for p in pingers:
            try:
                answered += p.recv(64) == sig(NODE_GREETING)
            except BlockingIOError:
                pass
    finally:
        junk.close()
        for p in pingers:
            p.close()
    share = 100.0 * answered / len(pingers)
    print("    %d junk datagrams in %.1f s (%.0f/s): %d of %d pings answered (%.1f %%)"
          % (sent, elapsed, sent / elapsed, answered, len(pingers), share))
    check(share >= 99.0, "only %.1f %% of the pings answered under %d junk datagrams/s" % (share, rate))
    b.whole_job("%d junk datagrams/s" % rate)


def case_undecodable_dump_name(b):
    """A dump whose name is not UTF-8 (a renderer in a Latin-1 locale) waits
    in the data directory before a job: the purge removes it once, and the
    node neither spins on it nor floods its log."""
    odd = os.path.join(os.fsencode(b.node.data), b"dump\xff.exr")
    with open(odd, "wb") as f:
        f.write(b"v/1\x01" + b"latin-1" * 100)
    removed_before = b.node.count_log("Removed file: ")
    log_before = len(b.node.log_text())
    b.whole_job("undecodable dump name")
    check(not os.path.exists(odd), "the dump with the undecodable name is still there")
    odd_lines = [l for l in b.node.log_lines() if l.startswith("Removed file: ") and l.endswith("dump?.exr")]
    check(len(odd_lines) == 1, "%d \"Removed file\" lines for the undecodable name, not 1" % len(odd_lines))
    removed = b.node.count_log("Removed file: ") - removed_before
    grown = len(b.node.log_text()) - log_before
    print("    purged once; %d \"Removed file\" lines and %d bytes of log for the whole job" % (removed, grown))
    check(removed <= 10 and grown < 20000, "the log grew by %d lines, %d bytes" % (removed, grown))


def chattr(flag, *paths):
    subprocess.run(["chattr", flag] + list(paths), check=True)


def case_undeletable_dump(b):
    # A dump the node cannot delete (immutable), present before and during a
    # job: the job's own dumps must still all arrive.
    stuck = os.path.join(b.node.data, "dump0000stuck.exr")
    with open(stuck, "wb") as f:
        f.write(b"v/1\x01" + b"stuck" * 100)
    chattr("+i", stuck)
    try:
        b.node.set_behaviour("faulty", GOOD_STUB)
        b.watcher.take()
        before = b.ready_count()
        out = b.out_dir("undeletable")
        # The purge before the renderer starts gives the stuck file 10 s.
        rc, text = drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out,
                                        ["--end-after-dumps", "3", "--end-after-seconds", "60"]), 180)
        check(rc == 0, "drmaster status %s with an undeletable dump:\n%s" % (rc, text))
        b.wait_job_end(before, timeout=120)
        check(b.node.count_log("Could not delete file") >= 1, "the undeletable dump was not logged")
        stuck_bytes = open(stuck, "rb").read()
        got = [p for p in received_dumps(out, FRAME) if open(p, "rb").read() != stuck_bytes]
        check(len(got) == 3, "%d of the renderer's 3 dumps arrived beside an undeletable one" % len(got))
        check_received(got, b.watcher, "undeletable dump")
    finally:
        chattr("-i", stuck)
        os.unlink(stuck)
    b.whole_job("undeletable dump")


def case_unwritable_data_directory(b):
    data = b.node.data
    scene_path = os.path.join(data, "received_scene.max")
    # 1: no new file can be made in the data directory (the renderer cannot
    # write its dumps).
    b.node.set_behaviour("faulty", GOOD_STUB)
    chattr("+i", data)
    try:
        before = b.ready_count()
        out = b.out_dir("unwritable")
        rc, text = drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out, ["--end-after-seconds", "5"]), 90)
        # The renderer cannot write a dump there: no image (11), or a cut transfer (8).
        check(rc in (8, 11), "drmaster status %s with an unwritable data directory:\n%s" % (rc, text))
        b.wait_job_end(before)
        # 2: not even the scene can be written.
        open(scene_path, "ab").close()
        chattr("+i", scene_path)
        before = b.ready_count()
        rc, text = drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out, ["--end-after-seconds", "5"]), 90)
        check(rc is not None, "drmaster hung with an unwritable scene file:\n" + text)
        b.wait_job_end(before)
    finally:
        subprocess.run(["chattr", "-i", data, scene_path])
    check(b.node.running(), "the node ended")
    b.whole_job("unwritable data directory")


def raw_job(b, version, frame=3):
    """A raw master that has greeted, sent its job and the scene."""
    m = RawMaster()
    check(m.read_exactly(4) == sig(NODE_GREETING), "no node greeting")
    small = open(b.scene, "rb").read()
    m.send(sig(MASTER_GREETING) + b"%d %d\0" % (version, frame) + struct.pack("<i", len(small)) + small)
    return m


def read_to_end(m, timeout):
    """Reads until the node closes; the byte count, or None on a time-out."""
    m.sock.settimeout(timeout)
    total = 0
    try:
        while True:
            chunk = m.sock.recv(1 << 20)
            if not chunk:
                return total
            total += len(chunk)
    except ConnectionResetError:
        return total
    except socket.timeout:
        return None


def case_cut_mid_frame(b):
    # A raw master takes a few MB of a 50 MB dump and then reads nothing for
    # 75 s while its connection stays up. The node must close the connection
    # when its 60 s write deadline runs out (the stream cannot be put back in
    # step), never send another frame into it, and end the job.
    b.node.set_behaviour("faulty", "dumps = 2\ndump_interval_ms = 100\ndump_size = 2048x2048\nend_wait_seconds = 30\n")
    before = b.ready_count()
    m = raw_job(b, 2015)
    m.sock.settimeout(60)
    check(m.read_exactly(4) == sig(FILE_DUMP_SIGNAL), "no file-dump signal")
    size = struct.unpack("<i", m.read_exactly(4))[0]
    taken = len(m.read_exactly(4 << 20))
    stalled = time.monotonic()
    check(b.node.wait_log("Closing master connection: a dump was cut short (the master took nothing for 60 s)",
                          timeout=120), "the node did not close the master connection after its write deadline")
    closed_after = time.monotonic() - stalled
    time.sleep(max(0.0, 75 - closed_after))
    rest = read_to_end(m, 30)
    check(rest is not None, "the node kept the connection open")
    check(taken + rest < size, "the master received %d bytes after a dump of %d was cut" % (taken + rest, size))
    m.close()
    b.wait_job_end(before, timeout=90)
    print("    write deadline ran out after %.1f s without a byte taken; %s of %s bytes arrived, then the close"
          % (closed_after, f"{taken + rest:,}", f"{size:,}"))
    b.whole_job("cut mid-frame, master still connected")

    # The renderer cuts a dump down while the node sends it.
    before = b.ready_count()
    m = raw_job(b, 2015)
    m.sock.settimeout(60)
    check(m.read_exactly(4) == sig(FILE_DUMP_SIGNAL), "no file-dump signal")
    size = struct.unpack("<i", m.read_exactly(4))[0]
    taken = len(m.read_exactly(1 << 20))
    dumps = [n for n in os.listdir(b.node.data) if n.startswith("dump") and n.endswith(".exr")]
    check(dumps, "the dump being sent is not in the data directory")
    for name in dumps:
        os.truncate(os.path.join(b.node.data, name), 1000)
    rest = read_to_end(m, 30)
    check(rest is not None, "the node kept the connection open after the dump shrank")
    check(taken + rest < size, "the master received a whole frame from a dump that shrank")
    check(b.node.wait_log("a dump was cut short (the file shrank while it was read)", timeout=10),
          "the shrunk dump was not logged")
    m.close()
    b.wait_job_end(before, timeout=90)
    b.whole_job("dump shrinking while sent")


def case_undeletable_among_stale(b):
    # 30 stale dumps and one immutable one before a job: the purge must
    # delete every stale dump it can, and none may reach the new master.
    stale = []
    for i in range(30):
        path = os.path.join(b.node.data, "dump%02dstale.exr" % i)
        with open(path, "wb") as f:
            f.write(b"stale dump %d " % i * 50)
        stale.append(path)
    stuck = os.path.join(b.node.data, "dump15stuck.exr")
    with open(stuck, "wb") as f:
        f.write(b"stuck" * 100)
    chattr("+i", stuck)
    try:
        b.node.set_behaviour("faulty", GOOD_STUB)
        b.watcher.take()
        before = b.ready_count()
        out = b.out_dir("stale")
        rc, text = drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out,
                                        ["--end-after-dumps", "3", "--end-after-seconds", "60"]), 180)
        check(rc == 0, "drmaster status %s with stale dumps:\n%s" % (rc, text))
        b.wait_job_end(before, timeout=120)
        got = received_dumps(out, FRAME)
        for p in got:
            content = open(p, "rb").read()
            check(not content.startswith(b"stale dump") and not content.startswith(b"stuck"),
                  "a dump from before the job reached its master: %s" % os.path.basename(p))
        check(len(got) == 3, "%d dumps arrived, not the job's 3" % len(got))
        check_received(got, b.watcher, "stale dumps")
        left = [p for p in stale if os.path.exists(p)]
        check(not left, "%d stale dumps survived the purge" % len(left))
        print("    30 stale dumps purged, the undeletable one given up; the master got only its own 3")
    finally:
        chattr("-i", stuck)
        os.unlink(stuck)
    b.whole_job("undeletable dump among stale ones")


def case_stray_bytes_from_renderer(b):
    # The renderer sends 100,000 bytes after its greeting and later closes
    # without an END: the job must end on that close alone.
    b.node.set_behaviour("faulty", "dumps = 2\ndump_interval_ms = 100\ndump_size = 64x32\n"
                                   "bytes_after_greeting = 100000\nend_wait_seconds = 0\n")
    b.watcher.take()
    before = b.ready_count()
    out = b.out_dir("stray")
    start = time.monotonic()
    rc, text = drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out), 90)
    took = time.monotonic() - start
    check(rc == 0, "drmaster status %s with a chattering renderer:\n%s" % (rc, text))
    b.wait_job_end(before)
    got = received_dumps(out, FRAME)
    check(len(got) == 2, "%d dumps, not 2" % len(got))
    check_received(got, b.watcher, "stray bytes")
    check("bytes_sent_after_greeting: 100000" in b.node.stub_record("faulty"), "the stand-in sent no stray bytes")
    print("    job ended on the renderer's close after %.1f s (no END sent)" % took)
    b.whole_job("stray bytes from the renderer")


def case_split_end(b):
    # END cut into two or three TCP segments, up to a second apart, in 10 jobs.
    b.node.set_behaviour("faulty", "dumps = 1\ndump_interval_ms = 100\ndump_size = 64x32\nhang_until_end = yes\n")
    rng = random.Random(3)
    end = sig(END_SIGNAL)
    for job in range(10):
        before = b.ready_count()
        ends_before = b.node.count_log("Got END signal from remote side")
        m = raw_job(b, 2015)
        m.sock.settimeout(60)
        check(m.read_exactly(4) == sig(FILE_DUMP_SIGNAL), "job %d: no dump" % job)
        m.read_exactly(struct.unpack("<i", m.read_exactly(4))[0])
        cuts = sorted(rng.sample([1, 2, 3], rng.choice([1, 2])))
        pieces = [end[i:j] for i, j in zip([0] + cuts, cuts + [4])]
        for piece in pieces:
            m.send(piece)
            time.sleep(rng.uniform(0.05, 1.0))
        check(m.closed_by_node(30), "job %d: END in %d pieces did not end the job" % (job, len(pieces)))
        m.close()
        b.wait_job_end(before)
        check(b.node.count_log("Got END signal from remote side") == ends_before + 1,
              "job %d: END was not forwarded exactly once" % job)
    print("    10 of 10 split ENDs forwarded")
    b.whole_job("split END")


def case_unsendable_among_good(b):
    # While the renderer writes 5 dumps, a FIFO, a dangling link and a file
    # one byte over 2 GiB (sparse) named like dumps appear: each is given up with a log
    # line, and every good dump still arrives.
    b.node.set_behaviour("faulty", "dumps = 5\ndump_interval_ms = 400\ndump_size = 64x32\n")
    b.watcher.take()
    before = b.ready_count()
    given_up = b.node.count_log("Could not send file, leaving it in place: ")
    out = b.out_dir("unsendable")
    online = b.node.count_log("3dsmax is online")
    p = start_drmaster(render_args("127.0.0.1", 2015, FRAME, b.scene, out, ["--end-after-dumps", "5"]))
    check(b.node.wait_log("3dsmax is online", online + 1, 60), "the renderer never came")
    data = b.node.data
    os.mkfifo(os.path.join(data, "dump0fifo.exr"))
    os.symlink(os.path.join(b.root, "nowhere.exr"), os.path.join(data, "dump0link.exr"))
    # Made elsewhere and linked in, so that the dump watcher does not spend
    # seconds reading it while the good dumps come and go.
    huge = os.path.join(b.root, "huge.exr")
    with open(huge, "wb") as f:
        f.truncate((2 << 30) + 1)
    os.link(huge, os.path.join(data, "dump0huge.exr"))
    os.unlink(huge)
    try:
        rc = p.wait(90)
    except subprocess.TimeoutExpired:
        p.kill()
        rc = None
    text = p.stdout.read().decode(errors="replace")
    check(rc == 0, "drmaster status %s with unsendable dumps:\n%s" % (rc, text))
    b.wait_job_end(before)
    got = received_dumps(out, FRAME)
    check(len(got) == 5, "%d of 5 good dumps arrived beside unsendable ones" % len(got))
    check_received(got, b.watcher, "unsendable dumps")
    check(b.node.count_log("Could not send file, leaving it in place: ") == given_up + 3,
          "not every unsendable dump was given up with a log line")
    left = [n for n in os.listdir(data) if n.startswith("dump")]
    check(not left, "left in the data directory after the job: %s" % left)
    print("    FIFO, dangling link and 2 GiB + 1 byte file given up; 5 of 5 good dumps arrived")
    b.whole_job("unsendable dumps among good ones")


# Renderers that hang the ways a real one does, each on a fresh node whose
# registry sets every renderer limit to LIMIT seconds (0: none, the node's
# default). Figure: the time the machine is lost to the farm, from the hung
# job's start until the node is ready for the next master (at most CAP s; a
# run still hung then is reported as not back). Then: no process of the
# renderer's tree left, and a whole job works.
# (name, behaviour, drmaster options of the hung job)
HANG_WAYS = [
    ("never connects", "connect = no\ndumps = 100000\ndump_interval_ms = 1000\n", []),
    ("silent after connecting", "hang = silent\n", ["--end-after-seconds", "10"]),
    ("ignores END", "hang = ignore_end\ndumps = 2\ndump_interval_ms = 100\n", ["--end-after-dumps", "2"]),
    ("closes the link, never exits", "hang = close_link\ndumps = 2\ndump_interval_ms = 100\n", []),
    ("leaves a helper writing a dump 5 s later", GOOD_STUB + "late_dump_ms = 5000\n", ["--end-after-dumps", "3"]),
    ("stuck with no CPU", "hang = stuck\ndumps = 2\ndump_interval_ms = 100\n", []),
    ("memory grows until stopped", "hang = grow_memory\ndumps = 2\ndump_interval_ms = 100\n", []),
]
# With limits set, the idle limit is half the time limits (an admin sets it
# shorter than the longest render) and the memory limit this many MB.
HUNG_MEMORY_MB = 512


def tree_processes(install):
    """Processes whose command line names the stand-in installed in `install`."""
    count = 0
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if install.encode() in f.read():
                    count += 1
        except OSError:
            pass
    return count


def case_hung(name, behaviour, extra, limit, cap):
    root = tempdir("varnix-hung-")
    node = Node(root)
    hung = node.install_stub("hung", behaviour)
    good = node.install_stub("good", GOOD_STUB)
    node.write_config("2015 %s\n2014 %s\n" % (hung, good))
    if limit:
        node.write_registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n" + "".join(
            '"%s"=dword:%08x\n' % (value, limit) for value in
            ("rendererConnectSeconds", "rendererExitSeconds", "renderSeconds")) +
            '"rendererIdleSeconds"=dword:%08x\n"rendererMemoryMB"=dword:%08x\n' % (max(1, limit // 2), HUNG_MEMORY_MB))
    node.start()
    try:
        scene = make_scene(os.path.join(root, "scene.max"), 300000)
        out = os.path.join(root, "out-hung")
        os.makedirs(out)
        start = time.monotonic()
        master = start_drmaster(render_args("127.0.0.1", 2015, FRAME, scene, out, extra))
        back = node.wait_log("Ready for new connection", 1, cap)
        lost = time.monotonic() - start
        why = [line for line in node.log_lines() if line.startswith(("Time limit reached", "Renderer stuck",
                                                                     "Memory limit reached"))]
        print("    %s: machine lost for %s (limits %s)%s" % (
            name, "%.0f s" % lost if back else "more than %d s (not back)" % cap,
            "%d s, idle %d s, memory %d MB" % (limit, max(1, limit // 2), HUNG_MEMORY_MB) if limit else "none",
            ": " + why[0] if why else ""), flush=True)
        master.kill()
        master.wait()
        check(back, "not back within %d s" % cap)
        # At once: a helper's late dump would land during this job.
        watcher = DumpWatcher(node.data, os.path.join(root, "written"))
        watcher.take()
        good_out = os.path.join(root, "out-good")
        os.makedirs(good_out)
        rc, text = drmaster(render_args("127.0.0.1", 2014, FRAME, scene, good_out, ["--end-after-dumps", "3"]), 90)
        check(rc == 0, "the next job failed, drmaster status %s:\n%s" % (rc, text))
        got = received_dumps(good_out, FRAME)
        watcher.take()
        check(len(got) == 3, "the next job brought %d dumps, not 3" % len(got))
        check_received(got, watcher, name + ", next job")
        watcher.stop()
        check(tree_processes(root + "/max/hung") == 0, "%d processes of the hung renderer's tree left"
              % tree_processes(root + "/max/hung"))
    finally:
        node.stop()


FAULT_CASES = [
    ("master killed mid-scene", case_master_killed_mid_scene),
    ("master killed mid-dump", case_master_killed_mid_dump),
    ("renderer crashes mid-render", case_renderer_crashes),
    ("renderer runs until END", case_renderer_hangs_until_end),
    ("1000 wrong greetings", case_wrong_greetings),
    ("100000 garbage datagrams", case_garbage_datagrams),
    ("10000 junk datagrams/s", case_steady_noise),
    ("undeletable dump", case_undeletable_dump),
    ("undecodable dump name", case_undecodable_dump_name),
    ("unwritable data directory", case_unwritable_data_directory),
    ("cut mid-frame, master still connected", case_cut_mid_frame),
    ("undeletable dump among 30 stale ones", case_undeletable_among_stale),
    ("stray bytes from the renderer", case_stray_bytes_from_renderer),
    ("split END", case_split_end),
    ("unsendable dumps among good ones", case_unsendable_among_good),
]


# ---------------------------------------------------------------- ports taken

def find_windows(pid, name):
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid), "--name", name],
                       capture_output=True, text=True)
    return r.stdout.split()


def dismiss_box(node, text_hint, timeout=20):
    """Presses Return on the node's message box ("Message" is the standard
    caption); false when none showed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ids = find_windows(node.pid(), "^Message$")
        if ids:
            subprocess.run(["xdotool", "windowactivate", "--sync", ids[0]], capture_output=True)
            subprocess.run(["xdotool", "key", "--clearmodifiers", "Return"], capture_output=True)
            return True
        time.sleep(0.1)
    return False


def port_node(tag):
    root = tempdir("varnix-ports-")
    node = Node(root)
    good = node.install_stub("good", GOOD_STUB)
    node.write_config("2014 %s\n" % good)
    return node


def port_job(node, tag):
    scene = make_scene(os.path.join(node.root, "scene.max"), 100000)
    out = os.path.join(node.root, "out")
    os.makedirs(out, exist_ok=True)
    watcher = DumpWatcher(node.data, os.path.join(node.root, "written"))
    try:
        rc, text = drmaster(render_args("127.0.0.1", 2014, FRAME, scene, out, ["--end-after-dumps", "3"]), 90)
        check(rc == 0, "%s: job failed (%s):\n%s" % (tag, rc, text))
        time.sleep(0.5)
        got = received_dumps(out, FRAME)
        check(len(got) == 3, "%s: %d dumps" % (tag, len(got)))
        check_received(got, watcher, tag)
    finally:
        watcher.stop()


def case_master_port_taken():
    squatter = socket.socket()
    squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    squatter.bind(("0.0.0.0", MASTER_PORT))
    squatter.listen()
    node = port_node("master port")
    try:
        node.start(wait=False)
        check(dismiss_box(node, "remote connection"), "no message box for the taken master port")
        check(node.wait_log("DR server started", timeout=20), "node did not go on after the message box")
        rc, text = drmaster(["discover", "--numeric", "--wait", "2", "127.0.0.1"], 30)
        check(rc == 0, "no discovery reply with the master port taken:\n" + text)
        check(node.running(), "the node ended")
        check(node.stop() == 0, "the node did not end cleanly")
    finally:
        squatter.close()
        node.stop()
    node.start()
    try:
        port_job(node, "master port freed, node restarted")
    finally:
        node.stop()


def case_host_port_taken():
    squatter = socket.socket()
    squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    squatter.bind(("127.0.0.1", HOST_PORT))
    squatter.listen(50)
    node = port_node("host port")
    try:
        node.start(wait=False)
        check(dismiss_box(node, "loopback"), "no message box for the taken loopback port")
        check(node.wait_log("DR server started", timeout=20), "node did not go on after the message box")
        # The renderer reaches the squatter, gets no greeting and gives up;
        # the job must end and the node go on.
        scene = make_scene(os.path.join(node.root, "scene.max"), 1000)
        out = os.path.join(node.root, "out-taken")
        os.makedirs(out)
        rc, text = drmaster(render_args("127.0.0.1", 2014, FRAME, scene, out, ["--end-after-seconds", "60"]), 120)
        check(rc is not None, "the job hung with the loopback port taken:\n" + text)
        check(rc == 11, "drmaster status %s for a job whose renderer never reached the node (not 11, no image):\n%s"
              % (rc, text))
        check(node.wait_log("Ready for new connection", timeout=60), "the job did not end")
        check(node.running(), "the node ended")
        check(node.stop() == 0, "the node did not end cleanly")
    finally:
        squatter.close()
        node.stop()
    node.start()
    try:
        port_job(node, "loopback port freed, node restarted")
    finally:
        node.stop()


def case_discovery_port_taken():
    squatter = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    squatter.bind(("0.0.0.0", UDP_PORT))
    node = port_node("discovery port")
    try:
        node.start()
        check(node.wait_log("Cannot bind to discovery port (UDP 19666)", timeout=10), "the taken UDP port was not logged")
        port_job(node, "discovery port taken")
        check(node.stop() == 0, "the node did not end cleanly")
    finally:
        squatter.close()
        node.stop()


PORT_CASES = [
    ("port 19668 taken", case_master_port_taken),
    ("port 19667 taken", case_host_port_taken),
    ("port 19666 taken", case_discovery_port_taken),
]


# ---------------------------------------------------------------- node death

# The next job's renderer loads for 3 s, as 3ds Max does: a leftover that is
# still running connects before it.
NEXT_STUB = "connect_delay_ms = 3000\ndumps = 3\ndump_interval_ms = 700\ndump_size = 64x32\n"
DEATH_FRAME = 9
DEATH_WAYS = [
    # name, the dying job's renderer, the log line after which the node dies,
    # how, and how the restart names the folder (same, slash, link; the last
    # two start both runs as --no-window DIR)
    ("SIGKILL while the renderer loads", "connect_delay_ms = 3000\n", "Running command:", "kill"),
    ("SIGKILL, restarted as DIR/", "connect_delay_ms = 3000\n", "Running command:", "kill", "slash"),
    ("SIGKILL, restarted through a symbolic link", "connect_delay_ms = 3000\n", "Running command:", "kill", "link"),
    # Without its mark: found by its output file in the folder, else refused
    # by the host listener.
    ("SIGKILL, a loading renderer without its mark", "connect_delay_ms = 3000\nclear_environment = yes\n",
     "Running command:", "kill", "unmarked"),
    ("SIGKILL, a helper without its mark about to write a dump",
     "dumps = 1\ndump_interval_ms = 100\nend_wait_seconds = 5\nlate_dump_ms = 3000\nclear_environment = yes\n",
     "Finished EXR dump after ", "kill"),
    ("SIGKILL with a helper about to write a dump",
     "dumps = 1\ndump_interval_ms = 100\nend_wait_seconds = 5\nlate_dump_ms = 3000\n", "Finished EXR dump after ",
     "kill"),
    ("SIGHUP while rendering", "dumps = 3\ndump_interval_ms = 700\n", "Finished EXR dump after ", "hup"),
    ("X display lost while rendering", "dumps = 1000\ndump_interval_ms = 500\nhang = ignore_end\n",
     "Finished EXR dump after ", "display"),
]


def private_display():
    """An X server of its own (Xvfb, display number chosen by it), to be
    taken away from a node; returns (process, display)."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "800x600x24"],
                            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    check(number, "Xvfb did not start")
    return xvfb, ":" + number


def case_node_death(name, behaviour, after, how, restart="same"):
    root = tempdir("varnix-death-")
    node = Node(root)
    dying = node.install_stub("dying", behaviour)
    nxt = node.install_stub("next", NEXT_STUB)
    node.write_config("2015 %s\n2014 %s\n" % (dying, nxt))
    scene = make_scene(os.path.join(root, "scene.max"), 100000)
    xvfb, display = private_display() if how == "display" else (None, None)
    old_group = None
    folder_args = lambda spelled: ["--no-window", spelled] if restart in ("slash", "link") else []
    link = os.path.join(root, "link")
    os.symlink(node.work, link)
    try:
        node.start(display=display, args=folder_args(node.work))
        out = os.path.join(root, "out-dying")
        os.makedirs(out)
        master = start_drmaster(render_args("127.0.0.1", 2015, DEATH_FRAME, scene, out, ["--end-after-dumps", "3"]))
        check(node.wait_log(after, 1, 60), "the job did not get to " + after)
        start = time.monotonic()
        if how == "kill":
            node.proc.kill()
        elif how == "hup":
            node.proc.send_signal(signal.SIGHUP)
        else:
            xvfb.kill()
        try:
            status = node.proc.wait(120)
        except subprocess.TimeoutExpired:
            status = None
        gone = time.monotonic() - start
        master.kill()
        master.wait()
        last = (node.log_lines() or [""])[-1].rstrip("\n")
        time.sleep(1)
        left = tree_processes(dying)
        # Restarted at once in the same folder; the old node's process group
        # is not touched, so whatever it left runs on unless the node ends it.
        old_group = node.proc.pid
        node.proc = None
        node.start(args=folder_args(link if restart == "link" else node.work + "/"))
        starting = time.monotonic()
        ended_lines = [l for l in node.log_lines() if l.startswith("Ended ") and "left running by an earlier run" in l]
        ended = int(ended_lines[-1].split()[1]) if ended_lines else 0
        left_after_start = tree_processes(dying)
        next_out = os.path.join(root, "out-next")
        os.makedirs(next_out)
        rc, text = drmaster(render_args("127.0.0.1", 2014, FRAME, scene, next_out, ["--end-after-dumps", "3"]), 90)
        served = time.monotonic() - starting
        got = received_dumps(next_out, FRAME)
        written = os.path.join(root, "written")
        own = {digest(os.path.join(written, n)) for n in os.listdir(written) if "-frame%d-" % FRAME in n}
        foreign = sum(1 for path in got if digest(path) not in own)
        print("    %s: node gone after %.1f s (status %s, \"DR server stopped\" last: %s); %d of the dying job's "
              "processes left; the restarted node ended %d (%d left); next job done %.1f s after the restart: "
              "drmaster %s, %d dumps, %d of them an earlier job's"
              % (name, gone, status, "yes" if last == "DR server stopped" else "no", left, ended, left_after_start,
                 served, rc, len(got), foreign), flush=True)
        check(status is not None, "the node did not end")
        if how != "kill":
            # Without its display the toolkit ends the process with status 1.
            check(status == (1 if how == "display" else 0) and last == "DR server stopped",
                  "the node did not stop cleanly")
        # One without its mark is ended for its output file in the folder
        # (MaxLog.txt), or else refused by the host listener.
        check(left_after_start == 0 or
              (restart == "unmarked" and node.count_log("WARNING: Got bogus loopback connection") > 0),
              "%d processes of the dying job left after the restart" % left_after_start)
        check(rc == 0 and len(got) == 3 and foreign == 0, "the next job did not get exactly its own 3 dumps:\n" + text)
        check(node.stop() == 0, "the restarted node did not end cleanly")
    finally:
        node.stop()
        if old_group is not None:
            try:
                os.killpg(old_group, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if xvfb is not None:
            xvfb.kill()
            xvfb.wait()


def case_two_folders_named_dot():
    """Two nodes in different folders, both started as --no-window . (the
    second cannot bind the ports and ends): the first's job runs on."""
    root = tempdir("varnix-dots-")
    first, second = Node(os.path.join(root, "a")), Node(os.path.join(root, "b"))
    max_dir = first.install_stub("max", NEXT_STUB)
    first.write_config("2014 %s\n" % max_dir)
    second.write_config("2014 %s\n" % max_dir)
    scene = make_scene(os.path.join(root, "scene.max"), 100000)
    try:
        first.start(args=["--no-window", "."])
        out = os.path.join(root, "out")
        os.makedirs(out)
        master = start_drmaster(render_args("127.0.0.1", 2014, FRAME, scene, out, ["--end-after-dumps", "3"]))
        check(first.wait_log("Running command:", 1, 60), "the job did not start")
        second.start(args=["--no-window", "."])
        try:
            rc = master.wait(90)
        except subprocess.TimeoutExpired:
            master.kill()
            rc = None
        got = received_dumps(out, FRAME)
        ended = second.count_log("left running by an earlier run")
        print("    two folders named .: the second node's start ended %d processes; the first job: drmaster %s, "
              "%d dumps" % (ended, rc, len(got)), flush=True)
        check(ended == 0 and rc == 0 and len(got) == 3, "the second node's start broke the first's job")
    finally:
        second.stop()
        first.stop()


def run_cases(label, cases):
    """Runs each (name, call) in turn, prints PASS or FAIL for each and a
    count; 0 when all passed."""
    passed = failed = 0
    for name, call in cases:
        try:
            call()
            passed += 1
            print("PASS %s" % name, flush=True)
        except (Failure, OSError, subprocess.SubprocessError) as e:
            failed += 1
            print("FAIL %s: %s" % (name, e), flush=True)
    print("%s: %d passed, %d failed" % (label, passed, failed))
    return 0 if failed == 0 else 1


def main():
    args = sys.argv[1:]
    if args[:1] == ["death"]:
        # faults.py death: a node that dies mid-job, each way, restarted at once.
        return run_cases("death", [(way[0], lambda way=way: case_node_death(*way)) for way in DEATH_WAYS] +
                         [("two folders both named .", case_two_folders_named_dot)])
    if args[:1] == ["hung"]:
        # faults.py hung [LIMIT [CAP]]: the hung-renderer cases alone.
        limit = int(args[1]) if len(args) > 1 else 60
        cap = int(args[2]) if len(args) > 2 else 150
        # Further arguments pick the ways whose names contain one of them.
        ways = [way for way in HANG_WAYS if len(args) <= 3 or any(word in way[0] for word in args[3:])]
        return run_cases("hung", [(name, lambda n=name, b=behaviour, e=extra: case_hung(n, b, e, limit, cap))
                                  for name, behaviour, extra in ways])
    wanted = set(sys.argv[1:])
    passed = failed = 0
    bench = None

    def run(name, fn, *args):
        nonlocal passed, failed
        start = time.monotonic()
        try:
            fn(*args)
            passed += 1
            print("PASS %s (%.1f s)" % (name, time.monotonic() - start), flush=True)
        except (Failure, OSError, subprocess.SubprocessError) as e:
            failed += 1
            print("FAIL %s (%.1f s): %s" % (name, time.monotonic() - start, e), flush=True)

    try:
        for name, fn in FAULT_CASES:
            if wanted and name not in wanted:
                continue
            if bench is None:
                bench = Bench()
                run("first whole job", bench.whole_job, "start")
            run(name, fn, bench)
        if bench is not None:
            status = bench.close()
            if status == 0:
                passed += 1
                print("PASS node ended cleanly after the fault series", flush=True)
            else:
                failed += 1
                print("FAIL node ended with status %s after the fault series\n%s" % (status, bench.node.node_output()))
            print("    log of the fault series: %s" % os.path.join(bench.node.data, "DrLog.txt"))
        for name, fn in PORT_CASES:
            if wanted and name not in wanted:
                continue
            run(name, fn)
        for way in DEATH_WAYS:
            if wanted and way[0] not in wanted:
                continue
            run(way[0], case_node_death, *way)
    finally:
        if bench is not None and bench.node.running():
            bench.close()
    if failed == 0:
        remove_tempdirs()
    print("faults: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
