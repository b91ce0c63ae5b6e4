"""Qiskit front end of velloran_gpu: the V2 primitives :class:`Sampler` and :class:`Estimator`, and a
:class:`Backend` for ``transpile`` and ``backend.run``, all running on the ketsim and rhosim modules.

Options shared by all three: ``method`` ("statevector" on ketsim, or "density_matrix" on rhosim, at most 15
qubits), ``precision`` ("double" or "single"), ``fusion`` (ketsim's fused execution; the density method
fuses when the environment variable VELLORAN_DENSITY_FUSION is set) and ``noise_model`` (a qiskit_aer
NoiseModel: its quantum errors become Kraus channels and switch the run to the density-matrix method, its
readout errors are applied to the sampled bits; a model with readout errors only keeps the chosen method).
"""

try:
    import qiskit  # noqa: F401
except ImportError as exc:  # pragma: no cover - exercised where Qiskit is absent
    raise ImportError(
        'velloran_gpu.qiskit needs Qiskit 2.x: pip install "velloran-gpu[qiskit]"'
    ) from exc

from .backend import Backend, Job
from .primitives import Estimator, Sampler
from ._translate import CircuitTemplate, translate_circuit

__all__ = ["Backend", "CircuitTemplate", "Estimator", "Job", "Sampler", "translate_circuit"]
