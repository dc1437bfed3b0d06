#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Benchmark of kestrane-cli against the stand-in publication server.

Run through scripts/bench, which builds the release binaries first. Measures,
for each emulated round trip: the wall time of a 20-document run, the time
spent merging, the request-chain floor, the TCP connections opened and the
peak RSS of kestrane-cli, with each of its two merge engines (qpdf in-process,
the default, and the external pdftk); the same documents fetched by two peers
(a curl script and a urllib script, merging with the qpdf command line, and
urllib with pdftk for reference); the merge step alone (kestrane-mergebench);
the peak RSS for one 300-page document; and how quickly a cancel and a
watchdog stop take effect. Every figure carries the load average at its time.
Prints a table and one PASS/FAIL line per target; exits 1 when a target
fails, 2 when the run itself went wrong.
"""
import argparse
import http.client
import json
import os
import platform
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
USER_AGENT = "Mozilla/4.0 (compatible; MSIE 6.0; Windows 98)"
ACCEPT_LANGUAGE = "en-us,en;q=0.5"
REAL_PDFTK = "/usr/bin/pdftk"
REAL_QPDF = "/usr/bin/qpdf"
MIB = 1024 * 1024
TARGET_RTT = 20  # the round trip at which the targets are judged

# Merge program stand-in (one named pdftk, one named qpdf, first in PATH):
# times the real program and passes its output and status through. It has to
# outlive the program to write the end stamp, so it runs it as a child rather
# than exec-ing it; bash's EPOCHREALTIME keeps the stamps fork-free.
WRAPPER = """#!/bin/bash
start=$EPOCHREALTIME
"$BENCH_REAL_{name}" "$@"
status=$?
printf '%s %s\\n' "$start" "$EPOCHREALTIME" >>"$BENCH_MERGE_LOG"
exit $status
"""


def load_average():
    return os.getloadavg()[0]


def fmt_load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


class BenchError(Exception):
    pass


def numbers(count, first=1):
    return [f"DE{1000000000 + i:010d}A1" for i in range(first, first + count)]


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---- The stand-in server and its request log.

class Server:
    """kestrane-pubserver on a free port, stopped with SIGTERM."""

    def __init__(self, exe, log_path, rtt=0, pages=10, kb=40, faults=()):
        args = [exe, "--port", "0", "--log", log_path, "--rtt", str(rtt),
                "--synthetic-pages", str(pages), "--synthetic-kb", str(kb)]
        for fault in faults:
            args += ["--fault", fault]
        self.log_path = log_path
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        self.base = self.proc.stdout.readline().strip()
        if not self.base.startswith("http://"):
            self.stop()
            raise BenchError(f"kestrane-pubserver did not start: {' '.join(args)}")
        url = urllib.parse.urlsplit(self.base)
        self.host, self.port = url.hostname, url.port

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


LOG_FIELDS = ("method", "target", "path", "agent", "language", "cookie", "number", "port")


def parse_log_line(line):
    return dict(zip(LOG_FIELDS, line.rstrip("\n").split("\t")))


def connections(entries):
    """TCP connections behind a sequential client's requests: a new one starts
    wherever the client port changes. (Counting distinct ports would miss the
    ports that the system hands out again in a long run of short connections.)"""
    ports = [e.get("port") for e in entries]
    return sum(1 for i, port in enumerate(ports) if i == 0 or port != ports[i - 1])


def read_log(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return [parse_log_line(line) for line in f if line.strip()]


class LogTail(threading.Thread):
    """Stamps each server log line with the monotonic time it appeared (polled every 2 ms)."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.entries = []  # (time, fields), guarded by self.cond
        self.cond = threading.Condition()
        self.stopping = threading.Event()

    def run(self):
        pending = ""
        offset = 0
        while not self.stopping.is_set():
            try:
                with open(self.path, encoding="utf-8", errors="replace") as f:
                    f.seek(offset)
                    chunk = f.read()
                    offset = f.tell()
            except FileNotFoundError:
                chunk = ""
            if chunk:
                now = time.monotonic()
                pending += chunk
                *lines, pending = pending.split("\n")
                with self.cond:
                    self.entries += [(now, parse_log_line(l)) for l in lines if l]
                    self.cond.notify_all()
            time.sleep(0.002)

    def wait_for(self, predicate, timeout):
        """The time of the first entry that fits, or None after timeout seconds."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for stamp, entry in self.entries:
                    if predicate(entry):
                        return stamp
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def stop(self):
        self.stopping.set()
        self.join()


# ---- Running a client.

class RssSampler(threading.Thread):
    """Peak VmHWM and CPU time of one process (not of its children), read every
    20 ms until it exits."""

    TICK = os.sysconf("SC_CLK_TCK")

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak_kb = 0
        self.cpu = 0.0
        self.stopping = threading.Event()

    def run(self):
        status, stat = f"/proc/{self.pid}/status", f"/proc/{self.pid}/stat"
        while not self.stopping.is_set():
            try:
                with open(stat) as f:
                    # utime and stime follow the parenthesised command name.
                    fields = f.read().rsplit(")", 1)[1].split()
                with open(status) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.peak_kb = max(self.peak_kb, int(line.split()[1]))
                            break
                    else:
                        return  # a zombie has no memory lines: it has exited
                self.cpu = (int(fields[11]) + int(fields[12])) / self.TICK
            except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
                return
            self.stopping.wait(0.02)


def client_env(base, bin_dir, merge_log):
    env = dict(os.environ)
    env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "")
    env["KESTRANE_SERVER_BASE"] = base
    env["BENCH_MERGE_LOG"] = merge_log
    env["BENCH_REAL_PDFTK"] = REAL_PDFTK
    env["BENCH_REAL_QPDF"] = REAL_QPDF
    env.pop("KESTRANE_MERGE_PROGRAM", None)
    for name in ("JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS"):
        env.pop(name, None)
    return env


def start(argv, env, err_path, cwd=None):
    err = open(err_path, "wb")
    try:
        t0 = time.monotonic()
        proc = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)
    finally:
        err.close()
    return proc, t0


def timed_run(argv, env, err_path, sample_rss=False, timeout=900):
    proc, t0 = start(argv, env, err_path)
    sampler = None
    if sample_rss:
        sampler = RssSampler(proc.pid)
        sampler.start()
    try:
        rc = proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise BenchError(f"{os.path.basename(argv[0])} did not finish in {timeout} s")
    wall = time.monotonic() - t0
    peak_kb = cpu = None
    if sampler:
        sampler.stopping.set()
        sampler.join()
        peak_kb, cpu = sampler.peak_kb, sampler.cpu
    return {"wall": wall, "rc": rc, "peak_kb": peak_kb, "cpu": cpu}


def merge_time(path):
    total, count = 0.0, 0
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                start_s, end_s = line.split()
                total += float(end_s) - float(start_s)
                count += 1
    return total, count


def page_count(path):
    try:
        out = subprocess.run(["qpdf", "--show-npages", path], capture_output=True, text=True,
                             timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return int(out.stdout) if out.returncode == 0 and out.stdout.strip().isdigit() else None


def good_pdfs(folder, nums, pages):
    return sum(1 for n in nums if page_count(os.path.join(folder, n + ".pdf")) == pages)


def tail_of(path, lines=5):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:]).strip()
    except OSError:
        return ""


# ---- The floor.

def replay(server, entries):
    """Seconds to send the logged requests in order over one keep-alive connection."""
    headers = {"User-Agent": USER_AGENT, "Accept-Language": ACCEPT_LANGUAGE}
    t0 = time.monotonic()
    conn = http.client.HTTPConnection(server.host, server.port, timeout=60)
    try:
        for e in entries:
            body = b"" if e["method"] == "POST" else None
            conn.request(e["method"], e["target"], body=body, headers=headers)
            response = conn.getresponse()
            response.read()
            cookie = response.getheader("Set-Cookie")
            if cookie:
                headers["Cookie"] = cookie.split(";", 1)[0]
    finally:
        conn.close()
    return time.monotonic() - t0


class Bench:
    def __init__(self, args, tmp):
        self.args = args
        self.tmp = tmp
        self.server_exe = os.path.join(args.build, "server", "kestrane-pubserver")
        self.cli_exe = os.path.join(args.build, "cli", "kestrane-cli")
        self.mergebench_exe = os.path.join(args.build, "bench", "kestrane-mergebench")
        for exe in (self.server_exe, self.cli_exe, self.mergebench_exe):
            if not os.access(exe, os.X_OK):
                raise BenchError(f"{exe} is missing; build it first (scripts/bench does)")
        if not os.access(REAL_QPDF, os.X_OK):
            raise BenchError(f"{REAL_QPDF} is missing (the peers merge with it)")
        self.pdftk = os.access(REAL_PDFTK, os.X_OK) and not args.no_pdftk
        if os.path.exists(os.path.join(os.path.dirname(self.cli_exe), "pdftk")):
            # kestrane-cli would take it before the timing wrapper in PATH.
            raise BenchError("a pdftk beside kestrane-cli would escape the merge timing; remove it")
        self.bin_dir = os.path.join(tmp, "bin")
        os.makedirs(self.bin_dir)
        for name in ("pdftk", "qpdf"):
            wrapper = os.path.join(self.bin_dir, name)
            with open(wrapper, "w") as f:
                f.write(WRAPPER.replace("{name}", name.upper()))
            os.chmod(wrapper, 0o755)
        self.serial = 0
        self.replay_cache = {}

    def folder(self, name):
        self.serial += 1
        path = os.path.join(self.tmp, f"{self.serial:02d}-{name}")
        os.makedirs(path)
        return path

    def client_argv(self, client, out, nums):
        if client == "kestrane":
            return [self.cli_exe, "-o", out, *nums]
        if client == "kestrane/pdftk":
            return [self.cli_exe, "-o", out, "--merge-program", "pdftk", *nums]
        client = client.split("/")[0]
        if client == "curl":
            return ["bash", os.path.join(HERE, "peer_curl.sh"), None, out, *nums]
        if client == "urllib":
            return [sys.executable, os.path.join(HERE, "peer_urllib.py"), None, out, *nums]
        raise ValueError(client)

    def download(self, client, rtt, nums, pages, kb):
        """One run of one client against a fresh server; returns its measurements."""
        work = self.folder(f"{client}-rtt{rtt}-p{pages}")
        out = os.path.join(work, "out")
        os.makedirs(out)
        log_path = os.path.join(work, "server.log")
        merge_log = os.path.join(work, "merges")
        err_path = os.path.join(work, "stderr")
        with Server(self.server_exe, log_path, rtt=rtt, pages=pages, kb=kb) as server:
            argv = self.client_argv(client, out, nums)
            if None in argv:
                argv[argv.index(None)] = server.base
            env = client_env(server.base, self.bin_dir, merge_log)
            env["BENCH_MERGE"] = "pdftk" if client.endswith("/pdftk") else "qpdf"
            run = timed_run(argv, env, err_path, sample_rss=client.startswith("kestrane"))
        load = load_average()
        entries = read_log(log_path)
        merges, merge_count = merge_time(merge_log)
        estimated = client == "kestrane"
        if estimated:
            # In-process merges leave no trace outside: time the same merge
            # alone, right after the run, under the same load.
            alone = self.mergebench(pages, kb, repeats=21)
            merges, merge_count = alone["median"] * len(nums), len(nums)
        result = {
            "client": client, "rtt": rtt, "docs": len(nums), "pages": pages, "kb": kb,
            "wall": run["wall"], "rc": run["rc"], "merges": merges, "merge_count": merge_count,
            "merges_estimated": estimated, "load": load,
            "requests": len(entries), "connections": connections(entries),
            "peak_mib": run["peak_kb"] / 1024 if run["peak_kb"] is not None else None,
            "cpu": run["cpu"],
            "good_pdfs": good_pdfs(out, nums, pages), "entries": entries,
        }
        if merge_count != len(nums):
            log(f"  {client} at {rtt} ms: {merge_count} merges timed for {len(nums)} documents")
        if run["rc"] != 0 or result["good_pdfs"] != len(nums):
            log(f"  {client} at {rtt} ms: exit {run['rc']}, {result['good_pdfs']}/{len(nums)} "
                f"PDFs with {pages} pages; stderr: {tail_of(err_path)}")
        shutil.rmtree(out, ignore_errors=True)  # 8 MB per run adds up
        return result

    def mergebench(self, pages, kb, repeats, program="", scan=None):
        """The merge step alone (kestrane-mergebench): seconds per merge, peak RSS."""
        argv = [self.mergebench_exe, "--pages", str(pages), "--kb", str(kb),
                "--repeats", str(repeats)]
        if program:
            argv += ["--program", program]
        if scan:
            argv += ["--scan", scan]
        env = client_env("", self.bin_dir, os.path.join(self.tmp, "mergebench-merges"))
        out = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=900)
        if out.returncode != 0:
            raise BenchError(f"kestrane-mergebench failed: {out.stderr.strip()}")
        result = json.loads(out.stdout)
        result["load"] = load_average()
        return result

    def replay_time(self, entries, pages, kb, rtt, runs):
        """Best of some replays of the request sequence, each against a fresh server."""
        key = (tuple((e["method"], e["target"]) for e in entries), rtt)
        if key not in self.replay_cache:
            best = None
            for _ in range(runs):
                log_path = os.path.join(self.folder(f"replay-rtt{rtt}"), "server.log")
                with Server(self.server_exe, log_path, rtt=rtt, pages=pages, kb=kb) as server:
                    seconds = replay(server, entries)
                used = connections(read_log(log_path))
                if used != 1:
                    raise BenchError(f"the replay used {used} connections instead of one")
                best = seconds if best is None else min(best, seconds)
            self.replay_cache[key] = best
        return self.replay_cache[key]

    def add_floor(self, result):
        rtt_s = result["rtt"] / 1000.0
        pages, kb = result["pages"], result["kb"]
        transfer = self.replay_time(result["entries"], pages, kb, 0, 2)
        result["floor_load"] = load_average()
        minimal_connections = 1
        floor = result["requests"] * rtt_s + minimal_connections * rtt_s + transfer
        # The same minimal client at the run's own round trip: what the
        # emulated network really costs, timer and wake-up latencies included.
        measured = transfer if rtt_s == 0 else self.replay_time(result["entries"], pages, kb,
                                                                result["rtt"], 1)
        busy = result["wall"] - result["merges"]
        result.update(transfer=transfer, floor=floor, measured_floor=measured,
                      wall_over_floor=result["wall"] / floor, overhead=busy / floor - 1,
                      measured_overhead=busy / measured - 1,
                      measured_overhead_all=result["wall"] / measured - 1,
                      merge_share=result["merges"] / result["wall"])

    def wrapper_cost(self, calls=20):
        """Per merge, how long the timing wrapper itself runs outside its own stamps."""
        merge_log = os.path.join(self.folder("calibration"), "merges")
        env = client_env("", self.bin_dir, merge_log)
        env["BENCH_REAL_PDFTK"] = "/bin/true"
        wrapper = os.path.join(self.bin_dir, "pdftk")

        def spawn_all(argv):
            t0 = time.monotonic()
            for _ in range(calls):
                subprocess.run(argv, env=env, check=True)
            return time.monotonic() - t0

        bare = spawn_all(["/bin/true"])
        wrapped = spawn_all([wrapper])
        stamped, _ = merge_time(merge_log)
        return max(0.0, (wrapped - stamped - bare) / calls)

    # ---- Stopping: cancel and watchdog.

    def cancel(self, attempts):
        """Seconds from SIGINT (sent while a page PDF stalls) to the exit, and the exit codes."""
        stalled, good = numbers(2, first=901)
        times, codes = [], []
        for _ in range(attempts):
            work = self.folder("cancel")
            out = os.path.join(work, "out")
            os.makedirs(out)
            log_path = os.path.join(work, "server.log")
            with Server(self.server_exe, log_path, faults=[f"{stalled}:pdf:stall"]) as server:
                tail = LogTail(log_path)
                tail.start()
                try:
                    env = client_env(server.base, self.bin_dir, os.path.join(work, "merges"))
                    proc, _ = start([self.cli_exe, "-o", out, stalled, good], env,
                                    os.path.join(work, "stderr"))
                    try:
                        seen = tail.wait_for(lambda e: stalled in e["path"] and
                                             "/schriften/" in e["path"], 30)
                        if seen is None:
                            raise BenchError("the stalled page request never reached the server")
                        time.sleep(0.5)  # well inside the stalled exchange
                        if proc.poll() is not None:
                            raise BenchError("kestrane-cli ended before the cancel")
                        t0 = time.monotonic()
                        proc.send_signal(signal.SIGINT)
                        rc = proc.wait(30)
                        times.append(time.monotonic() - t0)
                        codes.append(rc)
                    finally:
                        if proc.poll() is None:
                            proc.kill()
                            proc.wait()
                finally:
                    tail.stop()
        return {"seconds": times, "codes": codes}

    def watchdog(self, period=1):
        """A stalled item and a good one under --watchdog PERIOD: when the good one starts."""
        stalled, good = numbers(2, first=951)
        work = self.folder("watchdog")
        out = os.path.join(work, "out")
        os.makedirs(out)
        log_path = os.path.join(work, "server.log")
        with Server(self.server_exe, log_path, faults=[f"{stalled}:pdf:stall"]) as server:
            tail = LogTail(log_path)
            tail.start()
            try:
                env = client_env(server.base, self.bin_dir, os.path.join(work, "merges"))
                run = timed_run([self.cli_exe, "-o", out, "--watchdog", str(period), stalled, good],
                                env, os.path.join(work, "stderr"), timeout=60)
                t_end = time.monotonic()
                # Stamps are taken a few ms after the fact; all of them alike.
                find = tail.wait_for
                t_session = find(lambda e: e["path"].endswith("/start.do"), 1)
                t_search1 = find(lambda e: e.get("number") == stalled, 1)
                t_stall = find(lambda e: stalled in e["path"] and "/schriften/" in e["path"], 1)
                t_next = find(lambda e: e.get("number") == good, 1)
            finally:
                tail.stop()
        if None in (t_session, t_search1, t_stall, t_next):
            raise BenchError("the watchdog run did not reach the second item: "
                             + tail_of(os.path.join(work, "stderr")))
        # The timer is armed after the session page has arrived, so its second
        # tick comes no earlier than 2 periods after the session request: this
        # bound can only overstate the delay.
        return {
            "period": period, "rc": run["rc"], "wall": run["wall"],
            "bound": t_next - t_session - 2 * period,
            "estimate": t_next - t_search1 - 2 * period,
            "stall_to_next": t_next - t_stall,
            "good_saved": page_count(os.path.join(out, good + ".pdf")) == 10,
            "after_next": t_end - t_next,
        }


# ---- Report.

def fmt(value, pattern, missing="-"):
    return missing if value is None else format(value, pattern)


def table(results):
    head = (f"{'rtt':>4} {'client':<16} {'wall s':>8} {'merges s':>9} {'meas.fl s':>9} "
            f"{'merge %':>7} {'ovh/meas':>9} {'all/meas':>9} {'floor s':>8} {'overhead':>9} "
            f"{'conns':>6} {'reqs':>5} {'RSS MiB':>8} {'CPU s':>6} {'PDFs ok':>8} "
            f"{'vs kestrane':>11} {'load':>5}")
    lines = [head, "-" * len(head)]
    for r in results:
        base = [k["wall"] for k in results if k["client"] == "kestrane" and k["rtt"] == r["rtt"]]
        ratio = r["wall"] / (sum(base) / len(base)) if base and r["client"] != "kestrane" else None
        name = r["client"] + (f" #{r['run']}" if r.get("run", 1) > 1 else "")
        merges = ("~" if r.get("merges_estimated") else "") + f"{r['merges']:.2f}"
        lines.append(
            f"{r['rtt']:>4} {name:<16} {r['wall']:>8.2f} {merges:>9} "
            f"{fmt(r.get('measured_floor'), '9.2f'):>9} {fmt(r.get('merge_share'), '7.1%'):>7} "
            f"{fmt(r.get('measured_overhead'), '+9.1%'):>9} "
            f"{fmt(r.get('measured_overhead_all'), '+9.1%'):>9} "
            f"{fmt(r.get('floor'), '8.2f'):>8} {fmt(r.get('overhead'), '+9.1%'):>9} "
            f"{r['connections']:>6} "
            f"{r['requests']:>5} {fmt(r['peak_mib'], '8.1f'):>8} {fmt(r['cpu'], '6.2f'):>6} "
            f"{str(r['good_pdfs']) + '/' + str(r['docs']):>8} "
            f"{fmt(ratio, '10.2f') + ('x' if ratio else ''):>11} {r['load']:>5.2f}")
    return "\n".join(lines)


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kb = int(f.readline().split()[1])
    return (f"{os.cpu_count()} CPUs ({model}), {mem_kb / MIB:.1f} GiB, Linux {platform.release()}, "
            f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


class LoadGenerator:
    """N processes that keep a CPU busy each, for runs on a loaded machine."""

    def __init__(self, count):
        self.procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                      for _ in range(count)]

    def stop(self):
        for proc in self.procs:
            proc.kill()
            proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build folder with the release binaries")
    parser.add_argument("--rtts", default="0,20,100", help="round trips in ms (default 0,20,100)")
    parser.add_argument("--peer-rtts", default="0,20",
                        help="round trips at which the peers run too (default 0,20)")
    parser.add_argument("--pdftk-rtts", default="0,20",
                        help="round trips at which kestrane also merges with pdftk (default "
                             f"0,20); urllib does so only at {TARGET_RTT} ms")
    parser.add_argument("--no-pdftk", action="store_true",
                        help="no pdftk rows (also when pdftk is not installed)")
    parser.add_argument("--repeats", type=int, default=2,
                        help=f"runs of kestrane and urllib at {TARGET_RTT} ms (default 2)")
    parser.add_argument("--docs", type=int, default=20)
    parser.add_argument("--load", type=int, default=0,
                        help="keep this many CPU-bound processes running throughout (default 0)")
    parser.add_argument("--json", help="also write every number to this file")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    rtts = [int(x) for x in args.rtts.split(",") if x]
    peer_rtts = [int(x) for x in args.peer_rtts.split(",") if x]
    pdftk_rtts = [int(x) for x in args.pdftk_rtts.split(",") if x]
    pages, kb = 10, 40
    nums = numbers(args.docs)
    scan = os.path.join(os.path.dirname(HERE), "tests", "data",
                        "ops_fullimage_pdf_WO2010050748A2_Range2.pdf")

    tmp = tempfile.mkdtemp(prefix="kestrane-bench.")
    began = time.monotonic()
    load_gen = None
    try:
        bench = Bench(args, tmp)
        if args.load > 0:
            load_gen = LoadGenerator(args.load)
            time.sleep(5)  # let the load average rise a little before the first figure
        print(f"machine: {machine()}")
        print(f"date:    {time.strftime('%Y-%m-%d %H:%M:%S %Z')}")
        print(f"runs:    {len(nums)} documents x {pages} pages x ~{kb} KB per client and round "
              f"trip; peers at {peer_rtts} ms; pdftk rows "
              f"{'at ' + str(pdftk_rtts) + ' ms' if bench.pdftk else 'skipped'}; "
              f"load generator: {args.load} busy process(es)", flush=True)

        results = []
        for rtt in rtts:
            with_pdftk = bench.pdftk and rtt in pdftk_rtts
            order = ["kestrane"] + (["kestrane/pdftk"] if with_pdftk else [])
            if rtt in peer_rtts:
                order += ["urllib"] + (["urllib/pdftk"] if with_pdftk and rtt == TARGET_RTT
                                       else []) + ["curl"]
            if rtt == TARGET_RTT:
                # The close comparison is run again, interleaved, so that a change
                # of the machine's load between two runs does not decide it.
                order += (["kestrane"] + (["urllib"] if rtt in peer_rtts else [])) * (
                    args.repeats - 1)
            for client in order:
                log(f"rtt {rtt} ms: {client} ...")
                result = bench.download(client, rtt, nums, pages, kb)
                result["run"] = 1 + sum(1 for r in results
                                        if r["client"] == client and r["rtt"] == rtt)
                results.append(result)
        for r in results:
            bench.add_floor(r)

        log("merge step alone ...")
        alone = {
            "qpdf 10": bench.mergebench(pages, kb, repeats=51),
            "qpdf 10 scanned": bench.mergebench(pages, 0, repeats=51, scan=scan),
            "qpdf 300": bench.mergebench(300, kb, repeats=7),
        }
        if bench.pdftk:
            alone["pdftk 10"] = bench.mergebench(pages, kb, repeats=7, program="pdftk")
            alone["pdftk 300"] = bench.mergebench(300, kb, repeats=3, program="pdftk")
        log("300-page document ...")
        big = bench.download("kestrane", 0, numbers(1, first=500), 300, kb)
        log("cancel ...")
        cancel = bench.cancel(3)
        cancel["load"] = load_average()
        log("watchdog ...")
        dog = bench.watchdog(1)
        dog["load"] = load_average()
        wrapper_ms = bench.wrapper_cost() * 1000

        print()
        print(table(results))
        print()
        print("meas.fl (measured floor) = the same requests replayed over one keep-alive "
              "connection by python http.client\nat the run's own rtt; merge % = merges / wall; "
              "ovh/meas = (wall - merges) / meas.fl - 1; all/meas = wall / meas.fl - 1\n"
              "(merges included); floor = requests x rtt + 1 connection x rtt + transfer (that "
              "replay at rtt 0),\noverhead = (wall - merges) / floor - 1; load = 1-minute load "
              "average at the end of the run.\n"
              "kestrane merges in-process with qpdf: its merges (~) are documents x the median "
              "of the same 10-page merge\ntimed alone by kestrane-mergebench right after the "
              "run; the other rows time their merge program\n(pdftk, or qpdf for the peers) with "
              "a wrapper first in PATH. RSS and CPU: kestrane-cli itself (VmHWM;\nuser + "
              "system time), without a merge program it starts.")
        print(f"the merge timing wrapper runs {wrapper_ms:.1f} ms per merge outside its "
              "stamps (counted as client time above)")
        for key, m in alone.items():
            label = {"qpdf 10": f"qpdf in-process, {pages} pages of ~{kb} KB",
                     "qpdf 10 scanned": f"qpdf in-process, {pages} real scanned pages (21 KB)",
                     "qpdf 300": f"qpdf in-process, 300 pages of ~{kb} KB",
                     "pdftk 10": f"pdftk (external), {pages} pages of ~{kb} KB",
                     "pdftk 300": f"pdftk (external), 300 pages of ~{kb} KB"}[key]
            print(f"merge step alone, {label}: median {m['median'] * 1000:.1f} ms "
                  f"(min {m['min'] * 1000:.1f}, max {m['max'] * 1000:.1f}, "
                  f"{len(m['seconds'])} merges), peak RSS {m['peak_kib'] / 1024:.1f} MiB; "
                  f"load {m['load']:.2f}")
        print(f"300-page document at rtt 0: wall {big['wall']:.2f} s, merge ~{big['merges']:.2f} s "
              f"(of 10 pages, x1), peak RSS {big['peak_mib']:.1f} MiB, {big['connections']} "
              f"connection(s), {big['good_pdfs']}/1 merged with 300 pages; load {big['load']:.2f}")
        print(f"cancel (SIGINT during a stalled page PDF): "
              f"{', '.join(f'{s:.3f} s' for s in cancel['seconds'])}; exit codes {cancel['codes']}"
              f"; load {cancel['load']:.2f}")
        print(f"watchdog stop (--watchdog {dog['period']}): next item's first request "
              f"{dog['bound']:.3f} s after 2 periods from the session request (upper bound), "
              f"{dog['estimate']:.3f} s after 2 periods from the stalled item's search; "
              f"stalled page PDF to next item {dog['stall_to_next']:.3f} s; exit {dog['rc']}, "
              f"next item saved: {dog['good_saved']}; load {dog['load']:.2f}")

        def mean(client, rtt, key):
            values = [r[key] for r in results if r["client"] == client and r["rtt"] == rtt]
            return sum(values) / len(values) if values else None

        def load_of(client, rtt):
            values = [f"{r['load']:.2f}" for r in results
                      if r["client"] == client and r["rtt"] == rtt]
            return "load " + ", ".join(values)

        targets = []
        diagnostics = []

        def target(name, ok, detail):
            targets.append((name, ok, detail))

        m10, m300 = alone["qpdf 10"], alone["qpdf 300"]
        target(f"merge of {pages} pages <= 25 ms median (qpdf in-process)",
               m10["median"] <= 0.025, f"{m10['median'] * 1000:.1f} ms; load {m10['load']:.2f}")
        target("merge of 300 pages <= 0.5 s (qpdf in-process)", m300["median"] <= 0.5,
               f"{m300['median']:.3f} s; load {m300['load']:.2f}")
        target("peak RSS of kestrane-cli <= 40 MiB for the 300-page document",
               big["peak_mib"] <= 40 and big["good_pdfs"] == 1,
               f"{big['peak_mib']:.1f} MiB; load {big['load']:.2f}")
        t = TARGET_RTT
        k_wall = mean("kestrane", t, "wall")
        if k_wall is not None:
            share = mean("kestrane", t, "merges") / k_wall
            target(f"merges <= 2 % of the whole run at {t} ms", share <= 0.02,
                   f"{share:.2%} ({mean('kestrane', t, 'merges'):.2f} of {k_wall:.2f} s); "
                   f"{load_of('kestrane', t)}")
            over = k_wall / mean("kestrane", t, "measured_floor") - 1
            target(f"overhead over the measured floor, merges included, <= 5 % at {t} ms",
                   over <= 0.05, f"{over:+.1%} (wall {k_wall:.2f} s against "
                   f"{mean('kestrane', t, 'measured_floor'):.2f} s); {load_of('kestrane', t)}")
            diagnostics.append(
                f"overhead over the formula floor at {t} ms, merges excluded: "
                f"{mean('kestrane', t, 'overhead'):+.1%} (formula floor "
                f"{mean('kestrane', t, 'floor'):.2f} s); over meas.fl, merges excluded: "
                f"{mean('kestrane', t, 'measured_overhead'):+.1%}")
        conns = {f"{r['rtt']} ms #{r['run']}": r["connections"] for r in results
                 if r["client"] == "kestrane"}
        conns["300 pages"] = big["connections"]
        target("one TCP connection per run", all(c == 1 for c in conns.values()),
               ", ".join(f"{k}: {v}" for k, v in conns.items()))
        for peer, factor in (("urllib", 2.0), ("curl", 1.5)):
            p_wall = mean(peer, t, "wall")
            if k_wall is not None and p_wall is not None:
                ratio = p_wall / k_wall
                target(f"whole run, merges included, >= {factor:g}x faster than {peer} "
                       f"(merging with qpdf) at {t} ms", ratio >= factor,
                       f"{ratio:.3f}x (mean walls {p_wall:.2f} s / {k_wall:.2f} s); "
                       f"{load_of(peer, t)}")
        for other in ("kestrane/pdftk", "urllib/pdftk"):
            o_wall = mean(other, t, "wall")
            if k_wall is not None and o_wall is not None:
                diagnostics.append(
                    f"{other} at {t} ms (reference): wall {o_wall:.2f} s, merges "
                    f"{mean(other, t, 'merges'):.2f} s, {o_wall / k_wall:.2f}x kestrane's wall; "
                    f"{load_of(other, t)}")
        target("cancel takes effect within 1 s (exit 130)",
               all(s <= 1 for s in cancel["seconds"]) and all(c == 130 for c in cancel["codes"]),
               f"max {max(cancel['seconds']):.3f} s, exit codes {cancel['codes']}")
        target("watchdog stop takes effect within 1 s",
               dog["bound"] <= 1 and dog["good_saved"], f"{dog['bound']:.3f} s (upper bound)")
        correct = all(r["good_pdfs"] == r["docs"] and r["rc"] == 0 for r in results)
        target("every run saved all documents with all pages", correct,
               ", ".join(f"{r['client']}@{r['rtt']}: {r['good_pdfs']}/{r['docs']}"
                         for r in results if r["good_pdfs"] != r["docs"] or r["rc"] != 0)
               or "all")

        print()
        for name, ok, detail in targets:
            print(f"{'PASS' if ok else 'FAIL'}  {name}: {detail}")
        for line in diagnostics:
            print(f"note  {line}")
        print(f"\nbenchmark took {time.monotonic() - began:.0f} s; load average now {fmt_load()}")

        if args.json:
            for r in results + [big]:
                r.pop("entries", None)
            with open(args.json, "w") as f:
                json.dump({"machine": machine(), "results": results, "big": big, "cancel": cancel,
                           "watchdog": dog, "merge_alone": alone, "wrapper_ms": wrapper_ms,
                           "targets": targets}, f, indent=1)
        return 0 if all(ok for _, ok, _ in targets) else 1
    except BenchError as e:
        print(f"bench: {e}", file=sys.stderr)
        return 2
    finally:
        if load_gen is not None:
            load_gen.stop()
        if args.keep:
            print(f"work folder kept: {tmp}", file=sys.stderr)
        else:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
