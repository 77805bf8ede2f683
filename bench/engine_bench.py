#!/usr/bin/env python3
"""Benchmarks of the local download engine (TEVDownloadV32) on loopback, driven directly over
its protocol by a small client in this script (the whole product's rows are bench/bench.py's),
beside wget2, curl, aria2c and axel in the same interleaved rounds. The engine runs already
(started once per workload, as the library leaves it running); a round times one job from its
file list to the engine's completion message.

Writes a Markdown report (bench/ENGINE_RESULTS.md by default).
"""
import argparse
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from bench import GIB, MIB, Nginx, free_port, machine, make_file, median, run  # noqa: E402

LIMITED = 384 * 1024
CATEGORY = 0x0100
LIST_CATEGORY = 0x0102


# ---- the protocol, as the library speaks it ----

def frame(category, kind, payload):
    total = (14 + len(payload) + 7) & ~7
    padding = total - 14 - len(payload)
    return struct.pack("<HH6xI", category, kind, len(payload) + padding) + payload + b"\0" * padding


def text(value, size):
    data = value.encode()
    return data + b"\0" * (size - len(data))


def file_list(job, files):
    parts = [struct.pack("<II", job, len(files)) + text("bench", 33)]
    for folder, name, url in files:  # joined once: adding to bytes copies them every time
        parts.append(struct.pack("<BBQ", 0, 0, 2**64 - 1) + text(folder, 260) + text(name, 260)
                     + url.encode() + b"\0")
    return b"".join(parts)


class EngineClient:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.buffer = b""
        self.at = 0

    def send(self, category, kind, payload):
        self.sock.sendall(frame(category, kind, payload))

    def messages(self):
        # An offset into the buffer: cutting the buffer at every message copied it whole each
        # time, which cost the client more than the engine on jobs of many files.
        while True:
            while len(self.buffer) - self.at >= 14:
                category, kind, length = struct.unpack_from("<HH6xI", self.buffer, self.at)
                if len(self.buffer) - self.at < 14 + length:
                    break
                payload = self.buffer[self.at + 14:self.at + 14 + length]
                self.at += 14 + length
                yield kind, payload
            self.buffer = self.buffer[self.at:]
            self.at = 0
            data = self.sock.recv(1 << 20)
            if not data:
                return
            self.buffer += data

    def run_job(self, job, files, mode, on_progress=None, resume=True):
        """Sends one job; answers (seconds from list to type 6, result, give-up)."""
        self.send(CATEGORY, 0, bytes([mode]) + b"\0" * 16)
        if len(files) <= 8192:
            listed = frame(LIST_CATEGORY, 14, file_list(job, files))
        else:
            # A long list goes file by file (types 19, 20, 21), as the library sends it: one
            # type 14 would pass the frame limit.
            parts = [frame(CATEGORY, 19, struct.pack("<II", job, len(files)) + text("bench", 33))]
            for index, (folder, name, url) in enumerate(files):
                parts.append(frame(CATEGORY, 20, struct.pack("<IIBBQ", job, index, 0, 0, 2**64 - 1)
                                   + text(folder, 260) + text(name, 260)
                                   + struct.pack("<H", len(url)) + url.encode()))
            parts.append(frame(CATEGORY, 21, struct.pack("<I", job)))
            listed = b"".join(parts)
        start = time.perf_counter()
        self.sock.sendall(listed)
        engine_job = 0
        for kind, payload in self.messages():
            if kind == 4:
                engine_job = struct.unpack_from("<I", payload, 4)[0]
            elif kind == 16:
                self.send(CATEGORY, 18, struct.pack("<IIBB", engine_job, job, 1 if resume else 0, 1))
            elif kind == 5 and on_progress:
                present = struct.unpack_from("<Q", payload, 28)[0]
                on_progress(time.perf_counter() - start, present)
            elif kind == 6:
                result, give_up = struct.unpack_from("<II", payload, 12)
                return time.perf_counter() - start, result, give_up
            elif kind == 11:
                raise RuntimeError("the engine failed the job: " + payload[8:].split(b"\0")[0].decode())
        raise RuntimeError("the engine closed the connection")

    def close(self):
        self.sock.close()


