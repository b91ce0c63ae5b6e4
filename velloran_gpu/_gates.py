"""The gate catalogue shared by every front end: the package's gate names, their operand counts, their
matrices, and the names ketsim and rhosim know them by. This is the only place those names are mapped.
"""

from __future__ import annotations

import cmath
import math
from dataclasses import dataclass
from typing import Callable, Sequence

import numpy as np

# Largest unitary (by target count) each module runs: rhosim's unitary kernels take at most 6 targets and
# its general Kraus kernel at most 3; ketsim runs any UNITARY, and 10 targets (a 2**20-entry matrix built
# on the host for every gate) is where this package stops.
KETSIM_MAX_UNITARY_TARGETS = 10
RHOSIM_MAX_UNITARY_TARGETS = 6
RHOSIM_MAX_KRAUS_TARGETS = 3
RHOSIM_MAX_QUBITS = 15
KETSIM_MAX_QUBITS = 62

_S2 = 1.0 / math.sqrt(2.0)


def _fixed(m: Sequence[Sequence[complex]]) -> Callable[[Sequence[float]], np.ndarray]:
    array = np.array(m, dtype=np.complex128)
    array.setflags(write=False)
    return lambda params: array


def _rx(p: Sequence[float]) -> np.ndarray:
    c, s = math.cos(p[0] / 2), math.sin(p[0] / 2)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=np.complex128)


def _ry(p: Sequence[float]) -> np.ndarray:
    c, s = math.cos(p[0] / 2), math.sin(p[0] / 2)
    return np.array([[c, -s], [s, c]], dtype=np.complex128)


def _rz(p: Sequence[float]) -> np.ndarray:
    return np.array([[cmath.exp(-0.5j * p[0]), 0], [0, cmath.exp(0.5j * p[0])]], dtype=np.complex128)


def _p(p: Sequence[float]) -> np.ndarray:
    return np.array([[1, 0], [0, cmath.exp(1j * p[0])]], dtype=np.complex128)


def _u(p: Sequence[float]) -> np.ndarray:
    theta, phi, lam = p
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return np.array(
        [[c, -cmath.exp(1j * lam) * s], [cmath.exp(1j * phi) * s, cmath.exp(1j * (phi + lam)) * c]],
        dtype=np.complex128,
    )


def _gphase(p: Sequence[float]) -> np.ndarray:
    return np.array([[cmath.exp(1j * p[0])]], dtype=np.complex128)


@dataclass(frozen=True)
class GateKind:
    """One row of the catalogue: a named gate's target and parameter counts, its matrix builder (row-major,
    bit j of an index is the j-th target), and the gate id ketsim and rhosim use for it."""

    name: str
    num_targets: int
    num_params: int
    ketsim_id: str
    rhosim_id: str
    matrix: Callable[[Sequence[float]], np.ndarray]


GATES: dict[str, GateKind] = {
    kind.name: kind
    for kind in (
        GateKind("x", 1, 0, "x", "x", _fixed([[0, 1], [1, 0]])),
        GateKind("y", 1, 0, "y", "y", _fixed([[0, -1j], [1j, 0]])),
        GateKind("z", 1, 0, "z", "z", _fixed([[1, 0], [0, -1]])),
        GateKind("h", 1, 0, "h", "h", _fixed([[_S2, _S2], [_S2, -_S2]])),
        GateKind("s", 1, 0, "s", "s", _fixed([[1, 0], [0, 1j]])),
        GateKind("sdg", 1, 0, "s_dag", "s_dag", _fixed([[1, 0], [0, -1j]])),
        GateKind("t", 1, 0, "t", "t", _fixed([[1, 0], [0, cmath.exp(0.25j * math.pi)]])),
        GateKind("tdg", 1, 0, "t_dag", "t_dag", _fixed([[1, 0], [0, cmath.exp(-0.25j * math.pi)]])),
        GateKind("sx", 1, 0, "sqrtx", "sqrtx", _fixed([[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]])),
        GateKind("sxdg", 1, 0, "sqrtx_dag", "sqrtx_dag", _fixed([[0.5 - 0.5j, 0.5 + 0.5j], [0.5 + 0.5j, 0.5 - 0.5j]])),
        GateKind("sy", 1, 0, "sqrty", "sqrty", _fixed([[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]])),
        GateKind("sydg", 1, 0, "sqrty_dag", "sqrty_dag", _fixed([[0.5 - 0.5j, 0.5 - 0.5j], [-0.5 + 0.5j, 0.5 - 0.5j]])),
        GateKind("swap", 2, 0, "swap", "swap", _fixed([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]])),
        GateKind("rx", 1, 1, "rx", "rx", _rx),
        GateKind("ry", 1, 1, "ry", "ry", _ry),
        GateKind("rz", 1, 1, "rz", "rz", _rz),
        GateKind("p", 1, 1, "p", "p", _p),
        GateKind("u", 1, 3, "u", "u", _u),
        # A global phase acts on no target: it multiplies every amplitude whose controls match.
        GateKind("gphase", 0, 1, "gp", "gp", _gphase),
    )
}

#: Name of a gate given by an explicit matrix.
UNITARY = "unitary"


def gate_kind(name: str) -> GateKind:
    """The catalogue row of a gate name; ValueError naming the gate when the name is not in the catalogue."""
    try:
        return GATES[name]
    except KeyError:
        raise ValueError(f"unknown gate name {name!r}; known: {sorted(GATES)} or {UNITARY!r}") from None
