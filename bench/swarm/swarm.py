#!/usr/bin/env python3
"""The swarm lab: many players and one capped origin on this machine, in network namespaces the
lab makes itself (it runs as root). bench/swarm/run.sh is the one command; this script is what it
runs, and the integration test runs it with --ci.

Layout, all of it named after the run's id (run.sh's pid by default), so that two labs run side
by side and a lab killed with -9 is swept by the next one:

- namespace tevswarm-ID-hub: the bridge brID; every other namespace has one veth on it;
- namespace tevswarm-ID-origin, 10.A.B.1: nginx (the game file and, beside it, its torrent made by
  `tev-publish torrent`, pointed at by a Link header; an access log of the bytes and range each
  request sent) and opentracker; its uplink (veth egress) capped with tc tbf;
- namespaces tevswarm-ID-pN, 10.A.B.(10+N): one player each (bench/swarm/player.py);
  A.B is the run id's low 16 bits. No namespace has a route out, IPv6 is off in all of them, and
  nothing is sent to any other address.

Kinds of player (--kinds): engine (our engine with sharing off: HTTP only, the baseline), peers
(the same engine with sharing on: HTTP and peers), aria2 (aria2c with the same torrent).

Rows (--rows): swarm (every kind, interleaved rounds), late (a fifth player after four finished),
solo (one player alone, sharing on against off, interleaved), faults (origin stops at 50%, an
engine killed -9 at 50%, the origin stopped once the peers' pieces cover the file, a corrupt
seeder, the tracker down). Writes bench/SWARM.md, the issue's targets as pass/fail lines.
"""
import argparse
import json
import os
import queue
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Runs from the source tree (ctest too): no bytecode left beside the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, ".."))
from bench import MIB, machine, make_file, median  # noqa: E402

GIB = 1024 * MIB

sys.path.insert(0, HERE)
import torrent  # noqa: E402

PREFIX = "tevswarm"
SKIP = 77  # ctest's SKIP_RETURN_CODE for the integration test
MB = 1000 * 1000
# tbf counts whole frames: a full TCP segment of 1448 bytes (MTU 1500, timestamps) is a frame of
# 1514. Caps are given for what TCP carries, so the rate tc sees is that much higher.
WIRE = 1514 / 1448

# The kinds of player a row compares: our engine with sharing off (the baseline), the same build
# with sharing on, and aria2c with the same torrent.
KINDS = {"engine": "TEVDownloadV32, sharing off (HTTP only)",
         "peers": "TEVDownloadV32, sharing on (HTTP + peers)",
         "aria2": "aria2c, BitTorrent + web seed"}
PEERS_NOT_YET = "not yet measured: this engine build has no peer source (it does not link libtorrent)"
# The engine's checkpoint: its control file is brought up to date every second or after this
# much data of a file, whichever comes first.
CHECKPOINT_BYTES = 32 * MIB
# The engine's log line for a finished file shared with peers.
SOURCES = re.compile(r"(\d+) bytes from the server, (\d+) bytes from peers")


def has_peer_source(program):
    """Whether the engine build can share at all: the peer source is libtorrent's."""
    result = subprocess.run(["ldd", program], capture_output=True, text=True)
    return "libtorrent-rasterbar" in result.stdout


class LabError(Exception):
    pass


def sh(*args, check=True, capture=True):
    result = subprocess.run(list(args), text=True, stdout=subprocess.PIPE if capture else None,
                            stderr=subprocess.PIPE if capture else None)
    if check and result.returncode != 0:
        raise LabError(f"{' '.join(args)}: {(result.stderr or '').strip() or 'status %d' % result.returncode}")
    return result


def lab_namespaces():
    result = sh("ip", "netns", "list", check=False)
    return [line.split()[0] for line in result.stdout.splitlines() if line.startswith(PREFIX + "-")]


def teardown(run_id):
    """Ends every process in the run's namespaces (by pid: all of them are the lab's own) and
    deletes the namespaces, the origin's last; their veths and the bridge go with them."""
    names = [n for n in lab_namespaces() if n.startswith(f"{PREFIX}-{run_id}-")]
    for name in names:
        pids = sh("ip", "netns", "pids", name, check=False).stdout.split()
        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
    for name in sorted(names, key=lambda n: n.endswith("-hub")):
        sh("ip", "netns", "del", name, check=False)


def run_alive(run_id):
    try:
        with open(f"/proc/{run_id}/cmdline", "rb") as f:
            return b"swarm" in f.read()
    except OSError:
        return False


def sweep_stale():
    """Namespaces and folders of labs whose process is gone (killed with -9)."""
    for run_id in {int(n.split("-")[1]) for n in lab_namespaces() if n.split("-")[1].isdigit()}:
        if not run_alive(run_id):
            print(f"Removing the namespaces of an earlier lab (run {run_id}) that did not clean up", flush=True)
            teardown(run_id)
    tmp = tempfile.gettempdir()
    for entry in os.listdir(tmp):
        parts = entry.split("-")
        if len(parts) != 4 or parts[:2] != ["tev", "swarm"] or not parts[2].isdigit() or run_alive(int(parts[2])):
            continue
        path = os.path.join(tmp, entry)
        st = os.lstat(path)
        # Only the lab's own folders: made by this user, not a link someone left in its place.
        if stat.S_ISDIR(st.st_mode) and st.st_uid == os.geteuid():
            shutil.rmtree(path, ignore_errors=True)


