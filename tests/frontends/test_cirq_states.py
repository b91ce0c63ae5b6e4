"""Final states of velloran_gpu.cirq.Simulator against cirq.Simulator: random circuits, the QFT, controlled
gates with control values, a zoo of Cirq gates, qubit orders, initial states, sweeps and expectation values,
in both precisions with fusion on and off."""

import cmath

import numpy as np
import pytest

cirq = pytest.importorskip("cirq")
sympy = pytest.importorskip("sympy")

from cirq_reference import STATE_ATOL, prepared, random_unitary, reference_state  # noqa: E402

from velloran_gpu.cirq import Simulator  # noqa: E402
from velloran_gpu.cirq._translate import translate  # noqa: E402

OPTIONS = [
    pytest.param("double", True, id="double-fused"),
    pytest.param("double", False, id="double-plain"),
    pytest.param("single", True, id="single-fused"),
    pytest.param("single", False, id="single-plain"),
]

ROTATION_DOMAIN = {
    cirq.rx(0.37): 1, cirq.ry(-1.1): 1, cirq.rz(2.5): 1, cirq.X**0.31: 1, cirq.Y**-0.5: 1, cirq.H: 1,
    cirq.T: 1, cirq.S**-1: 1, cirq.PhasedXPowGate(phase_exponent=0.23, exponent=0.61): 1,
    cirq.CNOT: 2, cirq.CZ**0.42: 2, cirq.ISWAP**0.5: 2, cirq.SWAP: 2, cirq.FSimGate(0.3, 0.9): 2,
    cirq.XXPowGate(exponent=0.2): 2, cirq.CCX: 3, cirq.CSWAP: 3, cirq.CCZ**0.7: 3,
}


def assert_state(ours, reference, precision):
    assert ours.dtype == (np.complex128 if precision == "double" else np.complex64)
    np.testing.assert_allclose(ours, reference, atol=STATE_ATOL[precision], rtol=0)


class TestCircuits:
    @pytest.mark.parametrize("precision, fusion", OPTIONS)
    @pytest.mark.parametrize("seed", [3, 11])
    def test_random_default_domain(self, precision, fusion, seed):
        qubits = cirq.LineQubit.range(7)
        circuit = cirq.testing.random_circuit(qubits, n_moments=14, op_density=0.9, random_state=seed)
        ours = Simulator(precision=precision, fusion=fusion).simulate(circuit, qubit_order=qubits)
        assert_state(ours.final_state_vector, reference_state(circuit, qubits), precision)

    @pytest.mark.parametrize("precision, fusion", OPTIONS)
    def test_random_rotation_domain(self, precision, fusion):
        qubits = cirq.LineQubit.range(6)
        circuit = cirq.testing.random_circuit(qubits, n_moments=16, op_density=0.9,
                                              gate_domain=ROTATION_DOMAIN, random_state=5)
        ours = Simulator(precision=precision, fusion=fusion).simulate(circuit, qubit_order=qubits)
        assert_state(ours.final_state_vector, reference_state(circuit, qubits), precision)

    @pytest.mark.parametrize("n", [2, 5, 7])
    @pytest.mark.parametrize("inverse, without_reverse", [(False, False), (True, False), (False, True)])
    def test_qft(self, n, inverse, without_reverse):
        qubits = cirq.LineQubit.range(n)
        circuit = prepared(qubits, n) + cirq.Circuit(
            cirq.qft(*qubits, inverse=inverse, without_reverse=without_reverse))
        ours = Simulator().simulate(circuit).final_state_vector
        assert_state(ours, reference_state(circuit), "double")

    def test_empty_moments_and_identities(self):
        q = cirq.LineQubit.range(3)
        circuit = cirq.Circuit(cirq.H(q[0]), cirq.Moment(), cirq.I(q[1]), cirq.IdentityGate(2)(q[1], q[2]),
                               cirq.WaitGate(cirq.Duration(nanos=10))(q[2]), cirq.CNOT(q[0], q[2]))
        assert_state(Simulator().simulate(circuit).final_state_vector, reference_state(circuit), "double")


