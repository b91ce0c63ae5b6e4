"""This build's state-vector run beside the CPU simulators people use (qsimcirq, qulacs, qiskit-aer), on
the same circuits, the same number of threads, with every final state checked against ours; one table.

Circuits (each built once as a neutral gate list, qubit 0 the least significant bit, then translated):
  layers  `--layers` (20) layers of a random rotation (rx, ry or rz, random angle) on every qubit, each
          followed by a brick-work CZ ladder (even pairs, then odd pairs);
  qft     the quantum Fourier transform: H and controlled phases, then the qubit-reversing swaps;
  ghz     H on qubit 0 and a CX chain 0 -> 1 -> ... -> n-1;
  qv      quantum volume: `--qv-depth` (default n) layers, each pairing the qubits by a random permutation
          and applying a Haar-random two-qubit unitary to each pair.

Runs, from |0...0>:
  ours    ketsim.run_circuit_device on a fresh DeviceState, PairAutoFusion (planning included) and PairAuto;
  qsim    qsimcirq.QSimSimulator.simulate on the cirq circuit (complex64 only; its cirq-to-qsim translation
          and state allocation are inside the timed call, as a user meets them);
  qulacs  QuantumCircuit.update_quantum_state on a QuantumState reset outside the timer (complex128 only),
          as built and after QuantumCircuitOptimizer.optimize(block size `--qulacs-block`, outside the timer);
  aer     AerSimulator(method="statevector", precision single/double, fusion on).run(circuit).result() with
          save_statevector (state allocation and result assembly inside the timed call).
Every run uses `--threads` threads (VELLORAN_HOST_THREADS, OMP_NUM_THREADS, OPENBLAS_NUM_THREADS,
QULACS_NUM_THREADS, qsim's cpu_threads, aer's max_parallel_threads). Each run is warmed up once and its
final state compared with ours (fidelity |<ours|peer>|^2 > 1 - 1e-6 for complex64, 1 - 1e-10 for
complex128; the modulus ignores a global phase); then every run of a row is timed once per round for
`--repeats` rounds and keeps its best time, so that a change in the machine's load falls on all alike.
A peer that is not installed is reported as such and its cells read "n/i"; "-" marks a precision the
peer does not offer. "ours/fastest" divides our PairAutoFusion time by the fastest peer's, "gate/fastest"
our PairAuto time (per-gate kernels, no planning). The machine's
load average is printed before and after: on a shared machine the ratios are only as steady as that load.

Usage: python benchmarks/bench_peers.py [--qubits 22 24] [--precisions complex64 complex128]
       [--circuits layers qft ghz qv] [--threads 2] [--repeats 3] [--peers qsim qulacs aer]
(scripts/setup_peers.sh makes .venv-peers with the peers and this build's modules.)
"""
from __future__ import annotations

import argparse
import math
import os
import platform
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Optional

import numpy as np

CIRCUITS = ("layers", "qft", "ghz", "qv")
PRECISIONS = ("complex64", "complex128")
PEERS = ("qsim", "qulacs", "aer")
TOLERANCE = {"complex64": 1e-6, "complex128": 1e-10}
# Table columns after "ours": (key, heading). qulacs has two runs (without and with its optimizer).
PEER_COLUMNS = (("qsim", "qsim"), ("qulacs", "qulacs"), ("qulacs_opt", "qulacs+opt"), ("aer", "aer"))


# ----------------------------------------------------------------------------------------------------------
# Circuits: a neutral gate list (little-endian: qubit q is bit q of an amplitude index)


@dataclass(frozen=True)
class Op:
    """One gate. `qubits` holds controls first, then targets, as each kind below reads them:
    rx/ry/rz/h (q,), cz/cx/cp (control, target), swap (a, b), unitary (a, b) with `matrix` a 4x4
    row-major matrix whose index bit 0 belongs to a."""
    kind: str
    qubits: tuple[int, ...]
    angle: float = 0.0
    matrix: Optional[np.ndarray] = field(default=None, compare=False)


