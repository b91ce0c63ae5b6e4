"""Two Python threads running circuits on two states at once: each gets its own correct result, and
the interpreter lock is free while a circuit runs."""

import threading
import time

import numpy as np
import pytest

import ketsim
import reference
from ketsim_testing import GateObject, assert_state_close, expected_state, gate

N = 10
ROUNDS = 6


def layered_circuit(n, seed, layers=4):
    """Layers of single-qubit gates on every qubit followed by a ring of controlled gates."""
    rng = np.random.default_rng(seed)
    names = ["h", "x", "y", "sx", "sqrty", "s", "z", "u", "rx", "ry", "rz", "phase"]
    gates = []
    for _ in range(layers):
        for q in range(n):
            name = names[rng.integers(len(names))]
            gid, _ = reference.resolve(name, [])
            gates.append(gate(name, q, parameter=rng.uniform(-3, 3, reference.PARAM_COUNTS.get(gid, 0))))
        for q in range(n):
            gates.append(gate("cx", (q + 1) % n, [q], [int(rng.integers(2))]))
    return gates


def run_in_threads(workers):
    """Starts every worker at the same moment and re-raises the first failure."""
    start = threading.Barrier(len(workers))
    errors = []

    def wrap(fn):
        def body():
            try:
                start.wait()
                fn()
            except BaseException as e:  # reported to the main thread below
                errors.append(e)
        return body

    threads = [threading.Thread(target=wrap(fn)) for fn in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128], ids=["complex64", "complex128"])
@pytest.mark.parametrize("mode", [ketsim.KernelMode.AllState, ketsim.KernelMode.Pair, ketsim.KernelMode.PairAuto],
                         ids=lambda m: m.name)
def test_two_threads_on_two_states(mode, dtype):
    rng = np.random.default_rng(5)
    initial = [reference.random_state(N, dtype, rng) for _ in range(3)]
    circuits = [layered_circuit(N, seed) for seed in (1, 2, 3)]
    states = [ketsim.DeviceState.from_numpy(N, initial[0]), ketsim.DeviceState.from_numpy(N, initial[1])]
    array = initial[2].copy()

    def by_dicts():
        for _ in range(ROUNDS):
            ketsim.run_circuit_device(states[0], circuits[0], mode=mode)

    def by_objects():
        objects = [GateObject.from_dict(g) for g in circuits[1]]
        for _ in range(ROUNDS):
            ketsim.run_circuit_device_gates(states[1], objects, mode=mode)

    def by_array():
        for _ in range(ROUNDS):
            ketsim.run_circuit(N, array, circuits[2], mode=mode)

    run_in_threads([by_dicts, by_objects, by_array])
    results = [states[0].to_numpy(), states[1].to_numpy(), array]
    for result, start, circuit in zip(results, initial, circuits):
        assert_state_close(result, expected_state(start, N, circuit * ROUNDS), dtype, len(circuit) * ROUNDS)


def test_the_lock_is_released_while_a_circuit_runs():
    """While one thread is inside run_circuit_device, another keeps executing Python code."""
    n = 20
    s = ketsim.DeviceState.zero_state(n)
    gates = [gate("h", q % n) for q in range(3 * n)]
    window = {}

    def worker():
        window["start"] = time.perf_counter()
        ketsim.run_circuit_device(s, gates, mode=ketsim.KernelMode.AllState)
        window["end"] = time.perf_counter()

    stamps = []
    t = threading.Thread(target=worker)
    t.start()
    while t.is_alive():
        stamps.append(time.perf_counter())
    t.join()
    length = window["end"] - window["start"]
    if length < 0.05:
        pytest.skip("the run queued too quickly to observe")
    # The middle of the call is far from the moments the worker holds the lock to enter and leave it.
    lo, hi = window["start"] + 0.25 * length, window["end"] - 0.25 * length
    assert any(lo < x < hi for x in stamps)
