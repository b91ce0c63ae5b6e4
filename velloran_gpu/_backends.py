"""Adapters from program instructions to the two extension modules: ketsim gate dictionaries and rhosim
operation objects, and the few state operations the executor needs from each (run, sample, project onto an
outcome, snapshot and restore, download, expectation values).
"""

from __future__ import annotations

import cmath
from dataclasses import dataclass
from typing import Any, Sequence, cast

import numpy as np

from ._gates import (
    KETSIM_MAX_QUBITS,
    KETSIM_MAX_UNITARY_TARGETS,
    RHOSIM_MAX_KRAUS_TARGETS,
    RHOSIM_MAX_QUBITS,
    RHOSIM_MAX_UNITARY_TARGETS,
    UNITARY,
    gate_kind,
)
from ._pauli import density_expectations
from ._program import Gate, KrausChannel

_DTYPES = {"double": "complex128", "single": "complex64"}
_PROJECTORS = (
    np.array([[1, 0], [0, 0]], dtype=np.complex128),
    np.array([[0, 0], [0, 1]], dtype=np.complex128),
)
# A density matrix up to this many qubits is snapshot on the device (rhosim's copy); larger ones on the host.
_RHO_DEVICE_SNAPSHOT_QUBITS = 12


def dtype_of(precision: str) -> str:
    """The modules' dtype text of a precision name ("double" or "single")."""
    try:
        return _DTYPES[precision]
    except KeyError:
        raise ValueError(f"precision must be 'double' or 'single', got {precision!r}") from None


def _import_ketsim() -> Any:
    try:
        import ketsim
    except ImportError as exc:  # pragma: no cover - a broken installation
        raise ImportError(f"the ketsim extension module could not be loaded: {exc}") from exc
    return ketsim


def _import_rhosim() -> Any:
    try:
        import rhosim
    except ImportError as exc:  # pragma: no cover - a broken installation
        raise ImportError(f"the rhosim extension module could not be loaded: {exc}") from exc
    return rhosim


def _bits_of(outcome: str) -> np.ndarray:
    return np.frombuffer(outcome.encode("ascii"), dtype=np.uint8) - ord("0")


def counts_to_outcomes(counts: dict[str, int], k: int) -> tuple[np.ndarray, np.ndarray]:
    """Outcome rows (distinct, shape (m, k), uint8; column j = the j-th measured qubit) and their counts,
    from a module's count dictionary of bit strings."""
    keys = sorted(counts)
    rows = np.frombuffer("".join(keys).encode("ascii"), dtype=np.uint8).reshape(len(keys), k) - ord("0")
    return rows.astype(np.uint8), np.array([counts[key] for key in keys], dtype=np.int64)


