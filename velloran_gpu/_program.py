"""The toolkit-neutral program that every front end translates its circuits into: a qubit count, a classical-bit
count and a list of instructions (gates, measurements, resets, classically conditioned blocks, Kraus channels).

Conventions: qubit q is bit q of an amplitude index (qubit 0 least significant). In a matrix acting on several
targets, bit j of the row or column index belongs to ``targets[j]``. A classical value read from a list of bits
has ``clbits[j]`` as its bit j. The executor in ``velloran_gpu._execute`` runs a :class:`Program`;
:meth:`Program.validate` checks one completely before any device work.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Iterable, Sequence, Union

import numpy as np

from ._gates import GATES, UNITARY, GateKind, gate_kind

_TOLERANCE = 1e-7


def _int_tuple(values: Iterable[int], what: str) -> tuple[int, ...]:
    out = []
    for v in values:
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, (int, np.integer)):
            raise TypeError(f"{what} must be integers, got {v!r}")
        out.append(int(v))
    return tuple(out)


def _frozen_array(value: object, what: str) -> np.ndarray:
    try:
        array = np.array(value, dtype=np.complex128, copy=True)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} must be a complex array: {exc}") from None
    array.setflags(write=False)
    return array


@dataclass(frozen=True, eq=False)
class Gate:
    """A unitary gate: a catalogue gate by name with its parameters, or an explicit matrix (``name="unitary"``).

    ``targets`` are the qubits the gate (or matrix) acts on; the gate acts only where every qubit in
    ``controls`` has the value in ``control_states`` (default: all 1). ``label`` names the instruction the gate
    came from, for error messages.
    """

    name: str
    targets: tuple[int, ...]
    params: tuple[float, ...] = ()
    controls: tuple[int, ...] = ()
    control_states: tuple[int, ...] | None = None
    matrix: np.ndarray | None = None
    label: str | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"gate name must be a str, got {self.name!r}")
        object.__setattr__(self, "targets", _int_tuple(self.targets, "gate targets"))
        object.__setattr__(self, "controls", _int_tuple(self.controls, "gate controls"))
        states = (1,) * len(self.controls) if self.control_states is None else self.control_states
        object.__setattr__(self, "control_states", _int_tuple(states, "control states"))
        try:
            params = tuple(float(p) for p in self.params)
        except (TypeError, ValueError):
            raise TypeError(f"{self.describe()}: parameters must be real numbers, got {self.params!r}") from None
        object.__setattr__(self, "params", params)
        if self.matrix is not None:
            object.__setattr__(self, "matrix", _frozen_array(self.matrix, f"{self.describe()} matrix"))

    @property
    def kind(self) -> GateKind | None:
        """The catalogue row of a named gate; None for an explicit matrix."""
        return None if self.name == UNITARY else gate_kind(self.name)

    @property
    def qubits(self) -> tuple[int, ...]:
        """Targets followed by controls."""
        return self.targets + self.controls

    def describe(self) -> str:
        """The label (or gate name) used in error messages."""
        return f"instruction {self.label!r}" if self.label else f"gate {self.name!r}"

    def target_matrix(self) -> np.ndarray:
        """The matrix acting on the targets (without controls), row-major, bit j of an index = ``targets[j]``."""
        if self.name == UNITARY:
            assert self.matrix is not None
            return self.matrix
        return gate_kind(self.name).matrix(self.params)

    def full_matrix(self) -> np.ndarray:
        """The matrix on ``targets + controls`` (controls as the high index bits), for reference computations."""
        base = self.target_matrix()
        k, c = len(self.targets), len(self.controls)
        dim = 1 << (k + c)
        full = np.eye(dim, dtype=np.complex128)
        ctrl_value = sum((s << j for j, s in enumerate(self.control_states or ())), 0)
        block = ctrl_value << k
        if base.shape == (1, 1):  # a global phase: every basis state whose controls match
            full[block : block + (1 << k), block : block + (1 << k)] *= base[0, 0]
        else:
            full[block : block + base.shape[0], block : block + base.shape[0]] = base
        return full

    def validate(self, num_qubits: int) -> None:
        """Check names, operand counts, qubit ranges, parameters and the matrix; ValueError naming the gate."""
        who = self.describe()
        if self.name == UNITARY:
            if self.matrix is None:
                raise ValueError(f"{who}: a 'unitary' gate needs a matrix")
            k = len(self.targets)
            if k < 1:
                raise ValueError(f"{who}: a 'unitary' gate needs at least one target")
            if self.matrix.shape != (1 << k, 1 << k):
                raise ValueError(f"{who}: matrix shape {self.matrix.shape} does not match {k} target(s)")
            if not np.all(np.isfinite(self.matrix)):
                raise ValueError(f"{who}: matrix has non-finite entries")
            product = self.matrix.conj().T @ self.matrix
            if not np.allclose(product, np.eye(1 << k), atol=_TOLERANCE * (1 << k)):
                raise ValueError(f"{who}: matrix is not unitary")
        else:
            if self.name not in GATES:
                raise ValueError(f"{who}: unknown gate name {self.name!r}")
            kind = GATES[self.name]
            if len(self.targets) != kind.num_targets:
                raise ValueError(f"{who}: '{self.name}' takes {kind.num_targets} target(s), got {len(self.targets)}")
            if len(self.params) != kind.num_params:
                raise ValueError(f"{who}: '{self.name}' takes {kind.num_params} parameter(s), got {len(self.params)}")
            if self.matrix is not None:
                raise ValueError(f"{who}: only a 'unitary' gate carries a matrix")
        if not all(math.isfinite(p) for p in self.params):
            raise ValueError(f"{who}: parameters must be finite, got {self.params}")
        assert self.control_states is not None
        if len(self.control_states) != len(self.controls):
            raise ValueError(f"{who}: {len(self.controls)} control(s) but {len(self.control_states)} control state(s)")
        if any(s not in (0, 1) for s in self.control_states):
            raise ValueError(f"{who}: control states must be 0 or 1, got {self.control_states}")
        _check_qubits(self.qubits, num_qubits, who)


@dataclass(frozen=True, eq=False)
class ReadoutError:
    """A confusion matrix on recorded measurement bits: ``matrix[true, recorded]`` is the probability of
    recording ``recorded`` when ``true`` was measured, over ``qubits`` (bit j of an index is ``qubits[j]``).
    Rows sum to 1. The quantum state is not affected; only the recorded bits are."""

    qubits: tuple[int, ...]
    matrix: np.ndarray

    def __post_init__(self) -> None:
        object.__setattr__(self, "qubits", _int_tuple(self.qubits, "readout-error qubits"))
        try:
            matrix = np.array(self.matrix, dtype=np.float64, copy=True)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"readout-error matrix must be real: {exc}") from None
        matrix.setflags(write=False)
        object.__setattr__(self, "matrix", matrix)

    def validate(self, num_qubits: int, measured: Sequence[int]) -> None:
        """Shape, probabilities, and qubits among the ones measured."""
        k = len(self.qubits)
        if k < 1:
            raise ValueError("readout error needs at least one qubit")
        if self.matrix.shape != (1 << k, 1 << k):
            raise ValueError(f"readout error on {k} qubit(s) needs a {1 << k}x{1 << k} matrix, got {self.matrix.shape}")
        if not np.all(np.isfinite(self.matrix)) or np.any(self.matrix < 0):
            raise ValueError("readout-error probabilities must be finite and non-negative")
        if not np.allclose(self.matrix.sum(axis=1), 1.0, atol=1e-9):
            raise ValueError("each row of a readout-error matrix must sum to 1")
        _check_qubits(self.qubits, num_qubits, "readout error")
        missing = [q for q in self.qubits if q not in measured]
        if missing:
            raise ValueError(f"readout error names qubit(s) {missing} that the measurement does not measure")


@dataclass(frozen=True, eq=False)
class Measure:
    """Computational-basis measurement of ``qubits[j]`` into classical bit ``clbits[j]``, with optional
    readout errors applied to the recorded bits."""

    qubits: tuple[int, ...]
    clbits: tuple[int, ...]
    readout: tuple[ReadoutError, ...] = ()
    label: str | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "qubits", _int_tuple(self.qubits, "measured qubits"))
        object.__setattr__(self, "clbits", _int_tuple(self.clbits, "classical bits"))
        object.__setattr__(self, "readout", tuple(self.readout))

    def validate(self, num_qubits: int, num_clbits: int) -> None:
        """Matching lengths, qubits and bits in range and distinct."""
        who = f"instruction {self.label!r}" if self.label else "measure"
        if len(self.qubits) != len(self.clbits):
            raise ValueError(f"{who}: {len(self.qubits)} qubit(s) but {len(self.clbits)} classical bit(s)")
        if not self.qubits:
            raise ValueError(f"{who}: measures no qubit")
        _check_qubits(self.qubits, num_qubits, who)
        _check_clbits(self.clbits, num_clbits, who)
        for error in self.readout:
            if not isinstance(error, ReadoutError):
                raise TypeError(f"{who}: readout errors must be ReadoutError objects, got {error!r}")
            error.validate(num_qubits, self.qubits)


@dataclass(frozen=True, eq=False)
class Reset:
    """Reset of each qubit to |0> (a measurement whose outcome is not recorded, then X where it was 1)."""

    qubits: tuple[int, ...]
    label: str | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "qubits", _int_tuple(self.qubits, "reset qubits"))

    def validate(self, num_qubits: int) -> None:
        """Qubits in range and distinct."""
        who = f"instruction {self.label!r}" if self.label else "reset"
        if not self.qubits:
            raise ValueError(f"{who}: resets no qubit")
        _check_qubits(self.qubits, num_qubits, who)


@dataclass(frozen=True, eq=False)
class KrausChannel:
    """A channel rho -> sum_m K_m rho K_m^dagger on ``targets``; ``matrices`` has shape (count, 2**k, 2**k).
    ``name`` may name rhosim's built-in form ("bit_flip", "phase_flip", "depolarizing", "amplitude_damping",
    "phase_damping"); rhosim uses it only when the matrices are that channel's own set."""

    targets: tuple[int, ...]
    matrices: np.ndarray
    name: str | None = None
    label: str | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "targets", _int_tuple(self.targets, "channel targets"))
        object.__setattr__(self, "matrices", _frozen_array(self.matrices, "Kraus matrices"))

    def validate(self, num_qubits: int) -> None:
        """Shape, finiteness, trace preservation and targets."""
        who = f"instruction {self.label!r}" if self.label else "Kraus channel"
        k = len(self.targets)
        if k < 1:
            raise ValueError(f"{who}: a channel needs at least one target")
        dim = 1 << k
        if self.matrices.ndim != 3 or self.matrices.shape[1:] != (dim, dim) or self.matrices.shape[0] < 1:
            raise ValueError(f"{who}: Kraus matrices of shape {self.matrices.shape} do not fit {k} target(s)")
        if not np.all(np.isfinite(self.matrices)):
            raise ValueError(f"{who}: Kraus matrices have non-finite entries")
        total = np.einsum("mji,mjk->ik", self.matrices.conj(), self.matrices)
        if not np.allclose(total, np.eye(dim), atol=1e-6):
            raise ValueError(f"{who}: Kraus matrices are not trace preserving (sum K^dagger K != I)")
        _check_qubits(self.targets, num_qubits, who)


