"""Per-gate speed of ketsim: time per gate and effective bandwidth (bytes read and written over
time) per gate kind and kernel mode, beside a plain pass over the state's bytes measured in the same
run (a device copy on a GPU, an in-place pass with the kernels' threads on the host). Usage: python benchmarks/bench_gates.py [--qubits 20 22 24] [--dtype complex128]"""
import argparse
import os
import sys

import numpy as np

import ketsim

sys.path.insert(0, os.path.dirname(__file__))
from device_sync import Device, timed_best  # noqa: E402

# (label, gate name, parameters, number of controls, fraction of amplitudes read and written)
CASES = [
    ("x", "x", [], 0, 1.0),
    ("h", "h", [], 0, 1.0),
    ("z (|1> only)", "z", [], 0, 0.5),
    ("rx", "rx", [0.3], 0, 1.0),
    ("u", "u", [0.3, 0.2, 0.1], 0, 1.0),
    ("h, 1 control", "h", [], 1, 0.5),
    ("h, 2 controls", "h", [], 2, 0.25),
    ("h, 3 controls", "h", [], 3, 0.125),
    ("rx, 2 controls", "rx", [0.3], 2, 0.25),
    ("swap", "swap", [], 0, 0.5),
    ("unitary 2q", "unitary", [], 0, 1.0),
]


def chunk(case, n, gates_per_chunk, rng):
    """Targets cycle over the low n - 4 qubits; controls sit on the top qubits, so a controlled
    gate skips whole cache lines of the amplitudes it leaves alone."""
    label, name, params, controls, _ = case
    span = n - 4
    gates = []
    for g in range(gates_per_chunk):
        t = g % span
        if name == "swap":
            targets = [t, (t + span // 2) % span]
        elif name == "unitary":
            targets = [t, (t + 1) % span]
        else:
            targets = [t]
        ctrl = [n - 1 - c for c in range(controls)]
        gate = {"id": name, "target": targets, "control": ctrl, "control_state": [1] * controls,
                "parameter": params}
        if name == "unitary":
            q, _ = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))
            gate["matrix"] = q
        gates.append(gate)
    return gates


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--qubits", type=int, nargs="+", default=[20, 22, 24])
    parser.add_argument("--dtype", default="complex128", choices=["complex64", "complex128"])
    parser.add_argument("--gates", type=int, default=24, help="gates per timed chunk")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--modes", nargs="+", default=["AllState", "Pair", "PairAuto"])
    args = parser.parse_args()

    device = Device(ketsim.__backend__)
    rng = np.random.default_rng(1)
    elem = 8 if args.dtype == "complex64" else 16
    print(f"ketsim {ketsim.__backend__} backend, {args.dtype}, {args.gates} gates per chunk, best of {args.repeats}")
    for n in args.qubits:
        state = ketsim.DeviceState.zero_state(n, args.dtype)
        state_bytes = elem << n
        copy = device.copy_seconds(state_bytes)
        copy_bw = 2 * state_bytes / copy / 1e9
        print(f"\nn = {n}: state {state_bytes / 2**20:.0f} MiB; plain pass {copy * 1e3:.2f} ms = {copy_bw:.1f} GB/s")
        print(f"  {'gate':<16s} {'mode':<9s} {'us/gate':>10s} {'GB/s':>8s} {'of pass':>8s}")
        for case in CASES:
            gates = chunk(case, n, args.gates, rng)
            for mode_name in args.modes:
                mode = ketsim.KernelMode[mode_name]
                seconds = timed_best(lambda: ketsim.run_circuit_device(state, gates, mode=mode),
                                     device.synchronize, args.repeats) / args.gates
                moved = 2 * case[4] * state_bytes
                bw = moved / seconds / 1e9
                print(f"  {case[0]:<16s} {mode_name:<9s} {seconds * 1e6:10.1f} {bw:8.1f} {bw / copy_bw:7.0%}")


if __name__ == "__main__":
    main()
