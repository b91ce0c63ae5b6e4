"""The two ways an exchange moves amplitudes, chosen per communicator by VELLORAN_MPI_DEVICE_BUFFERS
and the MPI library's own answer: messages straight from device memory, and messages staged through
page-locked host buffers. Both are held to a single DeviceState and the NumPy reference, with whole
and chunked messages, and ranks may even differ in the path they take."""

import ctypes
import os

import numpy as np
import pytest

import ketsim
import reference
from distributed_testing import (DTYPES, MODES, comm, gate, global_qubits, random_circuit, random_state, ranks,
                                 single_run, tolerance)

N = 7
SETTINGS = ["0", "1"]
PATH = {"0": "staged", "1": "device"}


def library_reads_cuda_memory():
    """The loaded MPI library's MPIX_Query_cuda_support(), found from this process's mapped files."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "/" in line and ".so" in line}
    for path in sorted(paths):
        if "mpi" not in os.path.basename(path):
            continue
        try:
            library = ctypes.CDLL(path, mode=os.RTLD_NOLOAD if hasattr(os, "RTLD_NOLOAD") else 0)
        except OSError:
            continue
        query = getattr(library, "MPIX_Query_cuda_support", None)
        if query is not None:
            return query() == 1
    return False


# Device memory can be handed to the library: the host backend's is host memory; a GPU's only to a
# CUDA-aware MPI (elsewhere the "1" setting would have the library read GPU addresses as host ones).
DEVICE_PATH_SAFE = ketsim.__backend__ == "host" or library_reads_cuda_memory()


@pytest.fixture(autouse=True)
def _device_path_only_where_safe(request):
    callspec = getattr(request.node, "callspec", None)
    if callspec is not None and callspec.params.get("setting") == "1" and not DEVICE_PATH_SAFE:
        pytest.skip("the MPI library does not read GPU memory")


@pytest.mark.parametrize("setting", SETTINGS + [None, ""])
def test_exchange_path_follows_the_setting(setting, monkeypatch):
    if setting is None:
        monkeypatch.delenv("VELLORAN_MPI_DEVICE_BUFFERS", raising=False)
    else:
        monkeypatch.setenv("VELLORAN_MPI_DEVICE_BUFFERS", setting)
    state = ketsim.DistributedState.zero_state(N)
    if setting in PATH:
        expected = PATH[setting]
    elif ketsim.__backend__ == "host":
        expected = "device"  # device memory is host memory
    else:
        expected = "device" if library_reads_cuda_memory() else "staged"
    assert state.exchange_path == expected


@pytest.mark.parametrize("bad", ["2", "yes", "true", " 1"])
def test_bad_setting_is_refused_on_every_rank(bad, monkeypatch):
    # Wrong on the last rank only: that rank names the setting, the others report it failed there.
    last = comm().Get_rank() == ranks() - 1
    if last:
        monkeypatch.setenv("VELLORAN_MPI_DEVICE_BUFFERS", bad)
    with pytest.raises((ValueError, RuntimeError)) as raised:
        ketsim.DistributedState.zero_state(N)
    monkeypatch.delenv("VELLORAN_MPI_DEVICE_BUFFERS", raising=False)
    # The collective steps before the checks, so that a failed check leaves no rank waiting.
    after = ketsim.DistributedState.zero_state(N).to_numpy()
    if last:
        assert raised.type is ValueError
        assert str(raised.value) == f"VELLORAN_MPI_DEVICE_BUFFERS must be 0 or 1 (or unset), not '{bad}'"
    else:
        assert raised.type is RuntimeError and "failed on another rank" in str(raised.value)
    assert after[0] == 1


@pytest.mark.parametrize("chunk_bytes", [None, "48", "4096"])
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("setting", SETTINGS)
def test_both_paths_match_a_single_device(setting, dtype, chunk_bytes, monkeypatch):
    monkeypatch.setenv("VELLORAN_MPI_DEVICE_BUFFERS", setting)
    if chunk_bytes is not None:
        monkeypatch.setenv("VELLORAN_MPI_CHUNK_BYTES", chunk_bytes)
    seed = 40 + SETTINGS.index(setting)
    gates = random_circuit(N, 40, seed)
    initial = random_state(N, dtype, np.random.default_rng(seed))
    state = ketsim.DistributedState.from_numpy(initial.copy())
    assert state.exchange_path == PATH[setting]
    ketsim.run_circuit_device(state, gates)
    expected = single_run(N, initial, gates).to_numpy()
    np.testing.assert_allclose(state.to_numpy(), expected, rtol=0, atol=tolerance(dtype))
    if global_qubits() > 0:
        assert state.exchange_count > 0


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
@pytest.mark.parametrize("setting", SETTINGS)
def test_each_mode_on_each_path(setting, mode, monkeypatch):
    monkeypatch.setenv("VELLORAN_MPI_DEVICE_BUFFERS", setting)
    gates = random_circuit(N, 30, 60, kinds=["h", "rx", "u", "unitary", "cswap", "y"])
    initial = random_state(N, np.complex128, np.random.default_rng(60))
    state = ketsim.DistributedState.from_numpy(initial.copy())
    ketsim.run_circuit_device(state, gates, mode=mode)
    np.testing.assert_allclose(state.to_numpy(), reference.simulate(initial, N, gates), rtol=0, atol=1e-12)


@pytest.mark.parametrize("top", [True, False], ids=["top-local-bit", "lower-local-bit"])
@pytest.mark.parametrize("setting", SETTINGS)
def test_contiguous_and_packed_halves(setting, top, monkeypatch):
    # An H on the top qubit (global with two ranks or more) traded for the top local bit (its half is
    # one block of the slice) or, with that bit needed next, for a lower one (its half is packed).
    if global_qubits() == 0:
        pytest.skip("one rank holds every qubit locally")
    monkeypatch.setenv("VELLORAN_MPI_DEVICE_BUFFERS", setting)
    monkeypatch.setenv("VELLORAN_MPI_CHUNK_BYTES", "64")
    local = N - global_qubits()
    gates = [gate("h", [N - 1])]
    if not top:
        gates.append(gate("rx", [local - 1], params=[0.4]))
    initial = random_state(N, np.complex128, np.random.default_rng(61))
    state = ketsim.DistributedState.from_numpy(initial.copy())
    ketsim.run_circuit_device(state, gates)
    assert state.exchange_count == 1
    assert (state.qubit_map[N - 1] == local - 1) == top
    np.testing.assert_allclose(state.to_numpy(), reference.simulate(initial, N, gates), rtol=0, atol=1e-12)


def test_ranks_on_different_paths_still_exchange_correctly(monkeypatch):
    # Messages are the same bytes either way, so partners need not take the same path.
    if ranks() == 1 or not DEVICE_PATH_SAFE:
        pytest.skip("needs two ranks or more, and the device path")
    setting = SETTINGS[comm().Get_rank() % 2]
    monkeypatch.setenv("VELLORAN_MPI_DEVICE_BUFFERS", setting)
    monkeypatch.setenv("VELLORAN_MPI_CHUNK_BYTES", "256")
    gates = random_circuit(N, 40, 62)
    initial = random_state(N, np.complex128, np.random.default_rng(62))
    state = ketsim.DistributedState.from_numpy(initial.copy())
    assert state.exchange_path == PATH[setting]
    ketsim.run_circuit_device(state, gates)
    np.testing.assert_allclose(state.to_numpy(), reference.simulate(initial, N, gates), rtol=0, atol=1e-12)


def test_both_paths_make_the_same_exchanges(monkeypatch):
    if not DEVICE_PATH_SAFE:
        pytest.skip("the MPI library does not read GPU memory")
    gates = random_circuit(N, 40, 63)
    traffic = []
    for setting in SETTINGS:
        monkeypatch.setenv("VELLORAN_MPI_DEVICE_BUFFERS", setting)
        state = ketsim.DistributedState.zero_state(N)
        ketsim.run_circuit_device(state, gates)
        traffic.append((state.exchange_count, state.exchanged_bytes, list(state.qubit_map)))
    assert traffic[0] == traffic[1]