def proc_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_hwm_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Engine:
    """TEVDownloadV32 running in the background on a free port, with its own data folder."""

    def __init__(self, program, work):
        self.port = free_port()
        env = dict(os.environ)
        env["TEV_ENGINE_PORT"] = str(self.port)
        env["XDG_DATA_HOME"] = os.path.join(work, "engine-data")
        env["TEV_ENGINE_IDLE_SECONDS"] = "3600"
        read_end, write_end = os.pipe()
        env["TEV_READY_FD"] = str(write_end)
        self.process = subprocess.Popen([program], env=env, pass_fds=(write_end,))
        os.close(write_end)
        ready = os.read(read_end, 1)
        os.close(read_end)
        if not ready:
            raise RuntimeError("the engine did not become ready")
        self.client = EngineClient(self.port)
        self.next_job = 1

    def job(self, files, mode=2, on_progress=None):
        job = self.next_job
        self.next_job += 1
        return self.client.run_job(job, files, mode, on_progress)

    def stop(self, kill=False):
        self.client.close()
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL if kill else signal.SIGTERM)
            self.process.wait(timeout=30)


def load1():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def run_durable(command, out, output):
    """Runs another tool into out; answers its wall time, and in the same timed run the time
    until its file is durable (`sync -d` of its output right after it exits): the engine's file
    is synced before it takes its name, so this is the like-for-like figure on a disk."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    os.sync()  # nothing of an earlier run's writeback is paid for here
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=out, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{command[0]} failed with {os.waitstatus_to_exitcode(status)}")
    subprocess.run(["sync", "-d", os.path.join(out, output)], check=True)
    durable = time.perf_counter() - start
    shutil.rmtree(out, ignore_errors=True)
    return {"wall": wall, "durable": durable, "cpu": usage.ru_utime + usage.ru_stime, "rss": None}


def engine_round(engine, out, files, mode=2, watch=None):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    os.sync()
    cpu_before = proc_cpu_seconds(engine.process.pid)
    seconds, result, give_up = engine.job([(out + "/", name, url) for name, url in files], mode, watch)
    if give_up != 0 or result != len(files):
        raise RuntimeError(f"engine job ended with result {result}, give-up {give_up}")
    cpu = proc_cpu_seconds(engine.process.pid) - cpu_before
    shutil.rmtree(out, ignore_errors=True)
    # Its file is synced before it takes its name: durable when the job ends.
    return {"wall": seconds, "durable": seconds, "cpu": cpu,
            "rss": engine and proc_hwm_mib(engine.process.pid) * 1024}


def workload(name, engine, engine_files, tools, rounds, size, work, report, reference,
             output=None, out=None):
    """tools: (label, command builder); the engine row is "TEVDownloadV32". With output (the
    file a tool writes), each tool is also timed until that file is durable (`sync -d`)."""
    labels = ["TEVDownloadV32"] + [label for label, _ in tools]
    results = {label: [] for label in labels}
    out = out or os.path.join(work, "out")
    loads = []
    for r in range(rounds):
        order = labels[r % len(labels):] + labels[:r % len(labels)]
        for label in order:
            loads.append(load1())
            if label == "TEVDownloadV32":
                result = engine_round(engine, out, engine_files)
            elif output:
                result = run_durable(dict(tools)[label](out), out, output)
            else:
                build = dict(tools)[label]
                result = run(build(out), out)
            results[label].append(result)
            durable = f", durable {result['durable']:.2f} s" if result.get("durable") else ""
            print(f"  {name} round {r + 1}/{rounds} {label}: {result['wall']:.2f} s{durable}"
                  f" (load {loads[-1]:.2f})", flush=True)
    rows = []
    for label in labels:
        runs = results[label]
        ref = results.get(reference)
        durable = [x.get("durable") for x in runs]
        rows.append({
            "tool": label,
            "rounds": len(runs),
            "wall": median([x["wall"] for x in runs]),
            "slowest": max(x["wall"] for x in runs),
            "durable": median(durable) if output and all(durable) else None,
            "ratio": median([x["wall"] / y["wall"] for x, y in zip(runs, ref)]) if ref else None,
            "slowest_ratio": max(x["wall"] / y["wall"] for x, y in zip(runs, ref)) if ref else None,
            "durable_ratio": (median([x["wall"] / y["durable"] for x, y in zip(runs, ref)])
                              if ref and output else None),
            "load": (min(loads), max(loads)),
            "cpu": median([x["cpu"] for x in runs]),
            "cpu_per_gib": median([x["cpu"] for x in runs]) / (size / GIB),
            "rss": max((x["rss"] or 0 for x in runs), default=0) / 1024 or None,
            "throughput": size / median([x["wall"] for x in runs]) / MIB,
        })
    report.append((name, reference, rows))
    return rows


def table(reference, rows):
    durable = any(r.get("durable") for r in rows)
    head = (f"| tool | rounds | median wall (s) | slowest (s) | MiB/s | wall / {reference} | "
            f"slowest round / {reference} | ")
    if durable:
        head += f"durable (s) | wall / {reference} durable | "
    head += "CPU (s) | CPU per GiB (s) | peak RSS (MiB) | load average (1 min) |"
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in rows:
        def f(v, fmt):
            return "–" if v is None or v != v else fmt.format(v)
        line = (f"| {r['tool']} | {r['rounds']} | {f(r['wall'], '{:.2f}')} | "
                f"{f(r['slowest'], '{:.2f}')} | {f(r['throughput'], '{:.0f}')} | "
                f"{f(r['ratio'], '{:.2f}')} | {f(r['slowest_ratio'], '{:.2f}')} | ")
        if durable:
            line += f"{f(r['durable'], '{:.2f}')} | {f(r['durable_ratio'], '{:.2f}')} | "
        line += (f"{f(r['cpu'], '{:.2f}')} | {f(r['cpu_per_gib'], '{:.2f}')} | "
                 f"{f(r['rss'], '{:.1f}')} | {r['load'][0]:.2f}–{r['load'][1]:.2f} |")
        lines.append(line)
    return "\n".join(lines)


def steady_rate(points):
    points = points[1:]
    if len(points) < 3:
        return None
    n = len(points)
    mt = sum(t for t, _ in points) / n
    mb = sum(b for _, b in points) / n
    var = sum((t - mt) ** 2 for t, _ in points)
    return sum((t - mt) * (b - mb) for t, b in points) / var if var > 0 else None


def kill_at_half(program, work, nginx, data):
    """Kills the engine (SIGKILL) once half of a 1 GiB file is on disk, starts it again and lets
    the job resume; answers a sentence on what was fetched again, from the control file."""
    out = os.path.join(work, "out-kill")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    shutil.rmtree(os.path.join(work, "engine-data"), ignore_errors=True)
    engine = Engine(program, work)
    engine.client.send(CATEGORY, 0, bytes([2]) + b"\0" * 16)
    engine.client.send(LIST_CATEGORY, 14, file_list(1, [(out + "/", "1g.bin", nginx.url("1g.bin"))]))
    # Progress comes once a second: too coarse for a 1-second download, so the part file is
    # watched instead.
    part = os.path.join(out, "1g.bin.tevpart")
    control = os.path.join(out, "1g.bin.tevctl")
    deadline = time.time() + 60
    while time.time() < deadline:
        try:
            if os.stat(part).st_blocks * 512 >= GIB // 2:
                break
        except OSError:
            pass
        time.sleep(0.002)
    on_disk = os.stat(part).st_blocks * 512
    engine.stop(kill=True)
    done = 0
    if os.path.exists(control):
        with open(control) as f:
            for line in f:
                if line.startswith("done "):
                    a, b = line.split()[1].split("-")
                    done += int(b) - int(a)
    engine = Engine(program, work)
    try:
        seconds, result, give_up = engine.client.run_job(2, [(out + "/", "1g.bin", nginx.url("1g.bin"))], 2)
    finally:
        engine.stop()
    ok = os.path.getsize(os.path.join(out, "1g.bin")) == GIB and subprocess.run(
        ["cmp", "-s", os.path.join(out, "1g.bin"), os.path.join(data, "1g.bin")]).returncode == 0
    shutil.rmtree(out, ignore_errors=True)
    return (f"kill -9 of the engine at {on_disk / MIB:.0f} MiB on disk of 1 GiB: its control file "
            f"held {done / MIB:.0f} MiB, so {(on_disk - done) / MIB:.0f} MiB were fetched again "
            f"(a control file is written every second and after every 32 MiB of a file); the "
            f"resumed file is {'byte-identical' if ok else 'NOT identical'} (result {result}, "
            f"give-up {give_up}).")


def scale(program, work, nginx, notes):
    """Many files of 100 bytes: the engine's CPU per file must not grow with the job's length.
    One job per size, from the file list to the completion message; once all files in one folder,
    once one folder per file. Every URL names the same file (a query tells them apart)."""
    sizes = [1024, 2048, 4096, 16384, 32768, 65536]
    out = os.path.join(work, "out")
    for layout in ("one folder", "a folder per file"):
        engine = Engine(program, work)
        rows = []
        for count in sizes:
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            files = [(out + "/" + (f"d{i}/" if layout != "one folder" else ""), f"t{i}.bin",
                      nginx.url("tiny.bin") + f"?{i}") for i in range(count)]
            cpu_before = proc_cpu_seconds(engine.process.pid)
            seconds, result, give_up = engine.client.run_job(engine.next_job, files, 2)
            engine.next_job += 1
            cpu = proc_cpu_seconds(engine.process.pid) - cpu_before
            if give_up != 0 or result != count:
                raise RuntimeError(f"scale job ended with result {result}, give-up {give_up}")
            rows.append((count, seconds, cpu))
            print(f"  {layout}: {count} files in {seconds:.2f} s, engine CPU {cpu:.2f} s", flush=True)
        engine.stop()
        shutil.rmtree(out, ignore_errors=True)
        by = {count: (wall, cpu) for count, wall, cpu in rows}
        small = (by[4096][1] - by[1024][1]) / (4096 - 1024)
        large = (by[65536][1] - by[16384][1]) / (65536 - 16384)
        notes.append(
            f"Scale, {layout} (files of 100 bytes, list to completion): "
            + ", ".join(f"{c} files {w:.2f} s wall / {u:.2f} s CPU" for c, w, u in rows)
            + f"; CPU per file {small * 1e6:.0f} µs over 1k–4k, {large * 1e6:.0f} µs over 16k–65k "
            f"(ratio {large / small if small > 0 else float('inf'):.2f}).")


# ---- budgets and scale: lists, completion reports, the stranded-part sweep ----

def list_entry(job, index, folder, name, url, size=2**64 - 1):
    data = url.encode()
    return (struct.pack("<IIBBQ", job, index, 0, 0, size) + text(folder, 260) + text(name, 260)
            + struct.pack("<H", len(data)) + data)


def send_in_parts(client, job, entries):
    """Types 19, 20 for each (folder, name, url, size), 21; the seconds from type 21's send."""
    client.send(CATEGORY, 19, struct.pack("<II", job, len(entries)) + text("bench", 33))
    batch = []
    for index, (folder, name, url, size) in enumerate(entries):
        batch.append(frame(CATEGORY, 20, list_entry(job, index, folder, name, url, size)))
        if len(batch) >= 256:
            client.sock.sendall(b"".join(batch))
            batch = []
    client.sock.sendall(b"".join(batch))
    client.send(CATEGORY, 21, struct.pack("<I", job))
    return time.perf_counter()


