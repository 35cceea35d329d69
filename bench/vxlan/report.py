#!/usr/bin/env python3
"""Turns the raw runs of bench/vxlan/run.sh into medians, a table, goal
figures and a gnuplot script. Usage: report.py RESULTS_DIR"""

import glob
import os
import statistics
import subprocess
import sys

OUT = sys.argv[1]
HZ = os.sysconf("SC_CLK_TCK")
VARIANTS = ("A", "B", "C")
NAMES = {"A": "krix_vxlan", "B": "bare relay", "C": "kernel VXLAN"}


def read_tsv(name):
    path = os.path.join(OUT, name)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        lines = [l.rstrip("\n").split("\t") for l in f if l.strip()]
    head = lines[0]
    return [dict(zip(head, row)) for row in lines[1:]]


def machine():
    info = {}
    with open(os.path.join(OUT, "machine.tsv")) as f:
        for line in f:
            k, _, v = line.rstrip("\n").partition("\t")
            info[k] = v
    return info


def derive(r):
    """Per-run figures. before/after hold relay ticks, relay ns, switch ns,
    and host 1's UDP InDatagrams, OutDatagrams, RcvbufErrors."""
    b = [int(x) for x in r["before"].split()]
    a = [int(x) for x in r["after"].split()]
    d = [y - x for x, y in zip(b, a)]
    sent, secs = int(r["sent"]), float(r["secs"])
    fwd = r["dir"] == "fwd"
    got = int(r["got_sink"] if fwd else r["got_count"])
    if r["variant"] == "C":
        relayed = got
    else:
        relayed = d[4] if fwd else d[3]
    port = r.get("switch_port", "").split()
    return {
        "offered": sent / secs,
        "fps": got / secs,
        "loss": 100.0 * (sent - got) / sent if sent else 0.0,
        "relay_ns": d[1] / relayed if relayed and r["variant"] != "C" else float("nan"),
        "relay_ns_stat": d[0] * 1e9 / HZ / relayed if relayed and r["variant"] != "C" else float("nan"),
        "switch_ns": d[2] / (sent if fwd else got) if (sent if fwd else got) else float("nan"),
        "relayed": relayed,
        "local_ns": (d[1] + d[2]) / got if got else float("nan"),
        "sock_drop": d[5],
        "relay_sleeps": d[6] / relayed if relayed and len(d) > 6 else float("nan"),
        "switch_sleeps": d[7] / got if got and len(d) > 7 else float("nan"),
        "switch_drop": int(port[2]) if len(port) == 3 else 0,
    }


def medians(rows):
    groups = {}
    for r in rows:
        key = (r["variant"], r["dir"], int(r["size"]), r["load"])
        groups.setdefault(key, []).append(derive(r))
    med = {}
    for key, runs in groups.items():
        med[key] = {k: statistics.median(run[k] for run in runs) for k in runs[0]}
        med[key]["n"] = len(runs)
    return med


def loss_free(sweep):
    """(variant, dir, size) -> (highest rate that passed or None, lowest
    that failed or None, lowest rate tried) from the bisection's steps."""
    out = {}
    for r in sweep:
        key = (r["variant"], r["dir"], int(r["size"]))
        rate, ok = int(r["rate"]), r["pass"] == "1"
        best, fail, low = out.get(key, (None, None, rate))
        if ok and (best is None or rate > best):
            best = rate
        if not ok and (fail is None or rate < fail):
            fail = rate
        out[key] = (best, fail, min(low, rate))
    return out


def fmt(x, digits=0):
    if x != x:
        return "-"
    return f"{x:,.{digits}f}"


def local(m):
    """CPU per frame of the switch and the relay together, per delivered
    frame: the cost of the local side, comparable with C, whose switch does
    the kernel's VXLAN work itself."""
    return m["local_ns"]


def ratio(a, b):
    return a / b if b and a == a and b == b else float("nan")


