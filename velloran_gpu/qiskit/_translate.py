"""Translation of Qiskit circuits into the package's neutral program.

A circuit is translated once into a :class:`CircuitTemplate`: fixed instructions, and for instructions with
unbound parameters a builder that makes them from parameter values. Binding then costs only those builders.
Catalogue gates keep their names, controlled gates keep their controls (base gate plus control state),
other gates run as matrices (or, above four qubits, through their definition), measurements, resets and
if/else blocks become the program's own instructions; barriers, delays and identities are skipped.
Unsupported instructions are refused with a ValueError naming them. Uncontrolled global phases are dropped:
they change neither samples nor expectation values.
"""

from __future__ import annotations

import math
from typing import Any, Callable, Sequence, Union, cast

import numpy as np
from qiskit.circuit import (
    ClassicalRegister,
    Clbit,
    ControlledGate,
    Gate as QiskitGate,
    IfElseOp,
    Instruction as QiskitInstruction,
    ParameterExpression,
    QuantumCircuit,
)
from qiskit.circuit.classical import expr
from qiskit.quantum_info import Operator

from .._program import Condition, Conditional, Gate, Instruction, Measure, Program, Reset
from ._noise import NoiseTables

# Gates that keep their catalogue name, with the map from Qiskit parameters to catalogue parameters.
_NAMED: dict[str, tuple[str, Callable[[Sequence[float]], tuple[float, ...]]]] = {
    **{name: (name, lambda p: ()) for name in ("x", "y", "z", "h", "s", "sdg", "t", "tdg", "sx", "sxdg", "swap")},
    **{name: (name, lambda p: (p[0],)) for name in ("rx", "ry", "rz", "p")},
    "u1": ("p", lambda p: (p[0],)),
    "u": ("u", lambda p: (p[0], p[1], p[2])),
    "u3": ("u", lambda p: (p[0], p[1], p[2])),
    "u2": ("u", lambda p: (math.pi / 2, p[0], p[1])),
    "global_phase": ("gphase", lambda p: (p[0],)),
}
_SKIPPED = {"barrier", "delay", "id"}
_REFUSED_CONTROL_FLOW = {"while_loop", "for_loop", "switch_case", "break_loop", "continue_loop", "store"}
# Gates of up to this many qubits outside the catalogue run as one matrix; larger ones through their
# definition when they have one.
_MATRIX_QUBITS = 4

# Parameter values by Qiskit Parameter, and circuit bits by their program index.
Binding = dict[Any, float]
BitMap = dict[Any, int]
Item = Union[Instruction, Callable[[Binding], Sequence[Instruction]]]


def _numeric(value: Any, binding: Binding | None, label: str) -> float:
    """A parameter as a float, binding a ParameterExpression from ``binding``."""
    if isinstance(value, ParameterExpression):
        if binding is None:
            raise ValueError(f"instruction {label!r} has unbound parameters {sorted(p.name for p in value.parameters)}")
        if value in binding:  # a plain Parameter
            return float(binding[value])
        try:
            bound = value.bind({p: binding[p] for p in value.parameters})
        except KeyError as exc:
            raise ValueError(f"instruction {label!r} has unbound parameter {exc.args[0]}") from None
        number = complex(bound)
        if abs(number.imag) > 1e-12:
            raise ValueError(f"instruction {label!r}: parameter value {number} is not real")
        return number.real
    if isinstance(value, (int, float, np.integer, np.floating)):
        return float(value)
    raise ValueError(f"instruction {label!r}: unsupported parameter {value!r}")


def _is_symbolic(op: QiskitInstruction) -> bool:
    return any(isinstance(p, ParameterExpression) and p.parameters for p in op.params)


def _without_global_phase(gates: list[Gate]) -> list[Gate]:
    """The gates less uncontrolled global phases (no effect on samples or expectation values)."""
    return [g for g in gates if g.name != "gphase" or g.controls]


def _controlled(gates: list[Gate], controls: tuple[int, ...], states: tuple[int, ...]) -> list[Gate]:
    """The gates with extra controls."""
    return [
        Gate(g.name, g.targets, g.params, g.controls + controls, (g.control_states or ()) + states, g.matrix, g.label)
        for g in gates
    ]


