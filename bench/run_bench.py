#!/usr/bin/env python3
"""Runs every benchmark of bench/ and writes results.json, results.md (the
tables) and one PNG plot per benchmark into the output folder.
  run_bench.py [--build build/native] [--windows build/windows64] [--out DIR] [--quick]
               [--only NAMES] [--before BUILD]
--before (or KIT_BENCH_BEFORE) names the build folder of an earlier version
whose fiscald is measured side by side with this one in the whole-kit run.
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


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as listed:
            return [int(child) for child in listed.read().split()]
    except OSError:
        return []


def tree_cpu_seconds(pid):
    """CPU of a process and its children alive now (fiscald and its line
    worker), each from /proc: a child's time reaches its parent's rusage
    only once it has ended."""
    return sum(proc_cpu_seconds(p) for p in [pid] + children(pid))


def start_fiscald(fiscald, args):
    server, listening = start([fiscald] + args)
    return server, listening.rsplit(":", 1)[1]


def timed_run_us(b, argv, cwd):
    """Wall microseconds of one run, from just before posix_spawn to its
    exit (bench_startup_timer), so Python's own fork costs nothing."""
    return startup_samples(b, "exit", 1, argv, cwd)[0]


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
    sim, port_name = start([os.path.join(b.build, "sim", "fiscalsim"), "-r", "38400", "-l", link])
    direct, direct_port = start([b.tool("answer_server")])
    path = command_file(os.path.join(work, "kit.txt"), lines, "*")
    servers = {"kit": os.path.join(b.build, "server", "fiscald")}
    if b.before:
        servers["before"] = b.before_fiscald
    rates = {name: [] for name in list(servers) + ["relay", "alone"]}
    cpu = {name: [] for name in ["fiscald", "server", "worker", "relay", "before", "fiscalsim", "ruvado", "wall"]}

    def through(argv_server, name):
        """One ruvado run through a server in front of the simulator's line;
        the server runs only for it, so that one program at a time has the
        line. Returns the server's (and its children's) CPU seconds."""
        server, port = (start_fiscald(argv_server, ["-p", "0", "-b", "38400", link]) if name != "relay"
                        else start([b.tool("relay"), port_name, "38400"]))
        try:
            workers = children(server.pid)
            time.sleep(0.05)
            before = {"server": proc_cpu_seconds(server.pid), "tree": tree_cpu_seconds(server.pid),
                      "fiscalsim": proc_cpu_seconds(sim.pid)}
            seconds, usage = run_timed([b.ruvado, "-p", port, "-t", "127.0.0.1", path], work)
            rates[name].append(lines / seconds)
            tree = (tree_cpu_seconds(server.pid) - before["tree"]) / lines * 1e6
            if name == "kit":
                server_us = (proc_cpu_seconds(server.pid) - before["server"]) / lines * 1e6
                cpu["fiscald"].append(tree)
                cpu["server"].append(server_us)
                cpu["worker"].append(tree - server_us if workers else 0)
                cpu["fiscalsim"].append((proc_cpu_seconds(sim.pid) - before["fiscalsim"]) / lines * 1e6)
                cpu["ruvado"].append((usage.ru_utime + usage.ru_stime) / lines * 1e6)
                cpu["wall"].append(seconds / lines * 1e6)
            else:
                cpu[name].append(tree)
        finally:
            stop(server)

    try:
        for _ in range(rounds):
            for name, fiscald in servers.items():
                through(fiscald, name)
            through(None, "relay")
            seconds, _ = run_timed([b.ruvado, "-p", direct_port, "-t", "127.0.0.1", path], work)
            rates["alone"].append(lines / seconds)
    finally:
        stop(sim)
        stop(direct)
    result["kit_per_s"] = median(rates["kit"])
    result["alone_per_s"] = median(rates["alone"])
    result["relay_per_s"] = median(rates["relay"])
    result["kit_over_alone"] = median([rates["kit"][i] / rates["alone"][i] for i in range(rounds)])
    result["relay_over_alone"] = median([rates["relay"][i] / rates["alone"][i] for i in range(rounds)])
    result["kit_over_relay"] = median([rates["kit"][i] / rates["relay"][i] for i in range(rounds)])
    result["us_per_command"] = {name: median(values) for name, values in cpu.items() if values}
    result["fiscald_over_relay_cpu"] = median([cpu["fiscald"][i] / cpu["relay"][i] for i in range(rounds)])
    if b.before:
        result["before_per_s"] = median(rates["before"])
        result["before_over_alone"] = median([rates["before"][i] / rates["alone"][i] for i in range(rounds)])
        result["fiscald_over_before_cpu"] = median([cpu["fiscald"][i] / cpu["before"][i] for i in range(rounds)])
        result["before_build"] = b.before
    result["lines"] = lines
    result["rounds"] = rounds
    return result


