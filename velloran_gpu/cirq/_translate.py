"""Translation of Cirq circuits into the package's toolkit-neutral :class:`~velloran_gpu.Program`, with the
bookkeeping that turns the executor's classical bits back into Cirq measurement records.

Qubit order: the i-th of the n qubits in Cirq's order is program qubit n-1-i. Cirq puts its first qubit in the
most significant bit of a state index and the program puts qubit 0 in the least significant one, so both
number the amplitudes (and density-matrix rows and columns) the same way and no state needs reordering.
A matrix Cirq gives for an operation on qubits (a, b, c) is big-endian in them; the program reads bit j of a
matrix index as ``targets[j]``, so the same matrix is used with the targets (c, b, a).
"""

from __future__ import annotations

import cmath
import math
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence, cast

import cirq
import numpy as np

from .._gates import (
    GATES,
    KETSIM_MAX_UNITARY_TARGETS,
    RHOSIM_MAX_KRAUS_TARGETS,
    RHOSIM_MAX_UNITARY_TARGETS,
    UNITARY,
)
from .._program import (
    Condition,
    Conditional,
    Gate,
    Instruction,
    KrausChannel,
    Measure,
    Program,
    ReadoutError,
    Reset,
)

# A gate on at most this many qubits is read as a matrix (its controls and catalogue form recognised);
# larger ones are decomposed first and only run as one matrix when Cirq cannot decompose them.
_MATRIX_FIRST_QUBITS = 4
# Conditions other than "key is non-zero" are evaluated by Cirq on every value of the bits they read.
_MAX_CONDITION_BITS = 10
# Distinct control assignments a sum-of-products control may expand to.
_MAX_CONTROL_ASSIGNMENTS = 64
_ATOL = 1e-12

_SWAP = GATES["swap"].matrix(())

# rhosim's built-in channels, by Cirq channel type; Cirq's Kraus sets of these types are rhosim's own sets
# (phase damping after the rewrite in _channel), so rhosim recognises them and skips the Kraus sum.
_CHANNEL_NAMES = (
    (cirq.BitFlipChannel, "bit_flip"),
    (cirq.PhaseFlipChannel, "phase_flip"),
    (cirq.AmplitudeDampingChannel, "amplitude_damping"),
    (cirq.PhaseDampingChannel, "phase_damping"),
)


@dataclass(frozen=True)
class MeasurementInstance:
    """One measurement of a key: the classical bits holding its raw outcomes (one per measured qubit, in the
    operation's qubit order), the qubits, and Cirq's invert mask (applied when the bits are recorded)."""

    clbits: tuple[int, ...]
    qubits: tuple[cirq.Qid, ...]
    invert: tuple[bool, ...]

    @property
    def invert_value(self) -> int:
        """The raw value of the bits (bit j = ``clbits[j]``) that Cirq records as all zeros."""
        return sum(1 << j for j, flip in enumerate(self.invert) if flip)


@dataclass
class Translation:
    """A translated circuit: the program, Cirq's qubit order, and every measurement key's instances in
    circuit order."""

    program: Program
    qubits: tuple[cirq.Qid, ...]
    keys: dict[str, list[MeasurementInstance]] = field(default_factory=dict)

    def records(self, bits: np.ndarray) -> dict[str, np.ndarray]:
        """Cirq measurement records (shape (repetitions, instances, qubits), int8) from the executor's bits
        (shape (repetitions, num_clbits)), with each measurement's invert mask applied."""
        out: dict[str, np.ndarray] = {}
        for key, instances in self.keys.items():
            width = len(instances[0].clbits)
            record = np.empty((bits.shape[0], len(instances), width), dtype=np.int8)
            for i, inst in enumerate(instances):
                record[:, i, :] = bits[:, list(inst.clbits)]
                flips = [j for j, flip in enumerate(inst.invert) if flip]
                if flips:
                    record[:, i, flips] ^= 1
            out[key] = record
        return out

    def last_measurements(self, bits: np.ndarray) -> dict[str, np.ndarray]:
        """The latest outcome of every key in one shot (``bits`` of shape (num_clbits,)), as Cirq's
        simulate() reports them (uint8, one entry per measured qubit)."""
        out: dict[str, np.ndarray] = {}
        for key, instances in self.keys.items():
            inst = instances[-1]
            values = np.asarray(bits)[list(inst.clbits)].astype(np.uint8)
            out[key] = values ^ np.array(inst.invert, dtype=np.uint8)
        return out


