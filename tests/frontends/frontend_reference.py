"""Shared reference side of the front-end tests: a small NumPy state-vector and density-matrix model written
independently of the package, and a statistical comparison of sampled counts with exact probabilities."""

from __future__ import annotations

import numpy as np

# A sampled count may differ from its expectation by this many standard deviations (plus one count).
SIGMAS = 5.0
STATE_ATOL = {"double": 1e-10, "single": 2e-5}


def random_state(n: int, rng: np.random.Generator) -> np.ndarray:
    """A random normalised state vector of n qubits."""
    psi = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return psi / np.linalg.norm(psi)


def random_unitary(dim: int, rng: np.random.Generator) -> np.ndarray:
    """A Haar-like random unitary from the QR decomposition of a complex Gaussian matrix."""
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def _axis(n: int, q: int) -> int:
    # In C order over a (2,)*n tensor, qubit q (bit q of the index) is axis n - 1 - q.
    return n - 1 - q


def apply_matrix(psi: np.ndarray, n: int, matrix: np.ndarray, targets, controls=(), states=None) -> np.ndarray:
    """matrix (bit j of its index = targets[j]) on psi where every control has its state (default 1)."""
    states = [1] * len(controls) if states is None else list(states)
    k = len(targets)
    tensor = psi.reshape((2,) * n).copy()
    index = [slice(None)] * n
    for c, s in zip(controls, states):
        index[_axis(n, c)] = s
    sub = tensor[tuple(index)]
    remaining = [q for q in range(n) if q not in controls]
    sub_axes = {q: i for i, q in enumerate(sorted(remaining, key=lambda q: _axis(n, q)))}
    # Target j is bit j of the matrix index: reshape the matrix as (2,)*2k with the last target first.
    m = matrix.reshape((2,) * (2 * k))
    out_axes = list(range(k))  # axes of m for outputs: axis i = target k-1-i
    in_axes = list(range(k, 2 * k))
    sub_target_axes = [sub_axes[targets[k - 1 - i]] for i in range(k)]
    moved = np.tensordot(m, sub, axes=(in_axes, sub_target_axes))
    # tensordot puts m's output axes first; move them back to the targets' places.
    moved = np.moveaxis(moved, out_axes, sub_target_axes)
    tensor[tuple(index)] = moved
    return tensor.reshape(-1)


def apply_to_density(rho: np.ndarray, n: int, matrix: np.ndarray, targets, controls=(), states=None) -> np.ndarray:
    """U rho U^dagger for the controlled matrix, by acting on columns then rows."""
    dim = 1 << n
    left = np.stack([apply_matrix(rho[:, c], n, matrix, targets, controls, states) for c in range(dim)], axis=1)
    right = np.stack([apply_matrix(left[r, :].conj(), n, matrix, targets, controls, states) for r in range(dim)],
                     axis=0).conj()
    return right


def apply_kraus(rho: np.ndarray, n: int, matrices, targets) -> np.ndarray:
    """sum_m K_m rho K_m^dagger on the targets."""
    return sum(apply_to_density(rho, n, k, targets) for k in matrices)


def pauli_matrix(label: str) -> np.ndarray:
    """The full matrix of a Pauli string whose character j acts on qubit j."""
    single = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
              "Z": np.diag([1, -1])}
    out = np.array([[1.0 + 0j]])
    for ch in label:  # qubit j is bit j: later characters are more significant, so they go on the left
        out = np.kron(single[ch], out)
    return out


def marginal(probabilities: np.ndarray, n: int, qubits) -> np.ndarray:
    """Probabilities of the values of qubits (bit j of the outcome = qubits[j])."""
    index = np.arange(1 << n)
    outcome = np.zeros(1 << n, dtype=np.int64)
    for j, q in enumerate(qubits):
        outcome |= ((index >> q) & 1) << j
    return np.bincount(outcome, weights=probabilities, minlength=1 << len(qubits))


def assert_counts_match(counts: dict, probabilities: dict, shots: int, sigmas: float = SIGMAS) -> None:
    """Every outcome's count within ``sigmas`` binomial standard deviations (plus one) of shots * p, and
    no count at all for outcomes of probability 0."""
    keys = set(counts) | {k for k, p in probabilities.items() if p > 0}
    for key in keys:
        p = float(probabilities.get(key, 0.0))
        c = counts.get(key, 0)
        if p <= 1e-12:
            assert c == 0, f"outcome {key!r} has probability 0 but was sampled {c} times"
            continue
        bound = sigmas * np.sqrt(shots * p * (1 - p)) + 1
        assert abs(c - shots * p) <= bound, f"outcome {key!r}: {c} counts, expected {shots * p:.1f} +- {bound:.1f}"


def rows_to_counts(memory: np.ndarray) -> dict:
    """Counts of the rows of a (shots, bits) array, keyed by tuples of bits."""
    rows, counts = np.unique(memory, axis=0, return_counts=True)
    return {tuple(int(b) for b in row): int(c) for row, c in zip(rows, counts)}
