#!/usr/bin/env python3
"""Side-by-side download benchmarks on loopback: tev-download, curl, wget and aria2c.

Every workload runs its tools interleaved, one run of each per round in rotated order, so that
the machine's drift touches all of them alike; medians are compared as ratios to curl within
the same rounds. Writes a Markdown report (bench/RESULTS.md by default).
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
    def __init__(self, root, work, certificate=None):
        self.port = free_port()
        self.ssl_port = free_port() if certificate else None
        self.prefix = os.path.join(work, "nginx")
        os.makedirs(os.path.join(self.prefix, "logs"), exist_ok=True)
        conf = os.path.join(self.prefix, "nginx.conf")
        tls = ""
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
        root {root};
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


def run(command, out_dir, env=None, on_line=None, timeout=600):
    """Runs a command; answers wall seconds, CPU seconds (user + sys) and peak RSS in KiB."""
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
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
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "rss": rss[0] or None}


class ProgressWatch:
    """Steady-state throughput from tev-download's JSON progress notifications."""

    def __init__(self):
        self.points = []
        self.file_done = []

    def __call__(self, t, line):
        try:
            event = json.loads(line)
        except ValueError:
            return
        if event.get("name") == "job-progress":
            self.points.append((t, event["present"]))
        elif event.get("name") == "file-done":
            self.file_done.append(t)

    def steady_rate(self):
        # The last notification comes with completion, part of the way into a quota second: it
        # is left out, and the slope is fitted over the others so that no single late line
        # decides the figure.
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


def workload(name, tools, rounds, size_bytes, report):
    """tools: list of (label, command builder, on_line factory or None)."""
    results = {label: [] for label, _, _ in tools}
    watches = {label: [] for label, _, _ in tools}
    for r in range(rounds):
        shift = r % len(tools)
        for label, build, watch_factory in tools[shift:] + tools[:shift]:
            watch = watch_factory() if watch_factory else None
            out_dir = os.path.join(report["work"], "out")
            result = run(build(out_dir), out_dir, env=report["env"], on_line=watch)
            results[label].append(result)
            if watch:
                watches[label].append(watch)
            print(f"  {name} round {r + 1}/{rounds} {label}: {result['wall']:.2f} s", flush=True)
    rows = []
    curl = results.get("curl")
    for label, _, _ in tools:
        runs = results[label]
        wall = median([x["wall"] for x in runs])
        ratio = (median([x["wall"] / c["wall"] for x, c in zip(runs, curl)]) if curl else None)
        rows.append({
            "tool": label,
            "wall": wall,
            "throughput": size_bytes / wall / MIB if size_bytes else None,
            "ratio": ratio,
            "cpu": median([x["cpu"] for x in runs]),
            "cpu_per_gib": median([x["cpu"] for x in runs]) / (size_bytes / GIB) if size_bytes else None,
            "rss": max((x["rss"] for x in runs if x["rss"]), default=0) / 1024 or None,
            "steady": median([w.steady_rate() for w in watches[label] if w.steady_rate()])
            if watches[label] else None,
            "watches": watches[label],
        })
    report["workloads"].append((name, rows))
    return rows