class _Translator:
    """Walks one circuit (and its nested blocks) and produces template items."""

    def __init__(self, circuit: QuantumCircuit, noise: NoiseTables | None) -> None:
        self.circuit = circuit
        self.noise = noise

    # Gates ---------------------------------------------------------------------------------------------------

    def unitary_gates(self, op: QiskitInstruction, qubits: tuple[int, ...], binding: Binding | None,
                      label: str) -> list[Gate]:
        """The program gates of a unitary operation on ``qubits`` (bound parameters)."""
        name = op.name
        if name in _NAMED:
            target, convert = _NAMED[name]
            params = convert([_numeric(p, binding, label) for p in op.params])
            return [Gate(target, () if target == "gphase" else qubits, params, label=label)]
        if isinstance(op, ControlledGate):
            k = op.num_ctrl_qubits
            controls, targets = qubits[:k], qubits[k:]
            states = tuple((op.ctrl_state >> j) & 1 for j in range(k))
            base = op.base_gate
            if name == "cu":
                theta, phi, lam, gamma = (_numeric(p, binding, label) for p in op.params)
                gates = [Gate("u", targets, (theta, phi, lam), label=label)]
                gates.append(Gate("gphase", (), (gamma,), label=label))
                return _controlled(gates, controls, states)
            if len(op.params) == len(base.params):
                if _is_symbolic(base) or any(isinstance(p, ParameterExpression) for p in base.params):
                    base = base.copy()
                    base.params = [_numeric(p, binding, label) for p in op.params]
                return _controlled(self.unitary_gates(base, targets, None, label), controls, states)
        bound = op
        if op.params and any(isinstance(p, ParameterExpression) for p in op.params):
            bound = op.copy()
            bound.params = [_numeric(p, binding, label) for p in op.params]
        if name == "unitary" or op.num_qubits <= _MATRIX_QUBITS or bound.definition is None:
            try:
                matrix = Operator(bound).data
            except Exception as exc:  # Qiskit raises several kinds for operations without a matrix
                raise ValueError(f"instruction {label!r} has no matrix: {exc}") from None
            return [Gate("unitary", qubits, matrix=matrix, label=label)]
        return self.definition_gates(bound, qubits, label)

    def definition_gates(self, op: QiskitInstruction, qubits: tuple[int, ...], label: str) -> list[Gate]:
        """The gates of a unitary operation's definition, with its global phase as a gate (which a caller
        adding controls turns into a controlled phase)."""
        definition = op.definition
        gates: list[Gate] = []
        phase = float(definition.global_phase) if not isinstance(definition.global_phase, ParameterExpression) \
            else _numeric(definition.global_phase, None, label)
        if phase:
            gates.append(Gate("gphase", (), (phase,), label=label))
        index = {q: qubits[i] for i, q in enumerate(definition.qubits)}
        for inner in definition.data:
            if inner.operation.name in _SKIPPED or inner.operation.name == "barrier":
                continue
            if not isinstance(inner.operation, QiskitGate):
                raise ValueError(
                    f"instruction {label!r}: its definition holds the non-unitary {inner.operation.name!r}"
                )
            inner_qubits = tuple(index[q] for q in inner.qubits)
            gates.extend(self.unitary_gates(inner.operation, inner_qubits, None, label))
        return gates

    # Blocks --------------------------------------------------------------------------------------------------

    def block(self, circuit: QuantumCircuit, qmap: BitMap, cmap: BitMap) -> list[Item]:
        """Template items of one circuit block, with its bits mapped to program indices."""
        items: list[Item] = []
        for ci in circuit.data:
            op = ci.operation
            name = op.name
            qubits = tuple(qmap[q] for q in ci.qubits)
            clbits = tuple(cmap[c] for c in ci.clbits)
            label = name
            if name == "barrier":
                continue
            if name in _REFUSED_CONTROL_FLOW:
                raise ValueError(f"instruction {name!r} (control flow) is not supported")
            if name in ("delay", "id"):
                items.extend(self._noise_after(name, qubits))
                continue
            if name == "measure":
                items.extend(self._noise_after(name, qubits))
                readout = tuple(e for e in (self.noise.readout(q) for q in qubits) if e) if self.noise else ()
                items.append(Measure(qubits, clbits, readout, label=label))
                continue
            if name == "reset":
                items.append(Reset(qubits, label=label))
                items.extend(self._noise_after(name, qubits))
                continue
            if isinstance(op, IfElseOp):
                items.append(self._if_else(op, qubits, clbits, qmap, cmap))
                continue
            if name == "box":
                body = op.blocks[0]
                inner_q = {b: qubits[i] for i, b in enumerate(body.qubits)}
                inner_c = {b: clbits[i] for i, b in enumerate(body.clbits)}
                items.extend(self.block(body, inner_q, inner_c))
                continue
            if getattr(op, "condition", None) is not None and not isinstance(op, IfElseOp):
                raise ValueError(f"instruction {name!r} carries a classical condition; use if_test")
            if isinstance(op, QiskitGate):
                if _is_symbolic(op) or (
                    isinstance(op, ControlledGate) and _is_symbolic(op.base_gate)
                ):
                    items.append(self._deferred_gate(op, qubits, label))
                else:
                    items.extend(_without_global_phase(self.unitary_gates(op, qubits, None, label)))
                items.extend(self._noise_after(name, qubits))
                continue
            if op.definition is not None and op.num_clbits == len(clbits):
                # A composite instruction (gates, measurements, resets): run its definition.
                definition = op.definition
                inner_q = {b: qubits[i] for i, b in enumerate(definition.qubits)}
                inner_c = {b: clbits[i] for i, b in enumerate(definition.clbits)}
                items.extend(self.block(definition, inner_q, inner_c))
                continue
            raise ValueError(f"instruction {name!r} is not supported")
        return items

    def _noise_after(self, name: str, qubits: tuple[int, ...]) -> list[Item]:
        if self.noise is None or not qubits:
            return []
        return list(self.noise.channels(name, qubits, name))

    def _deferred_gate(self, op: QiskitInstruction, qubits: tuple[int, ...],
                       label: str) -> Callable[[Binding], Sequence[Instruction]]:
        return lambda binding: _without_global_phase(self.unitary_gates(op, qubits, binding, label))

    def _condition(self, condition: Any, cmap: BitMap, label: str) -> Condition:
        def bits_of(target: Any) -> tuple[int, ...]:
            if isinstance(target, Clbit):
                return (self._clbit(target, cmap),)
            if isinstance(target, ClassicalRegister):
                return tuple(self._clbit(b, cmap) for b in target)
            raise ValueError(f"instruction {label!r}: condition on {target!r} is not supported")

        if isinstance(condition, tuple):
            target, value = condition
            bits = bits_of(target)
            value = int(value)
            if not 0 <= value < (1 << len(bits)):
                raise ValueError(f"instruction {label!r}: condition value {value} does not fit {len(bits)} bit(s)")
            return Condition(bits, value)
        if isinstance(condition, expr.Expr):
            return self._expr_condition(condition, bits_of, label)
        raise ValueError(f"instruction {label!r}: condition {condition!r} is not supported")

    def _expr_condition(self, node: Any, bits_of: Callable[[Any], tuple[int, ...]], label: str) -> Condition:
        def unwrap(n: Any) -> Any:
            while isinstance(n, expr.Cast) and n.implicit:
                n = n.operand
            return n

        node = unwrap(node)
        if isinstance(node, expr.Var) and isinstance(node.var, Clbit):
            return Condition(bits_of(node.var), 1)
        if isinstance(node, expr.Unary) and node.op in (expr.Unary.Op.LOGIC_NOT, expr.Unary.Op.BIT_NOT):
            inner = self._expr_condition(node.operand, bits_of, label)
            if len(inner.clbits) == 1 or node.op == expr.Unary.Op.LOGIC_NOT:
                return Condition(inner.clbits, inner.value, not inner.negate)
        if isinstance(node, expr.Binary) and node.op in (expr.Binary.Op.EQUAL, expr.Binary.Op.NOT_EQUAL):
            left, right = unwrap(node.left), unwrap(node.right)
            if isinstance(left, expr.Value):
                left, right = right, left
            if isinstance(left, expr.Var) and isinstance(right, expr.Value) and not isinstance(left.var, str):
                if isinstance(left.var, (Clbit, ClassicalRegister)):
                    bits = bits_of(left.var)
                    value = int(right.value)
                    if not 0 <= value < (1 << len(bits)):
                        raise ValueError(
                            f"instruction {label!r}: condition value {value} does not fit {len(bits)} bit(s)"
                        )
                    return Condition(bits, value, negate=node.op == expr.Binary.Op.NOT_EQUAL)
        raise ValueError(f"instruction {label!r}: condition expression {node} is not supported")

    def _clbit(self, bit: Clbit, cmap: BitMap) -> int:
        if bit in cmap:
            return cmap[bit]
        return int(self.circuit.find_bit(bit).index)

    def _if_else(self, op: IfElseOp, qubits: tuple[int, ...], clbits: tuple[int, ...], qmap: BitMap,
                 cmap: BitMap) -> Item:
        label = op.name
        condition = self._condition(op.condition, cmap, label)
        blocks: list[list[Item]] = []
        for body in op.blocks:
            if body is None:
                blocks.append([])
                continue
            inner_q = {b: qubits[i] for i, b in enumerate(body.qubits)}
            inner_c = {b: clbits[i] for i, b in enumerate(body.clbits)}
            blocks.append(self.block(body, inner_q, inner_c))
        true_items = blocks[0]
        false_items = blocks[1] if len(blocks) > 1 else []
        if all(not callable(i) for i in true_items + false_items):
            # No item is a builder here.
            return Conditional(condition, tuple(cast(list[Instruction], true_items)),
                               tuple(cast(list[Instruction], false_items)), label=label)
        return lambda binding: [
            Conditional(condition, tuple(_bind(true_items, binding)), tuple(_bind(false_items, binding)), label=label)
        ]


