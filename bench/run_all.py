"""Runs the table, store, store-engine, recorder, query, store-report, model and capture benchmarks in turn and prints one summary of their figures.

Each benchmark prints its own figures as it goes; the summary at the end lists every row it returned
(name, value, unit, target) with a yes/no where the target is a plain comparison. A benchmark whose
main() returns nothing contributes the lines of its output that carry a "[target ...]" mark instead.
bench_models.py is run when present.

Run: PYTHONPATH=<build dir> python bench/run_all.py [--quick]
"""

import argparse
import contextlib
import importlib.util
import inspect
import io
import os
import platform
import re
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
BENCHMARKS = ["bench_table", "bench_db", "bench_engine", "bench_recorder", "bench_query", "bench_layers", "bench_models",
              "bench_capture"]


class Tee(io.TextIOBase):
    """Writes through to the terminal and keeps a copy, so output stays live while it is collected."""

    def __init__(self, stream):
        self.stream, self.copy = stream, io.StringIO()

    def write(self, text):
        self.stream.write(text)
        self.copy.write(text)
        return len(text)

    def flush(self):
        self.stream.flush()


def load(name):
    path = os.path.join(HERE, name + ".py")
    if not os.path.exists(path):
        return None, path
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module, path


def arguments(path, quick):
    """The command-line arguments for a benchmark; only flags its source declares are passed."""
    if not quick:
        return []
    with open(path) as f:
        source = f.read()
    if '"--quick"' in source:
        return ["--quick"]
    if '"--repeats"' in source:
        return ["--repeats", "5"]
    return []


def run(module, path, argv):
    """Calls module.main with `argv` (through sys.argv when main takes no arguments)."""
    takes_argv = bool(inspect.signature(module.main).parameters)
    saved = sys.argv
    sys.argv = [path] + argv
    try:
        return module.main(argv) if takes_argv else module.main()
    finally:
        sys.argv = saved


TARGET_LINE = re.compile(r"^\s*(?P<text>.*?)\s*\[target (?P<target>[^\]]*)\]\s*$")
COMPARISON = re.compile(r"^\s*(<=|>=|<|>)\s*([-+]?[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)")


def rows_from_output(text):
    rows = []
    for line in text.splitlines():
        m = TARGET_LINE.match(line)
        if m:
            rows.append((m["text"], None, "", m["target"]))
    return rows


def met(value, target):
    m = COMPARISON.match(target or "")
    if value is None or not m:
        return ""
    op, bound = m.group(1), float(m.group(2))
    ok = {"<=": value <= bound, ">=": value >= bound, "<": value < bound, ">": value > bound}[op]
    return "yes" if ok else "NO"


def fmt_value(value):
    if value is None:
        return "(see text)"
    if isinstance(value, float):
        if abs(value) >= 1000:
            return f"{value:,.0f}"
        if abs(value) >= 10:
            return f"{value:.1f}"
        return f"{value:.3g}"
    return str(value)


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    loadavg = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return f"{cpu}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, load average {loadavg:.2f} at start"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="the short run of every benchmark")
    args = parser.parse_args(argv)
    print(machine())
    summary = []
    for name in BENCHMARKS:
        module_path = os.path.join(HERE, name + ".py")
        if not os.path.exists(module_path):
            print(f"\n== {name}: not present, skipped")
            continue
        print(f"\n== {name}")
        tee = Tee(sys.stdout)
        start = time.perf_counter()
        try:
            with contextlib.redirect_stdout(tee):
                module, path = load(name)
                rows = run(module, path, arguments(path, args.quick))
        except Exception:
            traceback.print_exc()
            summary.append((name, [("FAILED (traceback above)", None, "", "")], time.perf_counter() - start))
            continue
        elapsed = time.perf_counter() - start
        if not isinstance(rows, list):
            rows = rows_from_output(tee.copy.getvalue())
        summary.append((name, rows, elapsed))

    print("\n== summary")
    print(machine())
    table = [("benchmark", "figure", "value", "unit", "target", "met")]
    for name, rows, elapsed in summary:
        for row in rows:
            figure, value, unit, target = row[:4]
            table.append((name, figure, fmt_value(value), unit or "", target or "", met(value, target)))
        table.append((name, "(run time)", f"{elapsed:.1f}", "s", "", ""))
    widths = [max(len(r[i]) for r in table) for i in range(len(table[0]))]
    for i, r in enumerate(table):
        print("  ".join(c.rjust(w) if j == 2 else c.ljust(w) for j, (c, w) in enumerate(zip(r, widths))).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    return [(f"{name}: {row[0]}",) + tuple(row[1:4]) for name, rows, _ in summary for row in rows]


if __name__ == "__main__":
    main()
