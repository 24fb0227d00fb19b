"""Where the first call of a process spends its time, without a sampling profiler.

Each round starts a fresh process that makes one graph of bench/compare.py, then times its first
call, the collection that the interpreter runs at the first allocation after it, the release of
that result, and the same for a second (warm) call. (From CPython 3.14 on, every dict is tracked
by the cyclic collector, and that first collection after the call looks through the whole result
once; what it costs depends on how the result lies in memory.) For each it reports the
wall time, the processor time in user and kernel mode, the minor page faults and the context
switches of the whole process, and the same per thread (the caller and each worker, from
/proc/self/task), so that the faults of the result's memory (the caller's) show apart from those
of the searches' working memory (the workers'). Each process also times the first touch of fresh
anonymous memory, one byte per page, which is what every one of those faults costs at the time:
the spread of the first call follows it.

    python3 bench/first_call.py                        # grid1000, 5 processes
    python3 bench/first_call.py --graph random --processes 3
    python3 bench/first_call.py --library OLD.so       # another build of dorvane

Linux only. Transparent huge pages' setting is printed first: with "madvise" (Debian's default)
neither CPython's allocators nor dorvane's ask for them, so every fault is a 4 KiB page.
"""

import argparse
import gc
import json
import mmap
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def threads():
    """{thread id: (minor faults, user s, system s)} of this process."""
    tick = os.sysconf("SC_CLK_TCK")
    figures = {}
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        # After the name: state is field 3, minflt 10, utime 14, stime 15 (1-based).
        figures[int(task)] = (int(fields[7]), int(fields[11]) / tick, int(fields[12]) / tick)
    return figures


def snapshot():
    # The clock first: reading the rest allocates, which may start a collection.
    wall = time.perf_counter()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return {"wall": wall, "user": usage.ru_utime, "system": usage.ru_stime,
            "faults": usage.ru_minflt, "switches": usage.ru_nvcsw + usage.ru_nivcsw,
            "threads": threads()}


def difference(before, after, caller):
    figures = {key: after[key] - before[key]
               for key in ("wall", "user", "system", "faults", "switches")}
    workers = [0, 0.0, 0.0]
    for task, (faults, user, system) in after["threads"].items():
        old = before["threads"].get(task, (0, 0.0, 0.0))
        part = (faults - old[0], user - old[1], system - old[2])
        if task == caller:
            figures["caller faults"], figures["caller user"], figures["caller system"] = part
        else:
            workers = [a + b for a, b in zip(workers, part)]
    figures["worker faults"], figures["worker user"], figures["worker system"] = workers
    return figures


def touch_cost(megabytes=256):
    """Microseconds per first-touch fault of fresh anonymous memory, right now."""
    size = megabytes << 20
    memory = mmap.mmap(-1, size)
    start = time.perf_counter()
    for offset in range(0, size, mmap.PAGESIZE):
        memory[offset] = 1
    seconds = time.perf_counter() - start
    memory.close()
    # The loop's own cost, on memory already touched.
    memory = mmap.mmap(-1, size)
    for offset in range(0, size, mmap.PAGESIZE):
        memory[offset] = 1
    start = time.perf_counter()
    for offset in range(0, size, mmap.PAGESIZE):
        memory[offset] = 1
    loop = time.perf_counter() - start
    memory.close()
    return (seconds - loop) / (size // mmap.PAGESIZE) * 1e6


def child(graph, library):
    sys.path.insert(0, str(HERE))
    import compare

    module = compare.load_other_build(library) if library else compare.dorvane
    _, make_edges, cutoff = compare.GRAPHS[graph]
    edges = make_edges()
    caller = os.getpid()
    report = {"touch us per fault": touch_cost()}
    for phase in ("first", "warm"):
        gc.collect()
        before = snapshot()
        result = module.all_pairs_dijkstra_path_length(edges, cutoff)
        built = snapshot()
        gc.collect(0)
        collected = snapshot()
        del result
        released = snapshot()
        report[phase] = difference(before, built, caller)
        report[phase + " collection"] = difference(built, collected, caller)
        report[phase + " release"] = difference(collected, released, caller)
    print(json.dumps(report))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--graph", default="grid1000")
    parser.add_argument("--processes", type=int, default=5)
    parser.add_argument("--library", help="another build of dorvane, from its shared library")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        child(options.graph, options.library)
        return
    for setting in ("enabled", "defrag"):
        path = Path("/sys/kernel/mm/transparent_hugepage") / setting
        if path.exists():
            print(f"transparent huge pages, {setting}: {path.read_text().strip()}")
    reports = []
    for _ in range(options.processes):
        command = [sys.executable, __file__, "--child", "--graph", options.graph]
        if options.library:
            command += ["--library", os.path.abspath(options.library)]
        run = subprocess.run(command, capture_output=True, text=True, check=True)
        report = json.loads(run.stdout.strip().splitlines()[-1])
        reports.append(report)
        first = report["first"]
        print(f"  caller user {first['caller user']:.2f} s, system {first['caller system']:.2f} s; "
              f"workers user {first['worker user']:.2f} s, system {first['worker system']:.2f} s; "
              f"warm: caller user {report['warm']['caller user']:.2f} s, workers user "
              f"{report['warm']['worker user']:.2f} s; release user "
              f"{report['first release']['caller user']:.2f} s")
        print(f"first call {first['wall']:6.2f} s: user {first['user']:5.2f} s, system "
              f"{first['system']:5.2f} s, faults {first['faults']:7d} (caller "
              f"{first['caller faults']}, workers {first['worker faults']}), switches "
              f"{first['switches']}; collection {report['first collection']['wall']:5.3f} s, release "
              f"{report['first release']['wall']:5.2f} s; warm call "
              f"{report['warm']['wall']:5.2f} s, faults {report['warm']['faults']}, system "
              f"{report['warm']['system']:.2f} s; fresh page {report['touch us per fault']:.2f} us",
              flush=True)
    # How much of the first call's spread the faults' cost explains.
    walls = [r["first"]["wall"] for r in reports]
    systems = [r["first"]["system"] for r in reports]
    print(f"first call: {min(walls):.2f} to {max(walls):.2f} s (median "
          f"{statistics.median(walls):.2f}); its system time {min(systems):.2f} to "
          f"{max(systems):.2f} s; system time per fault "
          + ", ".join(f"{r['first']['system'] / max(r['first']['faults'], 1) * 1e6:.1f}"
                      for r in reports) + " us")


if __name__ == "__main__":
    main()
