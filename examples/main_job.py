"""A real simulation through velloran_gpu's Qiskit front end: phase estimation by an inverse quantum Fourier
transform on 24 qubits, sampled with the Sampler and measured exactly with the Estimator, both checked
against the closed-form outcome law; then a noisy 10-qubit GHZ state on the density-matrix method, with its
counts, fidelity and purity checked against an independent density-matrix evolution.

It runs on the GPU when the modules were built for cuda, else on the CPU (host backend); the first line says
which. ``--raw`` adds the same kind of work done with the ketsim and rhosim modules directly.
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import time
from collections.abc import Callable
from types import SimpleNamespace
from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray
from qiskit import QuantumCircuit
from qiskit.circuit.library import QFTGate
from qiskit.quantum_info import SparsePauliOp

import ketsim
import rhosim
import velloran_gpu
from velloran_gpu.qiskit import Estimator, Sampler, translate_circuit

T = TypeVar("T")

# The phase the Fourier job estimates: 1/3 has no finite binary expansion, so the outcome law is spread
# over the neighbours of round(N/3) instead of one certain outcome.
PHASE = 1.0 / 3.0


def timed(label: str, fn: Callable[[], T]) -> T:
    """Run ``fn``, print how long it took, and return its result."""
    start = time.perf_counter()
    result = fn()
    print(f"  {label:<52s} {time.perf_counter() - start:8.2f} s")
    return result


def top(counts: dict[str, int], k: int) -> list[tuple[str, int]]:
    """The ``k`` most frequent outcomes, most frequent first."""
    return sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:k]


# ---- phase estimation on the state vector ---------------------------------------------------------------

def phase_circuit(n: int, phase: float) -> QuantumCircuit:
    """QFT^-1 applied to the product state with qubit q in (|0> + e^(2 pi i phase 2^q)|1>)/sqrt(2): the
    register then reads the n-bit binary fraction nearest to ``phase`` (qubit 0 least significant)."""
    qc = QuantumCircuit(n, name=f"phase_estimation_{n}")
    for q in range(n):
        qc.h(q)
        qc.p(2 * math.pi * ((phase * 2**q) % 1.0), q)
    qc.append(QFTGate(n).inverse(), range(n))
    return qc


def exact_law(n: int, phase: float, outcomes: NDArray[np.float64]) -> NDArray[np.float64]:
    """Probability of each outcome y: |(1/N) sum_k e^(2 pi i k (x - y) / N)|^2 with x = phase N, which is
    sin^2(pi d) / (N^2 sin^2(pi d / N)) for d = x - y (never an integer here)."""
    size = float(2**n)
    d = phase * size - outcomes
    return np.asarray(np.sin(np.pi * d) ** 2 / (size**2 * np.sin(np.pi * d / size) ** 2), dtype=np.float64)


def sampler_job(n: int, shots: int, seed: int, fusion: bool) -> None:
    """Sample the phase register and compare the frequent outcomes with their exact probabilities."""
    circuit = phase_circuit(n, PHASE)
    circuit.measure_all()
    sampler = Sampler(seed=seed, fusion=fusion)
    result = timed(f"Sampler: {n}-qubit QFT^-1, {shots} shots", lambda: sampler.run([circuit], shots=shots).result())
    counts: dict[str, int] = result[0].data.meas.get_counts()
    outcomes = top(counts, 4)
    exact = exact_law(n, PHASE, np.array([int(bits, 2) for bits, _ in outcomes], dtype=np.float64))
    print(f"    {'outcome':<{n}s}  {'count':>6s}  {'exact':>8s}")
    for (bits, count), p in zip(outcomes, exact):
        print(f"    {bits}  {count:6d}  {p * shots:8.1f}")
    estimate = int(outcomes[0][0], 2) / 2**n
    print(f"    estimate {estimate:.10f}, error {abs(estimate - PHASE):.1e} (resolution 2^-{n} = {2.0**-n:.1e})")


def estimator_job(n: int, fusion: bool) -> None:
    """An exact expectation value on the top two qubits, against the one the closed-form law gives."""
    circuit = phase_circuit(n, PHASE)
    terms = [("Z", [n - 1], 1.0), ("Z", [n - 2], 0.5), ("ZZ", [n - 1, n - 2], 0.25)]
    observable = SparsePauliOp.from_sparse_list(terms, num_qubits=n)
    estimator = Estimator(fusion=fusion)
    result = timed(f"Estimator: <{' + '.join(f'{c} {p}{q}' for p, q, c in terms)}>",
                   lambda: estimator.run([(circuit, observable)]).result())
    value = float(result[0].data.evs)
    # The marginal law of qubits n-1 and n-2 is the law of y >> (n - 2), four contiguous blocks of outcomes.
    law = exact_law(n, PHASE, np.arange(2**n, dtype=np.float64)).reshape(4, -1).sum(axis=1)
    high = np.array([1, 1, -1, -1])  # Z on qubit n-1 for y >> (n - 2) = 0, 1, 2, 3
    low = np.array([1, -1, 1, -1])  # Z on qubit n-2
    exact = float(law @ (1.0 * high + 0.5 * low + 0.25 * high * low))
    print(f"    value {value:.12f}, exact {exact:.12f}, difference {abs(value - exact):.1e}")


# ---- noisy GHZ on the density matrix ------------------------------------------------------------------

def ghz_circuit(n: int) -> QuantumCircuit:
    """H on qubit 0, then a CX chain: (|0...0> + |1...1>)/sqrt(2)."""
    qc = QuantumCircuit(n, name=f"ghz_{n}")
    qc.h(0)
    for q in range(1, n):
        qc.cx(q - 1, q)
    return qc


def report_density(rho: NDArray[Any], reference: NDArray[Any], counts: dict[str, int], n: int) -> None:
    """Counts, GHZ fidelity and purity of a final density matrix, and its distance to a reference one."""
    last = 2**n - 1
    fidelity = 0.5 * float(np.real(rho[0, 0] + rho[0, last] + rho[last, 0] + rho[last, last]))
    purity = float(np.real(np.vdot(rho, rho)))
    for bits, count in top(counts, 4):
        print(f"    {bits}  {count}")
    print(f"    trace {np.real(np.trace(rho)):.9f}, GHZ fidelity {fidelity:.5f}, purity tr(rho^2) {purity:.5f}")
    print(f"    max |rho - independent reference| = {np.abs(rho - reference).max():.1e}")


def aer_noisy_job(n: int, shots: int, seed: int) -> None:
    """Depolarizing errors on every gate from a qiskit_aer NoiseModel; the reference evolves a Qiskit
    DensityMatrix with the same Kraus operators."""
    from qiskit.quantum_info import DensityMatrix, Kraus, Operator
    from qiskit_aer.noise import NoiseModel, depolarizing_error

    errors = {"h": depolarizing_error(0.004, 1), "cx": depolarizing_error(0.02, 2)}
    model = NoiseModel()
    for name, error in errors.items():
        model.add_all_qubit_quantum_error(error, [name])
    circuit = ghz_circuit(n)
    print(f"rhosim ({rhosim.__backend__} backend): {n}-qubit GHZ, qiskit_aer depolarizing noise on every gate")
    measured = circuit.copy()
    measured.measure_all()
    sampler = Sampler(seed=seed, noise_model=model)  # quantum errors select the density-matrix method
    result = timed(f"Sampler with the noise model, {shots} shots",
                   lambda: sampler.run([measured], shots=shots).result())
    program = translate_circuit(circuit, model)
    final = timed("final density matrix", lambda: velloran_gpu.final_state(program, method="density_matrix"))
    reference = DensityMatrix.from_label("0" * n)
    for instruction in circuit.data:
        qubits = [circuit.find_bit(q).index for q in instruction.qubits]
        reference = reference.evolve(Operator(instruction.operation), qubits)
        reference = reference.evolve(Kraus(errors[instruction.operation.name]), qubits)
    report_density(final.state, np.asarray(reference.data), result[0].data.meas.get_counts(), n)


def cirq_noisy_job(n: int, shots: int, seed: int) -> None:
    """Depolarizing channels after every moment on every qubit, run as Kraus channels through velloran_gpu's
    Cirq front end; the reference is Cirq's own density-matrix simulator in double precision."""
    import cirq

    from velloran_gpu.cirq import DensityMatrixSimulator

    qubits = cirq.LineQubit.range(n)
    ghz = cirq.Circuit([cirq.H(qubits[0])] + [cirq.CNOT(a, b) for a, b in zip(qubits, qubits[1:])])
    circuit = ghz.with_noise(cirq.depolarize(0.002))  # the noise stays before the measurement
    print(f"rhosim ({rhosim.__backend__} backend): {n}-qubit GHZ, depolarizing channels after every moment (Cirq)")
    simulator = DensityMatrixSimulator(seed=seed)
    measured = circuit + cirq.measure(*qubits, key="m")
    result = timed(f"DensityMatrixSimulator.run, {shots} shots", lambda: simulator.run(measured, repetitions=shots))
    counts = {format(value, f"0{n}b"): int(count) for value, count in result.histogram(key="m").items()}
    rho = timed("final density matrix", lambda: simulator.simulate(circuit).final_density_matrix)
    reference = cirq.DensityMatrixSimulator(dtype=np.complex128).simulate(circuit).final_density_matrix
    report_density(rho, reference, counts, n)


