"""Refusals of the Cirq front end: unsupported operations named up front, bad options and inputs as
ValueError/TypeError, and the import error without Cirq installed."""

import os
import subprocess
import sys

import numpy as np
import pytest

cirq = pytest.importorskip("cirq")
sympy = pytest.importorskip("sympy")

from velloran_gpu.cirq import DensityMatrixSimulator, Simulator  # noqa: E402

Q = cirq.LineQubit.range(8)


class _Opaque(cirq.Gate):
    """A gate with neither unitary, Kraus operators nor decomposition."""

    def _num_qubits_(self):
        return 1

    def __repr__(self):
        return "OpaqueGate()"


REFUSED = {
    "unresolved-parameter": (Simulator, cirq.Circuit(cirq.rx(sympy.Symbol("theta"))(Q[0])),
                             ValueError, r"Rx.*unresolved parameters \['theta'\]"),
    "qudit": (Simulator, cirq.Circuit(cirq.IdentityGate(qid_shape=(3,)).on(cirq.LineQid(0, 3))),
              ValueError, "dimension 3; only qubits"),
    "channel-on-state-vector": (Simulator, cirq.Circuit(cirq.amplitude_damp(0.1)(Q[0])),
                                ValueError, r"amplitude_damp.*noise channel.*DensityMatrixSimulator"),
    "unmeasured-key": (Simulator, cirq.Circuit(cirq.X(Q[0]).with_classical_controls("never"), cirq.measure(Q[0])),
                       ValueError, "key 'never', which no earlier measurement writes"),
    "index-beyond-measurements": (
        Simulator, cirq.Circuit(cirq.measure(Q[0], key="a"),
                                cirq.X(Q[1]).with_classical_controls(cirq.KeyCondition(cirq.MeasurementKey("a"),
                                                                                       index=-2))),
        ValueError, "reads measurement -2 of key 'a'"),
    "opaque-gate": (Simulator, cirq.Circuit(_Opaque()(Q[0])), ValueError,
                    r"OpaqueGate\(\).*no unitary, Kraus operators or decomposition"),
    "wide-kraus": (DensityMatrixSimulator, cirq.Circuit(cirq.depolarize(0.1, n_qubits=4)(*Q[:4])),
                   ValueError, r"depolarize.*4 qubits is larger than the 3-qubit limit"),
    "wide-matrix-density": (DensityMatrixSimulator, cirq.Circuit(cirq.MatrixGate(np.eye(128)).on(*Q[:7])),
                            ValueError, "7-qubit matrix is larger than the 6-qubit limit"),
    "too-many-density-qubits": (DensityMatrixSimulator, cirq.Circuit(cirq.H.on_each(*cirq.LineQubit.range(16))),
                                ValueError, "at most 15 qubits"),
    "key-width-changes": (Simulator, cirq.Circuit(cirq.measure(Q[0], key="a"), cirq.measure(Q[0], Q[1], key="a")),
                          ValueError, "measures 2 qubit.*key 'a', which earlier measured 1"),
    "channel-with-key": (DensityMatrixSimulator,
                         cirq.Circuit(cirq.KrausChannel([np.eye(2)], key="k")(Q[0]), cirq.measure(Q[0])),
                         ValueError, "records measurement keys but is not a cirq.MeasurementGate"),
    "wide-condition": (Simulator, cirq.Circuit(cirq.measure(*Q, key="a"), cirq.measure(*Q, key="b"),
                                               cirq.X(Q[0]).with_classical_controls(
                                                   sympy.Symbol("a") > sympy.Symbol("b"))),
                       ValueError, "conditions read 16 measured bits; at most 10"),
}


