"""A real circuit simulation on the GPU back end: a GHZ state and a quantum Fourier transform on
20 qubits, sampled, checked against NumPy, with timings; then a small noisy circuit on the
density-matrix simulator."""
import argparse
import math
import time

import numpy as np

import ketsim


def gate(name, targets, controls=(), states=None, params=()):
    controls = list(controls)
    return {"id": name, "target": list(targets), "control": controls,
            "control_state": list(states) if states is not None else [1] * len(controls),
            "parameter": list(params)}


def ghz(n):
    return [gate("h", [0])] + [gate("cx", [q], [q - 1]) for q in range(1, n)]


def qft(n):
    """QFT with qubit 0 as the least significant bit: amplitude y of QFT|x> is e^(2 pi i x y / N) / sqrt(N)."""
    gates = []
    for j in reversed(range(n)):
        gates.append(gate("h", [j]))
        for k in reversed(range(j)):
            gates.append(gate("cp", [j], [k], params=[math.pi / 2 ** (j - k)]))
    gates += [gate("swap", [q, n - 1 - q]) for q in range(n // 2)]
    return gates


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    print(f"  {label:<44s} {1e3 * (time.perf_counter() - start):9.2f} ms")
    return result


def state_vector_job(n, shots, mode):
    print(f"ketsim ({ketsim.__backend__} backend), {n} qubits, mode {mode.name}")
    state = ketsim.DeviceState.zero_state(n)
    timed(f"GHZ circuit ({n} gates)", lambda: ketsim.run_circuit_device(state, ghz(n), mode=mode) or state.to_numpy())
    counts, last = timed(f"sample {shots} shots of all qubits",
                         lambda: ketsim.sample_measure_device(state, list(range(n)), shots, seed=2024))
    for bits, count in sorted(counts.items(), key=lambda kv: -kv[1]):
        print(f"    {bits}  {count}")

    x = 0b1011001110001111 & ((1 << n) - 1)
    basis = np.zeros(1 << n, np.complex128)
    basis[x] = 1
    circuit = qft(n)
    result = timed(f"QFT of |{x}> ({len(circuit)} gates)",
                   lambda: ketsim.run_circuit(n, basis, circuit, mode=mode))
    expected = np.exp(2j * np.pi * x * np.arange(1 << n) / (1 << n)) / math.sqrt(1 << n)
    print(f"    max |amplitude - e^(2 pi i x y/N)/sqrt(N)| = {np.abs(result - expected).max():.2e}")
    outcome = timed("measure 8 low qubits of the QFT state",
                    lambda: ketsim.measure(n, result, list(range(8))))
    print(f"    measured {outcome} (uniform over 256 outcomes)")


def depolarizing(p):
    k0 = math.sqrt(1 - 3 * p / 4) * np.eye(2)
    paulis = [np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.array([[1, 0], [0, -1]])]
    return np.array([k0] + [math.sqrt(p / 4) * m for m in paulis], dtype=np.complex128)


def amplitude_damping(gamma):
    return np.array([[[1, 0], [0, math.sqrt(1 - gamma)]], [[0, math.sqrt(gamma)], [0, 0]]], dtype=np.complex128)


def density_job(n=4):
    import rhosim
    from types import SimpleNamespace

    def unitary(name, targets, controls=(), params=()):
        return SimpleNamespace(id=name, target=list(targets), control=list(controls),
                               control_state=[1] * len(controls), parameter=list(params), has_stored_matrix=False)

    def channel(name, target, matrices):
        return SimpleNamespace(operation_kind="kraus", target=[target], channel_name=name, kraus_matrices=matrices)

    print(f"rhosim ({rhosim.__backend__} backend): {n}-qubit GHZ under depolarizing and damping noise")
    ops = [unitary("h", [0])]
    for q in range(1, n):
        ops.append(unitary("cx", [q], [q - 1]))
        ops.append(channel("depolarizing", q, depolarizing(0.05)))
    ops += [channel("amplitude_damping", q, amplitude_damping(0.1)) for q in range(n)]
    rho = rhosim.DeviceDensityState.zero_state(n)
    timed(f"{len(ops)} operations", lambda: rhosim.run_density_operations_device(rho, n, ops))
    m = rho.to_numpy()
    print(f"    trace {np.real(np.trace(m)):.6f}, purity tr(rho^2) = {np.real(np.trace(m @ m)):.4f}")
    outcomes = [rhosim.measure_device(rho.copy(), list(range(n)), seed=s) for s in range(12)]
    print(f"    measured outcomes: {' '.join(outcomes)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--qubits", type=int, default=20)
    parser.add_argument("--shots", type=int, default=2000)
    parser.add_argument("--mode", default="PairAuto", choices=[m.name for m in ketsim.KernelMode])
    args = parser.parse_args()
    state_vector_job(args.qubits, args.shots, ketsim.KernelMode[args.mode])
    density_job()


if __name__ == "__main__":
    main()
