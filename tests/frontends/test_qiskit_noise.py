"""qiskit_aer noise models on the Qiskit front end, against a DensityMatrix evolved with the same Kraus
operators (quantum errors after their instruction, before it for measurements; a qubit-specific error in
place of the all-qubit one) and readout confusion applied to the exact outcome law. Aer's simulator is not
used."""

from __future__ import annotations

import itertools

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
aer_noise = pytest.importorskip("qiskit_aer.noise")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.quantum_info import DensityMatrix, Kraus, SparsePauliOp  # noqa: E402

from velloran_gpu.qiskit import Backend, Estimator, Sampler  # noqa: E402


def _noise_model():
    model = aer_noise.NoiseModel()
    model.add_all_qubit_quantum_error(aer_noise.depolarizing_error(0.08, 1), ["h", "sx"])
    model.add_quantum_error(aer_noise.amplitude_damping_error(0.3), ["h"], [2])  # replaces depolarizing on q2
    model.add_all_qubit_quantum_error(aer_noise.depolarizing_error(0.05, 2), ["cx"])
    model.add_quantum_error(aer_noise.thermal_relaxation_error(50, 70, 10), ["x"], [1])
    model.add_all_qubit_quantum_error(aer_noise.pauli_error([("X", 0.1), ("I", 0.9)]), ["measure"])
    return model


ERRORS = {
    ("h", None): aer_noise.depolarizing_error(0.08, 1),
    ("sx", None): aer_noise.depolarizing_error(0.08, 1),
    ("h", (2,)): aer_noise.amplitude_damping_error(0.3),
    ("cx", None): aer_noise.depolarizing_error(0.05, 2),
    ("x", (1,)): aer_noise.thermal_relaxation_error(50, 70, 10),
    ("measure", None): aer_noise.pauli_error([("X", 0.1), ("I", 0.9)]),
}


def _error_for(name, qubits):
    return ERRORS.get((name, tuple(qubits)), ERRORS.get((name, None)))


def _circuit() -> QuantumCircuit:
    qc = QuantumCircuit(3)
    qc.h([0, 1, 2])
    qc.cx(0, 1)
    qc.x(1)
    qc.sx(2)
    qc.cx(2, 0)
    qc.ry(0.4, 1)
    return qc


def _reference_rho(qc: QuantumCircuit, measured=()) -> DensityMatrix:
    """The circuit's density matrix with every error applied, then the measurement errors of ``measured``."""
    rho = DensityMatrix.from_label("0" * qc.num_qubits)
    for ci in qc.data:
        qubits = [qc.find_bit(q).index for q in ci.qubits]
        rho = rho.evolve(ci.operation, qubits)
        error = _error_for(ci.operation.name, qubits)
        if error is not None:
            rho = rho.evolve(Kraus(error), qubits)
    for q in measured:
        rho = rho.evolve(Kraus(_error_for("measure", [q])), [q])
    return rho


class TestQuantumErrors:
    """Kraus channels from the model's quantum errors."""

    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_estimator(self, precision):
        qc = _circuit()
        labels = ["ZII", "IZI", "IIZ", "XXI", "YZX", "ZZZ"]
        ours = Estimator(noise_model=_noise_model(), precision=precision).run([(qc, labels)]).result()[0]
        rho = _reference_rho(qc)
        expected = [rho.expectation_value(SparsePauliOp(label)).real for label in labels]
        np.testing.assert_allclose(ours.data.evs, expected, atol=1e-9 if precision == "double" else 5e-5)

    def test_sampler_with_readout(self, ref):
        qc = _circuit()
        qc.measure_all()
        model = _noise_model()
        confusion0 = np.array([[0.9, 0.1], [0.2, 0.8]])
        everyone = np.array([[0.97, 0.03], [0.05, 0.95]])
        model.add_all_qubit_readout_error(aer_noise.ReadoutError(everyone))
        model.add_readout_error(aer_noise.ReadoutError(confusion0), [0])
        shots = 6000
        result = Sampler(noise_model=model, seed=8).run([qc], shots=shots).result()[0]
        rho = _reference_rho(qc.remove_final_measurements(inplace=False), measured=[0, 1, 2])
        true_law = rho.probabilities()  # index bit q = qubit q
        confusions = [confusion0, everyone, everyone]
        law = {}
        for recorded in itertools.product((0, 1), repeat=3):
            total = 0.0
            for index, p in enumerate(true_law):
                factor = 1.0
                for q in range(3):
                    factor *= confusions[q][(index >> q) & 1, recorded[q]]
                total += p * factor
            key = "".join(str(recorded[q]) for q in reversed(range(3)))
            law[key] = total
        ref.assert_counts_match(result.data.meas.get_counts(), law, shots)

    def test_backend_switches_to_density_matrix(self):
        qc = _circuit()
        qc.measure_all()
        result = Backend(noise_model=_noise_model()).run(qc, shots=10).result()
        assert result.results[0].metadata["method"] == "density_matrix"
        big = QuantumCircuit(16)
        big.h(0)
        big.measure_all()
        with pytest.raises(ValueError, match="density_matrix method"):
            Backend(noise_model=_noise_model()).run(big, shots=1)


class TestReadoutOnly:
    """A model with readout errors only keeps the state-vector method and flips recorded bits."""

    def test_flip_everything(self):
        model = aer_noise.NoiseModel()
        model.add_all_qubit_readout_error(aer_noise.ReadoutError([[0.0, 1.0], [1.0, 0.0]]))
        qc = QuantumCircuit(3, 3)
        qc.x(1)
        qc.measure(range(3), range(3))
        result = Backend(noise_model=model).run(qc, shots=20).result()
        assert result.get_counts() == {"101": 20}
        assert result.results[0].metadata["method"] == "statevector"

    def test_multi_qubit_readout_refused(self):
        model = aer_noise.NoiseModel()
        confusion = np.eye(4)
        confusion[0] = [0.9, 0.1, 0.0, 0.0]
        model.add_readout_error(aer_noise.ReadoutError(confusion), [0, 1])
        with pytest.raises(ValueError, match="several qubits"):
            Sampler(noise_model=model)

    def test_not_a_noise_model(self):
        with pytest.raises(TypeError, match="NoiseModel"):
            Sampler(noise_model={"depolarizing": 0.1})
