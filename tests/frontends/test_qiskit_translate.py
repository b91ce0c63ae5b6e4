"""Qiskit circuits translated and run, against qiskit.quantum_info: library circuits, random circuits,
multi-controlled gates with control states, every native gate, both methods and precisions, fusion on and
off; and the refusals of what cannot run, naming the instruction."""

from __future__ import annotations

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.library import (  # noqa: E402
    MCXGate,
    QFTGate,
    RZZGate,
    UnitaryGate,
    XGate,
    quantum_volume,
)
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import DensityMatrix, Operator, Statevector  # noqa: E402

from velloran_gpu import final_state  # noqa: E402
from velloran_gpu.qiskit import translate_circuit  # noqa: E402

ATOL = {"double": 1e-9, "single": 5e-5}


def _match_up_to_phase(got: np.ndarray, expected: np.ndarray, atol: float) -> None:
    """Equal state vectors up to a global phase (the translation drops uncontrolled global phases)."""
    k = int(np.argmax(np.abs(expected)))
    phase = got[k] / expected[k]
    assert abs(abs(phase) - 1) < 10 * atol
    np.testing.assert_allclose(got, phase * expected, atol=atol)


def _check(circuit: QuantumCircuit, method: str = "statevector", precision: str = "double", fusion: bool = True):
    program = translate_circuit(circuit)
    out = final_state(program, method=method, precision=precision, fusion=fusion).state
    expected = Statevector(circuit).data
    if method == "statevector":
        _match_up_to_phase(out, expected, ATOL[precision])
    else:
        np.testing.assert_allclose(out, DensityMatrix(circuit).data, atol=ATOL[precision])


def _all_gates_circuit() -> QuantumCircuit:
    qc = QuantumCircuit(4)
    qc.h([0, 1, 2, 3])
    qc.x(0), qc.y(1), qc.z(2), qc.s(3), qc.sdg(0), qc.t(1), qc.tdg(2), qc.sx(3), qc.sxdg(0)
    qc.rx(0.3, 1), qc.ry(0.4, 2), qc.rz(0.5, 3), qc.p(0.6, 0), qc.u(0.1, 0.2, 0.3, 1), qc.r(0.7, 0.2, 2)
    qc.swap(0, 3), qc.iswap(1, 2), qc.ecr(2, 0), qc.dcx(3, 1), qc.rzz(0.8, 0, 2), qc.rxx(0.2, 1, 3)
    qc.ryy(0.3, 0, 1), qc.rzx(0.4, 2, 3)
    qc.append(qiskit.circuit.library.XXPlusYYGate(0.5, 0.1), [0, 1])
    qc.cx(0, 1), qc.cy(1, 2), qc.cz(2, 3), qc.ch(3, 0), qc.cs(0, 2), qc.csdg(1, 3), qc.csx(2, 1)
    qc.cp(0.3, 3, 2), qc.crx(0.2, 0, 3), qc.cry(0.4, 1, 0), qc.crz(0.5, 2, 1), qc.cu(0.1, 0.2, 0.3, 0.4, 3, 1)
    qc.ccx(0, 1, 2), qc.ccz(1, 2, 3), qc.cswap(0, 1, 3), qc.rccx(3, 2, 0), qc.rcccx(0, 1, 2, 3)
    qc.append(qiskit.circuit.library.CU1Gate(0.3), [0, 2])
    qc.append(qiskit.circuit.library.CU3Gate(0.3, 0.2, 0.1), [1, 3])
    qc.append(qiskit.circuit.library.U2Gate(0.3, 0.2), [2])
    qc.append(qiskit.circuit.library.GlobalPhaseGate(0.7).control(2, ctrl_state=1), [3, 0])
    qc.id(0)
    qc.barrier()
    qc.delay(100, 1)
    return qc


