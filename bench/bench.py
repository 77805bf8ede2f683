#!/usr/bin/env python3
"""Side-by-side download benchmarks on loopback: the whole product through the engine
(tev-download → library → TEVDownloadV32), the library's direct downloader, and wget2, curl,
aria2c and axel.

Every workload runs its tools interleaved, one run of each per round in rotated order, so that
the machine's drift touches all of them alike; medians are compared as ratios to a named tool
within the same rounds. Writes a Markdown report (bench/RESULTS.md by default), keeping the
sections of earlier runs that this one does not produce (https, the report collector).
"""
import argparse
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1024 * 1024
GIB = 1024 * MIB
FAST_LIMIT = 100 * MIB
LIMITED = 384 * 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_file(path, size, random=True):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    if not random:
        with open(path, "wb") as f:
            f.truncate(size)
        return
    with open("/dev/urandom", "rb") as src, open(path, "wb") as dst:
        left = size
        while left:
            chunk = src.read(min(left, 4 * MIB))
            dst.write(chunk)
            left -= len(chunk)


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1; clients trust it as their only CA."""
    os.makedirs(folder, exist_ok=True)
    cert = os.path.join(folder, "server.pem")
    key = os.path.join(folder, "server.key")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-days", "30", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class Nginx:
    def __init__(self, root, work, certificate=None, limit_rate=None):
        # limit_rate: a cap per connection, as CDNs cap single connections.
        self.port = free_port()
        self.ssl_port = free_port() if certificate else None
        self.prefix = os.path.join(work, "nginx")
        os.makedirs(os.path.join(self.prefix, "logs"), exist_ok=True)
        conf = os.path.join(self.prefix, "nginx.conf")
        tls = ""
        limit = f"\n        limit_rate {limit_rate};" if limit_rate else ""
        if certificate:
            tls = f"""
    server {{
        listen 127.0.0.1:{self.ssl_port} ssl;
        ssl_certificate {certificate[0]};
        ssl_certificate_key {certificate[1]};
        root {root};
    }}"""
        with open(conf, "w") as f:
            f.write(f"""
worker_processes 1;
pid {self.prefix}/nginx.pid;
error_log {self.prefix}/logs/error.log;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    types {{ }}
    default_type application/octet-stream;
    client_body_temp_path {self.prefix}/body;
    proxy_temp_path {self.prefix}/proxy;
    fastcgi_temp_path {self.prefix}/fastcgi;
    uwsgi_temp_path {self.prefix}/uwsgi;
    scgi_temp_path {self.prefix}/scgi;
    server {{
        listen 127.0.0.1:{self.port};
        root {root};{limit}
    }}{tls}
}}
""")
        self.process = subprocess.Popen(["nginx", "-p", self.prefix, "-c", conf, "-g", "daemon off;"])
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nginx did not start")

    def url(self, path):
        return f"http://127.0.0.1:{self.port}/{path}"

    def https_url(self, path):
        return f"https://127.0.0.1:{self.ssl_port}/{path}"

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def peak_rss_kib(pid, stop, result):
    """Polls the child's VmHWM (its own peak, unlike wait4's figure, which includes the
    Python process the child was forked from)."""
    path = f"/proc/{pid}/status"
    while not stop.is_set():
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        result[0] = max(result[0], int(line.split()[1]))
        except OSError:
            return
        stop.wait(0.02)


def proc_cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_hwm_mib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def run(command, out_dir, env=None, on_line=None, timeout=600, engine_pid=None):
    """Runs a command; answers wall seconds, CPU seconds (user + sys) and peak RSS in KiB. With
    engine_pid, the CPU that process spent meanwhile (the engine serving the command) is added to
    the command's and also given apart."""
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    # Every run starts with nothing waiting for the disk: no run pays for an earlier one's
    # writeback (the engine syncs its files, so it would wait for it).
    os.sync()
    engine_before = proc_cpu_seconds(engine_pid) if engine_pid else 0.0
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE if on_line else subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env, cwd=out_dir, text=True)
    stop = threading.Event()
    rss = [0]
    poller = threading.Thread(target=peak_rss_kib, args=(process.pid, stop, rss))
    poller.start()
    if on_line:
        for line in process.stdout:
            on_line(time.perf_counter() - start, line)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    stop.set()
    poller.join()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{command[0]} failed with {os.waitstatus_to_exitcode(status)}")
    shutil.rmtree(out_dir, ignore_errors=True)
    engine_cpu = proc_cpu_seconds(engine_pid) - engine_before if engine_pid else None
    cpu = usage.ru_utime + usage.ru_stime + (engine_cpu or 0.0)
    return {"wall": wall, "cpu": cpu, "engine_cpu": engine_cpu, "rss": rss[0] or None}


