"""Type stubs of ketsim, the state-vector extension module: the KernelMode enum, the DeviceState,
PreparedFusionChunk and DistributedState classes and the module functions, with the argument names and
defaults the module binds.

Names that start with an underscore exist only here, to describe the shape of arguments; import them under
``typing.TYPE_CHECKING``.
"""

import enum
from collections.abc import Iterable, Sequence
from typing import Any, Final, Literal, Protocol, SupportsIndex, TypedDict, TypeVar, overload, type_check_only

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import NotRequired

_Endian = Literal["little", "big"]
_Dtype = Literal["complex64", "complex128"]
_Complex = np.complexfloating[Any, Any]
_StateArray = NDArray[np.complex64] | NDArray[np.complex128]
_StateArrayT = TypeVar("_StateArrayT", bound=NDArray[np.complex64] | NDArray[np.complex128])

@type_check_only
class _GateDict(TypedDict):
    """One gate of a ``gate_ir`` list. Qubit q is bit q of an amplitude index; ``matrix`` (row-major, bit j
    of its index = ``target[j]``) is read for the "unitary" gate."""

    id: str
    target: Sequence[SupportsIndex]
    control: Sequence[SupportsIndex]
    control_state: Sequence[SupportsIndex]
    parameter: Sequence[float]
    matrix: NotRequired[ArrayLike | None]

# A gate_ir list: dictionaries with the keys of _GateDict (a plain dict[str, Any] is accepted as well).
_GateList = list[_GateDict] | list[dict[str, Any]]

@type_check_only
class _GateObject(Protocol):
    """A gate read by attribute (``run_circuit_device_gates``, ``prepare_fusion_chunk_gates``); a "unitary"
    gate also has a ``matrix`` attribute."""

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

# An mpi4py intracommunicator (mpi4py.MPI.Intracomm); None stands for MPI.COMM_WORLD. mpi4py is optional,
# so the stubs do not name its type.
_Communicator = Any

__backend__: Literal["cuda", "host"]

class KernelMode(enum.IntEnum):
    """How gates are launched: one thread per amplitude, one per amplitude pair, a per-gate choice of pair
    kernels (the default), or a chunk planned into fused groups."""

    AllState = 0
    Pair = 1
    PairAuto = 2
    PairAutoFusion = 3

AllState: Final = KernelMode.AllState
Pair: Final = KernelMode.Pair
PairAuto: Final = KernelMode.PairAuto
PairAutoFusion: Final = KernelMode.PairAutoFusion

class DeviceState:
    """An n-qubit state vector (1 <= n <= 62) in device memory; made only by ``from_numpy`` and
    ``zero_state``."""

    @staticmethod
    def from_numpy(
        n: SupportsIndex, state: _StateArray, device: str = "cuda:0", use_pinned_host: bool = False
    ) -> DeviceState:
        """A device copy of a 1-D C-contiguous complex64/complex128 array of 2**n amplitudes."""

    @staticmethod
    def zero_state(n: SupportsIndex, dtype: _Dtype = "complex128", device: str = "cuda:0") -> DeviceState:
        """|0...0> on the device ("cuda", "gpu" or "cuda:<id>")."""

    def to_numpy(self, use_pinned_host: bool = False) -> NDArray[_Complex]:
        """A new host array of the amplitudes, in the state's dtype."""

    def copy_to_numpy(self, state: _StateArray, use_pinned_host: bool = False) -> None:
        """Copy the amplitudes into a writable array of the state's size and dtype."""

    @property
    def n(self) -> int:
        """Number of qubits."""

    @property
    def num_state(self) -> int:
        """Number of amplitudes, 2**n."""

    @property
    def device_id(self) -> int:
        """Ordinal of the device holding the state."""

    @property
    def dtype(self) -> _Dtype:
        """Precision of the amplitudes."""

class PreparedFusionChunk:
    """A chunk of gates planned into fused groups on the CPU; made only by ``prepare_fusion_chunk_gates``."""

    @property
    def n(self) -> int:
        """Number of qubits the chunk was planned for."""

    @property
    def gate_count(self) -> int:
        """Number of gates the chunk holds."""

