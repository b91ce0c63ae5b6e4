"""Pauli strings: their checks, and Tr(rho P) computed on the host from a downloaded density matrix (state
vectors use ketsim's device routine).

A Pauli string has one character per qubit over "IXYZ"; character j acts on qubit j.
"""

from __future__ import annotations

from typing import Sequence

import numpy as np


def check_paulis(paulis: Sequence[str], num_qubits: int) -> list[str]:
    """The strings as a list after checking type, length and alphabet; TypeError/ValueError naming the string."""
    if isinstance(paulis, str):
        raise TypeError("paulis must be a sequence of strings, not one string")
    out = []
    for index, p in enumerate(paulis):
        if not isinstance(p, str):
            raise TypeError(f"Pauli string {index} must be a str, got {type(p).__name__}")
        if len(p) != num_qubits:
            raise ValueError(f"Pauli string {index} has length {len(p)}; the state has {num_qubits} qubits")
        bad = set(p) - set("IXYZ")
        if bad:
            raise ValueError(f"Pauli string {index} has character(s) {sorted(bad)} outside 'IXYZ'")
        out.append(p)
    return out


def _masks(pauli: str) -> tuple[int, int, int]:
    """(flip mask of X and Y, sign mask of Z and Y, number of Y)."""
    flip = sign = ny = 0
    for q, ch in enumerate(pauli):
        if ch in "XY":
            flip |= 1 << q
        if ch in "ZY":
            sign |= 1 << q
        ny += ch == "Y"
    return flip, sign, ny


def _parity(values: np.ndarray) -> np.ndarray:
    """Parity of the set bits of each entry (unsigned 64-bit)."""
    v = values.copy()
    for shift in (32, 16, 8, 4, 2, 1):
        v ^= v >> np.uint64(shift)
    return (v & np.uint64(1)).astype(np.int8)


def _matrix_column_factors(pauli: str, dim: int) -> tuple[np.ndarray, np.ndarray]:
    """For each column index i: the row i ^ flip where P has its only non-zero entry, and that entry.
    P|i> = i**nY * (-1)**popcount(i & sign) |i ^ flip>."""
    flip, sign, ny = _masks(pauli)
    index = np.arange(dim, dtype=np.uint64)
    signs = 1.0 - 2.0 * _parity(index & np.uint64(sign))
    return index ^ np.uint64(flip), (1j**ny) * signs


def density_expectations(rho: np.ndarray, paulis: Sequence[str]) -> np.ndarray:
    """Re Tr(rho P) for each string; ``rho`` is a (2**n, 2**n) matrix in the package's qubit order."""
    dim = rho.shape[0]
    index = np.arange(dim, dtype=np.uint64)
    out = np.empty(len(paulis), dtype=np.float64)
    for k, p in enumerate(paulis):
        rows, factors = _matrix_column_factors(p, dim)
        # Tr(rho P) = sum_i rho[i, i ^ flip] * P[i ^ flip, i]
        out[k] = float(np.real(np.sum(rho[index, rows] * factors)))
    return out
