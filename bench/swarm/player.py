#!/usr/bin/env python3
"""One player of the swarm lab, run inside the player's own network namespace by swarm.py.

Runs one downloader, either our engine (TEVDownloadV32, driven over its protocol by
bench/engine_bench.py's client) or aria2c with the game file's torrent, and speaks to the lab in
lines: it reads commands on standard input ("go", "resume", "stop") and writes events as JSON
lines on standard output ("ready", "started", "progress", "failed", "killed", "done", "exit").
Times are CLOCK_MONOTONIC, which every namespace of the machine shares, so the lab compares them
with its own.
"""
import argparse
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

# Runs from the source tree (ctest too): no bytecode left beside the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from engine_bench import CATEGORY, LIST_CATEGORY, EngineClient, file_list  # noqa: E402

_out_lock = threading.Lock()


def emit(event, **fields):
    fields["event"] = event
    fields.setdefault("t", time.monotonic())
    with _out_lock:
        sys.stdout.write(json.dumps(fields) + "\n")
        sys.stdout.flush()


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return None


def peak_rss_mib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def rss_anon_mib(pid):
    """Anonymous resident memory now (mapped file pages do not count; buffers do)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


class AnonPeak:
    """The highest RssAnon of a process, sampled every 20 ms on a thread of its own (the kernel
    keeps a peak of the whole RSS only)."""

    def __init__(self):
        self.peak = 0.0
        self.pid = None
        threading.Thread(target=self._run, daemon=True).start()

    def watch(self, pid):
        self.pid = pid

    def _run(self):
        while True:
            pid = self.pid
            if pid:
                value = rss_anon_mib(pid)
                if value is not None:
                    self.peak = max(self.peak, value)
            time.sleep(0.02)


def on_disk(path):
    try:
        return os.stat(path).st_blocks * 512
    except OSError:
        return 0


class Commands:
    """Standard input, read on a thread of its own so that a wait can also watch a process."""

    def __init__(self):
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in sys.stdin:
            with self.cond:
                self.lines.append(line.strip())
                self.cond.notify_all()
        with self.cond:
            self.lines.append("stop")
            self.cond.notify_all()

    def next(self, timeout=None):
        with self.cond:
            if not self.lines:
                self.cond.wait(timeout)
            return self.lines.pop(0) if self.lines else None


class EnginePlayer:
    """Our engine, started fresh with its own data folder and port; one job, the game file."""

    def __init__(self, args):
        self.args = args
        self.process = None
        self.client = None
        self.job = 0
        self.out = os.path.join(args.work, "out")
        os.makedirs(self.out, exist_ok=True)
        self.cpu_before_restart = 0.0
        self.rss_before_restart = 0.0
        self.anon = AnonPeak()

    def write_sharing(self, data_home):
        """The engine folder's sharing settings, written before every start: off for the HTTP-only
        baseline; on for the peer-assisted player, listening on its namespace's address only,
        sharing until the lab stops it (as aria2c seeds until then) with the highest upload cap
        the engine takes, so that the cap is the origin's alone."""
        folder = os.path.join(data_home, "Velmor", "tevDownloadV32", "config")
        os.makedirs(folder, exist_ok=True)
        if self.args.sharing == "on":
            text = (f"sharing=on\nlisten={self.args.listen}:6881\nratio=1000\nminutes=600\n"
                    f"upload_kib=1000000\n")
        else:
            text = "sharing=off\n"
        with open(os.path.join(folder, "sharing.conf"), "w") as f:
            f.write(text)

    def start_engine(self):
        env = dict(os.environ)
        env.update({"TEV_ENGINE_PORT": str(self.args.port), "HOME": self.args.work,
                    "XDG_DATA_HOME": os.path.join(self.args.work, "engine-data"),
                    "XDG_RUNTIME_DIR": os.path.join(self.args.work, "run"),
                    "TEV_ENGINE_IDLE_SECONDS": "3600"})
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        self.write_sharing(env["XDG_DATA_HOME"])
        read_end, write_end = os.pipe()
        env["TEV_READY_FD"] = str(write_end)
        self.process = subprocess.Popen([self.args.program], env=env, pass_fds=(write_end,))
        os.close(write_end)
        ready = os.read(read_end, 1)
        os.close(read_end)
        self.anon.watch(self.process.pid)
        if not ready or self.process.poll() is not None:
            raise RuntimeError("the engine did not become ready")
        self.client = EngineClient(self.args.port)
        self.client.sock.settimeout(None)

    def send_job(self, resume):
        self.job += 1
        self.client.send(CATEGORY, 0, bytes([2]) + b"\0" * 16)
        self.client.send(LIST_CATEGORY, 14, file_list(self.job, [(self.out + "/", self.args.name, self.args.url)]))
        self.resume = resume

    def wait_job(self, kill_at=None):
        """Answers ("done", result, give_up), ("failed", text) or ("killed", bytes on disk)."""
        engine_job = 0
        part = os.path.join(self.out, self.args.name + ".tevpart")
        if kill_at is not None:
            # Progress comes once a second, too coarse to stop at a fraction: the part file is
            # watched instead, as bench/engine_bench.py does.
            self.client.sock.settimeout(0.01)
        messages = self.client.messages()
        while True:
            try:
                kind, payload = next(messages)
            except socket.timeout:
                messages = self.client.messages()
                if on_disk(part) >= kill_at * self.args.size:
                    held = on_disk(part)
                    self.cpu_before_restart = cpu_seconds(self.process.pid) or 0.0
                    self.rss_before_restart = peak_rss_mib(self.process.pid) or 0.0
                    self.process.send_signal(signal.SIGKILL)
                    self.process.wait()
                    self.client.close()
                    return ("killed", held)
                continue
            except StopIteration:
                return ("failed", "the engine closed the connection")
            if kind == 4:
                engine_job = struct.unpack_from("<I", payload, 4)[0]
            elif kind == 16:
                self.client.send(CATEGORY, 18, struct.pack("<IIBB", engine_job, self.job, 1 if self.resume else 0, 1))
            elif kind == 5:
                present = struct.unpack_from("<Q", payload, 28)[0]
                emit("progress", bytes=present)
            elif kind == 6:
                result, give_up = struct.unpack_from("<II", payload, 12)
                return ("done", result, give_up)
            elif kind == 11:
                return ("failed", payload[8:].split(b"\0")[0].decode(errors="replace"))

    def run(self, commands):
        self.start_engine()
        emit("ready", pid=self.process.pid)
        if commands.next() != "go":
            return
        emit("started")
        self.send_job(resume=True)
        kill_at = self.args.kill_at
        while True:
            outcome = self.wait_job(kill_at)
            if outcome[0] == "killed":
                kill_at = None
                emit("killed", on_disk=outcome[1])
                self.start_engine()
                self.send_job(resume=True)
                emit("restarted", pid=self.process.pid)
                continue
            if outcome[0] == "failed":
                emit("failed", reason=outcome[1])
                command = commands.next()
                if command != "resume":
                    return
                self.send_job(resume=True)
                emit("resumed")
                continue
            _, result, give_up = outcome
            emit("done", result=result, give_up=give_up,
                 cpu=(cpu_seconds(self.process.pid) or 0.0) + self.cpu_before_restart,
                 rss=max(peak_rss_mib(self.process.pid) or 0.0, self.rss_before_restart),
                 anon=self.anon.peak, file=os.path.join(self.out, self.args.name))
            commands.next()
            return

    def stop(self):
        if self.client:
            self.client.close()
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        # A sanitizer's report at exit (a leak) shows as a non-zero status.
        return self.process.returncode if self.process else None