@dataclass(frozen=True)
class Condition:
    """A test on classical bits: the value of ``clbits`` (bit j = ``clbits[j]``) equals ``value``, or, with
    ``negate``, differs from it. ``Condition((b,), 1)`` tests one bit; ``Condition(bits, 0, negate=True)`` holds
    when any of the bits is set."""

    clbits: tuple[int, ...]
    value: int
    negate: bool = False

    def __post_init__(self) -> None:
        object.__setattr__(self, "clbits", _int_tuple(self.clbits, "condition bits"))
        if isinstance(self.value, (bool, np.bool_)):
            object.__setattr__(self, "value", int(self.value))
        elif not isinstance(self.value, (int, np.integer)):
            raise TypeError(f"condition value must be an integer, got {self.value!r}")
        object.__setattr__(self, "value", int(self.value))
        object.__setattr__(self, "negate", bool(self.negate))

    def validate(self, num_clbits: int) -> None:
        """Bits in range and distinct; a value that the bits can hold."""
        if not self.clbits:
            raise ValueError("a condition needs at least one classical bit")
        _check_clbits(self.clbits, num_clbits, "condition")
        if not 0 <= self.value < (1 << len(self.clbits)):
            raise ValueError(f"condition value {self.value} does not fit in {len(self.clbits)} bit(s)")

    def evaluate(self, bits: np.ndarray) -> np.ndarray:
        """The condition for every row of ``bits`` (shape (shots, num_clbits), values 0/1), as booleans."""
        value = np.zeros(bits.shape[0], dtype=object if len(self.clbits) > 62 else np.int64)
        for j, b in enumerate(self.clbits):
            value = value + (bits[:, b].astype(value.dtype) << j)
        result = value == self.value
        return np.asarray(~result if self.negate else result, dtype=bool)