class TestStates:
    """Final states against Statevector and DensityMatrix."""

    @pytest.mark.parametrize("method", ["statevector", "density_matrix"])
    @pytest.mark.parametrize("precision", ["double", "single"])
    @pytest.mark.parametrize("fusion", [True, False])
    def test_every_gate(self, method, precision, fusion):
        _check(_all_gates_circuit(), method, precision, fusion)

    @pytest.mark.parametrize("n", [3, 6])
    @pytest.mark.parametrize("method", ["statevector", "density_matrix"])
    def test_qft(self, n, method):
        qc = QuantumCircuit(n)
        for q in range(n):
            qc.ry(0.3 * (q + 1), q)
        qc.append(QFTGate(n), range(n))
        _check(qc, method)

    @pytest.mark.parametrize("seed", [1, 2])
    def test_quantum_volume(self, seed):
        _check(quantum_volume(6, seed=seed))

    @pytest.mark.parametrize("seed", range(6))
    @pytest.mark.parametrize("fusion", [True, False])
    def test_random_circuits(self, seed, fusion):
        qc = random_circuit(5, 8, max_operands=4, seed=seed)
        _check(qc, fusion=fusion)

    @pytest.mark.parametrize("seed", range(3))
    def test_random_circuits_density(self, seed):
        _check(random_circuit(4, 6, max_operands=3, seed=100 + seed), "density_matrix", "single")

    @pytest.mark.parametrize("ctrl_state", [0, 0b101, 0b111, 0b010])
    @pytest.mark.parametrize("method", ["statevector", "density_matrix"])
    def test_multi_controlled_with_ctrl_state(self, ctrl_state, method):
        qc = QuantumCircuit(5)
        qc.h(range(5))
        qc.ry(0.4, 2)
        qc.append(MCXGate(3, ctrl_state=ctrl_state), [0, 2, 4, 1])
        qc.append(RZZGate(0.7).control(2, ctrl_state=ctrl_state & 0b11), [3, 1, 0, 4])
        qc.append(UnitaryGate(Operator(random_circuit(2, 3, seed=ctrl_state))).control(2, ctrl_state=ctrl_state >> 1),
                  [4, 0, 2, 3])
        qc.append(XGate().control(4, ctrl_state=ctrl_state), [0, 1, 2, 3, 4])
        _check(qc, method)

    def test_large_gate_runs_through_its_definition(self):
        # A 7-qubit gate without a catalogue entry: its definition, not a 128x128 matrix.
        qc = QuantumCircuit(7)
        qc.h(range(7))
        qc.append(QFTGate(6).control(1, ctrl_state=0), [6, 0, 1, 2, 3, 4, 5])
        program = translate_circuit(qc)
        assert all(len(getattr(i, "targets", ())) <= 4 for i in program.instructions)
        _check(qc, "density_matrix")

    @pytest.mark.parametrize("method", ["statevector", "density_matrix"])
    def test_controlled_definition_keeps_its_phases(self, method):
        # A 5-qubit gate runs through its definition; under a control its global phases become relative.
        inner = QuantumCircuit(5, global_phase=0.4)
        inner.h(range(5))
        inner.append(qiskit.circuit.library.GlobalPhaseGate(0.9), [])
        inner.cx(0, 4)
        gate = inner.to_gate(label="five")
        qc = QuantumCircuit(6)
        qc.h(5)
        qc.ry(0.3, 2)
        qc.append(gate.control(1), [5, 0, 1, 2, 3, 4])
        _check(qc, method)

    def test_parameter_binding(self):
        a, b = Parameter("a"), Parameter("b")
        qc = QuantumCircuit(3)
        qc.h(0), qc.rx(a, 0), qc.crz(2 * b + a, 0, 1), qc.append(RZZGate(a - b), [1, 2])
        qc.append(qiskit.circuit.library.U3Gate(a, b, 0.3).control(1, ctrl_state=0), [2, 0])
        values = [0.3, -1.2]
        bound = qc.assign_parameters(dict(zip(qc.parameters, values)))
        out = final_state(translate_circuit(qc, parameter_values=values)).state
        _match_up_to_phase(out, Statevector(bound).data, 1e-10)


class TestRefusals:
    """What cannot run is refused before simulation, naming the instruction."""

    def test_while_loop(self):
        qc = QuantumCircuit(1, 1)
        with qc.while_loop((qc.clbits[0], 0)):
            qc.h(0)
            qc.measure(0, 0)
        with pytest.raises(ValueError, match="while_loop"):
            translate_circuit(qc)

    def test_switch(self):
        qc = QuantumCircuit(1, 1)
        with qc.switch(qc.clbits[0]) as case:
            with case(0):
                qc.x(0)
        with pytest.raises(ValueError, match="switch_case"):
            translate_circuit(qc)

    def test_unbound_parameters(self):
        qc = QuantumCircuit(1)
        qc.rx(Parameter("theta"), 0)
        with pytest.raises(ValueError, match="theta"):
            translate_circuit(qc)

    def test_too_wide_for_density(self):
        qc = QuantumCircuit(7)
        qc.unitary(np.eye(128), range(7), label="big")
        with pytest.raises(ValueError, match="unitary.*6-qubit limit"):
            final_state(translate_circuit(qc), method="density_matrix")

    def test_instruction_without_matrix_or_definition(self):
        qc = QuantumCircuit(1)
        qc.append(qiskit.circuit.Instruction("mystery", 1, 0, []), [0])
        with pytest.raises(ValueError, match="mystery"):
            translate_circuit(qc)
