"""Reference side of the Cirq front-end tests: exact outcome distributions computed by Cirq itself (measurements
deferred onto ancillas, then Cirq's density-matrix simulator), the statistical comparison of sampled records
with them, and circuit builders shared by the test modules."""

from __future__ import annotations

import math
from collections import Counter

import cirq
import numpy as np

# A sampled count may differ from its expectation by this many standard deviations (plus one count).
SIGMAS = 5.0

STATE_ATOL = {"double": 1e-10, "single": 2e-5}


def reference_state(circuit, qubit_order=cirq.QubitOrder.DEFAULT, initial_state=0, resolver=None):
    """Cirq's own final state vector (complex128)."""
    return cirq.Simulator(dtype=np.complex128).simulate(
        circuit, param_resolver=resolver, qubit_order=qubit_order, initial_state=initial_state
    ).final_state_vector


def reference_density(circuit, qubit_order=cirq.QubitOrder.DEFAULT, initial_state=0, noise=None, resolver=None):
    """Cirq's own final density matrix (complex128)."""
    return cirq.DensityMatrixSimulator(dtype=np.complex128, noise=noise).simulate(
        circuit, param_resolver=resolver, qubit_order=qubit_order, initial_state=initial_state
    ).final_density_matrix


def exact_record_distribution(circuit):
    """Exact probabilities of every combination of measurement records of a circuit with mid-circuit
    measurements, classical control and resets: Cirq defers the measurements onto ancillas, so every record is
    read at the end, and its density-matrix simulator gives the joint distribution.

    Returns (slots, probabilities): ``slots`` lists (key, instance, bit) in the order of an outcome tuple, and
    ``probabilities`` maps outcome tuples to probabilities.
    """
    deferred = cirq.defer_measurements(circuit)
    measurements = []
    body = []
    for op in deferred.all_operations():
        if isinstance(op.gate, cirq.MeasurementGate):
            measurements.append(op)
        else:
            body.append(op)
    qubits = sorted(deferred.all_qubits())
    rho = cirq.DensityMatrixSimulator(dtype=np.complex128).simulate(
        cirq.Circuit(body), qubit_order=qubits
    ).final_density_matrix
    diagonal = np.clip(np.real(np.diagonal(rho)), 0, None)
    n = len(qubits)
    position = {q: i for i, q in enumerate(qubits)}
    index = np.arange(diagonal.size)
    instances: dict[str, int] = {}
    columns = []
    for op in measurements:
        key = cirq.measurement_key_name(op)
        instance = instances.get(key, 0)
        instances[key] = instance + 1
        invert = op.gate.full_invert_mask()
        for j, q in enumerate(op.qubits):
            bit = (index >> (n - 1 - position[q])) & 1
            columns.append(((key, instance, j), bit ^ int(invert[j])))
    columns.sort(key=lambda c: c[0])
    slots = [c[0] for c in columns]
    outcome = np.zeros(diagonal.size, dtype=np.int64)
    for j, (_, bit) in enumerate(columns):
        outcome |= bit << j
    probabilities: dict[tuple, float] = {}
    sums = np.bincount(outcome, weights=diagonal, minlength=1 << len(columns))
    total = sums.sum()
    for value in np.nonzero(sums > 1e-14)[0]:
        probabilities[tuple(int((value >> j) & 1) for j in range(len(columns)))] = sums[value] / total
    return slots, probabilities


def record_outcomes(result, slots):
    """Counter of outcome tuples (ordered as ``slots``) over the repetitions of a cirq.Result."""
    arrays = [result.records[key][:, instance, bit] for key, instance, bit in slots]
    stacked = np.stack(arrays, axis=1) if arrays else np.zeros((result.repetitions, 0), dtype=np.int8)
    return Counter(tuple(int(v) for v in row) for row in stacked)


def assert_counts_match(counts, probabilities, shots, sigmas=SIGMAS):
    """Every outcome's count within ``sigmas`` standard deviations (plus one) of shots * p, and no count for an
    outcome of probability zero."""
    for outcome, count in counts.items():
        assert outcome in probabilities, f"outcome {outcome} has probability 0 but was drawn {count} time(s)"
    for outcome, p in probabilities.items():
        expected = shots * p
        allowed = sigmas * math.sqrt(shots * p * (1 - p)) + 1
        got = counts.get(outcome, 0)
        assert abs(got - expected) <= allowed, (
            f"outcome {outcome}: {got} draws, expected {expected:.1f} +- {allowed:.1f} (p = {p:.4f})"
        )


def histogram_probabilities(state_or_rho, qubit_positions, n):
    """Exact probabilities of the big-endian integer read from ``qubit_positions`` (indices into Cirq's qubit
    order) from a final state vector or density matrix."""
    diagonal = np.abs(state_or_rho) ** 2 if state_or_rho.ndim == 1 else np.real(np.diagonal(state_or_rho))
    index = np.arange(diagonal.size)
    k = len(qubit_positions)
    value = np.zeros(diagonal.size, dtype=np.int64)
    for j, pos in enumerate(qubit_positions):
        value |= ((index >> (n - 1 - pos)) & 1) << (k - 1 - j)
    sums = np.bincount(value, weights=diagonal, minlength=1 << k)
    return {v: sums[v] for v in range(1 << k) if sums[v] > 1e-14}


def prepared(qubits, seed):
    """A layer of random single-qubit rotations so that every qubit starts in a generic state."""
    rng = np.random.default_rng(seed)
    ops = []
    for q in qubits:
        a, b, c = rng.uniform(0, 2 * np.pi, 3)
        ops += [cirq.rz(a)(q), cirq.ry(b)(q), cirq.rz(c)(q)]
    return cirq.Circuit(ops)


def random_unitary(k, seed):
    """A Haar-ish random unitary on k qubits (QR of a complex Gaussian matrix)."""
    rng = np.random.default_rng(seed)
    z = rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k))
    q, r = np.linalg.qr(z)
    return q * (np.diagonal(r) / np.abs(np.diagonal(r)))
