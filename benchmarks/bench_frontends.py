"""Front-end speed: the same circuits through this package's toolkit front ends and through each toolkit's
own reference simulator, printed side by side (seconds per call, best of the repeats, and the ratio).

Qiskit rows: Sampler (layered rotations and CX ladder, and a QFT, measured on every qubit) and Estimator
(the layered circuit with several Pauli observables) of velloran_gpu.qiskit against Qiskit's
StatevectorSampler and StatevectorEstimator. Cirq rows: Simulator.run (layered circuit and QFT, every
qubit measured) and Simulator.simulate of velloran_gpu.cirq against cirq.Simulator, and DensityMatrixSimulator
on the layered circuit with depolarizing noise against cirq.DensityMatrixSimulator. Every call ends with its
results in host memory, so the times include the device work. Toolkits that are not installed are skipped.

Usage: python benchmarks/bench_frontends.py [--qubits 20 22] [--layers 4] [--shots 1000] [--repeats 2]
       [--density-qubits 10] [--precision double|single] [--no-fusion] [--quick]
"""
from __future__ import annotations

import argparse
import time
from typing import Callable

import numpy as np

ROW = "{:<34} {:>4} {:>12} {:>12} {:>8}"


def best_of(repeats: int, fn: Callable[[], object]) -> float:
    """The shortest wall time of ``repeats`` calls."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def print_row(name: str, n: int, ours: float, theirs: float) -> None:
    """One line: case, qubits, our time, the reference's time, and how many times faster we are."""
    print(ROW.format(name, n, f"{ours:.4f}", f"{theirs:.4f}", f"{theirs / ours:.1f}x"), flush=True)


def qiskit_section(args: argparse.Namespace) -> None:
    """Sampler and Estimator against Qiskit's reference primitives."""
    try:
        from qiskit import QuantumCircuit
        from qiskit.circuit.library import QFTGate
        from qiskit.primitives import StatevectorEstimator, StatevectorSampler
        from qiskit.quantum_info import SparsePauliOp

        from velloran_gpu.qiskit import Estimator, Sampler
    except ImportError as exc:
        print(f"qiskit section skipped: {exc}")
        return

    def layered(n: int, layers: int) -> QuantumCircuit:
        rng = np.random.default_rng(n)
        qc = QuantumCircuit(n)
        for _ in range(layers):
            for q in range(n):
                qc.ry(rng.uniform(0, np.pi), q)
                qc.rz(rng.uniform(0, np.pi), q)
            for q in range(n - 1):
                qc.cx(q, q + 1)
        return qc

    def qft(n: int) -> QuantumCircuit:
        qc = QuantumCircuit(n)
        qc.h(range(n))
        qc.append(QFTGate(n), range(n))
        return qc.decompose()

    options = {"precision": args.precision, "fusion": not args.no_fusion}
    print(f"\nQiskit ({args.precision}, fusion {'off' if args.no_fusion else 'on'}; seconds per call)")
    print(ROW.format("case", "n", "velloran", "reference", "speedup"))
    for n in args.qubits:
        for name, circuit in (("Sampler layered", layered(n, args.layers)), ("Sampler QFT", qft(n))):
            measured = circuit.copy()
            measured.measure_all()
            ours = Sampler(seed=1, **options)
            theirs = StatevectorSampler(seed=1)
            t_ours = best_of(args.repeats, lambda: ours.run([measured], shots=args.shots).result())
            t_theirs = best_of(args.repeats, lambda: theirs.run([measured], shots=args.shots).result())
            print_row(f"{name} ({args.shots} shots)", n, t_ours, t_theirs)
        circuit = layered(n, args.layers)
        rng = np.random.default_rng(0)
        labels = ["".join(rng.choice(list("IXYZ"), size=n)) for _ in range(args.observables)]
        observable = SparsePauliOp(labels, rng.normal(size=len(labels)))
        ours_e = Estimator(**options)
        theirs_e = StatevectorEstimator()
        t_ours = best_of(args.repeats, lambda: ours_e.run([(circuit, observable)]).result())
        t_theirs = best_of(args.repeats, lambda: theirs_e.run([(circuit, observable)]).result())
        print_row(f"Estimator ({len(labels)} Pauli terms)", n, t_ours, t_theirs)


