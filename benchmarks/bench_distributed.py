"""DistributedState figures, printed by rank 0 of one MPI run (mpirun -n 4 python
benchmarks/bench_distributed.py [--local-qubits 20]):

1. exchanges and bytes per circuit (QFT, random layers, quantum volume) beside a lower bound: every
   global qubit that some non-diagonal gate targets must be exchanged at least once;
2. exchange bandwidth: a gate that forces one exchange, on each exchange path (messages from device
   memory, and staged through host buffers; see VELLORAN_MPI_DEVICE_BUFFERS), against a plain
   Sendrecv of the same bytes in messages of the same size between the same ranks;
3. per-gate time of gates on local qubits, against a DeviceState of the local size;
4. weak scaling: the same circuit with the same local size on groups of 1, 2, 4, ... ranks split off
   this run's communicator.
"""
import argparse
import os
import sys
import time

import numpy as np
from mpi4py import MPI

import ketsim

sys.path.insert(0, os.path.dirname(__file__))
from device_sync import Device  # noqa: E402

WORLD = MPI.COMM_WORLD
DIAGONAL = {"z", "s", "s_dag", "t", "t_dag", "rz", "p", "cp", "cz", "gp"}


def say(*args):
    if WORLD.Get_rank() == 0:
        print(*args, flush=True)


def gate(name, targets, controls=(), params=(), matrix=None):
    g = {"id": name, "target": list(targets), "control": list(controls), "control_state": [1] * len(controls),
         "parameter": list(params)}
    if matrix is not None:
        g["matrix"] = matrix
    return g


