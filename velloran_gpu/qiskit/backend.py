"""A Qiskit BackendV2 over the ketsim and rhosim modules: its target lists the gates both modules run
natively, so ``transpile(circuit, backend)`` gives circuits that run without further translation, and
``run`` returns a job whose result has counts and per-shot memory in Qiskit's bit order.
"""

from __future__ import annotations

import uuid
from typing import Any, Sequence

import numpy as np
from qiskit.circuit import Delay, IfElseOp, Measure, Parameter, QuantumCircuit, Reset
from qiskit.circuit.library import (
    CHGate,
    CPhaseGate,
    CRXGate,
    CRYGate,
    CRZGate,
    CSdgGate,
    CSGate,
    CSXGate,
    CXGate,
    CYGate,
    CZGate,
    HGate,
    IGate,
    PhaseGate,
    RXGate,
    RYGate,
    RZGate,
    SdgGate,
    SGate,
    SwapGate,
    SXdgGate,
    SXGate,
    TdgGate,
    TGate,
    UGate,
    XGate,
    YGate,
    ZGate,
)
from qiskit.providers import BackendV2, JobStatus, JobV1, Options
from qiskit.result import Result
from qiskit.transpiler import Target

from .. import __version__
from .._execute import check_program, execute_shots
from .._gates import KETSIM_MAX_QUBITS, RHOSIM_MAX_QUBITS
from ._config import SimConfig, draw_seed, seed_source
from ._translate import CircuitTemplate

#: Qubits the target offers per method (the statevector count is what a large GPU holds in double precision).
TARGET_QUBITS = {"statevector": 30, "density_matrix": RHOSIM_MAX_QUBITS}


def _native_gates() -> list[Any]:
    theta, phi, lam = Parameter("theta"), Parameter("phi"), Parameter("lam")
    return [
        IGate(), XGate(), YGate(), ZGate(), HGate(), SGate(), SdgGate(), TGate(), TdgGate(), SXGate(), SXdgGate(),
        RXGate(theta), RYGate(theta), RZGate(theta), PhaseGate(theta), UGate(theta, phi, lam),
        SwapGate(), CXGate(), CYGate(), CZGate(), CHGate(), CSGate(), CSdgGate(), CSXGate(),
        CPhaseGate(theta), CRXGate(theta), CRYGate(theta), CRZGate(theta),
    ]


def build_target(num_qubits: int) -> Target:
    """A target with the shared native gates on every qubit and pair, measure, reset, delay and if/else."""
    target = Target(description="velloran ketsim/rhosim", num_qubits=num_qubits)
    for gate in _native_gates():
        target.add_instruction(gate, properties=None)
    target.add_instruction(Measure(), properties=None)
    target.add_instruction(Reset(), properties=None)
    target.add_instruction(Delay(Parameter("t")), properties=None)
    target.add_instruction(IfElseOp, name="if_else")
    return target


class Job(JobV1):
    """A finished (synchronous) run of :class:`Backend`; :meth:`result` returns its ``qiskit.result.Result``."""

    def __init__(self, backend: "Backend", job_id: str, result: Result) -> None:
        super().__init__(backend, job_id)
        self._result = result

    def submit(self) -> None:
        """The run happened when the job was made; nothing to submit."""
        return None

    def result(self) -> Result:
        """The run's result."""
        return self._result

    def status(self) -> JobStatus:
        """Always DONE: the backend runs synchronously."""
        return JobStatus.DONE


def _hex_keys(memory: np.ndarray) -> tuple[list[str], np.ndarray]:
    """Hex strings of the distinct rows (clbit i = bit i of the value) and, per shot, the row index."""
    if memory.shape[1] == 0:
        return ["0x0"], np.zeros(memory.shape[0], dtype=np.int64)
    rows, inverse = np.unique(memory, axis=0, return_inverse=True)
    keys = []
    for row in rows:
        value = 0
        for i in np.nonzero(row)[0]:
            value |= 1 << int(i)
        keys.append(hex(value))
    return keys, inverse.reshape(-1)


