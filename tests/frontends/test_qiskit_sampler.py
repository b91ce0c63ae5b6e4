"""The Qiskit Sampler: result containers and bit order against Qiskit's StatevectorSampler, parameter sweeps
with broadcasting, and sampled distributions (also with mid-circuit measurement, if/else and reset) against
exact probabilities from an enumeration of branches with qiskit.quantum_info.Statevector."""

from __future__ import annotations

import math

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import IfElseOp, Parameter  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.circuit.library import QFTGate  # noqa: E402
from qiskit.primitives import StatevectorSampler  # noqa: E402
from qiskit.quantum_info import Operator, Statevector  # noqa: E402

from velloran_gpu.qiskit import Sampler  # noqa: E402


def _evaluate(node, bits: dict):
    """A small evaluator of the classical expressions the tests use."""
    if isinstance(node, expr.Cast):
        return _evaluate(node.operand, bits)
    if isinstance(node, expr.Value):
        return node.value
    if isinstance(node, expr.Var):
        if isinstance(node.var, ClassicalRegister):
            return sum(bits[b] << j for j, b in enumerate(node.var))
        return bool(bits[node.var])
    if isinstance(node, expr.Unary) and node.op == expr.Unary.Op.LOGIC_NOT:
        return not _evaluate(node.operand, bits)
    if isinstance(node, expr.Binary) and node.op == expr.Binary.Op.EQUAL:
        return _evaluate(node.left, bits) == _evaluate(node.right, bits)
    raise NotImplementedError(node)


def _condition_holds(condition, bits: dict, circuit: QuantumCircuit) -> bool:
    if isinstance(condition, expr.Expr):
        return bool(_evaluate(condition, bits))
    target, value = condition
    if isinstance(target, ClassicalRegister):
        return sum(bits[b] << j for j, b in enumerate(target)) == value
    return bits[target] == int(value)


def exact_distribution(circuit: QuantumCircuit) -> dict[str, float]:
    """Probabilities of the full classical bit string (clbit 0 rightmost), following every branch of the
    circuit with Statevector: projections at measurements and resets, chosen blocks at if/else."""
    n = circuit.num_qubits
    start = Statevector.from_int(0, 2**n)
    qindex = {q: i for i, q in enumerate(circuit.qubits)}

    def run(block, qmap, branches):
        for ci in block.data:
            op = ci.operation
            qs = [qmap[q] for q in ci.qubits]
            new = []
            for prob, sv, bits in branches:
                if op.name in ("barrier", "delay"):
                    new.append((prob, sv, bits))
                elif op.name in ("measure", "reset"):
                    probs = sv.probabilities([qs[0]])
                    for outcome in (0, 1):
                        if probs[outcome] < 1e-14:
                            continue
                        projector = np.diag([1.0 - outcome, float(outcome)])
                        collapsed = sv.evolve(Operator(projector), [qs[0]]) / math.sqrt(probs[outcome])
                        nb = dict(bits)
                        if op.name == "measure":
                            nb[ci.clbits[0]] = outcome
                        elif outcome:
                            collapsed = collapsed.evolve(Operator(np.array([[0, 1], [1, 0]])), [qs[0]])
                        new.append((prob * probs[outcome], collapsed, nb))
                elif isinstance(op, IfElseOp):
                    chosen = op.blocks[0] if _condition_holds(op.condition, bits, circuit) else (
                        op.blocks[1] if len(op.blocks) > 1 else None)
                    if chosen is None:
                        new.append((prob, sv, bits))
                    else:
                        inner = {b: qs[i] for i, b in enumerate(chosen.qubits)}
                        new.extend(run(chosen, inner, [(prob, sv, bits)]))
                else:
                    new.append((prob, sv.evolve(op, qs), bits))
            branches = new
        return branches

    out: dict[str, float] = {}
    initial_bits = {c: 0 for c in circuit.clbits}
    for prob, _, bits in run(circuit, qindex, [(1.0, start, initial_bits)]):
        key = "".join(str(bits[c]) for c in reversed(circuit.clbits))
        out[key] = out.get(key, 0.0) + prob
    return out


def _joined_counts(pub_result, circuit: QuantumCircuit, index=()) -> dict[str, int]:
    """Counts of the full bit string (clbit 0 rightmost) from the per-register BitArrays of one PUB result."""
    arrays = {reg.name: getattr(pub_result.data, reg.name) for reg in circuit.cregs}
    shots = next(iter(arrays.values())).num_shots
    strings = [["0"] * circuit.num_clbits for _ in range(shots)]
    for reg in circuit.cregs:
        bits = arrays[reg.name][index].get_bitstrings()
        for s, text in enumerate(bits):
            for j, b in enumerate(reg):
                strings[s][circuit.num_clbits - 1 - circuit.find_bit(b).index] = text[len(reg) - 1 - j]
    counts: dict[str, int] = {}
    for s in strings:
        key = "".join(s)
        counts[key] = counts.get(key, 0) + 1
    return counts