def qft(n):
    gates = []
    for j in reversed(range(n)):
        gates.append(gate("h", [j]))
        gates += [gate("cp", [k], [j], [np.pi / 2 ** (j - k)]) for k in reversed(range(j))]
    gates += [gate("swap", [j, n - 1 - j]) for j in range(n // 2)]
    return gates


def random_layers(n, depth, rng):
    gates = []
    for _ in range(depth):
        gates += [gate("u", [q], params=rng.uniform(-np.pi, np.pi, 3)) for q in range(n)]
        order = rng.permutation(n)
        gates += [gate("cx", [int(order[i + 1])], [int(order[i])]) for i in range(0, n - 1, 2)]
    return gates


def haar(dim, rng):
    z = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def quantum_volume(n, rng):
    gates = []
    for _ in range(n):
        order = rng.permutation(n)
        gates += [gate("unitary", [int(order[i]), int(order[i + 1])], matrix=haar(4, rng))
                  for i in range(0, n - 1, 2)]
    return gates


def lower_bound(n, g, gates):
    """Global qubits (the top g at the start) that some gate needs local: one exchange each at least."""
    needed = set()
    for x in gates:
        name = x["id"]
        if name in DIAGONAL or (name == "swap" and not x["control"]):
            continue
        if name == "unitary":
            m = np.asarray(x["matrix"])
            if np.count_nonzero(m - np.diag(np.diag(m))) == 0:
                continue
        needed.update(t for t in x["target"] if t >= n - g)
    return len(needed)


def best_time(run, repeats, comm):
    best = float("inf")
    for _ in range(repeats):
        comm.Barrier()
        start = time.perf_counter()
        run()
        comm.Barrier()
        best = min(best, time.perf_counter() - start)
    return best


def circuits_section(n, rng):
    g = WORLD.Get_size().bit_length() - 1
    say(f"\n== exchanges per circuit: {n} qubits, {WORLD.Get_size()} ranks ({g} global qubits)")
    say(f"{'circuit':<18}{'gates':>7}{'exchanges':>11}{'lower bound':>13}{'MiB sent/rank':>15}{'seconds':>10}")
    for label, gates in [("qft", qft(n)), ("random layers x4", random_layers(n, 4, rng)),
                         ("quantum volume", quantum_volume(n, rng))]:
        state = ketsim.DistributedState.zero_state(n)
        WORLD.Barrier()
        start = time.perf_counter()
        ketsim.run_circuit_device(state, gates)
        WORLD.Barrier()
        seconds = time.perf_counter() - start
        say(f"{label:<18}{len(gates):>7}{state.exchange_count:>11}{lower_bound(n, g, gates):>13}"
            f"{state.exchanged_bytes / 2**20:>15.1f}{seconds:>10.3f}")


def exchange_time(n, setting, repeats):
    """Seconds of one exchange on a state made with VELLORAN_MPI_DEVICE_BUFFERS=setting, and its path."""
    previous = os.environ.get("VELLORAN_MPI_DEVICE_BUFFERS")
    os.environ["VELLORAN_MPI_DEVICE_BUFFERS"] = setting
    try:
        state = ketsim.DistributedState.zero_state(n)
    finally:
        if previous is None:
            del os.environ["VELLORAN_MPI_DEVICE_BUFFERS"]
        else:
            os.environ["VELLORAN_MPI_DEVICE_BUFFERS"] = previous

    def one_exchange():
        # One H on a qubit that is global now: exactly one exchange.
        q = next(q for q, p in enumerate(state.qubit_map) if p >= state.local_qubits)
        before = state.exchange_count
        ketsim.run_circuit_device(state, [gate("h", [q])])
        assert state.exchange_count == before + 1

    def no_exchange():
        # The same call with the H on a local qubit: what the exchange adds is the difference.
        ketsim.run_circuit_device(state, [gate("h", [state.qubit_map.index(0)])])

    with_exchange = best_time(one_exchange, repeats, WORLD)
    local_only = best_time(no_exchange, repeats, WORLD)
    return with_exchange, local_only, max(with_exchange - local_only, 1e-9), state.exchange_path


def bandwidth_section(n, repeats):
    if WORLD.Get_size() < 2:
        say("\n== exchange bandwidth: needs two ranks or more")
        return
    half_bytes = 2 ** (n - (WORLD.Get_size().bit_length() - 1) - 1) * 16
    # Both paths where messages may leave from device memory (CUDA-aware MPI, or the host backend
    # whose device memory is host memory), else the staged one only.
    direct = ketsim.DistributedState.zero_state(n).exchange_path == "device"
    settings = [("device", "1"), ("staged", "0")] if direct else [("staged", "0")]
    chunk = int(os.environ.get("VELLORAN_MPI_CHUNK_BYTES", 16 << 20))
    send = np.ones(half_bytes, dtype=np.uint8)
    receive = np.empty_like(send)
    partner = WORLD.Get_rank() ^ 1

    def plain():
        for first in range(0, half_bytes, chunk):
            WORLD.Sendrecv(send[first:first + chunk], dest=partner, recvbuf=receive[first:first + chunk],
                           source=partner)

    sendrecv = best_time(plain, repeats, WORLD)
    say(f"\n== exchange bandwidth: {half_bytes / 2**20:.1f} MiB each way per rank, messages of at most "
        f"{chunk / 2**20:.1f} MiB (H on a global qubit less H on a local one)")
    say(f"{'path':<40}{'H global ms':>12}{'H local ms':>12}{'exchange ms':>13}{'GB/s':>8}{'of plain':>10}")
    for label, setting in settings:
        with_exchange, local_only, exchange, path = exchange_time(n, setting, repeats)
        assert path == label, (path, label)
        say(f"{label + ' (VELLORAN_MPI_DEVICE_BUFFERS=' + setting + ')':<40}{with_exchange * 1e3:>12.2f}"
            f"{local_only * 1e3:>12.2f}{exchange * 1e3:>13.2f}{half_bytes / exchange / 1e9:>8.2f}"
            f"{sendrecv / exchange * 100:>9.0f}%")
    say(f"{'plain Sendrecv, host memory':<40}{'':>12}{'':>12}{sendrecv * 1e3:>13.2f}{half_bytes / sendrecv / 1e9:>8.2f}"
        f"{100:>9.0f}%   (goal: exchange >= 80% of plain)")
    if not direct:
        say("device path: not offered (the MPI library does not report CUDA support; "
            "VELLORAN_MPI_DEVICE_BUFFERS=1 asserts it does)")


def local_gates_section(n, repeats):
    device = Device(ketsim.__backend__)
    state = ketsim.DistributedState.zero_state(n)
    L = state.local_qubits
    gates = [gate("h", [q % L]) for q in range(4 * L)]
    distributed = best_time(lambda: ketsim.run_circuit_device(state, gates), repeats, WORLD)
    single = ketsim.DeviceState.zero_state(L)

    def run_single():
        ketsim.run_circuit_device(single, gates)
        device.synchronize()

    alone = best_time(run_single, repeats, WORLD)
    say(f"\n== gates on local qubits: {len(gates)} H gates, {L} local qubits")
    say(f"DistributedState: {distributed / len(gates) * 1e6:9.1f} us/gate")
    say(f"DeviceState({L}):  {alone / len(gates) * 1e6:9.1f} us/gate   ratio {distributed / alone:.2f} (goal <= 1.10)")


def weak_scaling_section(local, repeats, rng):
    size = WORLD.Get_size()
    say(f"\n== weak scaling: {local} local qubits per rank, random layers x2")
    say(f"{'ranks':>6}{'qubits':>8}{'exch./run':>11}{'seconds':>10}")
    groups = 1
    while groups <= size:
        color = WORLD.Get_rank() // groups
        comm = WORLD.Split(color, WORLD.Get_rank())
        n = local + groups.bit_length() - 1
        gates = random_layers(n, 2, np.random.default_rng(5))
        state = ketsim.DistributedState.zero_state(n, comm=comm)
        seconds = best_time(lambda: ketsim.run_circuit_device(state, gates), repeats, comm)
        if WORLD.Get_rank() == 0:
            print(f"{groups:>6}{n:>8}{state.exchange_count / repeats:>11.1f}{seconds:>10.3f}", flush=True)
        comm.Free()
        WORLD.Barrier()
        groups *= 2


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--local-qubits", type=int, default=20, help="amplitudes per rank: 2**local_qubits")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    g = WORLD.Get_size().bit_length() - 1
    n = args.local_qubits + g
    say(f"ketsim {ketsim.__backend__} backend, {MPI.Get_library_version().splitlines()[0].strip()}")
    rng = np.random.default_rng(1)
    circuits_section(n, rng)
    bandwidth_section(n, args.repeats)
    local_gates_section(n, args.repeats)
    weak_scaling_section(args.local_qubits, args.repeats, rng)


if __name__ == "__main__":
    main()