def random_layers(n: int, layers: int, rng: np.random.Generator) -> list[Op]:
    ops: list[Op] = []
    for layer in range(layers):
        for q in range(n):
            ops.append(Op(("rx", "ry", "rz")[rng.integers(3)], (q,), float(rng.uniform(-math.pi, math.pi))))
        start = layer % 2
        for q in list(range(start, n - 1, 2)) + list(range(1 - start, n - 1, 2)):
            ops.append(Op("cz", (q, q + 1)))
    return ops


def qft(n: int) -> list[Op]:
    ops: list[Op] = []
    for j in reversed(range(n)):
        ops.append(Op("h", (j,)))
        for k in reversed(range(j)):
            ops.append(Op("cp", (k, j), math.pi / 2 ** (j - k)))
    ops += [Op("swap", (q, n - 1 - q)) for q in range(n // 2)]
    return ops


def ghz(n: int) -> list[Op]:
    return [Op("h", (0,))] + [Op("cx", (q, q + 1)) for q in range(n - 1)]


def haar_unitary(dim: int, rng: np.random.Generator) -> np.ndarray:
    z = (rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))) / math.sqrt(2)
    q, r = np.linalg.qr(z)
    d = np.diag(r)
    return q * (d / np.abs(d))


def quantum_volume(n: int, depth: int, rng: np.random.Generator) -> list[Op]:
    ops: list[Op] = []
    for _ in range(depth):
        perm = rng.permutation(n)
        for k in range(n // 2):
            a, b = int(perm[2 * k]), int(perm[2 * k + 1])
            ops.append(Op("unitary", (a, b), matrix=haar_unitary(4, rng)))
    return ops


def build_circuit(name: str, n: int, layers: int, qv_depth: Optional[int], seed: int) -> list[Op]:
    if name not in CIRCUITS:
        raise ValueError(f"unknown circuit {name!r}; choose from {', '.join(CIRCUITS)}")
    rng = np.random.default_rng([seed, n, CIRCUITS.index(name)])
    if name == "layers":
        return random_layers(n, layers, rng)
    if name == "qft":
        return qft(n)
    if name == "ghz":
        return ghz(n)
    return quantum_volume(n, n if qv_depth is None else qv_depth, rng)


# ----------------------------------------------------------------------------------------------------------
# Translations


def to_ketsim(ops: list[Op]) -> list[dict]:
    gates = []
    for op in ops:
        gate = {"id": op.kind, "target": [op.qubits[-1]], "control": [], "control_state": [], "parameter": []}
        if op.kind in ("rx", "ry", "rz"):
            gate["parameter"] = [op.angle]
        elif op.kind in ("cz", "cx", "cp"):
            gate["control"], gate["control_state"] = [op.qubits[0]], [1]
            if op.kind == "cp":
                gate["parameter"] = [op.angle]
        elif op.kind in ("swap", "unitary"):
            gate["target"] = list(op.qubits)
            if op.kind == "unitary":
                gate["matrix"] = op.matrix
        elif op.kind != "h":
            raise ValueError(f"no ketsim translation for gate kind {op.kind!r}")
        gates.append(gate)
    return gates


def to_cirq(ops: list[Op], n: int):
    """A cirq.Circuit and the qubit order that makes our qubit 0 the least significant bit of cirq's
    (big-endian) state index: our qubit q is LineQubit(n - 1 - q)."""
    import cirq

    line = cirq.LineQubit.range(n)

    def qb(q: int):
        return line[n - 1 - q]

    moments = []
    for op in ops:
        if op.kind == "rx":
            moments.append(cirq.rx(op.angle)(qb(op.qubits[0])))
        elif op.kind == "ry":
            moments.append(cirq.ry(op.angle)(qb(op.qubits[0])))
        elif op.kind == "rz":
            moments.append(cirq.rz(op.angle)(qb(op.qubits[0])))
        elif op.kind == "h":
            moments.append(cirq.H(qb(op.qubits[0])))
        elif op.kind == "cz":
            moments.append(cirq.CZ(qb(op.qubits[0]), qb(op.qubits[1])))
        elif op.kind == "cx":
            moments.append(cirq.CNOT(qb(op.qubits[0]), qb(op.qubits[1])))
        elif op.kind == "cp":
            moments.append(cirq.CZPowGate(exponent=op.angle / math.pi)(qb(op.qubits[0]), qb(op.qubits[1])))
        elif op.kind == "swap":
            moments.append(cirq.SWAP(qb(op.qubits[0]), qb(op.qubits[1])))
        elif op.kind == "unitary":
            # cirq's matrix index is big-endian in the qubit order given: list the high qubit first.
            moments.append(cirq.MatrixGate(op.matrix)(qb(op.qubits[1]), qb(op.qubits[0])))
        else:
            raise ValueError(f"no cirq translation for gate kind {op.kind!r}")
    return cirq.Circuit(moments), line


def to_qiskit(ops: list[Op], n: int):
    """A qiskit QuantumCircuit (qiskit's qubit order is ours: qubit 0 least significant)."""
    from qiskit import QuantumCircuit

    qc = QuantumCircuit(n)
    for op in ops:
        if op.kind in ("rx", "ry", "rz"):
            getattr(qc, op.kind)(op.angle, op.qubits[0])
        elif op.kind == "h":
            qc.h(op.qubits[0])
        elif op.kind in ("cz", "cx", "swap"):
            getattr(qc, op.kind)(op.qubits[0], op.qubits[1])
        elif op.kind == "cp":
            qc.cp(op.angle, op.qubits[0], op.qubits[1])
        elif op.kind == "unitary":
            qc.unitary(op.matrix, list(op.qubits))
        else:
            raise ValueError(f"no qiskit translation for gate kind {op.kind!r}")
    return qc


def qulacs_rotation_sign(qulacs) -> float:
    """qulacs has defined RX(t) as exp(+i t X / 2) in some releases and exp(-i t X / 2) in others; this
    returns the factor that turns our angle (exp(-i t X / 2)) into the installed release's."""
    state = qulacs.QuantumState(1)
    qulacs.gate.RX(0, 0.5).update_quantum_state(state)
    return 1.0 if state.get_vector()[1].imag < 0 else -1.0


def to_qulacs(ops: list[Op], n: int, qulacs, sign: float):
    """A qulacs QuantumCircuit (qulacs' qubit order is ours; its dense matrices take the first listed
    target as the least significant bit, as ours do)."""
    from qulacs import gate as qg

    circuit = qulacs.QuantumCircuit(n)
    rotations = {"rx": qg.RX, "ry": qg.RY, "rz": qg.RZ}
    for op in ops:
        if op.kind in rotations:
            circuit.add_gate(rotations[op.kind](op.qubits[0], sign * op.angle))
        elif op.kind == "h":
            circuit.add_gate(qg.H(op.qubits[0]))
        elif op.kind == "cz":
            circuit.add_gate(qg.CZ(op.qubits[0], op.qubits[1]))
        elif op.kind == "cx":
            circuit.add_gate(qg.CNOT(op.qubits[0], op.qubits[1]))
        elif op.kind == "cp":
            phase = qg.DenseMatrix(op.qubits[1], np.diag([1.0, np.exp(1j * op.angle)]))
            phase.add_control_qubit(op.qubits[0], 1)
            circuit.add_gate(phase)
        elif op.kind == "swap":
            circuit.add_gate(qg.SWAP(op.qubits[0], op.qubits[1]))
        elif op.kind == "unitary":
            circuit.add_gate(qg.DenseMatrix(list(op.qubits), op.matrix))
        else:
            raise ValueError(f"no qulacs translation for gate kind {op.kind!r}")
    return circuit


# ----------------------------------------------------------------------------------------------------------
# Runs: setup (untimed), run (timed), state (untimed; a NumPy vector in our qubit order), release (frees
# the run's state between timings, so that only one state per simulator is alive at a time)


@dataclass
class Run:
    setup: Callable[[], None]
    run: Callable[[], None]
    state: Callable[[], np.ndarray]
    release: Callable[[], None] = lambda: None


def ours_run(ketsim, sync: Callable[[], None], gates: list[dict], n: int, dtype: str, mode) -> Run:
    box: dict = {}

    def setup() -> None:
        box.pop("state", None)  # free the last state before making the next
        box["state"] = ketsim.DeviceState.zero_state(n, dtype)

    def run() -> None:
        ketsim.run_circuit_device(box["state"], gates, mode=mode)
        sync()

    return Run(setup, run, lambda: box["state"].to_numpy(), box.clear)


def qsim_run(qsimcirq, circuit, order, threads: int) -> Run:
    simulator = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=threads))
    box: dict = {}

    def run() -> None:
        box["result"] = simulator.simulate(circuit, qubit_order=order)

    return Run(box.clear, run, lambda: np.asarray(box["result"].final_state_vector), box.clear)