def _mid_circuit() -> QuantumCircuit:
    q = QuantumRegister(3, "q")
    a = ClassicalRegister(2, "a")
    b = ClassicalRegister(2, "b")
    qc = QuantumCircuit(q, a, b)
    qc.ry(1.1, 0)
    qc.h(1)
    qc.cx(1, 2)
    qc.cx(0, 1)
    qc.h(0)
    qc.measure(0, a[0])
    qc.measure(1, a[1])
    with qc.if_test((a[1], 1)):
        qc.x(2)
    with qc.if_test((a, 0b01)) as else_:
        qc.z(2)
        qc.ry(0.4, 1)
    with else_:
        qc.ry(0.3, 2)
    qc.reset(0)
    qc.h(0)
    with qc.if_test(expr.logic_not(expr.equal(a, 3))):
        qc.rx(0.8, 1)
    qc.measure(2, b[0])
    qc.measure(0, b[1])
    qc.measure(1, a[1])
    return qc


class TestDistributions:
    """Sampled distributions against exact ones."""

    @pytest.mark.parametrize("method", ["statevector", "density_matrix"])
    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_mid_circuit_measurement_if_else_reset(self, ref, method, precision):
        qc = _mid_circuit()
        shots = 4000
        result = Sampler(seed=11, method=method, precision=precision).run([qc], shots=shots).result()[0]
        exact = exact_distribution(qc)
        ref.assert_counts_match(_joined_counts(result, qc), exact, shots)

    @pytest.mark.parametrize("fusion", [True, False])
    def test_library_circuit_terminal_measurement(self, ref, fusion):
        n = 5
        qc = QuantumCircuit(n)
        for q in range(n):
            qc.ry(0.37 * (q + 1), q)
        qc.append(QFTGate(n), range(n))
        qc.measure_all()
        probabilities = Statevector(qc.remove_final_measurements(inplace=False)).probabilities_dict()
        shots = 5000
        result = Sampler(seed=3, fusion=fusion).run([qc], shots=shots).result()[0]
        ref.assert_counts_match(result.data.meas.get_counts(), probabilities, shots)


class TestContainers:
    """Shapes, registers, bit order and metadata as Qiskit's reference sampler gives them."""

    def _registers_circuit(self) -> QuantumCircuit:
        qc = QuantumCircuit(QuantumRegister(4), ClassicalRegister(1, "first"), ClassicalRegister(3, "second"))
        qc.x(0)
        qc.x(2)
        qc.measure(0, 0)  # first = 1
        qc.measure([1, 2, 3], [1, 2, 3])  # second = (q1, q2, q3) = 0b010
        return qc

    def test_registers_and_bit_order(self):
        qc = self._registers_circuit()
        ours = Sampler(seed=1).run([qc], shots=7).result()[0]
        theirs = StatevectorSampler(seed=1).run([qc], shots=7).result()[0]
        for name in ("first", "second"):
            assert getattr(ours.data, name).get_counts() == getattr(theirs.data, name).get_counts()
            assert getattr(ours.data, name).num_bits == getattr(theirs.data, name).num_bits
        assert ours.data.second.get_counts() == {"010": 7}
        assert ours.metadata == theirs.metadata == {"shots": 7, "circuit_metadata": {}}

    def test_parameter_sweep_shapes_and_values(self, ref):
        a, b = Parameter("a"), Parameter("b")
        qc = QuantumCircuit(2)
        qc.ry(a, 0)
        qc.ry(b, 1)
        qc.cx(0, 1)
        qc.measure_all()
        values = np.stack(np.meshgrid(np.linspace(0, math.pi, 3), [0.0, 1.0], indexing="ij"), axis=-1)  # (3, 2, 2)
        shots = 2000
        ours = Sampler(seed=5).run([(qc, values)], shots=shots).result()[0]
        theirs = StatevectorSampler(seed=5).run([(qc, values)], shots=shots).result()[0]
        assert ours.data.meas.shape == theirs.data.meas.shape == (3, 2)
        for index in np.ndindex(3, 2):
            bound = qc.assign_parameters(dict(zip(qc.parameters, values[index])))
            probabilities = Statevector(bound.remove_final_measurements(inplace=False)).probabilities_dict()
            ref.assert_counts_match(ours.data.meas[index].get_counts(), probabilities, shots)

    def test_pub_shots_and_defaults(self):
        qc = QuantumCircuit(1, 1)
        qc.measure(0, 0)
        sampler = Sampler()
        assert sampler.default_shots == StatevectorSampler().default_shots == 1024
        results = sampler.run([qc, (qc, None, 17)]).result()
        assert results[0].data.c.num_shots == 1024 and results[1].data.c.num_shots == 17
        assert results.metadata == {"version": 2}

    def test_seeds(self):
        qc = QuantumCircuit(3)
        qc.h(range(3))
        qc.measure_all()
        first = Sampler(seed=9).run([qc], shots=200).result()[0].data.meas.array
        again = Sampler(seed=9).run([qc], shots=200).result()[0].data.meas.array
        other = Sampler(seed=10).run([qc], shots=200).result()[0].data.meas.array
        np.testing.assert_array_equal(first, again)
        assert not np.array_equal(first, other)

    def test_refusals_before_running(self):
        qc = QuantumCircuit(1, 1)
        with qc.while_loop((qc.clbits[0], 0)):
            qc.x(0)
        with pytest.raises(ValueError, match="while_loop"):
            Sampler().run([qc])
        big = QuantumCircuit(16, 1)
        big.measure(0, 0)
        with pytest.raises(ValueError, match="at most 15 qubits"):
            Sampler(method="density_matrix").run([big])
        with pytest.raises(ValueError, match="shots"):
            Sampler().run([big], shots=0)
        with pytest.raises(ValueError, match="method"):
            Sampler(method="tensor")