class TestRefusedOperations:
    @pytest.mark.parametrize("name", sorted(REFUSED))
    @pytest.mark.parametrize("call", ["simulate", "run"])
    def test_refused(self, name, call):
        simulator, circuit, error, message = REFUSED[name]
        if call == "run" and not circuit.has_measurements():
            circuit = circuit + cirq.measure(*sorted(circuit.all_qubits()), key="end")
        with pytest.raises(error, match=message):
            getattr(simulator(), call)(circuit)

    def test_refusal_before_any_gate_runs(self, monkeypatch):
        # The bad operation comes last: translation refuses it before the executor is reached.
        import velloran_gpu.cirq.simulator as module

        def unreachable(*args, **kwargs):
            raise AssertionError("the executor ran")

        monkeypatch.setattr(module, "final_state", unreachable)
        monkeypatch.setattr(module, "execute_shots", unreachable)
        circuit = cirq.Circuit(cirq.H(Q[0]), cirq.CNOT(Q[0], Q[1]), cirq.bit_flip(0.1)(Q[1]), cirq.measure(Q[1]))
        with pytest.raises(ValueError, match="bit_flip"):
            Simulator().run(circuit)
        with pytest.raises(ValueError, match="bit_flip"):
            Simulator().simulate(circuit)


class TestBadOptions:
    @pytest.mark.parametrize("kwargs, error, message", [
        ({"precision": "half"}, ValueError, "precision must be 'double' or 'single'"),
        ({"precision": np.complex64}, ValueError, "precision must be"),
        ({"fusion": "yes"}, TypeError, "fusion must be True or False"),
        ({"seed": 1.5}, TypeError, "seed must be an integer"),
        ({"seed": -3}, ValueError, "seed must be non-negative"),
    ])
    @pytest.mark.parametrize("simulator", [Simulator, DensityMatrixSimulator])
    def test_constructor(self, simulator, kwargs, error, message):
        with pytest.raises(error, match=message):
            simulator(**kwargs)

    def test_options_are_reported(self):
        sim = Simulator(precision="single", fusion=False)
        assert (sim.precision, sim.dtype, sim.fusion) == ("single", np.complex64, False)
        assert DensityMatrixSimulator(noise=cirq.depolarize(0.1)).noise == cirq.ConstantQubitNoiseModel(
            cirq.depolarize(0.1))

    @pytest.mark.parametrize("repetitions, error", [(-1, ValueError), (2.5, TypeError), (True, TypeError)])
    def test_repetitions(self, repetitions, error):
        with pytest.raises(error, match="repetitions"):
            Simulator().run(cirq.Circuit(cirq.measure(Q[0])), repetitions=repetitions)

    def test_not_a_circuit(self):
        with pytest.raises(TypeError, match="expected a cirq.Circuit"):
            Simulator().simulate("H 0")


class TestBadInitialStates:
    CIRCUIT = cirq.Circuit(cirq.H(Q[0]), cirq.CNOT(Q[0], Q[1]))

    @pytest.mark.parametrize("initial, error, message", [
        (4, ValueError, "initial_state 4 is not a basis state of 2 qubit"),
        (-1, ValueError, "is not a basis state"),
        (True, TypeError, "not a bool"),
        ("01", TypeError, "not a str"),
        (np.ones(3), ValueError, r"shape \(3,\) is not a state vector of 2 qubit"),
        (np.ones(4), ValueError, "normalised"),
        (np.eye(4) / 4, ValueError, r"shape \(4, 4\) is not a state vector"),
        ({"a": 1}, TypeError, "must be an integer or an array"),
    ])
    def test_state_vector(self, initial, error, message):
        with pytest.raises(error, match=message):
            Simulator().simulate(self.CIRCUIT, initial_state=initial)

    @pytest.mark.parametrize("initial, message", [
        (np.ones(5), "neither a state vector nor a density matrix"),
        (np.eye(4), "trace 1"),
        (np.ones((2, 2, 3)) / 12, "neither a state vector nor a density matrix"),
        (np.array([[0.5, 0.3j, 0, 0], [0.3j, 0.5, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0]]), "Hermitian"),
    ])
    def test_density_matrix(self, initial, message):
        with pytest.raises(ValueError, match=message):
            DensityMatrixSimulator().simulate(self.CIRCUIT, initial_state=initial)


def test_import_without_cirq_names_the_extra():
    code = (
        "import sys\n"
        "sys.modules['cirq'] = None\n"
        "import velloran_gpu\n"
        "try:\n"
        "    import velloran_gpu.cirq\n"
        "except ImportError as exc:\n"
        "    print('ERROR', exc)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    assert 'pip install "velloran-gpu[cirq]"' in out


def test_core_package_does_not_import_cirq():
    code = "import sys, velloran_gpu; print('cirq' in sys.modules)"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    assert out.strip() == "False"