def qulacs_run(qulacs, circuit, n: int) -> Run:
    state = qulacs.QuantumState(n)
    return Run(state.set_zero_state, lambda: circuit.update_quantum_state(state), state.get_vector)


def aer_run(aer_simulator, circuit, dtype: str, threads: int) -> Run:
    simulator = aer_simulator(method="statevector", precision="single" if dtype == "complex64" else "double",
                              max_parallel_threads=threads, fusion_enable=True)
    with_save = circuit.copy()
    with_save.save_statevector()
    box: dict = {}

    def run() -> None:
        box["result"] = simulator.run(with_save).result()

    return Run(box.clear, run, lambda: np.asarray(box["result"].get_statevector()), box.clear)


def warm_up(run: Run) -> np.ndarray:
    """One untimed run; its final state."""
    run.setup()
    run.run()
    final = run.state()
    run.release()
    return final


def best_times(runs: dict[str, Run], repeats: int) -> dict[str, float]:
    """The best of `repeats` timed runs of each, taken in rounds (every run once per round), so that a
    change in the machine's load falls on all of them alike."""
    best = {key: math.inf for key in runs}
    for _ in range(repeats):
        for key, run in runs.items():
            run.setup()
            start = time.perf_counter()
            run.run()
            best[key] = min(best[key], time.perf_counter() - start)
            run.release()
    return best


