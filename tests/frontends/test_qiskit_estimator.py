"""The Qiskit Estimator against Qiskit's StatevectorEstimator: observables of several kinds, broadcasting of
observables against parameter sweeps, both methods and precisions, the precision noise, and refusals."""

from __future__ import annotations

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.quantum_info import Pauli, SparseObservable, SparsePauliOp, Statevector  # noqa: E402

from velloran_gpu.qiskit import Estimator  # noqa: E402

ATOL = {"double": 1e-10, "single": 5e-5}


def _ansatz(n: int) -> QuantumCircuit:
    theta = [Parameter(f"t{i}") for i in range(2 * n)]
    qc = QuantumCircuit(n)
    for q in range(n):
        qc.ry(theta[q], q)
    for q in range(n - 1):
        qc.cx(q, q + 1)
    for q in range(n):
        qc.rz(theta[n + q], q)
    qc.cry(0.3, 0, n - 1)
    return qc


class TestAgainstReference:
    """Exact values equal the reference estimator's."""

    @pytest.mark.parametrize("method", ["statevector", "density_matrix"])
    @pytest.mark.parametrize("precision", ["double", "single"])
    def test_broadcast_sweep(self, method, precision):
        n = 4
        qc = _ansatz(n)
        rng = np.random.default_rng(1)
        values = rng.uniform(-np.pi, np.pi, size=(5, 2 * n))
        observables = [
            [SparsePauliOp(["ZZII", "IXXI", "YIIY"], [0.5, -1.0, 0.25])],
            [Pauli("XYZI")],
            ["IIIZ"],
            [SparseObservable("XIZY")],
        ]
        pub = (qc, observables, values)
        ours = Estimator(method=method, precision=precision).run([pub]).result()[0]
        theirs = StatevectorEstimator().run([pub]).result()[0]
        assert ours.data.evs.shape == theirs.data.evs.shape == (4, 5)
        np.testing.assert_allclose(ours.data.evs, theirs.data.evs, atol=ATOL[precision])
        np.testing.assert_array_equal(ours.data.stds, np.zeros((4, 5)))
        assert ours.metadata == theirs.metadata

    @pytest.mark.parametrize("seed", range(4))
    @pytest.mark.parametrize("fusion", [True, False])
    def test_random_circuits(self, seed, fusion):
        qc = random_circuit(5, 6, max_operands=3, seed=seed)
        rng = np.random.default_rng(seed)
        labels = ["".join(rng.choice(list("IXYZ"), size=5)) for _ in range(6)]
        pub = (qc, [SparsePauliOp(label) for label in labels])
        ours = Estimator(fusion=fusion).run([pub]).result()[0]
        theirs = StatevectorEstimator().run([pub]).result()[0]
        np.testing.assert_allclose(ours.data.evs, theirs.data.evs, atol=1e-10)

    def test_projector_observables(self):
        # Qiskit's reference estimator takes Pauli terms only; projector terms are checked with Statevector.
        qc = random_circuit(4, 5, max_operands=2, seed=3)
        observable = SparseObservable("+-01") + 0.5 * SparseObservable("rlXZ")
        ours = Estimator().run([(qc, observable)]).result()[0]
        exact = Statevector(qc).expectation_value(SparsePauliOp.from_sparse_observable(observable)).real
        assert float(ours.data.evs) == pytest.approx(exact, abs=1e-10)

    def test_several_pubs_and_scalar_shapes(self):
        qc = QuantumCircuit(2)
        qc.h(0)
        qc.cx(0, 1)
        pubs = [(qc, "ZZ"), (qc, ["XX", "YY", "ZI"])]
        ours = Estimator().run(pubs).result()
        assert ours[0].data.evs.shape == () and float(ours[0].data.evs) == pytest.approx(1.0)
        np.testing.assert_allclose(ours[1].data.evs, [1.0, -1.0, 0.0], atol=1e-12)
        assert ours.metadata == {"version": 2}


class TestPrecision:
    """Precision > 0 perturbs exact values by normal noise of that standard deviation."""

    def test_noise_statistics_and_seed(self):
        qc = QuantumCircuit(1)
        qc.ry(Parameter("a"), 0)
        values = np.full((4000, 1), 0.7)
        exact = np.cos(0.7)
        result = Estimator(seed=3).run([(qc, "Z", values)], precision=0.1).result()[0]
        evs = result.data.evs
        np.testing.assert_array_equal(result.data.stds, np.full(4000, 0.1))
        assert result.metadata["target_precision"] == 0.1
        assert abs(evs.mean() - exact) < 5 * 0.1 / np.sqrt(4000)
        assert 0.09 < evs.std() < 0.11
        again = Estimator(seed=3).run([(qc, "Z", values)], precision=0.1).result()[0]
        np.testing.assert_array_equal(again.data.evs, evs)

    def test_default_precision(self):
        assert Estimator().default_precision == StatevectorEstimator().default_precision == 0.0
        with pytest.raises(ValueError, match="precision"):
            Estimator(default_precision=-1.0)


class TestRefusals:
    """Circuits the estimator cannot take."""

    def test_measurements_refused(self):
        qc = QuantumCircuit(1, 1)
        qc.h(0)
        qc.measure(0, 0)
        with pytest.raises(ValueError, match="measure"):
            Estimator().run([(qc, "Z")])

    def test_unsupported_instruction_named(self):
        qc = QuantumCircuit(1)
        qc.append(qiskit.circuit.Instruction("mystery", 1, 0, []), [0])
        with pytest.raises(ValueError, match="mystery"):
            Estimator().run([(qc, "Z")])
