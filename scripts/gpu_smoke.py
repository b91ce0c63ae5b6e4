"""Runs every kernel family of ketsim and rhosim once on small states and checks each result
against the NumPy references of the test suite: short enough to run under compute-sanitizer, and a
first verdict on a new device. Prints one line per family and exits 1 when any family is wrong.

Usage: python scripts/gpu_smoke.py [--only barrier]   (barrier: the shared-memory kernels only)
"""
import argparse
import os
import sys
import traceback
from types import SimpleNamespace

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, "..", "tests", "ketsim"), os.path.join(here, "..", "tests", "rhosim")]

import ketsim  # noqa: E402
import reference  # noqa: E402
import rho_reference as rho_ref  # noqa: E402
import rhosim  # noqa: E402

DTYPES = (np.complex64, np.complex128)
TOLERANCE = {np.dtype(np.complex64): 2e-4, np.dtype(np.complex128): 1e-10}
MODES = (ketsim.AllState, ketsim.Pair, ketsim.PairAuto)
FIXED = ["x", "y", "z", "h", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag"]
ANGLED = [("rx", [0.3]), ("ry", [-1.1]), ("rz", [0.7]), ("phase", [0.4]), ("u", [0.3, -0.2, 1.4]), ("gp", [0.9])]


def gate(name, target, control=(), state=None, parameter=(), matrix=None):
    g = {"id": name, "target": list(target), "control": list(control),
         "control_state": [1] * len(control) if state is None else list(state), "parameter": list(parameter)}
    if matrix is not None:
        g["matrix"] = matrix
    return g


def check_ket(n, gates, dtype, run):
    """Runs `gates` through `run(state_array) -> result` and compares with the reference."""
    rng = np.random.default_rng(len(gates) + n)
    start = reference.random_state(n, dtype, rng)
    got = run(start.copy())
    want = reference.simulate(start, n, gates, precision=np.dtype(dtype).type)
    err = float(np.max(np.abs(got - want)))
    if not err <= TOLERANCE[np.dtype(dtype)] * max(1, len(gates)):
        raise AssertionError(f"max error {err:.3g}")


def on_device(n, gates, mode):
    def run(array):
        state = ketsim.DeviceState.from_numpy(n, array)
        ketsim.run_circuit_device(state, gates, mode=mode)
        return state.to_numpy()
    return run


def per_gate_chunk(n):
    """Every single-qubit gate on qubit 0 and the top qubit, uncontrolled and with a control in
    state 0 and in state 1, and SWAPs."""
    gates = []
    for name in FIXED:
        for t in (0, n - 1):
            gates += [gate(name, [t]), gate(name, [t], [n // 2], [0]), gate(name, [t], [n // 2], [1])]
    for name, params in ANGLED:
        targets = [] if name == "gp" else [0]
        gates += [gate(name, targets, parameter=params), gate(name, targets, [1, n - 1], [1, 0], parameter=params)]
        if name != "gp":
            gates.append(gate(name, [n - 1], [0], parameter=params))
    gates += [gate("swap", [0, n - 1]), gate("swap", [1, 2], [0], [1])]
    return gates


def families():
    n = 8
    rng = np.random.default_rng(1)
    for mode in MODES:
        for dtype in DTYPES:
            gates = per_gate_chunk(n)
            yield f"ketsim gates {mode.name} {np.dtype(dtype).name}", False, \
                lambda m=mode, d=dtype, g=gates: check_ket(n, g, d, on_device(n, g, m))
    for k in range(1, 8):
        for dtype in DTYPES:
            def unitary(k=k, dtype=dtype):
                targets = [int(t) for t in rng.permutation(n)[:k]]
                gates = [gate("unitary", targets, matrix=reference.random_unitary(2**k, rng))]
                if k < n:
                    gates.append(gate("unitary", targets, [next(q for q in range(n) if q not in targets)],
                                      matrix=reference.random_unitary(2**k, rng)))
                check_ket(n, gates, dtype, on_device(n, gates, ketsim.PairAuto))
            yield f"ketsim unitary {k} targets {np.dtype(dtype).name}", False, unitary
    for dtype in DTYPES:
        def numpy_entry(dtype=dtype):
            gates = per_gate_chunk(n)

            def run(array):
                return ketsim.run_circuit(n, array, gates)
            check_ket(n, gates, dtype, run)
        yield f"ketsim run_circuit {np.dtype(dtype).name}", False, numpy_entry
    for dense in (False, True):
        for dtype in DTYPES:
            def fused(dense=dense, dtype=dtype):
                m = 12
                gates = [gate(name, [q % m]) for q in range(40) for name in ("h", "rx" if q % 3 else "s")]
                gates = [dict(g, parameter=[0.3] if g["id"] == "rx" else []) for g in gates]
                gates += [gate("x", [q], [(q + 1) % m]) for q in range(m)]
                options = {"densemm_gate_threshold_scale": -1.0} if dense else {"densemm_max_qubits": 0}
                objects = [SimpleNamespace(**dict(g, matrix=None)) for g in gates]
                chunk = ketsim.prepare_fusion_chunk_gates(m, objects, **options)

                def run(array):
                    state = ketsim.DeviceState.from_numpy(m, array)
                    ketsim.execute_prepared_fusion_chunk(state, chunk)
                    return state.to_numpy()
                check_ket(m, gates, dtype, run)
            yield f"ketsim fused {'DenseMM' if dense else 'SparseShareMem'} {np.dtype(dtype).name}", not dense, fused
    for dtype in DTYPES:
        def measure(dtype=dtype):
            state = ketsim.DeviceState.zero_state(6, np.dtype(dtype).name)
            ketsim.run_circuit_device(state, [gate("h", [0]), gate("x", [3], [0])])
            counts, _ = ketsim.sample_measure_device(state, [0, 3], 4000, seed=5)
            assert set(counts) == {"00", "11"} and abs(counts["00"] - 2000) < 300, counts
            outcome = ketsim.measure_device(state, [0], seed=2)
            after = state.to_numpy()
            assert abs(abs(after[0 if outcome == "0" else 9]) - 1) < 1e-5, after
        yield f"ketsim measurement {np.dtype(dtype).name}", False, measure
    yield from density_families()


def check_rho(n, ops, dtype, fusion=False):
    os.environ["VELLORAN_DENSITY_FUSION"] = "1" if fusion else "0"
    rng = np.random.default_rng(n + len(ops))
    rho = rho_ref.random_density(n, rng)
    got = rho_ref.run(n, ops, rho, dtype)
    want = rho
    for op in ops:
        want = rho_ref.apply_operation(want, n, op)
    err = float(np.max(np.abs(got - want)))
    if not err <= 50 * rho_ref.tolerance(dtype) * max(1, len(ops)):
        raise AssertionError(f"max error {err:.3g}")


def density_families():
    G, K = rho_ref.Gate, rho_ref.Kraus
    rng = np.random.default_rng(2)
    n = 6
    gates = [G("h", [0]), G("x", [5], [0]), G("rx", [2], [1, 3], [0, 1], parameter=[0.4]), G("s", [4]),
             G("z", [1], [0]), G("swap", [1, 4]), G("u", [3], parameter=[0.2, 0.5, -0.3])]
    gates += [G("unitary", [int(t) for t in rng.permutation(n)[:k]], matrix=rho_ref.random_unitary(2**k, rng))
              for k in range(1, 7)]
    noise = [K([q], rho_ref.channel_kraus(name, 0.2), name) for q, name in enumerate(rho_ref.CHANNELS)]
    noise += [K([int(t) for t in rng.permutation(n)[:k]], rho_ref.random_kraus(k, 2, rng)) for k in (1, 2, 3)]
    mixed = [op for pair in zip(gates[:5], noise[:5]) for op in pair]
    for dtype in rho_ref.DTYPES:
        yield f"rhosim unitaries {dtype}", False, lambda d=dtype: check_rho(n, gates, d)
        yield f"rhosim channels and Kraus {dtype}", False, lambda d=dtype: check_rho(n, noise, d)
        yield f"rhosim gate then channel {dtype}", False, lambda d=dtype: check_rho(
            4, [G("h", [1]), K([1], rho_ref.channel_kraus("amplitude_damping", 0.3), "amplitude_damping")], d)
        yield f"rhosim fused {dtype}", True, lambda d=dtype: check_rho(n, mixed, d, fusion=True)

        def measure(dtype=dtype):
            state = rhosim.DeviceDensityState.zero_state(3, dtype)
            rhosim.run_density_operations_device(state, 3, [G("h", [0]), G("x", [2], [0])])
            outcome = rhosim.measure_device(state, [0, 2], seed=4)
            assert outcome in ("00", "11")
            assert abs(np.trace(state.to_numpy()) - 1) < 1e-5
        yield f"rhosim measurement {dtype}", False, measure


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", choices=["barrier"], help="run only the shared-memory (barrier) kernels")
    args = parser.parse_args()
    print(f"ketsim backend: {ketsim.__backend__}")
    failed = 0
    for name, barrier, body in families():
        if args.only == "barrier" and not barrier:
            continue
        try:
            body()
            print(f"ok    {name}")
        except Exception as error:  # every family is reported, whatever the first one did
            failed += 1
            print(f"FAIL  {name}: {type(error).__name__}: {error}")
            traceback.print_exc(limit=3)
        sys.stdout.flush()
    print(f"smoke: {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
