"""Unitary operations on density matrices (rho -> C rho C^dagger) against the NumPy reference: every
named gate and alias, stored matrices on 1 to 6 targets, controls in both states, the cheap forms."""

import numpy as np
import pytest

import rhosim
from rho_reference import (ALIASES, DTYPES, NAMED, SWAP, Gate, apply_operation, named_matrix, random_density,
                           random_unitary, run, tolerance)

DDS = rhosim.DeviceDensityState
CONTROLS = [((), ()), ((0,), (1,)), ((0,), (0,)), ((2, 0), (0, 1))]


def params_for(name, rng):
    count = NAMED[ALIASES.get(name, name)][0]
    return list(rng.uniform(-np.pi, np.pi, size=count)) if count else None


def check(n, ops, dtype, seed=0):
    rho = random_density(n, np.random.default_rng(seed))
    expected = rho
    for op in ops:
        expected = apply_operation(expected, n, op)
    got = run(n, ops, rho, dtype)
    np.testing.assert_allclose(got, expected, atol=tolerance(dtype), rtol=0)
    return got


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("controls, states", CONTROLS)
@pytest.mark.parametrize("name", sorted(set(NAMED) | set(ALIASES)))
def test_named_gate(name, controls, states, dtype):
    rng = np.random.default_rng(sum(map(ord, name)))
    n = 4
    targets = [3, 1] if ALIASES.get(name, name) == "swap" else [1]
    check(n, [Gate(name, targets, controls, states, params_for(name, rng))], dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
@pytest.mark.parametrize("control", [None, 0, 1])
def test_stored_matrix_permuted_targets(k, control, dtype):
    rng = np.random.default_rng(10 * k + (control or 0))
    n = k + 1
    qubits = list(rng.permutation(n))
    targets, spare = [int(q) for q in qubits[:k]], int(qubits[k])
    controls, states = ((spare,), (control,)) if control is not None else ((), ())
    matrix = random_unitary(1 << k, rng)
    check(n, [Gate("u", targets, controls, states, matrix=matrix)], dtype, seed=k)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
def test_stored_matrix_on_every_qubit(k, dtype):
    # Targets cover the register: one group of rows and one of columns.
    rng = np.random.default_rng(k)
    targets = [int(q) for q in rng.permutation(k)]
    check(k, [Gate("u", targets, matrix=random_unitary(1 << k, rng))], dtype, seed=k)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k", [2, 3, 4])
def test_stored_matrix_with_several_controls(k, dtype):
    rng = np.random.default_rng(100 + k)
    n = k + 3
    qubits = [int(q) for q in rng.permutation(n)]
    targets, controls = qubits[:k], qubits[k:k + 2]
    check(n, [Gate("u", targets, controls, [1, 0], matrix=random_unitary(1 << k, rng))], dtype, seed=k)


def stored(name, params=None):
    return named_matrix(name, params or ())


CHEAP = [
    # (cheap form, equivalent general form)
    (Gate("x", [2]), Gate("u", [2], matrix=stored("x"))),
    (Gate("cx", [0], [2], [1]), Gate("u", [0], [2], [1], matrix=stored("x"))),
    (Gate("mcx", [1], [0, 2], [0, 1]), Gate("u", [1], [0, 2], [0, 1], matrix=stored("x"))),
    (Gate("swap", [0, 2]), Gate("u", [0, 2], matrix=SWAP)),
    (Gate("swap", [2, 1], [0], [1]), Gate("u", [2, 1], [0], [1], matrix=SWAP)),
    (Gate("swap", [0, 1], [2], [0]), Gate("u", [0, 1], [2], [0], matrix=SWAP)),
    (Gate("p", [1], parameter=[0.7]), Gate("u", [1], matrix=stored("p", [0.7]))),
    (Gate("cp", [1], [0], [0], parameter=[-1.3]), Gate("u", [1], [0], [0], matrix=stored("p", [-1.3]))),
    (Gate("rz", [0], parameter=[2.1]), Gate("u", [0], matrix=stored("rz", [2.1]))),
    (Gate("crz", [0], [1], parameter=[2.1]), Gate("u", [0], [1], matrix=stored("rz", [2.1]))),
    (Gate("gp", [2], [0], [1], parameter=[0.9]), Gate("u", [2], [0], [1], matrix=stored("gp", [0.9]))),
    (Gate("s", [1]), Gate("u", [1], matrix=stored("s"))),
    (Gate("s_dag", [1], [2]), Gate("u", [1], [2], matrix=stored("s_dag"))),
    (Gate("t", [0]), Gate("u", [0], matrix=stored("t"))),
    (Gate("t_dag", [2], [1], [0]), Gate("u", [2], [1], [0], matrix=stored("t_dag"))),
    (Gate("z", [1]), Gate("u", [1], matrix=stored("z"))),
    (Gate("cz", [1], [0, 2], [1, 1]), Gate("u", [1], [0, 2], [1, 1], matrix=stored("z"))),
    (Gate("-z", [0]), Gate("u", [0], matrix=stored("-z"))),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("cheap, general", CHEAP, ids=[repr(c) for c, _ in CHEAP])
def test_cheap_form_equals_general_form(cheap, general, dtype):
    a = check(3, [cheap], dtype, seed=5)
    b = check(3, [general], dtype, seed=5)
    np.testing.assert_allclose(a, b, atol=tolerance(dtype) / 4, rtol=0)


@pytest.mark.parametrize("dtype", DTYPES)
def test_x_on_single_qubit(dtype):
    for op in (Gate("x", [0]), Gate("u", [0], matrix=stored("x"))):
        np.testing.assert_array_equal(run(1, [op], dtype=dtype), [[0, 0], [0, 1]])


@pytest.mark.parametrize("dtype", DTYPES)
def test_cnot_moves_population(dtype):
    rho = np.zeros((4, 4), dtype=dtype)
    rho[1, 1] = 1
    out = run(2, [Gate("cx", [1], [0], [1])], rho, dtype)
    expected = np.zeros((4, 4))
    expected[3, 3] = 1
    np.testing.assert_array_equal(out, expected)
    out = run(2, [Gate("cx", [1], [0], [0])], rho, dtype)  # control wants 0: nothing happens
    np.testing.assert_array_equal(out, rho)


@pytest.mark.parametrize("dtype", DTYPES)
def test_swap_moves_coherences(dtype):
    rho = np.zeros((4, 4), dtype=dtype)
    rho[1, 2] = 0.25 + 0.5j
    rho[0, 3] = 0.125
    out = run(2, [Gate("swap", [0, 1])], rho, dtype)
    expected = np.zeros((4, 4), dtype=dtype)
    expected[2, 1] = 0.25 + 0.5j
    expected[0, 3] = 0.125
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("theta", [0.3, -2.0])
def test_rz_phases_coherences_only(theta, dtype):
    rho = random_density(1, np.random.default_rng(1)).astype(dtype)
    out = run(1, [Gate("rz", [0], parameter=[theta])], rho, dtype)
    np.testing.assert_array_equal(np.diag(out), np.diag(rho))
    np.testing.assert_allclose(out[1, 0], rho[1, 0] * np.exp(1j * theta), atol=tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_controls_select_the_subspace(dtype):
    # A controlled H with control state 0 acts only where the control bit is 0: on a state whose
    # control qubit is 1 nothing changes, on one whose control is 0 the target is rotated.
    one = np.zeros((4, 4), dtype=dtype)
    one[2, 2] = 1  # qubit 1 (control) = 1, qubit 0 = 0
    np.testing.assert_array_equal(run(2, [Gate("ch", [0], [1], [0])], one, dtype), one)
    zero = np.zeros((4, 4), dtype=dtype)
    zero[0, 0] = 1
    out = run(2, [Gate("ch", [0], [1], [0])], zero, dtype)
    np.testing.assert_allclose(out[:2, :2], np.full((2, 2), 0.5), atol=tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_gate_sequence_on_larger_register(dtype):
    rng = np.random.default_rng(42)
    n = 7
    ops = [Gate("h", [q]) for q in range(n)] + [Gate("cx", [q + 1], [q]) for q in range(n - 1)]
    ops += [Gate("u", [6, 0, 3], [2], [0], matrix=random_unitary(8, rng)), Gate("rxy", [5], parameter=[0.3, 1.1]),
            Gate("swap", [6, 1], [4], [1]), Gate("u", [2, 5], matrix=random_unitary(4, rng))]
    check(n, ops, dtype, seed=9)