class DistributedState:
    """A state vector split over the 2**g ranks of an MPI communicator (mpi4py) by its top g index bits.

    Every method and every function that takes one is collective: each rank calls it with the same
    arguments, results are returned on every rank, and a failure on any rank raises on all of them.
    Gates on global qubits are made local by pairwise exchanges between ranks; the qubit order seen
    by the caller (to_numpy, measurement) never changes. PairAutoFusion plans each run of local gates
    on the rank's own layout (a prepared chunk again, with the options it was prepared with).
    Make one collective call at a time per communicator (not from several threads at once).
    """

    @staticmethod
    def zero_state(
        n: SupportsIndex, dtype: _Dtype = "complex128", comm: _Communicator | None = None
    ) -> DistributedState:
        """|0...0> on n qubits over the communicator's ranks."""

    @staticmethod
    def from_numpy(array: _StateArray, comm: _Communicator | None = None) -> DistributedState:
        """Each rank keeps its slice of the full state array that every rank passes."""

    def to_numpy(self) -> NDArray[_Complex]:
        """The full state in qubit order on every rank (up to 30 qubits)."""

    @property
    def n(self) -> int:
        """Number of qubits."""

    @property
    def dtype(self) -> _Dtype:
        """Precision of the amplitudes."""

    @property
    def num_ranks(self) -> int:
        """Number of ranks the state is split over (a power of two)."""

    @property
    def rank(self) -> int:
        """This process's rank in the communicator."""

    @property
    def local_qubits(self) -> int:
        """Bit positions within each rank's slice, n - global_qubits."""

    @property
    def global_qubits(self) -> int:
        """Bit positions that select the rank, log2(num_ranks)."""

    @property
    def device_id(self) -> int:
        """Ordinal of the device holding this rank's slice."""

    @property
    def qubit_map(self) -> list[int]:
        """Bit position of each qubit: below local_qubits in the rank's slice, above in the rank."""

    @property
    def exchange_path(self) -> Literal["device", "staged"]:
        """How exchanges move amplitudes: 'device' (messages straight from the device memory: CUDA-aware
        MPI, or the host backend) or 'staged' (through page-locked host buffers); see
        VELLORAN_MPI_DEVICE_BUFFERS."""

    @property
    def exchange_count(self) -> int:
        """Pairwise exchanges made so far."""

    @property
    def exchanged_bytes(self) -> int:
        """Bytes this rank has sent in exchanges so far."""

# The entry points below that take a state accept either state class.

def run_circuit_device(
    state: DeviceState | DistributedState,
    gate_ir: _GateList,
    endian: _Endian = "little",
    mode: KernelMode = KernelMode.PairAuto,
) -> None:
    """Run a gate_ir chunk on an existing CUDA DeviceState."""

def prepare_fusion_chunk_gates(
    n: SupportsIndex,
    gates: Iterable[_GateObject],
    fuse_swap: bool = True,
    sparsesharemem_qubits: SupportsIndex = 10,
    densemm_min_qubits: SupportsIndex = 1,
    densemm_max_qubits: SupportsIndex = 7,
    densemm_gate_threshold_scale: float = 1.0,
    max_gates_per_group: SupportsIndex = 512,
    pad_sparsesharemem: bool = True,
) -> PreparedFusionChunk:
    """Parse and plan one streamed chunk on the CPU without launching CUDA."""

def execute_prepared_fusion_chunk(state: DeviceState | DistributedState, chunk: PreparedFusionChunk) -> None:
    """Execute one CPU-prepared fusion chunk and wait for its CUDA work."""

def run_circuit_device_gates(
    state: DeviceState | DistributedState,
    gates: Iterable[_GateObject],
    endian: _Endian = "little",
    mode: KernelMode = KernelMode.PairAuto,
) -> None:
    """Run a QuantumGate object chunk on an existing CUDA DeviceState."""

def measure_device(
    state: DeviceState | DistributedState,
    targets: Sequence[SupportsIndex],
    endian: _Endian = "little",
    seed: SupportsIndex | None = None,
) -> str:
    """Measure target qubits on an existing CUDA DeviceState."""

def sample_measure_device(
    state: DeviceState | DistributedState,
    targets: Sequence[SupportsIndex],
    shots: SupportsIndex,
    endian: _Endian = "little",
    seed: SupportsIndex | None = None,
    collapse_last: bool = True,
) -> tuple[dict[str, int], str]:
    """Batch-sample target qubits and optionally collapse to the final outcome."""

def run_circuit(
    n: SupportsIndex,
    state: _StateArrayT,
    gate_ir: _GateList,
    endian: _Endian = "little",
    device: str = "cuda:0",
    mode: KernelMode = KernelMode.PairAuto,
    use_pinned_host: bool = False,
) -> _StateArrayT:
    """Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned."""

def measure(
    n: SupportsIndex,
    state: _StateArray,
    targets: Sequence[SupportsIndex],
    endian: _Endian = "little",
    device: str = "cuda:0",
    use_pinned_host: bool = False,
) -> str:
    """Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is
    returned."""

def pauli_expectations(state: DeviceState | DistributedState, paulis: Iterable[str]) -> NDArray[np.float64]:
    """Exact expectation values of Pauli strings on a DeviceState, computed without copying the state out.
    Character j of each string (one of I, X, Y, Z) acts on qubit j, bit j of the amplitude index."""
