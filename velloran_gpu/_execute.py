"""Runs a :class:`~velloran_gpu.Program` on ketsim (method "statevector") or rhosim (method "density_matrix"):
sampled shots, the final state of one trajectory, and exact Pauli expectation values.

Shots run as a branching tree. The circuit is simulated once; where a mid-circuit measurement (or, on the
state vector, a reset) draws outcomes, one sampling call draws them for every shot of the branch, and the
branch continues as one collapsed state per distinct outcome, carrying that outcome's shots. A conditional
whose condition differs between the shots of a branch splits it the same way. Branches run depth first, so
one device state is alive at a time and the others wait as snapshots. Measurements that nothing later
touches (their qubits, their classical bits) are taken from the final state of each branch with one
sampling call. On the density matrix a reset is the channel {|0><0|, |0><1|} and needs no branch; a
mid-circuit measurement branches as above, with outcome probabilities from the diagonal and the collapse
done by projector Kraus operators followed by renormalisation, which is exact.

Randomness comes from one NumPy generator seeded with ``seed``: the same program, options and seed give
the same shots. ``seed=None`` draws a fresh seed.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

from ._backends import KetBackend, RhoBackend, make_backend
from ._pauli import check_paulis
from ._program import Conditional, Gate, Instruction, KrausChannel, Measure, Program, ReadoutError, Reset

_MAX_SEED = 2**63


@dataclass(frozen=True)
class FinalState:
    """The state at the end of one trajectory (a state vector or a density matrix, qubit q = bit q of an
    index) and the classical bits that trajectory recorded."""

    state: np.ndarray
    clbits: np.ndarray


def _check_seed(seed: Any) -> None:
    if seed is None:
        return
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be a non-negative integer or None, got {seed!r}")
    if seed < 0:
        raise ValueError(f"seed must be a non-negative integer or None, got {seed}")


def _check_shots(shots: Any) -> int:
    if isinstance(shots, (bool, np.bool_)) or not isinstance(shots, (int, np.integer)):
        raise TypeError(f"shots must be a positive integer, got {shots!r}")
    if shots < 1:
        raise ValueError(f"shots must be a positive integer, got {shots}")
    return int(shots)


def _touches(instruction: Instruction) -> tuple[set[int], set[int]]:
    """Qubits and classical bits an instruction uses (read or written), through conditional blocks."""
    if isinstance(instruction, Gate):
        return set(instruction.qubits), set()
    if isinstance(instruction, KrausChannel):
        return set(instruction.targets), set()
    if isinstance(instruction, Reset):
        return set(instruction.qubits), set()
    if isinstance(instruction, Measure):
        return set(instruction.qubits), set(instruction.clbits)
    qubits, clbits = set(), set(instruction.condition.clbits)
    for inner in instruction.body + instruction.else_body:
        q, c = _touches(inner)
        qubits |= q
        clbits |= c
    return qubits, clbits


def _split_terminal(instructions: Sequence[Instruction]) -> tuple[list[Instruction], list[Measure]]:
    """Move the measurements that nothing later touches to a final list (in program order)."""
    later_q: set[int] = set()
    later_c: set[int] = set()
    body: list[Instruction] = []
    final: list[Measure] = []
    for instruction in reversed(instructions):
        if isinstance(instruction, Measure):
            free = not (set(instruction.qubits) & later_q) and not (set(instruction.clbits) & later_c)
            if free:
                final.append(instruction)
            else:
                body.append(instruction)
        else:
            body.append(instruction)
        q, c = _touches(instruction)
        later_q |= q
        later_c |= c
    body.reverse()
    final.reverse()
    return body, final


class _Compiled:
    """A program lowered to a flat list of steps for one backend, with the records already translated (so
    every refusal happens before a state exists)."""

    def __init__(self, program: Program, backend: KetBackend | RhoBackend, defer_terminal: bool) -> None:
        self.backend = backend
        instructions = list(program.instructions)
        if defer_terminal:
            instructions, final = _split_terminal(instructions)
        else:
            final = []
        self.initial_state = program.initial_state
        if isinstance(backend, KetBackend) and program.initial_state is not None:
            if np.ndim(program.initial_state) == 2:
                raise ValueError("the statevector method starts from a state vector, not a density matrix")
        self.steps: list[tuple[Any, ...]] = []
        self._merge_from = 0
        self._lower(instructions)
        self.final_qubits = [q for m in final for q in m.qubits]
        self.final_clbits = [c for m in final for c in m.clbits]
        self.final_readout = [e for m in final for e in m.readout]

    def _emit_records(self, records: list[Any]) -> None:
        # Consecutive records share one module call, but never across the end of a conditional block: a
        # jump lands there.
        if self.steps and self.steps[-1][0] == "apply" and self._merge_from <= len(self.steps) - 1:
            self.steps[-1][1].extend(records)
        else:
            self.steps.append(("apply", records))

    def _lower(self, block: Sequence[Instruction]) -> None:
        backend = self.backend
        for instruction in block:
            if isinstance(instruction, (Gate, KrausChannel)):
                backend.check(instruction)
                self._emit_records([backend.translate(instruction)])
            elif isinstance(instruction, Measure):
                self.steps.append(("measure", instruction.qubits, instruction.clbits, instruction.readout))
            elif isinstance(instruction, Reset):
                if isinstance(backend, RhoBackend):
                    self._emit_records(backend.reset_records(instruction.qubits))
                else:
                    self.steps.append(("reset", instruction.qubits))
            elif isinstance(instruction, Conditional):
                branch = len(self.steps)
                self.steps.append(("cond", instruction.condition, None))
                self._lower(instruction.body)
                if instruction.else_body:
                    jump = len(self.steps)
                    self.steps.append(("jump", None))
                    self.steps[branch] = ("cond", instruction.condition, len(self.steps))
                    self._lower(instruction.else_body)
                    self.steps[jump] = ("jump", len(self.steps))
                else:
                    self.steps[branch] = ("cond", instruction.condition, len(self.steps))
                self._merge_from = len(self.steps)
            else:  # pragma: no cover - validate() refuses it first
                raise TypeError(f"not a program instruction: {instruction!r}")


def _apply_readout(memory: np.ndarray, shots: np.ndarray, qubits: Sequence[int], clbits: Sequence[int],
                   errors: Sequence[ReadoutError], rng: np.random.Generator) -> None:
    """Replace the recorded bits of ``qubits`` (in ``clbits``) by draws from each error's confusion rows."""
    position = {q: clbits[j] for j, q in enumerate(qubits)}
    for error in errors:
        columns = [position[q] for q in error.qubits]
        block = memory[np.ix_(shots, np.asarray(columns, dtype=np.intp))].astype(np.int64)
        true = np.zeros(len(shots), dtype=np.int64)
        for j in range(len(columns)):
            true |= block[:, j] << j
        cumulative = np.cumsum(error.matrix, axis=1)
        cumulative[:, -1] = 1.0
        draws = rng.random(len(shots))
        recorded = np.minimum((draws[:, None] >= cumulative[true]).sum(axis=1), error.matrix.shape[1] - 1)
        for j, column in enumerate(columns):
            memory[shots, column] = (recorded >> j) & 1


