"""Allocation failures: each case runs in a child process whose address space is capped a little
above what it already uses (RLIMIT_AS), so a large device allocation of the host backend, a large
host-side copy (std::bad_alloc) or a worker thread cannot be had. The call must fail with the
module's out-of-memory error or MemoryError, leave what it promises to leave, and the module must
keep working afterwards; the child exits 0 only when all of that held."""

import os
import resource
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="AddressSanitizer reserves terabytes of address space and aborts where "
                                       "an allocation fails")

PRELUDE = textwrap.dedent("""
    import contextlib, resource, sys
    from types import SimpleNamespace as Op
    import numpy as np
    import ketsim, rhosim

    MiB, GiB = 1 << 20, 1 << 30
    HARD = resource.getrlimit(resource.RLIMIT_AS)[1]

    def address_space():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmSize")

    @contextlib.contextmanager
    def capped(extra):
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, HARD))
        try:
            yield
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (HARD, HARD))

    def gate(name, target, parameter=()):
        return {"id": name, "target": list(target), "control": [], "control_state": [], "parameter": list(parameter)}

    def expect_failure(call, exc, message=None):
        try:
            call()
        except exc as e:
            if message is not None and not str(e).startswith(message):
                sys.exit(f"wrong message: {e!r}")
            return e
        sys.exit(f"{call} did not fail")

    small = ketsim.DeviceState.zero_state(3)
    small_rho = rhosim.DeviceDensityState.zero_state(2)

    def still_working():
        # Fresh and existing objects of both modules: gates, a measurement, a download.
        ketsim.run_circuit_device(small, [gate("h", [0]), gate("x", [1])])
        fresh = ketsim.DeviceState.zero_state(4, "complex64")
        ketsim.run_circuit_device(fresh, [gate("h", [q]) for q in range(4)], mode=ketsim.PairAutoFusion)
        assert np.allclose(np.abs(fresh.to_numpy()) ** 2, 1 / 16)
        ketsim.measure_device(small, [0, 1], seed=1)
        rhosim.run_density_operations_device(small_rho, 2, [Op(id="h", target=[0], control=[], control_state=[],
                                                               parameter=None, has_stored_matrix=False)])
        assert abs(np.trace(small_rho.to_numpy()) - 1) < 1e-12

    still_working()  # everything the checks need is loaded before the cap
""")