@dataclass(frozen=True, eq=False)
class Conditional:
    """Run ``body`` in the shots where ``condition`` holds and ``else_body`` in the others."""

    condition: Condition
    body: tuple["Instruction", ...]
    else_body: tuple["Instruction", ...] = ()
    label: str | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "body", tuple(self.body))
        object.__setattr__(self, "else_body", tuple(self.else_body))


#: One program instruction: a gate, a measurement, a reset, a conditional block or a Kraus channel.
Instruction = Union[Gate, Measure, Reset, Conditional, KrausChannel]


@dataclass
class Program:
    """A circuit in the package's neutral form: ``num_qubits`` qubits, ``num_clbits`` classical bits (all 0
    at the start) and ``instructions`` in order.

    The run starts from ``initial_state``: None for |0...0>, an integer for that computational basis state
    (qubit q = bit q), or an array: a normalised state vector of 2**n amplitudes, or (density-matrix
    method only) a 2**n x 2**n density matrix.
    """

    num_qubits: int
    num_clbits: int = 0
    instructions: list[Instruction] = field(default_factory=list)
    initial_state: int | np.ndarray | None = None

    def append(self, instruction: Instruction) -> "Program":
        """Append one instruction; returns the program."""
        self.instructions.append(instruction)
        return self

    def validate(self) -> None:
        """Check the whole program (recursively through conditional blocks); ValueError or TypeError naming
        the first bad instruction. Method-specific limits are checked by the executor."""
        if isinstance(self.num_qubits, bool) or not isinstance(self.num_qubits, (int, np.integer)):
            raise TypeError(f"num_qubits must be an integer, got {self.num_qubits!r}")
        if isinstance(self.num_clbits, bool) or not isinstance(self.num_clbits, (int, np.integer)):
            raise TypeError(f"num_clbits must be an integer, got {self.num_clbits!r}")
        if self.num_qubits < 1:
            raise ValueError(f"a program needs at least one qubit, got {self.num_qubits}")
        if self.num_clbits < 0:
            raise ValueError(f"num_clbits must be non-negative, got {self.num_clbits}")
        _validate_block(self.instructions, self.num_qubits, self.num_clbits)
        _validate_initial_state(self.initial_state, self.num_qubits)

    def walk(self) -> Iterable[Instruction]:
        """Every instruction, depth first through conditional blocks."""
        return _walk(self.instructions)

    @property
    def has_measurements(self) -> bool:
        """Whether any measurement, reset or conditional occurs."""
        return any(isinstance(i, (Measure, Reset, Conditional)) for i in self.walk())

    @property
    def has_channels(self) -> bool:
        """Whether any Kraus channel occurs."""
        return any(isinstance(i, KrausChannel) for i in self.walk())

    @property
    def has_readout_errors(self) -> bool:
        """Whether any measurement carries a readout error."""
        return any(isinstance(i, Measure) and i.readout for i in self.walk())