class TestControls:
    CASES = {
        "x-controls-01": lambda q: cirq.X(q[0]).controlled_by(q[1], q[2], control_values=[0, 1]),
        "h-controls-10": lambda q: cirq.ControlledGate(cirq.H, num_controls=2, control_values=[1, 0]).on(
            q[3], q[0], q[1]),
        "sum-of-products": lambda q: cirq.X(q[2]).controlled_by(
            q[0], q[1], control_values=cirq.SumOfProducts([(0, 1), (1, 0)])),
        "product-with-free-control": lambda q: cirq.Z(q[1]).controlled_by(
            q[0], q[3], control_values=cirq.ProductOfSums([(0, 1), (0,)])),
        "matrix-2q-control-0": lambda q: cirq.MatrixGate(random_unitary(2, 1)).on(q[1], q[3]).controlled_by(
            q[0], control_values=[0]),
        "iswap-power": lambda q: (cirq.ISWAP**0.3).on(q[0], q[2]).controlled_by(q[3]),
        "global-phase": lambda q: cirq.GlobalPhaseGate(cmath.exp(0.7j)).on().controlled_by(q[1], q[2]),
        "global-phase-control-0": lambda q: cirq.GlobalPhaseGate(1j).on().controlled_by(
            q[1], control_values=[0]),
        "nested": lambda q: cirq.Y(q[0]).controlled_by(q[1]).controlled_by(q[2], control_values=[0]),
        "x-power-shifted": lambda q: cirq.XPowGate(exponent=0.5, global_shift=0.3).on(q[2]).controlled_by(q[0]),
        "controlled-qft": lambda q: cirq.qft(q[0], q[1], q[2]).controlled_by(q[3], control_values=[0]),
        "ccx": lambda q: cirq.CCX(q[3], q[1], q[0]),
        "cswap": lambda q: cirq.CSWAP(q[2], q[0], q[3]),
        "ccz-power": lambda q: (cirq.CCZ**0.5).on(q[0], q[1], q[3]),
        "cnot-power": lambda q: (cirq.CNOT**0.7).on(q[2], q[1]),
        "five-controls": lambda q: cirq.rx(0.9).on(q[4]).controlled_by(*q[:4], control_values=[1, 0, 1, 0]),
    }

    @pytest.mark.parametrize("name", sorted(CASES))
    @pytest.mark.parametrize("fusion", [True, False])
    def test_controlled(self, name, fusion):
        q = cirq.LineQubit.range(5)
        circuit = prepared(q, 7) + cirq.Circuit(self.CASES[name](q))
        ours = Simulator(fusion=fusion).simulate(circuit, qubit_order=q).final_state_vector
        assert_state(ours, reference_state(circuit, q), "double")

    def test_controls_stay_controls(self):
        q = cirq.LineQubit.range(4)
        circuit = cirq.Circuit(cirq.X(q[0]).controlled_by(q[1], q[2], control_values=[0, 1]), cirq.CCZ(*q[:3]),
                               cirq.CNOT(q[3], q[0]))
        gates = translate(circuit, q, "statevector").program.instructions
        # Cirq's qubit i is program qubit 3 - i; CCZ is symmetric, so any of its qubits may be the target.
        assert [(g.name, g.targets, sorted(zip(g.controls, g.control_states))) for g in (gates[0], gates[2])] == [
            ("x", (3,), [(1, 1), (2, 0)]),
            ("x", (3,), [(0, 1)]),
        ]
        assert gates[1].name == "z" and set(gates[1].targets + gates[1].controls) == {1, 2, 3}
        assert gates[1].control_states == (1, 1)


