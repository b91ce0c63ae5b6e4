"""Density-matrix speed: noisy layered circuits (a random single-qubit gate then depolarizing or
amplitude-damping noise on every qubit, then a CX ladder) with VELLORAN_DENSITY_FUSION off and on,
side by side, and the effective bandwidth of each beside a plain pass over the matrix's bytes.

Effective bandwidth counts one read and one write of the whole matrix per operation, the traffic of
running the operations one by one; fused groups move less, so their figure can exceed the pass's.
run_density_operations_device waits for the device before it returns, so a call is timed whole.

Usage: python benchmarks/bench_rhosim.py [--qubits 8 9 10 11 12 13] [--layers 2] [--repeats 2]
       [--dtype complex128] [--channel depolarizing|amplitude_damping|both] [--quick]
"""
import argparse
import os
import sys
import time

import numpy as np

import rhosim

sys.path.insert(0, os.path.dirname(__file__))
from device_sync import Device  # noqa: E402

FUSION = "VELLORAN_DENSITY_FUSION"


class Gate:
    """Gate form of a density operation, read by attribute."""

    def __init__(self, id, target, control=(), parameter=None):
        self.id = id
        self.target = list(target)
        self.control = list(control)
        self.control_state = [1] * len(self.control)
        self.parameter = parameter
        self.has_stored_matrix = False
        self.stored_matrix = None


class Kraus:
    """Kraus form of a density operation with a built-in channel name."""

    operation_kind = "kraus"

    def __init__(self, target, matrices, channel_name):
        self.target = list(target)
        self.kraus_matrices = matrices
        self.channel_name = channel_name


def channel(name, q, p):
    i2, x = np.eye(2), np.array([[0, 1], [1, 0]])
    if name == "depolarizing":
        y, z = np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
        mats = [np.sqrt(1 - 3 * p / 4) * i2] + [np.sqrt(p / 4) * m for m in (x, y, z)]
    else:
        mats = [np.array([[1, 0], [0, np.sqrt(1 - p)]]), np.array([[0, np.sqrt(p)], [0, 0]])]
    return Kraus([q], np.array(mats, dtype=complex), name)


def noisy_layers(n, layers, channel_name, rng):
    ops = []
    for layer in range(layers):
        for q in range(n):
            kind = rng.integers(0, 3)
            if kind == 0:
                ops.append(Gate("h", [q]))
            elif kind == 1:
                ops.append(Gate(("rx", "ry", "rz")[rng.integers(0, 3)], [q], parameter=[float(rng.uniform(-3, 3))]))
            else:
                ops.append(Gate("u", [q], parameter=[float(a) for a in rng.uniform(-3, 3, 3)]))
            name = channel_name if channel_name != "both" else ("depolarizing", "amplitude_damping")[(q + layer) % 2]
            ops.append(channel(name, q, 0.01))
        ops += [Gate("cx", [q + 1], [q]) for q in range(n - 1)]
    return ops


def time_run(state, n, ops, fusion, repeats):
    previous = os.environ.pop(FUSION, None)
    if fusion:
        os.environ[FUSION] = "1"
    try:
        best = float("inf")
        for _ in range(repeats):
            start = time.perf_counter()
            rhosim.run_density_operations_device(state, n, ops)
            best = min(best, time.perf_counter() - start)
        return best
    finally:
        os.environ.pop(FUSION, None)
        if previous is not None:
            os.environ[FUSION] = previous


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qubits", type=int, nargs="+", default=[8, 9, 10, 11, 12, 13])
    parser.add_argument("--layers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--dtype", default="complex128", choices=["complex64", "complex128"])
    parser.add_argument("--channel", default="both", choices=["depolarizing", "amplitude_damping", "both"])
    parser.add_argument("--quick", action="store_true", help="8 to 10 qubits, one layer, one repeat")
    args = parser.parse_args()
    if args.quick:
        args.qubits, args.layers, args.repeats = [8, 9, 10], 1, 1

    device = Device(rhosim.__backend__)
    entry = 8 if args.dtype == "complex64" else 16
    print(f"rhosim ({rhosim.__backend__} backend), {args.dtype}, {args.layers} noisy layer(s), "
          f"channel {args.channel}, best of {args.repeats}")
    header = (f"{'n':>3} {'ops':>5} {'matrix MiB':>10} {'off ms':>10} {'on ms':>10} {'speed-up':>8} "
              f"{'off GB/s':>9} {'on GB/s':>9} {'pass GB/s':>9} {'|on-off|':>9}")
    print(header)
    print("-" * len(header))
    for n in args.qubits:
        rng = np.random.default_rng(n)
        ops = noisy_layers(n, args.layers, args.channel, rng)
        nbytes = entry << (2 * n)
        state = rhosim.DeviceDensityState.zero_state(n, args.dtype)
        rhosim.run_density_operations_device(state, n, ops[:1])  # first touch of the matrix
        start = state.copy()
        off = time_run(state, n, ops, False, args.repeats)
        result_off = None
        if n <= 11:
            state = start.copy()
            time_run(state, n, ops, False, 1)
            result_off = state.to_numpy()
        state = start.copy()
        on = time_run(state, n, ops, True, args.repeats)
        difference = float("nan")
        if result_off is not None:
            state = start.copy()
            time_run(state, n, ops, True, 1)
            difference = float(np.abs(state.to_numpy() - result_off).max())
        copy = device.copy_seconds(nbytes)
        traffic = 2.0 * nbytes * len(ops)
        print(f"{n:>3} {len(ops):>5} {nbytes / 2**20:>10.1f} {1e3 * off:>10.1f} {1e3 * on:>10.1f} {off / on:>8.2f} "
              f"{traffic / off / 1e9:>9.2f} {traffic / on / 1e9:>9.2f} {2.0 * nbytes / copy / 1e9:>9.2f} "
              f"{difference:>9.1e}")
        del state, start


if __name__ == "__main__":
    main()