class ProgressWatch:
    """What tev-download's JSON lines tell: progress (for the steady state), completed files, and
    when the transfer ran: from the size check's end (the job is started right then) to the job's
    completion."""

    def __init__(self):
        self.points = []
        self.file_done = []
        self.started = None
        self.finished = None

    def __call__(self, t, line):
        try:
            event = json.loads(line)
        except ValueError:
            return
        name = event.get("name")
        if name == "job-progress":
            self.points.append((t, event["present"]))
        elif name == "file-done":
            self.file_done.append(t)
        elif name == "check-done":
            self.started = t
        elif name == "job-done":
            self.finished = t

    def transfer_seconds(self):
        if self.started is None or self.finished is None:
            return None
        return self.finished - self.started

    def steady_rate(self):
        # The last notification comes with completion, part of the way into a tick: it is left
        # out, and the slope is fitted over the others so that no single late line decides it.
        points = self.points[:-1]
        if len(points) < 3:
            return None
        n = len(points)
        mean_t = sum(t for t, _ in points) / n
        mean_b = sum(b for _, b in points) / n
        var = sum((t - mean_t) ** 2 for t, _ in points)
        if var <= 0:
            return None
        return sum((t - mean_t) * (b - mean_b) for t, b in points) / var


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else float("nan")


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / GIB
    return (f"{model}, {os.cpu_count()} cores, {mem:.0f} GiB RAM, Linux {platform.release()}, "
            f"{time.strftime('%Y-%m-%d')}")


class Tool:
    """One row of a workload. rounds: at most this many runs (the direct path's quota makes
    some of its rows long). engine: the running engine's pid is charged with the row's CPU."""

    def __init__(self, label, build, watch=False, rounds=None, engine_pid=None, env=None):
        self.label, self.build, self.watch = label, build, watch
        self.rounds, self.engine_pid, self.env = rounds, engine_pid, env


def workload(name, tools, rounds, size_bytes, report, reference, out_root=None):
    """Runs the tools interleaved, in rotated order per round; the reference's wall time is the
    denominator of every row's ratio (per round, then the median). out_root: where the tools
    write (the work folder's disk by default)."""
    results = {t.label: [] for t in tools}
    for r in range(rounds):
        shift = r % len(tools)
        for tool in tools[shift:] + tools[:shift]:
            if tool.rounds is not None and len(results[tool.label]) >= tool.rounds:
                continue
            watch = ProgressWatch() if tool.watch else None
            out_dir = os.path.join(out_root or report["work"], "out")
            result = run(tool.build(out_dir), out_dir, env=tool.env or report["env"], on_line=watch,
                         engine_pid=tool.engine_pid() if tool.engine_pid else None)
            result["round"] = r
            result["watch"] = watch
            result["transfer"] = (watch.transfer_seconds() if watch else None) or result["wall"]
            results[tool.label].append(result)
            print(f"  {name} round {r + 1}/{rounds} {tool.label}: {result['transfer']:.2f} s "
                  f"(whole run {result['wall']:.2f} s)", flush=True)
    ref = {x["round"]: x for x in results.get(reference, [])}
    rows = []
    for tool in tools:
        runs = results[tool.label]
        transfer = median([x["transfer"] for x in runs])
        ratios = [x["transfer"] / ref[x["round"]]["transfer"] for x in runs if x["round"] in ref]
        rows.append({
            "tool": tool.label,
            "runs": len(runs),
            "transfer": transfer,
            "wall": median([x["wall"] for x in runs]),
            "throughput": size_bytes / transfer / MIB if size_bytes else None,
            "ratio": median(ratios) if ratios else None,
            "cpu": median([x["cpu"] for x in runs]),
            "engine_cpu": median([x["engine_cpu"] for x in runs]) if tool.engine_pid else None,
            "cpu_per_gib": median([x["cpu"] for x in runs]) / (size_bytes / GIB),
            "rss": max((x["rss"] for x in runs if x["rss"]), default=0) / 1024 or None,
            "steady": median([x["watch"].steady_rate() for x in runs if x["watch"]]),
            "watches": [x["watch"] for x in runs if x["watch"]],
            "all": runs,
        })
    report["workloads"].append((name, reference, rows))
    return rows


