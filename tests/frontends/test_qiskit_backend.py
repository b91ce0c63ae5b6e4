"""The Qiskit Backend: its target (what transpile produces runs as it is), counts and memory in Qiskit's bit
order with several registers (as Qiskit's BasicSimulator reports them), options, and refusals."""

from __future__ import annotations

import pytest

qiskit = pytest.importorskip("qiskit")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.library import QFTGate  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.providers.basic_provider import BasicSimulator  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402

from velloran_gpu.qiskit import Backend  # noqa: E402
from velloran_gpu.qiskit.backend import build_target  # noqa: E402


def _registers_circuit() -> QuantumCircuit:
    qc = QuantumCircuit(QuantumRegister(5, "q"), ClassicalRegister(2, "lo"), ClassicalRegister(3, "hi"))
    qc.x([0, 3, 4])
    qc.measure([0, 1], [0, 1])
    qc.measure([2, 3, 4], [2, 3, 4])
    return qc


class TestBitOrder:
    """Deterministic outcomes formatted as Qiskit's own simulator formats them."""

    @pytest.mark.parametrize("method", ["statevector", "density_matrix"])
    def test_counts_and_memory(self, method):
        qc = _registers_circuit()
        ours = Backend(method=method).run(qc, shots=5, memory=True).result()
        theirs = BasicSimulator().run(qc, shots=5, memory=True).result()
        assert ours.get_counts() == theirs.get_counts() == {"110 01": 5}
        assert ours.get_memory() == theirs.get_memory()

    def test_several_circuits_and_names(self):
        first = _registers_circuit()
        second = QuantumCircuit(2, 2, name="bell")
        second.h(0)
        second.cx(0, 1)
        second.measure([0, 1], [0, 1])
        result = Backend().run([first, second], shots=400, seed_simulator=1).result()
        assert result.get_counts(0) == {"110 01": 400}
        counts = result.get_counts("bell")
        assert set(counts) == {"00", "11"} and sum(counts.values()) == 400

    def test_seed_simulator(self):
        qc = QuantumCircuit(3, 3)
        qc.h(range(3))
        qc.measure(range(3), range(3))
        backend = Backend()
        a = backend.run(qc, shots=100, seed_simulator=4, memory=True).result().get_memory()
        b = backend.run(qc, shots=100, seed_simulator=4, memory=True).result().get_memory()
        c = backend.run(qc, shots=100, seed_simulator=5, memory=True).result().get_memory()
        assert a == b and a != c


class TestTarget:
    """Transpiled circuits use only the target's instructions and run as they are."""

    def test_transpile_and_run(self, ref):
        backend = Backend()
        n = 5
        qc = random_circuit(n, 6, max_operands=3, seed=7)
        qc.append(QFTGate(3), [0, 2, 4])
        probabilities = Statevector(qc).probabilities_dict()
        qc.measure_all()
        compiled = transpile(qc, backend, seed_transpiler=1, optimization_level=1)
        names = set(backend.target.operation_names) | {"barrier"}
        assert set(compiled.count_ops()) <= names
        shots = 4000
        counts = backend.run(compiled, shots=shots, seed_simulator=2).result().get_counts()
        ref.assert_counts_match(counts, probabilities, shots)

    def test_if_else_survives_transpile(self):
        backend = Backend()
        qc = QuantumCircuit(2, 2)
        qc.h(0)
        qc.measure(0, 0)
        with qc.if_test((qc.clbits[0], 1)):
            qc.x(1)
        qc.measure(1, 1)
        compiled = transpile(qc, backend)
        assert "if_else" in compiled.count_ops()
        counts = backend.run(compiled, shots=300, seed_simulator=3).result().get_counts()
        assert set(counts) <= {"00", "11"} and len(counts) == 2

    def test_target_sizes_follow_method(self):
        backend = Backend()
        assert backend.num_qubits == 30
        backend.set_options(method="density_matrix")
        assert backend.num_qubits == 15
        assert build_target(3).num_qubits == 3
        assert {"cx", "rz", "sx", "measure", "reset", "delay", "if_else"} <= set(backend.target.operation_names)


class TestOptionsAndRefusals:
    """Options are checked; bad input is refused before any simulation."""

    def test_defaults(self):
        options = Backend().options
        assert (options.shots, options.seed_simulator, options.memory) == (1024, None, False)
        assert (options.method, options.precision, options.fusion) == ("statevector", "double", True)

    def test_single_precision_and_no_fusion(self):
        qc = _registers_circuit()
        result = Backend(precision="single", fusion=False).run(qc, shots=3).result()
        assert result.get_counts() == {"110 01": 3}
        assert result.results[0].metadata["precision"] == "single"

    @pytest.mark.parametrize(
        "kwargs, message",
        [({"method": "stabilizer"}, "method"), ({"precision": "quad"}, "precision")],
    )
    def test_bad_options(self, kwargs, message):
        with pytest.raises(ValueError, match=message):
            Backend(**kwargs)

    def test_bad_runs(self):
        backend = Backend()
        qc = QuantumCircuit(1, 1)
        qc.rx(Parameter("phi"), 0)
        with pytest.raises(ValueError, match="unbound parameters.*phi"):
            backend.run(qc)
        with pytest.raises(ValueError, match="unknown run options"):
            backend.run(QuantumCircuit(1), shotz=3)
        with pytest.raises(ValueError, match="shots"):
            backend.run(QuantumCircuit(1), shots=-2)
        with pytest.raises(TypeError, match="QuantumCircuit"):
            backend.run(["not a circuit"])