def _describe(op: cirq.Operation) -> str:
    text = repr(op)
    return text if len(text) <= 160 else text[:157] + "..."


class _Translator:
    def __init__(self, qubits: Sequence[cirq.Qid], method: str) -> None:
        self.qubits = tuple(qubits)
        self.n = len(self.qubits)
        self.index = {q: self.n - 1 - i for i, q in enumerate(self.qubits)}
        self.method = method
        self.max_matrix = KETSIM_MAX_UNITARY_TARGETS if method == "statevector" else RHOSIM_MAX_UNITARY_TARGETS
        self.keys: dict[str, list[MeasurementInstance]] = {}
        self.num_clbits = 0
        # Matrix plans of the gates seen so far (a circuit repeats few distinct gates).
        self.plans: dict[cirq.Gate, tuple[_Planned, ...]] = {}
        self._label_of: tuple[cirq.Operation | None, str] = (None, "")

    def label(self, root: cirq.Operation) -> str:
        """The text naming ``root`` in messages (one decomposed operation gives many instructions)."""
        if self._label_of[0] is not root:
            self._label_of = (root, _describe(root))
        return self._label_of[1]

    # ----------------------------------------------------------------------------------------------- operations

    def operations(self, ops: Iterable[cirq.Operation], root: cirq.Operation | None = None) -> list[Instruction]:
        out: list[Instruction] = []
        for op in ops:
            out.extend(self.operation(op, root if root is not None else op))
        return out

    def operation(self, op: cirq.Operation, root: cirq.Operation) -> list[Instruction]:
        """The instructions of one operation; ``root`` is the circuit's operation it came from (errors)."""
        op = op.untagged
        gate = op.gate
        if isinstance(op, cirq.ClassicallyControlledOperation):
            return self.conditional(op, root)
        for q in op.qubits:
            if q.dimension != 2:
                raise ValueError(f"operation {_describe(root)} acts on {q!r} of dimension {q.dimension}; "
                                 "only qubits (dimension 2) are supported")
        if isinstance(gate, cirq.MeasurementGate):
            return [self.measure(op, gate, root)]
        if isinstance(gate, cirq.ResetChannel):
            return [Reset(self.targets(op.qubits), label=self.label(root))]
        if isinstance(gate, (cirq.IdentityGate, cirq.WaitGate)) or (
            isinstance(gate, cirq.GlobalPhaseGate) and gate.coefficient == 1
        ):
            return []
        if cirq.is_parameterized(op):
            raise ValueError(f"operation {_describe(root)} has unresolved parameters "
                             f"{sorted(map(str, cirq.parameter_names(op)))}; pass a param_resolver or sweep")
        if cirq.is_measurement(op) and not isinstance(op, cirq.CircuitOperation):
            raise ValueError(f"operation {_describe(root)} records measurement keys but is not a "
                             "cirq.MeasurementGate; it is not supported")
        controlled = self.controlled_parts(op)
        if controlled is not None:
            return self.controlled(*controlled, root=root)
        return self.plain(op, root)

    def plain(self, op: cirq.Operation, root: cirq.Operation) -> list[Instruction]:
        k = len(op.qubits)
        gate = op.gate
        if gate is not None and k <= _MATRIX_FIRST_QUBITS:
            plan = self.plans.get(gate) if _hashable(gate) else None
            if plan is None and not cirq.is_measurement(op) and cirq.has_unitary(op):
                plan = _matrix_plan(cirq.unitary(op))
                if _hashable(gate):
                    self.plans[gate] = plan
            if plan is not None:
                return self.planned_gates(plan, op.qubits, root)
        is_unitary = not cirq.is_measurement(op) and cirq.has_unitary(op)
        if is_unitary and k <= _MATRIX_FIRST_QUBITS:
            return self.planned_gates(_matrix_plan(cirq.unitary(op)), op.qubits, root)
        parts = cast("list[cirq.Operation] | None", cirq.decompose_once(op, default=None))
        if parts is not None:
            return self.operations(parts, root)
        if is_unitary:
            if k > self.max_matrix:
                raise ValueError(f"operation {_describe(root)}: a {k}-qubit matrix is larger than the "
                                 f"{self.max_matrix}-qubit limit of the {self.method} method and Cirq "
                                 "cannot decompose it")
            return self.planned_gates(_matrix_plan(cirq.unitary(op)), op.qubits, root)
        if cirq.has_kraus(op):
            return [self.channel(op, root)]
        raise ValueError(f"operation {_describe(root)} has no unitary, Kraus operators or decomposition; "
                         "it cannot be simulated")

    def targets(self, qubits: Sequence[cirq.Qid]) -> tuple[int, ...]:
        """Program qubits of Cirq qubits, in the same order."""
        return tuple(self.index[q] for q in qubits)

    # -------------------------------------------------------------------------------------------- measurement

    def measure(self, op: cirq.Operation, gate: cirq.MeasurementGate, root: cirq.Operation) -> Measure:
        key = str(gate.mkey)
        qubits = tuple(op.qubits)
        previous = self.keys.get(key)
        if previous and len(previous[0].clbits) != len(qubits):
            raise ValueError(f"operation {_describe(root)} measures {len(qubits)} qubit(s) into key {key!r}, "
                             f"which earlier measured {len(previous[0].clbits)}")
        clbits = tuple(range(self.num_clbits, self.num_clbits + len(qubits)))
        self.num_clbits += len(qubits)
        invert = tuple(bool(b) for b in gate.full_invert_mask())
        self.keys.setdefault(key, []).append(MeasurementInstance(clbits, qubits, invert))
        targets = self.targets(qubits)
        readout = []
        for indices, matrix in gate.confusion_map.items():
            matrix = np.asarray(matrix, dtype=np.float64)
            # Cirq's confusion matrix is indexed big-endian over ``indices``; the program's little-endian.
            readout.append(ReadoutError(tuple(targets[i] for i in reversed(indices)), matrix))
        return Measure(targets, clbits, tuple(readout), label=self.label(root))

    # --------------------------------------------------------------------------------------- classical control

    def conditional(self, op: cirq.ClassicallyControlledOperation, root: cirq.Operation) -> list[Instruction]:
        body = tuple(self.operation(op.without_classical_controls(), root))
        if not body:
            return []
        conditions = list(op.classical_controls)
        key_conditions = [c for c in conditions if isinstance(c, cirq.KeyCondition)]
        if len(key_conditions) == len(conditions):
            # "The key's latest (or indexed) value is non-zero": one negated test per condition, nested.
            block = body
            for condition in key_conditions:
                inst = self.instance(condition.key, condition.index, root)
                block = (Conditional(Condition(inst.clbits, inst.invert_value, negate=True), block,
                                     label=self.label(root)),)
            return list(block)
        return self.enumerated_conditional(conditions, body, root)

    def instance(self, key: cirq.MeasurementKey, index: int, root: cirq.Operation) -> MeasurementInstance:
        instances = self.keys.get(str(key))
        if not instances:
            raise ValueError(f"operation {_describe(root)} is conditioned on measurement key {str(key)!r}, "
                             "which no earlier measurement writes")
        try:
            return instances[index]
        except IndexError:
            raise ValueError(f"operation {_describe(root)} reads measurement {index} of key {str(key)!r}, "
                             f"which is measured {len(instances)} time(s) before it") from None

    def enumerated_conditional(self, conditions: list[Any], body: tuple[Instruction, ...],
                               root: cirq.Operation) -> list[Instruction]:
        """Any Cirq condition: Cirq evaluates it on every value of the measured bits it reads, and the body
        runs under the values where all conditions hold."""
        involved: list[tuple[str, int]] = []
        for condition in conditions:
            index = getattr(condition, "index", -1)
            for key in condition.keys:
                instances = self.keys.get(str(key))
                self.instance(key, index, root)  # refuses keys not measured yet
                entry = (str(key), index % len(instances or ()))  # instance() refused an unmeasured key
                if entry not in involved:
                    involved.append(entry)
        clbits = tuple(b for key, i in involved for b in self.keys[key][i].clbits)
        if len(clbits) > _MAX_CONDITION_BITS:
            raise ValueError(f"operation {_describe(root)}: its conditions read {len(clbits)} measured bits; "
                             f"at most {_MAX_CONDITION_BITS} are supported")
        holds: list[int] = []
        for raw in range(1 << len(clbits)):
            store = cirq.ClassicalDataDictionaryStore()
            offset = 0
            values: dict[tuple[str, int], list[int]] = {}
            for key, i in involved:
                inst = self.keys[key][i]
                values[(key, i)] = [((raw >> (offset + j)) & 1) ^ int(inst.invert[j]) for j in range(len(inst.clbits))]
                offset += len(inst.clbits)
            for key in dict.fromkeys(k for k, _ in involved):
                for i, inst in enumerate(self.keys[key]):
                    bits = values.get((key, i), [0] * len(inst.clbits))
                    store.record_measurement(cirq.MeasurementKey.parse_serialized(key), bits, inst.qubits)
            if all(condition.resolve(store) for condition in conditions):
                holds.append(raw)
        label = self.label(root)
        everything = 1 << len(clbits)
        if not holds:
            return []
        if len(holds) == everything:
            return list(body)
        if len(holds) <= everything - len(holds):
            # body under the first matching value, else the next one, ...
            block: tuple[Instruction, ...] = ()
            for value in reversed(holds):
                block = (Conditional(Condition(clbits, value), body, block, label=label),)
            return list(block)
        fails = [v for v in range(everything) if v not in set(holds)]
        block = body
        for value in reversed(fails):
            block = (Conditional(Condition(clbits, value), (), block, label=label),)
        return list(block)

    # ---------------------------------------------------------------------------------------------- controls

    def controlled_parts(self, op: cirq.Operation) -> tuple[cirq.Operation, tuple[cirq.Qid, ...], Any] | None:
        """(sub-operation, control qubits, control values) of a controlled operation, else None."""
        if isinstance(op, cirq.ControlledOperation):
            return op.sub_operation, tuple(op.controls), op.control_values
        gate = op.gate
        if isinstance(gate, cirq.ControlledGate):
            c = gate.num_controls()
            return gate.sub_gate.on(*op.qubits[c:]), tuple(op.qubits[:c]), gate.control_values
        return None

    def controlled(self, sub: cirq.Operation, controls: tuple[cirq.Qid, ...], values: Any,
                   root: cirq.Operation) -> list[Instruction]:
        if isinstance(values, cirq.ProductOfSums):
            keep = [(q, tuple(set(v))[0]) for q, v in zip(controls, list(values)) if len(set(v)) == 1]
            assignments = [tuple(v for _, v in keep)]
            controls = tuple(q for q, _ in keep)
        else:
            assignments = sorted(set(tuple(a) for a in values.expand()))
            if len(assignments) > _MAX_CONTROL_ASSIGNMENTS:
                raise ValueError(f"operation {_describe(root)}: its control values expand to "
                                 f"{len(assignments)} assignments; at most {_MAX_CONTROL_ASSIGNMENTS} are supported")
        body = self.operation(sub, root)
        for instruction in body:
            if not isinstance(instruction, Gate):
                raise ValueError(f"operation {_describe(root)}: only unitary operations can be controlled by "
                                 "qubits")
        out: list[Instruction] = []
        control_targets = self.targets(controls)
        for assignment in assignments:
            if any(v not in (0, 1) for v in assignment):
                raise ValueError(f"operation {_describe(root)}: control values must be 0 or 1, got {assignment}")
            for g in body:
                assert isinstance(g, Gate)
                out.append(Gate(g.name, g.targets, g.params, g.controls + control_targets,
                                tuple(g.control_states or ()) + tuple(int(v) for v in assignment), g.matrix,
                                label=g.label))
        return out

    # ------------------------------------------------------------------------------------------------ matrices

    def planned_gates(self, plan: tuple[_Planned, ...], qubits: Sequence[cirq.Qid],
                      root: cirq.Operation) -> list[Instruction]:
        """The gates of a matrix plan on ``qubits`` (Cirq's order of the operation's qubits)."""
        label = self.label(root)
        local = tuple(reversed(self.targets(qubits)))  # local qubit j = bit j of the matrix index
        out: list[Instruction] = []
        for item in plan:
            if item.name == UNITARY and len(item.targets) > self.max_matrix:
                raise ValueError(f"operation {label}: a {len(item.targets)}-qubit matrix is larger than the "
                                 f"{self.max_matrix}-qubit limit of the {self.method} method")
            out.append(Gate(item.name, tuple(local[j] for j in item.targets), item.params,
                            tuple(local[j] for j in item.controls), item.states, item.matrix, label=label))
        return out

    # ------------------------------------------------------------------------------------------------ channels

    def channel(self, op: cirq.Operation, root: cirq.Operation) -> KrausChannel:
        if self.method != "density_matrix":
            raise ValueError(f"operation {_describe(root)} is a noise channel; the state-vector Simulator runs "
                             "unitary circuits with measurements only (use DensityMatrixSimulator)")
        k = len(op.qubits)
        if k > RHOSIM_MAX_KRAUS_TARGETS:
            raise ValueError(f"operation {_describe(root)}: a channel on {k} qubits is larger than the "
                             f"{RHOSIM_MAX_KRAUS_TARGETS}-qubit limit of the density-matrix method")
        matrices = np.array(cirq.kraus(op), dtype=np.complex128)
        name = None
        gate = op.gate
        for cls, builtin in _CHANNEL_NAMES:
            if isinstance(gate, cls):
                name = builtin
        if isinstance(gate, cirq.DepolarizingChannel) and gate.n_qubits == 1:
            name = "depolarizing"
        if isinstance(gate, cirq.PhaseDampingChannel):
            # Cirq's two-operator set shrinks coherences by sqrt(1-gamma); the equivalent three-operator set
            # {sqrt(1-l) I, sqrt(l)|0><0|, sqrt(l)|1><1|} with l = 1 - sqrt(1-gamma) is rhosim's own form.
            lam = 1.0 - math.sqrt(max(0.0, 1.0 - float(gate.gamma)))
            matrices = np.array([math.sqrt(1 - lam) * np.eye(2), math.sqrt(lam) * np.diag([1, 0]),
                                 math.sqrt(lam) * np.diag([0, 1])], dtype=np.complex128)
        targets = tuple(reversed(self.targets(op.qubits)))
        return KrausChannel(targets, matrices, name, label=self.label(root))


