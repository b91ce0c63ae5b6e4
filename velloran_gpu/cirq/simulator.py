"""Cirq simulators backed by the extension modules: :class:`Simulator` runs state vectors on ketsim and
:class:`DensityMatrixSimulator` runs density matrices on rhosim, both through the package's executor.

Results come back in Cirq's own containers (``cirq.ResultDict``, ``cirq.StateVectorTrialResult``) with
Cirq's qubit order, measurement keys and record shapes.
"""

from __future__ import annotations

from typing import Any, Iterator, Sequence

import cirq
import numpy as np

from .._execute import execute_shots, expectation_values, final_state
from .._program import Conditional, Measure, Reset
from ._translate import Translation, translate

_SEED_LIMIT = 2**63 - 1


class _ModuleSimulator(cirq.SimulatesSamples):
    """What both simulators share: options, seeding, parameter resolution and translation."""

    _method = "statevector"

    def __init__(self, *, precision: str = "double", fusion: bool = True,
                 seed: cirq.RANDOM_STATE_OR_SEED_LIKE = None, noise: cirq.NOISE_MODEL_LIKE = None) -> None:
        if precision not in ("double", "single"):
            raise ValueError(f"precision must be 'double' or 'single', got {precision!r}")
        if not isinstance(fusion, (bool, np.bool_)):
            raise TypeError(f"fusion must be True or False, got {fusion!r}")
        if seed is not None and not isinstance(seed, (int, np.integer, np.random.RandomState)):
            raise TypeError(f"seed must be an integer, a numpy.random.RandomState or None, got {seed!r}")
        if isinstance(seed, (int, np.integer)) and not isinstance(seed, bool) and seed < 0:
            raise ValueError(f"seed must be non-negative, got {seed}")
        self._precision = precision
        self._fusion = bool(fusion)
        self._prng = cirq.value.parse_random_state(seed)
        self._noise = cirq.NoiseModel.from_noise_model_like(noise)

    @property
    def precision(self) -> str:
        """"double" (complex128 states) or "single" (complex64 states)."""
        return self._precision

    @property
    def dtype(self) -> type[np.complexfloating]:
        """NumPy dtype of the states this simulator returns."""
        return np.complex128 if self._precision == "double" else np.complex64

    @property
    def fusion(self) -> bool:
        """Whether gates are planned into fused groups (state-vector method)."""
        return self._fusion

    @property
    def noise(self) -> cirq.NoiseModel:
        """The noise model applied to every circuit (``cirq.NO_NOISE`` unless given)."""
        return self._noise

    def _next_seed(self) -> int:
        return int(self._prng.randint(0, _SEED_LIMIT, dtype=np.int64))

    def _prepare(self, circuit: cirq.AbstractCircuit, resolver: cirq.ParamResolverOrSimilarType,
                 qubits: Sequence[cirq.Qid]) -> Translation:
        if not isinstance(circuit, cirq.AbstractCircuit):
            raise TypeError(f"expected a cirq.Circuit, got {type(circuit).__name__}")
        resolved = cirq.resolve_parameters(circuit, cirq.ParamResolver(resolver))
        if self._noise is cirq.NO_NOISE:
            ops: Any = resolved.all_operations()
        else:
            ops = cirq.flatten_to_ops(self._noise.noisy_moments(resolved, sorted(resolved.all_qubits())))
        return translate(ops, qubits, self._method)

    def _options(self) -> dict[str, Any]:
        return {"method": self._method, "precision": self._precision, "fusion": self._fusion}

    def _qubits(self, circuit: cirq.AbstractCircuit, qubit_order: cirq.QubitOrderOrList) -> tuple[cirq.Qid, ...]:
        if not isinstance(circuit, cirq.AbstractCircuit):
            raise TypeError(f"expected a cirq.Circuit, got {type(circuit).__name__}")
        return tuple(cirq.QubitOrder.as_qubit_order(qubit_order).order_for(circuit.all_qubits()))

    def _run(self, circuit: cirq.AbstractCircuit, param_resolver: cirq.ParamResolver,
             repetitions: int) -> dict[str, np.ndarray]:
        """Sample ``repetitions`` shots: one simulation with terminal measurements sampled from its final
        state, branching per outcome only where mid-circuit measurements, resets or conditions need it."""
        qubits = self._qubits(circuit, cirq.QubitOrder.DEFAULT)
        translation = self._prepare(circuit, param_resolver, qubits)
        bits = execute_shots(translation.program, repetitions, seed=self._next_seed(), **self._options())
        return translation.records(bits)

    def run_sweep_iter(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                       repetitions: int = 1) -> Iterator[cirq.Result]:
        """Sample ``repetitions`` shots for each parameter assignment of ``params``; one ``cirq.ResultDict``
        each, with Cirq's record shapes (repetitions, instances of the key, qubits)."""
        if isinstance(repetitions, (bool, np.bool_)) or not isinstance(repetitions, (int, np.integer)):
            raise TypeError(f"repetitions must be an integer, got {repetitions!r}")
        if repetitions < 0:
            raise ValueError(f"repetitions must be non-negative, got {repetitions}")
        return super().run_sweep_iter(program, params, int(repetitions))

    def _final(self, circuit: cirq.AbstractCircuit, resolver: cirq.ParamResolver, qubits: Sequence[cirq.Qid],
               initial_state: Any) -> tuple[Translation, np.ndarray, dict[str, np.ndarray]]:
        """One trajectory from ``initial_state`` (already checked by _initial): its final state (Cirq's
        order) and the latest value of every measurement key."""
        if not qubits:
            # Only global phases act on no qubits: the state is one amplitude (or a 1x1 density matrix).
            resolved = cirq.resolve_parameters(circuit, resolver)
            phase = complex(np.prod([cirq.unitary(op)[0, 0] for op in resolved.all_operations()]))
            state = np.array([phase] if self._method == "statevector" else [[1.0]], dtype=self.dtype)
            return translate((), qubits, self._method), state, {}
        translation = self._prepare(circuit, resolver, qubits)
        translation.program.initial_state = initial_state
        result = final_state(translation.program, seed=self._next_seed(), **self._options())
        state = result.state.astype(self.dtype, copy=False)
        return translation, state, translation.last_measurements(result.clbits)

    def _initial(self, initial_state: Any, n: int) -> Any:
        if initial_state is None:
            return None
        if isinstance(initial_state, (bool, np.bool_, str, bytes)):
            raise TypeError(f"initial_state must be an integer or an array, not a {type(initial_state).__name__}")
        if isinstance(initial_state, (int, np.integer)):
            if not 0 <= initial_state < (1 << n):
                raise ValueError(f"initial_state {initial_state} is not a basis state of {n} qubit(s)")
            return int(initial_state)
        try:
            array = np.asarray(initial_state, dtype=np.complex128)
        except (TypeError, ValueError):
            raise TypeError(
                f"initial_state must be an integer or an array, got {type(initial_state).__name__}") from None
        return self._initial_array(array, n)

    def _initial_array(self, array: np.ndarray, n: int) -> np.ndarray:
        if array.size == 1 << n:
            return array.reshape(-1)
        raise ValueError(f"initial_state of shape {array.shape} is not a state vector of {n} qubit(s)")

    def _expectations(self, program: cirq.AbstractCircuit, observables: Any, params: cirq.Sweepable,
                      qubit_order: cirq.QubitOrderOrList, initial_state: Any,
                      permit_terminal_measurements: bool) -> Iterator[list[Any]]:
        if not permit_terminal_measurements and program.are_any_measurements_terminal():
            raise ValueError("Provided circuit has terminal measurements, which may skew expectation values. "
                             "If this is intentional, set permit_terminal_measurements=True.")
        if not isinstance(observables, list):
            observables = [observables]
        sums = [cirq.PauliSum.wrap(o) for o in observables]
        qubits = self._qubits(program, qubit_order)
        index = {q: len(qubits) - 1 - i for i, q in enumerate(qubits)}
        terms: list[str] = []
        weights: list[list[tuple[int, complex]]] = []
        for observable in sums:
            entry = []
            for term in observable:
                chars = ["I"] * len(qubits)
                for q, pauli in term.items():
                    if q not in index:
                        raise ValueError(f"observable {observable} acts on {q!r}, which is not in the circuit "
                                         "or the qubit order")
                    chars[index[q]] = _pauli_char(pauli)
                entry.append((len(terms), complex(term.coefficient)))
                terms.append("".join(chars))
            weights.append(entry)
        initial = self._initial(initial_state, len(qubits))
        qubit_map = {q: i for i, q in enumerate(qubits)}
        for resolver in cirq.to_resolvers(params):
            translation = self._prepare(program, resolver, qubits)
            branching = any(isinstance(i, (Measure, Conditional)) or (isinstance(i, Reset) and
                                                                     self._method == "statevector")
                            for i in translation.program.walk())
            if branching:
                # One trajectory, as Cirq's simulate() gives it; Cirq evaluates the sums on its final state.
                _, state, _ = self._final(program, resolver, qubits, initial)
                yield [self._host_expectation(o, state, qubit_map) for o in sums]
                continue
            translation.program.initial_state = initial
            values = expectation_values(translation.program, terms, **self._options())
            # Cirq reports state-vector expectations as complex numbers and density-matrix ones as floats.
            convert = complex if self._method == "statevector" else (lambda v: float(v.real))
            yield [convert(sum((w * values[t] for t, w in entry), 0j)) for entry in weights]

    def _host_expectation(self, observable: cirq.PauliSum, state: np.ndarray,
                          qubit_map: dict[cirq.Qid, int]) -> complex:
        raise NotImplementedError  # pragma: no cover - each simulator provides it


