"""Measures the DenseMM cost table of the fusion planner on the device at hand and prints it in the
form of kDenseMMCost in ketsim/fusion/fusion_lowering.cpp.

The planner picks DenseMM for a group when  sum over its gates (V0 + 2^-c V[type]) > V8, a linear
model of SparseShareMem time (a fixed part plus a cost per gate) against the time of one DenseMM
group. For every state size n (14, 16, ..., 24) and group size k' (1..7) this script times
SparseShareMem groups (padded to 10 qubits, as the planner's defaults make them) of 8 and of 40
gates of one type, and DenseMM groups of the same k'. The slope per gate of each type and the
intercept give, in units of (general 2x2 gate - X gate) per-gate time, so that V6 = 1:

  V0 = X per gate (V1 = V2 = V7 = 0: X, Y and SWAP only move amplitudes)
  V3 = H - X,  V4 = Z - X (diagonal),  V5 = mean(RX, RY) - X
  V8 = DenseMM group time - SparseShareMem fixed part

Every value is a median of repeated timings, each the difference between chunks of G and 2G groups so
that the fixed cost of an execution (workspace allocation and upload) drops out. Rows whose timings
scatter, or that give no usable unit, are marked noisy in a comment and on stderr; the run always
finishes. --out writes the table to a file.

Usage: python benchmarks/calibrate_densemm.py [--qubits 14 16 18 20 22 24] [--dtype complex128] [--out FILE]
A quick check on a small machine: --qubits 14 --groups 4 --repeats 1.
"""
import argparse
import os
import sys
import time

import ketsim

sys.path.insert(0, os.path.dirname(__file__))
from device_sync import Device  # noqa: E402

BREAKPOINTS = [14, 16, 18, 20, 22, 24]
SHORT, LONG = 8, 40
NOISY_SPREAD = 0.25  # a value whose repeats range over more than this share of their median

# Per-gate types and the gate that stands for each.
TYPES = {
    "X": ("x", []),
    "H": ("h", []),
    "Z": ("z", []),
    "RX": ("rx", [0.3]),
    "RY": ("ry", [0.3]),
    "general": ("sx", []),
}


class Gate:
    def __init__(self, id, target, parameter):
        self.id = id
        self.target = [target]
        self.control = []
        self.control_state = []
        self.parameter = list(parameter)
        self.matrix = None


def chunk(n, k, name, params, per_group, groups, **options):
    """`groups` groups of exactly `per_group` gates each, cycling over qubits 0..k-1."""
    gates = [Gate(name, i % k, params) for i in range(per_group * groups)]
    return ketsim.prepare_fusion_chunk_gates(n, gates, max_gates_per_group=per_group, **options)


def median(values):
    ordered = sorted(values)
    mid = len(ordered) // 2
    return ordered[mid] if len(ordered) % 2 else (ordered[mid - 1] + ordered[mid]) / 2


class Timing:
    """Time per group of one gate type: the difference between chunks of `groups` and 2 * `groups`
    groups, so the fixed cost of each execution (workspace allocation and upload, the final
    synchronisation) drops out. Median over the repeats; `spread` is their range over the median."""

    def __init__(self, state, device, repeats, prepare, groups):
        short, long = prepare(groups), prepare(2 * groups)
        ketsim.execute_prepared_fusion_chunk(state, short)  # warms the per-thread DenseMM cache
        samples = []
        for _ in range(repeats):
            times = []
            for chunk in (short, long):
                device.synchronize()
                start = time.perf_counter()
                ketsim.execute_prepared_fusion_chunk(state, chunk)
                times.append(time.perf_counter() - start)
            samples.append((times[1] - times[0]) / groups)
        self.seconds = median(samples)
        self.spread = (max(samples) - min(samples)) / abs(self.seconds) if self.seconds else float("inf")


def measure_row(state, n, k, device, groups, repeats):
    """The nine values of one row and the notes on what made it noisy (empty when it is clean)."""
    sparse = {"densemm_max_qubits": 0}
    notes, slopes, intercepts = [], {}, []

    def timed(name, params, per_group, **options):
        t = Timing(state, device, repeats, lambda g: chunk(n, k, name, params, per_group, g, **options), groups)
        if t.spread > NOISY_SPREAD:
            notes.append(f"{name} x{per_group} spread {t.spread:.0%}")
        return t.seconds

    for label, (name, params) in TYPES.items():
        short = timed(name, params, SHORT, **sparse)
        long = timed(name, params, LONG, **sparse)
        slopes[label] = (long - short) / (LONG - SHORT)
        intercepts.append(short - SHORT * slopes[label])
    dense = timed("h", [], SHORT, densemm_gate_threshold_scale=-1.0, densemm_min_qubits=1, densemm_max_qubits=7)
    unit = slopes["general"] - slopes["X"]
    if not unit > 0:
        notes.append("no measurable difference between general and X gates")
        return [float("nan")] * 9, notes
    base = sum(intercepts) / len(intercepts)
    row = [slopes["X"] / unit, 0.0, 0.0, (slopes["H"] - slopes["X"]) / unit, (slopes["Z"] - slopes["X"]) / unit,
           ((slopes["RX"] + slopes["RY"]) / 2 - slopes["X"]) / unit, 1.0, 0.0, (dense - base) / unit]
    if any(v < 0 for v in row):
        notes.append("negative value")
    return row, notes


def number(v):
    if v != v:
        return "NAN"  # a row that could not be measured: it must not go into the table as it is
    return "0" if v == 0 else ("1" if v == 1 else f"{v:.10g}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, nargs="+", default=BREAKPOINTS)
    parser.add_argument("--dtype", default="complex128", choices=["complex64", "complex128"])
    parser.add_argument("--groups", type=int, default=16, help="groups per timed chunk (and twice as many)")
    parser.add_argument("--repeats", type=int, default=5, help="timings per value; the median is kept")
    parser.add_argument("--out", help="also write the table to this file")
    args = parser.parse_args()

    device = Device(ketsim.__backend__)
    lines = [f"// measured by benchmarks/calibrate_densemm.py on the {ketsim.__backend__} backend, {args.dtype}, "
             f"median of {args.repeats}",
             "constexpr double kDenseMMCost[6][7][9] = {"]
    noisy = 0

    def emit(line):
        lines.append(line)
        print(line)
        sys.stdout.flush()

    for line in lines:
        print(line)
    for n in args.qubits:
        state = ketsim.DeviceState.zero_state(n, args.dtype)
        emit(f"    {{   // n = {n} (measured)")
        for k in range(1, 8):
            row, notes = measure_row(state, n, k, device, args.groups, args.repeats)
            comment = ""
            if notes:
                noisy += 1
                comment = f"  // k' = {k} noisy: " + "; ".join(notes)
                print(f"n = {n}, k' = {k}: noisy row ({'; '.join(notes)})", file=sys.stderr)
            emit("        {" + ", ".join(number(v) for v in row) + "}," + comment)
        emit("    },")
        del state
    emit("};")
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines) + "\n")
    print(f"summary: {len(args.qubits) * 7} rows, {noisy} noisy" + (f", table in {args.out}" if args.out else ""))


if __name__ == "__main__":
    main()
