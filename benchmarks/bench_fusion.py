"""Gate fusion speed: PairAutoFusion beside PairAuto on the circuits fusion is for (layers of random
single-qubit gates with CZ or CX ladders, and a QFT), and the CPU planning time per gate.

PairAutoFusion is timed twice: as run_circuit_device runs it (planning included) and as the
execution of a chunk prepared beforehand; the speed-up is PairAuto over the prepared execution.
Planning is timed through prepare_fusion_chunk_gates, which also parses the gate objects, so its
time per gate bounds the planner's from above; the same call with fusion switched off
(max_gates_per_group=0) is printed beside it as the parsing baseline.

Usage: python benchmarks/bench_fusion.py [--qubits 20 22 24 26 | --quick] [--dtype complex128]
"""
import argparse
import math
import os
import sys
import time

import numpy as np

import ketsim

sys.path.insert(0, os.path.dirname(__file__))
from device_sync import Device, timed_best  # noqa: E402

ROTATIONS = ("rx", "ry", "rz")


class Gate:
    """The attribute form of a gate, as the calling package's QuantumGate provides it."""

    def __init__(self, id, target, control=(), parameter=()):
        self.id = id
        self.target = list(target)
        self.control = list(control)
        self.control_state = [1] * len(self.control)
        self.parameter = list(parameter)
        self.matrix = None

    def as_dict(self):
        return {"id": self.id, "target": self.target, "control": self.control,
                "control_state": self.control_state, "parameter": self.parameter}


def random_single(q, rng):
    kind = rng.integers(0, 5)
    if kind < 3:
        return Gate(ROTATIONS[kind], [q], parameter=[float(rng.uniform(-math.pi, math.pi))])
    if kind == 3:
        return Gate("h", [q])
    return Gate("u", [q], parameter=[float(a) for a in rng.uniform(-math.pi, math.pi, 3)])


def layered(n, depth, two_qubit, rng):
    """`depth` layers: a random single-qubit gate on every qubit, then a ladder of two-qubit gates."""
    gates = []
    for layer in range(depth):
        gates += [random_single(q, rng) for q in range(n)]
        start = layer % 2
        for q in list(range(start, n - 1, 2)) + list(range(1 - start, n - 1, 2)):
            gates.append(Gate(two_qubit, [q + 1], control=[q]))
    return gates


def qft(n, rng):
    del rng
    gates = []
    for j in reversed(range(n)):
        gates.append(Gate("h", [j]))
        for k in reversed(range(j)):
            gates.append(Gate("cp", [j], control=[k], parameter=[math.pi / 2 ** (j - k)]))
    for q in range(n // 2):
        gates.append(Gate("swap", [q, n - 1 - q]))
    return gates


CIRCUITS = {
    "layers+CZ": lambda n, rng: layered(n, 10, "cz", rng),
    "layers+CX": lambda n, rng: layered(n, 10, "cx", rng),
    "QFT": qft,
}


def best_of(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, nargs="+", default=[20, 22, 24, 26])
    parser.add_argument("--quick", action="store_true", help="16, 18, 20 and 22 qubits, for small machines")
    parser.add_argument("--dtype", default="complex128", choices=["complex64", "complex128"])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--circuits", nargs="+", default=list(CIRCUITS), choices=list(CIRCUITS))
    args = parser.parse_args()
    qubits = [16, 18, 20, 22] if args.quick else args.qubits

    device = Device(ketsim.__backend__)
    rng = np.random.default_rng(7)
    print(f"ketsim {ketsim.__backend__} backend, {args.dtype}, best of {args.repeats}")
    header = (f"  {'circuit':<10s} {'gates':>6s} {'PairAuto ms':>12s} {'Fusion ms':>10s} {'prepared ms':>12s} "
              f"{'speed-up':>9s} {'prepare us/gate':>16s} {'unfused us/gate':>16s}")
    for n in qubits:
        state = ketsim.DeviceState.zero_state(n, args.dtype)
        print(f"\nn = {n}")
        print(header)
        for name in args.circuits:
            gates = CIRCUITS[name](n, rng)
            gate_ir = [g.as_dict() for g in gates]
            count = len(gates)
            per_gate = timed_best(lambda: ketsim.run_circuit_device(state, gate_ir, mode=ketsim.PairAuto),
                                  device.synchronize, args.repeats)
            fused = timed_best(lambda: ketsim.run_circuit_device(state, gate_ir, mode=ketsim.PairAutoFusion),
                               device.synchronize, args.repeats)
            chunk = ketsim.prepare_fusion_chunk_gates(n, gates)
            prepared = timed_best(lambda: ketsim.execute_prepared_fusion_chunk(state, chunk),
                                  device.synchronize, args.repeats)
            plan = best_of(lambda: ketsim.prepare_fusion_chunk_gates(n, gates), max(args.repeats, 5))
            parse = best_of(lambda: ketsim.prepare_fusion_chunk_gates(n, gates, max_gates_per_group=0),
                            max(args.repeats, 5))
            print(f"  {name:<10s} {count:6d} {per_gate * 1e3:12.2f} {fused * 1e3:10.2f} {prepared * 1e3:12.2f} "
                  f"{per_gate / prepared:8.2f}x {plan / count * 1e6:16.2f} {parse / count * 1e6:16.2f}")
        del state


if __name__ == "__main__":
    main()