def measure(run: Run, repeats: int) -> tuple[float, np.ndarray]:
    """warm_up, then the best of `repeats` timed runs; the final state of the warm-up."""
    final = warm_up(run)
    return best_times({"run": run}, repeats)["run"], final


def fidelity(a: np.ndarray, b: np.ndarray) -> float:
    """|<a|b>|^2 / (<a|a><b|b>), accumulated in double precision."""
    a = np.asarray(a, dtype=np.complex128).ravel()
    b = np.asarray(b, dtype=np.complex128).ravel()
    if a.shape != b.shape:
        raise ValueError(f"state sizes differ: {a.size} and {b.size}")
    norms = np.vdot(a, a).real * np.vdot(b, b).real
    return float(abs(np.vdot(a, b)) ** 2 / norms) if norms > 0 else 0.0


# ----------------------------------------------------------------------------------------------------------
# Peers and the machine


def load_peers(wanted: tuple[str, ...]) -> dict[str, object]:
    """name -> module (or callable) for each wanted peer that imports, else the text why not."""
    found: dict[str, object] = {}
    for name in wanted:
        try:
            if name == "qsim":
                import cirq  # noqa: F401
                import qsimcirq
                found[name] = qsimcirq
            elif name == "qulacs":
                import qulacs
                import qulacs.gate  # noqa: F401
                found[name] = qulacs
            elif name == "aer":
                import qiskit  # noqa: F401
                from qiskit_aer import AerSimulator
                found[name] = AerSimulator
        except ImportError as error:
            found[name] = f"not installed ({error})"
    return found


def peer_versions() -> dict[str, str]:
    from importlib import metadata

    versions = {}
    for label, dist in (("qsim", "qsimcirq"), ("qulacs", "qulacs"), ("aer", "qiskit-aer")):
        try:
            versions[label] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[label] = "?"
    return versions