@dataclass(frozen=True)
class _Planned:
    """One gate of a matrix plan, on local qubits (local qubit j = bit j of the matrix index)."""

    name: str
    targets: tuple[int, ...]
    params: tuple[float, ...] = ()
    controls: tuple[int, ...] = ()
    states: tuple[int, ...] = ()
    matrix: np.ndarray | None = None


def _hashable(gate: object) -> bool:
    try:
        hash(gate)
    except TypeError:
        return False
    return True


def _close(a: np.ndarray, b: np.ndarray) -> bool:
    return bool(np.max(np.abs(a - b)) <= _ATOL)


def _matrix_plan(matrix: np.ndarray) -> tuple[_Planned, ...]:
    """How a matrix (bit j of an index = local qubit j) runs: controls hidden in it are peeled off, and what
    is left is a global phase, a catalogue gate (when it is one exactly) or an explicit matrix."""
    matrix = np.asarray(matrix, dtype=np.complex128)
    targets = list(range(matrix.shape[0].bit_length() - 1))
    controls: tuple[int, ...] = ()
    states: tuple[int, ...] = ()
    while True:
        peeled = _peel_control(matrix)
        if peeled is None:
            break
        j, state, matrix = peeled
        controls += (targets[j],)
        states += (state,)
        del targets[j]
    if _close(matrix, matrix[0, 0] * np.eye(matrix.shape[0])):
        phase = cmath.phase(matrix[0, 0])
        if abs(phase) <= _ATOL:
            return ()
        return (_Planned("gphase", (), (phase,), controls, states),)
    name, params = _catalogue_form(matrix)
    if name is not None:
        return (_Planned(name, tuple(targets), params, controls, states),)
    return (_Planned(UNITARY, tuple(targets), (), controls, states, matrix),)


