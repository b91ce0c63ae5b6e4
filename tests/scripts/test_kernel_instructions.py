"""The instruction-count benchmark (benchmarks/kernel_instructions.py): its gate strings parse or are
refused with the string named, its default list stays inside the state, and a run under callgrind reports
a positive count per amplitude that grows with the gate's arithmetic."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

PATH = pathlib.Path(__file__).resolve().parents[2] / "benchmarks" / "kernel_instructions.py"
loader_spec = importlib.util.spec_from_file_location("kernel_instructions", PATH)
bench = importlib.util.module_from_spec(loader_spec)
loader_spec.loader.exec_module(bench)


@pytest.mark.parametrize("text, parsed", [("rx:3", ("rx", [3], [])), ("x:15:3", ("x", [15], [3])),
                                          ("unitary:2,9:0,1", ("unitary", [2, 9], [0, 1]))])
def test_gate_strings_parse(text, parsed):
    assert bench.parse_gate(text) == parsed


@pytest.mark.parametrize("text", ["rx", "x:1:2:3"])
def test_malformed_gate_string_is_refused_by_name(text):
    with pytest.raises(ValueError, match=repr(text).replace("[", r"\[")):
        bench.parse_gate(text)


@pytest.mark.parametrize("qubits", [8, 16])
def test_default_gates_stay_inside_the_state(qubits):
    for text in bench.default_gates(qubits):
        _, targets, controls = bench.parse_gate(text)
        assert all(0 <= q < qubits for q in targets + controls), text
        assert len(set(targets + controls)) == len(targets + controls), text


# valgrind cannot run a process that the sanitizer runtime is preloaded into (the sanitizer stage).
@pytest.mark.skipif(shutil.which("valgrind") is None or "asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="needs valgrind, without a sanitizer runtime preloaded")
def test_counts_are_positive_and_follow_the_arithmetic():
    out = subprocess.run([sys.executable, str(PATH), "--qubits", "10", "--precisions", "complex64", "--repeats", "2",
                          "--gates", "z:9", "unitary:8,9"], check=True, capture_output=True, text=True).stdout
    rows = {line.split()[0]: float(line.split()[1].rstrip("*")) for line in out.splitlines()[2:]}
    assert 0 < rows["z:9"] < rows["unitary:8,9"]