def cirq_section(args: argparse.Namespace) -> None:
    """Simulator (run and simulate) against cirq.Simulator, and DensityMatrixSimulator on a noisy circuit
    against cirq.DensityMatrixSimulator, both simulators of a pair in the same precision."""
    try:
        import cirq

        from velloran_gpu.cirq import DensityMatrixSimulator, Simulator
    except ImportError as exc:
        print(f"cirq section skipped: {exc}")
        return

    def layered(qubits: list, layers: int) -> "cirq.Circuit":
        rng = np.random.default_rng(len(qubits))
        ops = []
        for _ in range(layers):
            ops += [cirq.ry(rng.uniform(0, np.pi))(q) for q in qubits]
            ops += [cirq.rz(rng.uniform(0, np.pi))(q) for q in qubits]
            ops += [cirq.CNOT(a, b) for a, b in zip(qubits, qubits[1:])]
        return cirq.Circuit(ops)

    def qft(qubits: list) -> "cirq.Circuit":
        # Decomposed into H, controlled phases and SWAPs: Cirq's own simulator would otherwise build the
        # 2**n x 2**n matrix of the QFT gate.
        return cirq.Circuit(cirq.H.on_each(*qubits), cirq.decompose(cirq.qft(*qubits)))

    dtype = np.complex128 if args.precision == "double" else np.complex64
    options = {"precision": args.precision, "fusion": not args.no_fusion}
    print(f"\nCirq ({args.precision}, fusion {'off' if args.no_fusion else 'on'}; seconds per call)")
    print(ROW.format("case", "n", "velloran", "reference", "speedup"))
    for n in args.qubits:
        qubits = cirq.LineQubit.range(n)
        ours, theirs = Simulator(seed=1, **options), cirq.Simulator(dtype=dtype, seed=1)
        for name, circuit in (("run layered", layered(qubits, args.layers)), ("run QFT", qft(qubits))):
            measured = circuit + cirq.measure(*qubits, key="m")
            t_ours = best_of(args.repeats, lambda: ours.run(measured, repetitions=args.shots))
            t_theirs = best_of(args.repeats, lambda: theirs.run(measured, repetitions=args.shots))
            print_row(f"Simulator.{name} ({args.shots} shots)", n, t_ours, t_theirs)
        circuit = layered(qubits, args.layers)
        t_ours = best_of(args.repeats, lambda: ours.simulate(circuit).final_state_vector)
        t_theirs = best_of(args.repeats, lambda: theirs.simulate(circuit).final_state_vector)
        print_row("Simulator.simulate layered", n, t_ours, t_theirs)
    n = args.density_qubits
    qubits = cirq.LineQubit.range(n)
    noisy = layered(qubits, args.layers).with_noise(cirq.depolarize(0.01))
    ours_d = DensityMatrixSimulator(seed=1, precision=args.precision)
    theirs_d = cirq.DensityMatrixSimulator(dtype=dtype, seed=1)
    t_ours = best_of(args.repeats, lambda: ours_d.simulate(noisy).final_density_matrix)
    t_theirs = best_of(args.repeats, lambda: theirs_d.simulate(noisy).final_density_matrix)
    print_row("DensityMatrixSimulator noisy", n, t_ours, t_theirs)


SECTIONS: list[Callable[[argparse.Namespace], None]] = [qiskit_section, cirq_section]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qubits", type=int, nargs="+", default=[20, 22])
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--shots", type=int, default=1000)
    parser.add_argument("--observables", type=int, default=8)
    parser.add_argument("--density-qubits", type=int, default=10, help="qubits of the noisy density-matrix case")
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--precision", choices=["double", "single"], default="double")
    parser.add_argument("--no-fusion", action="store_true")
    parser.add_argument("--quick", action="store_true", help="12 qubits, one repeat")
    args = parser.parse_args()
    if args.quick:
        args.qubits, args.repeats = [12], 1
        args.density_qubits = min(args.density_qubits, 6)
    for section in SECTIONS:
        section(args)


if __name__ == "__main__":
    main()