def _pauli_char(pauli: Any) -> str:
    for char, gate in (("X", cirq.X), ("Y", cirq.Y), ("Z", cirq.Z)):
        if pauli == gate:
            return char
    raise ValueError(f"not a Pauli operator: {pauli!r}")  # pragma: no cover


class Simulator(_ModuleSimulator, cirq.SimulatesFinalState[cirq.StateVectorTrialResult],
                cirq.SimulatesExpectationValues):
    """A state-vector simulator running on ketsim, a drop-in for ``cirq.Simulator``.

    ``run``/``run_sweep`` sample measurements (terminal ones once from a single simulation, mid-circuit ones
    by branching per outcome); ``simulate``/``simulate_sweep`` return ``cirq.StateVectorTrialResult`` with
    the final state in Cirq's qubit order (one trajectory: measurements collapse the state);
    ``simulate_expectation_values`` returns exact Pauli expectation values.

    Args:
        precision: "double" (complex128) or "single" (complex64) state vectors.
        fusion: plan gates into fused groups (ketsim's ``PairAutoFusion``) or run them one by one.
        seed: an integer, a ``numpy.random.RandomState`` or None; a seeded simulator repeats its results.
    """

    _method = "statevector"

    def __init__(self, *, precision: str = "double", fusion: bool = True,
                 seed: cirq.RANDOM_STATE_OR_SEED_LIKE = None) -> None:
        super().__init__(precision=precision, fusion=fusion, seed=seed)

    def simulate_sweep_iter(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                            qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
                            initial_state: Any = None) -> Iterator[cirq.StateVectorTrialResult]:
        """Simulate ``program`` for each parameter assignment; ``initial_state`` is a basis-state integer or a
        state vector in the order of ``qubit_order``."""
        qubits = self._qubits(program, qubit_order)
        initial = self._initial(initial_state, len(qubits))
        for resolver in cirq.to_resolvers(params):
            _, state, measurements = self._final(program, resolver, qubits, initial)
            # Cirq copies the amplitudes into its own state; the downloaded array serves as its work buffer.
            sim_state = cirq.StateVectorSimulationState(qubits=qubits, initial_state=state, dtype=self.dtype,
                                                        available_buffer=state.reshape((2,) * len(qubits)))
            yield cirq.StateVectorTrialResult(resolver, measurements, sim_state)

    def final_state_vector(self, program: cirq.AbstractCircuit, param_resolver: cirq.ParamResolverOrSimilarType = None,
                           qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
                           initial_state: Any = None) -> np.ndarray:
        """The final state vector of ``program`` (one trajectory) in the order of ``qubit_order``, the first
        qubit most significant as in ``cirq.final_state_vector``."""
        qubits = self._qubits(program, qubit_order)
        initial = self._initial(initial_state, len(qubits))
        _, state, _ = self._final(program, cirq.ParamResolver(param_resolver), qubits, initial)
        return state

    def simulate_expectation_values_sweep_iter(
        self, program: cirq.AbstractCircuit, observables: cirq.PauliSumLike | list[cirq.PauliSumLike],
        params: cirq.Sweepable, qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
        initial_state: Any = None, permit_terminal_measurements: bool = False,
    ) -> Iterator[list[float]]:
        """Expectation values of Pauli sums in the final state, one list per parameter assignment; exact (on
        the device) for circuits without measurements, else from one simulated trajectory as Cirq does."""
        return self._expectations(program, observables, params, qubit_order, initial_state,
                                  permit_terminal_measurements)

    def _host_expectation(self, observable: cirq.PauliSum, state: np.ndarray,
                          qubit_map: dict[cirq.Qid, int]) -> complex:
        return observable.expectation_from_state_vector(state.astype(np.complex128), qubit_map)


