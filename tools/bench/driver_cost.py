#!/usr/bin/env python3
"""Counts the instructions the driver's own code spends, under callgrind.

Runs the fixed workloads of stillscsi_cost (reads and pass-through READ(10)s
of one and of eleven 64 KiB chunks, and single-chunk ones whose chunk fails
once) with callgrind counting inside MeasuredRequests only, and sums the
instructions of the driver's routines: every routine defined in driver/,
transport/ or queries/, with whatever the compiler inlined into it (the
platform's inline helpers included, as in the real build). The stand-in, the
simulated port and the instrument's copy are counted apart. Instruction
counts repeat exactly from run to run, so a change shows as a difference.

  tools/bench/driver_cost.py [--build build/plain] [--write FILE]

Prints the figures, and the change against FILE when it exists; --write
stores the new figures there (tools/bench/driver_cost.txt is the kept copy).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DRIVER_DIRS = tuple(os.path.join(ROOT, d) + os.sep for d in ("driver", "transport", "queries"))
REQUESTS = 100

# name -> (kind, chunks, retry)
WORKLOADS = {
    "read, 1 chunk": ("read", 1, False),
    "read, 11 chunks": ("read", 11, False),
    "read, 1 chunk failing once": ("read", 1, True),
    "pass-through, 1 chunk": ("pass-through", 1, False),
    "pass-through, 11 chunks": ("pass-through", 11, False),
    "pass-through, 1 chunk failing": ("pass-through", 1, True),
}


def parse_callgrind(path):
    """Self cost by (file, function), from callgrind's own output format."""
    files, functions = {}, {}
    costs = {}
    current_file = current_fn = None
    inline_file = None
    in_call = False

    def name(table, text):
        match = re.match(r"\((\d+)\)(?: (.*))?", text)
        if not match:
            return text
        if match.group(2) is not None:
            table[match.group(1)] = match.group(2)
        return table.get(match.group(1), "?")

    with open(path) as out:
        for line in out:
            line = line.rstrip("\n")
            if line.startswith("fl="):
                current_file = name(files, line[3:])
                inline_file = None
            elif line.startswith(("fi=", "fe=")):
                inline_file = name(files, line[3:])
            elif line.startswith("fn="):
                current_fn = name(functions, line[3:])
                inline_file = None
            elif line.startswith(("cfi=", "cfl=")):
                name(files, line[4:])
            elif line.startswith("cfn="):
                name(functions, line[4:])
            elif line.startswith("calls="):
                in_call = True
            elif line and (line[0].isdigit() or line[0] in "+-*"):
                parts = line.split()
                if in_call:
                    in_call = False  # the inclusive cost of the call: not self cost
                    continue
                if len(parts) >= 2:
                    key = (current_file, inline_file or current_file, current_fn)
                    costs[key] = costs.get(key, 0) + int(parts[1])
    return costs


def run(build, kind, chunks, retry):
    binary = os.path.join(build, "tools", "stillscsi_cost")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", "--toggle-collect=*MeasuredRequests*",
                   "--callgrind-out-file=" + out, binary, "--kind", kind, "--chunks", str(chunks),
                   "--requests", str(REQUESTS)] + (["--retry"] if retry else [])
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit("workload failed: " + " ".join(command) + "\n" + done.stderr[-2000:])
        costs = parse_callgrind(out)
    driver = stand_in = copy = 0
    for (defined_in, _, function), cost in costs.items():
        if defined_in and defined_in.startswith(DRIVER_DIRS):
            driver += cost
        elif function and "memcpy" in function or function and "memmove" in function:
            copy += cost
        else:
            stand_in += cost
    return {"driver": driver, "test bed": stand_in, "copy": copy}


def figures(results):
    def per(name, key):
        return results[name][key] / REQUESTS

    rows = []
    for kind in ("read", "pass-through"):
        one = kind + ", 1 chunk"
        many = kind + ", 11 chunks"
        failing = kind + (", 1 chunk failing once" if kind == "read" else ", 1 chunk failing")
        for key in ("driver", "test bed"):
            rows.append((f"{kind}: {key} per request of one chunk", per(one, key)))
            rows.append((f"{kind}: {key} per additional chunk", (per(many, key) - per(one, key)) / 10))
            label = "per retry" if kind == "read" else "per failed chunk (ends the request)"
            rows.append((f"{kind}: {key} {label}", per(failing, key) - per(one, key)))
    return rows


def read_kept(path):
    kept = {}
    if os.path.exists(path):
        with open(path) as file:
            for line in file:
                if line.startswith("#") or "\t" not in line:
                    continue
                label, value = line.rstrip("\n").rsplit("\t", 1)
                kept[label.strip()] = float(value)
    return kept


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "plain"))
    parser.add_argument("--kept", default=os.path.join(ROOT, "tools", "bench", "driver_cost.txt"))
    parser.add_argument("--write", action="store_true", help="store the figures in the kept file")
    args = parser.parse_args()

    results = {name: run(args.build, *workload) for name, workload in WORKLOADS.items()}
    rows = figures(results)
    kept = read_kept(args.kept)
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        change = ""
        if label in kept:
            change = f"   ({value - kept[label]:+.1f} against the kept figures)"
        print(f"{label:<{width}}  {value:10.1f}{change}")
    if args.write:
        with open(args.kept, "w") as file:
            file.write("# Instructions counted by callgrind in tools/bench/driver_cost.py's workloads:\n")
            file.write("# 'driver' is the code of driver/, transport/ and queries/ (with what is inlined into it),\n")
            file.write("# 'test bed' the stand-in, the simulated port and the instrument except its copy.\n")
            for label, value in rows:
                file.write(f"{label}\t{value:.1f}\n")
        print("written to " + os.path.relpath(args.kept, ROOT))


if __name__ == "__main__":
    main()