CASES = {
    # Device memory of the host backend: the allocator itself refuses, the module reports CUDA's error.
    "state_vector": """
        array = np.zeros(2**27, np.complex64)  # 1 GiB
        with capped(GiB // 2):
            expect_failure(lambda: ketsim.DeviceState.zero_state(30), RuntimeError, "CUDA error: out of memory")
            expect_failure(lambda: ketsim.DeviceState.from_numpy(27, array), RuntimeError, "CUDA error: out of memory")
            expect_failure(lambda: ketsim.run_circuit(27, array, [gate("x", [0])]), RuntimeError,
                           "CUDA error: out of memory")
        assert not array.any()
    """,
    "density_matrix": """
        with capped(GiB):
            expect_failure(lambda: rhosim.DeviceDensityState.zero_state(14), RuntimeError, "CUDA error: out of memory")
            expect_failure(lambda: rhosim.DeviceDensityState.zero_state(15, "complex64"), RuntimeError,
                           "CUDA error: out of memory")
        big = rhosim.DeviceDensityState.zero_state(12, "complex64")  # 128 MiB
        with capped(64 * MiB):
            expect_failure(big.copy, RuntimeError, "CUDA error: out of memory")
        assert big.to_numpy()[0, 0] == 1
    """,
    # A 2^13 x 2^13 UNITARY matrix (1 GiB) fits; the module's own copy of it does not.
    "unitary_matrix_copy": """
        n = 13
        array = np.zeros(2**n, np.complex128)
        array[5] = 1
        device = ketsim.DeviceState.from_numpy(n, array)
        with capped(GiB + GiB // 2):
            matrix = np.zeros((2**n, 2**n), np.complex128)
            big = gate("unitary", range(n))
            big["matrix"] = matrix
            chunk = [gate("x", [0]), big]
            expect_failure(lambda: ketsim.run_circuit(n, array, chunk), MemoryError)
            expect_failure(lambda: ketsim.run_circuit_device(device, chunk), MemoryError)
            expect_failure(lambda: ketsim.run_circuit_device_gates(device, [Op(**g) for g in chunk]), MemoryError)
            expect_failure(lambda: ketsim.prepare_fusion_chunk_gates(n, [Op(**g) for g in chunk]), MemoryError)
            del matrix, big, chunk
        # The chunk failed while it was read: no gate of it ran.
        assert array[5] == 1 and np.count_nonzero(array) == 1
        assert np.array_equal(device.to_numpy(), array)
    """,
    # 2^24 Kraus matrices (1 GiB) fit; their copy into the operation record does not.
    "kraus_set_copy": """
        rho = rhosim.DeviceDensityState.zero_state(2)
        before = rho.to_numpy()
        with capped(GiB + GiB // 2):
            matrices = np.zeros((2**24, 2, 2), np.complex128)
            ops = [Op(id="x", target=[1], control=[], control_state=[], parameter=None, has_stored_matrix=False),
                   Op(operation_kind="kraus", target=[0], kraus_matrices=matrices)]
            expect_failure(lambda: rhosim.run_density_operations_device(rho, 2, ops), MemoryError)
            del matrices, ops
        assert np.array_equal(rho.to_numpy(), before)
    """,
    # Sampling all 24 qubits: the device probabilities (128 MiB) fit, the host running sums do not.
    "sampling_tables": """
        state = ketsim.DeviceState.zero_state(24, "complex64")
        ketsim.run_circuit_device(state, [gate("x", [3])])
        with capped(200 * MiB):
            expect_failure(lambda: ketsim.sample_measure_device(state, list(range(24)), 3), MemoryError)
            expect_failure(lambda: ketsim.measure_device(state, list(range(24))), MemoryError)
        counts, last = ketsim.sample_measure_device(state, [3, 0], 5, seed=2)
        assert counts == {"10": 5} and last == "10"
    """,
    # The DenseMM buffers of a 26-qubit state: the first (512 MiB) fits, the second does not.
    "densemm_buffers": """
        n = 26
        state = ketsim.DeviceState.zero_state(n, "complex64")
        # Four H on each of two qubits: one DenseMM group (the threshold makes every group one), the identity.
        gates = [Op(id="h", target=[q], control=[], control_state=[], parameter=[]) for q in (0, 1) * 4]
        chunk = ketsim.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=-1e9)
        with capped(700 * MiB):
            expect_failure(lambda: ketsim.execute_prepared_fusion_chunk(state, chunk), RuntimeError,
                           "cudaMalloc cached DenseMM GEMM buffer: out of memory")
        # The thread's DenseMM cache was left half made: smaller chunks that need it run correctly.
        for dtype in ("complex64", "complex128"):
            few = ketsim.DeviceState.zero_state(4, dtype)
            ketsim.execute_prepared_fusion_chunk(few, ketsim.prepare_fusion_chunk_gates(
                4, gates + [Op(id="x", target=[2], control=[], control_state=[], parameter=[])],
                densemm_gate_threshold_scale=-1e9))
            expected = np.zeros(16)
            expected[4] = 1
            assert np.allclose(few.to_numpy(), expected)
    """,
}

# The host backend starts its worker threads at the first launch that needs more than one. With
# room for some threads but not all, it runs with those that started: the launch succeeds and gives
# the right state. This child sets no work up before the cap (the fixture's launches run on one block).
WORKER_POOL = """
    state = ketsim.DeviceState.zero_state(16)
    with capped(12 * MiB):
        ketsim.run_circuit_device(state, [gate("h", [q]) for q in range(16)])
    ketsim.run_circuit_device(state, [gate("x", [q]) for q in range(16)])
    amplitudes = state.to_numpy()
    assert np.allclose(np.abs(amplitudes) ** 2, 1 / 2**16)
"""


def eight_mib_stacks():
    # Thread stacks take the stack limit's size; 8 MiB makes "one thread fits, two do not" exact.
    resource.setrlimit(resource.RLIMIT_STACK, (8 << 20, resource.getrlimit(resource.RLIMIT_STACK)[1]))


def run_child(body, env=None, preexec=None):
    code = PRELUDE + textwrap.dedent(body) + "\nprint('done')\n"
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                           env={**os.environ, **(env or {})}, preexec_fn=preexec)
    assert child.returncode == 0, (f"child exited with {child.returncode}\nstdout:\n{child.stdout[-2000:]}\n"
                                   f"stderr:\n{child.stderr[-4000:]}")
    assert child.stdout.splitlines()[-1:] == ["done"]


@pytest.mark.parametrize("case", CASES)
def test_allocation_failure_is_an_exception(case):
    run_child(CASES[case])


def test_worker_threads_that_cannot_all_start():
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    if hard != resource.RLIM_INFINITY and hard < 8 << 20:
        pytest.skip("stack limit below 8 MiB")
    run_child(WORKER_POOL, env={"VELLORAN_HOST_THREADS": "4"}, preexec=eight_mib_stacks)