def _bind(items: Sequence[Item], binding: Binding) -> list[Instruction]:
    out: list[Instruction] = []
    for item in items:
        if callable(item):
            out.extend(item(binding))
        else:
            out.append(item)
    return out


class CircuitTemplate:
    """A Qiskit circuit translated once; :meth:`program` binds parameter values and returns the program.

    ``parameters`` is the circuit's parameter order (``circuit.parameters``), the order of the values given
    to :meth:`program`.
    """

    def __init__(self, circuit: QuantumCircuit, noise: NoiseTables | None = None) -> None:
        if not isinstance(circuit, QuantumCircuit):
            raise TypeError(f"expected a QuantumCircuit, got {type(circuit).__name__}")
        self.circuit = circuit
        self.num_qubits = circuit.num_qubits
        self.num_clbits = circuit.num_clbits
        self.parameters = list(circuit.parameters)
        qmap = {q: i for i, q in enumerate(circuit.qubits)}
        cmap = {c: i for i, c in enumerate(circuit.clbits)}
        self.items = _Translator(circuit, noise).block(circuit, qmap, cmap)
        self.parametric = any(callable(i) for i in self.items)

    def program(self, values: Sequence[float] | np.ndarray | None = None) -> Program:
        """The program for one set of parameter values (in ``parameters`` order)."""
        if self.parametric or self.parameters:
            if values is None or len(values) != len(self.parameters):
                names = [p.name for p in self.parameters]
                raise ValueError(f"the circuit has parameters {names}; give one value for each")
            binding = dict(zip(self.parameters, (float(v) for v in values)))
            instructions = _bind(self.items, binding)
        else:
            instructions = list(self.items)  # type: ignore[arg-type]
        program = Program(self.num_qubits, self.num_clbits, instructions)
        program.validate()
        return program


def translate_circuit(circuit: QuantumCircuit, noise_model: Any = None,
                      parameter_values: Sequence[float] | None = None) -> Program:
    """Translate one circuit (with its parameter values, in ``circuit.parameters`` order) into a program."""
    noise = NoiseTables(noise_model) if noise_model is not None else None
    return CircuitTemplate(circuit, noise).program(parameter_values)