def cpu_summary(cpuinfo: str = "/proc/cpuinfo") -> str:
    """The CPU model, the CPUs visible and whether the vector extensions that matter here are present."""
    model, flags = "", set()
    try:
        with open(cpuinfo) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() == "model name" and not model:
                    model = value.strip()
                elif key.strip() == "flags" and not flags:
                    flags = set(value.split())
    except OSError:
        pass
    have = ", ".join(f"{flag} {'yes' if flag in flags else 'no'}" for flag in ("avx2", "fma", "avx512f"))
    return f"{model or platform.processor() or 'unknown CPU'}; {os.cpu_count()} CPUs visible; {have}"


def load_text() -> str:
    try:
        return "load average {:.2f} {:.2f} {:.2f} (1, 5, 15 min)".format(*os.getloadavg())
    except OSError:
        return "load average unavailable"


def busy_warning(threads: int) -> str:
    """A warning when other processes already keep the CPUs busy enough that `threads` threads cannot all
    run at once; empty otherwise."""
    try:
        load = os.getloadavg()[0]
    except OSError:
        return ""
    cpus = os.cpu_count() or 1
    if load + threads <= cpus + 0.5:
        return ""
    text = f"warning: load {load:.1f} before this run on {cpus} CPUs: the runs share cores with other processes"
    if threads > 1:
        text += "; simulators whose threads wait at barriers (OpenMP) lose most, compare --threads 1"
    return text


def set_threads(threads: int) -> None:
    """Thread counts for every simulator, set before any of them is imported."""
    for key in ("VELLORAN_HOST_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "QULACS_NUM_THREADS"):
        os.environ[key] = str(threads)


def peer_run(key: str, module, ops: list[Op], n: int, dtype: str, args: argparse.Namespace, sign: float,
             translated: dict) -> Run:
    """The run of one peer column; `translated` caches the cirq and qiskit circuits across precisions."""
    if key == "qsim":
        if "cirq" not in translated:
            translated["cirq"] = to_cirq(ops, n)
        circuit, order = translated["cirq"]
        return qsim_run(module, circuit, order, args.threads)
    if key in ("qulacs", "qulacs_opt"):
        circuit = to_qulacs(ops, n, module, sign)
        if key == "qulacs_opt":
            from qulacs.circuit import QuantumCircuitOptimizer

            QuantumCircuitOptimizer().optimize(circuit, args.qulacs_block)
        return qulacs_run(module, circuit, n)
    if "qiskit" not in translated:
        translated["qiskit"] = to_qiskit(ops, n)
    return aer_run(module, translated["qiskit"], dtype, args.threads)


# ----------------------------------------------------------------------------------------------------------


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, nargs="+", default=[22])
    parser.add_argument("--precisions", nargs="+", default=list(PRECISIONS), choices=PRECISIONS)
    parser.add_argument("--circuits", nargs="+", default=list(CIRCUITS), choices=CIRCUITS)
    parser.add_argument("--peers", nargs="*", default=list(PEERS), choices=PEERS)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--layers", type=int, default=20, help="rotation layers of the 'layers' circuit")
    parser.add_argument("--qv-depth", type=int, default=None, help="quantum-volume layers (default: n)")
    parser.add_argument("--qulacs-block", type=int, default=2, help="block size of qulacs' optimizer")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)
    for n in args.qubits:
        if not 2 <= n <= 32:
            parser.error(f"--qubits: {n} is outside 2..32")
    for name in ("threads", "repeats", "layers", "qulacs_block"):
        if getattr(args, name) < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    if args.qv_depth is not None and args.qv_depth < 1:
        parser.error("--qv-depth must be at least 1")
    return args


