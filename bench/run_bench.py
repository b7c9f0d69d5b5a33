#!/usr/bin/env python3
"""Runs every benchmark of bench/ and writes results.json, results.md (the
tables) and one PNG plot per benchmark into the output folder.
  run_bench.py [--build build/native] [--windows build/windows64] [--out DIR] [--quick]
Each comparison is measured in one run, its sides interleaved round by
round, and reported as the median over the rounds: the machines are shared,
so absolute times move while ratios within a round hold."""
import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINE = "B\x1cCafe\x1c2\x1c1.50"
# Debian's interpreter: pyserial and matplotlib come as its packages.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def log(text):
    print("bench: " + text, flush=True)


def median(values):
    return statistics.median(values)


def start(argv, **kwargs):
    """Starts a helper that prints one line (a port or a pty name) first."""
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True, **kwargs)
    first = process.stdout.readline().strip()
    if not first:
        raise RuntimeError("no first line from " + argv[0])
    return process, first


def stop(process):
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def run_timed(argv, cwd, env=None):
    """Wall seconds, exit status and rusage of one run, output dropped."""
    begin = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    seconds = time.perf_counter() - begin
    if process.returncode != 0:
        raise RuntimeError("%s exited %d" % (argv[0], process.returncode))
    return seconds, usage


def command_file(path, count, line=LINE):
    with open(path, "w", encoding="latin-1") as out:
        out.write((line + "\n") * count)
    return path


def proc_cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# 1 ---------------------------------------------------------------------------
def bench_exchange(b, work, rounds, lines):
    log("1 exchange rate: ruvado, ping-pong limit, Python peer; %d lines x %d rounds" % (lines, rounds))
    server, port = start([b.tool("answer_server")])
    path = command_file(os.path.join(work, "exchange.txt"), lines)
    rates = {"ruvado": [], "limit": [], "python": []}
    ratios = []
    try:
        for round_ in range(rounds):
            t_ruvado, _ = run_timed([b.ruvado, "-p", port, "-t", "127.0.0.1", path], work)
            t_limit, _ = run_timed([b.tool("pingpong_client"), port, str(lines), LINE], work)
            t_python, _ = run_timed([PYTHON, os.path.join(ROOT, "bench", "pyclient.py"), port, "127.0.0.1", path], work)
            rates["ruvado"].append(lines / t_ruvado)
            rates["limit"].append(lines / t_limit)
            rates["python"].append(lines / t_python)
            ratios.append(t_limit / t_ruvado)
    finally:
        stop(server)
    result = {name: median(values) for name, values in rates.items()}
    result["ratio_to_limit"] = median(ratios)
    result["python_ratio_to_limit"] = median([rates["python"][i] / rates["limit"][i] for i in range(rounds)])
    result["rounds"] = rounds
    result["lines"] = lines
    return result


# 2 ---------------------------------------------------------------------------
def bench_memory(b, work, big_lines, count_lines):
    log("2 memory: peak RSS for 10 and %d lines, allocations counted for 10 and %d" % (big_lines, count_lines))
    server, port = start([b.tool("answer_server")])
    small = command_file(os.path.join(work, "small.txt"), 10)
    big = command_file(os.path.join(work, "big.txt"), big_lines)
    counted = command_file(os.path.join(work, "counted.txt"), count_lines)
    result = {}

    def measured(path, name):
        out = os.path.join(work, "malloc_%s.txt" % name)
        env = dict(os.environ, LD_PRELOAD=b.malloc_count, MALLOC_COUNT_OUT=out)
        run_timed([b.ruvado, "-p", port, "-t", "127.0.0.1", path], work, env=env)
        with open(out) as text:
            fields = text.read().split()
        os.unlink(out)
        return {"allocations": int(fields[1]), "frees": int(fields[3]), "bytes": int(fields[5]),
                "hwm_kib": int(fields[7]), "anon_kib": int(fields[9]), "file_kib": int(fields[11])}

    try:
        runs = {"small": [measured(small, "small") for _ in range(3)],
                "counted": [measured(counted, "counted")],
                "big": [measured(big, "big") for _ in range(3)]}
    finally:
        stop(server)
    result["rss_kib_10"] = median([r["hwm_kib"] for r in runs["small"]])
    result["rss_kib_big"] = median([r["hwm_kib"] for r in runs["big"]])
    result["big_lines"] = big_lines
    result["rss_ratio"] = result["rss_kib_big"] / result["rss_kib_10"]
    # Peak RSS counts clean pages of the C library's text that the kernel maps
    # around each fault, and how many it maps depends on the page cache, not
    # on the program: it moves by +-100 KiB between runs of the same file.
    # The process's own (anonymous) pages are reported beside it.
    result["anon_kib_10"] = median([r["anon_kib"] for r in runs["small"]])
    result["anon_kib_big"] = median([r["anon_kib"] for r in runs["big"]])
    result["file_kib_spread"] = max(r["file_kib"] for r in runs["small"] + runs["big"]) - \
        min(r["file_kib"] for r in runs["small"] + runs["big"])
    result["anon_ratio"] = result["anon_kib_big"] / result["anon_kib_10"]
    result["allocations_10"] = runs["small"][0]["allocations"]
    result["allocation_bytes_10"] = runs["small"][0]["bytes"]
    result["allocations_counted"] = runs["counted"][0]["allocations"]
    result["allocations_big"] = runs["big"][0]["allocations"]
    result["count_lines"] = count_lines
    result["allocations_per_command"] = (result["allocations_big"] - result["allocations_10"]) / (big_lines - 10)
    return result


