#!/usr/bin/python3
"""Soak: many consecutive short jobs against one node.

Each job: drmaster sends a small scene, the stand-in writes two small dumps,
drmaster ends the job after them. Every job must succeed with both dumps
byte-identical to what the renderer wrote. The node's resident memory, open
file descriptors and threads are sampled every 50 jobs; from job 50 to the
last, descriptors and threads must not change and memory must not grow by
more than RSS_SLACK_KB. At the end DrLog.txt must hold every job's lines.
Needs an X display and the fixed ports free.

Usage: reliability/soak.py [JOBS]   (default 500)
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import remove_tempdirs, DumpWatcher, Failure, Node, check, check_received, drmaster, make_scene, received_dumps, render_args, tempdir  # noqa: E402

STUB = "dumps = 2\ndump_interval_ms = 20\ndump_size = 64x32\nend_linger_ms = 0\n"
RSS_SLACK_KB = 2048  # allocator noise, not growth per job
# The log window keeps every line of the run (it is never trimmed), so memory
# may grow with the text logged: allowed up to this many times that text.
WINDOW_TEXT_FACTOR = 4
FRAME = 3


def main():
    jobs = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    root = tempdir("varnix-soak-")
    node = Node(root)
    stub = node.install_stub("max", STUB)
    node.write_config("2014 %s\n" % stub)
    scene = make_scene(os.path.join(root, "scene.max"), 20000)
    out = os.path.join(root, "out")
    node.start()
    watcher = DumpWatcher(node.data, os.path.join(root, "written"))
    samples = []
    failures = 0
    start = time.monotonic()
    try:
        first = node.figures()
        first["log_bytes"] = 0
        samples.append((0, first))
        for job in range(1, jobs + 1):
            if os.path.isdir(out):
                for name in os.listdir(out):
                    os.unlink(os.path.join(out, name))
            rc, text = drmaster(render_args("127.0.0.1", 2014, FRAME, scene, out, ["--end-after-dumps", "2"]), 120)
            try:
                check(rc == 0, "job %d: drmaster status %s:\n%s" % (job, rc, text))
                got = received_dumps(out, FRAME)
                check(len(got) == 2, "job %d: %d dumps" % (job, len(got)))
                check_received(got, watcher, "job %d" % job)
                for path in watcher.take():
                    os.unlink(path)
            except Failure as e:
                failures += 1
                print("FAIL %s" % e, flush=True)
                if failures >= 5:
                    raise
            if job % 50 == 0 or job == jobs:
                # Between jobs: the node is idle again once it logged the end.
                node.wait_log("Ready for new connection", job, 30)
                f = node.figures()
                f["log_bytes"] = os.path.getsize(os.path.join(node.data, "DrLog.txt"))
                samples.append((job, f))
                print("job %4d  %6.0f s  rss %6d kB  fds %3d  threads %2d" %
                      (job, time.monotonic() - start, f["rss_kb"], f["fds"], f["threads"]), flush=True)
        time.sleep(1.5)  # the log is flushed every 500 ms
        counts = {text: node.count_log(text) for text in
                  ("Accepted remote connection", "Parameters received: 2014 3", "3dsmax is online",
                   "Started EXR dump", "Finished EXR dump", "Got END signal", "Closed loopback connection",
                   "Ready for new connection")}
        print("distinct dumps seen: %d (the stand-in writes the same two each job)" % len(watcher.known))
        print("log counts: " + ", ".join("%s=%d" % kv for kv in counts.items()))
        status = node.stop()
        watcher.stop()
    except BaseException:
        node.stop()
        raise
    elapsed = time.monotonic() - start

    passed = 0
    checks = []
    base = dict(samples)[50] if jobs >= 50 else samples[0][1]
    last = samples[-1][1]
    checks.append((failures == 0, "%d of %d jobs failed" % (failures, jobs)))
    checks.append((last["fds"] == base["fds"], "descriptors %d at job 50, %d at job %d" % (base["fds"], last["fds"], jobs)))
    checks.append((last["threads"] == base["threads"], "threads %d at job 50, %d at job %d" % (base["threads"], last["threads"], jobs)))
    text_kb = (last["log_bytes"] - base["log_bytes"]) // 1024
    checks.append((last["rss_kb"] - base["rss_kb"] <= RSS_SLACK_KB + WINDOW_TEXT_FACTOR * text_kb,
                   "resident memory %d kB at job 50, %d kB at job %d (+%d kB; the log window gained %d kB of text)"
                   % (base["rss_kb"], last["rss_kb"], jobs, last["rss_kb"] - base["rss_kb"], text_kb)))
    for text, expected in (("Parameters received: 2014 3", jobs), ("3dsmax is online", jobs),
                           ("Started EXR dump", 2 * jobs), ("Finished EXR dump", 2 * jobs),
                           ("Got END signal", jobs), ("Closed loopback connection", jobs),
                           ("Ready for new connection", jobs)):
        checks.append((counts[text] == expected, "DrLog.txt has %d lines '%s', expected %d" % (counts[text], text, expected)))
    checks.append((status == 0, "node exit status %s" % status))
    failed = 0
    for ok, what in checks:
        print("%s %s" % ("PASS" if ok else "FAIL", what))
        passed += ok
        failed += not ok
    print("soak: %d jobs in %.0f s (%.2f s per job); rss %d -> %d kB, fds %d -> %d, threads %d -> %d (job 50 -> job %d)"
          % (jobs, elapsed, elapsed / jobs, base["rss_kb"], last["rss_kb"], base["fds"], last["fds"],
             base["threads"], last["threads"], jobs))
    if failed == 0:
        remove_tempdirs()
    print("soak: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
