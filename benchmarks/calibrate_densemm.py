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

Usage: python benchmarks/calibrate_densemm.py [--qubits 14 16 18 20 22 24] [--dtype complex128]
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


def seconds_per_group(state, prepared, groups, device, repeats):
    best = float("inf")
    for _ in range(repeats):
        device.synchronize()
        start = time.perf_counter()
        ketsim.execute_prepared_fusion_chunk(state, prepared)
        best = min(best, time.perf_counter() - start)
    return best / groups


def measure_row(state, n, k, device, groups, repeats):
    sparse = {"densemm_max_qubits": 0}
    slopes, intercepts = {}, []
    for label, (name, params) in TYPES.items():
        short = seconds_per_group(state, chunk(n, k, name, params, SHORT, groups, **sparse), groups, device, repeats)
        long = seconds_per_group(state, chunk(n, k, name, params, LONG, groups, **sparse), groups, device, repeats)
        slopes[label] = (long - short) / (LONG - SHORT)
        intercepts.append(short - SHORT * slopes[label])
    dense_chunk = chunk(n, k, "h", [], SHORT, groups, densemm_gate_threshold_scale=-1.0,
                        densemm_min_qubits=1, densemm_max_qubits=7)
    dense = seconds_per_group(state, dense_chunk, groups, device, repeats)
    unit = slopes["general"] - slopes["X"]
    if unit <= 0:
        raise RuntimeError(f"n = {n}, k' = {k}: no measurable difference between general and X gates; "
                           "use more groups or repeats")
    base = sum(intercepts) / len(intercepts)
    return [slopes["X"] / unit, 0.0, 0.0, (slopes["H"] - slopes["X"]) / unit, (slopes["Z"] - slopes["X"]) / unit,
            ((slopes["RX"] + slopes["RY"]) / 2 - slopes["X"]) / unit, 1.0, 0.0, (dense - base) / unit]


def number(v):
    return "0" if v == 0 else ("1" if v == 1 else f"{v:.10g}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, nargs="+", default=BREAKPOINTS)
    parser.add_argument("--dtype", default="complex128", choices=["complex64", "complex128"])
    parser.add_argument("--groups", type=int, default=16, help="groups per timed chunk")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    device = Device(ketsim.__backend__)
    print(f"// measured by benchmarks/calibrate_densemm.py on the {ketsim.__backend__} backend, {args.dtype}")
    print("constexpr double kDenseMMCost[6][7][9] = {")
    for n in args.qubits:
        state = ketsim.DeviceState.zero_state(n, args.dtype)
        print(f"    {{   // n = {n} (measured)")
        for k in range(1, 8):
            row = measure_row(state, n, k, device, args.groups, args.repeats)
            print("        {" + ", ".join(number(v) for v in row) + "},")
            sys.stdout.flush()
        print("    },")
        del state
    print("};")


if __name__ == "__main__":
    main()