class Aria2Player:
    """aria2c with the torrent: BitTorrent with the origin as web seed; DHT, local peer
    discovery and peer exchange off. It seeds after completion, so "done" is when its file is
    complete (its BitTorrent completion hook)."""

    def __init__(self, args):
        self.args = args
        self.process = None
        self.out = os.path.join(args.work, "out")
        os.makedirs(self.out, exist_ok=True)
        self.marker = os.path.join(args.work, "complete")
        self.hook = os.path.join(args.work, "on-complete.sh")
        with open(self.hook, "w") as f:
            f.write(f"#!/bin/sh\n: > '{self.marker}'\n")
        os.chmod(self.hook, 0o755)

    def command(self):
        a = self.args
        cmd = ["aria2c", "--no-conf=true", "--enable-dht=false", "--enable-dht6=false",
               "--bt-enable-lpd=false", "--enable-peer-exchange=false",
               "--listen-port=6881", "--seed-ratio=0.0", "--file-allocation=none",
               "--auto-file-renaming=false", "--console-log-level=error",
               "--summary-interval=0", "--download-result=hide", "--bt-tracker-interval=5",
               f"--log={os.path.join(a.work, 'aria2.log')}", f"--log-level={'info' if a.verbose else 'notice'}",
               f"--on-bt-download-complete={self.hook}", f"--dir={self.out}"]
        if a.seed_unverified:
            # A seeder with the file in place: taken as complete without checking it. (With
            # --allow-overwrite it would fetch the file again, as it has no control file.)
            cmd += ["--bt-seed-unverified=true", "--check-integrity=false"]
        else:
            cmd += ["--allow-overwrite=true"]
        return cmd + [a.torrent]

    def run(self, commands):
        emit("ready")
        if commands.next() != "go":
            return
        env = dict(os.environ, HOME=self.args.work)
        self.process = subprocess.Popen(self.command(), env=env, stdout=subprocess.DEVNULL)
        emit("started", pid=self.process.pid)
        while not os.path.exists(self.marker):
            if self.process.poll() is not None:
                emit("failed", reason=f"aria2c exited with status {self.process.returncode}")
                commands.next()
                return
            time.sleep(0.02)
        emit("done", result=1, give_up=0, cpu=cpu_seconds(self.process.pid),
             rss=peak_rss_mib(self.process.pid), file=os.path.join(self.out, self.args.name))
        # Seeds until the lab says stop.
        commands.next()

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--kind", choices=["engine", "aria2"], required=True)
    parser.add_argument("--work", required=True, help="this player's own folder")
    parser.add_argument("--name", required=True, help="the game file's name")
    parser.add_argument("--size", type=int, required=True)
    parser.add_argument("--url")
    parser.add_argument("--program", help="TEVDownloadV32")
    parser.add_argument("--port", type=int, default=38006)
    parser.add_argument("--kill-at", type=float, help="kill -9 the engine at this fraction, then restart it")
    parser.add_argument("--sharing", choices=["on", "off"], default="off",
                        help="the engine's sharing setting (on: peers and HTTP)")
    parser.add_argument("--listen", help="the address the engine takes peers on (its namespace's)")
    parser.add_argument("--torrent")
    parser.add_argument("--seed-unverified", action="store_true")
    parser.add_argument("--verbose", action="store_true", help="aria2c logs at level info")
    args = parser.parse_args()
    # The lab ends a player with SIGTERM when it is stuck: leave through stop().
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    player = EnginePlayer(args) if args.kind == "engine" else Aria2Player(args)
    commands = Commands()
    status = 0
    try:
        player.run(commands)
    except Exception as e:  # noqa: BLE001 - every failure becomes an event for the lab
        emit("failed", reason=f"{type(e).__name__}: {e}")
        status = 1
    finally:
        code = player.stop()
        emit("exit", status=code)
    sys.exit(status)


if __name__ == "__main__":
    main()