def _validate_initial_state(initial: object, num_qubits: int) -> None:
    if initial is None:
        return
    if isinstance(initial, (bool, np.bool_)):
        raise TypeError("initial_state must be None, an integer or an array, not a bool")
    if isinstance(initial, (int, np.integer)):
        if not 0 <= initial < (1 << num_qubits):
            raise ValueError(f"initial_state {initial} is not a basis state of {num_qubits} qubit(s)")
        return
    array = np.asarray(initial)
    dim = 1 << num_qubits
    if array.shape == (dim,):
        if not np.all(np.isfinite(array)) or not np.isclose(np.vdot(array, array).real, 1.0, atol=1e-6):
            raise ValueError("initial_state vector must be finite and normalised")
    elif array.shape == (dim, dim):
        if not np.all(np.isfinite(array)) or not np.isclose(np.trace(array).real, 1.0, atol=1e-6):
            raise ValueError("initial_state density matrix must be finite with trace 1")
        if not np.allclose(array, array.conj().T, atol=1e-6):
            raise ValueError("initial_state density matrix must be Hermitian")
    else:
        raise ValueError(f"initial_state of shape {array.shape} fits neither {dim} amplitudes nor a {dim}x{dim} matrix")


def _walk(block: Sequence[Instruction]) -> Iterable[Instruction]:
    for instruction in block:
        yield instruction
        if isinstance(instruction, Conditional):
            yield from _walk(instruction.body)
            yield from _walk(instruction.else_body)


