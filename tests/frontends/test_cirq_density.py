"""velloran_gpu.cirq.DensityMatrixSimulator against cirq.DensityMatrixSimulator: noise channels, Kraus
channels, noise models, qubit orders, initial states, sweeps, sampling and expectation values, in both
precisions."""

import numpy as np
import pytest

cirq = pytest.importorskip("cirq")
sympy = pytest.importorskip("sympy")

from cirq_reference import (  # noqa: E402
    assert_counts_match,
    histogram_probabilities,
    prepared,
    random_unitary,
    reference_density,
)

from velloran_gpu.cirq import DensityMatrixSimulator, DensityMatrixTrialResult  # noqa: E402
from velloran_gpu.cirq._translate import translate  # noqa: E402

ATOL = {"double": 1e-10, "single": 2e-5}


def assert_density(ours, reference, precision):
    assert ours.dtype == (np.complex128 if precision == "double" else np.complex64)
    np.testing.assert_allclose(ours, reference, atol=ATOL[precision], rtol=0)


def _custom_kraus():
    k0 = np.sqrt(0.7) * random_unitary(1, 9)
    k1 = np.sqrt(0.3) * random_unitary(1, 10)
    return cirq.KrausChannel([k0, k1])


def _two_qubit_kraus():
    u = random_unitary(2, 3)
    return cirq.KrausChannel([np.sqrt(0.6) * np.eye(4), np.sqrt(0.4) * u])


CHANNELS = {
    "depolarize": (cirq.depolarize(0.13), 1),
    "depolarize-2q": (cirq.depolarize(0.2, n_qubits=2), 2),
    "amplitude-damp": (cirq.amplitude_damp(0.3), 1),
    "phase-damp": (cirq.phase_damp(0.45), 1),
    "bit-flip": (cirq.bit_flip(0.21), 1),
    "phase-flip": (cirq.phase_flip(0.37), 1),
    "generalized-amplitude-damp": (cirq.generalized_amplitude_damp(0.3, 0.2), 1),
    "asymmetric-depolarize": (cirq.asymmetric_depolarize(0.05, 0.1, 0.15), 1),
    "reset": (cirq.ResetChannel(), 1),
    "custom-kraus": (_custom_kraus(), 1),
    "kraus-2q": (_two_qubit_kraus(), 2),
    "mixture": (cirq.MixedUnitaryChannel([(0.25, cirq.unitary(cirq.Y)), (0.75, np.eye(2))]), 1),
}


class TestChannels:
    @pytest.mark.parametrize("name", sorted(CHANNELS))
    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_channel(self, name, precision):
        channel, k = CHANNELS[name]
        q = cirq.LineQubit.range(4)
        circuit = prepared(q, 4) + cirq.Circuit(cirq.CNOT(q[0], q[2]), channel.on(*q[1:1 + k]), cirq.CZ(q[1], q[3]),
                                                channel.on(*q[3 - k + 1:4][::-1]))
        ours = DensityMatrixSimulator(precision=precision).simulate(circuit, qubit_order=q)
        assert isinstance(ours, DensityMatrixTrialResult)
        assert_density(ours.final_density_matrix, reference_density(circuit, q), precision)

    @pytest.mark.parametrize("channel, name", [
        (cirq.depolarize(0.1), "depolarizing"), (cirq.amplitude_damp(0.2), "amplitude_damping"),
        (cirq.phase_damp(0.3), "phase_damping"), (cirq.bit_flip(0.1), "bit_flip"),
        (cirq.phase_flip(0.4), "phase_flip"), (cirq.generalized_amplitude_damp(0.1, 0.2), None),
    ])
    def test_builtin_channel_names(self, channel, name):
        q = cirq.LineQubit(0)
        (instruction,) = translate(cirq.Circuit(channel(q)), [q], "density_matrix").program.instructions
        assert instruction.name == name

    def test_random_noisy_circuit(self):
        q = cirq.LineQubit.range(5)
        circuit = cirq.testing.random_circuit(q, n_moments=10, op_density=0.8, random_state=2)
        noisy = circuit.with_noise(cirq.amplitude_damp(0.05))
        ours = DensityMatrixSimulator().simulate(noisy, qubit_order=q).final_density_matrix
        assert_density(ours, reference_density(noisy, q), "double")

    def test_unitary_gates_on_density(self):
        q = cirq.LineQubit.range(4)
        circuit = prepared(q, 6) + cirq.Circuit(
            cirq.X(q[0]).controlled_by(q[1], q[2], control_values=[0, 1]), cirq.qft(*q),
            cirq.GlobalPhaseGate(1j).on().controlled_by(q[3], control_values=[0]),
            cirq.MatrixGate(random_unitary(3, 2)).on(q[0], q[3], q[1]), cirq.FSimGate(0.4, 0.2)(q[2], q[0]))
        ours = DensityMatrixSimulator().simulate(circuit).final_density_matrix
        assert_density(ours, reference_density(circuit), "double")


