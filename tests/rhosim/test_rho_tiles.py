"""The density kernels that work on shared-memory tiles (Kraus sums on two and three targets, the
merged two-target unitary, the left and right passes on four to six targets) on registers large
enough for many tiles per launch and several column chunks per row, against the NumPy reference."""

import numpy as np
import pytest

from rho_reference import DTYPES, Gate, Kraus, random_density, random_kraus, random_unitary, run, tolerance
from test_rho_unitary import check


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [2, 3])
@pytest.mark.parametrize("n", [6, 8])
def test_kraus_over_many_tiles(n, k, dtype):
    rng = np.random.default_rng(7 * n + k)
    targets = [int(q) for q in rng.permutation(n)[:k]]
    check(n, [Kraus(targets, random_kraus(k, 3, rng))], dtype, seed=n + k)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [2, 4, 5, 6])
@pytest.mark.parametrize("control", [None, 0, 1])
def test_unitary_over_many_tiles(k, control, dtype):
    # Nine qubits: the left pass has several column chunks per row group, the right pass several
    # group chunks per row, and the merged kernel dozens of tiles.
    n = 9
    rng = np.random.default_rng(31 * k + (control or 0) + 5 * (control is None))
    qubits = [int(q) for q in rng.permutation(n)]
    targets, spare = qubits[:k], qubits[k]
    controls, states = ((spare,), (control,)) if control is not None else ((), ())
    check(n, [Gate("u", targets, controls, states, matrix=random_unitary(1 << k, rng))], dtype, seed=k)


@pytest.mark.parametrize("dtype", DTYPES)
def test_low_targets_and_high_controls(dtype):
    # Targets on the lowest qubits (contiguous columns in every tile) and two controls above them.
    n = 9
    rng = np.random.default_rng(3)
    ops = [Gate("u", [0, 1, 2, 3], (8, 6), (1, 0), matrix=random_unitary(16, rng)),
           Gate("u", [1, 0], (4,), (0,), matrix=random_unitary(4, rng))]
    check(n, ops, dtype, seed=11)


def left_product(rho, matrix, targets):
    """matrix (on `targets`, bit j of its index is qubit targets[j]) times rho from the left, one
    local column index at a time, so no 2^n x 2^n operator is formed."""
    idx = np.arange(rho.shape[0])
    target_mask = sum(1 << t for t in targets)
    local = sum(((idx >> t) & 1) << j for j, t in enumerate(targets))
    out = np.zeros_like(rho)
    for c in range(matrix.shape[0]):
        offset = sum(1 << t for j, t in enumerate(targets) if (c >> j) & 1)
        out += matrix[local, c][:, None] * rho[(idx & ~target_mask) | offset, :]
    return out


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets", [[7, 2, 9, 4]], ids=["k4"])
def test_right_pass_with_several_group_chunks(targets, dtype):
    # Eleven qubits: more column groups per row than one tile takes.
    n = 11
    rng = np.random.default_rng(len(targets))
    rho = random_density(n, rng, rank=2)
    matrix = random_unitary(1 << len(targets), rng)
    expected = left_product(left_product(rho, matrix, targets).T, matrix.conj(), targets).T
    got = run(n, [Gate("u", targets, matrix=matrix)], rho, dtype)
    np.testing.assert_allclose(got, expected, atol=tolerance(dtype), rtol=0)
