"""DeviceDensityState: factories, transfers, copies, properties and their argument checks."""

import os
import subprocess
import sys

import numpy as np
import pytest

import rhosim
from rho_reference import DTYPES, random_density

DDS = rhosim.DeviceDensityState


def test_module_surface():
    assert rhosim.__doc__ == "CUDA dense density-matrix backend for velloran"
    assert rhosim.__backend__ in ("cuda", "host")
    for name in ("DeviceDensityState", "run_density_operations_device", "measure_device"):
        assert hasattr(rhosim, name)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [0, 1, 2, 5])
def test_zero_state(n, dtype):
    state = DDS.zero_state(n, dtype)
    dim = 1 << n
    assert (state.num_qubits, state.dimension, state.dtype, state.device_id) == (n, dim, dtype, 0)
    out = state.to_numpy()
    assert out.dtype == np.dtype(dtype) and out.shape == (dim, dim) and out.flags.c_contiguous
    expected = np.zeros((dim, dim), dtype=dtype)
    expected[0, 0] = 1
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [0, 1, 3])
def test_from_numpy_round_trip(n, dtype):
    rho = random_density(n, np.random.default_rng(n)).astype(dtype)
    state = DDS.from_numpy(n, rho, "cuda")
    assert state.dtype == dtype
    np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize("dtype", DTYPES)
def test_copy_is_independent(dtype):
    rho = random_density(2, np.random.default_rng(7)).astype(dtype)
    source = DDS.from_numpy(2, rho)
    duplicate = source.copy()
    assert (duplicate.num_qubits, duplicate.dtype, duplicate.device_id) == (2, dtype, 0)
    np.testing.assert_array_equal(duplicate.to_numpy(), rho)

    class H:
        id, target, control, control_state, parameter, has_stored_matrix = "h", [0], [], [], None, False

    rhosim.run_density_operations_device(duplicate, 2, [H()])
    np.testing.assert_array_equal(source.to_numpy(), rho)
    assert not np.allclose(duplicate.to_numpy(), rho)


def test_host_array_is_not_aliased():
    rho = np.eye(2, dtype=np.complex128)
    state = DDS.from_numpy(1, rho)
    rho[0, 0] = 5
    assert state.to_numpy()[0, 0] == 1
    out = state.to_numpy()
    out[1, 1] = 7
    assert state.to_numpy()[1, 1] == 1


@pytest.mark.parametrize("n", [16, 17, -1])
def test_qubit_range(n):
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[0, 15\] for the GPU density backend$"):
        DDS.zero_state(n)
    with pytest.raises(ValueError, match=r"num_qubits must be in \[0, 15\]"):
        DDS.from_numpy(n, np.eye(2, dtype=complex))


BAD_ARRAYS = [
    # (n, array, message) in the order the checks run
    (2, np.zeros(4, dtype=complex), "state shape must be (2**n, 2**n)"),
    (1, np.zeros((4, 4), dtype=complex), "state shape must be (2**n, 2**n)"),
    (1, np.zeros((2, 3), dtype=complex), "state shape must be (2**n, 2**n)"),
    (1, np.zeros((2, 2, 1), dtype=complex), "state shape must be (2**n, 2**n)"),
    (1, np.asfortranarray(np.array([[1, 2], [3, 4]], dtype=complex)), "state must be C-contiguous"),
    (1, np.eye(2), "dtype must be 'complex64' or 'complex128', got: float64"),
    (1, np.eye(2, dtype=np.complex256) if hasattr(np, "complex256") else np.eye(2, dtype=np.int64),
     "dtype must be 'complex64' or 'complex128', got: "),
    (16, np.eye(2), "num_qubits must be in [0, 15] for the GPU density backend"),
]


@pytest.mark.parametrize("n, array, message", BAD_ARRAYS)
def test_from_numpy_rejects(n, array, message):
    with pytest.raises(ValueError) as info:
        DDS.from_numpy(n, array)
    assert str(info.value).startswith(message)


