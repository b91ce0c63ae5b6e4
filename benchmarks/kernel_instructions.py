"""Instructions per amplitude of the host build's per-gate kernels, counted by callgrind: the same figure
on a quiet or a loaded machine, so a kernel that the compiler stopped vectorising (or a walk that got
dearer) shows up as a jump in one row, where timings would hide it in noise.

Each gate runs `--repeats` times in PairAuto on a `--qubits`-qubit state with one host thread, in a
child process under `valgrind --tool=callgrind`; the instructions counted in the ketsim module, less
those of a child that only makes the state, are divided by repeats and amplitudes. A row whose count is
more than twice that of the same gate on the highest target is marked "*".

Gates are written NAME:TARGETS[:CONTROLS], qubit lists comma-separated, e.g. rx:3, x:15:3 (X on 15, control 3),
unitary:2,15 (a random two-target unitary). Rotations take angle 0.3, u takes (0.1, 0.2, 0.3).

Usage: python benchmarks/kernel_instructions.py [--qubits 16] [--precisions complex64 complex128]
       [--repeats 8] [--gates GATE ...]   (needs valgrind; modules from PYTHONPATH, as for the tests)
"""
from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile

ONE_TARGET = ["x", "y", "z", "h", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag", "rx", "ry", "rz",
              "phase", "u", "unitary"]
LOW_TARGETS = [0, 1, 2, 3, 4, 6]
CONTROLLED = ["x", "z", "h", "rx", "phase", "unitary"]
TWO_TARGETS = ["swap:0,1", "swap:0,5", "swap:2,15", "swap:3,9", "swap:14,15", "unitary:0,1", "unitary:0,2",
               "unitary:1,2", "unitary:0,9", "unitary:1,15", "unitary:2,3", "unitary:2,4", "unitary:2,15",
               "unitary:3,9", "unitary:4,15", "unitary:6,15", "unitary:8,15", "unitary:14,15"]


def default_gates(qubits: int) -> list[str]:
    top = qubits - 1
    gates = [f"{g}:{t}" for g in ONE_TARGET for t in LOW_TARGETS + [top]]
    pairs = [(0, top), (top, 0), (3, top), (top, 3), (1, 2), (2, 1), (top, top - 1)]
    gates += [f"{g}:{t}:{c}" for g in CONTROLLED for t, c in pairs]
    gates += [s.replace("15", str(top)).replace("14", str(top - 1)) for s in TWO_TARGETS]
    # Small states drop the gates on qubits they do not have.
    return [g for g in gates if all(q < qubits for part in parse_gate(g)[1:] for q in part)]


def parse_gate(text: str) -> tuple[str, list[int], list[int]]:
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise ValueError(f"gate {text!r} is not NAME:TARGETS[:CONTROLS]")
    qubits = [[int(q) for q in p.split(",")] for p in parts[1:]]
    return parts[0], qubits[0], qubits[1] if len(qubits) > 1 else []


def run_child(qubits: int, dtype: str, repeats: int, gate_text: str | None) -> None:
    import numpy as np
    import ketsim

    state = ketsim.DeviceState.zero_state(qubits, dtype)
    if gate_text is None:
        return
    name, targets, controls = parse_gate(gate_text)
    rng = np.random.default_rng(1)
    dim = 2 ** len(targets)
    z = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
    gate = {"id": name, "target": targets, "control": controls, "control_state": [1] * len(controls),
            "parameter": [0.3] if name in ("rx", "ry", "rz", "phase") else ([0.1, 0.2, 0.3] if name == "u" else [])}
    if name == "unitary":
        gate["matrix"] = np.linalg.qr(z)[0]
    ketsim.run_circuit_device(state, [gate] * repeats, mode=ketsim.PairAuto)


def module_instructions(qubits: int, dtype: str, repeats: int, gate_text: str | None) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        child = [sys.executable, os.path.abspath(__file__), "--child", "--qubits", str(qubits), "--precisions", dtype,
                 "--repeats", str(repeats)] + (["--gates", gate_text] if gate_text else [])
        env = dict(os.environ, VELLORAN_HOST_THREADS="1", OPENBLAS_NUM_THREADS="1")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"] + child, env=env,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        report = subprocess.run(["callgrind_annotate", "--threshold=100", out], check=True, capture_output=True,
                                text=True).stdout
    total = 0
    for line in report.splitlines():
        match = re.match(r"\s*([\d,]+)\s.*\[(.*)\]\s*$", line)
        if match and os.path.basename(match.group(2)).startswith("ketsim."):
            total += int(match.group(1).replace(",", ""))
    return total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=16)
    parser.add_argument("--precisions", nargs="+", default=["complex64", "complex128"])
    parser.add_argument("--repeats", type=int, default=8)
    parser.add_argument("--gates", nargs="+")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_child(args.qubits, args.precisions[0], args.repeats, args.gates[0] if args.gates else None)
        return
    gates = args.gates or default_gates(args.qubits)
    for gate_text in gates:
        parse_gate(gate_text)
    amplitudes = 2 ** args.qubits
    figures: dict[tuple[str, str], float] = {}
    for dtype in args.precisions:
        base = module_instructions(args.qubits, dtype, args.repeats, None)
        for gate_text in gates:
            count = module_instructions(args.qubits, dtype, args.repeats, gate_text)
            figures[gate_text, dtype] = (count - base) / args.repeats / amplitudes
    top = args.qubits - 1
    print(f"instructions per amplitude, {args.qubits} qubits, {args.repeats} gates each, one host thread")
    print(f"{'gate':<18}" + "".join(f"{d:>12}" for d in args.precisions))
    for gate_text in gates:
        name, targets, controls = parse_gate(gate_text)
        reference = f"{name}:{top}" if len(targets) == 1 and not controls else None
        cells = []
        for dtype in args.precisions:
            value = figures[gate_text, dtype]
            high = figures.get((reference, dtype)) if reference else None
            mark = "*" if high and value > 2 * high else " "
            cells.append(f"{value:11.2f}{mark}")
        print(f"{gate_text:<18}" + "".join(cells))


if __name__ == "__main__":
    main()