def wait_for_end(client, start, reported=None):
    """Reads to type 6 or 11: (seconds, kind, type 7 count)."""
    sevens = 0
    for kind, payload in client.messages():
        if kind == 7:
            sevens += 1
        elif kind in (6, 11):
            return time.perf_counter() - start, kind, sevens
    raise RuntimeError("the engine closed the connection")


def list_budgets(program, work):
    """Peak RSS of the engine for a hostile list and for the largest list its budget allows."""
    notes = []
    out = os.path.join(work, "lists")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    engine = Engine(program, work)
    try:
        before = proc_hwm_mib(engine.process.pid)
        long_url = "http://127.0.0.1:1/" + "a" * (65535 - 19)
        start = send_in_parts(engine.client, 1, [(out + "/", f"h{i}", long_url, 2**64 - 1)
                                                 for i in range(4000)])
        seconds, kind, _ = wait_for_end(engine.client, start)
        notes.append(f"Hostile list (4,000 entries with 64 KiB URLs, 256 MiB on the wire): answered "
                     f"with type {kind} {seconds:.2f} s after its end; engine peak RSS (VmHWM) "
                     f"{proc_hwm_mib(engine.process.pid):.1f} MiB (at start {before:.1f} MiB).")
    finally:
        engine.stop()
    # 65,536 complete files of 1 KiB mirrored URLs: 64 MiB of URLs, the budget's edge; a prompt
    # reader and one that reads nothing for 20 s.
    count = 65536
    for i in range(count):
        with open(os.path.join(out, f"c{i}"), "wb") as f:
            f.write(b"x")
    half = "http://127.0.0.1:1/mirror/"
    entries = []
    for i in range(count):
        first = (half + str(i)).ljust(511, "a")
        entries.append((out + "/", f"c{i}", (first + "|" + first).ljust(1024, "b"), 1))
    for late in (0, 20):
        engine = Engine(program, work)
        try:
            start = send_in_parts(engine.client, 2, entries)
            if late:
                time.sleep(late)
                peak_waiting = proc_hwm_mib(engine.process.pid)
            seconds, kind, sevens = wait_for_end(engine.client, start)
            what = (f"a library that reads nothing for {late} s (peak RSS while it did not read "
                    f"{peak_waiting:.1f} MiB)" if late else "a prompt reader")
            notes.append(f"65,536 complete files with 1 KiB mirrored URLs (64 MiB of URLs), "
                         f"{what}: type {kind} after {sevens} type 7 messages, {seconds:.2f} s "
                         f"from type 21; engine peak RSS {proc_hwm_mib(engine.process.pid):.1f} MiB.")
        finally:
            engine.stop()
    shutil.rmtree(out, ignore_errors=True)
    return notes