# 7 ---------------------------------------------------------------------------
RECEIPT = ["A"] + ["B\x1cArticulo %02d\x1c1\x1c%d.50" % (i, i) for i in range(1, 21)] + ["C", "E"]


STATE_SLOT_BYTES = 512 * 1024   # the state file's slot size, as fiscald lays it out
RECORD_BYTES = 600              # the durable record of the direct loop


def mount_of(path):
    """The mount point, device and file-system type that hold path, from
    /proc/mounts (stat -f names ext4 as ext2/ext3)."""
    path = os.path.realpath(path)
    found = ("/", "?", "?")
    try:
        with open("/proc/mounts") as mounts:
            for line in mounts:
                device, point, kind = line.split()[:3]
                point = point.replace("\\040", " ")
                inside = path == point or path.startswith(point.rstrip("/") + "/")
                if inside and len(point) >= len(found[0]):
                    found = (point, device, kind)
    except OSError:
        pass
    return found


def durable_folder(folder):
    """The folder for the state files: on a file system that keeps its
    files on a disk, or the run stops here. On tmpfs a flush returns at once
    and the record's cost would read as nothing."""
    os.makedirs(folder, exist_ok=True)
    kind = subprocess.run(["stat", "-f", "-c", "%T", folder], check=True, capture_output=True,
                          text=True).stdout.strip()
    point, device, mounted = mount_of(folder)
    if kind in ("tmpfs", "ramfs") or mounted in ("tmpfs", "ramfs"):
        raise SystemExit("run_bench: %s is on %s (memory, not a disk): fdatasync costs nothing there, "
                         "so the state file's cost cannot be measured; give a folder on a disk with "
                         "--state-dir (or KIT_BENCH_STATE_DIR)" % (folder, kind if kind in ("tmpfs", "ramfs") else mounted))
    log("   state files in %s: file system %s (stat -f), %s from %s on %s" % (folder, kind, mounted, device, point))
    return {"folder": folder, "stat_type": kind, "mount_type": mounted, "device": device, "mount_point": point}