class _TwoQubitDephasing(cirq.NoiseModel):
    """Dephasing after every two-qubit operation, on both of its qubits."""

    def noisy_operation(self, operation):
        if len(operation.qubits) == 2:
            return [operation, cirq.phase_flip(0.1).on_each(*operation.qubits)]
        return operation


class TestNoiseModels:
    MODELS = {
        "gate": lambda: cirq.depolarize(0.03),
        "constant": lambda: cirq.ConstantQubitNoiseModel(cirq.amplitude_damp(0.1)),
        "custom": lambda: _TwoQubitDephasing(),
    }

    @pytest.mark.parametrize("name", sorted(MODELS))
    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_noise_model(self, name, precision):
        q = cirq.LineQubit.range(4)
        circuit = cirq.testing.random_circuit(q, n_moments=6, op_density=0.9, random_state=7)
        ours = DensityMatrixSimulator(precision=precision, noise=self.MODELS[name]()).simulate(circuit, qubit_order=q)
        ref = reference_density(circuit, q, noise=self.MODELS[name]())
        assert_density(ours.final_density_matrix, ref, precision)

    def test_noise_model_on_extra_qubit_order(self):
        q = cirq.LineQubit.range(3)
        order = [q[2], cirq.NamedQubit("idle"), q[0], q[1]]
        circuit = cirq.Circuit(cirq.H(q[0]), cirq.CNOT(q[0], q[2]), cirq.X(q[1]))
        noise = cirq.ConstantQubitNoiseModel(cirq.bit_flip(0.2))
        ours = DensityMatrixSimulator(noise=noise).simulate(circuit, qubit_order=order).final_density_matrix
        assert_density(ours, reference_density(circuit, order, noise=noise), "double")

    def test_noisy_sampling(self):
        q = cirq.LineQubit.range(3)
        body = cirq.Circuit(cirq.H(q[0]), cirq.CNOT(q[0], q[1]), cirq.CNOT(q[1], q[2]))
        noise = cirq.ConstantQubitNoiseModel(cirq.bit_flip(0.1))
        shots = 4000
        result = DensityMatrixSimulator(noise=noise, seed=9).run(body + cirq.measure(*q, key="m"), repetitions=shots)
        # The model also adds noise after the measurement's moment, which no longer affects the record.
        rho = reference_density(body, q, noise=noise)
        assert_counts_match(dict(result.histogram(key="m")), histogram_probabilities(rho, [0, 1, 2], 3), shots)