class TestGateZoo:
    GATES = {
        "x": cirq.X, "y**0.5": cirq.Y**0.5, "z**0.25": cirq.Z**0.25, "h**0.7": cirq.H**0.7, "s": cirq.S,
        "t-inverse": cirq.T**-1, "rx": cirq.rx(1.3), "ry": cirq.ry(-0.4), "rz": cirq.rz(5.9),
        "phased-x": cirq.PhasedXPowGate(phase_exponent=0.1, exponent=0.3),
        "phased-xz": cirq.PhasedXZGate(x_exponent=0.2, z_exponent=0.7, axis_phase_exponent=-0.3),
        "matrix-1q": cirq.MatrixGate(random_unitary(1, 3)), "fsim": cirq.FSimGate(1.1, 0.4),
        "iswap": cirq.ISWAP, "sqrt-swap": cirq.SWAP**0.5, "cz**0.3": cirq.CZ**0.3, "yy": cirq.YY**0.4,
        "zz": cirq.ZZ**0.9, "givens": cirq.givens(0.6), "matrix-3q": cirq.MatrixGate(random_unitary(3, 4)),
        "matrix-4q": cirq.MatrixGate(random_unitary(4, 5)), "ccx**0.5": cirq.CCX**0.5,
        "pauli-string": cirq.DensePauliString("XYZ"), "identity-3": cirq.IdentityGate(3),
        "random-phase-shift": cirq.ZPowGate(exponent=0.3, global_shift=0.8),
        "matrix-hidden-control-0": cirq.MatrixGate(cirq.unitary(cirq.ControlledGate(cirq.H, control_values=[0]))),
        "matrix-hidden-controls": cirq.MatrixGate(cirq.unitary(
            cirq.ControlledGate(cirq.MatrixGate(random_unitary(1, 6)), num_controls=2, control_values=[1, 0]))),
    }

    @pytest.mark.parametrize("name", sorted(GATES))
    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_gate(self, name, precision):
        q = cirq.LineQubit.range(5)
        gate = self.GATES[name]
        op = gate.on(*q[1:1 + cirq.num_qubits(gate)])
        circuit = prepared(q, 2) + cirq.Circuit(op)
        ours = Simulator(precision=precision).simulate(circuit, qubit_order=q).final_state_vector
        assert_state(ours, reference_state(circuit, q), precision)

    def test_global_phase_is_kept(self):
        q = cirq.LineQubit(0)
        circuit = cirq.Circuit(cirq.H(q), cirq.global_phase_operation(cmath.exp(0.4j)), cirq.X(q) ** 0.5)
        assert_state(Simulator().simulate(circuit).final_state_vector, reference_state(circuit), "double")

    def test_wide_gate_decomposes(self):
        # A 6-qubit operation that Cirq decomposes (a controlled QFT) is not built as one matrix.
        q = cirq.LineQubit.range(7)
        op = cirq.qft(*q[:5]).controlled_by(q[6])
        translation = translate(cirq.Circuit(op), q, "statevector")
        assert all(len(g.targets) <= 4 for g in translation.program.instructions)
        circuit = prepared(q, 1) + cirq.Circuit(op)
        assert_state(Simulator().simulate(circuit, qubit_order=q).final_state_vector,
                     reference_state(circuit, q), "double")

    @pytest.mark.parametrize("op, name, params", [
        (cirq.X, "x", ()), (cirq.S**-1, "sdg", ()), (cirq.X**0.5, "sx", ()), (cirq.Y**-0.5, "sydg", ()),
        (cirq.rz(0.3), "rz", (0.3,)), (cirq.Z**0.3, "p", (0.3 * np.pi,)), (cirq.rx(-2.0), "rx", (-2.0,)),
        (cirq.ry(3.0), "ry", (3.0,)), (cirq.H, "h", ()), (cirq.T, "t", ()),
    ])
    def test_catalogue_form(self, op, name, params):
        q = cirq.LineQubit(0)
        (gate,) = translate(cirq.Circuit(op(q)), [q], "statevector").program.instructions
        assert gate.name == name
        np.testing.assert_allclose(gate.params, params, atol=1e-12)


class TestQubitOrders:
    @pytest.mark.parametrize("kind", ["line", "grid", "named"])
    def test_default_order(self, kind):
        qubits = {
            "line": cirq.LineQubit.range(4),
            "grid": [cirq.GridQubit(r, c) for r in range(2) for c in range(2)],
            "named": [cirq.NamedQubit(name) for name in ("delta", "alpha", "charlie", "bravo")],
        }[kind]
        circuit = prepared(qubits, 9) + cirq.Circuit(cirq.CNOT(qubits[0], qubits[3]), cirq.CZ(qubits[2], qubits[1]),
                                                     cirq.X(qubits[1]))
        ours = Simulator().simulate(circuit)
        assert list(ours.qubit_map) == sorted(qubits)
        assert_state(ours.final_state_vector, reference_state(circuit), "double")

    def test_explicit_order_with_extra_qubit(self):
        q = cirq.LineQubit.range(3)
        extra = cirq.NamedQubit("spare")
        order = [q[2], extra, q[0], q[1]]
        circuit = cirq.Circuit(cirq.X(q[0]), cirq.H(q[1]), cirq.CNOT(q[1], q[2]))
        ours = Simulator().simulate(circuit, qubit_order=order)
        assert ours.qubit_map == {qb: i for i, qb in enumerate(order)}
        assert_state(ours.final_state_vector, reference_state(circuit, order), "double")

    def test_qubit_order_object(self):
        q = cirq.LineQubit.range(4)
        circuit = prepared(q, 4) + cirq.Circuit(cirq.CNOT(q[0], q[3]))
        order = cirq.QubitOrder.explicit([q[3], q[1]], fallback=cirq.QubitOrder.DEFAULT)
        ours = Simulator().simulate(circuit, qubit_order=order).final_state_vector
        assert_state(ours, reference_state(circuit, order), "double")