# 3 ---------------------------------------------------------------------------
def startup_samples(b, mode, runs, argv, cwd):
    output = subprocess.run([b.tool("startup_timer"), mode, str(runs)] + argv, cwd=cwd,
                            check=True, capture_output=True, text=True).stdout
    return [float(value) for value in output.split()]


def bench_startup(b, work, runs):
    log("3 start-up: native x %d runs, then wine" % runs)
    one = command_file(os.path.join(work, "one.txt"), 1, "*")
    result = {}
    # Interleaved in small batches so that load moves all alike.
    samples = {"true": [], "connect_exit": [], "ruvado": []}
    for _ in range(5):
        samples["true"] += startup_samples(b, "exit", runs // 5, [shutil.which("true")], work)
        samples["connect_exit"] += startup_samples(b, "first-byte", runs // 5, [b.tool("connect_exit"), "{port}"], work)
        samples["ruvado"] += startup_samples(b, "first-byte", runs // 5, [b.ruvado, "-p", "{port}", "-t", "127.0.0.1", one], work)
    for name, values in samples.items():
        result["native_%s_us" % name] = median(values)
    result["native_ruvado_over_connect"] = result["native_ruvado_us"] / result["native_connect_exit_us"]
    exe = os.path.join(b.windows, "sender", "ruvado.exe")
    mingw = shutil.which("x86_64-w64-mingw32-gcc")
    if os.path.exists(exe) and mingw:
        connect_exe = os.path.join(work, "connect_exit.exe")
        subprocess.run([mingw, "-O2", "-o", connect_exe, os.path.join(ROOT, "bench", "connect_exit.c"), "-lws2_32", "-static"], check=True)
        wine = [os.path.join(ROOT, "cmake", "wine-run.sh"), os.path.join(b.windows, "wineprefix")]
        # The first start boots the prefix's server; it is kept for the rest.
        subprocess.run(wine + [connect_exe, "1"], cwd=work, capture_output=True)
        wine_samples = {"connect_exit": [], "ruvado": []}
        for _ in range(5):
            wine_samples["connect_exit"] += startup_samples(b, "first-byte", 2, wine + [connect_exe, "{port}"], work)
            wine_samples["ruvado"] += startup_samples(b, "first-byte", 2, wine + [exe, "-p", "{port}", "-t", "127.0.0.1", "one.txt"], work)
        for name, values in wine_samples.items():
            result["wine_%s_us" % name] = median(values)
        result["wine_ruvado_over_connect"] = result["wine_ruvado_us"] / result["wine_connect_exit_us"]
    else:
        log("   no build/windows64 ruvado.exe or MinGW: wine start-up skipped")
    return result


# 4 and 5 ---------------------------------------------------------------------
def google_benchmark(argv, env, repetitions, min_time, field="real_time"):
    """Median per benchmark, in ns: real time where a peer process does part
    of the work, CPU time where all of it is this process's own (less moved
    by the other load on a shared machine)."""
    output = subprocess.run(argv + ["--benchmark_format=json", "--benchmark_repetitions=%d" % repetitions,
                                    "--benchmark_min_time=%s" % min_time, "--benchmark_report_aggregates_only=true"],
                            env=env, check=True, capture_output=True, text=True).stdout
    medians = {}
    for entry in json.loads(output)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            medians[entry["run_name"]] = entry[field] * {"ns": 1, "us": 1e3, "ms": 1e6}[entry["time_unit"]]
    return medians


def bench_serial(b, work, repetitions, peer_runs):
    log("4 serial byte path over a pty: ttywire, bare loop, pyserial")
    echo, echo_name = start([b.tool("ptypeer"), "echo"])
    drain, drain_name = start([b.tool("ptypeer"), "drain"])
    try:
        env = dict(os.environ, BENCH_PTY_ECHO=echo_name, BENCH_PTY_DRAIN=drain_name)
        ns = google_benchmark([b.tool("serial")], env, repetitions, "0.3")
        peer = []
        for _ in range(peer_runs):
            output = subprocess.run([PYTHON, os.path.join(ROOT, "bench", "pyserial_peer.py"), echo_name, drain_name, "3000", "20000"],
                                    check=True, capture_output=True, text=True).stdout
            peer.append(json.loads(output))
    finally:
        stop(echo)
        stop(drain)
    result = {
        "round_trip_ttywire_ns": ns["BM_RoundTripTtywire/real_time"],
        "round_trip_bare_ns": ns["BM_RoundTripBare/real_time"],
        "round_trip_pyserial_ns": median([p["round_trip_ns"] for p in peer]),
        "command_ttywire_ns": ns["BM_CommandTtywire/real_time"],
        "command_bare_ns": ns["BM_CommandBare/real_time"],
        "command_pyserial_ns": median([p["command_ns"] for p in peer]),
    }
    result["round_trip_ratio"] = result["round_trip_bare_ns"] / result["round_trip_ttywire_ns"]
    result["command_ratio"] = result["command_bare_ns"] / result["command_ttywire_ns"]
    return result


def bench_trace(b, work, repetitions):
    log("5 trace channel: file and console against their limits")
    env = dict(os.environ, BENCH_DIR=work)
    ns = google_benchmark([b.tool("trace")], env, repetitions, "0.2", "cpu_time")
    result = {
        "file_ns": ns["BM_TraceFile"], "file_limit_ns": ns["BM_BareFileAppend"],
        "console_ns": ns["BM_TraceConsole"], "printf_ns": ns["BM_Printf"],
    }
    result["file_over_limit"] = result["file_ns"] / result["file_limit_ns"]
    result["console_over_printf"] = result["console_ns"] / result["printf_ns"]
    return result


# 6 ---------------------------------------------------------------------------
def bench_kit(b, work, search_repeats, lines, rounds):
    log("6 SearchPrn at six rates (x%d), then the whole kit with %d commands x %d rounds" % (search_repeats, lines, rounds))
    output = subprocess.run([b.tool("search"), str(search_repeats)], check=True, capture_output=True, text=True).stdout
    search = [json.loads(line) for line in output.splitlines()]
    result = {"search": [{"rate": s["rate"], "search_ms": median(s["search_ms"]), "exchange_us": s["exchange_us"],
                          "try_limit_ms": s["try_limit_ms"]} for s in search]}

    link = os.path.join(work, "line")
    sim, _ = start([os.path.join(b.build, "sim", "fiscalsim"), "-r", "38400", "-l", link])
    server, listening = start([os.path.join(b.build, "server", "fiscald"), "-p", "0", "-b", "38400", link])
    direct, direct_port = start([b.tool("answer_server")])
    port = listening.rsplit(":", 1)[1]
    path = command_file(os.path.join(work, "kit.txt"), lines, "*")
    kit, alone, cpu = [], [], {"fiscald": [], "fiscalsim": [], "ruvado": []}
    try:
        for _ in range(rounds):
            before = {"fiscald": proc_cpu_seconds(server.pid), "fiscalsim": proc_cpu_seconds(sim.pid)}
            seconds, usage = run_timed([b.ruvado, "-p", port, "-t", "127.0.0.1", path], work)
            kit.append(lines / seconds)
            cpu["fiscald"].append((proc_cpu_seconds(server.pid) - before["fiscald"]) / lines * 1e6)
            cpu["fiscalsim"].append((proc_cpu_seconds(sim.pid) - before["fiscalsim"]) / lines * 1e6)
            cpu["ruvado"].append((usage.ru_utime + usage.ru_stime) / lines * 1e6)
            cpu.setdefault("wall", []).append(seconds / lines * 1e6)
            seconds, _ = run_timed([b.ruvado, "-p", direct_port, "-t", "127.0.0.1", path], work)
            alone.append(lines / seconds)
    finally:
        stop(server)
        stop(sim)
        stop(direct)
    result["kit_per_s"] = median(kit)
    result["alone_per_s"] = median(alone)
    result["kit_over_alone"] = median([kit[i] / alone[i] for i in range(rounds)])
    result["us_per_command"] = {name: median(values) for name, values in cpu.items()}
    result["lines"] = lines
    return result


# report ----------------------------------------------------------------------
def plots(results, out):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("no matplotlib: plots skipped")
        return

    def bars(name, title, unit, labels, values, note):
        figure, axes = plt.subplots(figsize=(6.4, 3.6))
        colours = ["#4878a8", "#8c8c8c", "#c87848", "#58a058", "#a05898", "#b0a040"][:len(values)]
        shown = axes.bar(labels, values, color=colours)
        axes.bar_label(shown, fmt="%.3g")
        axes.set_title(title)
        axes.set_ylabel(unit)
        axes.text(0.99, 0.97, note, transform=axes.transAxes, ha="right", va="top", fontsize=9)
        figure.tight_layout()
        figure.savefig(os.path.join(out, name + ".png"), dpi=90)
        plt.close(figure)

    r = results.get("exchange")
    if r:
        bars("exchange", "1. Exchange rate on loopback", "commands / s", ["ruvado", "C ping-pong\n(limit)", "Python\n(peer)"],
             [r["ruvado"], r["limit"], r["python"]], "ruvado / limit = %.2f" % r["ratio_to_limit"])
    r = results.get("memory")
    if r:
        bars("memory", "2. Peak resident memory of ruvado", "KiB", ["10 lines", "%d lines" % r["big_lines"]],
             [r["rss_kib_10"], r["rss_kib_big"]], "ratio %.3f, %.4f allocations / command" % (r["rss_ratio"], r["allocations_per_command"]))
    r = results.get("startup")
    if r:
        labels = ["true\n(exit)", "connect+exit", "ruvado"]
        values = [r["native_true_us"] / 1000, r["native_connect_exit_us"] / 1000, r["native_ruvado_us"] / 1000]
        if "wine_ruvado_us" in r:
            labels += ["wine\nconnect+exit", "wine\nruvado.exe"]
            values += [r["wine_connect_exit_us"] / 1000, r["wine_ruvado_us"] / 1000]
        figure, axes = plt.subplots(figsize=(7.2, 3.6))
        shown = axes.bar(labels, values, color=["#8c8c8c", "#8c8c8c", "#4878a8", "#c8a888", "#c87848"][:len(values)])
        axes.bar_label(shown, fmt="%.3g")
        axes.set_yscale("log")
        axes.set_ylabel("ms to first byte (log)")
        axes.set_title("3. Start-up: process start to first byte sent")
        figure.tight_layout()
        figure.savefig(os.path.join(out, "startup.png"), dpi=90)
        plt.close(figure)
    r = results.get("serial")
    if r:
        figure, (left, right) = plt.subplots(1, 2, figsize=(8, 3.6))
        for axes, key, title in ((left, "round_trip", "one-byte round trip"), (right, "command", "SendCommand (24 bytes)")):
            values = [r[key + "_ttywire_ns"] / 1000, r[key + "_bare_ns"] / 1000, r[key + "_pyserial_ns"] / 1000]
            shown = axes.bar(["ttywire", "bare\n(limit)", "pyserial\n(peer)"], values, color=["#4878a8", "#8c8c8c", "#c87848"])
            axes.bar_label(shown, fmt="%.3g")
            axes.set_title(title)
            axes.set_ylabel("us per operation")
            axes.text(0.02, 0.97, "limit / ttywire = %.2f" % r[key + "_ratio"], transform=axes.transAxes, va="top", fontsize=9)
        figure.suptitle("4. Serial byte path over a pty")
        figure.tight_layout()
        figure.savefig(os.path.join(out, "serial.png"), dpi=90)
        plt.close(figure)
    r = results.get("trace")
    if r:
        figure, (left, right) = plt.subplots(1, 2, figsize=(8, 3.6))
        shown = left.bar(["Tracelet\nfile on", "open/lseek/\nwrite/close (limit)"], [r["file_ns"] / 1000, r["file_limit_ns"] / 1000], color=["#4878a8", "#8c8c8c"])
        left.bar_label(shown, fmt="%.3g")
        left.set_ylabel("us per message")
        left.set_title("file: %.2f x limit" % r["file_over_limit"])
        shown = right.bar(["Tracelet\nconsole", "printf"], [r["console_ns"], r["printf_ns"]], color=["#4878a8", "#8c8c8c"])
        right.bar_label(shown, fmt="%.3g")
        right.set_ylabel("ns per message")
        right.set_title("console: %.2f x printf" % r["console_over_printf"])
        figure.suptitle("5. Trace channel")
        figure.tight_layout()
        figure.savefig(os.path.join(out, "trace.png"), dpi=90)
        plt.close(figure)
    r = results.get("kit")
    if r:
        figure, (left, right) = plt.subplots(1, 2, figsize=(9, 3.6))
        rates = [str(s["rate"]) for s in r["search"]]
        shown = left.bar(rates, [s["search_ms"] for s in r["search"]], color="#4878a8")
        left.bar_label(shown, fmt="%.0f")
        left.set_xlabel("simulator's rate (baud)")
        left.set_ylabel("SearchPrn ms")
        left.set_title("controller search")
        shown = right.bar(["ruvado alone\n(loopback)", "whole kit\n(fiscald, pty, sim)"], [r["alone_per_s"], r["kit_per_s"]], color=["#8c8c8c", "#4878a8"])
        right.bar_label(shown, fmt="%.3g")
        right.set_yscale("log")
        right.set_ylabel("commands / s (log)")
        right.set_title("kit / alone = %.3f" % r["kit_over_alone"])
        figure.suptitle("6. Controller search and the whole kit")
        figure.tight_layout()
        figure.savefig(os.path.join(out, "kit.png"), dpi=90)
        plt.close(figure)


def table(results):
    rows = ["| Benchmark | Kit | Limit / peer | Ratio | Goal |", "|---|---|---|---|---|"]
    r = results.get("exchange")
    if r:
        rows.append("| 1. exchange, %d lines | ruvado %.0f cmd/s | ping-pong %.0f cmd/s; Python %.0f cmd/s | %.2f of limit (Python %.2f) | >= 0.9 |" % (
            r["lines"], r["ruvado"], r["limit"], r["python"], r["ratio_to_limit"], r["python_ratio_to_limit"]))
    r = results.get("memory")
    if r:
        rows.append("| 2. peak RSS (median of 3) | %d KiB (10 lines), %d KiB (%d lines) | shared library pages vary by %d KiB between runs | %.3f | within 5%% |" % (r["rss_kib_10"], r["rss_kib_big"], r["big_lines"], r["file_kib_spread"], r["rss_ratio"]))
        rows.append("| 2. own (anonymous) RSS | %d KiB (10 lines), %d KiB (%d lines) | | %.3f | within 5%% |" % (r["anon_kib_10"], r["anon_kib_big"], r["big_lines"], r["anon_ratio"]))
        rows.append("| 2. heap allocations | %d (10 lines), %d (%d lines) | | %.4f per command | 0 |" % (
            r["allocations_10"], r["allocations_counted"], r["count_lines"], r["allocations_per_command"]))
    r = results.get("startup")
    if r:
        rows.append("| 3. start-up, native | ruvado %.2f ms | `true` %.2f ms (to exit); connect+exit %.2f ms | %.2f x connect+exit | |" % (
            r["native_ruvado_us"] / 1000, r["native_true_us"] / 1000, r["native_connect_exit_us"] / 1000, r["native_ruvado_over_connect"]))
        if "wine_ruvado_us" in r:
            rows.append("| 3. start-up, wine | ruvado.exe %.1f ms | connect+exit.exe %.1f ms | %.2f x connect+exit | |" % (
                r["wine_ruvado_us"] / 1000, r["wine_connect_exit_us"] / 1000, r["wine_ruvado_over_connect"]))
    r = results.get("serial")
    if r:
        rows.append("| 4. pty round trip | %.1f us | bare %.1f us; pyserial %.1f us | %.2f of limit | >= 0.9 |" % (
            r["round_trip_ttywire_ns"] / 1000, r["round_trip_bare_ns"] / 1000, r["round_trip_pyserial_ns"] / 1000, r["round_trip_ratio"]))
        rows.append("| 4. SendCommand (24 bytes) | %.2f us | bare write %.2f us; pyserial %.2f us | %.2f of limit | >= 0.9 |" % (
            r["command_ttywire_ns"] / 1000, r["command_bare_ns"] / 1000, r["command_pyserial_ns"] / 1000, r["command_ratio"]))
    r = results.get("trace")
    if r:
        rows.append("| 5. trace, file on | %.2f us | open/lseek/write/close %.2f us | %.2f x limit | <= 1.2 |" % (
            r["file_ns"] / 1000, r["file_limit_ns"] / 1000, r["file_over_limit"]))
        rows.append("| 5. trace, console only | %.0f ns | printf %.0f ns | %.2f x printf | <= 1.2 |" % (
            r["console_ns"], r["printf_ns"], r["console_over_printf"]))
    r = results.get("kit")
    if r:
        for s in r["search"]:
            rows.append("| 6. SearchPrn, sim at %d | %.0f ms | one answered `*` %.0f us; try limit %d ms | | |" % (
                s["rate"], s["search_ms"], s["exchange_us"], s["try_limit_ms"]))
        u = r["us_per_command"]
        rows.append("| 6. whole kit, `*` x %d | %.0f cmd/s | ruvado alone %.0f cmd/s | %.3f of alone | |" % (
            r["lines"], r["kit_per_s"], r["alone_per_s"], r["kit_over_alone"]))
        rows.append("| 6. kit, per command | wall %.0f us | CPU: ruvado %.0f us, fiscald %.0f us, fiscalsim %.0f us | | |" % (
            u["wall"], u["ruvado"], u["fiscald"], u["fiscalsim"]))
    return "\n".join(rows) + "\n"


class Build:
    def __init__(self, build, windows):
        self.build = os.path.abspath(build)
        self.windows = os.path.abspath(windows)
        self.ruvado = os.path.join(self.build, "sender", "ruvado")
        self.malloc_count = os.path.join(self.build, "bench", "libmalloc_count.so")

    def tool(self, name):
        return os.path.join(self.build, "bench", "bench_" + name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    # The 64-bit twin of ruvado.exe: wine runs it on every machine, the
    # 32-bit program only where wine has its 32-bit part.
    parser.add_argument("--windows", default=os.path.join(ROOT, "build", "windows64"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench-results"))
    parser.add_argument("--quick", action="store_true", help="fewer rounds and lines, for a smoke run")
    parser.add_argument("--only", default="", help="comma-separated: exchange,memory,startup,serial,trace,kit")
    args = parser.parse_args()
    b = Build(args.build, args.windows)
    os.makedirs(args.out, exist_ok=True)
    quick = args.quick
    chosen = set(filter(None, args.only.split(","))) or {"exchange", "memory", "startup", "serial", "trace", "kit"}
    results = {"machine": {"cpus": os.cpu_count(), "load": os.getloadavg()[0], "kernel": os.uname().release}}
    began = time.time()
    with tempfile.TemporaryDirectory(prefix="kit-bench-") as work:
        if "exchange" in chosen:
            results["exchange"] = bench_exchange(b, work, 3 if quick else 7, 20000 if quick else 100000)
        if "memory" in chosen:
            results["memory"] = bench_memory(b, work, 100000 if quick else 1000000, 20000 if quick else 100000)
        if "startup" in chosen:
            results["startup"] = bench_startup(b, work, 20 if quick else 100)
        if "serial" in chosen:
            results["serial"] = bench_serial(b, work, 3 if quick else 7, 1 if quick else 3)
        if "trace" in chosen:
            results["trace"] = bench_trace(b, work, 3 if quick else 9)
        if "kit" in chosen:
            results["kit"] = bench_kit(b, work, 1 if quick else 2, 500 if quick else 3000, 2 if quick else 5)
    results["seconds"] = time.time() - began
    with open(os.path.join(args.out, "results.json"), "w") as out:
        json.dump(results, out, indent=1)
    markdown = table(results)
    with open(os.path.join(args.out, "results.md"), "w") as out:
        out.write(markdown)
    plots(results, args.out)
    print(markdown)
    log("done in %.0f s; results, table and plots in %s" % (results["seconds"], args.out))


main()
