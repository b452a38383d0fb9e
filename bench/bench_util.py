"""Helpers shared by the benchmark programs: running contenders, printing tables."""

import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run_contender(reader, source, timeout=120, python=None, cpus=None, **options):
    """Runs bench/contenders.py in a fresh process (of `python`, this one's unless given; on the
    cores `cpus` when given) and returns its figures (or an error)."""
    args = [python or sys.executable, "-P", os.path.join(HERE, "contenders.py"), reader, source]
    for key, value in options.items():
        flag = "--" + key.replace("_", "-")
        if value is True:
            args.append(flag)
        elif value not in (None, False):
            args += [flag, str(value)]
    try:
        result = subprocess.run(
            args, capture_output=True, text=True, timeout=timeout,
            preexec_fn=(lambda: os.sched_setaffinity(0, cpus)) if cpus else None)
    except subprocess.TimeoutExpired:
        return {"reader": reader, "error": f"timed out after {timeout} s"}
    lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
    if result.returncode != 0 or not lines:
        tail = (result.stderr.strip().splitlines() or ["no output"])[-1]
        return {"reader": reader, "error": tail}
    return json.loads(lines[-1])


def fmt(value, digits=2):
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:,.{digits}f}"
    return str(value)


def print_table(title, rows, columns):
    """columns: (heading, key or function of the row, digits)."""
    print(f"\n{title}")
    cells = [[heading for heading, _, _ in columns]]
    for row in rows:
        line = []
        for _, key, digits in columns:
            if "error" in row and key not in ("reader", "label"):
                value = row["error"] if not line[1:] else ""
            else:
                value = key(row) if callable(key) else row.get(key)
            line.append(fmt(value, digits))
        cells.append(line)
    widths = [max(len(r[i]) for r in cells) for i in range(len(cells[0]))]
    for i, r in enumerate(cells):
        print("  " + "  ".join(c.ljust(w) if j == 0 else c.rjust(w)
                               for j, (c, w) in enumerate(zip(r, widths))))
        if i == 0:
            print("  " + "  ".join("-" * w for w in widths))


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{time.strftime('%Y-%m-%d %H:%M')} | {platform.platform()} | {os.cpu_count()} cores"
            f" | {cpu}")


def ratio(a, b):
    if a is None or b in (None, 0):
        return None
    return a / b
