"""Reading a qiskit_aer NoiseModel into Kraus channels per instruction and confusion matrices per qubit.

The model is read through its public dictionary form. A quantum error becomes the Kraus set that
``qiskit.quantum_info.Kraus`` gives for it, applied after its instruction (before it for a measurement);
an error given for specific qubits replaces the all-qubit error of the same instruction on those qubits.
Readout errors on one qubit become confusion matrices of the recorded bit; the qubit's own readout error
replaces the all-qubit one.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .._program import KrausChannel, ReadoutError


def _is_identity_channel(matrices: np.ndarray) -> bool:
    """A Kraus set that is one identity (up to phase): nothing to apply."""
    if matrices.shape[0] != 1:
        return False
    m = matrices[0]
    return bool(np.allclose(m, m[0, 0] * np.eye(m.shape[0]), atol=1e-12) and np.isclose(abs(m[0, 0]), 1.0))


class NoiseTables:
    """The channels and confusion matrices of one noise model, looked up by instruction name and qubits."""

    def __init__(self, noise_model: Any) -> None:
        if not hasattr(noise_model, "to_dict") or not hasattr(noise_model, "add_quantum_error"):
            raise TypeError(f"noise_model must be a qiskit_aer NoiseModel, got {type(noise_model).__name__}")
        from qiskit.quantum_info import Kraus
        from qiskit_aer.noise import QuantumError

        self.default_quantum: dict[str, np.ndarray] = {}
        self.local_quantum: dict[tuple[str, tuple[int, ...]], np.ndarray] = {}
        self.default_readout: np.ndarray | None = None
        self.local_readout: dict[int, np.ndarray] = {}
        for entry in noise_model.to_dict(serializable=False).get("errors", []):
            kind = entry.get("type")
            gate_qubits = entry.get("gate_qubits")
            if kind == "qerror":
                matrices = np.array(Kraus(QuantumError.from_dict(entry)).data, dtype=np.complex128)
                for name in entry["operations"]:
                    if gate_qubits is None:
                        self.default_quantum[name] = matrices
                    else:
                        for qubits in gate_qubits:
                            self.local_quantum[(name, tuple(int(q) for q in qubits))] = matrices
            elif kind == "roerror":
                if "measure" not in entry.get("operations", ["measure"]):
                    continue
                probabilities = np.array(entry["probabilities"], dtype=np.float64)
                if probabilities.shape != (2, 2):
                    raise ValueError(
                        f"readout errors on several qubits are not supported (confusion matrix of shape "
                        f"{probabilities.shape})"
                    )
                if gate_qubits is None:
                    self.default_readout = probabilities
                else:
                    for qubits in gate_qubits:
                        if len(qubits) != 1:
                            raise ValueError("readout errors on several qubits are not supported")
                        self.local_readout[int(qubits[0])] = probabilities
            else:
                raise ValueError(f"unsupported noise-model entry of type {kind!r}")

    @property
    def has_quantum_errors(self) -> bool:
        """Whether any quantum error (as opposed to readout errors only) is defined."""
        return bool(self.default_quantum or self.local_quantum)

    def channels(self, name: str, qubits: tuple[int, ...], label: str) -> list[KrausChannel]:
        """The Kraus channels of instruction ``name`` on ``qubits`` (global qubit indices)."""
        matrices = self.local_quantum.get((name, qubits))
        if matrices is None:
            matrices = self.default_quantum.get(name)
        if matrices is None or _is_identity_channel(matrices):
            return []
        k = int(round(np.log2(matrices.shape[1])))
        if k != len(qubits):
            raise ValueError(
                f"instruction {label!r}: the noise model's {k}-qubit error does not fit its {len(qubits)} qubit(s)"
            )
        return [KrausChannel(qubits, matrices, label=f"{label} noise")]

    def readout(self, qubit: int) -> ReadoutError | None:
        """The readout error of measurements of ``qubit``, if any."""
        matrix = self.local_readout.get(qubit, self.default_readout)
        if matrix is None:
            return None
        return ReadoutError((qubit,), matrix)