class DensityMatrixTrialResult(cirq.SimulationTrialResult[Any]):
    """The result of ``DensityMatrixSimulator.simulate``: parameters, the measurements of the simulated
    trajectory and ``final_density_matrix`` (rows and columns in Cirq's big-endian order over
    ``qubit_map``)."""

    def __init__(self, params: cirq.ParamResolver, measurements: dict[str, np.ndarray],
                 final_density_matrix: np.ndarray, qubits: Sequence[cirq.Qid]) -> None:
        super().__init__(params, measurements, final_simulator_state=_DensityState(final_density_matrix, qubits))
        self._density = final_density_matrix

    @property
    def final_density_matrix(self) -> np.ndarray:
        """The final density matrix, shape (2**n, 2**n)."""
        return self._density

    def density_matrix_of(self, qubits: Sequence[cirq.Qid] | None = None) -> np.ndarray:
        """The reduced density matrix of ``qubits`` (all qubits when None), in the order given."""
        if qubits is None:
            return self._density
        keep = [self.qubit_map[q] for q in qubits]
        tensor = self._density.reshape((2,) * (2 * len(self.qubit_map)))
        return cirq.partial_trace(tensor, keep).reshape(1 << len(keep), 1 << len(keep))

    def _value_equality_values_(self) -> Any:
        measurements = {k: v.tolist() for k, v in sorted(self.measurements.items())}
        return self.params, measurements, tuple(self.qubit_map.items()), self._density.tolist()

    def __repr__(self) -> str:
        return (f"velloran_gpu.cirq.DensityMatrixTrialResult(params={self.params!r}, "
                f"measurements={self.measurements!r}, qubits={tuple(self._final_simulator_state.qubits)!r})")

    def __str__(self) -> str:
        return f"measurements: {super().__str__()}\nfinal density matrix:\n{self._density}"


