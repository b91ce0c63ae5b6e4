"""The simulation options shared by the Qiskit primitives and the backend, checked once, and the choice of
method a noise model imposes."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .._gates import RHOSIM_MAX_QUBITS
from ._noise import NoiseTables


@dataclass(frozen=True)
class SimConfig:
    """Method, precision, fusion and noise of a run, validated."""

    method: str = "statevector"
    precision: str = "double"
    fusion: bool = True
    noise_model: Any = None
    _noise: NoiseTables | None = field(default=None, init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        if self.method not in ("statevector", "density_matrix"):
            raise ValueError(f"method must be 'statevector' or 'density_matrix', got {self.method!r}")
        if self.precision not in ("double", "single"):
            raise ValueError(f"precision must be 'double' or 'single', got {self.precision!r}")
        if not isinstance(self.fusion, (bool, np.bool_)):
            raise TypeError(f"fusion must be True or False, got {self.fusion!r}")
        object.__setattr__(self, "_noise", NoiseTables(self.noise_model) if self.noise_model is not None else None)

    @property
    def noise(self) -> NoiseTables | None:
        """The noise model's tables, or None without a model."""
        return self._noise

    def method_for(self, num_qubits: int) -> str:
        """The method a circuit of ``num_qubits`` runs with: quantum errors need the density matrix."""
        if self.noise is not None and self.noise.has_quantum_errors and self.method != "density_matrix":
            if num_qubits > RHOSIM_MAX_QUBITS:
                raise ValueError(
                    f"the noise model's quantum errors need the density_matrix method, which supports at most "
                    f"{RHOSIM_MAX_QUBITS} qubits; the circuit has {num_qubits}"
                )
            return "density_matrix"
        return self.method

    def run_options(self, num_qubits: int) -> dict[str, Any]:
        """Keyword options of the core executor for one circuit."""
        return {"method": self.method_for(num_qubits), "precision": self.precision, "fusion": bool(self.fusion)}


def seed_source(seed: Any) -> np.random.Generator:
    """A generator from a seed (int, Generator or None), checked."""
    if seed is None or isinstance(seed, np.random.Generator):
        return np.random.default_rng(seed)
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise TypeError(f"seed must be a non-negative integer, a numpy Generator or None, got {seed!r}")
    return np.random.default_rng(int(seed))


def draw_seed(rng: np.random.Generator) -> int:
    """A seed for one core run."""
    return int(rng.integers(0, 2**63))
