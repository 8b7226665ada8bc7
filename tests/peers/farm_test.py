#!/usr/bin/python3
"""drmaster status and the farm page against tests/support/status-responder
(nodes on 127.0.0.1, .2, .3 of a private loopback): the table, the JSON
report and every exit status of "drmaster status"; the farm page in a real
headless browser (chromium): the nodes appear, those needing an admin's eye
first, a node's text stays text, a state change and a node falling silent show
within the refresh. Run in a private network namespace (it binds UDP 19666).

Usage: tests/peers/farm_test.py [--screenshot FILE]   (VARNIX_BUILD: the build folder)
Exit status 0 when every check passed, 1 otherwise, 77 when chromium cannot start at all.
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

here = os.path.dirname(os.path.abspath(__file__))
support = os.path.join(here, "..", "support")
sys.path.insert(0, support)
from headless_browser import BrowserMissing, HeadlessBrowser  # noqa: E402

BUILD = os.environ.get("VARNIX_BUILD", os.path.join(here, "..", "..", "build"))
DRMASTER = os.path.join(BUILD, "bin", "drmaster")
BROADCAST = "--broadcast=127.255.255.255"
PAGE = "http://127.0.0.1:18080/"
failures = []


def check(ok, what, detail=""):
    print("%s: %s%s" % ("ok" if ok else "FAILED", what, "" if ok else "\n    " + str(detail)[:3000]))
    if not ok:
        failures.append(what)


def drmaster(*args, timeout=60):
    return subprocess.run([DRMASTER] + list(args), capture_output=True, text=True, timeout=timeout)


class Farm:
    def __init__(self, work):
        self.answers = os.path.join(work, "answers.json")
        self.set({})
        ready = os.path.join(work, "ready")
        self.responder = subprocess.Popen([os.path.join(support, "status-responder"), "--nodes", "3",
                                           "--answers", self.answers, "--ready", ready])
        deadline = time.monotonic() + 30
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.05)

    def set(self, answers):
        """Replaces what the nodes answer (read by the responder at every request)."""
        with open(self.answers + ".new", "w") as f:
            json.dump(answers, f)
        os.replace(self.answers + ".new", self.answers)

    def close(self):
        self.responder.terminate()
        self.responder.wait()


FAILED = {"state": "idle", "last_job": {"outcome": "failed", "why": "renderer exit 1", "renderer_exit": 1,
                                        "ended_seconds_ago": 30}}
HOSTILE = "<img src=x onerror=\"document.title='owned'\">"


def status_cases(farm):
    farm.set({"127.0.0.3": FAILED})
    r = drmaster("status", BROADCAST)
    lines = r.stdout.splitlines()
    check(r.returncode == 0 and len(lines) == 4 and lines[0].split()[:3] == ["NAME", "ADDRESS", "STATE"]
          and lines[1].split()[1] == "127.0.0.3",
          "status by broadcast: a header and one line per node, the one needing an eye first, status 0", r)
    third = [line for line in lines if "127.0.0.3" in line]
    check(third and third[0].split()[:3] == ["render003", "127.0.0.3", "idle"] and "failed 30s ago" in third[0]
          and third[0].endswith("failed job"), "status: the line holds name, address, state, last job, attention",
          lines)

    r = drmaster("status", "--json", "127.0.0.2", "127.0.0.3")
    report = json.loads(r.stdout)
    nodes = {n["address"]: n for n in report["nodes"]}
    job = nodes.get("127.0.0.2", {}).get("job") or {}
    check(r.returncode == 0 and report["outcome"] == "ok" and set(nodes) == {"127.0.0.2", "127.0.0.3"}
          and all(k in nodes["127.0.0.2"] for k in ("state", "version", "uptime_seconds", "job", "counts"))
          and all(k in job for k in ("frame", "max_version", "dumps_sent", "seconds"))
          and nodes["127.0.0.3"]["job"] is None and nodes["127.0.0.3"]["attention"] == ["failed job"],
          "status --json: every node's whole answer, its address and why it needs an eye", r.stdout)

    # Every failure has its own exit status; the worst one wins.
    farm.set({"127.0.0.2": {"raw": "{not json"}, "127.0.0.3": {"silent": True}})
    for args, status, words in [
            (["127.0.0.1", "127.0.0.3", "--wait", "0.5"], 10, "no answer from 127.0.0.3"),
            (["127.0.0.1", "127.0.0.2"], 16, "127.0.0.2 answered with no readable status"),
            (["127.0.0.3", "no-such-host.invalid"], 3, "cannot resolve host 'no-such-host.invalid'"),
            (["--wait", "x"], 2, "--wait needs a number of seconds")]:
        r = drmaster("status", *args)
        check(r.returncode == status and words in r.stderr, "status %s: exit status %d" % (" ".join(args), status),
              "%d %s" % (r.returncode, r.stderr))
    r = drmaster("status", "127.0.0.1", "127.0.0.3", "--wait", "0.5")
    check([line.split()[:3] for line in r.stdout.splitlines()[1:]] ==
          [["-", "127.0.0.3", "no"], ["render001", "127.0.0.1", "idle"]], "status: a silent HOST has its line, first",
          r)

    # --watch: a document per round until Ctrl-C, which ends it with the last round's status.
    farm.set({})
    watch = subprocess.Popen([DRMASTER, "status", "--watch", "--json", "--interval", "0.3", "127.0.0.1"],
                             stdout=subprocess.PIPE, text=True)
    first, second = watch.stdout.readline(), watch.stdout.readline()
    watch.send_signal(signal.SIGINT)
    watch.wait(30)
    check(json.loads(first)["nodes"][0]["name"] == "render001" and json.loads(second)["outcome"] == "ok"
          and watch.returncode == 0, "status --watch --json: a document per round, Ctrl-C ends with status 0")


def roster_cases(farm, work):
    """The roster: a node seen once stays expected, by status and by a page
    started after it fell silent; a named node that never answered is shown;
    a retired node is no longer expected."""
    roster = os.path.join(work, "roster.txt")
    farm.set({})
    r = drmaster("status", BROADCAST, "--roster", roster)
    check(r.returncode == 0 and len(open(roster).read().splitlines()) == 2 + 3,
          "status --roster: every node seen goes on the roster", r)
    farm.set({"127.0.0.2": {"silent": True}})
    r = drmaster("status", BROADCAST, "--roster", roster)
    rows = [line.split() for line in r.stdout.splitlines()[1:]]
    check(r.returncode == 10 and rows[0][:4] == ["render002", "127.0.0.2", "no", "answer"]
          and "not answering, last seen" in r.stdout and "roster node 127.0.0.2 (render002) is not answering" in r.stderr,
          "status --roster: a roster node that does not answer is shown first and fails the exit status", r)

    server = subprocess.Popen([DRMASTER, "farm", "--serve", "127.0.0.1:18081", BROADCAST, "--roster", roster,
                               "--node", "127.0.0.9", "--refresh", "1"])
    try:
        first = None
        deadline = time.monotonic() + 30
        while first is None and time.monotonic() < deadline:
            try:
                first = urllib.request.urlopen("http://127.0.0.1:18081/", timeout=5).read().decode()
            except OSError:
                time.sleep(0.05)
        check(first and "127.0.0.2" in first and "127.0.0.9" in first,
              "farm --roster: the first page holds the silent roster node and the named one", (first or "")[-400:])
        board = None
        while time.monotonic() < deadline:
            board = json.load(urllib.request.urlopen("http://127.0.0.1:18081/nodes.json", timeout=5))
            if board["rounds"] > 0:
                break
            time.sleep(0.1)
        silent = {n["address"]: n["status"].get("name") for n in board["nodes"][:2] if not n["answering"]}
        check(silent == {"127.0.0.2": "render002", "127.0.0.9": None},
              "farm --roster: after its first round both are shown first, not answering", board)
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(30)

    r = drmaster("status", BROADCAST, "--roster", roster, "--retire", "render002")
    check(r.returncode == 0 and "127.0.0.2" not in open(roster).read(), "status --retire: the node leaves the roster",
          r)


ROWS = ("Array.prototype.map.call(document.querySelectorAll('#nodes tr'), function (r) {"
        " return Array.prototype.map.call(r.cells, function (c) { return c.textContent; }); })")


def page_cases(farm, screenshot):
    farm.set({"127.0.0.3": FAILED, "127.0.0.2": {"name": HOSTILE}})
    server = subprocess.Popen([DRMASTER, "farm", "--serve", "127.0.0.1:18080", BROADCAST, "--refresh", "1"])
    try:
        deadline = time.monotonic() + 30
        board = None
        while time.monotonic() < deadline:
            try:
                board = json.load(urllib.request.urlopen(PAGE + "nodes.json", timeout=5))
                if len(board["nodes"]) == 3:
                    break
            except OSError:
                pass
            time.sleep(0.2)
        check(board and [n["address"] for n in board["nodes"]][0] == "127.0.0.3",
              "farm: /nodes.json lists every node, the failed one first", board)

        taken = drmaster("farm", "--serve", "127.0.0.1:18080", BROADCAST)
        check(taken.returncode == 17 and "cannot serve the farm page" in taken.stderr,
              "farm: a taken port ends with exit status 17", taken)

        try:
            browser = HeadlessBrowser()
        except BrowserMissing as e:
            print("SKIPPED: the page in a browser: %s" % e)
            return 77
        with browser:
            browser.open(PAGE)
            rows = browser.wait_for("(%s).length === 3 && %s" % (ROWS, ROWS), 30) or []
            check(len(rows) == 3 and rows[0][0] == "render003" and rows[0][3] == "failed job",
                  "page: the nodes appear, the one needing an eye first", rows)
            names = [r[0] for r in rows]
            check(HOSTILE in names and browser.evaluate("document.querySelectorAll('img').length") == 0
                  and browser.evaluate("document.title") == "Varnix farm", "page: a node's text stays text", names)
            if screenshot:
                browser.screenshot(screenshot)

            # The page keeps itself current: no reload from here on.
            farm.set({"127.0.0.3": FAILED, "127.0.0.2": {"name": HOSTILE},
                      "127.0.0.1": {"state": "rendering", "job": {"master": "127.0.0.9", "max_version": "2014",
                                                                 "frame": 77, "seconds": 5, "dumps_sent": 1}}})
            shown = browser.wait_for("(%s).some(function (r) { return r[0] === 'render001' && "
                                     "r[2].indexOf('rendering') === 0 && r[5] === '77'; })" % ROWS, 30)
            check(shown, "page: a node's new state shows within the refresh", browser.evaluate(ROWS))

            farm.set({"127.0.0.3": FAILED, "127.0.0.2": {"name": HOSTILE, "silent": True}})
            shown = browser.wait_for("(%s).some(function (r) { return r[1] === '127.0.0.2' && "
                                     "r[2].indexOf('not answering') === 0 && r[3] === 'not answering'; })" % ROWS,
                                     60)
            check(shown, "page: a node that fell silent shows as not answering", browser.evaluate(ROWS))

            server.send_signal(signal.SIGINT)
            server.wait(30)
            check(server.returncode == 0, "farm: Ctrl-C ends it with status 0", server.returncode)
            lost = browser.wait_for("document.getElementById('summary').className === 'lost'", 30)
            check(lost, "page: says so when drmaster farm no longer answers")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    return 0


def main():
    screenshot = sys.argv[2] if len(sys.argv) > 2 and sys.argv[1] == "--screenshot" else None
    with tempfile.TemporaryDirectory(prefix="varnix-farm-") as work:
        farm = Farm(work)
        try:
            status_cases(farm)
            roster_cases(farm, work)
            skipped = page_cases(farm, screenshot)
        finally:
            farm.close()
    if failures:
        print("%d check(s) failed: %s" % (len(failures), "; ".join(failures)))
        return 1
    return skipped


if __name__ == "__main__":
    sys.exit(main())