class TestStatesAndOrders:
    @pytest.mark.parametrize("initial", ["int", "vector", "matrix"])
    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_initial_state(self, initial, precision):
        q = cirq.LineQubit.range(3)
        order = [q[1], q[0], q[2]]
        rng = np.random.default_rng(3)
        psi = rng.normal(size=8) + 1j * rng.normal(size=8)
        psi /= np.linalg.norm(psi)
        mixed = 0.6 * np.outer(psi, psi.conj()) + 0.4 * np.diag(rng.dirichlet(np.ones(8)))
        state = {"int": 6, "vector": psi, "matrix": mixed}[initial]
        circuit = cirq.Circuit(cirq.CNOT(q[0], q[2]), cirq.amplitude_damp(0.3)(q[1]), cirq.ry(0.8)(q[0]))
        ours = DensityMatrixSimulator(precision=precision).simulate(circuit, qubit_order=order, initial_state=state)
        ref = reference_density(circuit, order, initial_state=state)
        assert_density(ours.final_density_matrix, ref, precision)
        assert ours.qubit_map == {qb: i for i, qb in enumerate(order)}

    def test_sweep(self):
        q = cirq.LineQubit.range(2)
        gamma = sympy.Symbol("g")
        circuit = cirq.Circuit(cirq.X(q[0]), cirq.rx(gamma)(q[1]), cirq.CNOT(*q), cirq.depolarize(0.1)(q[1]))
        sweep = cirq.Linspace("g", 0, 3, 4)
        results = DensityMatrixSimulator().simulate_sweep(circuit, sweep)
        for result, resolver in zip(results, sweep):
            assert result.params == resolver
            assert_density(result.final_density_matrix, reference_density(circuit, resolver=resolver), "double")

    def test_reduced_density_matrix(self):
        q = cirq.LineQubit.range(3)
        circuit = prepared(q, 2) + cirq.Circuit(cirq.CNOT(q[0], q[1]), cirq.amplitude_damp(0.4)(q[2]))
        result = DensityMatrixSimulator().simulate(circuit)
        # Axes (row q0, q1, q2, column q0, q1, q2); trace out q1 and order the rest (q2, q0).
        tensor = reference_density(circuit).reshape((2,) * 6)
        reduced = np.einsum("abcdbf->cafd", tensor).reshape(4, 4)
        np.testing.assert_allclose(result.density_matrix_of([q[2], q[0]]), reduced, atol=1e-10)
        assert result.density_matrix_of() is result.final_density_matrix


class TestSampling:
    def test_terminal_distribution(self):
        q = cirq.LineQubit.range(4)
        body = prepared(q, 8) + cirq.Circuit(cirq.CNOT(q[0], q[3]), cirq.depolarize(0.2)(q[1]),
                                             cirq.amplitude_damp(0.5)(q[3]))
        shots = 4000
        result = DensityMatrixSimulator(precision="single", seed=4).run(
            body + cirq.measure(q[3], q[1], key="m"), repetitions=shots)
        probabilities = histogram_probabilities(reference_density(body, q), [3, 1], 4)
        assert_counts_match(dict(result.histogram(key="m")), probabilities, shots)

    def test_simulate_collapses_on_measurement(self):
        q = cirq.LineQubit.range(2)
        circuit = cirq.Circuit(cirq.H(q[0]), cirq.CNOT(*q), cirq.depolarize(0.3)(q[1]), cirq.measure(q[0], key="m"))
        for seed in range(3):
            result = DensityMatrixSimulator(seed=seed).simulate(circuit)
            m = int(result.measurements["m"][0])
            rho = result.final_density_matrix
            assert abs(np.trace(rho) - 1) < 1e-12
            # Rows and columns with the measured qubit (the most significant bit) different from m are zero.
            assert np.allclose(rho[(1 - m) * 2:(1 - m) * 2 + 2, :], 0)


class TestExpectationValues:
    def test_against_cirq(self):
        q = cirq.LineQubit.range(3)
        circuit = prepared(q, 3) + cirq.Circuit(cirq.CNOT(q[0], q[1]), cirq.amplitude_damp(0.3)(q[2]),
                                                cirq.depolarize(0.1)(q[0]))
        observables = [cirq.Z(q[0]) * cirq.X(q[2]), 2 * cirq.Y(q[1]) + 0.5]
        ours = DensityMatrixSimulator().simulate_expectation_values(circuit, observables)
        ref = cirq.DensityMatrixSimulator(dtype=np.complex128).simulate_expectation_values(circuit, observables)
        np.testing.assert_allclose(ours, ref, atol=1e-10)
        assert all(isinstance(v, float) for v in ours)