def table(rows):
    lines = ["| tool | median wall (s) | throughput (MiB/s) | wall / curl | CPU user+sys (s) | "
             "CPU per GiB (s) | peak RSS (MiB) | steady state (MiB/s) |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        def f(v, fmt):
            return "–" if v is None or v != v else fmt.format(v)
        lines.append(f"| {r['tool']} | {f(r['wall'], '{:.2f}')} | {f(r['throughput'], '{:.1f}')} | "
                     f"{f(r['ratio'], '{:.2f}')} | {f(r['cpu'], '{:.2f}')} | "
                     f"{f(r['cpu_per_gib'], '{:.2f}')} | {f(r['rss'], '{:.1f}')} | "
                     f"{f(r['steady'] / MIB if r['steady'] else None, '{:.2f}')} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="the tev-download binary")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--output", default=os.path.join(os.path.dirname(__file__), "RESULTS.md"))
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "tev-bench"))
    parser.add_argument("--only", choices=["https"],
                        help="run only these workloads and replace their section of the report")
    args = parser.parse_args()
    program = os.path.abspath(args.program)

    data = os.path.join(args.work, "data")
    os.makedirs(os.path.join(data, "many"), exist_ok=True)
    print("Preparing files…", flush=True)
    make_file(os.path.join(data, "1g.bin"), GIB)
    if not args.only:
        make_file(os.path.join(data, "4g.bin"), 4 * GIB, random=False)
        make_file(os.path.join(data, "8m.bin"), 8 * MIB)
        for i in range(200):
            make_file(os.path.join(data, "many", f"f{i:03d}.bin"), MIB)
    certificate = make_certificate(os.path.join(args.work, "tls"))

    nginx = Nginx(data, args.work, certificate)
    try:
        def write_list(name, urls):
            with open(os.path.join(data, name), "w") as f:
                f.write("".join(u + "\r\n" for u in urls))
            return nginx.url(name)

        list_1g = write_list("list-1g.txt", [nginx.url("1g.bin")])
        list_4g = write_list("list-4g.txt", [nginx.url("4g.bin")])
        list_8m = write_list("list-8m.txt", [nginx.url("8m.bin")])
        many = [nginx.url(f"many/f{i:03d}.bin") for i in range(200)]
        list_many = write_list("list-200.txt", many)
        with open(os.path.join(args.work, "many.txt"), "w") as f:
            f.write("\n".join(many) + "\n")
        with open(os.path.join(args.work, "curl-many.cfg"), "w") as f:
            for i, u in enumerate(many):
                f.write(f'url = "{u}"\noutput = "f{i:03d}.bin"\n')

        env = dict(os.environ)
        env["TEV_REPORT_SERVER"] = f"127.0.0.1:{free_port()}"  # statistics go nowhere
        env["XDG_DATA_HOME"] = os.path.join(args.work, "xdg")
        report = {"work": args.work, "env": env, "workloads": []}

        def tev(url, *extra):
            return lambda out: [program, "--json", *extra, "--folder", out, url]

        # https: the library verifies the server against the store SSL_CERT_FILE names, curl
        # against the same certificate.
        tls_env = dict(env, SSL_CERT_FILE=certificate[0], SSL_CERT_DIR=os.path.join(args.work, "tls"))
        write_list("list-1g-https.txt", [nginx.https_url("1g.bin")])
        one_gib_https = [
            ("tev-download fast", tev(nginx.https_url("list-1g-https.txt")), ProgressWatch),
            ("curl", lambda out: ["curl", "-s", "--cacert", certificate[0], "-o", "1g.bin",
                                  nginx.https_url("1g.bin")], None),
        ]
        if args.only == "https":
            print("Workload: 1 GiB file over https", flush=True)
            workload(HTTPS_WORKLOAD, one_gib_https, args.rounds, GIB, dict(report, env=tls_env))
            return

        one_gib = [
            ("tev-download fast", tev(list_1g), ProgressWatch),
            ("curl", lambda out: ["curl", "-s", "-o", "1g.bin", nginx.url("1g.bin")], None),
            ("wget", lambda out: ["wget", "-q", "-O", "1g.bin", nginx.url("1g.bin")], None),
            ("aria2c -x1", lambda out: ["aria2c", "-q", "-x1", "-s1", "--file-allocation=none",
                                        "-d", out, nginx.url("1g.bin")], None),
            ("aria2c -x4", lambda out: ["aria2c", "-q", "-x4", "-s4", "-k1M",
                                        "--file-allocation=none", "-d", out,
                                        nginx.url("1g.bin")], None),
        ]
        print("Workload: 1 GiB file", flush=True)
        workload("1 GiB file", one_gib, args.rounds, GIB, report)

        print("Workload: 4 GiB file (memory)", flush=True)
        workload("4 GiB file (memory check)", [("tev-download fast", tev(list_4g), ProgressWatch)],
                 2, 4 * GIB, report)

        print("Workload: limited mode, 8 MiB", flush=True)
        workload("limited mode, 8 MiB file",
                 [("tev-download limited", tev(list_8m, "--limited"), ProgressWatch),
                  ("curl", lambda out: ["curl", "-s", "-o", "8m.bin", nginx.url("8m.bin")], None)],
                 args.rounds, 8 * MIB, report)

        print("Workload: 200 files of 1 MiB", flush=True)
        workload("200 files of 1 MiB", [
            ("tev-download fast", tev(list_many), ProgressWatch),
            ("curl --parallel", lambda out: ["curl", "-s", "-Z", "--parallel-max", "5", "-K",
                                             os.path.join(args.work, "curl-many.cfg")], None),
            ("wget -i", lambda out: ["wget", "-q", "-i", os.path.join(args.work, "many.txt")], None),
            ("aria2c -j5", lambda out: ["aria2c", "-q", "-j5", "--file-allocation=none", "-d", out,
                                        "-i", os.path.join(args.work, "many.txt")], None),
        ], args.rounds, 200 * MIB, report)

        print("Workload: 1 GiB file over https", flush=True)
        workload(HTTPS_WORKLOAD, one_gib_https, args.rounds, GIB, dict(report, env=tls_env))
    finally:
        nginx.stop()
        if args.only == "https" and dict(report["workloads"]).get(HTTPS_WORKLOAD):
            replace_section(args.output, https_section(dict(report["workloads"])[HTTPS_WORKLOAD],
                                                       args.rounds))
            print(f"Updated {args.output}")

    write_report(args.output, report, args.rounds)
    print(f"Wrote {args.output}")


HTTPS_WORKLOAD = "1 GiB file over https"


