"""Sampling with velloran_gpu.cirq.Simulator: record shapes and keys as Cirq defines them, seeds, terminal
measurement distributions, and mid-circuit measurement with classical control and reset, compared with exact
distributions that Cirq computes (measurements deferred onto ancillas)."""

import numpy as np
import pytest

cirq = pytest.importorskip("cirq")
sympy = pytest.importorskip("sympy")

from cirq_reference import (  # noqa: E402
    assert_counts_match,
    exact_record_distribution,
    histogram_probabilities,
    prepared,
    record_outcomes,
    reference_state,
)

from velloran_gpu.cirq import DensityMatrixSimulator, Simulator  # noqa: E402


class TestRecords:
    def test_deterministic_records_match_cirq(self):
        q = cirq.LineQubit.range(4)
        circuit = cirq.Circuit(
            cirq.X(q[0]), cirq.X(q[3]),
            cirq.measure(q[0], q[1], key="a"),
            cirq.measure(q[3], q[2], q[0], key="b", invert_mask=(False, True)),
            cirq.X(q[1]),
            cirq.measure(q[1], q[0], key="a"),
            cirq.measure(q[2], key=cirq.MeasurementKey("c", path=("sub",))),
        )
        ours = Simulator(seed=1).run(circuit, repetitions=5)
        ref = cirq.Simulator(seed=1).run(circuit, repetitions=5)
        assert isinstance(ours, cirq.ResultDict)
        assert ours.records.keys() == ref.records.keys()
        for key in ref.records:
            assert ours.records[key].shape == ref.records[key].shape
            np.testing.assert_array_equal(ours.records[key], ref.records[key])
        assert ours.repetitions == 5
        assert ours.records["b"][:, 0].tolist() == [[1, 1, 1]] * 5
        assert ours.records["a"][:, 1].tolist() == [[1, 1]] * 5

    def test_histogram_and_sweep_params(self):
        q = cirq.LineQubit.range(2)
        circuit = cirq.Circuit(cirq.XPowGate(exponent=sympy.Symbol("t"))(q[0]), cirq.CNOT(*q),
                               cirq.measure(*q, key="m"))
        results = Simulator(seed=4).run_sweep(circuit, cirq.Points("t", [0, 1]), repetitions=20)
        assert [r.params["t"] for r in results] == [0, 1]
        assert results[0].histogram(key="m") == {0: 20}
        assert results[1].histogram(key="m") == {3: 20}

    def test_no_measurements_is_refused(self):
        with pytest.raises(ValueError, match="no measurements"):
            Simulator().run(cirq.Circuit(cirq.H(cirq.LineQubit(0))))

    def test_seeded_runs_repeat(self):
        q = cirq.LineQubit.range(3)
        circuit = prepared(q, 1) + cirq.Circuit(cirq.measure(q[0], key="a"), cirq.X(q[1]).with_classical_controls("a"),
                                                cirq.measure(*q, key="m"))
        first = Simulator(seed=77).run(circuit, repetitions=50)
        again = Simulator(seed=77).run(circuit, repetitions=50)
        np.testing.assert_array_equal(first.records["m"], again.records["m"])
        seeded = Simulator(seed=np.random.RandomState(5))
        assert seeded.run(circuit, repetitions=50) != seeded.run(circuit, repetitions=50)

    def test_simulate_reports_collapsed_trajectory(self):
        q = cirq.LineQubit.range(3)
        circuit = cirq.Circuit(cirq.H.on_each(*q), cirq.measure(q[0], q[2], key="m"))
        for seed in range(4):
            result = Simulator(seed=seed).simulate(circuit)
            bits = result.measurements["m"]
            assert result.measurements["m"].dtype == np.uint8
            expected = np.zeros(8, dtype=complex)
            for middle in (0, 1):
                expected[(bits[0] << 2) | (middle << 1) | bits[1]] = 1 / np.sqrt(2)
            np.testing.assert_allclose(result.final_state_vector, expected, atol=1e-12)