def _validate_block(block: Sequence[Instruction], num_qubits: int, num_clbits: int) -> None:
    for instruction in block:
        if isinstance(instruction, Gate):
            instruction.validate(num_qubits)
        elif isinstance(instruction, Measure):
            instruction.validate(num_qubits, num_clbits)
        elif isinstance(instruction, Reset):
            instruction.validate(num_qubits)
        elif isinstance(instruction, KrausChannel):
            instruction.validate(num_qubits)
        elif isinstance(instruction, Conditional):
            if not isinstance(instruction.condition, Condition):
                raise TypeError(f"conditional needs a Condition, got {instruction.condition!r}")
            instruction.condition.validate(num_clbits)
            _validate_block(instruction.body, num_qubits, num_clbits)
            _validate_block(instruction.else_body, num_qubits, num_clbits)
        else:
            raise TypeError(f"not a program instruction: {instruction!r}")


def _check_qubits(qubits: Sequence[int], num_qubits: int, who: str) -> None:
    for q in qubits:
        if not 0 <= q < num_qubits:
            raise ValueError(f"{who}: qubit {q} is outside the program's {num_qubits} qubit(s)")
    if len(set(qubits)) != len(qubits):
        raise ValueError(f"{who}: repeated qubit in {tuple(qubits)}")


def _check_clbits(clbits: Sequence[int], num_clbits: int, who: str) -> None:
    for b in clbits:
        if not 0 <= b < num_clbits:
            raise ValueError(f"{who}: classical bit {b} is outside the program's {num_clbits} bit(s)")
    if len(set(clbits)) != len(clbits):
        raise ValueError(f"{who}: repeated classical bit in {tuple(clbits)}")
