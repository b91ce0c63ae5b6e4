"""The side-by-side benchmark against other CPU simulators (benchmarks/bench_peers.py) at a few qubits:
its circuits and every translation give the state an independent NumPy evolution gives, its state check
catches a wrong state, and it runs, reporting peers as not installed, when none can be imported."""

import importlib.util
import math
import pathlib
import sys

import numpy as np
import pytest

PATH = pathlib.Path(__file__).resolve().parents[2] / "benchmarks" / "bench_peers.py"
spec = importlib.util.spec_from_file_location("bench_peers", PATH)
bench = importlib.util.module_from_spec(spec)
sys.modules["bench_peers"] = bench
spec.loader.exec_module(bench)

N = 5
CIRCUITS = [(name, bench.build_circuit(name, N, layers=3, qv_depth=3, seed=11)) for name in bench.CIRCUITS]
IDS = [name for name, _ in CIRCUITS]


def one_qubit(kind, angle):
    c, s = math.cos(angle / 2), math.sin(angle / 2)
    return {"rx": np.array([[c, -1j * s], [-1j * s, c]]),
            "ry": np.array([[c, -s], [s, c]]),
            "rz": np.diag([np.exp(-0.5j * angle), np.exp(0.5j * angle)]),
            "h": np.array([[1, 1], [1, -1]]) / math.sqrt(2)}[kind]


def two_qubit(op):
    """The 4x4 matrix on (qubits[0], qubits[1]), index bit 0 belonging to qubits[0]."""
    if op.kind == "unitary":
        return op.matrix
    if op.kind == "cz":
        return np.diag([1, 1, 1, -1]).astype(complex)
    if op.kind == "cp":
        return np.diag([1, 1, 1, np.exp(1j * op.angle)])
    perm = {"cx": [0, 3, 2, 1], "swap": [0, 2, 1, 3]}[op.kind]
    return np.eye(4, dtype=complex)[perm]


def numpy_evolve(ops, n):
    psi = np.zeros([2] * n, dtype=complex)
    psi[(0,) * n] = 1
    axis = lambda q: n - 1 - q  # noqa: E731  (qubit q is bit q: axis n-1-q of the C-ordered tensor)
    for op in ops:
        if len(op.qubits) == 1:
            psi = np.moveaxis(np.tensordot(one_qubit(op.kind, op.angle), psi, axes=([1], [axis(op.qubits[0])])),
                              0, axis(op.qubits[0]))
        else:
            a, b = op.qubits
            u = two_qubit(op).reshape(2, 2, 2, 2)  # [b_out, a_out, b_in, a_in]
            psi = np.moveaxis(np.tensordot(u, psi, axes=([2, 3], [axis(b), axis(a)])), [0, 1], [axis(b), axis(a)])
    return psi.reshape(-1)


REFERENCE = {name: numpy_evolve(ops, N) for name, ops in CIRCUITS}


def assert_same_state(expected, actual, tol):
    assert bench.fidelity(expected, actual) > 1 - tol
    assert np.allclose(np.abs(expected), np.abs(actual), atol=max(1e-6, math.sqrt(tol)))