def record_sync(b, path, count, prefix=()):
    """The durable record alone: bench_record_sync's pwrite + fdatasync into
    one of two slots, then the record after the outcome (no flush)."""
    output = subprocess.run(list(prefix) + [b.tool("record_sync"), path, str(count), str(RECORD_BYTES)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def realtime_prefix():
    """chrt -f 1 where this user may use it: the loop then runs the moment
    its flush returns, so what it measures is the disk's flush alone, not
    the wait for a CPU after it (on a busy machine whose kernel does not
    preempt, up to a scheduler tick). None where it may not."""
    chrt = shutil.which("chrt")
    if not chrt or subprocess.run([chrt, "-f", "1", "true"], capture_output=True).returncode != 0:
        return None
    return (chrt, "-f", "1")


def spread(values):
    ordered = sorted(values)

    def at(share):
        return ordered[min(len(ordered) - 1, int(share * len(ordered)))]
    return {"median": median(ordered), "p90": at(0.90), "p99": at(0.99), "max": ordered[-1],
            "min": ordered[0], "mean": statistics.fmean(ordered), "count": len(ordered)}


def bench_wire(b, work, rates, rounds, busy_ms, state, sync_count):
    """A receipt and a slow command on the paced simulator (fiscalsim -W),
    through ruvado and fiscald, against the wire time of the frames that
    crossed; the packet layer alone on the same line beside them. The
    receipt also through a fiscald with a state file on a disk (a record
    and fdatasync before every frame), in the same rounds; and the durable
    record alone, timed in a loop on the same file system."""
    log("7 the wire as the limit: a receipt and a slow command at %s baud, %d rounds; the receipt "
        "with and without the state file" % (" and ".join(str(r) for r in rates), rounds))
    files = {"receipt": os.path.join(work, "receipt.txt"), "slow": os.path.join(work, "slow.txt")}
    with open(files["receipt"], "w", encoding="latin-1") as out:
        out.write("".join(line + "\n" for line in RECEIPT))
    with open(files["slow"], "w", encoding="latin-1") as out:
        out.write("S\n")
    warm = command_file(os.path.join(work, "warm.txt"), 1, "*")
    link = os.path.join(work, "wire-line")
    fiscald = os.path.join(b.build, "server", "fiscald")
    result = {"busy_ms": busy_ms, "rounds": rounds, "commands": {"receipt": len(RECEIPT), "slow": 1}, "rates": [],
              "state": state}
    sync = {"sync_us": [], "write_us": [], "realtime_sync_us": []}
    realtime = realtime_prefix()
    if realtime is None:
        log("   chrt -f not permitted here: the flush alone (at real-time priority) not measured")
    for rate in rates:
        sim, port_name = start([os.path.join(b.build, "sim", "fiscalsim"), "-W", "-r", str(rate),
                                "-b", str(busy_ms), "-l", link])
        state_file = os.path.join(state["folder"], "wire-%d.state" % rate)
        if os.path.exists(state_file):
            os.unlink(state_file)
        measured = {(what, who): [] for what in files for who in ("kit", "host")}
        measured[("receipt", "state")] = []
        frame_bytes = {}
        keepalives = {}

        def through(with_state, chosen):
            """One fiscald for the runs of chosen, with or without the state file."""
            args = ["-p", "0", "-b", str(rate)] + (["--state-file", state_file] if with_state else []) + [link]
            server, port = start_fiscald(fiscald, args)
            try:
                for what in chosen:
                    seconds = timed_run_us(b, [b.ruvado, "-p", port, "-t", "127.0.0.1", files[what]], work) / 1e6
                    measured[(what, "state" if with_state else "kit")].append(seconds)
            finally:
                stop(server)

        try:
            # Both slots of the state file written once, as on a server that
            # has run before: every timed record then lands in place.
            server, port = start_fiscald(fiscald, ["-p", "0", "-b", str(rate), "--state-file", state_file, link])
            try:
                run_timed([b.ruvado, "-p", port, "-t", "127.0.0.1", warm], work)
            finally:
                stop(server)
            for round_ in range(rounds):
                for what, path in files.items():
                    output = subprocess.run([b.tool("wire_host"), port_name, str(rate), path, "1"],
                                            check=True, capture_output=True, text=True).stdout
                    host = json.loads(output)
                    measured[(what, "host")].append(host["seconds"][0])
                    frame_bytes[what] = host["frame_bytes"]
                    keepalives[what] = host["keepalives"]
                # With and without the state file in turn, the first of the
                # round alternating, so that neither always follows the other.
                sides = [(False, list(files)), (True, ["receipt"])]
                for with_state, chosen in (sides if round_ % 2 == 0 else sides[::-1]):
                    through(with_state, chosen)
                loop = record_sync(b, os.path.join(state["folder"], "record-sync.bin"), sync_count)
                sync["sync_us"] += loop["sync_us"]
                sync["write_us"] += loop["write_us"]
                if realtime:
                    sync["realtime_sync_us"] += record_sync(b, os.path.join(state["folder"], "record-sync.bin"),
                                                            sync_count, realtime)["sync_us"]
        finally:
            stop(sim)
        # The longest record the server wrote into the second slot: the
        # file ends there.
        record_bytes = os.path.getsize(state_file) - STATE_SLOT_BYTES
        entry = {"rate": rate, "state_record_bytes": record_bytes}
        for what in files:
            # Ten bits a byte for every frame that crossed, plus the work
            # time; keep-alives cross while the controller works and add none.
            limit = frame_bytes[what] * 10.0 / rate + (busy_ms / 1000.0 if what == "slow" else 0)
            kit = median(measured[(what, "kit")])
            host = median(measured[(what, "host")])
            entry[what] = {"limit_s": limit, "kit_s": kit, "host_s": host, "frame_bytes": frame_bytes[what],
                           "keepalives": keepalives[what], "kit_over_limit": kit / limit,
                           "host_over_limit": host / limit,
                           "kit_over_host_ms_per_command": (kit - host) * 1000 / result["commands"][what]}
        with_state = measured[("receipt", "state")]
        without = measured[("receipt", "kit")]
        commands = result["commands"]["receipt"]
        limit = entry["receipt"]["limit_s"]
        entry["receipt_state"] = {
            "kit_s": median(with_state), "limit_s": limit, "kit_over_limit": median(with_state) / limit,
            "runs_s": with_state, "runs_without_s": without,
            # Round by round: the same round's run without the state file.
            "over_without": median([with_state[i] / without[i] for i in range(rounds)]),
            "ms_per_command": median([(with_state[i] - without[i]) * 1000 / commands for i in range(rounds)])}
        result["rates"].append(entry)
        log("   %d baud: receipt %.3f of the wire without the state file, %.3f with it (%+.2f ms a command)"
            % (rate, entry["receipt"]["kit_over_limit"], entry["receipt_state"]["kit_over_limit"],
               entry["receipt_state"]["ms_per_command"]))
    result["record_sync"] = {"bytes": RECORD_BYTES, "sync_us": spread(sync["sync_us"]),
                             "write_us": spread(sync["write_us"])}
    if sync["realtime_sync_us"]:
        result["record_sync"]["realtime_sync_us"] = spread(sync["realtime_sync_us"])
    goal = [e for e in result["rates"] if e["rate"] == 9600]
    if goal:
        ratio = goal[0]["receipt_state"]["kit_over_limit"]
        result["durable_goal"] = {"rate": 9600, "limit": 1.05, "ratio": ratio, "met": ratio <= 1.05}
        log("   goal: the receipt at 9600 baud with the record durable within 1.05 of the wire: %.3f, %s"
            % (ratio, "met" if ratio <= 1.05 else "MISSED"))
    s = result["record_sync"]
    log("   a durable record alone (%d bytes in place + fdatasync, %d times on %s): median %.2f ms, "
        "90th percentile %.2f ms, max %.2f ms; the record after the outcome (no flush) %.0f us"
        % (RECORD_BYTES, s["sync_us"]["count"], state["mount_type"], s["sync_us"]["median"] / 1000,
           s["sync_us"]["p90"] / 1000, s["sync_us"]["max"] / 1000, s["write_us"]["median"]))
    if "realtime_sync_us" in s:
        log("   the same at real-time priority (chrt -f 1, the flush alone): median %.2f ms, 90th percentile %.2f ms"
            % (s["realtime_sync_us"]["median"] / 1000, s["realtime_sync_us"]["p90"] / 1000))
    return result


# 8 ---------------------------------------------------------------------------
def bench_comeback(b, work, rates, rounds):
    log("8 first command after the line comes back and after a restart, at %s baud (paced), %d rounds"
        % (" and ".join(str(r) for r in rates), rounds))
    result = {"rates": [], "rounds": rounds}
    for rate in rates:
        output = subprocess.run([b.tool("comeback"), os.path.join(b.build, "server", "fiscald"), str(rate), str(rounds)],
                                check=True, capture_output=True, text=True, cwd=work).stdout
        measured = json.loads(output)
        entry = {"rate": rate, "steady_ms": measured["steady_ms"]}
        for name in ("back", "restart_state", "restart_fixed", "restart_search"):
            entry[name + "_ms"] = median(measured[name + "_ms"])
        entry["back_max_ms"] = max(measured["back_ms"])
        entry["restart_state_max_ms"] = max(measured["restart_state_ms"])
        result["rates"].append(entry)
    return result


# 9 ---------------------------------------------------------------------------
def bench_tills(b, work, clients, commands, rounds):
    log("9 many tills: 1 and %d clients through fiscald's queue, %d commands x %d rounds" % (clients, commands, rounds))
    link = os.path.join(work, "tills-line")
    sim, _ = start([os.path.join(b.build, "sim", "fiscalsim"), "-r", "38400", "-l", link])
    server, port = start_fiscald(os.path.join(b.build, "server", "fiscald"),
                                 ["-p", "0", "-b", "38400", "-c", str(clients), link])
    runs = {1: [], clients: []}
    try:
        for _ in range(rounds):
            for count in (1, clients):
                output = subprocess.run([b.tool("tills"), port, str(count), str(commands // count), "*"],
                                        check=True, capture_output=True, text=True).stdout
                runs[count].append(json.loads(output))
    finally:
        stop(server)
        stop(sim)

    def summary(values):
        return {"per_s": median([v["commands"] / v["seconds"] for v in values]),
                "median_us": median([v["median_us"] for v in values]),
                "p99_us": median([v["p99_us"] for v in values]),
                "max_us": max(v["max_us"] for v in values)}
    result = {"clients": clients, "commands": commands, "rounds": rounds,
              "one": summary(runs[1]), "many": summary(runs[clients])}
    result["many_over_one"] = median([runs[clients][i]["commands"] / runs[clients][i]["seconds"] /
                                      (runs[1][i]["commands"] / runs[1][i]["seconds"]) for i in range(rounds)])
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
        figure, (left, middle, right) = plt.subplots(1, 3, figsize=(12, 3.8))
        rates = [str(s["rate"]) for s in r["search"]]
        shown = left.bar(rates, [s["search_ms"] for s in r["search"]], color="#4878a8")
        left.bar_label(shown, fmt="%.0f")
        left.set_xlabel("simulator's rate (baud)")
        left.set_ylabel("SearchPrn ms")
        left.set_title("controller search")
        labels = ["ruvado\nalone", "bare relay\n(floor)", "whole\nkit"]
        values = [r["alone_per_s"], r["relay_per_s"], r["kit_per_s"]]
        colours = ["#8c8c8c", "#b0b0b0", "#4878a8"]
        if "before_per_s" in r:
            labels.append("kit\nbefore")
            values.append(r["before_per_s"])
            colours.append("#c87848")
        shown = middle.bar(labels, values, color=colours)
        middle.bar_label(shown, fmt="%.0f", fontsize=8)
        middle.set_ylabel("commands / s")
        middle.tick_params(axis="x", labelsize=8)
        middle.set_title("kit / alone = %.2f, relay / alone = %.2f" % (r["kit_over_alone"], r["relay_over_alone"]),
                         fontsize=9)
        u = r["us_per_command"]
        labels = ["fiscald\nserver", "fiscald\nworker", "bare relay\n(2 processes)"]
        values = [u["server"], u["worker"], u["relay"]]
        colours = ["#4878a8", "#78a8d8", "#b0b0b0"]
        if "before" in u:
            labels.append("fiscald\nbefore")
            values.append(u["before"])
            colours.append("#c87848")
        shown = right.bar(labels, values, color=colours)
        right.bar_label(shown, fmt="%.0f")
        right.set_ylabel("CPU us per command")
        right.tick_params(axis="x", labelsize=8)
        right.set_title("server CPU: %.0f us (server + worker)" % u["fiscald"], fontsize=9)
        figure.suptitle("6. Controller search and the whole kit (unpaced simulator)")
        figure.tight_layout()
        figure.savefig(os.path.join(out, "kit.png"), dpi=90)
        plt.close(figure)
    r = results.get("wire")
    if r:
        figure, axes = plt.subplots(1, 2, figsize=(11.2, 4.6), gridspec_kw={"width_ratios": [3, 2]})
        for side, what, title in ((axes[0], "receipt", "a receipt: open, 20 items, subtotal, close"),
                                  (axes[1], "slow", "a slow command (%.1f s of work)" % (r["busy_ms"] / 1000))):
            positions = list(range(len(r["rates"])))
            series = [("the wire's time (the least possible)", "#8c8c8c",
                       [e[what]["limit_s"] for e in r["rates"]]),
                      ("the kit: till to printer and back", "#4878a8", [e[what]["kit_s"] for e in r["rates"]])]
            if what == "receipt" and all("receipt_state" in e for e in r["rates"]):
                series.append(("the kit with the state file (fdatasync)", "#c87848",
                               [e["receipt_state"]["kit_s"] for e in r["rates"]]))
            width = 0.8 / len(series)
            limit = series[0][2]
            for i, (label, colour, values) in enumerate(series):
                shown = side.bar([p + (i - (len(series) - 1) / 2) * width for p in positions], values, width=width,
                                 color=colour, label=label)
                if i == 0:
                    side.bar_label(shown, fmt="%.2f", fontsize=7)
                else:
                    side.bar_label(shown, labels=["%.2f\n(x%.3f)" % (v, v / l) for v, l in zip(values, limit)],
                                   fontsize=7)
            side.set_xticks(positions)
            side.set_xticklabels(["%d baud" % e["rate"] for e in r["rates"]])
            side.set_ylabel("seconds")
            side.set_ylim(0, max(v for _, _, values in series for v in values) * 1.35)
            side.set_title(title, fontsize=10)
            side.legend(fontsize=7, loc="upper right")
        d = r.get("record_sync")
        if d:
            note = "A durable record alone: %.2f ms median (%d bytes in place + fdatasync, %s)" % (
                d["sync_us"]["median"] / 1000, d["bytes"], r.get("state", {}).get("mount_type", "?"))
            if "realtime_sync_us" in d:
                note += "; at real-time priority, the flush alone: %.2f ms" % (d["realtime_sync_us"]["median"] / 1000)
            figure.text(0.01, 0.01, note, fontsize=8, va="bottom")
        figure.suptitle("7. How long a till waits, against the serial line's own time")
        figure.tight_layout(rect=(0, 0.05, 1, 1))
        figure.savefig(os.path.join(out, "wire.png"), dpi=90)
        plt.close(figure)
    r = results.get("comeback")
    if r:
        figure, axes = plt.subplots(figsize=(8.4, 3.8))
        names = [("steady_ms", "a command,\nline steady"), ("back_ms", "first command,\nline back"),
                 ("restart_state_ms", "first command,\nrestart, state file"),
                 ("restart_fixed_ms", "first command,\nrestart, -b"),
                 ("restart_search_ms", "first command,\nrestart, search")]
        width = 0.8 / len(r["rates"])
        for i, e in enumerate(r["rates"]):
            shown = axes.bar([k + (i - (len(r["rates"]) - 1) / 2) * width for k in range(len(names))],
                             [e[key] for key, _ in names], width=width, label="%d baud" % e["rate"],
                             color=["#78a8d8", "#4878a8"][i % 2])
            axes.bar_label(shown, fmt="%.0f", fontsize=8)
        axes.axhline(100, color="#c87848", linestyle="--", linewidth=1)
        axes.text(len(names) - 0.5, 110, "goal 100 ms", color="#c87848", ha="right", fontsize=8)
        axes.set_xticks(range(len(names)))
        axes.set_xticklabels([label for _, label in names], fontsize=8)
        axes.set_yscale("log")
        axes.set_ylabel("ms to the answer (log)")
        axes.legend(fontsize=8, loc="upper left")
        axes.set_title("8. The line back, the server restarted (paced simulator)")
        figure.tight_layout()
        figure.savefig(os.path.join(out, "comeback.png"), dpi=90)
        plt.close(figure)
    r = results.get("tills")
    if r:
        figure, (left, right) = plt.subplots(1, 2, figsize=(8.4, 3.6))
        shown = left.bar(["1 till", "%d tills" % r["clients"]], [r["one"]["per_s"], r["many"]["per_s"]],
                         color=["#8c8c8c", "#4878a8"])
        left.bar_label(shown, fmt="%.0f")
        left.set_ylabel("commands / s")
        left.set_title("%d tills / 1 = %.2f" % (r["clients"], r["many_over_one"]))
        labels = ["median", "99th pct"]
        positions = [0, 1]
        shown = right.bar([p - 0.2 for p in positions], [r["one"]["median_us"] / 1000, r["one"]["p99_us"] / 1000],
                          width=0.4, color="#8c8c8c", label="1 till")
        right.bar_label(shown, fmt="%.2f", fontsize=8)
        shown = right.bar([p + 0.2 for p in positions], [r["many"]["median_us"] / 1000, r["many"]["p99_us"] / 1000],
                          width=0.4, color="#4878a8", label="%d tills" % r["clients"])
        right.bar_label(shown, fmt="%.1f", fontsize=8)
        right.set_xticks(positions)
        right.set_xticklabels(labels)
        right.set_yscale("log")
        right.set_ylim(top=r["many"]["p99_us"] / 1000 * 10)
        right.set_ylabel("ms from send to final reply (log)")
        right.legend(fontsize=8, loc="upper left")
        right.set_title("a command's time")
        figure.suptitle("9. Many tills through one server (unpaced simulator)")
        figure.tight_layout()
        figure.savefig(os.path.join(out, "tills.png"), dpi=90)
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
        rows.append("| 6. whole kit, `*` x %d | %.0f cmd/s | ruvado alone %.0f cmd/s; bare relay %.0f cmd/s (%.3f of alone) | %.3f of alone, %.2f of the relay | >= 0.5 of alone |" % (
            r["lines"], r["kit_per_s"], r["alone_per_s"], r["relay_per_s"], r["relay_over_alone"],
            r["kit_over_alone"], r["kit_over_relay"]))
        if "before_per_s" in r:
            rows.append("| 6. whole kit, earlier fiscald (--before) | %.0f cmd/s | | %.3f of alone | |" % (
                r["before_per_s"], r["before_over_alone"]))
        rows.append("| 6. kit, per command | wall %.0f us | CPU: ruvado %.0f us, fiscald %.0f us (server %.0f, worker %.0f), fiscalsim %.0f us | | |" % (
            u["wall"], u["ruvado"], u["fiscald"], u["server"], u["worker"], u["fiscalsim"]))
        before = ("; before %.0f us" % u["before"]) if "before" in u else ""
        ratio = ("%.2f of before" % r["fiscald_over_before_cpu"]) if "before" in u else ""
        rows.append("| 6. server CPU per command | fiscald %.0f us (server + worker) | bare relay %.0f us%s | %.2f of the relay%s | <= 1/3 of before |" % (
            u["fiscald"], u["relay"], before, r["fiscald_over_relay_cpu"], (", " + ratio) if ratio else ""))
    r = results.get("wire")
    if r:
        for e in r["rates"]:
            for what, name in (("receipt", "receipt, %d commands" % r["commands"]["receipt"]),
                               ("slow", "slow command, %d ms of work" % r["busy_ms"])):
                w = e[what]
                rows.append("| 7. %s at %d baud | %.3f s | wire %.3f s (%d bytes); packet layer alone %.3f s (%.3f) | %.3f of the wire | <= 1.05 |" % (
                    name, e["rate"], w["kit_s"], w["limit_s"], w["frame_bytes"], w["host_s"], w["host_over_limit"],
                    w["kit_over_limit"]))
                d = e.get("receipt_state")
                if what == "receipt" and d:
                    rows.append("| 7. receipt at %d baud, state file (record + fdatasync before each frame) | %.3f s | wire %.3f s; without the state file %.3f s (%.3f of the wire); %+.2f ms a command | %.3f of the wire, %.3f of without | %s |" % (
                        e["rate"], d["kit_s"], d["limit_s"], w["kit_s"], w["kit_over_limit"], d["ms_per_command"],
                        d["kit_over_limit"], d["over_without"], "<= 1.05" if e["rate"] == 9600 else "reported"))
        d = r.get("record_sync")
        if d:
            st = r.get("state", {})
            rows.append("| 7. a durable record alone, %d bytes in place + fdatasync, x %d (%s, %s) | median %.2f ms | 90th percentile %.2f ms, 99th %.2f ms, max %.2f ms; the record after the outcome (no flush) %.0f us | | reported |" % (
                d["bytes"], d["sync_us"]["count"], st.get("mount_type", "?"), st.get("device", "?"),
                d["sync_us"]["median"] / 1000, d["sync_us"]["p90"] / 1000, d["sync_us"]["p99"] / 1000,
                d["sync_us"]["max"] / 1000, d["write_us"]["median"]))
            if "realtime_sync_us" in d:
                t = d["realtime_sync_us"]
                rows.append("| 7. the same at real-time priority (chrt -f 1): the flush without the wait for a CPU | median %.2f ms | 90th percentile %.2f ms, 99th %.2f ms, max %.2f ms | | reported |" % (
                    t["median"] / 1000, t["p90"] / 1000, t["p99"] / 1000, t["max"] / 1000))
    r = results.get("comeback")
    if r:
        for e in r["rates"]:
            rows.append("| 8. line back, %d baud | first answer %.0f ms (max %.0f) | a command on a steady line %.0f ms | | <= 100 ms |" % (
                e["rate"], e["back_ms"], e["back_max_ms"], e["steady_ms"]))
            rows.append("| 8. restart, %d baud | state file %.0f ms (max %.0f) | -b %.0f ms; full search %.0f ms | | <= 100 ms |" % (
                e["rate"], e["restart_state_ms"], e["restart_state_max_ms"], e["restart_fixed_ms"], e["restart_search_ms"]))
    r = results.get("tills")
    if r:
        rows.append("| 9. %d tills at once | %.0f cmd/s; median %.1f ms, p99 %.1f ms | 1 till %.0f cmd/s; median %.2f ms, p99 %.2f ms | %.2f of one till | >= 0.9 |" % (
            r["clients"], r["many"]["per_s"], r["many"]["median_us"] / 1000, r["many"]["p99_us"] / 1000,
            r["one"]["per_s"], r["one"]["median_us"] / 1000, r["one"]["p99_us"] / 1000, r["many_over_one"]))
    def machine(m, seconds):
        cpu = (" (%s)" % m["cpu"]) if "cpu" in m else ""
        if "cpus" not in m:
            return "not recorded."
        return "%d CPUs%s, kernel %s; load (1 min) %.2f at the start, %.2f at the end; %.0f s in all." % (
            m["cpus"], cpu, m["kernel"], m["load"], m.get("load_end", m["load"]), seconds)
    m = results.get("machine")
    if m:
        rows.append("")
        if "earlier_runs" in results:
            rows.append("This run (%s): %s" % (", ".join(results["sections"]), machine(m, results.get("seconds", 0))))
            for run in results["earlier_runs"]:
                rows.append("")
                rows.append("Kept from an earlier run (%s): %s" % (", ".join(run["sections"]),
                                                                  machine(run["machine"], run["seconds"])))
        else:
            rows.append("Machine: " + machine(m, results.get("seconds", 0)))
    return "\n".join(rows) + "\n"


SECTIONS = ["exchange", "memory", "startup", "serial", "trace", "kit", "wire", "comeback", "tills"]


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return os.uname().machine


def merge_earlier(results, path):
    """A run of some benchmarks (--only) into a folder that holds an earlier
    run's results: the sections this run did not measure are kept from the
    file as they were, each with the machine and run that measured it."""
    if results["sections"] == SECTIONS or not os.path.exists(path):
        return
    with open(path) as text:
        earlier = json.load(text)
    runs = earlier.get("earlier_runs", [])
    # The earlier file's own run: what it names, or every section it holds
    # that no run before it measured.
    before = set(name for run in runs for name in run["sections"])
    own = earlier.get("sections", [name for name in SECTIONS if name in earlier and name not in before])
    runs = [{"sections": own, "machine": earlier.get("machine", {}), "seconds": earlier.get("seconds", 0)}] + runs
    kept = []
    for run in runs:
        sections = [name for name in run["sections"] if name in earlier and name not in results["sections"]]
        if sections:
            kept.append(dict(run, sections=sections))
            for name in sections:
                results[name] = earlier[name]
    if kept:
        results["earlier_runs"] = kept


class Build:
    def __init__(self, build, windows, before):
        self.build = os.path.abspath(build)
        self.windows = os.path.abspath(windows)
        self.ruvado = os.path.join(self.build, "sender", "ruvado")
        self.malloc_count = os.path.join(self.build, "bench", "libmalloc_count.so")
        # An earlier version's fiscald, by its place in that version's build.
        self.before = os.path.abspath(before) if before else ""
        self.before_fiscald = ""
        for place in ("server", "host"):
            candidate = os.path.join(self.before, place, "fiscald")
            if self.before and os.access(candidate, os.X_OK):
                self.before_fiscald = candidate
                break
        if self.before and not self.before_fiscald:
            raise SystemExit("run_bench: no fiscald in " + self.before)

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
    parser.add_argument("--only", default="",
                        help="comma-separated: exchange,memory,startup,serial,trace,kit,wire,comeback,tills")
    parser.add_argument("--before", default=os.environ.get("KIT_BENCH_BEFORE", ""),
                        help="build folder of an earlier version: its fiscald beside this one in the kit run")
    parser.add_argument("--state-dir", default=os.environ.get("KIT_BENCH_STATE_DIR", ""),
                        help="folder for the wire run's state files, on a disk (not tmpfs); "
                             "default bench-state in the build folder")
    args = parser.parse_args()
    b = Build(args.build, args.windows, args.before)
    os.makedirs(args.out, exist_ok=True)
    quick = args.quick
    chosen = set(filter(None, args.only.split(","))) or set(SECTIONS)
    unknown = chosen - set(SECTIONS)
    if unknown:
        raise SystemExit("run_bench: no benchmark named " + ", ".join(sorted(unknown)))
    # Checked before anything runs: a state folder in memory ends the run at once.
    state = durable_folder(args.state_dir or os.path.join(b.build, "bench-state")) if "wire" in chosen else None
    results = {"machine": {"cpus": os.cpu_count(), "load": os.getloadavg()[0], "kernel": os.uname().release,
                           "cpu": cpu_model()},
               "sections": [name for name in SECTIONS if name in chosen]}
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
            results["kit"] = bench_kit(b, work, 1 if quick else 2, 1000 if quick else 5000, 2 if quick else 5)
        if "wire" in chosen:
            results["wire"] = bench_wire(b, work, [9600, 38400], 1 if quick else 3, 1500, state,
                                         50 if quick else 200)
        if "comeback" in chosen:
            results["comeback"] = bench_comeback(b, work, [9600, 38400], 2 if quick else 5)
        if "tills" in chosen:
            results["tills"] = bench_tills(b, work, 64, 640 if quick else 3200, 2 if quick else 5)
    results["seconds"] = time.time() - began
    # The load over the last minute, at the end: what the run shared the machine with.
    results["machine"]["load_end"] = os.getloadavg()[0]
    # Plots only for what ran; the other sections' results and plots in the
    # folder stay as an earlier run left them.
    plotted = {name: results[name] for name in results["sections"] if name in results}
    merge_earlier(results, os.path.join(args.out, "results.json"))
    with open(os.path.join(args.out, "results.json"), "w") as out:
        json.dump(results, out, indent=1)
    markdown = table(results)
    with open(os.path.join(args.out, "results.md"), "w") as out:
        out.write(markdown)
    plots(plotted, args.out)
    print(markdown)
    log("done in %.0f s; results, table and plots in %s" % (results["seconds"], args.out))


main()
