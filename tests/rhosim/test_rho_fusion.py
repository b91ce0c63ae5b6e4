"""Density fusion: random noisy circuits give the same matrix with VELLORAN_DENSITY_FUSION off and on,
keep trace and Hermiticity, and the switch is read exactly as documented."""

import os
from contextlib import contextmanager

import numpy as np
import pytest
from hypothesis_optional import HealthCheck, given, settings, st

import rhosim
from rho_reference import (CHANNELS, DTYPES, Gate, Kraus, apply_operation, channel_kraus, random_density,
                           random_kraus, random_unitary, run, tolerance)

ONE_QUBIT = ["x", "y", "z", "h", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrty_dag", "x2p", "y2m", "-z"]
ROTATIONS = {"rx": 1, "ry": 1, "rz": 1, "p": 1, "u": 3, "rxy": 2}


@contextmanager
def fusion(value):
    previous = os.environ.get("VELLORAN_DENSITY_FUSION")
    if value is None:
        os.environ.pop("VELLORAN_DENSITY_FUSION", None)
    else:
        os.environ["VELLORAN_DENSITY_FUSION"] = value
    try:
        yield
    finally:
        if previous is None:
            os.environ.pop("VELLORAN_DENSITY_FUSION", None)
        else:
            os.environ["VELLORAN_DENSITY_FUSION"] = previous


def run_with(value, n, ops, rho, dtype):
    with fusion(value):
        return run(n, ops, rho, dtype)


@st.composite
def operations(draw, n):
    """One operation of a noisy circuit on n qubits: mostly fusable ones, with some that end a window."""
    qubits = st.integers(0, n - 1)
    q = draw(qubits)
    others = [x for x in range(n) if x != q]
    kind = draw(st.sampled_from(["fixed", "rotation", "controlled", "stored", "channel", "channel", "gp",
                                 "two_target", "kraus"]))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    if kind == "fixed":
        return Gate(draw(st.sampled_from(ONE_QUBIT)), [q])
    if kind == "rotation":
        name = draw(st.sampled_from(sorted(ROTATIONS)))
        return Gate(name, [q], parameter=list(rng.uniform(-4, 4, ROTATIONS[name])))
    if kind == "stored":
        return Gate("u", [q], matrix=random_unitary(2, rng))
    if kind == "channel":
        name = draw(st.sampled_from(CHANNELS))
        return Kraus([q], channel_kraus(name, float(rng.uniform(0, 1))), name)
    if kind == "gp":
        if others and draw(st.booleans()):
            return Gate("gp", [q], [draw(st.sampled_from(others))], [draw(st.integers(0, 1))], parameter=[0.4])
        return Gate("gp", [q], parameter=[1.0])
    if not others:
        return Gate("h", [q])
    if kind == "controlled":
        count = draw(st.integers(1, min(3, len(others))))
        controls = [int(c) for c in rng.choice(others, size=count, replace=False)]
        states = [int(s) for s in rng.integers(0, 2, size=count)]
        name = draw(st.sampled_from(["cx", "cz", "crx", "ch", "cp", "u"]))
        parameter = [float(rng.uniform(-3, 3))] if name in ("crx", "cp") else None
        matrix = random_unitary(2, rng) if name == "u" else None
        return Gate(name, [q], controls, states, parameter, matrix)
    second = draw(st.sampled_from(others))
    if kind == "two_target":
        if draw(st.booleans()):
            return Gate("swap", [q, second])
        return Gate("u", [second, q], matrix=random_unitary(4, rng))
    return Kraus([q, second], random_kraus(2, 2, rng)) if draw(st.booleans()) else Kraus([q], random_kraus(1, 3, rng))


@st.composite
def circuits(draw):
    n = draw(st.integers(1, 10))
    length = draw(st.integers(1, 40 if n <= 8 else 12))
    return n, [draw(operations(n)) for _ in range(length)]


@settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(circuits(), st.sampled_from(DTYPES), st.integers(0, 1000))
def test_random_noisy_circuits_agree_with_fusion(circuit, dtype, seed):
    n, ops = circuit
    rho = random_density(n, np.random.default_rng(seed))
    plain = run_with(None, n, ops, rho, dtype)
    fused = run_with("1", n, ops, rho, dtype)
    tol = tolerance(dtype) * (1 + len(ops)) * 4
    np.testing.assert_allclose(fused, plain, atol=tol, rtol=0)
    for out in (plain, fused):
        assert abs(np.trace(out) - 1) < tol
        np.testing.assert_allclose(out, out.conj().T, atol=tol, rtol=0)


@settings(max_examples=25, deadline=None)
@given(st.integers(1, 6).flatmap(lambda n: st.tuples(st.just(n), st.lists(operations(n), min_size=1, max_size=12))),
       st.integers(0, 100))
def test_random_circuits_match_reference(circuit, seed):
    n, ops = circuit
    rho = random_density(n, np.random.default_rng(seed))
    expected = rho
    for op in ops:
        expected = apply_operation(expected, n, op)
    for value in (None, "1"):
        np.testing.assert_allclose(run_with(value, n, ops, rho, "complex128"), expected, atol=1e-11, rtol=0)


def layered(n, layers, rng, channel="depolarizing"):
    ops = []
    for _ in range(layers):
        for q in range(n):
            ops.append(Gate("u", [q], matrix=random_unitary(2, rng)))
            ops.append(Kraus([q], channel_kraus(channel, 0.07), channel))
        ops += [Gate("cx", [q + 1], [q]) for q in range(n - 1)]
    return ops


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [5, 6, 9, 10])
@pytest.mark.parametrize("channel", ["depolarizing", "amplitude_damping"])
def test_layered_circuits(n, channel, dtype):
    rng = np.random.default_rng(n)
    ops = layered(n, 2, rng, channel)
    rho = random_density(n, rng)
    np.testing.assert_allclose(run_with("1", n, ops, rho, dtype), run_with(None, n, ops, rho, dtype),
                               atol=tolerance(dtype) * 10, rtol=0)


