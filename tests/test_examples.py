"""examples/main_job.py, the run the README leads with, on small registers: each noise source, the --raw
section, and bad options. Its printed figures are read back and held to what it claims: sampled counts
within 5 sigma of the closed-form law it prints beside them, the estimate within the register's
resolution, the exact expectation value and the density matrices equal to their independent references."""

import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import ketsim

pytest.importorskip("qiskit")
pytest.importorskip("cirq")
import velloran_gpu  # noqa: E402

SCRIPT = Path(__file__).resolve().parents[1] / "examples" / "main_job.py"


def run_example(*args):
    # The same modules and package as this test process, wherever they were built or installed (and the same
    # environment, so a sanitizer build gets the runtime preloaded for it).
    paths = [str(Path(ketsim.__file__).parent), str(Path(velloran_gpu.__file__).parents[1])]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True, env=env,
                          timeout=600)


def number(pattern, text):
    match = re.search(pattern, text)
    assert match, f"{pattern!r} not in:\n{text}"
    return float(match.group(1))


def check_phase_estimation(out, n, shots):
    rows = re.findall(rf"^\s+([01]{{{n}}})\s+(\d+)\s+([\d.]+)$", out, re.MULTILINE)
    assert len(rows) == 4, out
    for bits, count, exact in rows:
        expected = float(exact)
        assert abs(int(count) - expected) <= 5 * math.sqrt(expected) + 1, (bits, count, exact)
    counts = [int(c) for _, c, _ in rows]
    assert counts == sorted(counts, reverse=True)
    # The most frequent outcome is the n-bit fraction nearest to 1/3.
    assert int(rows[0][0], 2) == round(2**n / 3)
    assert number(r"error ([\d.e+-]+)", out) <= 2.0**-n
    assert number(r"difference ([\d.e+-]+)", out) < 1e-9
    assert f"{shots} shots" in out


def check_noisy(out):
    assert number(r"trace ([\d.]+)", out) == pytest.approx(1.0, abs=1e-9)
    assert 0.5 < number(r"GHZ fidelity ([\d.]+)", out) < 1.0
    assert 0.25 < number(r"purity tr\(rho\^2\) ([\d.]+)", out) < 1.0
    assert number(r"independent reference\| = ([\d.e+-]+)", out) < 1e-9


@pytest.mark.parametrize("source", ["cirq", "aer"])
def test_main_job_figures(source):
    if source == "aer":
        pytest.importorskip("qiskit_aer")
    result = run_example("--qubits", "10", "--noise-qubits", "4", "--shots", "600", "--noise-source", source)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert f"ketsim {ketsim.__backend__} backend" in out
    check_phase_estimation(out, 10, 600)
    check_noisy(out)
    assert ("qiskit_aer" in out) == (source == "aer")


def test_main_job_raw_section():
    result = run_example("--qubits", "8", "--noise-qubits", "3", "--shots", "300", "--noise-source", "cirq",
                         "--raw", "--mode", "PairAutoFusion", "--no-fusion")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    check_phase_estimation(out, 8, 300)
    assert "fusion off" in out and "mode PairAutoFusion" in out
    assert number(r"e\^\(2 pi i x y/N\)/sqrt\(N\)\| = ([\d.e+-]+)", out) < 1e-10
    assert number(r"purity tr\(rho\^2\) = ([\d.]+)", out) < 1.0


@pytest.mark.parametrize("args, message", [
    (["--qubits", "1"], "--qubits must be in"),
    (["--noise-qubits", "16"], "--noise-qubits must be in"),
    (["--shots", "0"], "--shots must be positive"),
    (["--noise-source", "stim"], "invalid choice"),
])
def test_main_job_refuses_bad_options(args, message):
    result = run_example(*args)
    assert result.returncode == 2
    assert message in result.stderr
