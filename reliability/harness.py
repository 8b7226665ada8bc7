"""Driving real Varnix nodes for the reliability runs: the node binary in its
own working directory with its own registry file and stand-in installations,
drmaster jobs, raw master connections, a watcher that keeps every dump the
renderer writes, and the node's resource figures from /proc.

Linux only; the caller provides an X display (DISPLAY). Nothing here binds the
node's ports except the node itself and the scenarios that take them on
purpose.
"""

import ctypes
import ctypes.util
import hashlib
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time



def _protocol_values():
    """The ports and signals as src/node/Protocol.h names them (read, not copied)."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "node", "Protocol.h")
    with open(header, encoding="utf-8") as f:
        text = f.read()
    values = {name: int(number, 0) for name, number in
              re.findall(r"constexpr std::u?int\d+_t (\w+) = (0x[0-9A-Fa-f]+|\d+);", text)}
    return values


_PROTOCOL = _protocol_values()
NODE_GREETING = _PROTOCOL["nodeGreeting"]
MASTER_GREETING = _PROTOCOL["masterGreeting"]
END_SIGNAL = _PROTOCOL["endSignal"]
FILE_DUMP_SIGNAL = _PROTOCOL["fileDumpSignal"]
UDP_PORT = _PROTOCOL["discoveryPort"]
HOST_PORT = _PROTOCOL["hostPort"]
MASTER_PORT = _PROTOCOL["masterPort"]


class Failure(Exception):
    """A check of a reliability scenario that did not hold."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def sig(value):
    return struct.pack("<I", value)


def bin_dir():
    build = os.environ.get("VARNIX_BUILD") or os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
    return os.path.join(build, "bin")


def make_scene(path, size):
    """A scene file of `size` bytes whose content is not all one value."""
    pattern = bytes((i * 131 + 7) % 251 for i in range(251))
    with open(path, "wb") as f:
        whole, rest = divmod(size, len(pattern) * 4096)
        block = pattern * 4096
        for _ in range(whole):
            f.write(block)
        f.write(block[:rest])
    return path


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


STAMP = re.compile(r"^\d{4}/\d\d/\d\d-\d\d:\d\d:\d\d   ")


def parse_log(text):
    """The logged texts of a DrLog.txt; a text holding line feeds stays one."""
    lines = []
    for line in text.split("\n"):
        line = line.rstrip("\r")
        if STAMP.match(line):
            lines.append(line[22:])
        elif lines:
            lines[-1] += "\n" + line
    return lines


REPEATED = re.compile(r"^last message repeated ([0-9,]+) times?: (.*)$", re.S)
# The counts of a flood's lines that the node wrote instead of each line,
# and the text of the lines each one stands for.
HELD_BACK = [
    (re.compile(r"^Closed ([0-9,]+) more bogus master connections"), "Got bogus master connection"),
    (re.compile(r"^Replied to ([0-9,]+) more discovery pings"), "Replying to discovery ping from"),
]


def count_lines(lines, text):
    """How many logged lines held `text`, counting the lines that a flood's
    repeat count or held-back count stands for."""
    total = 0
    for line in lines:
        m = REPEATED.match(line)
        if m:
            if text in m.group(2):
                total += int(m.group(1).replace(",", ""))
            continue
        held = [int(m.group(1).replace(",", "")) for pattern, stands_for in HELD_BACK
                for m in [pattern.match(line)] if m and text in stands_for]
        if held:
            total += held[0]
        elif text in line:
            total += 1
    return total


# ---------------------------------------------------------------- inotify

_libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
IN_CLOSE_WRITE = 0x00000008
IN_MOVED_TO = 0x00000080
IN_NONBLOCK = 0o4000
IN_CLOEXEC = 0o2000000


class DumpWatcher:
    """Collects the copy of every dump that the renderer wrote: each stand-in
    of a Node keeps one in keep_dir before it writes the dump itself
    (keep_dumps_in), so that what the master received can be compared with
    what was written. A watcher of the data directory would lose the race
    against a node that relays and deletes a dump the moment it is finished."""

    def __init__(self, data_dir, keep_dir):
        self.data_dir = data_dir
        self.keep_dir = keep_dir
        os.makedirs(keep_dir, exist_ok=True)
        self.kept = []
        self.known = set()  # digests of every dump kept so far
        self.lock = threading.Lock()
        self.stopping = False
        self.seen = set()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            # Copies come renamed into place whole, named in writing order.
            for name in sorted(os.listdir(self.keep_dir)):
                if not name.endswith(".exr") or name in self.seen:
                    continue
                self.seen.add(name)
                keep = os.path.join(self.keep_dir, name)
                d = digest(keep)
                with self.lock:
                    self.kept.append(keep)
                    self.known.add(d)
            time.sleep(0.02)

    def take(self):
        """The kept dumps since the last call, oldest first."""
        with self.lock:
            kept, self.kept = self.kept, []
        return kept

    def stop(self):
        self.stopping = True
        self.thread.join()