class TestCircuits:
    def test_shapes(self):
        ops = dict(CIRCUITS)
        assert len(ops["layers"]) == 3 * N + 3 * (N - 1)
        assert len(ops["ghz"]) == N and len(ops["qv"]) == 3 * (N // 2)
        assert sum(op.kind == "cp" for op in ops["qft"]) == N * (N - 1) // 2
        assert bench.build_circuit("layers", N, 3, None, 11) == ops["layers"]  # fixed seed, same circuit
        with pytest.raises(ValueError, match="unknown circuit"):
            bench.build_circuit("grover", N, 3, None, 11)

    def test_qv_gates_are_unitary_and_layers_permute(self):
        for op in dict(CIRCUITS)["qv"]:
            assert np.allclose(op.matrix @ op.matrix.conj().T, np.eye(4), atol=1e-12)
        ops = bench.quantum_volume(6, 2, np.random.default_rng(1))
        for layer in (ops[:3], ops[3:]):
            assert sorted(q for op in layer for q in op.qubits) == list(range(6))

    def test_ghz_and_qft_states(self):
        ghz = REFERENCE["ghz"]
        assert np.allclose(np.abs(ghz[[0, -1]]), 1 / math.sqrt(2)) and np.allclose(ghz[1:-1], 0)
        assert np.allclose(REFERENCE["qft"], np.full(2 ** N, 2 ** (-N / 2)))  # QFT|0> is uniform


@pytest.mark.parametrize("name,ops", CIRCUITS, ids=IDS)
class TestTranslations:
    def test_cirq(self, name, ops):
        cirq = pytest.importorskip("cirq")
        circuit, order = bench.to_cirq(ops, N)
        state = cirq.Simulator(dtype=np.complex128).simulate(circuit, qubit_order=order).final_state_vector
        assert_same_state(REFERENCE[name], state, 1e-10)
        assert np.allclose(state, REFERENCE[name], atol=1e-8)  # no global phase added either

    def test_qiskit(self, name, ops):
        quantum_info = pytest.importorskip("qiskit.quantum_info")
        state = quantum_info.Statevector.from_instruction(bench.to_qiskit(ops, N)).data
        assert np.allclose(state, REFERENCE[name], atol=1e-10)

    @pytest.mark.parametrize("dtype", bench.PRECISIONS)
    @pytest.mark.parametrize("mode", ["PairAutoFusion", "PairAuto"])
    def test_ours(self, name, ops, dtype, mode):
        ketsim = pytest.importorskip("ketsim")
        run = bench.ours_run(ketsim, lambda: None, bench.to_ketsim(ops), N, dtype, getattr(ketsim, mode))
        _, state = bench.measure(run, repeats=1)
        assert state.dtype == np.dtype(dtype)
        assert np.allclose(state, REFERENCE[name], atol=1e-5 if dtype == "complex64" else 1e-12)

    def test_qulacs(self, name, ops):
        qulacs = pytest.importorskip("qulacs")
        circuit = bench.to_qulacs(ops, N, qulacs, bench.qulacs_rotation_sign(qulacs))
        _, state = bench.measure(bench.qulacs_run(qulacs, circuit, N), repeats=1)
        assert_same_state(REFERENCE[name], state, 1e-10)

    def test_qsim(self, name, ops):
        qsimcirq = pytest.importorskip("qsimcirq")
        circuit, order = bench.to_cirq(ops, N)
        _, state = bench.measure(bench.qsim_run(qsimcirq, circuit, order, 1), repeats=1)
        assert_same_state(REFERENCE[name], state, 1e-6)

    @pytest.mark.parametrize("dtype", bench.PRECISIONS)
    def test_aer(self, name, ops, dtype):
        aer = pytest.importorskip("qiskit_aer")
        run = bench.aer_run(aer.AerSimulator, bench.to_qiskit(ops, N), dtype, 1)
        _, state = bench.measure(run, repeats=1)
        assert_same_state(REFERENCE[name], state, bench.TOLERANCE[dtype])


class TestChecks:
    def test_fidelity(self):
        rng = np.random.default_rng(3)
        a = rng.standard_normal(16) + 1j * rng.standard_normal(16)
        assert bench.fidelity(a, np.exp(0.7j) * 3 * a) == pytest.approx(1, abs=1e-12)  # phase and norm ignored
        assert bench.fidelity(a.astype(np.complex64), a) == pytest.approx(1, abs=1e-6)
        flipped = a.reshape(2, 8)[::-1].ravel()  # the same amplitudes on the wrong top qubit
        assert bench.fidelity(a, flipped) < 0.99
        assert bench.fidelity(a, np.zeros(16)) == 0.0
        with pytest.raises(ValueError, match="sizes differ"):
            bench.fidelity(a, a[:8])

    def test_best_times_in_rounds(self, monkeypatch):
        clock, calls = [0.0], []
        monkeypatch.setattr(bench.time, "perf_counter", lambda: clock[0])

        def run(key, costs):
            costs = iter(costs)

            def step():
                calls.append(("run", key))
                clock[0] += next(costs)
            return bench.Run(setup=lambda: calls.append(("setup", key)), run=step, state=lambda: np.zeros(2),
                             release=lambda: calls.append(("release", key)))

        times = bench.best_times({"a": run("a", [3, 1, 2]), "b": run("b", [5, 6, 4])}, repeats=3)
        assert times == {"a": 1, "b": 4}
        assert calls[:4] == [("setup", "a"), ("run", "a"), ("release", "a"), ("setup", "b")]
        assert [key for what, key in calls if what == "run"] == ["a", "b"] * 3  # one of each per round

    def test_cpu_summary(self, tmp_path):
        info = tmp_path / "cpuinfo"
        info.write_text("processor\t: 0\nmodel name\t: Test CPU 9000\nflags\t\t: fpu sse2 avx2 fma\n\n"
                        "processor\t: 1\nmodel name\t: Test CPU 9000\nflags\t\t: fpu\n")
        assert bench.cpu_summary(str(info)).startswith("Test CPU 9000;")
        assert "avx2 yes, fma yes, avx512f no" in bench.cpu_summary(str(info))

    @pytest.mark.parametrize("load,threads,warns", [(0.1, 1, False), (0.2, 2, False), (1.0, 2, True), (3.9, 1, True)])
    def test_busy_warning(self, monkeypatch, load, threads, warns):
        monkeypatch.setattr(bench.os, "getloadavg", lambda: (load, load, load))
        monkeypatch.setattr(bench.os, "cpu_count", lambda: 2)
        assert bool(bench.busy_warning(threads)) == warns

    @pytest.mark.parametrize("argv,message", [
        (["--qubits", "1"], "outside 2..32"), (["--threads", "0"], "--threads"),
        (["--repeats", "0"], "--repeats"), (["--qv-depth", "0"], "--qv-depth"),
        (["--circuits", "grover"], "invalid choice"), (["--precisions", "float16"], "invalid choice")])
    def test_bad_arguments(self, argv, message, capsys):
        with pytest.raises(SystemExit):
            bench.parse_args(argv)
        assert message in capsys.readouterr().err


@pytest.fixture
def quiet_threads(monkeypatch):
    for key in ("VELLORAN_HOST_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "QULACS_NUM_THREADS"):
        monkeypatch.setenv(key, "1")


class TestMain:
    ARGS = ["--qubits", "4", "--repeats", "1", "--layers", "2", "--threads", "1"]

    def test_without_peers(self, monkeypatch, capsys, quiet_threads):
        pytest.importorskip("ketsim")
        for module in ("qsimcirq", "qulacs", "qiskit_aer"):
            monkeypatch.setitem(sys.modules, module, None)  # import of each fails
        assert bench.main(self.ARGS) == 0
        out = capsys.readouterr().out
        assert out.count("not installed (") == 3 and "PROBLEM" not in out
        rows = [line.split() for line in out.splitlines() if line.split()[:2] in (["qv", "4"], ["ghz", "4"])]
        assert len(rows) == 4  # two circuits shown here, two precisions each
        for row in rows:
            assert row[6:10] == ["n/i"] * 4 and row[-2:] == ["-", "-"]
        assert "load average" in out and "avx512f" in out

    def test_wrong_peer_state_is_reported(self, monkeypatch, capsys, quiet_threads):
        pytest.importorskip("ketsim")
        pytest.importorskip("qiskit_aer")
        right = bench.to_qiskit
        monkeypatch.setattr(bench, "to_qiskit", lambda ops, n: right(ops, n).reverse_bits())
        assert bench.main(self.ARGS + ["--peers", "aer", "--circuits", "layers"]) == 1
        out = capsys.readouterr().out
        assert out.count("PROBLEM: layers n=4") == 2 and "aer final state differs" in out
        row = next(line.split() for line in out.splitlines() if line.lstrip().startswith("layers "))
        assert row[9].endswith("!") and row[-2:] == ["-", "-"]  # not ranked