class _DensityState:
    """The final simulator state of a density-matrix trial: the matrix and the qubit order."""

    def __init__(self, density: np.ndarray, qubits: Sequence[cirq.Qid]) -> None:
        self.density = density
        self.qubits = tuple(qubits)
        self.qubit_map = {q: i for i, q in enumerate(self.qubits)}

    def __repr__(self) -> str:
        return f"_DensityState(qubits={self.qubits!r})"


class DensityMatrixSimulator(_ModuleSimulator, cirq.SimulatesFinalState[DensityMatrixTrialResult],
                             cirq.SimulatesExpectationValues):
    """A density-matrix simulator running on rhosim (up to 15 qubits), a drop-in for
    ``cirq.DensityMatrixSimulator``: noise channels (``cirq.depolarize``, ``amplitude_damp``, any operation
    with ``cirq.kraus``) and noise models.

    Args:
        precision: "double" (complex128) or "single" (complex64) density matrices.
        fusion: accepted for symmetry with :class:`Simulator` (rhosim fuses when ``VELLORAN_DENSITY_FUSION``
            is set).
        seed: an integer, a ``numpy.random.RandomState`` or None; a seeded simulator repeats its results.
        noise: a ``cirq.NoiseModel``, a single-qubit channel (applied after every moment to every qubit, as
            ``cirq.ConstantQubitNoiseModel``), or None.
    """

    _method = "density_matrix"

    def __init__(self, *, precision: str = "double", fusion: bool = True,
                 seed: cirq.RANDOM_STATE_OR_SEED_LIKE = None, noise: cirq.NOISE_MODEL_LIKE = None) -> None:
        super().__init__(precision=precision, fusion=fusion, seed=seed, noise=noise)

    def _initial_array(self, array: np.ndarray, n: int) -> np.ndarray:
        dim = 1 << n
        if array.size == dim:
            return array.reshape(-1)
        if array.size == dim * dim:
            return array.reshape(dim, dim)
        raise ValueError(f"initial_state of shape {array.shape} is neither a state vector nor a density matrix "
                         f"of {n} qubit(s)")

    def simulate_sweep_iter(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                            qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
                            initial_state: Any = None) -> Iterator[DensityMatrixTrialResult]:
        """Simulate ``program`` for each parameter assignment; ``initial_state`` is a basis-state integer, a
        state vector or a density matrix in the order of ``qubit_order``."""
        qubits = self._qubits(program, qubit_order)
        initial = self._initial(initial_state, len(qubits))
        for resolver in cirq.to_resolvers(params):
            _, rho, measurements = self._final(program, resolver, qubits, initial)
            yield DensityMatrixTrialResult(resolver, measurements, rho, qubits)

    def simulate_expectation_values_sweep_iter(
        self, program: cirq.AbstractCircuit, observables: cirq.PauliSumLike | list[cirq.PauliSumLike],
        params: cirq.Sweepable, qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
        initial_state: Any = None, permit_terminal_measurements: bool = False,
    ) -> Iterator[list[float]]:
        """Expectation values Tr(rho P) of Pauli sums in the final density matrix, one list per parameter
        assignment (from one trajectory when the circuit measures mid-way, as Cirq does)."""
        return self._expectations(program, observables, params, qubit_order, initial_state,
                                  permit_terminal_measurements)

    def _host_expectation(self, observable: cirq.PauliSum, state: np.ndarray,
                          qubit_map: dict[cirq.Qid, int]) -> complex:
        return observable.expectation_from_density_matrix(state.astype(np.complex128), qubit_map)


__all__ = ["DensityMatrixSimulator", "DensityMatrixTrialResult", "Simulator"]
