"""Cirq front end: ``Simulator`` (state vectors on ketsim) and ``DensityMatrixSimulator`` (density matrices
on rhosim), drop-in replacements for Cirq's simulators of the same names.

Example::

    import cirq
    from velloran_gpu.cirq import Simulator

    q = cirq.LineQubit.range(2)
    circuit = cirq.Circuit(cirq.H(q[0]), cirq.CNOT(q[0], q[1]), cirq.measure(*q, key="m"))
    print(Simulator(seed=1).run(circuit, repetitions=100).histogram(key="m"))
"""

try:
    import cirq as _cirq  # noqa: F401
except ImportError as exc:  # pragma: no cover - exercised only without cirq installed
    raise ImportError(
        'velloran_gpu.cirq needs Cirq; install it with: pip install "velloran-gpu[cirq]"'
    ) from exc

from .simulator import DensityMatrixSimulator, DensityMatrixTrialResult, Simulator

__all__ = ["DensityMatrixSimulator", "DensityMatrixTrialResult", "Simulator"]