@pytest.mark.parametrize("dtype", DTYPES)
def test_unitary_then_channel_on_one_qubit(dtype):
    # n = 5 allows one active qubit: h then bit flip on qubit 2 form a one-qubit group, applied by the
    # fused unitary-and-channel kernel.
    rho = random_density(5, np.random.default_rng(4))
    for ops in ([Gate("h", [2]), Kraus([2], channel_kraus("bit_flip", 0.3), "bit_flip")],
                [Gate("u", [2], matrix=random_unitary(2, np.random.default_rng(1))),
                 Kraus([2], channel_kraus("amplitude_damping", 0.6), "amplitude_damping"), Gate("s", [2]),
                 Gate("gp", [2], parameter=[0.1]), Gate("ry", [2], parameter=[0.5]),
                 Kraus([2], channel_kraus("phase_damping", 0.2), "phase_damping"), Gate("x", [2]),
                 Kraus([2], channel_kraus("phase_flip", 0.2), "phase_flip")]):
        expected = rho
        for op in ops:
            expected = apply_operation(expected, 5, op)
        fused = run_with("1", 5, ops, rho, dtype)
        np.testing.assert_allclose(fused, expected, atol=tolerance(dtype), rtol=0)
        np.testing.assert_allclose(fused, run_with(None, 5, ops, rho, dtype), atol=tolerance(dtype), rtol=0)


def group_shape_cases(rng):
    """Operation lists that exercise each kind of group at n = 10."""
    h_layer = [Gate("h", [q]) for q in range(5)] + [Gate("cx", [q + 1], [q]) for q in range(4)]
    two_target = [Gate("h", [0]), Gate("h", [1]), Gate("rz", [0], parameter=[0.3]), Gate("t", [1]),
                  Gate("swap", [0, 1]), Gate("u", [1, 0], matrix=random_unitary(4, rng)), Gate("h", [0])]
    general_kraus = [Gate("h", [3]), Gate("x", [4], [3]), Gate("y", [3]), Gate("s", [4]),
                     Kraus([3], random_kraus(1, 2, rng)), Gate("h", [3]), Gate("h", [4]), Gate("h", [3]), Gate("z", [4])]
    outside_control = [Gate("h", [0]), Gate("h", [1]), Gate("rx", [0], [8], [0], parameter=[1.2]), Gate("h", [1]),
                       Gate("cx", [0], [1]), Gate("gp", [1], [9], parameter=[0.7])]
    return [h_layer, two_target, general_kraus, outside_control]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("case", range(4))
def test_group_shapes(case, dtype):
    rng = np.random.default_rng(case)
    ops = group_shape_cases(rng)[case]
    rho = random_density(10, rng)
    np.testing.assert_allclose(run_with("1", 10, ops, rho, dtype), run_with(None, 10, ops, rho, dtype),
                               atol=tolerance(dtype), rtol=0)


def fused_marker_ops():
    # rx of a large angle: float sines of the rounded angle differ from the rounded double sines by
    # about 1e-5, so a complex64 run shows which builder made the matrices. Fused groups use the
    # double-precision builders; operations launched one by one use the float ones.
    return [Gate("rx", [q], parameter=[1000.1]) for q in range(2)] + [Gate("cx", [1], [0]), Gate("h", [0]),
                                                                       Gate("rx", [1], parameter=[2000.3])]


def distance_to_double(value, n):
    ops = fused_marker_ops()
    exact = run(n, ops, None, "complex128")
    return np.abs(run_with(value, n, ops, None, "complex64") - exact).max()


@pytest.mark.parametrize("value", ["1", "yes", "no", "true", " 0"])
def test_switch_on(value):
    assert distance_to_double(value, 6) < 1e-6
    assert distance_to_double(None, 6) > 1e-6


@pytest.mark.parametrize("value", [None, "", "0", "00", "0yes"])
def test_switch_off(value):
    assert distance_to_double(value, 6) > 1e-6


@pytest.mark.parametrize("n", [1, 2, 3, 4])
def test_small_registers_never_fuse(n):
    rng = np.random.default_rng(n)
    ops = layered(n, 2, rng)
    rho = random_density(n, rng)
    for dtype in DTYPES:
        np.testing.assert_array_equal(run_with("1", n, ops, rho, dtype), run_with(None, n, ops, rho, dtype))
    assert distance_to_double("1", 4) > 1e-6