class TestInitialStates:
    @pytest.mark.parametrize("initial", [0, 5, 13])
    def test_basis_state(self, initial):
        q = cirq.LineQubit.range(4)
        circuit = cirq.Circuit(cirq.H(q[0]), cirq.CNOT(q[1], q[2]), cirq.T(q[3]))
        ours = Simulator().simulate(circuit, initial_state=initial).final_state_vector
        assert_state(ours, reference_state(circuit, initial_state=initial), "double")

    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_vector_with_custom_order(self, precision):
        q = cirq.LineQubit.range(3)
        order = [q[1], q[2], q[0]]
        rng = np.random.default_rng(8)
        psi = rng.normal(size=8) + 1j * rng.normal(size=8)
        psi /= np.linalg.norm(psi)
        circuit = cirq.Circuit(cirq.CNOT(q[0], q[1]), cirq.ry(0.4)(q[2]))
        ours = Simulator(precision=precision).simulate(circuit, qubit_order=order, initial_state=psi)
        assert_state(ours.final_state_vector, reference_state(circuit, order, initial_state=psi), precision)


class TestSweeps:
    def test_simulate_sweep(self):
        q = cirq.LineQubit.range(3)
        a, b = sympy.symbols("a b")
        circuit = cirq.Circuit(cirq.rx(a)(q[0]), cirq.CNOT(q[0], q[1]), cirq.ZPowGate(exponent=b)(q[1]),
                               cirq.ry(a * 2 + b)(q[2]))
        sweep = cirq.Linspace("a", 0, 2, 3) * cirq.Points("b", [0.25, -0.5])
        results = Simulator().simulate_sweep(circuit, sweep)
        assert len(results) == 6
        for result, resolver in zip(results, sweep):
            assert result.params == resolver
            assert_state(result.final_state_vector, reference_state(circuit, resolver=resolver), "double")


class TestExpectationValues:
    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_pauli_sums(self, precision):
        q = cirq.LineQubit.range(4)
        circuit = cirq.testing.random_circuit(q, n_moments=8, op_density=0.9, random_state=21)
        observables = [cirq.Z(q[0]) * cirq.Z(q[2]), 0.5 * cirq.X(q[1]) - 1.5 * cirq.Y(q[3]) * cirq.X(q[0]),
                       cirq.PauliSum.from_pauli_strings([cirq.PauliString(2.0)])]
        ours = Simulator(precision=precision).simulate_expectation_values(circuit, observables, qubit_order=q)
        ref = cirq.Simulator(dtype=np.complex128).simulate_expectation_values(circuit, observables, qubit_order=q)
        np.testing.assert_allclose(ours, ref, atol=1e-9 if precision == "double" else 1e-5)

    def test_sweep(self):
        q = cirq.LineQubit.range(2)
        circuit = cirq.Circuit(cirq.ry(sympy.Symbol("a"))(q[0]), cirq.CNOT(*q))
        sweep = cirq.Linspace("a", 0, np.pi, 4)
        ours = Simulator().simulate_expectation_values_sweep(circuit, [cirq.Z(q[1]), cirq.X(q[0])], sweep)
        np.testing.assert_allclose(ours, [[np.cos(a), 0] for a in np.linspace(0, np.pi, 4)], atol=1e-12)

    def test_terminal_measurements_need_permission(self):
        q = cirq.LineQubit(0)
        circuit = cirq.Circuit(cirq.H(q), cirq.measure(q))
        with pytest.raises(ValueError, match="terminal measurements"):
            Simulator().simulate_expectation_values(circuit, cirq.Z(q))
        (value,) = Simulator(seed=2).simulate_expectation_values(circuit, cirq.Z(q),
                                                                permit_terminal_measurements=True)
        assert abs(abs(value) - 1) < 1e-12  # the measured trajectory is collapsed, as in Cirq


@pytest.mark.parametrize("precision", ["double", "single"])
def test_final_state_vector_method(precision):
    # The simulator's own final_state_vector: a custom qubit order, a parameter and an initial basis state.
    qubits = cirq.LineQubit.range(4)
    theta = sympy.Symbol("theta")
    circuit = cirq.testing.random_circuit(qubits, n_moments=8, op_density=0.8, random_state=5)
    circuit += cirq.Circuit(cirq.rx(theta)(qubits[2]), cirq.CZ(qubits[0], qubits[3]))
    order = [qubits[2], qubits[0], qubits[3], qubits[1]]
    resolver = cirq.ParamResolver({"theta": 0.83})
    ours = Simulator(precision=precision).final_state_vector(circuit, resolver, qubit_order=order, initial_state=5)
    assert_state(ours, reference_state(circuit, order, initial_state=5, resolver=resolver), precision)
