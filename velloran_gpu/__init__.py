"""velloran_gpu: run Qiskit and Cirq circuits on the ketsim (state vector) and rhosim (density matrix) modules.

The package is a thin layer: a toolkit front end (``velloran_gpu.qiskit``, ``velloran_gpu.cirq``) translates a
circuit into a toolkit-neutral :class:`velloran_gpu.Program` and the core executes it on the modules.
Importing ``velloran_gpu`` itself loads neither Qiskit, Cirq nor the extension modules.
"""

from ._execute import FinalState, execute_shots, expectation_values, final_state
from ._program import (
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

__version__ = "0.1.0"

__all__ = [
    "__version__",
    "Condition",
    "Conditional",
    "FinalState",
    "execute_shots",
    "expectation_values",
    "final_state",
    "Gate",
    "Instruction",
    "KrausChannel",
    "Measure",
    "Program",
    "ReadoutError",
    "Reset",
]