class TestTerminalDistribution:
    SHOTS = 4000

    @pytest.mark.parametrize("precision, fusion", [("double", True), ("single", False)])
    def test_random_circuit(self, precision, fusion):
        q = cirq.LineQubit.range(5)
        body = cirq.testing.random_circuit(q, n_moments=10, op_density=0.9, random_state=13)
        order = [q[4], q[0], q[2]]
        circuit = body + cirq.Circuit(cirq.measure(*order, key="m"))
        result = Simulator(precision=precision, fusion=fusion, seed=3).run(circuit, repetitions=self.SHOTS)
        probabilities = histogram_probabilities(reference_state(body, q), [4, 0, 2], 5)
        assert_counts_match(dict(result.histogram(key="m")), probabilities, self.SHOTS)

    def test_grid_qubits(self):
        q = [cirq.GridQubit(1, 0), cirq.GridQubit(0, 1), cirq.GridQubit(0, 0)]
        body = prepared(q, 3) + cirq.Circuit(cirq.CZ(q[0], q[1]), cirq.H(q[2]))
        circuit = body + cirq.Circuit(cirq.measure(*q, key="g"))
        result = Simulator(seed=8).run(circuit, repetitions=self.SHOTS)
        positions = [sorted(q).index(x) for x in q]
        probabilities = histogram_probabilities(reference_state(body), positions, 3)
        assert_counts_match(dict(result.histogram(key="g")), probabilities, self.SHOTS)


def _teleport():
    msg, a, b = cirq.LineQubit.range(3)
    return cirq.Circuit(
        cirq.ry(1.1)(msg), cirq.rz(0.4)(msg), cirq.H(a), cirq.CNOT(a, b), cirq.CNOT(msg, a), cirq.H(msg),
        cirq.measure(msg, key="x"), cirq.measure(a, key="z"),
        cirq.X(b).with_classical_controls("z"), cirq.Z(b).with_classical_controls("x"),
        cirq.ry(-1.1)(b), cirq.measure(b, key="out"),
    )


def _repeated_key():
    q = cirq.LineQubit.range(3)
    return cirq.Circuit(
        cirq.H(q[0]), cirq.measure(q[0], key="r"), cirq.ry(0.7)(q[0]), cirq.measure(q[0], key="r"),
        cirq.X(q[1]).with_classical_controls(cirq.KeyCondition(cirq.MeasurementKey("r"), index=-2)),
        cirq.H(q[2]).with_classical_controls("r"), cirq.measure(q[1], q[2], key="end"),
    )


def _sympy_condition():
    q = cirq.LineQubit.range(3)
    return cirq.Circuit(
        cirq.H(q[0]), cirq.ry(1.9)(q[1]), cirq.measure(q[0], q[1], key="ab"),
        cirq.X(q[2]).with_classical_controls(sympy.Eq(sympy.Symbol("ab"), 2)),
        cirq.H(q[0]).with_classical_controls(sympy.Symbol("ab") > 0),
        cirq.measure(q[0], q[2], key="end"),
    )


def _reset_and_reuse():
    q = cirq.LineQubit.range(2)
    return cirq.Circuit(
        cirq.ry(1.2)(q[0]), cirq.CNOT(*q), cirq.measure(q[0], key="first"), cirq.reset(q[0]), cirq.H(q[0]),
        cirq.ry(0.3)(q[1]).with_classical_controls("first"), cirq.reset(q[1]), cirq.ry(0.5)(q[1]),
        cirq.measure(q[0], q[1], key="second"),
    )


def _inverted_condition():
    q = cirq.LineQubit.range(3)
    return cirq.Circuit(
        cirq.ry(0.9)(q[0]), cirq.H(q[1]), cirq.measure(q[0], q[1], key="m", invert_mask=(True, False)),
        cirq.X(q[2]).with_classical_controls("m"), cirq.CNOT(q[2], q[1]),
        cirq.H(q[0]).with_classical_controls(sympy.Eq(sympy.Symbol("m"), 3)),
        cirq.measure(q[0], q[1], q[2], key="end"),
    )


def _conjunction():
    q = cirq.LineQubit.range(4)
    return cirq.Circuit(
        cirq.H(q[0]), cirq.ry(2.0)(q[1]), cirq.measure(q[0], key="a"), cirq.measure(q[1], key="b"),
        cirq.X(q[2]).with_classical_controls("a", "b"),
        cirq.H(q[3]).with_classical_controls(cirq.BitMaskKeyCondition("a", bitmask=1, target_value=0)),
        cirq.measure(q[2], q[3], key="end"),
    )


def _subcircuit():
    q = cirq.LineQubit.range(2)
    inner = cirq.FrozenCircuit(cirq.ry(0.8)(q[0]), cirq.measure(q[0], key="k"),
                               cirq.X(q[1]).with_classical_controls("k"))
    return cirq.Circuit(cirq.CircuitOperation(inner, repetitions=2, use_repetition_ids=True),
                        cirq.measure(q[1], key="end"))