# ---- the same kind of work on the modules directly (--raw) ---------------------------------------------

def gate(name: str, targets: list[int], controls: list[int] | None = None,
         params: list[float] | None = None) -> dict[str, Any]:
    """One ketsim gate dictionary (controls active on 1)."""
    controls = controls or []
    return {"id": name, "target": targets, "control": controls, "control_state": [1] * len(controls),
            "parameter": params or []}


def qft_gates(n: int) -> list[dict[str, Any]]:
    """QFT with qubit 0 as the least significant bit: amplitude y of QFT|x> is e^(2 pi i x y / N) / sqrt(N)."""
    gates = []
    for j in reversed(range(n)):
        gates.append(gate("h", [j]))
        for k in reversed(range(j)):
            gates.append(gate("cp", [j], [k], [math.pi / 2 ** (j - k)]))
    gates += [gate("swap", [q, n - 1 - q]) for q in range(n // 2)]
    return gates


def raw_state_vector_job(n: int, shots: int, mode: ketsim.KernelMode) -> None:
    """A GHZ state sampled, and the QFT of a basis state against its closed form, with ketsim's own calls."""
    print(f"ketsim directly ({ketsim.__backend__} backend), {n} qubits, mode {mode.name}")
    state = ketsim.DeviceState.zero_state(n)
    ghz = [gate("h", [0])] + [gate("cx", [q], [q - 1]) for q in range(1, n)]
    timed(f"GHZ circuit ({n} gates)", lambda: ketsim.run_circuit_device(state, ghz, mode=mode))
    counts, _ = timed(f"sample {shots} shots of all qubits",
                      lambda: ketsim.sample_measure_device(state, list(range(n)), shots, seed=2024))
    for bits, count in top(counts, 2):
        print(f"    {bits}  {count}")
    x = 0b1011001110001111 & ((1 << n) - 1)
    basis = np.zeros(1 << n, np.complex128)
    basis[x] = 1
    circuit = qft_gates(n)
    result = timed(f"QFT of |{x}> ({len(circuit)} gates)", lambda: ketsim.run_circuit(n, basis, circuit, mode=mode))
    expected = np.exp(2j * np.pi * x * np.arange(1 << n) / (1 << n)) / math.sqrt(1 << n)
    print(f"    max |amplitude - e^(2 pi i x y/N)/sqrt(N)| = {np.abs(result - expected).max():.2e}")


def raw_density_job(n: int) -> None:
    """A GHZ state under built-in depolarizing and amplitude-damping channels, with rhosim's own calls."""
    def unitary(name: str, targets: list[int], controls: list[int]) -> SimpleNamespace:
        return SimpleNamespace(id=name, target=targets, control=controls, control_state=[1] * len(controls),
                               parameter=[], has_stored_matrix=False)

    def channel(name: str, target: int, matrices: NDArray[np.complex128]) -> SimpleNamespace:
        return SimpleNamespace(operation_kind="kraus", target=[target], channel_name=name, kraus_matrices=matrices)

    p, gamma = 0.05, 0.1
    paulis = [np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.array([[1, 0], [0, -1]])]
    depolarizing = np.array([math.sqrt(1 - 3 * p / 4) * np.eye(2)] + [math.sqrt(p / 4) * m for m in paulis],
                            dtype=np.complex128)
    damping = np.array([[[1, 0], [0, math.sqrt(1 - gamma)]], [[0, math.sqrt(gamma)], [0, 0]]], dtype=np.complex128)
    print(f"rhosim directly ({rhosim.__backend__} backend): {n}-qubit GHZ under depolarizing and damping noise")
    ops = [unitary("h", [0], [])]
    for q in range(1, n):
        ops += [unitary("cx", [q], [q - 1]), channel("depolarizing", q, depolarizing)]
    ops += [channel("amplitude_damping", q, damping) for q in range(n)]
    rho = rhosim.DeviceDensityState.zero_state(n)
    timed(f"{len(ops)} operations", lambda: rhosim.run_density_operations_device(rho, n, ops))
    m = rho.to_numpy()
    print(f"    trace {np.real(np.trace(m)):.6f}, purity tr(rho^2) = {np.real(np.vdot(m, m)):.4f}")
    outcomes = [rhosim.measure_device(rho.copy(), list(range(n)), seed=s) for s in range(8)]
    print(f"    measured outcomes: {' '.join(outcomes)}")


def main() -> None:
    """Parse the options and run the jobs."""
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, default=24, help="qubits of the Fourier job (default 24)")
    parser.add_argument("--shots", type=int, default=4000, help="shots of each sampled job (default 4000)")
    parser.add_argument("--seed", type=int, default=2024, help="seed of the sampled jobs")
    parser.add_argument("--no-fusion", action="store_true", help="run gates one by one instead of fused groups")
    parser.add_argument("--noise-qubits", type=int, default=10, help="qubits of the noisy GHZ job (at most 15)")
    parser.add_argument("--noise-source", choices=["auto", "aer", "cirq"], default="auto",
                        help="noise from a qiskit_aer NoiseModel or from Cirq channels (auto: aer when installed)")
    parser.add_argument("--raw", action="store_true", help="also run the jobs on the ketsim and rhosim modules")
    parser.add_argument("--mode", default="PairAuto", choices=[m.name for m in ketsim.KernelMode],
                        help="kernel mode of the --raw state-vector job")
    args = parser.parse_args()
    if not 2 <= args.qubits <= 30:
        parser.error(f"--qubits must be in [2, 30], got {args.qubits}")
    if not 2 <= args.noise_qubits <= 15:
        parser.error(f"--noise-qubits must be in [2, 15], got {args.noise_qubits}")
    if args.shots < 1:
        parser.error(f"--shots must be positive, got {args.shots}")
    have_aer = importlib.util.find_spec("qiskit_aer") is not None
    source = args.noise_source if args.noise_source != "auto" else "aer" if have_aer else "cirq"
    if source == "aer" and not have_aer:
        parser.error("--noise-source aer needs qiskit_aer (pip install qiskit-aer)")

    start = time.perf_counter()
    print(f"velloran_gpu {velloran_gpu.__version__}: ketsim {ketsim.__backend__} backend, "
          f"rhosim {rhosim.__backend__} backend")
    print(f"Phase estimation of {PHASE:.7f} on {args.qubits} qubits (state vector, fusion "
          f"{'off' if args.no_fusion else 'on'})")
    sampler_job(args.qubits, args.shots, args.seed, not args.no_fusion)
    estimator_job(args.qubits, not args.no_fusion)
    if source == "aer":
        aer_noisy_job(args.noise_qubits, args.shots, args.seed)
    else:
        cirq_noisy_job(args.noise_qubits, args.shots, args.seed)
    if args.raw:
        raw_state_vector_job(min(args.qubits, 20), args.shots, ketsim.KernelMode[args.mode])
        raw_density_job(4)
    print(f"total {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