def _peel_control(matrix: np.ndarray) -> tuple[int, int, np.ndarray] | None:
    """A control hidden in a matrix (bit j of an index = local qubit j): (j, state, matrix on the other
    qubits) when the matrix is the identity wherever local qubit j differs from ``state`` and never changes
    that qubit; else None. Needs at least two local qubits."""
    d = matrix.shape[0]
    k = d.bit_length() - 1
    if k < 2:
        return None
    index = np.arange(d)
    identity = np.eye(d // 2)
    for j in range(k):
        bit = (index >> j) & 1
        for state in (1, 0):
            on, off = index[bit == state], index[bit != state]
            if not _close(matrix[np.ix_(off, off)], identity):
                continue
            if np.max(np.abs(matrix[np.ix_(on, off)])) > _ATOL or np.max(np.abs(matrix[np.ix_(off, on)])) > _ATOL:
                continue
            return j, state, matrix[np.ix_(on, on)]
    return None


def _catalogue_form(matrix: np.ndarray) -> tuple[str | None, tuple[float, ...]]:
    """The catalogue gate whose matrix equals ``matrix`` exactly (to rounding), else (None, ())."""
    if matrix.shape == (4, 4):
        return ("swap", ()) if _close(_SWAP, matrix) else (None, ())
    if matrix.shape != (2, 2):
        return None, ()
    m = matrix
    candidates: list[tuple[str, tuple[float, ...]]] = []
    if abs(m[0, 1]) <= _ATOL and abs(m[1, 0]) <= _ATOL:
        if abs(m[0, 0] - 1) <= _ATOL:
            candidates += [("z", ()), ("s", ()), ("sdg", ()), ("t", ()), ("tdg", ()), ("p", (cmath.phase(m[1, 1]),))]
        delta = cmath.phase(m[1, 1]) - cmath.phase(m[0, 0])
        candidates += [("rz", (delta,)), ("rz", (delta + 2 * math.pi,)), ("rz", (delta - 2 * math.pi,))]
    elif abs(m[0, 0]) <= _ATOL and abs(m[1, 1]) <= _ATOL:
        candidates += [("x", ()), ("y", ()), ("rx", (math.pi,)), ("ry", (math.pi,)), ("rx", (-math.pi,)),
                       ("ry", (-math.pi,))]
    else:
        c = m[0, 0].real
        candidates += [("h", ()), ("sx", ()), ("sxdg", ()), ("sy", ()), ("sydg", ()),
                       ("rx", (2 * math.atan2(-m[0, 1].imag, c),)), ("ry", (2 * math.atan2(m[1, 0].real, c),))]
    for name, params in candidates:
        if _close(GATES[name].matrix(params), m):
            return name, params
    return None, ()


def translate(circuit: cirq.AbstractCircuit | Iterable[cirq.Operation], qubits: Sequence[cirq.Qid],
              method: str) -> Translation:
    """The program of a resolved Cirq circuit (or its operations in order) over ``qubits`` (Cirq's order),
    for "statevector" or "density_matrix"; ValueError naming the first operation that cannot run."""
    translator = _Translator(qubits, method)
    ops = circuit.all_operations() if isinstance(circuit, cirq.AbstractCircuit) else circuit
    instructions = translator.operations(ops)
    program = Program(len(translator.qubits), translator.num_clbits, instructions)
    return Translation(program, translator.qubits, translator.keys)


__all__ = ["MeasurementInstance", "Translation", "translate"]