class Backend(BackendV2):
    """Runs circuits on ketsim (``method="statevector"``) or rhosim (``method="density_matrix"``).

    Options (constructor keywords or :meth:`set_options`; ``run`` keywords override them for one run):
    ``shots`` (1024), ``seed_simulator`` (None draws fresh seeds), ``memory`` (False), ``method``,
    ``precision``, ``fusion``, ``noise_model``: see :mod:`velloran_gpu.qiskit`.
    """

    def __init__(self, **options: Any) -> None:
        super().__init__(name="velloran_gpu", description="ketsim and rhosim simulators", backend_version=__version__)
        self._targets: dict[int, Target] = {}
        if options:
            self.set_options(**options)
        self._config()  # refuse bad options now

    @classmethod
    def _default_options(cls) -> Options:
        return Options(shots=1024, seed_simulator=None, memory=False, method="statevector", precision="double",
                       fusion=True, noise_model=None)

    def _config(self, overrides: dict[str, Any] | None = None) -> SimConfig:
        values = {k: getattr(self.options, k) for k in ("method", "precision", "fusion", "noise_model")}
        values.update({k: v for k, v in (overrides or {}).items() if k in values})
        return SimConfig(**values)

    @property
    def target(self) -> Target:
        """The native instruction set on all qubits (30 for the state vector, 15 for the density matrix)."""
        count = TARGET_QUBITS[self.options.method]
        if count not in self._targets:
            self._targets[count] = build_target(count)
        return self._targets[count]

    @property
    def max_circuits(self) -> None:
        """No limit on circuits per run."""
        return None

    def run(self, run_input: QuantumCircuit | Sequence[QuantumCircuit], **options: Any) -> Job:
        """Run circuits and return a finished :class:`Job`. All circuits are translated and checked first."""
        unknown = set(options) - set(self._default_options().__dict__)
        if unknown:
            raise ValueError(f"unknown run options {sorted(unknown)}")
        circuits = [run_input] if isinstance(run_input, QuantumCircuit) else list(run_input)
        shots = options.get("shots", self.options.shots)
        if isinstance(shots, (bool, np.bool_)) or not isinstance(shots, (int, np.integer)) or shots < 1:
            raise ValueError(f"shots must be a positive integer, got {shots!r}")
        memory = bool(options.get("memory", self.options.memory))
        rng = seed_source(options.get("seed_simulator", self.options.seed_simulator))
        config = self._config(options)
        programs = []
        for circuit in circuits:
            if not isinstance(circuit, QuantumCircuit):
                raise TypeError(f"run takes QuantumCircuit objects, got {type(circuit).__name__}")
            if circuit.parameters:
                names = sorted(p.name for p in circuit.parameters)
                raise ValueError(f"circuit {circuit.name!r} has unbound parameters {names}")
            if circuit.num_qubits > KETSIM_MAX_QUBITS:
                raise ValueError(f"circuit {circuit.name!r} has {circuit.num_qubits} qubits; at most {KETSIM_MAX_QUBITS}")
            program = CircuitTemplate(circuit, config.noise).program(None)
            run_options = config.run_options(circuit.num_qubits)
            check_program(program, **run_options)
            programs.append((circuit, program, run_options))
        experiments = []
        for circuit, program, run_options in programs:
            bits = execute_shots(program, int(shots), seed=draw_seed(rng), **run_options)
            keys, which = _hex_keys(bits)
            counts = {keys[i]: int(c) for i, c in enumerate(np.bincount(which, minlength=len(keys))) if c}
            data: dict[str, Any] = {"counts": counts}
            if memory:
                data["memory"] = [keys[i] for i in which]
            experiments.append({
                "shots": int(shots),
                "success": True,
                "data": data,
                "header": {
                    "name": circuit.name,
                    "creg_sizes": [[reg.name, reg.size] for reg in circuit.cregs],
                    "memory_slots": circuit.num_clbits,
                    "metadata": circuit.metadata,
                },
                "metadata": {"method": run_options["method"], "precision": run_options["precision"]},
            })
        job_id = str(uuid.uuid4())
        result = Result.from_dict({
            "backend_name": self.name,
            "backend_version": self.backend_version,
            "qobj_id": job_id,
            "job_id": job_id,
            "success": True,
            "results": experiments,
        })
        return Job(self, job_id, result)