def test_from_numpy_read_only_and_order():
    rho = np.eye(2, dtype=complex)
    rho.flags.writeable = False
    with pytest.raises(ValueError, match="^state must be writable$"):
        DDS.from_numpy(1, rho)
    # Read-only is checked after C order, dtype after read-only, the device last.
    fortran = np.asfortranarray(np.array([[1, 2], [3, 4]], dtype=np.float64))
    fortran.flags.writeable = False
    with pytest.raises(ValueError, match="^state must be C-contiguous$"):
        DDS.from_numpy(1, fortran)
    with pytest.raises(ValueError, match="^state must be writable$"):
        DDS.from_numpy(1, np.broadcast_to(np.eye(2), (2, 2)))
    with pytest.raises(ValueError, match="got: float64$"):
        DDS.from_numpy(1, np.eye(2), "cpu")


def test_from_numpy_requires_an_array():
    with pytest.raises(TypeError):
        DDS.from_numpy(1, [[1, 0], [0, 0]])


@pytest.mark.parametrize("device", ["cuda", "gpu", "cuda:0"])
def test_device_strings(device):
    assert DDS.zero_state(1, "complex64", device).device_id == 0
    assert DDS.from_numpy(1, np.eye(2, dtype=complex), device).device_id == 0


@pytest.mark.parametrize("device", ["cpu", "CUDA", "cuda0", ""])
def test_bad_device(device):
    message = "^device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + device + "$"
    with pytest.raises(ValueError, match=message):
        DDS.zero_state(1, "complex128", device)
    with pytest.raises(ValueError, match=message):
        DDS.zero_state(1, "float", device)  # the device is parsed before the dtype
    with pytest.raises(ValueError, match=message):
        DDS.from_numpy(1, np.eye(2, dtype=complex), device)


def test_bad_dtype_and_order():
    with pytest.raises(ValueError, match="^dtype must be 'complex64' or 'complex128', got: float32$"):
        DDS.zero_state(1, "float32")
    # The qubit count is checked after both strings.
    with pytest.raises(ValueError, match="^dtype must be"):
        DDS.zero_state(16, "float32")


@pytest.mark.skipif(rhosim.__backend__ != "host", reason="the host runtime has one device")
def test_missing_device_is_a_cuda_error():
    with pytest.raises(RuntimeError, match="^CUDA error: invalid device ordinal$"):
        DDS.zero_state(1, "complex128", "cuda:1")


def test_default_arguments():
    state = DDS.zero_state(2)
    assert state.dtype == "complex128" and state.device_id == 0


OUT_OF_MEMORY = r"""
import resource
import rhosim
state = rhosim.DeviceDensityState.zero_state(10)   # 16 MiB, within the limit
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (768 << 20), resource.RLIM_INFINITY))
for call in (lambda: rhosim.DeviceDensityState.zero_state(15),
             lambda: rhosim.DeviceDensityState.zero_state(14, "complex64"),
             lambda: rhosim.DeviceDensityState.from_numpy(1, __import__("numpy").eye(2, dtype=complex)).copy()):
    try:
        call()
        print("allocated")
    except RuntimeError as error:
        print(error)
big = rhosim.DeviceDensityState.zero_state(13, "complex64")  # 512 MiB
try:
    big.copy()
    print("allocated")
except RuntimeError as error:
    print(error)
print(state.to_numpy()[0, 0])
"""


@pytest.mark.skipif(rhosim.__backend__ != "host", reason="limits host address space")
def test_out_of_memory_is_a_cuda_error():
    # With the address space capped at 768 MiB above what the process holds, allocations of 16 GiB,
    # 2 GiB and a second 512 MiB fail with the runtime's out-of-memory error and nothing else breaks.
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                            env={**os.environ, "OMP_NUM_THREADS": "1"}, timeout=120)
    lines = result.stdout.split("\n")
    assert lines[0] == "CUDA error: out of memory", result.stderr
    assert lines[1] == "CUDA error: out of memory"
    assert lines[2] == "allocated"
    assert lines[3] == "CUDA error: out of memory"
    assert lines[4] == "(1+0j)"