class _Runner:
    """The branching executor of one compiled program."""

    def __init__(self, compiled: _Compiled, num_clbits: int, shots: int, seed: Any) -> None:
        self.c = compiled
        self.backend = compiled.backend
        self.rng = np.random.default_rng(seed)
        self.memory = np.zeros((shots, num_clbits), dtype=np.uint8)
        self.shots = shots
        self.final_states: list[Any] = []

    def _seed(self) -> int:
        return int(self.rng.integers(0, _MAX_SEED))

    def _draw(self, state: Any, qubits: Sequence[int], shots: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Outcome rows and, per shot of ``shots``, the index of its row."""
        rows, counts = self.backend.sample(state, qubits, len(shots), self._seed(), self.rng)
        which = np.repeat(np.arange(len(rows)), counts)
        return rows, which[self.rng.permutation(len(shots))]

    def run(self, keep_state: bool = False) -> None:
        backend = self.backend
        # A task: (step, state or snapshot, is_snapshot, shots, collapse to apply first)
        initial = backend.initial_state(self.c.initial_state)
        tasks: list[tuple[Any, ...]] = [(0, initial, False, np.arange(self.shots), None)]
        while tasks:
            pc, holder, is_snapshot, shots, collapse = tasks.pop()
            state = backend.restore(holder) if is_snapshot else holder
            if collapse is not None:
                qubits, bits, flips = collapse
                backend.project(state, qubits, bits)
                if flips:
                    backend.flip(state, flips)
            self._run_branch(state, pc, shots, tasks, keep_state)

    def _run_branch(self, state: Any, pc: int, shots: np.ndarray, tasks: list[tuple[Any, ...]],
                    keep_state: bool) -> None:
        backend = self.backend
        steps = self.c.steps
        while pc < len(steps):
            step = steps[pc]
            kind = step[0]
            if kind == "apply":
                backend.apply(state, step[1])
                pc += 1
            elif kind in ("measure", "reset"):
                qubits = step[1]
                rows, which = self._draw(state, qubits, shots)
                if kind == "measure":
                    clbits = step[2]
                    self.memory[np.ix_(shots, clbits)] = rows[which]
                    if step[3]:
                        _apply_readout(self.memory, shots, qubits, clbits, step[3], self.rng)
                # Every row was drawn at least once: one branch per row, with the shots that drew it.
                order = np.argsort(which, kind="stable")
                bounds = np.searchsorted(which[order], np.arange(len(rows) + 1))
                groups = [shots[order[bounds[g]:bounds[g + 1]]] for g in range(len(rows))]
                snapshot = backend.snapshot(state) if len(rows) > 1 else None
                for g in range(len(rows) - 1):
                    flips = [q for q, b in zip(qubits, rows[g]) if b] if kind == "reset" else []
                    tasks.append((pc + 1, snapshot, True, groups[g], (qubits, rows[g], flips)))
                g = len(rows) - 1
                shots = groups[g]
                backend.project(state, qubits, rows[g])
                if kind == "reset":
                    flips = [q for q, b in zip(qubits, rows[g]) if b]
                    if flips:
                        backend.flip(state, flips)
                pc += 1
            elif kind == "cond":
                holds = step[1].evaluate(self.memory[shots])
                if holds.all():
                    pc += 1
                elif not holds.any():
                    pc = step[2]
                else:
                    tasks.append((step[2], backend.snapshot(state), True, shots[~holds], None))
                    shots = shots[holds]
                    pc += 1
            else:  # jump
                pc = step[1]
        self._finish(state, shots)
        if keep_state:
            self.final_states.append(state)

    def _finish(self, state: Any, shots: np.ndarray) -> None:
        qubits = self.c.final_qubits
        if not qubits:
            return
        clbits = self.c.final_clbits
        rows, which = self._draw(state, qubits, shots)
        self.memory[np.ix_(shots, np.asarray(clbits, dtype=np.intp))] = rows[which]
        if self.c.final_readout:
            _apply_readout(self.memory, shots, qubits, clbits, self.c.final_readout, self.rng)


def _prepare(program: Program, method: str, precision: str, fusion: bool, defer_terminal: bool) -> _Compiled:
    if not isinstance(program, Program):
        raise TypeError(f"expected a Program, got {type(program).__name__}")
    program.validate()
    backend = make_backend(method, program.num_qubits, precision, fusion)
    return _Compiled(program, backend, defer_terminal)


def execute_shots(program: Program, shots: int, *, method: str = "statevector", precision: str = "double",
                  fusion: bool = True, seed: int | None = None) -> np.ndarray:
    """Run ``shots`` shots; returns the classical bits of every shot, shape (shots, num_clbits), uint8.

    Everything is checked (program, options, module limits) before any device work.
    """
    shots = _check_shots(shots)
    _check_seed(seed)
    compiled = _prepare(program, method, precision, fusion, defer_terminal=True)
    runner = _Runner(compiled, program.num_clbits, shots, seed)
    runner.run()
    return runner.memory


def final_state(program: Program, *, method: str = "statevector", precision: str = "double",
                fusion: bool = True, seed: int | None = None) -> FinalState:
    """Run one trajectory (every measurement collapses the state) and return its final state and bits."""
    _check_seed(seed)
    compiled = _prepare(program, method, precision, fusion, defer_terminal=False)
    runner = _Runner(compiled, program.num_clbits, 1, seed)
    runner.run(keep_state=True)
    (state,) = runner.final_states
    return FinalState(compiled.backend.to_numpy(state), runner.memory[0].copy())


def check_program(program: Program, *, method: str = "statevector", precision: str = "double",
                  fusion: bool = True, expectations: bool = False) -> None:
    """Every check a run makes before device work (program, options, module limits), without running it.
    With ``expectations``, also the checks of :func:`expectation_values`."""
    if expectations:
        _check_expectation_program(program, method)
    _prepare(program, method, precision, fusion, defer_terminal=True)


def _check_expectation_program(program: Program, method: str) -> None:
    if not isinstance(program, Program):
        raise TypeError(f"expected a Program, got {type(program).__name__}")
    program.validate()
    for instruction in program.walk():
        if isinstance(instruction, (Measure, Conditional)) or (
            isinstance(instruction, Reset) and method != "density_matrix"
        ):
            label = getattr(instruction, "label", None) or type(instruction).__name__.lower()
            raise ValueError(f"expectation values need a circuit without measurement or branching; found {label!r}")


def expectation_values(program: Program, paulis: Sequence[str], *, method: str = "statevector",
                       precision: str = "double", fusion: bool = True) -> np.ndarray:
    """Exact expectation values of Pauli strings (character j acts on qubit j, over "IXYZ") in the state the
    program prepares. The program may not measure or branch; on the density matrix it may reset."""
    _check_expectation_program(program, method)
    strings = check_paulis(paulis, program.num_qubits)
    compiled = _prepare(program, method, precision, fusion, defer_terminal=False)
    backend = compiled.backend
    state = backend.initial_state(program.initial_state)
    for step in compiled.steps:
        backend.apply(state, step[1])
    return backend.expectations(state, strings)