def main():
    info = machine()
    rows = read_tsv("raw.tsv")
    med = medians(rows)
    sizes = sorted({k[2] for k in med})
    out = []
    out.append("# krix_vxlan (A) against the bare relay (B) and the kernel path (C)\n")
    out.append(f"Machine: {info.get('cpu')}, {info.get('nproc')} CPUs, kernel {info.get('kernel')}; "
               f"load average {info.get('load_before')} before, {info.get('load_after', '?')} after "
               f"(the machine is shared). {info.get('date')}, commit {info.get('commit')}.\n")
    out.append(f"Runs of {info.get('secs')} s, {info.get('reps')} repetitions alternated A, B, C; "
               f"medians. Fixed load: {info.get('rate')} frames/s. Command: `bash bench/vxlan/run.sh`.\n")
    out.append("frames/s: delivered end to end (forward: counted by the sink in the peer namespace; "
               "reverse: counted by the plug behind the switch). Loss: offered less delivered. "
               "Relay CPU: the relay's time on a CPU (/proc/PID/schedstat; utime+stime from "
               "/proc/PID/stat in summary.tsv) over the run, divided by the frames it forwarded. "
               "Switch: the switch's CPU per frame it took in. C has no relay process: its switch "
               "does the TAP write or read and, forward, the kernel bridge and VXLAN transmit "
               "inside that write, so the last column compares the whole local side "
               "(switch + relay, per delivered frame) of A and B with C's switch.\n")
    for d, dname in (("fwd", "Forward: switch -> relay -> underlay -> sink"),
                     ("rev", "Reverse: sender -> relay -> switch -> count plug")):
        for load in ("max", "fixed"):
            lname = "generator maximum" if load == "max" else f"fixed {info.get('rate')} frames/s"
            out.append(f"\n## {dname}, {lname}\n")
            out.append("| frame | offered/s | A frames/s | B frames/s | C frames/s | A/B | A/C "
                       "| loss A | loss B | loss C | A relay ns/frame | B relay ns/frame "
                       "| A/B CPU | switch ns/frame A / B / C | switch+relay ns/frame A / B / C |")
            out.append("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
            for s in sizes:
                m = {v: med.get((v, d, s, load)) for v in VARIANTS}
                if not all(m.values()):
                    continue
                out.append(
                    f"| {s} | {fmt(m['A']['offered'])} | {fmt(m['A']['fps'])} | {fmt(m['B']['fps'])} "
                    f"| {fmt(m['C']['fps'])} | {fmt(ratio(m['A']['fps'], m['B']['fps']), 2)} "
                    f"| {fmt(ratio(m['A']['fps'], m['C']['fps']), 2)} "
                    f"| {fmt(m['A']['loss'], 1)}% | {fmt(m['B']['loss'], 1)}% | {fmt(m['C']['loss'], 1)}% "
                    f"| {fmt(m['A']['relay_ns'])} | {fmt(m['B']['relay_ns'])} "
                    f"| {fmt(ratio(m['A']['relay_ns'], m['B']['relay_ns']), 2)} "
                    f"| {fmt(m['A']['switch_ns'])} / {fmt(m['B']['switch_ns'])} / {fmt(m['C']['switch_ns'])} "
                    f"| {fmt(local(m['A']))} / {fmt(local(m['B']))} / {fmt(m['C']['switch_ns'])} |")

    sweep = loss_free(read_tsv("sweep.tsv"))
    if sweep:
        out.append("\n## Highest loss-free rate (paced, < 1% loss)\n")
        out.append(f"A bisection per configuration: {info.get('sweep', '')}; the three take turns at "
                   "every step. A step passes when the generator kept up (sent at least 97% of "
                   "the rate) and less than 1% of what it sent was lost. One bisection, no "
                   "repetitions: a step is one short run, so a burst of load from elsewhere can "
                   "fail it. Shown: the highest rate that passed (the lowest that failed).\n")
        out.append("| direction | frame | A frames/s | B frames/s | C frames/s | A/B | A/C |")
        out.append("|---|---:|---:|---:|---:|---:|---:|")
        for d in ("fwd", "rev"):
            for s in sorted({k[2] for k in sweep if k[1] == d}):
                cells, best = [], {}
                for v in VARIANTS:
                    b, f, low = sweep.get((v, d, s), (None, None, 0))
                    best[v] = b if b is not None else float("nan")
                    cells.append((fmt(b) if b is not None else f"< {fmt(low)}")
                                 + (f" ({fmt(f)})" if f is not None else " (none)"))
                out.append(f"| {d} | {s} | " + " | ".join(cells)
                           + f" | {fmt(ratio(best['A'], best['B']), 2)} | {fmt(ratio(best['A'], best['C']), 2)} |")

    out.append("\n## Goals\n")
    for d in ("fwd", "rev"):
        for load in ("fixed", "max"):
            rs = [ratio(med[("A", d, s, load)]["relay_ns"], med[("B", d, s, load)]["relay_ns"])
                  for s in sizes if ("A", d, s, load) in med and ("B", d, s, load) in med]
            if rs:
                out.append(f"- CPU/frame A/B, {d}, {load} load, sizes {sizes}: "
                           + ", ".join(fmt(r, 2) for r in rs)
                           + (" (goal <= 1.10: met)" if max(rs) <= 1.10 else " (goal <= 1.10: not met)"))
    for d in ("fwd", "rev"):
        rs = [ratio(med[("A", d, s, l)]["relay_ns"], med[("B", d, s, l)]["relay_ns"])
              for s in sizes for l in ("fixed", "max")
              if ("A", d, s, l) in med and ("B", d, s, l) in med]
        if rs:
            g = statistics.geometric_mean(rs)
            out.append(f"- CPU/frame A/B, {d}, geometric mean over all sizes and loads: {fmt(g, 2)}"
                       + (" (goal <= 1.10: met)" if g <= 1.10 else " (goal <= 1.10: not met)"))
    for d in ("fwd", "rev"):
        k = ("A", d, 64, "max")
        c = ("C", d, 64, "max")
        if k in med and c in med:
            r = ratio(med[k]["fps"], med[c]["fps"])
            out.append(f"- frames/s at 64 bytes, {d}, generator maximum: A {fmt(med[k]['fps'])}, "
                       f"C {fmt(med[c]['fps'])}, A/C {fmt(r, 2)}"
                       + (" (goal >= 1: met)" if r >= 1 else " (goal >= 1: not met)"))

    for d in ("fwd", "rev"):
        a, c = sweep.get(("A", d, 64)), sweep.get(("C", d, 64))
        if a and c and a[0] is not None and c[0] is not None:
            r = a[0] / c[0]
            out.append(f"- frames/s at 64 bytes, {d}, highest loss-free rate: A {fmt(a[0])}, "
                       f"C {fmt(c[0])}, A/C {fmt(r, 2)}"
                       + (" (goal >= 1: met)" if r >= 1 else " (goal >= 1: not met)"))

    heap = read_tsv("heap.tsv")
    if heap:
        out.append("\n## Heap calls per forwarded frame (A under the counting shim, 64 bytes, fixed load)\n")
        for h in heap:
            b = [int(x) for x in h["counts_before"].split()]
            a = [int(x) for x in h["counts_after"].split()]
            d = [y - x for x, y in zip(b, a)]
            allocs = d[0] + d[1] + d[2] + d[4] + d[5]
            sent = int(h["sent"])
            out.append(f"- {h['dir']}: {allocs} allocations and {d[3]} frees during {sent:,} frames "
                       f"({allocs / sent if sent else 0:.6f} per frame)")
    idle = read_tsv("idle.tsv")
    if idle:
        i = idle[0]
        out.append(f"\n## Idle\n\n- A with no traffic: {i['voluntary']} voluntary and "
                   f"{i['nonvoluntary']} involuntary context switches in {i['seconds']} s.")

    prof = read_tsv("profile.tsv")
    if prof:
        out.append("\n## Profile: user-space instructions per frame (callgrind, 64 bytes, "
                   "steady state only)\n")
        out.append("Callgrind counts the instructions the process executes itself, library code "
                   "included (the libc and plug-library wrappers around each system call); the "
                   "kernel's work inside the calls is not counted.\n")
        for p in prof:
            total = 0
            if p["file"] and os.path.exists(p["file"]):
                with open(p["file"]) as f:
                    for line in f:
                        if line.startswith("summary:") or line.startswith("totals:"):
                            total = int(line.split()[1])
            got = int(p["got"] or 0)
            out.append(f"- {p['variant']} {p['dir']}: {total:,} instructions over {got:,} frames = "
                       f"{total / got if got else 0:,.0f} per frame")
        for path in sorted(glob.glob(os.path.join(OUT, "perf.*.txt"))):
            name = os.path.basename(path)[5:-4]
            with open(path) as f:
                top = [l.rstrip() for l in f]
            out.append(f"\nWhere {name} spends its time at the fixed load (perf, CPU clock, "
                       "kernel included; [k] kernel, [.] user):\n")
            out.append("```")
            out.extend(top)
            out.append("```")
    with open(os.path.join(OUT, "table.md"), "w") as f:
        f.write("\n".join(out) + "\n")

    with open(os.path.join(OUT, "summary.tsv"), "w") as f:
        cols = ["offered", "fps", "loss", "relay_ns", "relay_ns_stat", "switch_ns", "local_ns",
                "relayed", "sock_drop", "switch_drop", "relay_sleeps", "switch_sleeps", "n"]
        f.write("variant\tdir\tsize\tload\t" + "\t".join(cols) + "\n")
        for key in sorted(med):
            f.write("\t".join(str(x) for x in key) + "\t"
                    + "\t".join(f"{med[key][c]:.2f}" for c in cols) + "\n")

    for d in ("fwd", "rev"):
        with open(os.path.join(OUT, f"fps_{d}.dat"), "w") as f:
            f.write("# size A B C (frames/s delivered, generator maximum, medians)\n")
            for s in sizes:
                vals = [med.get((v, d, s, "max"), {}).get("fps", float("nan")) for v in VARIANTS]
                f.write(f"{s} " + " ".join(f"{x:.0f}" for x in vals) + "\n")
    gp = f"""set terminal pngcairo size 1100,450 font ",10"
set output "{OUT}/fps.png"
set termoption noenhanced
set multiplot layout 1,2 title "krix_vxlan (A), bare relay (B), kernel VXLAN (C): {info.get('nproc')} CPUs, {info.get('cpu')}, load {info.get('load_before')}"
set xlabel "frame size (bytes)"
set ylabel "frames/s delivered"
set key top right
set grid
set yrange [0:*]
set xtics (64, 512, 1500)
set title "forward (switch -> VXLAN), generator maximum"
plot "{OUT}/fps_fwd.dat" u 1:2 w lp t "A krix_vxlan", "" u 1:3 w lp t "B bare relay", "" u 1:4 w lp t "C kernel"
set title "reverse (VXLAN -> switch), generator maximum"
plot "{OUT}/fps_rev.dat" u 1:2 w lp t "A krix_vxlan", "" u 1:3 w lp t "B bare relay", "" u 1:4 w lp t "C kernel"
unset multiplot
"""
    with open(os.path.join(OUT, "fps.gp"), "w") as f:
        f.write(gp)


main()