def table(reference, rows):
    lines = [f"| tool | runs | transfer (s) | whole run (s) | MiB/s | transfer / {reference} | "
             "CPU (s) | of it engine (s) | CPU per GiB (s) | peak RSS (MiB) | steady (MiB/s) |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        def f(v, fmt):
            return "–" if v is None or v != v else fmt.format(v)
        lines.append(f"| {r['tool']} | {r['runs']} | {f(r['transfer'], '{:.2f}')} | "
                     f"{f(r['wall'], '{:.2f}')} | {f(r['throughput'], '{:.1f}')} | "
                     f"{f(r['ratio'], '{:.2f}')} | {f(r['cpu'], '{:.2f}')} | "
                     f"{f(r['engine_cpu'], '{:.2f}')} | {f(r['cpu_per_gib'], '{:.2f}')} | "
                     f"{f(r['rss'], '{:.1f}')} | "
                     f"{f(r['steady'] / MIB if r['steady'] == r['steady'] and r['steady'] else None, '{:.2f}')} |")
    return "\n".join(lines)


class ProductSetup:
    """tev-download with the engine path live: the freshly built engine is published on the
    private nginx (the update server), a first small job installs and starts it, and it keeps
    running between rounds, as the library leaves it. And tev-download with the engine path
    unavailable (no engine, an update server that refuses connections): the direct downloader."""

    def __init__(self, program, publisher, engine, nginx, data, work):
        self.program = program
        self.work = work
        base = dict(os.environ)
        base["TEV_REPORT_SERVER"] = f"127.0.0.1:{free_port()}"  # statistics go nowhere
        base["HOME"] = os.path.join(work, "home")
        os.makedirs(base["HOME"], exist_ok=True)
        base["TEV_SETTINGS_DIR"] = os.path.join(work, "settings")
        self.engine_env = dict(base, XDG_DATA_HOME=os.path.join(work, "xdg-engine"),
                               TEV_DOWNLOAD_SERVER=f"127.0.0.1:{nginx.port}",
                               TEV_ENGINE_PORT=str(free_port()))
        self.direct_env = dict(base, XDG_DATA_HOME=os.path.join(work, "xdg-direct"),
                               TEV_DOWNLOAD_SERVER=f"127.0.0.1:{free_port()}",
                               TEV_ENGINE_PORT=str(free_port()))
        for env in (self.engine_env, self.direct_env):
            shutil.rmtree(env["XDG_DATA_HOME"], ignore_errors=True)
        # Published signed with a key of the run's own, which the library trusts through the
        # environment: a keyless build installs nothing over plain http.
        key, public = os.path.join(work, "update.key"), os.path.join(work, "update.pub")
        for path in (key, public):
            if os.path.exists(path):
                os.remove(path)
        subprocess.run([publisher, "keygen", key, public], check=True, stdout=subprocess.DEVNULL)
        for env in (self.engine_env, self.direct_env):
            env["TEV_UPDATE_TRUST_FILE"] = public
        subprocess.run([publisher, "--out", data, "--base-url", f"http://127.0.0.1:{nginx.port}",
                        "--for-test", "--key", key, engine], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.pid_file = os.path.join(self.engine_env["XDG_DATA_HOME"],
                                     "Velmor/tevDownloadV32/TEVDownloadV32.pid")

    def install(self, list_url):
        """The first run installs and starts the engine; it must have carried the job."""
        watch = ProgressWatch()
        lines = []
        run(self.command(list_url)(os.path.join(self.work, "out")), os.path.join(self.work, "out"),
            env=self.engine_env, on_line=lambda t, line: (lines.append(line), watch(t, line)))
        if not any('"engine-updated"' in line for line in lines) or self.engine_pid() is None:
            raise RuntimeError("the engine was not installed and started: " + "".join(lines[-5:]))

    def engine_pid(self):
        try:
            with open(self.pid_file) as f:
                pid = int(f.read().split()[0])
            os.kill(pid, 0)
            return pid
        except (OSError, ValueError, IndexError):
            return None

    def command(self, url, *extra):
        return lambda out: [self.program, "--json", *extra, "--folder", out, url]

    def stop(self):
        pid = self.engine_pid()
        if pid:
            os.kill(pid, signal.SIGTERM)
            for _ in range(100):
                try:
                    os.kill(pid, 0)
                except OSError:
                    return
                time.sleep(0.05)
            os.kill(pid, signal.SIGKILL)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(here, "..", "build", "release")
    parser.add_argument("--program", default=os.path.join(build, "tools/cli/tev-download"))
    parser.add_argument("--engine", default=os.path.join(build, "localengine/TEVDownloadV32"))
    parser.add_argument("--publisher", default=os.path.join(build, "tools/publish/tev-publish"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--direct-rounds", type=int, default=2,
                        help="rounds of the direct path's rows (its one-second quota makes them long)")
    parser.add_argument("--output", default=os.path.join(here, "RESULTS.md"))
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "tev-bench"))
    parser.add_argument("--only", choices=["https", "direct"],
                        help="run only these workloads and replace their section of the report")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    engine_program = os.path.abspath(args.engine)
    sys.path.insert(0, here)
    import engine_bench  # noqa: E402 (it imports this module's helpers)

    data = os.path.join(args.work, "data")
    os.makedirs(os.path.join(data, "many"), exist_ok=True)
    print("Preparing files…", flush=True)
    if args.only != "direct":
        make_file(os.path.join(data, "1g.bin"), GIB)
    if args.only == "direct":
        os.makedirs(os.path.join(data, "small"), exist_ok=True)
        make_file(os.path.join(data, "8m.bin"), 8 * MIB)
        for i in range(200):
            make_file(os.path.join(data, "many", f"f{i:03d}.bin"), MIB)
        for i in range(40):
            make_file(os.path.join(data, "small", f"s{i:02d}.bin"), 96 * 1024)
    if not args.only:
        make_file(os.path.join(data, "4g.bin"), 4 * GIB, random=False)
        make_file(os.path.join(data, "256m.bin"), 256 * MIB)
        make_file(os.path.join(data, "8m.bin"), 8 * MIB)
        for i in range(200):
            make_file(os.path.join(data, "many", f"f{i:03d}.bin"), MIB)
    certificate = make_certificate(os.path.join(args.work, "tls"))

    nginx = Nginx(data, args.work, certificate)
    capped = Nginx(data, os.path.join(args.work, "capped"), limit_rate="16m")
    product = None
    tmpfs_out = tempfile.mkdtemp(prefix="tev-bench-", dir="/dev/shm")
    report = {"work": args.work, "env": None, "workloads": [], "notes": []}
    try:
        def write_list(name, urls):
            with open(os.path.join(data, name), "w") as f:
                f.write("".join(u + "\r\n" for u in urls))
            return nginx.url(name)

        if args.only == "https":
            https_only(args, program, nginx, certificate, write_list, report)
            return
        if args.only == "direct":
            direct_only(args, program, nginx, write_list, report)
            return

        product = ProductSetup(program, os.path.abspath(args.publisher), engine_program, nginx,
                               data, args.work)
        report["env"] = product.direct_env
        list_1g = write_list("list-1g.txt", [nginx.url("1g.bin")])
        list_4g = write_list("list-4g.txt", [nginx.url("4g.bin")])
        list_8m = write_list("list-8m.txt", [nginx.url("8m.bin")])
        many = [nginx.url(f"many/f{i:03d}.bin") for i in range(200)]
        list_many = write_list("list-200.txt", many)
        with open(os.path.join(data, "list-256m-capped.txt"), "w") as f:
            f.write(capped.url("256m.bin") + "\r\n")
        list_capped = capped.url("list-256m-capped.txt")
        with open(os.path.join(args.work, "many.txt"), "w") as f:
            f.write("\n".join(many) + "\n")
        with open(os.path.join(args.work, "curl-many.cfg"), "w") as f:
            for i, u in enumerate(many):
                f.write(f'url = "{u}"\noutput = "f{i:03d}.bin"\n')

        print("Installing the engine through a first run…", flush=True)
        product.install(list_8m)

        def engine_row(label, url, *extra):
            return Tool(label, product.command(url, *extra), watch=True,
                        engine_pid=product.engine_pid, env=product.engine_env)

        def direct_row(label, url, *extra, rounds=args.direct_rounds):
            return Tool(label, product.command(url, *extra), watch=True, rounds=rounds,
                        env=product.direct_env)

        print("Workload: 1 GiB file", flush=True)
        u1 = nginx.url("1g.bin")
        workload("1 GiB file", [
            engine_row("tev-download → engine", list_1g),
            direct_row("tev-download direct", list_1g),
            Tool("wget2", lambda out: ["wget2", "-q", "--no-robots", "-O", "1g.bin", u1]),
            Tool("curl", lambda out: ["curl", "-s", "-o", "1g.bin", u1]),
            Tool("aria2c -x4", lambda out: ["aria2c", "-q", "-x4", "-s4", "-k1M",
                                            "--file-allocation=none", "-d", out, u1]),
        ], 2 * args.rounds, GIB, report, "wget2")
        report["notes"].append(("rss-1g", proc_hwm_mib(product.engine_pid())))

        # The same file written to a tmpfs, where a sync costs nothing: the network and CPU side
        # of the engine apart from this machine's disk.
        print(f"Workload: {TMPFS_WORKLOAD}", flush=True)
        workload(TMPFS_WORKLOAD, [
            engine_row("tev-download → engine", list_1g),
            Tool("wget2", lambda out: ["wget2", "-q", "--no-robots", "-O", "1g.bin", u1]),
            Tool("curl", lambda out: ["curl", "-s", "-o", "1g.bin", u1]),
        ], 2 * args.rounds, GIB, report, "wget2", out_root=tmpfs_out)

        print("Workload: 4 GiB file (memory)", flush=True)
        workload("4 GiB file (memory check)", [engine_row("tev-download → engine", list_4g)],
                 1, 4 * GIB, report, "tev-download → engine")
        report["notes"].append(("rss-4g", proc_hwm_mib(product.engine_pid())))

        print("Workload: 200 files of 1 MiB", flush=True)
        workload("200 files of 1 MiB", [
            engine_row("tev-download → engine", list_many),
            direct_row("tev-download direct", list_many, rounds=min(args.direct_rounds, 1)),
            Tool("curl --parallel", lambda out: ["curl", "-s", "-Z", "-K",
                                                 os.path.join(args.work, "curl-many.cfg")]),
            Tool("wget2", lambda out: ["wget2", "-q", "--no-robots", "-i",
                                       os.path.join(args.work, "many.txt")]),
            Tool("aria2c -j5", lambda out: ["aria2c", "-q", "-j5", "--file-allocation=none",
                                            "-d", out, "-i", os.path.join(args.work, "many.txt")]),
        ], 3 * args.rounds, 200 * MIB, report, "curl --parallel")

        print("Workload: 256 MiB, 16 MB/s per connection", flush=True)
        uc = capped.url("256m.bin")
        workload(CAPPED_WORKLOAD, [
            engine_row("tev-download → engine", list_capped),
            Tool("aria2c -x8", lambda out: ["aria2c", "-q", "-x8", "-s8", "-k1M",
                                            "--file-allocation=none", "-d", out, uc]),
            Tool("axel -n8", lambda out: ["axel", "-q", "-n", "8", "-o", "256m.bin", uc]),
            Tool("curl", lambda out: ["curl", "-s", "-o", "256m.bin", uc]),
        ], max(1, (args.rounds + 1) // 2), 256 * MIB, report, "aria2c -x8")

        print("Workload: limited mode, 8 MiB", flush=True)
        workload("limited mode, 8 MiB file", [
            engine_row("tev-download → engine limited", list_8m, "--limited"),
            direct_row("tev-download direct limited", list_8m, "--limited", rounds=1),
        ], max(1, args.rounds // 3), 8 * MIB, report, "tev-download → engine limited")

        print("Workload: kill -9 at 50% of 1 GiB (the engine over its protocol)", flush=True)
        report["notes"].append(("kill", engine_bench.kill_at_half(engine_program, args.work,
                                                                  nginx, data)))
    finally:
        shutil.rmtree(tmpfs_out, ignore_errors=True)
        if product:
            product.stop()
        nginx.stop()
        capped.stop()

    write_report(args.output, report, args.rounds)
    print(f"Wrote {args.output}")


TMPFS_WORKLOAD = "1 GiB file, written to a tmpfs"
CAPPED_WORKLOAD = "256 MiB file, nginx limit_rate 16m per connection"
HTTPS_WORKLOAD = "1 GiB file over https"
KEPT_SECTIONS = [HTTPS_WORKLOAD, "Report collector"]


def https_only(args, program, nginx, certificate, write_list, report):
    """The https row alone (the direct path against curl), replacing its section."""
    env = dict(os.environ)
    env["TEV_REPORT_SERVER"] = f"127.0.0.1:{free_port()}"
    env["XDG_DATA_HOME"] = os.path.join(args.work, "xdg-direct")
    env["TEV_DOWNLOAD_SERVER"] = f"127.0.0.1:{free_port()}"
    env["TEV_ENGINE_PORT"] = str(free_port())
    # The library verifies the server against the store SSL_CERT_FILE names, curl against the
    # same certificate.
    tls_env = dict(env, SSL_CERT_FILE=certificate[0], SSL_CERT_DIR=os.path.join(args.work, "tls"))
    list_url = nginx.https_url("list-1g-https.txt")
    write_list("list-1g-https.txt", [nginx.https_url("1g.bin")])
    print("Workload: 1 GiB file over https", flush=True)
    rows = workload(HTTPS_WORKLOAD, [
        Tool("tev-download direct", lambda out: [program, "--json", "--folder", out, list_url],
             watch=True, env=tls_env),
        Tool("curl", lambda out: ["curl", "-s", "--cacert", certificate[0], "-o", "1g.bin",
                                  nginx.https_url("1g.bin")], env=tls_env),
    ], args.rounds, GIB, report, "curl")
    replace_section(args.output, https_section(rows, args.rounds))
    print(f"Updated {args.output}")


DIRECT_WORKLOAD = "Direct downloader, one connection at a time"


def direct_only(args, program, nginx, write_list, report):
    """The direct downloader's quota rows (no engine: the update server refuses connections),
    replacing their section: many files in fast mode, many small files and one file limited."""
    env = dict(os.environ)
    env["TEV_REPORT_SERVER"] = f"127.0.0.1:{free_port()}"
    env["XDG_DATA_HOME"] = os.path.join(args.work, "xdg-direct-only")
    env["TEV_DOWNLOAD_SERVER"] = f"127.0.0.1:{free_port()}"
    env["TEV_ENGINE_PORT"] = str(free_port())
    lists = {
        "200 × 1 MiB, fast": (write_list("list-200.txt", [nginx.url(f"many/f{i:03d}.bin")
                                                          for i in range(200)]), [], 200 * MIB),
        "40 × 96 KiB, limited": (write_list("list-40-small.txt", [
            nginx.url(f"small/s{i:02d}.bin") for i in range(40)]), ["--limited"], 40 * 96 * 1024),
        "8 MiB, limited": (write_list("list-8m.txt", [nginx.url("8m.bin")]), ["--limited"],
                           8 * MIB),
    }
    rows = {}
    for name, (url, extra, size) in lists.items():
        print(f"Workload: direct {name}", flush=True)
        tool = Tool("tev-download direct",
                    lambda out, url=url, extra=extra: [program, "--json", "--folder", out, *extra,
                                                       url],
                    watch=True, env=env)
        rows[name] = workload(f"direct {name}", [tool], args.rounds, size, report,
                              "tev-download direct")[0]
    def fmt(v, spec):
        return spec.format(v) if v is not None else "–"

    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    fast, small, big = (rows[n] for n in lists)
    small_floor = 40 * 96 * 1024 / LIMITED
    lines = [
        f"## {DIRECT_WORKLOAD}", "",
        f"tev-download on the direct downloader (no engine), {args.rounds} rounds each, "
        f"{time.strftime('%Y-%m-%d')}; load average at the end: {load}. Transfer: from the size "
        "check's "
        "end to the job's completion. A new connection starts with the cap prorated to what is "
        "left of the second and takes over what the previous one left (the direct rows of the "
        "full run's tables, where they are older, waited for the next tick at every file).", "",
        "| workload | runs | transfer (s, median) | min (s) | max (s) | steady (KiB/s) |",
        "|---|---|---|---|---|---|",
    ]
    for name, row in rows.items():
        times = [x["transfer"] for x in row["all"]]
        steady = row["steady"] / 1024 if row["steady"] == row["steady"] and row["steady"] else None
        lines.append(f"| {name} | {row['runs']} | {row['transfer']:.2f} | {min(times):.2f} | "
                     f"{max(times):.2f} | {fmt(steady, '{:.1f}')} |")
    fast_times = [x["transfer"] for x in fast["all"]]
    small_times = [x["transfer"] for x in small["all"]]
    big_share = big["steady"] / LIMITED if big["steady"] == big["steady"] and big["steady"] else 0
    lines += [
        "",
        f"- 200 × 1 MiB in fast mode: median {fast['transfer']:.2f} s, slowest "
        f"{max(fast_times):.2f} s (target within 2.5 s; the 100 MiB/s cap makes 2 s the floor): "
        f"{verdict(max(fast_times) <= 2.5)}.",
        f"- 40 × 96 KiB limited: fastest {min(small_times):.2f} s (target at least "
        f"{small_floor * 0.99:.2f} s, 1% under {small_floor:.0f} s at 384 KiB/s): "
        f"{verdict(min(small_times) >= small_floor * 0.99)}.",
        f"- 8 MiB limited: steady state {big_share * 100 - 100:+.2f}% from 384 KiB/s "
        f"(target within ±1%): {verdict(abs(big_share - 1) <= 0.01)}.",
        "",
    ]
    replace_section(args.output, lines)
    print(f"Updated {args.output}")


def https_section(rows, rounds):
    """The https workload's table and targets, as one section of the report."""
    fast = next(r for r in rows if r["tool"].startswith("tev"))
    curl = next(r for r in rows if r["tool"] == "curl")
    share = fast["steady"] / FAST_LIMIT if fast["steady"] == fast["steady"] and fast["steady"] else 0
    cpu_ratio = fast["cpu_per_gib"] / curl["cpu_per_gib"] if curl["cpu_per_gib"] else float("nan")
    return [
        f"## {HTTPS_WORKLOAD}", "",
        f"The same nginx over TLS (OpenSSL, a self-signed P-256 certificate that both clients "
        f"are told to trust; the library verifies it as it verifies any server); {rounds} rounds, "
        f"interleaved; {time.strftime('%Y-%m-%d')}. The file list comes over https too; the "
        "direct path (no engine).", "",
        table("curl", rows), "",
        f"- Fast mode steady state over https: {share * 100:.1f}% of 100 MiB/s "
        f"(target at least 95%): {verdict(share >= 0.95)}.",
        f"- CPU per GiB over https: {fast['cpu_per_gib']:.2f} s against curl's "
        f"{curl['cpu_per_gib']:.2f} s, {cpu_ratio:.2f}× (target at most 1.5×): "
        f"{verdict(cpu_ratio <= 1.5)}.",
        f"- Peak RSS over https: {fast['rss']:.1f} MiB (target under 32 MiB): "
        f"{verdict(fast['rss'] < 32)}.",
        "",
    ]


def verdict(ok):
    return "met" if ok else "NOT met"


def sections(path):
    """The report's sections by title ("## …" up to the next), from an existing file."""
    if not os.path.exists(path):
        return {}
    lines = open(path).read().split("\n")
    found = {}
    for i, line in enumerate(lines):
        if line.startswith("## "):
            end = next((j for j in range(i + 1, len(lines)) if lines[j].startswith("## ")), len(lines))
            found[line[3:]] = lines[i:end]
    return found


def replace_section(path, lines):
    """Puts the section in place of the report's section of the same title (or at its end)."""
    title = lines[0]
    old = open(path).read().split("\n") if os.path.exists(path) else ["# Benchmarks", ""]
    if title in old:
        start = old.index(title)
        end = next((i for i in range(start + 1, len(old)) if old[i].startswith("## ")), len(old))
        old[start:end] = lines
    else:
        old += lines
    with open(path, "w") as f:
        f.write("\n".join(old))


def load_average():
    try:
        return open("/proc/loadavg").read().split()[:3]
    except OSError:
        return ["?"] * 3


def write_report(path, report, rounds):
    kept = sections(path)
    rows = {name: r for name, _, r in report["workloads"]}
    notes = dict(report["notes"])

    def row(workload, prefix):
        return next(r for r in rows[workload] if r["tool"].startswith(prefix))

    parts = ["# Benchmarks", "",
             f"Machine: {machine()}; load average at the end of the run: "
             f"{' '.join(load_average())} (the machine is shared with builds: ratios within one "
             "run count, absolute times drift).", "",
             f"Loopback, a private nginx (sendfile) serving the files; {rounds} rounds ({2 * rounds} "
             f"for the 1 GiB file and {3 * rounds} for the 200 small files, whose runs are short "
             "and noisy), the tools interleaved in rotated order within each round; medians. "
             "Rows:", "",
             "- **tev-download → engine**: the whole product. tev-download → library → "
             "TEVDownloadV32, the engine published on the same nginx as the update server, "
             "installed by a first run and left running (as the library leaves it). *Transfer*: "
             "from the size check's end (the job starts then) to the job's completion "
             "notification; *whole run*: the process from start to exit (file list, size check, "
             "update check, transfer). CPU: tev-download's own plus the engine's during the run "
             "(the engine's share given apart); peak RSS: tev-download's (the engine's in the "
             "notes).",
             "- **tev-download direct**: the library's direct downloader (no engine installed, the "
             "update server refusing connections), with its one-second receive quota; fewer "
             "rounds where it is slow by design.",
             "- the other tools: one process, transfer = whole run.", "",
             "Every run starts after a sync, so that none waits for an earlier run's writeback. "
             "Files are written to the work folder on the machine's disk; the 1 GiB file is also "
             "written to a tmpfs (/dev/shm), apart from the disk.", "",
             "Ratios are medians of per-round ratios of transfer times to the named tool's wall "
             "time in the same round. Steady state: the slope of tev-download's bytes over time, "
             "fitted to its progress notifications after the first (the one that comes with "
             "completion left out). The https and report-collector sections at the end come from "
             "earlier runs (their dates in them): this run does not repeat them.", ""]
    for name, reference, workload_rows in report["workloads"]:
        parts += [f"## {name}", "", table(reference, workload_rows), ""]

    engine_1g = row("1 GiB file", "tev-download → engine")
    wget2 = row("1 GiB file", "wget2")
    engine_tmpfs = row(TMPFS_WORKLOAD, "tev-download → engine")
    wget2_tmpfs = row(TMPFS_WORKLOAD, "wget2")
    four = row("4 GiB file (memory check)", "tev-download → engine")
    many_engine = row("200 files of 1 MiB", "tev-download → engine")
    capped_engine = row(CAPPED_WORKLOAD, "tev-download → engine")
    aria = row(CAPPED_WORKLOAD, "aria2c -x8")
    axel = row(CAPPED_WORKLOAD, "axel -n8")
    capped_curl = row(CAPPED_WORKLOAD, "curl")
    limited = row("limited mode, 8 MiB file", "tev-download → engine limited")
    limited_direct = row("limited mode, 8 MiB file", "tev-download direct limited")
    engine_cpu_gib = engine_1g["engine_cpu"]
    rss_1g, rss_4g = notes.get("rss-1g"), notes.get("rss-4g")
    limited_share = limited["steady"] / LIMITED if limited["steady"] == limited["steady"] else 0

    def fmt(v, spec="{:.2f}"):
        return "–" if v is None or v != v else spec.format(v)

    parts += ["## Engine targets (this run)", "",
              f"- 1 GiB: transfer {fmt(engine_1g['ratio'])}× wget2's wall time (target at most "
              f"0.85×): {verdict(engine_1g['ratio'] <= 0.85)}. CPU per GiB {fmt(engine_1g['cpu_per_gib'])} s "
              f"(engine {fmt(engine_cpu_gib)} s, tev-download the rest) against wget2's "
              f"{fmt(wget2['cpu_per_gib'])} s: {verdict(engine_1g['cpu_per_gib'] <= wget2['cpu_per_gib'])}.",
              f"- Engine peak RSS: {fmt(rss_1g, '{:.1f}')} MiB after the 1 GiB rounds, "
              f"{fmt(rss_4g, '{:.1f}')} MiB after 4 GiB (target under 64 MiB and flat): "
              f"{verdict(rss_1g is not None and rss_4g is not None and rss_4g < 64 and rss_4g <= rss_1g * 1.1 + 1)}.",
              f"- 200 files of 1 MiB: transfer {fmt(many_engine['ratio'])}× curl --parallel's "
              f"(target at most 0.9×): {verdict(many_engine['ratio'] <= 0.9)}.",
              f"- 256 MiB at 16 MB/s per connection: {fmt(capped_engine['ratio'])}× aria2c -x8's, "
              f"{fmt(capped_engine['transfer'] / axel['transfer'])}× axel -n8's (medians; target "
              f"at most 1× both): {verdict(capped_engine['ratio'] <= 1 and capped_engine['transfer'] <= axel['transfer'])}; "
              f"{fmt(capped_curl['transfer'] / capped_engine['transfer'], '{:.1f}')}× faster than "
              f"curl's one connection (target at least 3×): "
              f"{verdict(capped_curl['transfer'] >= 3 * capped_engine['transfer'])}.",
              f"- Limited mode through the engine: steady state {fmt(limited['steady'] / 1024 if limited['steady'] else None, '{:.1f}')} "
              f"KiB/s, {fmt((limited_share - 1) * 100, '{:+.2f}')}% from 384 KiB/s (target within "
              f"±1%): {verdict(abs(limited_share - 1) <= 0.01)}; the direct path "
              f"{fmt(limited_direct['steady'] / 1024 if limited_direct['steady'] else None, '{:.1f}')} KiB/s.",
              f"- {notes.get('kill', 'kill -9: not measured.')}",
              "",
              f"- 1 GiB written to a tmpfs: transfer {fmt(engine_tmpfs['ratio'])}× wget2's wall "
              f"time (target at most 0.85×): {verdict(engine_tmpfs['ratio'] <= 0.85)}; CPU per GiB "
              f"{fmt(engine_tmpfs['cpu_per_gib'])} s against wget2's "
              f"{fmt(wget2_tmpfs['cpu_per_gib'])} s: "
              f"{verdict(engine_tmpfs['cpu_per_gib'] <= wget2_tmpfs['cpu_per_gib'])}.",
              "",
              "The two 1 GiB rows differ by the disk. The engine's file is on disk before it takes "
              "its final name (the part file is synced every second or 32 MiB, and before the "
              "rename, so a crash never leaves a file that claims bytes it lacks); wget2 and curl "
              "end with their data still in the page cache. On the disk the engine's time is "
              "therefore at least the time this machine's disk takes to write 1 GiB, which varies "
              "from run to run and is slowest in a workload's first rounds (it wrote 4 GiB at "
              f"{fmt(four['throughput'] if four else None, '{:.0f}')} MiB/s), and the writeback done "
              "inside those syncs is counted as the engine's CPU. On the tmpfs a sync costs "
              "nothing, and what is left is the network and the copying, shared by the engine's two "
              "receiving threads.",
              ""]
    parts += where_the_time_goes(rows)
    for title in KEPT_SECTIONS:
        if title in kept and title not in rows:
            parts += kept[title]
    with open(path, "w") as f:
        f.write("\n".join(parts).rstrip("\n") + "\n")


def where_the_time_goes(rows):
    """A short account of each path, with this run's figures."""
    def get(workload, prefix):
        return next((r for r in rows.get(workload, []) if r["tool"].startswith(prefix)), None)

    def fmt(v, spec="{:.2f}"):
        return "–" if v is None or v != v else spec.format(v)

    one = get("1 GiB file", "tev-download → engine")
    many = get("200 files of 1 MiB", "tev-download → engine")
    direct_one = get("1 GiB file", "tev-download direct")
    direct_many = get("200 files of 1 MiB", "tev-download direct")
    return [
        "## Where the time goes", "",
        "**Through the engine.** tev-download first fetches the file list and checks every "
        "file's size (the library's own requests; for 200 files that is most of the "
        f"{fmt(many['wall'] - many['transfer'] if many else None)} s between the whole run and the "
        "transfer). The job then starts: the engine downloader begins with an update check (the "
        "descriptor from the update server; on loopback a tenth of a second or so), connects to "
        "the running engine and hands the file list over. The engine learns each file's size "
        "from a first 4 MiB range, then adds connections while they make the file faster; new "
        "files alternate between its two receiving threads, and a large file gets a connection "
        "on each from the start. Its bytes go from the socket into libcurl's buffer and from "
        "there with `pwrite` into the part file (small reads gathered to 256 KiB first); a disk "
        "thread syncs the data and records it every second or 32 MiB, and another truncates, "
        "syncs and renames each complete file while the next ones download. On loopback the "
        "1 GiB file is bound by the two copies per byte (socket to user space, user space to the "
        "page cache), shared by the two receiving threads on two cores that nginx and the client "
        "use too, and by the sync of its last bytes before the rename, which wget2 and curl do "
        "not wait for. Engine CPU for 1 GiB: "
        f"{fmt(one['engine_cpu'] if one else None)} s; tev-download's own: "
        f"{fmt(one['cpu'] - one['engine_cpu'] if one and one['engine_cpu'] is not None else None)} s.",
        "",
        "**Direct path.** The library's direct downloader receives by a quota that a one-second "
        "tick refills (100 MiB/s per connection in fast mode, 384 KiB/s limited), so the 1 GiB "
        f"file takes about ten seconds ({fmt(direct_one['transfer'] if direct_one else None)} s "
        "here) whatever the line; a new file's connection starts with an empty quota and waits "
        "for the next tick, so 200 small files take about a second each "
        f"({fmt(direct_many['transfer'] if direct_many else None)} s here). Its CPU per GiB is "
        "the cost of that receive loop; it is the fallback when the engine path is unavailable.",
        "",
    ]


if __name__ == "__main__":
    sys.exit(main())
