"""Qiskit V2 primitives over the ketsim and rhosim modules: :class:`Sampler` (one BitArray per classical
register per PUB) and :class:`Estimator` (exact expectation values, optionally perturbed to a precision).
Defaults follow Qiskit's reference primitives: 1024 shots, precision 0.
"""

from __future__ import annotations

from typing import Any, Iterable

import numpy as np
from qiskit.primitives import BaseEstimatorV2, BaseSamplerV2
from qiskit.primitives.containers import (
    BitArray,
    DataBin,
    EstimatorPub,
    PrimitiveResult,
    PubResult,
    SamplerPub,
    SamplerPubResult,
)
from qiskit.primitives.primitive_job import PrimitiveJob
from qiskit.quantum_info import SparsePauliOp

from .._execute import check_program, execute_shots, expectation_values
from ._config import SimConfig, draw_seed, seed_source
from ._translate import CircuitTemplate


def _check_positive_int(value: Any, what: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{what} must be a positive integer, got {value!r}")
    return int(value)


def _parameter_rows(template: CircuitTemplate, pub: Any) -> np.ndarray:
    """Parameter values of a PUB as an array of shape pub-parameter-shape + (number of parameters,)."""
    values = pub.parameter_values
    if template.parameters:
        return np.asarray(values.as_array(template.parameters), dtype=np.float64)
    return np.zeros(values.shape + (0,), dtype=np.float64)


def _check_first(template: CircuitTemplate, pub: Any, config: SimConfig, expectations: bool) -> None:
    """The checks of a run on the PUB's first parameter set, before any simulation."""
    if template.parameters:
        rows = _parameter_rows(template, pub).reshape(-1, len(template.parameters))
        if rows.shape[0] == 0:
            return  # an empty sweep runs nothing
        program = template.program(rows[0])
    else:
        program = template.program(None)
    check_program(program, expectations=expectations, **config.run_options(pub.circuit.num_qubits))


class Sampler(BaseSamplerV2):
    """Samples the classical registers of circuits on ketsim (state vector) or rhosim (density matrix).

    Args:
        default_shots: shots of a PUB that names none and a run without ``shots`` (1024, as Qiskit's
            reference sampler).
        seed: an integer or numpy Generator makes results reproducible; None draws fresh seeds.
        method, precision, fusion, noise_model: see :mod:`velloran_gpu.qiskit`.
    """

    def __init__(self, *, default_shots: int = 1024, seed: Any = None, method: str = "statevector",
                 precision: str = "double", fusion: bool = True, noise_model: Any = None) -> None:
        self._default_shots = _check_positive_int(default_shots, "default_shots")
        seed_source(seed)
        self._seed = seed
        self._config = SimConfig(method, precision, fusion, noise_model)

    @property
    def default_shots(self) -> int:
        """Shots used when neither the run nor the PUB names them."""
        return self._default_shots

    @property
    def seed(self) -> Any:
        """The seed given at construction."""
        return self._seed

    def run(self, pubs: Iterable[Any], *, shots: int | None = None) -> PrimitiveJob:
        """Run sampler PUBs (circuit, optional parameter values, optional shots); every PUB is translated and
        checked before any simulation starts."""
        if shots is None:
            shots = self._default_shots
        shots = _check_positive_int(shots, "shots")
        coerced = [SamplerPub.coerce(pub, shots) for pub in pubs]
        for pub in coerced:
            pub.validate()
        prepared = [(pub, CircuitTemplate(pub.circuit, self._config.noise)) for pub in coerced]
        for pub, template in prepared:
            _check_first(template, pub, self._config, expectations=False)
        job = PrimitiveJob(self._run, prepared)
        job._submit()
        return job

    def _run(self, prepared: list[tuple[SamplerPub, CircuitTemplate]]) -> PrimitiveResult:
        rng = seed_source(self._seed)
        results = [self._run_pub(pub, template, rng) for pub, template in prepared]
        return PrimitiveResult(results, metadata={"version": 2})

    def _run_pub(self, pub: SamplerPub, template: CircuitTemplate, rng: np.random.Generator) -> SamplerPubResult:
        circuit = pub.circuit
        shape = pub.shape
        rows = _parameter_rows(template, pub)
        options = self._config.run_options(circuit.num_qubits)
        memory = np.zeros(shape + (pub.shots, circuit.num_clbits), dtype=np.uint8)
        for index in np.ndindex(shape):
            program = template.program(rows[index])
            memory[index] = execute_shots(program, pub.shots, seed=draw_seed(rng), **options)
        fields = {}
        for register in circuit.cregs:
            columns = [circuit.find_bit(bit).index for bit in register]
            bits = memory[..., columns].astype(bool)
            fields[register.name] = BitArray.from_bool_array(bits, order="little")
        data = DataBin(**fields, shape=shape)
        return SamplerPubResult(data, metadata={"shots": pub.shots, "circuit_metadata": circuit.metadata})


def _pauli_terms(observable: Any, num_qubits: int) -> list[tuple[str, float]]:
    """(Pauli string with character j on qubit j, real coefficient) terms of one observable."""
    op = SparsePauliOp.from_sparse_observable(observable) if not isinstance(observable, SparsePauliOp) else observable
    terms = []
    for label, coeff in op.simplify(atol=0).to_list():
        if len(label) != num_qubits:
            raise ValueError(f"observable on {len(label)} qubits for a circuit of {num_qubits}")
        terms.append((label[::-1], float(np.real(coeff))))
    return terms


class Estimator(BaseEstimatorV2):
    """Exact expectation values of observables on ketsim (state vector) or rhosim (density matrix).

    With precision 0 (the default) the values are exact and the standard errors 0. With precision > 0 each
    value is drawn from a normal distribution around the exact one with that standard deviation, and the
    standard errors report it, as Qiskit's reference estimator does.

    Args:
        default_precision: precision of a PUB that names none and a run without ``precision``.
        seed: an integer or numpy Generator makes the added noise reproducible.
        method, precision, fusion, noise_model: see :mod:`velloran_gpu.qiskit` (``precision`` there is the
            floating-point precision, "double" or "single").
    """

    def __init__(self, *, default_precision: float = 0.0, seed: Any = None, method: str = "statevector",
                 precision: str = "double", fusion: bool = True, noise_model: Any = None) -> None:
        self._default_precision = self._check_precision(default_precision)
        seed_source(seed)
        self._seed = seed
        self._config = SimConfig(method, precision, fusion, noise_model)

    @staticmethod
    def _check_precision(value: Any) -> float:
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
            raise TypeError(f"precision must be a non-negative number, got {value!r}")
        if not value >= 0 or not np.isfinite(value):
            raise ValueError(f"precision must be a non-negative number, got {value!r}")
        return float(value)

    @property
    def default_precision(self) -> float:
        """Precision used when neither the run nor the PUB names one."""
        return self._default_precision

    @property
    def seed(self) -> Any:
        """The seed given at construction."""
        return self._seed

    def run(self, pubs: Iterable[Any], *, precision: float | None = None) -> PrimitiveJob:
        """Run estimator PUBs (circuit, observables, optional parameter values, optional precision); every PUB
        is translated and checked before any simulation starts."""
        if precision is None:
            precision = self._default_precision
        precision = self._check_precision(precision)
        coerced = [EstimatorPub.coerce(pub, precision) for pub in pubs]
        for pub in coerced:
            pub.validate()
        prepared = [(pub, CircuitTemplate(pub.circuit, self._config.noise)) for pub in coerced]
        for pub, template in prepared:
            _check_first(template, pub, self._config, expectations=True)
        job = PrimitiveJob(self._run, prepared)
        job._submit()
        return job

    def _run(self, prepared: list[tuple[EstimatorPub, CircuitTemplate]]) -> PrimitiveResult:
        rng = seed_source(self._seed)
        return PrimitiveResult([self._run_pub(pub, template, rng) for pub, template in prepared],
                               metadata={"version": 2})

    def _run_pub(self, pub: EstimatorPub, template: CircuitTemplate, rng: np.random.Generator) -> PubResult:
        circuit = pub.circuit
        n = circuit.num_qubits
        rows = _parameter_rows(template, pub)
        param_shape = pub.parameter_values.shape
        observables = pub.observables.sparse_observables_array()
        obs_shape = pub.observables.shape
        shape = pub.shape
        param_index = np.empty(param_shape, dtype=object)
        for index in np.ndindex(param_shape):
            param_index[index] = index
        obs_index = np.empty(obs_shape, dtype=object)
        for index in np.ndindex(obs_shape):
            obs_index[index] = index
        bc_param, bc_obs = np.broadcast_arrays(param_index, obs_index)
        options = self._config.run_options(n)
        # Keys are index tuples held in object arrays.
        terms_cache: dict[Any, list[tuple[str, float]]] = {}
        # Group the broadcast positions by parameter set: one simulation per set, all its observables at once.
        by_params: dict[Any, list[tuple[int, ...]]] = {}
        for position in np.ndindex(shape):
            by_params.setdefault(bc_param[position], []).append(position)
        evs = np.zeros(shape, dtype=np.float64)
        for p_index, positions in by_params.items():
            wanted: dict[str, int] = {}
            for position in positions:
                o_index = bc_obs[position]
                if o_index not in terms_cache:
                    terms_cache[o_index] = _pauli_terms(observables[o_index], n)
                for label, _ in terms_cache[o_index]:
                    wanted.setdefault(label, len(wanted))
            labels = list(wanted)
            program = template.program(rows[p_index])
            values = expectation_values(program, labels, **options) if labels else np.zeros(0)
            for position in positions:
                evs[position] = sum(c * values[wanted[label]] for label, c in terms_cache[bc_obs[position]])
        precision = pub.precision
        if precision > 0:
            evs = np.asarray(rng.normal(evs, precision), dtype=np.float64)
        stds = np.full(shape, precision, dtype=np.float64)
        data = DataBin(evs=evs, stds=stds, shape=shape)
        return PubResult(data, metadata={"target_precision": precision, "circuit_metadata": circuit.metadata})