def fmt(seconds: Optional[float]) -> str:
    return "-" if seconds is None else f"{seconds:.4f}"


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    set_threads(args.threads)
    import ketsim

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from device_sync import Device

    sync = Device(ketsim.__backend__).synchronize
    peers = load_peers(tuple(args.peers))
    versions = peer_versions()
    sign = qulacs_rotation_sign(peers["qulacs"]) if not isinstance(peers.get("qulacs", ""), str) else 1.0

    print(f"CPU: {cpu_summary()}")
    print(f"before: {load_text()}")
    busy = busy_warning(args.threads)
    if busy:
        print(busy)
    print(f"ketsim {ketsim.__backend__} backend; {args.threads} threads each; best of {args.repeats} "
          f"after a warm-up; seconds")
    for name in PEERS:
        status = peers.get(name, "not asked for (--peers)")
        print(f"  {name:<7s} {status if isinstance(status, str) else 'version ' + versions[name]}")

    header = ["circuit", "n", "precision", "gates", "ours fused", "ours gate"] + [h for _, h in PEER_COLUMNS]
    header += ["fastest peer", "ours/fastest", "gate/fastest"]
    rows: list[list[str]] = []
    problems: list[str] = []

    for n in args.qubits:
        for name in args.circuits:
            ops = build_circuit(name, n, args.layers, args.qv_depth, args.seed)
            gates = to_ketsim(ops)
            translated: dict[str, object] = {}
            for dtype in args.precisions:
                label = f"{name} n={n} {dtype}"
                tol = TOLERANCE[dtype]
                runs = {"fused": ours_run(ketsim, sync, gates, n, dtype, ketsim.PairAutoFusion),
                        "gate": ours_run(ketsim, sync, gates, n, dtype, ketsim.PairAuto)}
                reference = warm_up(runs["fused"])
                if (f := fidelity(reference, warm_up(runs["gate"]))) < 1 - tol:
                    problems.append(f"{label}: ours PairAuto against PairAutoFusion, fidelity {f:.12f}")
                cells: dict[str, str] = {}
                differs: set[str] = set()
                for key, _ in PEER_COLUMNS:
                    peer = key.split("_")[0]
                    module = peers.get(peer)
                    if module is None or isinstance(module, str):
                        cells[key] = "skip" if module is None else "n/i"
                        continue
                    if (peer == "qsim" and dtype != "complex64") or (peer == "qulacs" and dtype != "complex128"):
                        cells[key] = "-"
                        continue
                    try:
                        run = peer_run(key, module, ops, n, dtype, args, sign, translated)
                        f = fidelity(reference, warm_up(run))
                    except Exception as error:  # a peer's failure is reported, not fatal
                        cells[key] = "error"
                        problems.append(f"{label}: {key} failed: {type(error).__name__}: {error}")
                        continue
                    runs[key] = run
                    if f < 1 - tol:
                        differs.add(key)
                        problems.append(f"{label}: {key} final state differs from ours, fidelity {f:.12f}")
                del reference
                times = best_times(runs, args.repeats)
                del runs
                ranked = {}
                for key, _ in PEER_COLUMNS:
                    if key in times:
                        cells[key] = f"{times[key]:.4f}" + ("!" if key in differs else "")
                        if key not in differs:
                            ranked[key] = times[key]
                fastest = min(ranked, key=ranked.get) if ranked else None
                rows.append([name, str(n), dtype, str(len(ops)), fmt(times["fused"]), fmt(times["gate"])]
                            + [cells[key] for key, _ in PEER_COLUMNS]
                            + [dict(PEER_COLUMNS)[fastest] if fastest else "-",
                               f"{times['fused'] / ranked[fastest]:.2f}" if fastest else "-",
                               f"{times['gate'] / ranked[fastest]:.2f}" if fastest else "-"])
                print(f"  done: {label}", file=sys.stderr, flush=True)

    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(header)]
    print()
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    for row in rows:
        print("  ".join(c.rjust(w) for c, w in zip(row, widths)))
    print("\nn/i: not installed; skip: left out by --peers; -: precision not offered; "
          "!: final state differs from ours (not ranked)")
    print(f"after: {load_text()}")
    for problem in problems:
        print(f"PROBLEM: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