MID_CIRCUITS = {
    "teleport": _teleport, "repeated-key": _repeated_key, "sympy-condition": _sympy_condition,
    "reset": _reset_and_reuse, "inverted-condition": _inverted_condition, "conjunction": _conjunction,
    "subcircuit": _subcircuit,
}


class TestMidCircuit:
    SHOTS = 3000

    @pytest.mark.parametrize("name", sorted(MID_CIRCUITS))
    @pytest.mark.parametrize("precision, fusion", [("double", True), ("single", False)])
    def test_statevector_distribution(self, name, precision, fusion):
        circuit = MID_CIRCUITS[name]()
        slots, probabilities = exact_record_distribution(circuit)
        result = Simulator(precision=precision, fusion=fusion, seed=12).run(circuit, repetitions=self.SHOTS)
        assert_counts_match(record_outcomes(result, slots), probabilities, self.SHOTS)

    @pytest.mark.parametrize("name", ["teleport", "reset", "sympy-condition"])
    def test_density_matrix_distribution(self, name):
        circuit = MID_CIRCUITS[name]()
        slots, probabilities = exact_record_distribution(circuit)
        result = DensityMatrixSimulator(seed=5).run(circuit, repetitions=self.SHOTS)
        assert_counts_match(record_outcomes(result, slots), probabilities, self.SHOTS)

    @pytest.mark.parametrize("simulator", [Simulator, DensityMatrixSimulator])
    def test_conditional_reset(self, simulator):
        q = cirq.LineQubit.range(3)
        circuit = cirq.Circuit(cirq.X(q[1]), cirq.X(q[2]), cirq.H(q[0]), cirq.measure(q[0], key="c"),
                               cirq.reset(q[1]).with_classical_controls("c"),
                               cirq.reset(q[2]).with_classical_controls(sympy.Eq(sympy.Symbol("c"), 0)),
                               cirq.measure(*q, key="m"))
        result = simulator(seed=3).run(circuit, repetitions=200)
        # c = 1 resets q1 and leaves q2; c = 0 the other way round.
        assert set(result.histogram(key="m")) == {0b101, 0b010}
        assert 60 < result.histogram(key="m")[0b101] < 140

    def test_teleported_state(self):
        # Every trajectory of the teleportation ends with the message on the last qubit.
        msg, a, b = cirq.LineQubit.range(3)
        circuit = _teleport()[:-2]
        expected = cirq.Simulator(dtype=np.complex128).simulate(
            cirq.Circuit(cirq.ry(1.1)(b), cirq.rz(0.4)(b))).final_state_vector
        for seed in range(4):
            result = Simulator(seed=seed).simulate(circuit)
            reduced = cirq.sub_state_vector(result.final_state_vector, [2], atol=1e-6)
            assert abs(abs(np.vdot(expected, reduced)) - 1) < 1e-9


class TestReadoutConfusion:
    SHOTS = 4000

    def test_single_qubit_confusion(self):
        q = cirq.LineQubit.range(2)
        matrix = np.array([[0.8, 0.2], [0.1, 0.9]])
        circuit = cirq.Circuit(cirq.X(q[1]), cirq.measure(*q, key="m", confusion_map={(0,): matrix, (1,): matrix}))
        result = Simulator(seed=6).run(circuit, repetitions=self.SHOTS)
        # q0 is |0> and q1 is |1>: each recorded bit is drawn from the matching confusion row.
        probabilities = {(a, b): matrix[0, a] * matrix[1, b] for a in (0, 1) for b in (0, 1)}
        counts = record_outcomes(result, [("m", 0, 0), ("m", 0, 1)])
        assert_counts_match(counts, probabilities, self.SHOTS)

    def test_two_qubit_confusion_is_big_endian(self):
        q = cirq.LineQubit.range(2)
        # Cirq indexes the matrix big-endian over the measured qubits: true 01 is recorded as 11.
        confusion = np.eye(4)[[0, 3, 2, 1]]
        # The X after the measurement keeps it mid-circuit in Cirq, where the confusion map is applied before
        # the invert mask as MeasurementGate documents (Cirq's terminal sampling applies them the other way).
        circuit = cirq.Circuit(cirq.X(q[1]), cirq.measure(*q, key="m", invert_mask=(False, True),
                                                           confusion_map={(0, 1): confusion}), cirq.X(q[0]))
        ours = Simulator(seed=1).run(circuit, repetitions=10)
        ref = cirq.Simulator(seed=1).run(circuit, repetitions=10)
        np.testing.assert_array_equal(ours.records["m"], ref.records["m"])
        assert ours.records["m"][0, 0].tolist() == [1, 0]