# ---------------------------------------------------------------- the node

class Node:
    """One real varnix-node in `root`/work, started in its own process group
    (and, when `netns` is given, in that network namespace)."""

    def __init__(self, root, netns=None, address="127.0.0.1"):
        self.root = root
        self.work = os.path.join(root, "work")
        self.data = os.path.join(self.work, "drData")
        self.netns = netns
        self.address = address
        os.makedirs(self.data, exist_ok=True)
        self.proc = None
        self.output = None
        self.registry = os.path.join(root, "registry.reg")
        self.write_registry("")

    # -- set-up

    def install_stub(self, name, behaviour=""):
        """A copy of the stand-in in its own install directory with the given
        behaviour file beside it; returns the directory, ending in a slash."""
        d = os.path.join(self.root, "max", name)
        os.makedirs(d, exist_ok=True)
        shutil.copy2(os.path.join(bin_dir(), "maxstub", "3dsmaxcmd.exe"), os.path.join(d, "3dsmaxcmd.exe"))
        self.set_behaviour(name, behaviour)
        return d + "/"

    def set_behaviour(self, name, behaviour):
        """The stand-in's behaviour; every stand-in also keeps a copy of each
        dump it writes in `root`/written (see DumpWatcher)."""
        written = os.path.join(self.root, "written")
        os.makedirs(written, exist_ok=True)
        with open(os.path.join(self.root, "max", name, "maxstub-behaviour.txt"), "w") as f:
            f.write(behaviour + "\nkeep_dumps_in = %s\n" % written)

    def stub_record(self, name):
        try:
            with open(os.path.join(self.root, "max", name, "maxstub-record.txt")) as f:
                return f.read()
        except OSError:
            return ""

    def write_config(self, text):
        with open(os.path.join(self.data, "DrConfig.txt"), "w") as f:
            f.write(text)

    def write_registry(self, body):
        with open(self.registry, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n" + body)

    # -- life

    def start(self, wait=True, display=None, args=()):
        """`args` follow the program's name, such as ["--no-window", DIR]."""
        env = dict(os.environ)
        if display:
            env["DISPLAY"] = display
        env["VARNIX_REGISTRY"] = self.registry
        env["NO_AT_BRIDGE"] = "1"
        argv = [os.path.join(bin_dir(), "varnix-node")] + list(args)
        if self.netns:
            argv = ["ip", "netns", "exec", self.netns] + argv
        starts = self.count_log("DR server started")
        self.output = open(os.path.join(self.root, "node.out"), "ab")
        self.proc = subprocess.Popen(argv, cwd=self.work, env=env, stdout=self.output, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        if wait:
            check(self.wait_log("DR server started", starts + 1, timeout=20),
                  "node did not start: " + self.node_output())

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def pid(self):
        """The node's own process id (below `ip netns exec` when used)."""
        if not self.netns:
            return self.proc.pid
        return self.proc.pid  # ip netns exec execs the program in place

    def stop(self, timeout=30):
        """Asks the node to end (SIGTERM is a close request); kills its whole
        process group when it does not end in time. Returns the exit status,
        or None when it had to be killed."""
        if self.proc is None:
            return None
        status = None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                status = self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                status = None
        else:
            status = self.proc.returncode
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            pass
        self.proc = None
        if self.output:
            self.output.close()
            self.output = None
        return status

    def node_output(self):
        try:
            with open(os.path.join(self.root, "node.out"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    # -- the log

    def log_text(self):
        try:
            with open(os.path.join(self.data, "DrLog.txt"), "rb") as f:
                return f.read().decode("utf-8", errors="replace")
        except OSError:
            return ""

    def log_lines(self):
        return parse_log(self.log_text())

    def count_log(self, text):
        """Lines holding `text`, with the lines that the log counted instead
        of writing ("last message repeated N times: <text>") added in."""
        return count_lines(self.log_lines(), text)

    def wait_log(self, text, count=1, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            if self.count_log(text) >= count:
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)

    # -- figures

    def figures(self):
        """Resident memory (kB, in all and by kind), open descriptors and
        threads of the node."""
        pid = self.pid()
        fields = {}
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
        def kb(key):
            return int(fields.get(key, "0 kB").split()[0])
        return {
            "rss_kb": kb("VmRSS"),
            # What the resident set is made of: the process's own memory,
            # and pages of mapped files (libraries, font caches).
            "rss_anon_kb": kb("RssAnon"),
            "rss_file_kb": kb("RssFile") + kb("RssShmem"),
            "fds": len(os.listdir("/proc/%d/fd" % pid)),
            "threads": int(fields["Threads"]),
        }

    def children(self):
        """Processes of the node's group other than the node (renderers)."""
        out = subprocess.run(["ps", "-o", "pid=,stat=,comm=", "-g", str(self.proc.pid)],
                             capture_output=True, text=True).stdout
        rows = []
        for line in out.splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and int(parts[0]) != self.proc.pid and not parts[1].startswith("Z"):
                rows.append((int(parts[0]), parts[2]))
        return rows


# ---------------------------------------------------------------- masters

def drmaster(args, timeout=120, netns=None, cwd=None):
    """Runs drmaster to its end; returns (exit status, output). A run that
    does not end in time is killed and reported with status None."""
    argv = [os.path.join(bin_dir(), "drmaster")] + list(args)
    if netns:
        argv = ["ip", "netns", "exec", netns] + argv
    try:
        r = subprocess.run(argv, capture_output=True, timeout=timeout, cwd=cwd, stdin=subprocess.DEVNULL)
        return r.returncode, (r.stdout + r.stderr).decode(errors="replace")
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"") + (e.stderr or b"")
        return None, out.decode(errors="replace")


def render_args(node_address, version, frame, scene, out, extra=()):
    return ["render", "--node", node_address, "--version", str(version), "--frame", str(frame),
            "--scene", scene, "--out", out] + list(extra)


def received_dumps(out_dir, frame):
    """drmaster's completed dumps of `frame` in out_dir, in order."""
    names = sorted(n for n in os.listdir(out_dir) if re.fullmatch(r"frame%d_dump\d{3}\.exr" % frame, n))
    return [os.path.join(out_dir, n) for n in names]


def check_received(received, watcher, context):
    """Every dump the master received must be byte for byte a dump that the
    renderer wrote at some point. The stand-in's dumps depend only on the
    frame, the dump number, the dump count and the size, so a dump whose
    appearance the watcher missed (the node can relay and delete a small
    dump within a millisecond) is still known from an earlier job; a dump
    damaged on the way matches none."""
    for path in received:
        d = digest(path)
        deadline = time.monotonic() + 2
        while d not in watcher.known and time.monotonic() < deadline:
            time.sleep(0.05)
        check(d in watcher.known, "%s: received dump %s is none of the dumps the renderer wrote"
              % (context, os.path.basename(path)))


def compare_dumps(received, written, context):
    """Every dump the master received must be one the renderer wrote, byte
    for byte, and none may arrive twice. The order is not compared: the node
    relays the waiting dumps in the order the directory search gives them."""
    written_digests = {}
    for path in written:
        written_digests.setdefault(digest(path), []).append(path)
    for path in received:
        d = digest(path)
        check(written_digests.get(d), "%s: received dump %s is none of the %d dumps the renderer wrote"
              % (context, os.path.basename(path), len(written)))
        written_digests[d].pop()


class RawMaster:
    """A master connection made of a plain socket, for faults that drmaster
    would never make."""

    def __init__(self, address="127.0.0.1", timeout=10.0):
        self.sock = socket.create_connection((address, MASTER_PORT), timeout=timeout)

    def read_exactly(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def send(self, data):
        self.sock.sendall(data)

    def abort(self):
        """Ends the connection with a reset, as a killed process's would when
        unread bytes wait."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        self.sock.close()

    def closed_by_node(self, timeout=30.0):
        """True when the node closes the connection within `timeout`
        (anything it still sends is read and dropped)."""
        self.sock.settimeout(timeout)
        deadline = time.monotonic() + timeout
        try:
            while time.monotonic() < deadline:
                if not self.sock.recv(65536):
                    return True
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False
        return False


_made = []


def tempdir(prefix):
    """A fresh directory under $VARNIX_RELIABILITY_TMP (else the system's);
    remove_tempdirs() removes every one made."""
    path = tempfile.mkdtemp(prefix=prefix, dir=os.environ.get("VARNIX_RELIABILITY_TMP"))
    _made.append(path)
    return path


def remove_tempdirs():
    """Called after a run that passed; a failed run keeps its directories
    (logs, dumps, the stand-in's records) for a look."""
    for path in _made:
        shutil.rmtree(path, ignore_errors=True)
    _made.clear()