class KetBackend:
    """State-vector execution on ketsim: states are ketsim.DeviceState objects."""

    method = "statevector"
    max_qubits = KETSIM_MAX_QUBITS

    def __init__(self, num_qubits: int, precision: str, fusion: bool) -> None:
        self.ketsim = _import_ketsim()
        self.n = num_qubits
        self.dtype = dtype_of(precision)
        self.mode = self.ketsim.PairAutoFusion if fusion else self.ketsim.PairAuto

    @staticmethod
    def check(instruction: Gate | KrausChannel) -> None:
        """Refuse what ketsim cannot run, naming the instruction."""
        if isinstance(instruction, KrausChannel):
            who = f"instruction {instruction.label!r}" if instruction.label else "Kraus channel"
            raise ValueError(f"{who}: noise channels need method='density_matrix'")
        if instruction.name == UNITARY and len(instruction.targets) > KETSIM_MAX_UNITARY_TARGETS:
            raise ValueError(
                f"{instruction.describe()}: a matrix on {len(instruction.targets)} qubits is larger than the "
                f"{KETSIM_MAX_UNITARY_TARGETS}-qubit limit of the statevector method"
            )

    @staticmethod
    def translate(gate: Gate | KrausChannel) -> dict[str, Any]:
        """The ketsim gate dictionary of one gate (:meth:`check` has refused channels)."""
        assert isinstance(gate, Gate)
        record: dict[str, Any] = {
            "target": list(gate.targets),
            "control": list(gate.controls),
            "control_state": list(gate.control_states or ()),
            "parameter": list(gate.params),
        }
        if gate.name == UNITARY:
            record["id"] = "unitary"
            record["matrix"] = gate.matrix
        else:
            record["id"] = gate_kind(gate.name).ketsim_id
        return record

    def zero_state(self) -> Any:
        """|0...0> on the device."""
        return self.ketsim.DeviceState.zero_state(self.n, self.dtype)

    def initial_state(self, initial: Any) -> Any:
        """The starting state: |0...0> for None, a basis state for an integer, else the given amplitudes."""
        if initial is None or isinstance(initial, (int, np.integer)):
            state = self.zero_state()
            if initial:
                self.flip(state, [q for q in range(self.n) if (int(initial) >> q) & 1])
            return state
        array = np.asarray(initial)
        if array.ndim != 1:
            raise ValueError("the statevector method starts from a state vector, not a density matrix")
        return self.ketsim.DeviceState.from_numpy(self.n, np.array(array, dtype=self.dtype, copy=True))

    def apply(self, state: Any, records: list[Any]) -> None:
        """Run translated gates on the state."""
        if records:
            self.ketsim.run_circuit_device(state, records, mode=self.mode)

    def sample(self, state: Any, qubits: Sequence[int], shots: int, seed: int,
               rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
        """Distinct outcomes of ``qubits`` over ``shots`` draws and their counts; the state is unchanged."""
        counts, _ = self.ketsim.sample_measure_device(state, list(qubits), shots, seed=seed, collapse_last=False)
        return counts_to_outcomes(counts, len(qubits))

    def project(self, state: Any, qubits: Sequence[int], bits: Sequence[int]) -> None:
        """Collapse onto ``qubits`` = ``bits`` and renormalise, on the device: the projectors zero every other
        amplitude exactly, so the one-shot sample that follows can only draw this outcome, and its collapse
        rescales the state to norm 1."""
        records = [
            {"id": "unitary", "target": [q], "control": [], "control_state": [], "parameter": [],
             "matrix": _PROJECTORS[b]}
            for q, b in zip(qubits, bits)
        ]
        self.ketsim.run_circuit_device(state, records, mode=self.ketsim.PairAuto)
        expected = "".join(str(int(b)) for b in bits)
        for seed in (1, 2, 3):
            try:
                _, last = self.ketsim.sample_measure_device(state, list(qubits), 1, seed=seed, collapse_last=True)
            except RuntimeError:
                continue  # a zero-probability draw is refused before the state is touched
            if last == expected:
                return
        raise RuntimeError(f"collapse onto outcome {expected} of qubits {list(qubits)} failed")

    def flip(self, state: Any, qubits: Sequence[int]) -> None:
        """X on each qubit."""
        records = [{"id": "x", "target": [q], "control": [], "control_state": [], "parameter": []} for q in qubits]
        self.ketsim.run_circuit_device(state, records, mode=self.ketsim.PairAuto)

    def snapshot(self, state: Any) -> Any:
        """A host copy that :meth:`restore` turns back into a device state."""
        return state.to_numpy()

    def restore(self, snapshot: Any) -> Any:
        """A new device state from a snapshot."""
        return self.ketsim.DeviceState.from_numpy(self.n, snapshot)

    def to_numpy(self, state: Any) -> np.ndarray:
        """The amplitudes (qubit q = bit q of the index)."""
        return cast(np.ndarray, state.to_numpy())

    def expectations(self, state: Any, paulis: list[str]) -> np.ndarray:
        """Exact <psi|P|psi> of each Pauli string, computed on the device (the state stays there)."""
        if not paulis:
            return np.zeros(0, dtype=np.float64)
        return np.asarray(self.ketsim.pauli_expectations(state, paulis), dtype=np.float64)


@dataclass
class _RhoGate:
    """A rhosim gate-form operation."""

    id: str
    target: list[int]
    control: list[int]
    control_state: list[int]
    parameter: list[float]
    has_stored_matrix: bool = False
    stored_matrix: Any = None


@dataclass
class _RhoKraus:
    """A rhosim Kraus-form operation."""

    target: list[int]
    kraus_matrices: np.ndarray
    channel_name: str | None = None
    operation_kind: str = "kraus"


_RESET_KRAUS = np.array([[[1, 0], [0, 0]], [[0, 1], [0, 0]]], dtype=np.complex128)


class RhoBackend:
    """Density-matrix execution on rhosim: states are rhosim.DeviceDensityState objects."""

    method = "density_matrix"
    max_qubits = RHOSIM_MAX_QUBITS

    def __init__(self, num_qubits: int, precision: str, fusion: bool) -> None:
        self.rhosim = _import_rhosim()
        self.n = num_qubits
        self.dtype = dtype_of(precision)
        # rhosim fuses when VELLORAN_DENSITY_FUSION is set; the fusion option concerns the state-vector method.
        self.fusion = fusion

    @staticmethod
    def check(instruction: Gate | KrausChannel) -> None:
        """Refuse what rhosim cannot run, naming the instruction."""
        if isinstance(instruction, KrausChannel):
            if len(instruction.targets) > RHOSIM_MAX_KRAUS_TARGETS:
                who = f"instruction {instruction.label!r}" if instruction.label else "Kraus channel"
                raise ValueError(
                    f"{who}: a channel on {len(instruction.targets)} qubits is larger than the "
                    f"{RHOSIM_MAX_KRAUS_TARGETS}-qubit limit of the density_matrix method"
                )
            return
        if instruction.name == UNITARY and len(instruction.targets) > RHOSIM_MAX_UNITARY_TARGETS:
            raise ValueError(
                f"{instruction.describe()}: a matrix on {len(instruction.targets)} qubits is larger than the "
                f"{RHOSIM_MAX_UNITARY_TARGETS}-qubit limit of the density_matrix method"
            )

    @staticmethod
    def translate(instruction: Gate | KrausChannel) -> Any:
        """The rhosim operation object of one gate or channel; None for a gate without effect on rho."""
        if isinstance(instruction, KrausChannel):
            return _RhoKraus(list(instruction.targets), np.ascontiguousarray(instruction.matrices), instruction.name)
        gate = instruction
        controls = list(gate.controls)
        states = list(gate.control_states or ())
        if gate.name == "gphase":
            if not controls:
                return None  # a global phase leaves rho unchanged
            # A controlled global phase is a phase on one of its controls, conditioned on the others.
            theta = gate.params[0]
            if states[0] == 1:
                return _RhoGate("p", [controls[0]], controls[1:], states[1:], [theta])
            matrix = np.array([[cmath.exp(1j * theta), 0], [0, 1]], dtype=np.complex128)
            return _RhoGate("unitary", [controls[0]], controls[1:], states[1:], [], True, matrix)
        if gate.name == UNITARY:
            return _RhoGate("unitary", list(gate.targets), controls, states, [], True, gate.matrix)
        return _RhoGate(gate_kind(gate.name).rhosim_id, list(gate.targets), controls, states, list(gate.params))

    def zero_state(self) -> Any:
        """|0...0><0...0| on the device."""
        return self.rhosim.DeviceDensityState.zero_state(self.n, self.dtype)

    def initial_state(self, initial: Any) -> Any:
        """The starting state: |0...0> for None, a basis state for an integer, |psi><psi| for a vector, else the
        given density matrix."""
        if initial is None or isinstance(initial, (int, np.integer)):
            state = self.zero_state()
            if initial:
                self.flip(state, [q for q in range(self.n) if (int(initial) >> q) & 1])
            return state
        array = np.asarray(initial)
        if array.ndim == 1:
            array = np.outer(array, array.conj())
        return self.rhosim.DeviceDensityState.from_numpy(self.n, np.array(array, dtype=self.dtype, copy=True))

    def apply(self, state: Any, records: list[Any]) -> None:
        """Run translated operations on the state."""
        records = [r for r in records if r is not None]
        if records:
            self.rhosim.run_density_operations_device(state, self.n, records)

    def probabilities(self, state: Any) -> np.ndarray:
        """The diagonal of rho (downloaded), clipped at 0 against rounding."""
        diagonal = np.real(np.diagonal(state.to_numpy())).astype(np.float64)
        return np.clip(diagonal, 0.0, None)

    def sample(self, state: Any, qubits: Sequence[int], shots: int, seed: int,
               rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
        """Distinct outcomes of ``qubits`` over ``shots`` draws and their counts, drawn from the diagonal."""
        diagonal = self.probabilities(state)
        total = diagonal.sum()
        if not total > 0 or not np.isfinite(total):
            raise RuntimeError("density matrix has zero or invalid trace")
        index = np.arange(diagonal.size, dtype=np.int64)
        k = len(qubits)
        outcome = np.zeros(diagonal.size, dtype=np.int64)
        for j, q in enumerate(qubits):
            outcome |= ((index >> q) & 1) << j
        marginal = np.bincount(outcome, weights=diagonal, minlength=1 << k)
        counts = np.random.default_rng(seed).multinomial(shots, marginal / marginal.sum())
        present = np.nonzero(counts)[0]
        rows = ((present[:, None] >> np.arange(k)[None, :]) & 1).astype(np.uint8)
        return rows, counts[present].astype(np.int64)

    def project(self, state: Any, qubits: Sequence[int], bits: Sequence[int]) -> None:
        """Collapse onto ``qubits`` = ``bits`` and renormalise: projector Kraus operations zero the other
        blocks, and rhosim's measurement of the same qubits (now certain) rescales the trace to 1."""
        records = [_RhoKraus([q], _PROJECTORS[b][None, :, :].copy()) for q, b in zip(qubits, bits)]
        self.rhosim.run_density_operations_device(state, self.n, records)
        expected = "".join(str(int(b)) for b in bits)
        for seed in (1, 2, 3):
            try:
                if self.rhosim.measure_device(state, list(qubits), seed=seed) == expected:
                    return
            except RuntimeError:
                continue  # a zero-probability draw is refused before the matrix is touched
        raise RuntimeError(f"collapse onto outcome {expected} of qubits {list(qubits)} failed")

    def reset_records(self, qubits: Sequence[int]) -> list[Any]:
        """Reset as a channel: Kraus {|0><0|, |0><1|} on each qubit."""
        return [_RhoKraus([q], _RESET_KRAUS.copy()) for q in qubits]

    def flip(self, state: Any, qubits: Sequence[int]) -> None:
        """X on each qubit."""
        self.apply(state, [_RhoGate("x", [q], [], [], []) for q in qubits])

    def snapshot(self, state: Any) -> Any:
        """A device copy for small matrices, a host copy for large ones."""
        return state.copy() if self.n <= _RHO_DEVICE_SNAPSHOT_QUBITS else state.to_numpy()

    def restore(self, snapshot: Any) -> Any:
        """A new device state from a snapshot."""
        if isinstance(snapshot, np.ndarray):
            return self.rhosim.DeviceDensityState.from_numpy(self.n, snapshot.copy())
        return snapshot.copy()

    def to_numpy(self, state: Any) -> np.ndarray:
        """The density matrix (qubit q = bit q of row and column indices)."""
        return cast(np.ndarray, state.to_numpy())

    def expectations(self, state: Any, paulis: list[str]) -> np.ndarray:
        """Re Tr(rho P) of each Pauli string, from a downloaded matrix."""
        if not paulis:
            return np.zeros(0, dtype=np.float64)
        return density_expectations(state.to_numpy().astype(np.complex128), paulis)


def make_backend(method: str, num_qubits: int, precision: str, fusion: bool) -> KetBackend | RhoBackend:
    """The adapter for a method name, after checking the method, precision and qubit count."""
    if method not in ("statevector", "density_matrix"):
        raise ValueError(f"method must be 'statevector' or 'density_matrix', got {method!r}")
    dtype_of(precision)
    if not isinstance(fusion, (bool, np.bool_)):
        raise TypeError(f"fusion must be True or False, got {fusion!r}")
    cls = KetBackend if method == "statevector" else RhoBackend
    if num_qubits > cls.max_qubits:
        raise ValueError(
            f"the {method} method supports at most {cls.max_qubits} qubits; the circuit has {num_qubits}"
        )
    return cls(num_qubits, precision, bool(fusion))