def sweep_scale(program, work, counts=(1000, 4000, 16000, 65536)):
    """Jobs of complete 100-byte files, all in one folder and one folder per file: type 21 to
    type 6 (the start of a job sweeps its folders for stranded part files)."""
    rows = []
    for layout in ("one folder", "one folder per file"):
        for count in counts:
            out = os.path.join(work, "sweep")
            shutil.rmtree(out, ignore_errors=True)
            entries = []
            for i in range(count):
                folder = out if layout == "one folder" else os.path.join(out, f"d{i}")
                os.makedirs(folder, exist_ok=True)
                with open(os.path.join(folder, f"f{i}"), "wb") as f:
                    f.write(b"x" * 100)
                entries.append((folder + "/", f"f{i}", f"http://127.0.0.1:1/f{i}", 100))
            engine = Engine(program, work)
            try:
                cpu_before = proc_cpu_seconds(engine.process.pid)
                start = send_in_parts(engine.client, 1, entries)
                seconds, kind, sevens = wait_for_end(engine.client, start)
                cpu = proc_cpu_seconds(engine.process.pid) - cpu_before
            finally:
                engine.stop()
            shutil.rmtree(out, ignore_errors=True)
            if kind != 6 or sevens != count:
                raise RuntimeError(f"sweep job ended with type {kind} after {sevens} reports")
            rows.append((layout, count, seconds, cpu))
            print(f"  {layout}, {count} files: {seconds:.2f} s, engine CPU {cpu:.2f} s", flush=True)
    lines = ["| layout | files | type 21 → type 6 (s) | engine CPU (s) | CPU per file (µs) |",
             "|---|---:|---:|---:|---:|"]
    for layout, count, seconds, cpu in rows:
        lines.append(f"| {layout} | {count} | {seconds:.2f} | {cpu:.2f} | {cpu / count * 1e6:.1f} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="the TEVDownloadV32 binary")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--output", default=os.path.join(os.path.dirname(__file__), "ENGINE_RESULTS.md"))
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "tev-engine-bench"))
    parser.add_argument("--sweep-counts", default="1000,4000,16000,65536",
                        help="file counts of the sweep workload")
    parser.add_argument("--only", default="",
                        help="comma-separated workloads: 1g,1g-tmpfs,4g,many,capped,limited,kill,"
                             "scale,lists,sweep")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    only = set(filter(None, args.only.split(",")))
    wanted = lambda w: not only or w in only  # noqa: E731

    if only and only <= {"lists", "sweep"}:
        # No server needed: these jobs name complete files or are refused before any request.
        parts = ["# Engine budgets and scale", "", f"Machine: {machine()}.", ""]
        if "sweep" in only:
            print("Workload: job start at scale (stranded-part sweep)", flush=True)
            parts += ["## Jobs of complete files at scale (type 21 → type 6)", "",
                      sweep_scale(program, args.work,
                                  [int(c) for c in args.sweep_counts.split(",")]), ""]
        if "lists" in only:
            print("Workload: list budgets", flush=True)
            parts += ["## List budgets", ""] + [f"- {n}" for n in list_budgets(program, args.work)] + [""]
        with open(args.output, "w") as f:
            f.write("\n".join(parts))
        print(f"Wrote {args.output}")
        return

    data = os.path.join(args.work, "data")
    os.makedirs(os.path.join(data, "many"), exist_ok=True)
    print("Preparing files…", flush=True)
    make_file(os.path.join(data, "1g.bin"), GIB)
    make_file(os.path.join(data, "256m.bin"), 256 * MIB)
    make_file(os.path.join(data, "8m.bin"), 8 * MIB)
    if wanted("4g"):
        make_file(os.path.join(data, "4g.bin"), 4 * GIB, random=False)
    for i in range(200):
        make_file(os.path.join(data, "many", f"f{i:03d}.bin"), MIB)

    report = []
    notes = []
    report_tables = []
    nginx = Nginx(data, args.work)
    capped = Nginx(data, os.path.join(args.work, "capped"))
    # The second nginx caps each connection as CDNs do.
    capped.stop()
    conf = os.path.join(capped.prefix, "nginx.conf")
    with open(conf) as f:
        text_conf = f.read().replace("root ", "limit_rate 16m;\n        root ", 1)
    with open(conf, "w") as f:
        f.write(text_conf)
    capped.process = subprocess.Popen(["nginx", "-p", capped.prefix, "-c", conf, "-g", "daemon off;"])
    time.sleep(0.5)
    try:
        if wanted("1g"):
            print("Workload: 1 GiB file", flush=True)
            engine = Engine(program, args.work)
            workload("1 GiB file", engine, [("1g.bin", nginx.url("1g.bin"))], [
                ("wget2", lambda out: ["wget2", "-q", "--no-robots", "-O", "1g.bin", nginx.url("1g.bin")]),
                ("curl", lambda out: ["curl", "-s", "-o", "1g.bin", nginx.url("1g.bin")]),
                ("aria2c -x4", lambda out: ["aria2c", "-q", "-x4", "-s4", "-k1M", "--file-allocation=none",
                                            "-d", out, nginx.url("1g.bin")]),
            ], args.rounds, GIB, args.work, report, "wget2", output="1g.bin")
            rss_1g = proc_hwm_mib(engine.process.pid)
            engine.stop()
            notes.append(f"Engine peak RSS (VmHWM) after the 1 GiB rounds: {rss_1g:.1f} MiB.")
        if wanted("1g-tmpfs"):
            # The same file written to a tmpfs, where a sync costs nothing: the network and CPU
            # side of the comparison.
            print("Workload: 1 GiB file to a tmpfs", flush=True)
            shm = tempfile.mkdtemp(prefix="tev-engine-bench-", dir="/dev/shm")
            engine = Engine(program, args.work)
            try:
                workload("1 GiB file, written to a tmpfs", engine, [("1g.bin", nginx.url("1g.bin"))], [
                    ("wget2", lambda out: ["wget2", "-q", "--no-robots", "-O", "1g.bin", nginx.url("1g.bin")]),
                    ("curl", lambda out: ["curl", "-s", "-o", "1g.bin", nginx.url("1g.bin")]),
                ], args.rounds, GIB, args.work, report, "wget2", output="1g.bin",
                    out=os.path.join(shm, "out"))
            finally:
                engine.stop()
                shutil.rmtree(shm, ignore_errors=True)
        if wanted("4g"):
            print("Workload: 4 GiB file (memory)", flush=True)
            engine = Engine(program, args.work)
            workload("4 GiB file (memory check)", engine, [("4g.bin", nginx.url("4g.bin"))], [],
                     1, 4 * GIB, args.work, report, "TEVDownloadV32")
            notes.append(f"Engine peak RSS (VmHWM) after a 4 GiB file: {proc_hwm_mib(engine.process.pid):.1f} MiB.")
            engine.stop()
        if wanted("many"):
            print("Workload: 200 files of 1 MiB", flush=True)
            many = [(f"f{i:03d}.bin", nginx.url(f"many/f{i:03d}.bin")) for i in range(200)]
            with open(os.path.join(args.work, "many.txt"), "w") as f:
                f.write("\n".join(u for _, u in many) + "\n")
            with open(os.path.join(args.work, "curl-many.cfg"), "w") as f:
                for name, u in many:
                    f.write(f'url = "{u}"\noutput = "{name}"\n')
            engine = Engine(program, args.work)
            workload("200 files of 1 MiB", engine, many, [
                ("curl --parallel", lambda out: ["curl", "-s", "-Z", "-K", os.path.join(args.work, "curl-many.cfg")]),
                ("wget2", lambda out: ["wget2", "-q", "--no-robots", "-i", os.path.join(args.work, "many.txt")]),
                ("aria2c -j5", lambda out: ["aria2c", "-q", "-j5", "--file-allocation=none", "-d", out,
                                            "-i", os.path.join(args.work, "many.txt")]),
            ], args.rounds, 200 * MIB, args.work, report, "curl --parallel")
            engine.stop()
        if wanted("capped"):
            print("Workload: 256 MiB, 16 MB/s per connection", flush=True)
            engine = Engine(program, args.work)
            url = capped.url("256m.bin")
            workload("256 MiB file, nginx limit_rate 16m per connection", engine, [("256m.bin", url)], [
                ("aria2c -x8", lambda out: ["aria2c", "-q", "-x8", "-s8", "-k1M", "--file-allocation=none",
                                            "-d", out, url]),
                ("axel -n8", lambda out: ["axel", "-q", "-n", "8", "-o", "256m.bin", url]),
            ], args.rounds, 256 * MIB, args.work, report, "aria2c -x8")
            engine.stop()
        if wanted("limited"):
            print("Workload: limited mode", flush=True)
            engine = Engine(program, args.work)
            rates = []
            for r in range(max(1, args.rounds // 3)):
                points = []
                out = os.path.join(args.work, "out")
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                engine.client.run_job(1000 + r, [(out + "/", "8m.bin", nginx.url("8m.bin"))], 1,
                                      lambda t, b: points.append((t, b)))
                rate = steady_rate(points)
                if rate:
                    rates.append(rate)
                print(f"  limited round {r + 1}: {rate / 1024 if rate else 0:.1f} KiB/s", flush=True)
            engine.stop()
            if rates:
                m = median(rates)
                notes.append(f"Limited mode (8 MiB file, type 5 progress fitted after the first second): "
                             f"median steady state {m / 1024:.1f} KiB/s = {m / LIMITED * 100:.2f}% of 384 KiB/s "
                             f"over {len(rates)} rounds.")
        if wanted("scale"):
            print("Workload: scale", flush=True)
            with open(os.path.join(data, "tiny.bin"), "wb") as f:
                f.write(b"x" * 100)
            scale(program, args.work, nginx, notes)
        if wanted("kill"):
            print("Workload: kill -9 at 50% of 1 GiB", flush=True)
            notes.append(kill_at_half(program, args.work, nginx, data))
        if "lists" in only:
            print("Workload: list budgets", flush=True)
            notes.extend(list_budgets(program, args.work))
        if "sweep" in only:
            print("Workload: job start at scale (stranded-part sweep)", flush=True)
            report_tables.append(("Jobs of complete files at scale (type 21 → type 6)",
                                  sweep_scale(program, args.work,
                                              [int(c) for c in args.sweep_counts.split(",")])))
    finally:
        nginx.stop()
        capped.stop()

    parts = ["# Engine benchmarks", "", f"Machine: {machine()}.", "",
             "The engine (Release build) is driven directly over its protocol by the client in "
             "bench/engine_bench.py, without the library: the whole product's rows (tev-download → "
             "library → engine) are in bench/RESULTS.md (bench/run.sh). Loopback, a private nginx "
             "(sendfile); the tools interleaved in rotated order within each round; medians; ratios "
             "are medians of per-round ratios. Engine wall time: file list sent to completion "
             "message; CPU: the engine process's own user+sys time for that job.", ""]
    for name, reference, rows in report:
        parts += [f"## {name}", "", table(reference, rows), ""]
    for name, body in report_tables:
        parts += [f"## {name}", "", body, ""]
    parts += ["## Notes", ""] + [f"- {n}" for n in notes] + [""]
    with open(args.output, "w") as f:
        f.write("\n".join(parts))
    print(f"Wrote {args.output}")


if __name__ == "__main__":
    main()