class Lab:
    def __init__(self, run_id, work, players, rate, burst, player_rate=None):
        self.run_id = run_id
        self.work = work
        self.rate = rate  # bytes per second
        self.burst = burst
        self.player_rate = player_rate
        self.net = f"10.{(run_id >> 8) & 255}.{run_id & 255}"
        self.hub = f"{PREFIX}-{run_id}-hub"
        self.bridge = f"br{run_id}"[:15]
        self.origin_ns = f"{PREFIX}-{run_id}-origin"
        self.origin = f"{self.net}.1"
        self.players = [(f"{PREFIX}-{run_id}-p{i}", f"{self.net}.{10 + i}") for i in range(1, players + 1)]
        self.nodes = 0
        self.nginx = None
        self.tracker = None
        self.data = os.path.join(work, "data")
        self.access_log = os.path.join(work, "origin", "access.log")

    # ---- network ----

    def up(self):
        if os.geteuid() != 0:
            raise PermissionError("not root: this machine cannot make network namespaces for the lab")
        try:
            sh("ip", "netns", "add", self.hub)
        except (LabError, OSError) as e:
            raise PermissionError(f"cannot make a network namespace: {e}")
        self._quiet(self.hub)
        sh("ip", "-n", self.hub, "link", "add", self.bridge, "type", "bridge")
        sh("ip", "-n", self.hub, "link", "set", self.bridge, "up")
        self._node(self.origin_ns, self.origin)
        for ns, address in self.players:
            self._node(ns, address, self.player_rate)
        cap = ["tc", "qdisc", "add", "dev", "eth0", "root", "tbf", "rate", f"{int(self.rate * WIRE * 8)}bit",
               "burst", str(self.burst), "latency", "50ms"]
        sh("ip", "netns", "exec", self.origin_ns, *cap)

    def _quiet(self, ns):
        sh("ip", "-n", ns, "link", "set", "lo", "up")
        sh("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
           "net.ipv6.conf.default.disable_ipv6=1")

    def _node(self, ns, address, rate=None):
        self.nodes += 1
        veth = f"v{self.nodes}"
        sh("ip", "netns", "add", ns)
        self._quiet(ns)
        sh("ip", "-n", self.hub, "link", "add", veth, "type", "veth", "peer", "name", "eth0", "netns", ns)
        sh("ip", "-n", self.hub, "link", "set", veth, "master", self.bridge, "up")
        sh("ip", "-n", ns, "addr", "add", f"{address}/24", "dev", "eth0")
        sh("ip", "-n", ns, "link", "set", "eth0", "up")
        if rate:
            for where, dev in ((ns, "eth0"), (self.hub, veth)):
                sh("ip", "netns", "exec", where, "tc", "qdisc", "add", "dev", dev, "root", "tbf", "rate",
                   f"{int(rate * WIRE * 8)}bit", "burst", str(self.burst), "latency", "50ms")

    def exec_args(self, ns):
        return ["ip", "netns", "exec", ns]

    def tx_bytes(self, ns, counter="tx_bytes"):
        out = sh("ip", "netns", "exec", ns, "cat", f"/sys/class/net/eth0/statistics/{counter}").stdout
        return int(out.strip())

    def origin_tx_bytes(self):
        return self.tx_bytes(self.origin_ns)

    # ---- origin services ----

    def start_nginx(self):
        prefix = os.path.join(self.work, "origin")
        os.makedirs(os.path.join(prefix, "logs"), exist_ok=True)
        conf = os.path.join(prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/logs/error.log;
events {{ worker_connections 4096; }}
http {{
    log_format swarm '$remote_addr $status $bytes_sent $request_uri $body_bytes_sent $msec '
                     '$request_time $http_range';
    access_log {self.access_log} swarm;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    types {{ application/x-bittorrent torrent; }}
    default_type application/octet-stream;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    server {{
        listen {self.origin}:80;
        root {self.data};
        # The publisher's guide's lines (docs/publishing.md): a file with a torrent beside it
        # names it in a Link header.
        location / {{
            set $torrent_link "";
            if (-f $request_filename.torrent) {{
                set $torrent_link "<$uri.torrent>; rel=describedby; type=\\"application/x-bittorrent\\"";
            }}
            add_header Link $torrent_link;
        }}
    }}
}}
""")
        self.nginx = subprocess.Popen(self.exec_args(self.origin_ns) + ["nginx", "-p", prefix, "-c", conf,
                                                                         "-g", "daemon off;"])
        self._wait_port(self.origin, 80, self.nginx, "nginx")

    def check_link(self, name):
        """The file's answers name its torrent (what the engine looks for first); the torrent's
        own answers name nothing."""
        link = f'Link: </{name}.torrent>; rel=describedby; type="application/x-bittorrent"'
        for path, expected in ((name, True), (name + ".torrent", False)):
            head = sh(*self.exec_args(self.players[0][0]), "curl", "-sS", "-I", f"http://{self.origin}/{path}").stdout
            if (link in head) != expected:
                raise LabError(f"nginx's answer for /{path} {'lacks' if expected else 'has'} the torrent's Link "
                               f"header: {head.strip()}")

    def stop_nginx(self):
        if self.nginx and self.nginx.poll() is None:
            self.nginx.send_signal(signal.SIGTERM)
            self.nginx.wait(timeout=30)
        self.nginx = None

    def start_tracker(self, info_hashes):
        """opentracker on the origin's address only (without -i/-p/-P it binds every address).
        Debian's build admits only whitelisted torrents (-w); as root it chroots to its folder and
        runs as nobody, so the whitelist lies inside that folder and is named relative to it."""
        folder = os.path.join(self.work, "tracker")
        os.makedirs(folder, exist_ok=True)
        os.chmod(folder, 0o755)
        with open(os.path.join(folder, "whitelist.txt"), "w") as f:
            f.write("".join(h + "\n" for h in info_hashes))
        os.chmod(os.path.join(folder, "whitelist.txt"), 0o644)
        self.tracker = subprocess.Popen(
            self.exec_args(self.origin_ns) + ["opentracker", "-i", self.origin, "-p", "6969", "-P", "6969",
                                              "-d", folder, "-u", "nobody", "-w", "whitelist.txt"],
            cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._wait_port(self.origin, 6969, self.tracker, "opentracker")

    def stop_tracker(self):
        if self.tracker and self.tracker.poll() is None:
            self.tracker.send_signal(signal.SIGTERM)
            try:
                self.tracker.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.tracker.kill()
                self.tracker.wait()
        self.tracker = None

    def _wait_port(self, host, port, process, what):
        ns = self.players[0][0]
        for _ in range(100):
            if process.poll() is not None:
                err = process.stderr.read().decode(errors="replace") if process.stderr else ""
                raise LabError(f"{what} exited with status {process.returncode} {err.strip()}")
            probe = sh("ip", "netns", "exec", ns, "python3", "-c",
                       f"import socket; socket.create_connection(('{host}', {port}), timeout=0.5).close()",
                       check=False)
            if probe.returncode == 0:
                return
            time.sleep(0.1)
        raise LabError(f"{what} does not answer on {host}:{port}")

    def log_mark(self):
        try:
            return os.path.getsize(self.access_log)
        except OSError:
            return 0

    def origin_bytes(self, mark, addresses=None, suffix=None):
        """Bytes nginx sent (headers included) since mark, to the given players' addresses."""
        total = 0
        with open(self.access_log) as f:
            f.seek(mark)
            for line in f:
                parts = line.split()
                if len(parts) < 4:
                    continue
                if addresses is not None and parts[0] not in addresses:
                    continue
                if suffix is not None and not parts[3].endswith(suffix):
                    continue
                total += int(parts[2])
        return total

    def origin_requests(self, mark, suffix):
        """The requests for the file nginx has logged since mark (at their end): address, start
        (epoch seconds), the first byte asked for and the body bytes sent."""
        requests = []
        try:
            with open(self.access_log) as f:
                f.seek(mark)
                for line in f:
                    parts = line.split()
                    if len(parts) < 8 or not parts[3].endswith(suffix) or parts[1] not in ("200", "206"):
                        continue
                    first = 0
                    if parts[1] == "206" and parts[7].startswith("bytes="):
                        try:
                            first = int(parts[7][6:].split("-")[0])
                        except ValueError:
                            continue
                    requests.append({"address": parts[0], "start": float(parts[5]) - float(parts[6]),
                                     "first": first, "sent": int(parts[4])})
        except OSError:
            pass
        return requests

    def origin_coverage(self, mark, suffix, size):
        """How many bytes of the file the origin has sent to someone at least once since mark."""
        spans = sorted((r["first"], r["first"] + r["sent"]) for r in self.origin_requests(mark, suffix))
        covered, reach = 0, 0
        for begin, end in spans:
            begin, end = max(begin, reach), min(end, size)
            if end > begin:
                covered += end - begin
                reach = end
        return covered

    # ---- the cap, measured ----

    def measure_cap(self, seconds, attempts=3):
        """Fetches a file of about `seconds` at the cap from the first player; answers the rate
        the cap really gives (bytes per second) from the first byte to the last, less the burst
        the bucket starts with, the best of a few attempts: on a busy machine a sender that is
        not scheduled in time loses the tokens that overflow the bucket."""
        name = "calibrate.bin"
        make_file(os.path.join(self.data, name), int(self.rate * seconds))
        best = 0.0
        for _ in range(attempts):
            result = sh(*self.exec_args(self.players[0][0]), "curl", "-s", "-o", "/dev/null", "-w",
                        "%{size_download} %{time_starttransfer} %{time_total}", f"http://{self.origin}/{name}")
            size, first, total = result.stdout.split()
            best = max(best, (int(size) - self.burst) / (float(total) - float(first)))
            if abs(best / self.rate - 1) <= 0.05:
                break
        return best


class Player:
    """A player.py in its namespace, with its events on a queue the lab reads."""

    def __init__(self, lab, index, kind, name, size, events, program=None, torrent_path=None,
                 kill_at=None, seed_unverified=False, work=None, url=None, verbose=False):
        self.ns, self.address = lab.players[index]
        self.index = index
        self.kind = kind
        self.work = work or os.path.join(lab.work, "players", f"p{index + 1}")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        cmd = lab.exec_args(self.ns) + [sys.executable, os.path.join(HERE, "player.py"), "--kind", kind,
                                        "--work", self.work, "--name", name, "--size", str(size)]
        if kind in ("engine", "peers"):
            cmd[cmd.index("--kind") + 1] = "engine"
            cmd += ["--program", program, "--url", url, "--port", str(38100 + index),
                    "--sharing", "on" if kind == "peers" else "off", "--listen", self.address]
            if kill_at is not None:
                cmd += ["--kill-at", str(kill_at)]
        else:
            cmd += ["--torrent", torrent_path]
            if seed_unverified:
                cmd += ["--seed-unverified"]
            if verbose:
                cmd += ["--verbose"]
        self.process = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.events = events
        self.state = {}
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            try:
                event = json.loads(line)
            except ValueError:
                continue
            self.events.put((self, event))
        self.events.put((self, {"event": "gone", "t": time.monotonic()}))

    def send(self, command):
        try:
            self.process.stdin.write(command + "\n")
            self.process.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass

    def stop(self):
        self.send("stop")
        try:
            self.process.stdin.close()
        except (BrokenPipeError, ValueError):
            pass
        try:
            self.process.wait(timeout=40)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            self.process.wait(timeout=10)


def same_file(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


class Swarm:
    """One run of players; collects their events until every one is done, failed or gone."""

    def __init__(self, lab, args):
        self.lab = lab
        self.args = args
        self.events = queue.Queue()
        self.players = []

    def add(self, index, kind, **options):
        p = Player(self.lab, index, kind, self.args.file_name, self.args.size, self.events,
                   program=self.args.program, url=f"http://{self.lab.origin}/{self.args.file_name}",
                   torrent_path=os.path.join(self.lab.data, self.args.file_name + ".torrent"), **options)
        self.players.append(p)
        return p

    def pump(self, until, timeout, on_event=None):
        """Reads events until until() holds; raises LabError after timeout seconds."""
        deadline = time.monotonic() + timeout
        while not until():
            left = deadline - time.monotonic()
            if left <= 0:
                raise LabError(f"no result within {timeout:.0f} s: " + ", ".join(
                    f"p{p.index + 1} {p.state.get('last', 'nothing')}" for p in self.players))
            try:
                player, event = self.events.get(timeout=min(left, 0.5))
            except queue.Empty:
                if on_event:
                    on_event(None, None)
                continue
            player.state["last"] = event["event"]
            player.state.setdefault(event["event"], event)
            if event["event"] in ("done", "failed", "killed", "exit", "gone", "restarted", "resumed"):
                player.state[event["event"]] = event
            if event["event"] == "gone" and "done" not in player.state and "failed" not in player.state:
                player.state["failed"] = {"reason": "the player ended without a result", "t": event["t"]}
            if on_event:
                on_event(player, event)

    def ready(self, players, timeout=60):
        self.pump(lambda: all("ready" in p.state or "failed" in p.state for p in players), timeout)
        failed = [p for p in players if "failed" in p.state]
        if failed:
            raise LabError(f"p{failed[0].index + 1} did not start: {failed[0].state['failed'].get('reason')}")

    def go(self, players):
        start = time.monotonic()
        self.wall_start = time.time()
        for p in players:
            p.send("go")
        return start

    def first_requests(self, mark, players):
        """Per player, seconds from go to its first request for the file at the origin."""
        firsts = {}
        for r in self.lab.origin_requests(mark, self.args.file_name):
            firsts[r["address"]] = min(firsts.get(r["address"], r["start"]), r["start"])
        return [firsts[p.address] - self.wall_start for p in players if p.address in firsts]

    def finished(self, players):
        return lambda: all("done" in p.state or ("failed" in p.state and "resumed" not in p.state)
                           or "gone" in p.state for p in players)

    def stop_all(self):
        statuses = {}
        for p in self.players:
            p.stop()
        # Drain what is left: the exit events carry the engines' exit statuses.
        while True:
            try:
                player, event = self.events.get(timeout=0.2)
            except queue.Empty:
                break
            if event["event"] == "exit":
                statuses[player.index] = event.get("status")
        return statuses


# ---- rows ----

def engine_log(player):
    return os.path.join(player.work, "engine-data", "Velmor", "tevDownloadV32", "config", "engine.log")


def engine_sources(player):
    """What the engine's log says its file came from: (bytes from the server, bytes from peers),
    or None without such a line."""
    found = None
    try:
        with open(engine_log(player), errors="replace") as f:
            for line in f:
                match = SOURCES.search(line)
                if match:
                    found = (int(match.group(1)), int(match.group(2)))
    except OSError:
        pass
    return found


def check_files(lab, args, players):
    source = os.path.join(lab.data, args.file_name)
    bad = []
    for p in players:
        done = p.state.get("done")
        if not done or not same_file(done["file"], source):
            bad.append(p.index + 1)
    return bad


def swarm_round(lab, args, kind, players):
    swarm = Swarm(lab, args)
    group = [swarm.add(i, kind) for i in range(players)]
    try:
        swarm.ready(group)
        mark, tx = lab.log_mark(), lab.origin_tx_bytes()
        start = swarm.go(group)
        swarm.pump(swarm.finished(group), args.timeout)
        failed = [p for p in group if "done" not in p.state]
        if failed:
            raise LabError(f"{kind}: p{failed[0].index + 1} failed: {failed[0].state.get('failed', {}).get('reason')}")
        times = sorted(p.state["done"]["t"] - start for p in group)
        bad = check_files(lab, args, group)
        result = {"times": times, "last": times[-1], "median": median(times),
                  "origin": lab.origin_bytes(mark, suffix=args.file_name),
                  "first_request": swarm.first_requests(mark, group),
                  "sources": [engine_sources(p) for p in group] if kind == "peers" else [],
                  "anon": [p.state["done"].get("anon") for p in group],
                  "origin_tx": lab.origin_tx_bytes() - tx,
                  "cpu": [p.state["done"]["cpu"] for p in group], "rss": [p.state["done"]["rss"] for p in group],
                  "identical": not bad, "bad": bad}
    finally:
        statuses = swarm.stop_all()
    result["exit"] = statuses
    if kind in ("engine", "peers") and any(s not in (0, None) for s in statuses.values()):
        raise LabError(f"an engine exited with status {statuses} (a sanitizer report?)")
    if bad:
        raise LabError(f"{kind}: players {bad} hold a file that differs from the origin's")
    return result


def late_joiner(lab, args, kind):
    swarm = Swarm(lab, args)
    first = [swarm.add(i, kind) for i in range(4)]
    try:
        swarm.ready(first)
        swarm.go(first)
        swarm.pump(swarm.finished(first), args.timeout)
        if any("done" not in p.state for p in first):
            raise LabError(f"late joiner ({kind}): one of the first four failed")
        fifth = swarm.add(4, kind)
        swarm.ready([fifth])
        mark = lab.log_mark()
        start = swarm.go([fifth])
        swarm.pump(swarm.finished([fifth]), args.timeout)
        if "done" not in fifth.state:
            raise LabError(f"late joiner ({kind}): the fifth failed: {fifth.state.get('failed')}")
        return {"origin": lab.origin_bytes(mark, [fifth.address], suffix=args.file_name),
                "time": fifth.state["done"]["t"] - start,
                "identical": not check_files(lab, args, first + [fifth])}
    finally:
        swarm.stop_all()


def part_bytes(players, name):
    total = 0
    for p in players:
        for suffix in (".tevpart", ""):
            try:
                total += os.stat(os.path.join(p.work, "out", name + suffix)).st_blocks * 512
                break
            except OSError:
                pass
    return total


def origin_stops(lab, args, players, kind="engine", when="half"):
    """Every engine fetches; the origin stops when half of all bytes are on disk (when="half") or
    once it has sent every byte of the file to someone at least once (when="covered": from then
    on the players together hold the whole file). Seen: how each engine reacts (finishes from its
    peers, or a clear failure within a bounded time, never a wrong file), then, with the origin
    back and the jobs sent again, whether every file ends byte-identical."""
    swarm = Swarm(lab, args)
    group = [swarm.add(i, kind) for i in range(players)]
    seen = []
    try:
        swarm.ready(group)
        mark = lab.log_mark()
        start = swarm.go(group)
        half = players * args.size / 2
        stopped = {}

        def watch(player, event):
            if stopped:
                return
            if when == "half":
                reached = part_bytes(group, args.file_name) >= half
            else:
                reached = lab.origin_coverage(mark, args.file_name, args.size) >= args.size
            if reached:
                lab.stop_nginx()
                stopped["t"] = time.monotonic()
                stopped["sent"] = lab.origin_bytes(mark, suffix=args.file_name)

        swarm.pump(lambda: bool(stopped) or swarm.finished(group)(), args.timeout, watch)
        if not stopped:
            raise LabError(f"origin stop ({kind}): the players finished before the origin was stopped")
        on_disk = part_bytes(group, args.file_name)
        try:
            swarm.pump(swarm.finished(group), args.stall_timeout)
        except LabError:
            pass
        reasons = {}
        for p in group:
            if "failed" in p.state:
                reasons.setdefault(p.state["failed"]["reason"], []).append(
                    (p.index + 1, p.state["failed"]["t"] - stopped["t"]))
            elif "done" not in p.state:
                seen.append(f"p{p.index + 1} still waiting {args.stall_timeout:.0f} s after the stop")
        for reason, who in reasons.items():
            low, high = min(t for _, t in who), max(t for _, t in who)
            after = f"{low:.1f} s" if f"{low:.1f}" == f"{high:.1f}" else f"{low:.1f} to {high:.1f} s"
            seen.append(f"{', '.join(f'p{i}' for i, _ in who)} failed {after} after the stop: \"{reason}\"")
        reacted = all("failed" in p.state or "done" in p.state for p in group)
        early_done = [p for p in group if "done" in p.state and p.state["done"]["t"] < stopped["t"]]
        # A file completed after the stop is a false report only when it is not the origin's: the
        # last bytes may still have been on their way (the kernel's buffers), or come from peers.
        late_done = [p for p in group if "done" in p.state and p.state["done"]["t"] >= stopped["t"]]
        without_origin = [p for p in late_done if same_file(p.state["done"]["file"],
                                                             os.path.join(lab.data, args.file_name))]
        false_done = [p for p in late_done if p not in without_origin]
        done_at = max((p.state["done"]["t"] for p in group if "done" in p.state), default=stopped["t"])
        lab.start_nginx()
        restart = time.monotonic()
        for p in group:
            if "failed" in p.state:
                p.send("resume")

        def settled(p):
            if "failed" in p.state and "resumed" in p.state and p.state["failed"]["t"] > p.state["resumed"]["t"]:
                return True
            return "done" in p.state or ("failed" in p.state and "resumed" not in p.state and not reacted)

        swarm.pump(lambda: all(settled(p) for p in group), args.timeout)
        bad = check_files(lab, args, group)
        if when == "half":
            ok = not bad and not false_done and reacted and all("done" in p.state for p in group)
        else:
            ok = not bad and len(early_done) + len(without_origin) == players
        last = max((p.state["done"]["t"] for p in group if "done" in p.state), default=restart) - restart
        return {"ok": ok, "stopped_at": stopped["t"] - start, "on_disk": on_disk, "seen": seen,
                "early_done": len(early_done), "false_done": len(false_done), "bad": bad,
                "after_restart": last, "without_origin": len(without_origin),
                "sent": stopped["sent"], "done_after_stop": done_at - stopped["t"]}
    finally:
        swarm.stop_all()


def kill_one(lab, args, players, kind="engine"):
    """One engine of the swarm is killed -9 once half of its file is on disk, started again and
    sent the job again; the origin's log tells what it fetched from there, and the restarted
    engine's first progress what it kept: what it held on disk less what it kept is fetched
    again."""
    swarm = Swarm(lab, args)
    group = [swarm.add(i, kind, kill_at=0.5 if i == 0 else None) for i in range(players)]
    victim = group[0]
    kept = {}
    received = {}

    def watch(player, event):
        if player is victim and event and event["event"] == "progress" and "restarted" in victim.state \
                and "bytes" not in kept:
            kept["bytes"] = event["bytes"]
        # What each player's link received until its file was complete (it may seed on).
        if player and event and event["event"] == "done":
            received[player.index] = lab.tx_bytes(player.ns, "rx_bytes") - rx[player.index]

    try:
        swarm.ready(group)
        mark = lab.log_mark()
        rx = {p.index: lab.tx_bytes(p.ns, "rx_bytes") for p in group}
        swarm.go(group)
        swarm.pump(swarm.finished(group), args.timeout, watch)
        bad = check_files(lab, args, group)
        fetched = lab.origin_bytes(mark, [victim.address], suffix=args.file_name)
        killed = victim.state.get("killed", {})
        held = killed.get("on_disk", 0)
        others = [received[p.index] for p in group[1:] if p.index in received]
        # Received beyond what a player that was not killed received, from the server and peers
        # alike (headers and protocol included on both sides).
        extra = received[victim.index] - median(others) if others and victim.index in received else None
        return {"ok": not bad and "done" in victim.state and "killed" in victim.state,
                "on_disk": held, "fetched": fetched, "bad": bad, "kept": kept.get("bytes"),
                "refetched": extra,
                "reason": victim.state.get("failed", {}).get("reason")}
    finally:
        swarm.stop_all()


def corrupt_piece(source, target, piece_length):
    """A copy of the file with one byte of one piece flipped: the piece just before the middle.
    aria2c's web seed starts a second connection at the middle, so the piece at the middle comes
    from the origin; the one before it is the last the first connection reaches, and peers are
    asked for it first."""
    shutil.copyfile(source, target)
    size = os.path.getsize(source)
    index = max(0, (size // piece_length) // 2 - 1)
    with open(target, "r+b") as f:
        f.seek(index * piece_length + 100)
        byte = f.read(1)
        f.seek(index * piece_length + 100)
        f.write(bytes([byte[0] ^ 0xFF]))
    return index


def count_lines(path, needle):
    try:
        with open(path, errors="replace") as f:
            return sum(1 for line in f if needle in line)
    except OSError:
        return 0


def corrupt_seeder(lab, args, players, kind="aria2", attempts=3):
    """Players with a seeder (aria2c) whose copy has one altered piece (it seeds it unverified).
    Which peer serves which piece is the players' choice: the run is repeated (a few times at
    most) until the seeder's log shows that it sent the altered piece."""
    for attempt in range(1, attempts + 1):
        r = corrupt_seeder_once(lab, args, players, kind)
        r["attempts"] = attempt
        r["ok"] = r["ok"] and r["seeder_altered"]
        if r["sent_altered"] or not r["ok"]:
            break
    return r


def corrupt_seeder_once(lab, args, players, kind):
    swarm = Swarm(lab, args)
    seeder_work = os.path.join(lab.work, "players", f"p{players + 1}")
    # At level info aria2c logs every block it sends ("To: … piece index=N, …") and every piece
    # that failed its hash ("we got wrong piece").
    seeder = Player(lab, players, "aria2", args.file_name, args.size, swarm.events, work=seeder_work,
                    torrent_path=os.path.join(lab.data, args.file_name + ".torrent"), seed_unverified=True,
                    verbose=True)
    swarm.players.append(seeder)
    try:
        swarm.ready([seeder])
        # Placed once the player made its folder afresh, before its aria2c starts.
        os.makedirs(os.path.join(seeder_work, "out"), exist_ok=True)
        piece = corrupt_piece(os.path.join(lab.data, args.file_name),
                              os.path.join(seeder_work, "out", args.file_name), args.piece_length)
        swarm.go([seeder])
        swarm.pump(lambda: "done" in seeder.state or "failed" in seeder.state, 60)
        group = [swarm.add(i, kind, **({"verbose": True} if kind == "aria2" else {})) for i in range(players)]
        swarm.ready(group)
        seeder_tx = lab.tx_bytes(seeder.ns)
        start = swarm.go(group)
        swarm.pump(swarm.finished(group), args.timeout)
        bad = check_files(lab, args, group)
        if kind == "aria2":
            failures = sum(count_lines(os.path.join(p.work, "aria2.log"), "we got wrong piece") for p in group)
        else:
            # libtorrent's ban of the peer behind a failed piece, as the engine logs it.
            failures = sum(count_lines(engine_log(p), "banned") for p in group)
        done = [p for p in group if "done" in p.state]
        return {"ok": not bad and len(done) == players, "piece": piece, "hash_failures": failures, "bad": bad,
                "seeder_sent": lab.tx_bytes(seeder.ns) - seeder_tx,
                "sent_altered": count_lines(os.path.join(seeder_work, "aria2.log"), f" piece index={piece},"),
                "seeder_altered": not same_file(os.path.join(seeder_work, "out", args.file_name),
                                                os.path.join(lab.data, args.file_name)),
                "last": max((p.state["done"]["t"] - start for p in done), default=0)}
    finally:
        swarm.stop_all()


def tracker_down(lab, args, players, kind="aria2"):
    lab.stop_tracker()
    try:
        swarm = Swarm(lab, args)
        group = [swarm.add(i, kind) for i in range(players)]
        try:
            swarm.ready(group)
            mark = lab.log_mark()
            start = swarm.go(group)
            swarm.pump(swarm.finished(group), args.timeout)
            bad = check_files(lab, args, group)
            done = [p for p in group if "done" in p.state]
            return {"ok": not bad and len(done) == players, "bad": bad,
                    "last": max((p.state["done"]["t"] - start for p in done), default=0),
                    "origin": lab.origin_bytes(mark, suffix=args.file_name),
                    "first_request": swarm.first_requests(mark, group)}
        finally:
            swarm.stop_all()
    finally:
        lab.start_tracker(lab.info_hashes)


# ---- the report ----

def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def mib(n):
    return f"{n / MIB:.1f}"


def write_report(args, cap, results, path):
    size = args.size
    players = args.players
    lines = ["# Swarm lab", "",
             f"Machine: {machine()}. Load average at the start {results['load_start']}, at the end "
             f"{results.get('load_end') or load_average()} (the machine is shared with other builds; figures move with it).", "",
             "Run: `" + " ".join(["bash bench/swarm/run.sh"] + args.passed) + "`.", "",
             f"Each player in its own network namespace, the origin (nginx and opentracker) in one more, all on "
             f"one bridge; no route out. The origin's uplink is capped with `tc tbf` at "
             f"{args.rate:g} MB/s (burst {args.burst // 1024} KiB); measured through the cap: "
             f"{cap / MB:.2f} MB/s. netem is not available on this machine, so there is no added delay "
             f"or loss: the only limit is the cap. Players' links are "
             f"{'capped at %g MB/s' % args.player_rate if args.player_rate else 'uncapped'}. "
             f"The game file: {mib(size)} MiB of random bytes, with its torrent beside it made by "
             f"`tev-publish torrent` (v1, piece {args.piece_length // 1024} KiB, the origin's URL as web seed, "
             f"the origin's opentracker, private) and named by a Link header on the file's answers (nginx, "
             f"the lines of docs/publishing.md). Our engine: `TEVDownloadV32` (Release), started fresh in "
             f"each player's namespace and driven over its protocol by bench/engine_bench.py's client, one "
             f"job of one file, mode 2; sharing off (`config/sharing.conf`: `sharing=off`) is the baseline, "
             f"sharing on (`sharing=on`, `listen=` the player's address:6881, `upload_kib=1000000`, "
             f"`ratio=1000`, `minutes=600`: it shares until the lab stops it, as aria2c does) the same build "
             f"with peers. aria2c {aria2_version()}: "
             f"`--enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false "
             f"--seed-ratio=0.0 --bt-tracker-interval=5`, otherwise its defaults, with the same torrent. "
             f"(The torrent is v1 rather than hybrid partly for aria2 1.36, which derives another info hash "
             f"from a hybrid torrent than its v1 hash and so would meet nobody; docs/publishing.md gives "
             f"the hashing figures.) aria2c and the engine with sharing on keep seeding after completion: "
             f"a player is done when its file is complete. Origin bytes are what nginx's log says it sent "
             f"for the game file (headers included). Every player's file is compared byte for byte with "
             f"the origin's.", ""]
    if "swarm" in results:
        rows = results["swarm"]
        lines += [f"## {players} players × {mib(size)} MiB, origin capped at {args.rate:g} MB/s", "",
                  f"Medians of {args.rounds} interleaved rounds (the kinds in rotated order each round). "
                  f"Ideal for HTTP only: {players} × the file through the cap = "
                  f"{players * size / cap:.1f} s.", "",
                  "| players | last done (s) | median player (s) | first done (s) | origin bytes (× file) | "
                  "CPU per player (s) | peak RSS per player (MiB) | files identical |",
                  "|---|---|---|---|---|---|---|---|"]
        labels = KINDS
        for kind in args.kinds:
            runs = rows.get(kind)
            if not runs:
                continue
            lines.append(
                f"| {labels[kind]} | {median([r['last'] for r in runs]):.2f} | "
                f"{median([r['median'] for r in runs]):.2f} | {median([r['times'][0] for r in runs]):.2f} | "
                f"{median([r['origin'] for r in runs]) / size:.2f} | "
                f"{median([median(r['cpu']) for r in runs]):.2f} | "
                f"{max(max(r['rss']) for r in runs):.1f} | "
                f"{'yes' if all(r['identical'] for r in runs) else 'NO'} |")
        if "peers" not in args.kinds:
            lines.append(f"| {KINDS['peers']} | {PEERS_NOT_YET} | | | | | | |")
        lines += ["", "Per round (last done in s, origin bytes × file): " + "; ".join(
            f"{kind} " + ", ".join(f"{r['last']:.1f} s / {r['origin'] / size:.2f}" for r in rows.get(kind, []))
            for kind in args.kinds if rows.get(kind)) + ".", ""]
        if rows.get("peers"):
            lines += [sources_text(rows["peers"], size), ""]
    if "late" in results:
        lines += ["## Late joiner", "",
                  "Four players fetch the file together and finish (aria2c's keep seeding); then a fifth "
                  "starts alone. Origin bytes: what nginx sent to the fifth's address.", "",
                  "| players | origin bytes for the 5th (MiB) | × file | the 5th's time (s) | identical |",
                  "|---|---|---|---|---|"]
        labels = KINDS
        for kind, r in results["late"].items():
            lines.append(f"| {labels[kind]} | {mib(r['origin'])} | {r['origin'] / size:.2f} | {r['time']:.2f} | "
                         f"{'yes' if r['identical'] else 'NO'} |")
        if "peers" not in args.kinds:
            lines.append(f"| {KINDS['peers']} | {PEERS_NOT_YET} | | | |")
        lines.append("")
    if "faults" in results:
        lines += ["## Faults", "", "| fault | players | result | what was seen |", "|---|---|---|---|"]
        for row in results["faults"]:
            result = row.get("result") or ("pass" if row["ok"] else "FAIL")
            lines.append(f"| {row['name']} | {row['who']} | {result} | {row['seen']} |")
        if "peers" not in args.kinds:
            lines.append(f"| the origin stops once it has sent every byte of the file once | {KINDS['peers']} | "
                         f"{PEERS_NOT_YET} | |")
        lines.append("")
    if "solo" in results:
        lines += ["## One player alone", "",
                  f"One player, no other peer, the origin capped at {args.rate:g} MB/s; medians of "
                  f"{args.rounds} interleaved rounds. Peak anonymous memory: the highest RssAnon sampled every "
                  f"20 ms (mapped file pages do not count, buffered pieces do).", "",
                  "| player | time (s) | CPU (s) | CPU per GiB (s) | peak RSS (MiB) | peak anonymous (MiB) | "
                  "identical |", "|---|---|---|---|---|---|---|"]
        for kind, runs in results["solo"].items():
            cpu = median([r["cpu"][0] for r in runs])
            lines.append(f"| {KINDS[kind]} | {median([r['last'] for r in runs]):.2f} | {cpu:.2f} | "
                         f"{cpu * GIB / size:.2f} | {max(r['rss'][0] for r in runs):.1f} | "
                         f"{max(r['anon'][0] or 0 for r in runs):.1f} | "
                         f"{'yes' if all(r['identical'] for r in runs) else 'NO'} |")
        lines.append("")
    lines += ["## Targets", "", f"Of this run ({players} players × {mib(size)} MiB, origin capped at "
              f"{args.rate:g} MB/s); the baseline is the same engine with sharing off."
              + ("" if "peers" in args.kinds else f" Sharing on is {PEERS_NOT_YET}."), ""]
    lines += [f"- {verdict}: {text}" for verdict, text in targets(args, results)]
    lines.append("")
    if "swarm" in results and results["swarm"].get("engine"):
        lines += ["## Where the time goes", "", where_time_goes(args, cap, results), ""]
    if results.get("notes"):
        lines += ["## Notes", ""] + [f"- {n}" for n in results["notes"]] + [""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def targets(args, results):
    """The issue's targets, each (PASS | FAIL | not measured, what was measured)."""
    size = args.size
    out = []
    missing = "not measured"

    def line(ok, text):
        out.append(("PASS" if ok else "FAIL", text))

    swarm = results.get("swarm", {})
    peers, engine, aria2 = swarm.get("peers"), swarm.get("engine"), swarm.get("aria2")
    if peers and engine:
        p_origin = median([r["origin"] for r in peers]) / size
        e_origin = median([r["origin"] for r in engine]) / size
        p_last = median([r["last"] for r in peers])
        e_last = median([r["last"] for r in engine])
        line(p_origin <= 1.5, f"bytes the origin sends ≤ 1.5× the file: {p_origin:.2f}× (sharing off: {e_origin:.2f}×)")
        line(p_last <= 0.3 * e_last, f"the last player done in ≤ 0.3× the sharing-off time: {p_last:.1f} s of "
             f"{e_last:.1f} s = {p_last / e_last:.2f}×")
        if aria2:
            a_origin = median([r["origin"] for r in aria2]) / size
            a_last = median([r["last"] for r in aria2])
            line(p_origin < a_origin and p_last < a_last,
                 f"both better than aria2c's: origin {p_origin:.2f}× against {a_origin:.2f}×, last done "
                 f"{p_last:.1f} s against {a_last:.1f} s")
        else:
            out.append(("not measured", "better than aria2c's (aria2c not among the kinds)"))
        if not all(r["identical"] for r in peers):
            line(False, "every player's file byte-identical in the swarm rounds")
    else:
        out.append((missing, "the swarm row's origin bytes, time and comparison with aria2c"))
    solo = results.get("solo", {})
    if solo.get("peers") and solo.get("engine"):
        on, off = solo["peers"], solo["engine"]
        t_on, t_off = median([r["last"] for r in on]), median([r["last"] for r in off])
        c_on, c_off = median([r["cpu"][0] for r in on]), median([r["cpu"][0] for r in off])
        anon = max(r["anon"][0] or 0 for r in on)
        line(t_on <= 1.05 * t_off, f"one player alone within 5% of sharing off: {t_on:.2f} s against {t_off:.2f} s")
        line(c_on <= 1.3 * c_off, f"one player's CPU per GiB at most 1.3× sharing off: {c_on * GIB / size:.2f} s "
             f"against {c_off * GIB / size:.2f} s")
        line(anon < 128, f"one player's peak anonymous memory < 128 MiB: {anon:.1f} MiB")
    else:
        out.append((missing, "one player alone against sharing off (row solo)"))
    rows = {(r.get("kind"), r.get("fault")): r for r in results.get("faults", [])}
    covered = rows.get(("peers", "covered"))
    if covered:
        line(covered["ok"], "the origin stopped once it had sent every byte once: every player finishes "
             f"byte-identical ({covered['r']['early_done']} done before, {covered['r']['without_origin']} from "
             f"peers after)")
    else:
        out.append((missing, "the origin stopped once the players together hold the file"))
    kill = rows.get(("peers", "kill"))
    if kill and kill["r"]["refetched"] is not None:
        line(kill["ok"] and kill["r"]["refetched"] <= CHECKPOINT_BYTES,
             f"a player killed -9 at 50% fetches again at most one checkpoint interval ({mib(CHECKPOINT_BYTES)} MiB): "
             f"it received {mib(kill['r']['refetched'])} MiB more than the median other player")
    elif kill:
        line(False, "a player killed -9 at 50%: it did not finish")
    else:
        out.append((missing, "a player killed -9 at 50%"))
    tracker = rows.get(("peers", "tracker"))
    if tracker and engine:
        first = max(tracker["r"]["first_request"], default=float("inf"))
        e_first = median([max(r["first_request"], default=float("nan")) for r in engine])
        e_last = median([r["last"] for r in engine])
        line(tracker["ok"] and first <= e_first + 0.5 and tracker["r"]["last"] <= 1.05 * e_last,
             f"a dead tracker delays no HTTP range: the last first request {first:.2f} s after the start "
             f"(sharing off: {e_first:.2f} s), the last player done in {tracker['r']['last']:.1f} s (sharing off: "
             f"{e_last:.1f} s)")
    else:
        out.append((missing, "a dead tracker delays no HTTP range"))
    return out


def sources_text(runs, size):
    """Sharing on: where the players' bytes came from, by their engines' logs."""
    parts = []
    for r in runs:
        logged = [x for x in r.get("sources", []) if x]
        if not logged:
            parts.append("no engine logged its sources")
            continue
        peers = sum(x[1] for x in logged)
        parts.append(f"{peers / (len(logged) * size) * 100:.0f}% from peers "
                     f"({len(logged)} of {len(r.get('sources', []))} engines logged it)")
    return "Sharing on, the bytes the players received from peers by their engines' logs, per round: " + \
        "; ".join(parts) + "."


def where_time_goes(args, cap, results):
    size, players = args.size, args.players
    rows = results["swarm"]
    engine = rows["engine"]
    last = median([r["last"] for r in engine])
    ideal = players * size / cap
    first = median([r["times"][0] for r in engine])
    cpu = median([median(r["cpu"]) for r in engine])
    text = (f"HTTP only, every byte of every player crosses the origin's capped uplink: "
            f"{players} × {mib(size)} MiB at {cap / MB:.1f} MB/s is {ideal:.1f} s, and the last engine "
            f"finished in {last:.1f} s ({last / ideal * 100:.0f}% of that floor; the first at {first:.1f} s, "
            f"the median player at {median([r['median'] for r in engine]):.1f} s). "
            f"Each engine spent {cpu:.2f} s of CPU for its {mib(size)} MiB, so neither the players' "
            f"CPU nor their links limit this row: the origin's uplink does, and only fewer bytes from "
            f"the origin can make it faster.")
    shared = {}
    for kind, who, hashing in (("peers", "Our engine with sharing on", "it hashes the pieces it "
                                "offers and those peers send"),
                               ("aria2", "aria2c with the torrent", "it hashes every piece it receives")):
        if not rows.get(kind):
            continue
        r = rows[kind]
        k_last = median([x["last"] for x in r])
        k_origin = median([x["origin"] for x in r]) / size
        k_cpu = median([median(x["cpu"]) for x in r])
        shared[kind] = k_last
        text += (f" {who} took {k_origin:.2f}× the file from the origin and its last "
                 f"player finished in {k_last:.1f} s ({k_last / ideal * 100:.0f}% of the HTTP floor; the "
                 f"floor for the bytes it did take from the origin is {k_origin * size / cap:.1f} s); each "
                 f"spent {k_cpu:.2f} s of CPU ({hashing}).")
    if shared:
        best = min(shared, key=shared.get)
        text += (f" The best row is {'ours with sharing on' if best == 'peers' else 'aria2c' + chr(39) + 's'}: "
                 "peers serve each other from their uncapped links, so its time is set by how fast "
                 "pieces spread between peers and how much of the file it still fetches from the "
                 "origin, over the capped uplink.")
    return text


def aria2_version():
    try:
        return subprocess.run(["aria2c", "--version"], capture_output=True, text=True).stdout.split()[2]
    except (OSError, IndexError):
        return "?"


# ---- main ----

def prepare(lab, args):
    """The game file and its torrent, published as a publisher would: `tev-publish torrent` writes
    game.bin.torrent beside it; the tracker admits its info hash."""
    os.makedirs(lab.data, exist_ok=True)
    os.chmod(lab.work, 0o755)
    os.chmod(lab.data, 0o755)
    path = os.path.join(lab.data, args.file_name)
    make_file(path, args.size)
    url = f"http://{lab.origin}/{args.file_name}"
    tracker_url = f"http://{lab.origin}:6969/announce"
    listing = os.path.join(lab.work, "filelist.txt")
    with open(listing, "w") as f:
        f.write(url + "\n")
    # The origin is plain http inside the lab's own namespaces.
    result = sh(args.publisher, "torrent", "--for-test", "--tracker", tracker_url, listing, path)
    made = torrent.read(path + ".torrent")
    if f"(info hash {made['info_hash']})" not in result.stdout:
        raise LabError(f"tev-publish printed another info hash: {result.stdout.strip()}")
    if made["length"] != args.size or made["web_seeds"] != [url] or made["trackers"] != [tracker_url] \
            or not made["private"]:
        raise LabError(f"the published torrent does not describe the lab's file: {made}")
    args.piece_length = made["piece_length"]
    for entry in os.listdir(lab.data):
        os.chmod(os.path.join(lab.data, entry), 0o644)
    lab.info_hashes = [made["info_hash"]]


def run_lab(args):
    if args.work:
        work = os.path.abspath(args.work)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
    else:
        # A fresh folder no other user can have prepared; nginx's and opentracker's workers
        # (nobody) need to pass through it.
        work = tempfile.mkdtemp(prefix=f"tev-swarm-{args.run_id}-")
    # One namespace more than the players: the late joiner's fifth, or the corrupt seeder.
    namespaces = max(args.players + 1, 5 if "late" in args.rows else 0)
    lab = Lab(args.run_id, work, namespaces, args.rate * MB, args.burst,
              args.player_rate * MB if args.player_rate else None)
    results = {"load_start": load_average()}
    try:
        lab.up()
        prepare(lab, args)
        lab.start_nginx()
        lab.check_link(args.file_name)
        lab.start_tracker(lab.info_hashes)
        cap = lab.measure_cap(args.calibrate_seconds)
        print(f"Origin cap {args.rate:g} MB/s measured at {cap / MB:.2f} MB/s", flush=True)
        if abs(cap / (args.rate * MB) - 1) > 0.05:
            raise LabError(f"the cap gives {cap / MB:.2f} MB/s, not {args.rate:g} MB/s within 5% "
                           f"(try another --burst; the machine may be too busy)")
        if "swarm" in args.rows:
            results["swarm"] = {k: [] for k in args.kinds}
            for r in range(args.rounds):
                order = args.kinds[r % len(args.kinds):] + args.kinds[:r % len(args.kinds)]
                for kind in order:
                    result = swarm_round(lab, args, kind, args.players)
                    results["swarm"][kind].append(result)
                    print(f"  round {r + 1}/{args.rounds} {kind}: last {result['last']:.2f} s, origin "
                          f"{result['origin'] / args.size:.2f}× the file, identical {result['identical']}", flush=True)
        if "solo" in args.rows and "peers" in args.kinds:
            results["solo"] = {k: [] for k in args.kinds if k in ("engine", "peers")}
            solo_kinds = list(results["solo"])
            for r in range(args.rounds):
                for kind in solo_kinds[r % len(solo_kinds):] + solo_kinds[:r % len(solo_kinds)]:
                    result = swarm_round(lab, args, kind, 1)
                    results["solo"][kind].append(result)
                    print(f"  solo round {r + 1}/{args.rounds} {kind}: {result['last']:.2f} s, CPU "
                          f"{result['cpu'][0]:.2f} s, anonymous {result['anon'][0] or 0:.1f} MiB", flush=True)
        if "late" in args.rows:
            results["late"] = {}
            for kind in args.kinds:
                r = late_joiner(lab, args, kind)
                results["late"][kind] = r
                print(f"  late joiner {kind}: origin {r['origin'] / args.size:.2f}× the file, "
                      f"{r['time']:.2f} s", flush=True)
        if "faults" in args.rows:
            results["faults"] = faults(lab, args)
        if args.ci:
            return ci_verdict(args, results)
        if args.no_peers_note:
            results.setdefault("notes", []).append(args.no_peers_note)
        results["load_end"] = load_average()
        if args.save:
            with open(args.save, "w") as f:
                json.dump({"args": {k: v for k, v in vars(args).items()}, "cap": cap, "results": results}, f)
        write_report(args, cap, results, args.output)
        print(f"Wrote {args.output}")
        return 0
    finally:
        lab.stop_nginx()
        lab.stop_tracker()
        teardown(args.run_id)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def faults(lab, args):
    rows = []
    kinds = [k for k in args.kinds if not args.fault_kinds or k in args.fault_kinds]
    if "engine" in kinds and "origin-stop" in args.faults:
        origin_stop_row(lab, args, rows)
    if "peers" in kinds and "covered" in args.faults:
        covered_row(lab, args, rows)
    for kind in ("engine", "peers"):
        if kind in kinds and "kill" in args.faults:
            kill_row(lab, args, rows, kind)
    for kind in ("aria2", "peers"):
        if kind in kinds and "corrupt" in args.faults:
            corrupt_row(lab, args, rows, kind)
    for kind in ("aria2", "peers"):
        if kind in kinds and "tracker" in args.faults:
            tracker_row(lab, args, rows, kind)
    return rows


def who(kind, n):
    return f"{n} × {KINDS[kind]}"


def identical(bad):
    return "yes" if not bad else "NO " + str(bad)


def origin_stop_row(lab, args, rows):
    size, n = args.size, args.players
    r = origin_stops(lab, args, n)
    rows.append({"name": "the origin stops at 50% (nginx ended; started again after the engines reacted)",
                 "kind": "engine", "fault": "origin-stop", "who": who("engine", n), "ok": r["ok"],
                 "seen": (f"stopped at {r['stopped_at']:.1f} s with {mib(r['on_disk'])} of {mib(n * size)} MiB on "
                          f"disk; " + "; ".join(r["seen"]) + f"; completed after the stop with the origin's "
                          f"bytes (still on their way at the stop): {r['without_origin']}; files reported "
                          f"complete after the stop that differ from the origin's: {r['false_done']}; with the origin back and the jobs sent again (resume yes), the "
                          f"last finished {r['after_restart']:.1f} s later, files identical: {identical(r['bad'])}")})
    print(f"  origin stops: {'pass' if r['ok'] else 'FAIL'}", flush=True)


def covered_row(lab, args, rows):
    size, n = args.size, args.players
    r = origin_stops(lab, args, n, kind="peers", when="covered")
    rows.append({"name": "the origin stops once it has sent every byte of the file once (nginx ended)",
                 "kind": "peers", "fault": "covered", "who": who("peers", n), "ok": r["ok"], "r": r,
                 "seen": (f"stopped at {r['stopped_at']:.1f} s, the origin having sent {r['sent'] / size:.2f}× the "
                          f"file; done before the stop: {r['early_done']}, done from peers alone after it: "
                          f"{r['without_origin']} of {n - r['early_done']}"
                          + (f" (the last {r['done_after_stop']:.1f} s after the stop)" if r['without_origin'] else "")
                          + ("; " + "; ".join(r["seen"]) if r["seen"] else "")
                          + f"; files identical: {identical(r['bad'])}")})
    print(f"  origin stops once covered: {'pass' if r['ok'] else 'FAIL'}", flush=True)


def kill_row(lab, args, rows, kind):
    size, n = args.size, args.players
    r = kill_one(lab, args, n, kind)
    refetched = (f"it received {mib(r['refetched'])} MiB more than the median other player (held "
                 f"{mib(r['on_disk'])} MiB on disk at the kill; its first progress after the restart said "
                 f"{mib(r['kept'] or 0)} MiB)" if r["refetched"] is not None else "it did not finish")
    rows.append({"name": "one player's engine killed -9 at 50% and started again", "kind": kind,
                 "fault": "kill", "who": who(kind, n), "ok": r["ok"], "r": r,
                 "seen": (f"{refetched}; the origin sent that player {mib(r['fetched'])} MiB in all; files "
                          f"identical: {identical(r['bad'])}" + (f"; {r['reason']}" if r['reason'] else ""))})
    print(f"  kill -9 ({kind}): {'pass' if r['ok'] else 'FAIL'}", flush=True)


def corrupt_row(lab, args, rows, kind):
    n = args.players
    r = corrupt_seeder(lab, args, n, kind)
    what = "pieces that failed their hash in the players' logs" if kind == "aria2" else \
        "peers banned in the engines' logs"
    rows.append({"name": "a corrupt seeder (one altered piece) in the swarm", "kind": kind, "fault": "corrupt",
                 "who": f"{who(kind, n)} + 1 aria2c seeding unverified", "ok": r["ok"], "r": r,
                 "result": None if not r["ok"] or r["sent_altered"] else "pass, not exercised",
                 "seen": (f"piece {r['piece']} altered; runs until the seeder sent it: {r['attempts']}; the "
                          f"seeder's copy still altered at the end: {'yes' if r['seeder_altered'] else 'NO'}; "
                          f"in the last the seeder sent {mib(r['seeder_sent'])} MiB, of them "
                          f"{r['sent_altered']} block(s) of the altered piece; {what}: {r['hash_failures']}"
                          + (" (no player took the altered piece from the seeder, so the check was not "
                             "exercised)" if not r["sent_altered"] else "") + "; "
                          f"last done at {r['last']:.1f} s; files identical: {identical(r['bad'])}")})
    print(f"  corrupt seeder ({kind}): {'pass' if r['ok'] else 'FAIL'} ({r['sent_altered']} altered blocks sent, "
          f"{r['hash_failures']} failures logged, {r['attempts']} runs)", flush=True)


def tracker_row(lab, args, rows, kind):
    size, n = args.size, args.players
    r = tracker_down(lab, args, n, kind)
    first = max(r["first_request"], default=float("nan"))
    rows.append({"name": "the tracker down from the start", "kind": kind, "fault": "tracker", "who": who(kind, n),
                 "ok": r["ok"], "r": r,
                 "seen": (f"every player finished from the {'web seed' if kind == 'aria2' else 'origin'} alone in "
                          f"{r['last']:.1f} s, origin bytes "
                          f"{r['origin'] / size:.2f}× the file; the last player's first request reached the "
                          f"origin {first:.2f} s after the start; files identical: {identical(r['bad'])}")})
    print(f"  tracker down ({kind}): {'pass' if r['ok'] else 'FAIL'}", flush=True)


def ci_verdict(args, results):
    """The integration test: every file identical (checked in each row), an HTTP-only engine's
    origin bytes are the players' files and little more, and aria2c completes with the torrent."""
    engine = results["swarm"]["engine"][0]
    expected = args.players * args.size
    if not expected <= engine["origin"] <= expected * 1.02:
        print(f"FAIL: the origin sent {engine['origin']} bytes for {args.players} HTTP-only engines of "
              f"{args.size} bytes each", flush=True)
        return 1
    # With sharing on the origin never sends more than every player's file: peers only save.
    for r in results["swarm"].get("peers", []):
        if r["origin"] > expected * 1.02:
            print(f"FAIL: the origin sent {r['origin']} bytes for {args.players} engines sharing "
                  f"{args.size} bytes each", flush=True)
            return 1
    print(f"PASS: {args.players} engines, last done in {engine['last']:.2f} s, origin "
          f"{engine['origin'] / args.size:.2f}× the file; "
          + "; ".join(f"{kind}: " + ", ".join(f"last {r['last']:.2f} s, origin {r['origin'] / args.size:.2f}×"
                                              for r in results["swarm"].get(kind, []))
                      for kind in ("peers", "aria2") if results["swarm"].get(kind))
          + ("" if "peers" in args.kinds else f" ({args.no_peers_note})"), flush=True)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="the TEVDownloadV32 binary")
    parser.add_argument("--publisher",
                        help="tev-publish, which makes the torrent (default: the program's build's)")
    parser.add_argument("--players", type=int, default=8)
    parser.add_argument("--size-mib", type=float, default=256)
    parser.add_argument("--rate", type=float, default=25, help="the origin's uplink cap, MB/s (10^6 bytes)")
    parser.add_argument("--player-rate", type=float, help="cap each player's link too, MB/s")
    parser.add_argument("--burst", type=int, default=256 * 1024,
                        help="tbf burst in bytes (at least 64 KiB on a veth, which sends GSO packets)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--assume-peer-source", action="store_true",
                        help="run the sharing-on rows even though the engine does not link libtorrent "
                             "(to try the lab itself: such an engine fetches over HTTP alone)")
    parser.add_argument("--rows", default="swarm,solo,late,faults")
    parser.add_argument("--faults", default="origin-stop,covered,kill,corrupt,tracker",
                        help="the fault rows: origin-stop (sharing off), covered (sharing on), kill (both); "
                             "corrupt, tracker (aria2c and sharing on)")
    parser.add_argument("--fault-kinds", default="",
                        help="run the fault rows for these kinds only (default: every kind of --kinds)")
    parser.add_argument("--kinds", default="engine,peers,aria2",
                        help="players in the rows: engine (sharing off), peers (sharing on), aria2; peers is "
                             "left out when the engine build has no peer source")
    parser.add_argument("--timeout", type=float, default=900, help="seconds a swarm may take")
    parser.add_argument("--stall-timeout", type=float, default=60,
                        help="seconds the engines get to react once the origin stops")
    parser.add_argument("--calibrate-seconds", type=float, default=3)
    parser.add_argument("--run-id", type=int, default=os.getpid(), help="names carry it (run.sh's pid)")
    parser.add_argument("--work", help="the lab's folder (default: a temporary folder named after the run id)")
    parser.add_argument("--keep", action="store_true", help="keep the lab's folder")
    parser.add_argument("--output", default=os.path.join(HERE, "..", "SWARM.md"))
    parser.add_argument("--ci", action="store_true",
                        help="the integration test: 3 players, 16 MiB, one round of the swarm row")
    parser.add_argument("--cleanup", action="store_true", help="only remove the run id's namespaces")
    parser.add_argument("--save", help="also write the run's figures to this JSON file")
    parser.add_argument("--report-from", help="write the report from a JSON file of --save, without a run")
    args = parser.parse_args()
    # The command line as a reader would type it: run.sh adds the engine and the run id.
    args.passed, skip = [], False
    for a in sys.argv[1:]:
        if skip:
            skip = False
        elif a in ("--program", "--publisher", "--run-id", "--save"):
            skip = True
        elif not a.startswith(("--program=", "--publisher=", "--run-id=", "--save=")):
            args.passed.append(a)
    if args.cleanup:
        teardown(args.run_id)
        return 0
    if args.report_from:
        # The report again from a saved run's figures (its words changed, not its numbers).
        with open(args.report_from) as f:
            saved = json.load(f)
        for key, value in saved["args"].items():
            if key not in ("output", "report_from"):
                setattr(args, key, value)
        write_report(args, saved["cap"], saved["results"], args.output)
        return 0
    if args.ci:
        args.players, args.size_mib, args.rounds, args.rows = 3, 16, 1, "swarm"
        args.rate, args.calibrate_seconds, args.timeout = 20, 1, 90
    if not 1 <= args.players <= 200 or args.size_mib <= 0 or args.rate <= 0 or args.rounds < 1:
        parser.error("players 1 to 200; size, rate and rounds above 0")
    if args.burst < 64 * 1024:
        parser.error("--burst: at least 64 KiB (a veth hands tbf GSO packets of up to 64 KiB)")
    args.program = os.path.abspath(args.program)
    args.size = int(args.size_mib * MIB)
    args.rows = [r for r in args.rows.split(",") if r]
    args.kinds = [k for k in args.kinds.split(",") if k]
    args.faults = [k for k in args.faults.split(",") if k]
    args.fault_kinds = [k for k in args.fault_kinds.split(",") if k]
    if not set(args.kinds) <= set(KINDS) or "engine" not in args.kinds:
        parser.error("--kinds: engine, optionally with peers and aria2")
    args.no_peers_note = None
    if "peers" in args.kinds and not args.assume_peer_source and not has_peer_source(args.program):
        args.kinds.remove("peers")
        args.no_peers_note = f"sharing-on rows left out: {PEERS_NOT_YET}"
        print(f"Note: {args.no_peers_note}", flush=True)
    args.publisher = os.path.abspath(args.publisher or os.path.join(
        os.path.dirname(os.path.dirname(args.program)), "tools", "publish", "tev-publish"))
    args.file_name = "game.bin"
    args.piece_length = 0  # the published torrent's
    needs_aria2 = "aria2" in args.kinds or ("peers" in args.kinds and "corrupt" in args.faults)
    missing = [t for t in ("ip", "tc", "nginx", "opentracker", "curl", "cmp", "ldd") + (("aria2c",) if needs_aria2 else ())
               if not shutil.which(t)]
    if not os.access(args.publisher, os.X_OK):
        missing.append(args.publisher)
    # Sweep first: a run killed with -9 left its namespaces and folder.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda s, _: sys.exit(128 + s))
    if os.geteuid() != 0:
        print("SKIPPED: not root, so the lab cannot make network namespaces", flush=True)
        return SKIP if args.ci else 1
    if "ip" in missing:
        print("SKIPPED: iproute2 (ip) is not installed, so the lab cannot make network namespaces", flush=True)
        return SKIP if args.ci else 1
    if missing:
        print(f"FAIL: missing {', '.join(missing)} (bash scripts/install-deps.sh installs them)", flush=True)
        return 1
    sweep_stale()
    try:
        return run_lab(args)
    except PermissionError as e:
        print(f"SKIPPED: {e}", flush=True)
        return SKIP if args.ci else 1
    except LabError as e:
        print(f"FAIL: {e}", flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
