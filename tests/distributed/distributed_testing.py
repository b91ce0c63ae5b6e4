"""Shared pieces of the DistributedState tests: the communicator, random gate lists of every kind
that reach the global qubits, and runs of the same chunk on a single DeviceState for comparison."""

import os
import sys

import numpy as np
from mpi4py import MPI

import ketsim

# The single-state tests' random unitaries and states.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "ketsim"))
from reference import random_state, random_unitary  # noqa: E402,F401

MODES = (ketsim.KernelMode.AllState, ketsim.KernelMode.Pair, ketsim.KernelMode.PairAuto,
         ketsim.KernelMode.PairAutoFusion)
DTYPES = (np.complex64, np.complex128)
TOLERANCE = {np.dtype(np.complex64): 1e-5, np.dtype(np.complex128): 1e-12}

FIXED = ["x", "y", "z", "h", "s", "s_dag", "sx", "sxdg", "sqrty", "sqrty_dag", "t", "t_dag"]
ONE_ANGLE = ["rx", "ry", "rz", "p"]


def comm():
    return MPI.COMM_WORLD


def ranks():
    return MPI.COMM_WORLD.Get_size()


def global_qubits():
    return ranks().bit_length() - 1


def tolerance(dtype):
    return TOLERANCE[np.dtype(dtype)]


def gate(name, targets, controls=(), states=None, params=(), matrix=None):
    g = {"id": name, "target": list(targets), "control": list(controls),
         "control_state": list(states if states is not None else [1] * len(controls)),
         "parameter": list(params)}
    if matrix is not None:
        g["matrix"] = matrix
    return g


def random_gate(n, rng, kinds, max_unitary_targets=3, top_bias=0.5):
    """One gate of a random kind; targets and controls favour the top qubits (the global ones)."""
    kind = kinds[rng.integers(len(kinds))]
    qubits = list(range(n))

    def pick(count):
        # Half the time the top qubit first, so global targets are common.
        chosen = []
        pool = qubits.copy()
        for _ in range(count):
            if rng.random() < top_bias and pool[-1] not in chosen:
                q = pool[-1]
            else:
                q = pool[rng.integers(len(pool))]
            chosen.append(q)
            pool.remove(q)
        return chosen

    if kind == "unitary" or kind == "diagonal":
        m = int(rng.integers(1, max_unitary_targets + 1))
    elif kind in ("swap", "cswap"):
        m = 2
    elif kind == "gp":
        m = 0
    else:
        m = 1
    k = int(rng.integers(0, 3)) if kind != "swap" else 0
    if kind == "cswap":
        k = max(k, 1)
    k = max(0, min(k, n - m))
    chosen = pick(m + k)
    targets, controls = chosen[:m], chosen[m:]
    states = [int(s) for s in rng.integers(0, 2, size=k)]
    angles = [float(a) for a in rng.uniform(-np.pi, np.pi, size=3)]
    if kind in FIXED:
        return gate(kind, targets, controls, states)
    if kind in ONE_ANGLE:
        return gate(kind, targets, controls, states, angles[:1])
    if kind == "u":
        return gate("u", targets, controls, states, angles)
    if kind == "u_diag":
        return gate("u", targets, controls, states, [0.0] + angles[1:])
    if kind == "gp":
        return gate("gp", [], controls, states, angles[:1])
    if kind in ("swap", "cswap"):
        return gate("swap", targets, controls, states)
    if kind == "unitary":
        return gate("unitary", targets, controls, states, matrix=random_unitary(2**m, rng))
    if kind == "diagonal":
        phases = np.exp(1j * rng.uniform(-np.pi, np.pi, size=2**m))
        return gate("unitary", targets, controls, states, matrix=np.diag(phases))
    raise AssertionError(kind)


ALL_KINDS = FIXED + ONE_ANGLE + ["u", "u_diag", "gp", "swap", "cswap", "unitary", "diagonal"]


def random_circuit(n, count, seed, kinds=ALL_KINDS, max_unitary_targets=3):
    rng = np.random.default_rng(seed)
    return [random_gate(n, rng, kinds, max_unitary_targets) for _ in range(count)]


def single_run(n, initial, gates, mode=ketsim.KernelMode.PairAuto):
    state = ketsim.DeviceState.from_numpy(n, initial.copy())
    ketsim.run_circuit_device(state, gates, mode=mode)
    return state


def distributed_run(initial, gates, mode=ketsim.KernelMode.PairAuto):
    state = ketsim.DistributedState.from_numpy(initial.copy())
    ketsim.run_circuit_device(state, gates, mode=mode)
    return state


def all_ranks_equal(value):
    """Whether every rank holds the same (picklable) value."""
    values = comm().allgather(value)
    return all(v == values[0] for v in values)
