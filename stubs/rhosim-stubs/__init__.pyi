"""Type stubs of rhosim, the density-matrix extension module: the DeviceDensityState class and the operation
and measurement functions, with the argument names and defaults the module binds.

Names that start with an underscore exist only here, to describe the shape of arguments; import them under
``typing.TYPE_CHECKING``.
"""

from collections.abc import Iterable, Sequence
from typing import Any, Literal, Protocol, SupportsIndex, type_check_only

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Endian = Literal["little", "big"]
_Dtype = Literal["complex64", "complex128"]

@type_check_only
class _GateOperation(Protocol):
    """A unitary operation read by attribute: a named gate with its parameters, or an explicit matrix
    (``has_stored_matrix`` true, then ``stored_matrix`` is read too), with controls."""

    @property
    def id(self) -> str: ...
    @property
    def target(self) -> Sequence[SupportsIndex]: ...
    @property
    def control(self) -> Sequence[SupportsIndex]: ...
    @property
    def control_state(self) -> Sequence[SupportsIndex]: ...
    @property
    def parameter(self) -> Sequence[float] | None: ...
    @property
    def has_stored_matrix(self) -> bool: ...

@type_check_only
class _KrausOperation(Protocol):
    """A channel read by attribute: ``operation_kind`` "kraus", its targets and a (count, 2**k, 2**k) array
    of Kraus matrices; an optional ``channel_name`` attribute names a built-in channel."""

    @property
    def operation_kind(self) -> str: ...
    @property
    def target(self) -> Sequence[SupportsIndex]: ...
    @property
    def kraus_matrices(self) -> ArrayLike: ...

__backend__: Literal["cuda", "host"]

class DeviceDensityState:
    """A 2**n x 2**n density matrix (0 <= n <= 15) in device memory; made only by ``from_numpy`` and
    ``zero_state`` (and ``copy``)."""

    @staticmethod
    def from_numpy(
        n: SupportsIndex, state: NDArray[np.complex64] | NDArray[np.complex128], device: str = "cuda:0"
    ) -> DeviceDensityState:
        """A device copy of a writable C-contiguous complex64/complex128 array of shape (2**n, 2**n)."""

    @staticmethod
    def zero_state(n: SupportsIndex, dtype: _Dtype = "complex128", device: str = "cuda:0") -> DeviceDensityState:
        """|0...0><0...0| on the device ("cuda", "gpu" or "cuda:<id>")."""

    def to_numpy(self) -> NDArray[np.complexfloating[Any, Any]]:
        """A new host array of the matrix, in the state's dtype."""

    def copy(self) -> DeviceDensityState:
        """An independent device copy."""

    @property
    def num_qubits(self) -> int:
        """Number of qubits."""

    @property
    def dimension(self) -> int:
        """Rows (and columns) of the matrix, 2**n."""

    @property
    def dtype(self) -> _Dtype:
        """Precision of the entries."""

    @property
    def device_id(self) -> int:
        """Ordinal of the device holding the matrix."""

def run_density_operations_device(
    state: DeviceDensityState, num_qubits: SupportsIndex, operations: Iterable[_GateOperation | _KrausOperation]
) -> None:
    """Apply the operations in order; every one is read and checked before the matrix changes."""

def measure_device(
    state: DeviceDensityState,
    targets: Sequence[SupportsIndex],
    endian: _Endian = "little",
    seed: SupportsIndex | None = None,
) -> str:
    """Measure target qubits, collapse the matrix onto the outcome and return its bit string (character j is
    ``targets[j]``)."""