def https_section(rows, rounds):
    """The https workload's table and targets, as one section of the report."""
    fast = next(r for r in rows if r["tool"].startswith("tev"))
    curl = next(r for r in rows if r["tool"] == "curl")
    share = fast["steady"] / FAST_LIMIT if fast["steady"] else 0
    cpu_ratio = fast["cpu_per_gib"] / curl["cpu_per_gib"] if curl["cpu_per_gib"] else float("nan")

    def verdict(ok):
        return "met" if ok else "NOT met"

    return [
        f"## {HTTPS_WORKLOAD}", "",
        f"The same nginx over TLS (OpenSSL, a self-signed P-256 certificate that both clients "
        f"are told to trust; the library verifies it as it verifies any server); {rounds} rounds, "
        f"interleaved; {time.strftime('%Y-%m-%d')}. The file list comes over https too. The "
        "machine was shared with other builds while this ran.", "",
        table(rows), "",
        f"- Fast mode steady state over https: {share * 100:.1f}% of 100 MiB/s "
        f"(target at least 95%): {verdict(share >= 0.95)}.",
        f"- CPU per GiB over https: {fast['cpu_per_gib']:.2f} s against curl's "
        f"{curl['cpu_per_gib']:.2f} s, {cpu_ratio:.2f}× (target at most 1.5×): "
        f"{verdict(cpu_ratio <= 1.5)}.",
        f"- Peak RSS over https: {fast['rss']:.1f} MiB (target under 32 MiB): "
        f"{verdict(fast['rss'] < 32)}.",
        "",
    ]


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


def write_report(path, report, rounds):
    parts = ["# Benchmarks", "",
             f"Machine: {machine()}.", "",
             f"Loopback, a private nginx (sendfile) serving the files; {rounds} rounds, the tools "
             "interleaved in rotated order within each round; medians; \"wall / curl\" is the "
             "median of the per-round ratios. Steady state: the slope of tev-download's bytes over "
             "time, fitted to its progress notifications after the first tick (the one that "
             "comes with completion left out).", ""]
    for name, rows in report["workloads"]:
        if name != HTTPS_WORKLOAD:
            parts += [f"## {name}", "", table(rows), ""]
    rows = dict(report["workloads"])
    parts += ["## Targets", ""]
    fast = next(r for r in rows["1 GiB file"] if r["tool"].startswith("tev"))
    curl = next(r for r in rows["1 GiB file"] if r["tool"] == "curl")
    big = rows["4 GiB file (memory check)"][0]
    limited = rows["limited mode, 8 MiB file"][0]
    many = rows["200 files of 1 MiB"][0]
    fast_share = fast["steady"] / FAST_LIMIT if fast["steady"] else 0
    limited_share = limited["steady"] / LIMITED if limited["steady"] else 0
    cpu_ratio = fast["cpu_per_gib"] / curl["cpu_per_gib"] if curl["cpu_per_gib"] else float("nan")

    def verdict(ok):
        return "met" if ok else "NOT met"

    parts += [
        f"- Fast mode steady state: {fast_share * 100:.1f}% of 100 MiB/s "
        f"(target at least 95%): {verdict(fast_share >= 0.95)}.",
        f"- Limited mode steady state: {limited['steady'] / 1024 if limited['steady'] else 0:.1f} KiB/s, "
        f"{(limited_share - 1) * 100:+.1f}% from 384 KiB/s (target within ±3%): "
        f"{verdict(abs(limited_share - 1) <= 0.03)}.",
        f"- CPU per GiB: {fast['cpu_per_gib']:.2f} s against curl's {curl['cpu_per_gib']:.2f} s, "
        f"{cpu_ratio:.2f}× (target at most 1.5×): {verdict(cpu_ratio <= 1.5)}.",
        f"- Peak RSS: {fast['rss']:.1f} MiB for 1 GiB, {big['rss']:.1f} MiB for 4 GiB "
        f"(target under 32 MiB and not growing with the file): "
        f"{verdict(fast['rss'] < 32 and big['rss'] < 32 and big['rss'] <= fast['rss'] * 1.1 + 1)}.",
    ]
    intervals = []
    for w in many["watches"]:
        done = w.file_done
        intervals += [b - a for a, b in zip(done, done[1:])]
    per_file = median(intervals)
    transfer = MIB / FAST_LIMIT
    parts += [
        f"- 200 files of 1 MiB: {many['wall']:.1f} s median for tev-download. Files complete "
        f"every {per_file:.3f} s (median); moving 1 MiB at the 100 MiB/s limit takes "
        f"{transfer:.3f} s, so about {max(per_file - transfer, 0):.3f} s per file goes to waiting. "
        "Each file has a connection of its own whose receive quota starts empty and is filled "
        "only by the one-second tick. A file finishes within milliseconds of the tick that lets "
        "its bytes through, so the next file's connection opens just after a tick and waits "
        "almost a whole second for the next one: the cost is about one tick per file, by design "
        "of the per-connection quota.",
        "",
    ]
    if rows.get(HTTPS_WORKLOAD):
        parts += https_section(rows[HTTPS_WORKLOAD], rounds)
    with open(path, "w") as f:
        f.write("\n".join(parts))


if __name__ == "__main__":
    sys.exit(main())
