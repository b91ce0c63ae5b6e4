"""The toolkit-neutral program executor against an independent NumPy model: every catalogue gate with
controls, matrices, channels, expectation values, branching on mid-circuit measurement, conditionals,
resets and readout errors, seeds, and refusals before any device work."""

from __future__ import annotations

import cmath
import math
import subprocess
import sys

import numpy as np
import pytest

from velloran_gpu import (
    Condition,
    Conditional,
    Gate,
    KrausChannel,
    Measure,
    Program,
    ReadoutError,
    Reset,
    execute_shots,
    expectation_values,
    final_state,
)

METHODS = ["statevector", "density_matrix"]
PRECISIONS = ["double", "single"]

S2 = 1 / math.sqrt(2)
# The reference matrices, written out here (not taken from the package).
REFERENCE = {
    "x": lambda p: np.array([[0, 1], [1, 0]]),
    "y": lambda p: np.array([[0, -1j], [1j, 0]]),
    "z": lambda p: np.diag([1, -1]),
    "h": lambda p: np.array([[S2, S2], [S2, -S2]]),
    "s": lambda p: np.diag([1, 1j]),
    "sdg": lambda p: np.diag([1, -1j]),
    "t": lambda p: np.diag([1, cmath.exp(1j * math.pi / 4)]),
    "tdg": lambda p: np.diag([1, cmath.exp(-1j * math.pi / 4)]),
    "sx": lambda p: 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]),
    "sxdg": lambda p: 0.5 * np.array([[1 - 1j, 1 + 1j], [1 + 1j, 1 - 1j]]),
    "sy": lambda p: 0.5 * np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]]),
    "sydg": lambda p: 0.5 * np.array([[1 - 1j, 1 - 1j], [-1 + 1j, 1 - 1j]]),
    "swap": lambda p: np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]),
    "rx": lambda p: np.array([[math.cos(p[0] / 2), -1j * math.sin(p[0] / 2)],
                              [-1j * math.sin(p[0] / 2), math.cos(p[0] / 2)]]),
    "ry": lambda p: np.array([[math.cos(p[0] / 2), -math.sin(p[0] / 2)], [math.sin(p[0] / 2), math.cos(p[0] / 2)]]),
    "rz": lambda p: np.diag([cmath.exp(-0.5j * p[0]), cmath.exp(0.5j * p[0])]),
    "p": lambda p: np.diag([1, cmath.exp(1j * p[0])]),
    "u": lambda p: np.array([[math.cos(p[0] / 2), -cmath.exp(1j * p[2]) * math.sin(p[0] / 2)],
                             [cmath.exp(1j * p[1]) * math.sin(p[0] / 2),
                              cmath.exp(1j * (p[1] + p[2])) * math.cos(p[0] / 2)]]),
}
PARAMS = {"rx": (0.7,), "ry": (-1.3,), "rz": (2.1,), "p": (0.4,), "u": (0.3, -0.8, 1.9)}


def _as_density(psi):
    return np.outer(psi, psi.conj())


def _check_final(ref, program, expected_psi, method, precision, fusion=True):
    out = final_state(program, method=method, precision=precision, fusion=fusion).state
    atol = 1e-10 if precision == "double" else 3e-5
    if method == "statevector":
        np.testing.assert_allclose(out, expected_psi, atol=atol)
    else:
        expected = expected_psi if expected_psi.ndim == 2 else _as_density(expected_psi)
        np.testing.assert_allclose(out, expected, atol=atol)


class TestGates:
    """Every catalogue gate, with and without controls (open and closed), against the NumPy model."""

    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("precision", PRECISIONS)
    @pytest.mark.parametrize("name", sorted(REFERENCE))
    def test_catalogue_gate(self, ref, name, method, precision):
        rng = np.random.default_rng(abs(hash(name)) % 1000)
        n = 4
        psi0 = ref.random_state(n, rng)
        params = PARAMS.get(name, ())
        k = 2 if name == "swap" else 1
        targets = (3, 1)[:k] if k == 2 else (2,)
        expected = psi0
        instructions = []
        for controls, states in [((), ()), ((0,), (1,)), ((0, 3) if k == 1 else (0,), (0, 1) if k == 1 else (0,))]:
            instructions.append(Gate(name, targets, params, controls, states))
            expected = ref.apply_matrix(expected, n, REFERENCE[name](params), targets, controls, states)
        program = Program(n, 0, instructions, initial_state=psi0)
        _check_final(ref, program, expected, method, precision)

    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("fusion", [True, False])
    @pytest.mark.parametrize("k", [1, 2, 3, 4])
    def test_matrix_gates_with_controls(self, ref, method, fusion, k):
        rng = np.random.default_rng(k)
        n = 6
        psi = ref.random_state(n, rng)
        program = Program(n, initial_state=psi)
        expected = psi
        for trial in range(3):
            qubits = rng.permutation(n)
            targets = tuple(int(q) for q in qubits[:k])
            controls = tuple(int(q) for q in qubits[k:k + trial])
            states = tuple(int(s) for s in rng.integers(0, 2, len(controls)))
            u = ref.random_unitary(1 << k, rng)
            program.append(Gate("unitary", targets, controls=controls, control_states=states, matrix=u))
            expected = ref.apply_matrix(expected, n, u, targets, controls, states)
        _check_final(ref, program, expected, method, "double", fusion)

    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("states", [(1,), (0,), (1, 0), (0, 0)])
    def test_controlled_global_phase(self, ref, method, states):
        # A controlled global phase is a relative phase: visible in both the vector and rho.
        n = 3
        rng = np.random.default_rng(7)
        psi = ref.random_state(n, rng)
        controls = (2, 0)[: len(states)]
        program = Program(n, initial_state=psi, instructions=[Gate("gphase", (), (0.9,), controls, states)])
        phase = np.array([[cmath.exp(0.9j)]])
        expected = psi.copy()
        for i in range(1 << n):
            if all(((i >> c) & 1) == s for c, s in zip(controls, states)):
                expected[i] *= phase[0, 0]
        _check_final(ref, program, expected, method, "double")

    def test_uncontrolled_global_phase(self, ref):
        psi = ref.random_state(2, np.random.default_rng(1))
        program = Program(2, initial_state=psi, instructions=[Gate("gphase", (), (0.5,))])
        _check_final(ref, program, cmath.exp(0.5j) * psi, "statevector", "double")
        _check_final(ref, program, psi, "density_matrix", "double")

    def test_basis_initial_state(self, ref):
        program = Program(3, initial_state=0b101)
        expected = np.zeros(8)
        expected[5] = 1
        for method in METHODS:
            _check_final(ref, program, expected, method, "double")


class TestChannelsAndExpectations:
    """Kraus channels on the density matrix and exact Pauli expectation values."""

    @pytest.mark.parametrize("precision", PRECISIONS)
    def test_kraus_channels(self, ref, precision):
        n = 3
        rng = np.random.default_rng(3)
        psi = ref.random_state(n, rng)
        p = 0.3
        depol = [math.sqrt(1 - 0.75 * p) * np.eye(2)] + [
            math.sqrt(p / 4) * m for m in (REFERENCE["x"](()), REFERENCE["y"](()), REFERENCE["z"](()))
        ]
        amp = [np.array([[1, 0], [0, math.sqrt(0.8)]]), np.array([[0, math.sqrt(0.2)], [0, 0]])]
        u = ref.random_unitary(4, rng)
        two = [math.sqrt(0.7) * np.eye(4), math.sqrt(0.3) * u]  # a random-unitary channel on two qubits
        program = Program(n, initial_state=psi, instructions=[
            KrausChannel((1,), np.array(depol), name="depolarizing"),
            KrausChannel((0,), np.array(amp), name="amplitude_damping"),
            KrausChannel((2, 0), np.array(two)),
        ])
        rho = _as_density(psi)
        rho = ref.apply_kraus(rho, n, depol, (1,))
        rho = ref.apply_kraus(rho, n, amp, (0,))
        rho = ref.apply_kraus(rho, n, two, (2, 0))
        _check_final(ref, program, rho, "density_matrix", precision)

    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("precision", PRECISIONS)
    def test_expectation_values(self, ref, method, precision):
        n = 4
        rng = np.random.default_rng(11)
        psi = ref.random_state(n, rng)
        program = Program(n, initial_state=psi, instructions=[Gate("h", (1,)), Gate("x", (3,), controls=(1,))])
        state = ref.apply_matrix(ref.apply_matrix(psi, n, REFERENCE["h"](()), (1,)), n, REFERENCE["x"](()), (3,), (1,))
        labels = ["IIII", "ZIII", "IXIY", "YYZX", "XZXZ", "ZZZZ"]
        expected = [np.vdot(state, ref.pauli_matrix(p) @ state).real for p in labels]
        got = expectation_values(program, labels, method=method, precision=precision)
        np.testing.assert_allclose(got, expected, atol=1e-10 if precision == "double" else 3e-5)

    def test_device_routine_is_used(self, monkeypatch):
        ketsim = pytest.importorskip("ketsim")
        calls = []
        original = ketsim.pauli_expectations

        def spy(state, paulis):
            calls.append(list(paulis))
            return original(state, paulis)

        monkeypatch.setattr(ketsim, "pauli_expectations", spy)
        got = expectation_values(Program(2, 0, [Gate("x", (1,))]), ["ZZ", "IZ"])
        assert calls == [["ZZ", "IZ"]]
        np.testing.assert_allclose(got, [-1.0, -1.0])

    def test_noisy_expectation(self, ref):
        amp = np.array([[[1, 0], [0, math.sqrt(0.6)]], [[0, math.sqrt(0.4)], [0, 0]]])
        program = Program(2, instructions=[Gate("x", (0,)), KrausChannel((0,), amp), Gate("h", (1,)), Reset((1,))])
        got = expectation_values(program, ["ZI", "IZ", "XI"], method="density_matrix")
        np.testing.assert_allclose(got, [1 - 2 * 0.6, 1.0, 0.0], atol=1e-12)


def _exact_distribution(ref, program: Program) -> dict:
    """Outcome probabilities of the classical bits, by following every branch of the program exactly."""
    n = program.num_qubits
    psi0 = np.zeros(1 << n, dtype=complex)
    psi0[0] = 1
    branches = [(1.0, psi0, (0,) * program.num_clbits)]

    def run(block, branches):
        for ins in block:
            new = []
            for prob, psi, bits in branches:
                if isinstance(ins, Gate):
                    m = REFERENCE[ins.name](ins.params) if ins.name != "unitary" else ins.matrix
                    new.append((prob, ref.apply_matrix(psi, n, m, ins.targets, ins.controls, ins.control_states), bits))
                elif isinstance(ins, (Measure, Reset)):
                    qubits = ins.qubits
                    probs = ref.marginal(np.abs(psi) ** 2, n, qubits)
                    for outcome, p in enumerate(probs):
                        if p < 1e-14:
                            continue
                        keep = np.array([all(((i >> q) & 1) == ((outcome >> j) & 1) for j, q in enumerate(qubits))
                                         for i in range(1 << n)])
                        collapsed = np.where(keep, psi, 0) / math.sqrt(p)
                        new_bits = list(bits)
                        if isinstance(ins, Measure):
                            for j, c in enumerate(ins.clbits):
                                new_bits[c] = (outcome >> j) & 1
                        else:
                            for j, q in enumerate(qubits):
                                if (outcome >> j) & 1:
                                    collapsed = ref.apply_matrix(collapsed, n, REFERENCE["x"](()), (q,))
                        new.append((prob * p, collapsed, tuple(new_bits)))
                elif isinstance(ins, Conditional):
                    c = ins.condition
                    value = sum(bits[b] << j for j, b in enumerate(c.clbits))
                    holds = (value == c.value) != c.negate
                    new.extend(run(ins.body if holds else ins.else_body, [(prob, psi, bits)]))
            branches = new
        return branches

    out: dict = {}
    for prob, _, bits in run(program.instructions, branches):
        out[bits] = out.get(bits, 0.0) + prob
    return out


def _teleport_like(readout=()):
    """Mid-circuit measurements feeding conditionals (one with an else block), a reset, terminal measures."""
    return Program(3, 4, [
        Gate("ry", (0,), (1.1,)),
        Gate("h", (1,)),
        Gate("x", (2,), controls=(1,)),
        Gate("x", (1,), controls=(0,)),
        Gate("h", (0,)),
        Measure((0, 1), (0, 1), readout),
        Conditional(Condition((1,), 1), (Gate("x", (2,)),)),
        Conditional(Condition((0,), 1), (Gate("z", (2,)),), (Gate("ry", (2,), (0.3,)),)),
        Reset((0,)),
        Gate("h", (0,)),
        Conditional(Condition((0, 1), 0b11, negate=True), (Gate("rx", (1,), (0.8,)),)),
        Measure((2, 0, 1), (2, 3, 1)),
    ])


class TestBranching:
    """Shots with mid-circuit measurement, conditionals and reset, against exact branch probabilities."""

    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("precision", PRECISIONS)
    def test_distribution(self, ref, method, precision):
        program = _teleport_like()
        shots = 4000
        memory = execute_shots(program, shots, method=method, precision=precision, seed=1234)
        assert memory.shape == (shots, 4) and memory.dtype == np.uint8
        ref.assert_counts_match(ref.rows_to_counts(memory), _exact_distribution(ref, program), shots)

    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("after", ["gate", "reset"])
    def test_instruction_after_a_conditional_runs_in_every_shot(self, ref, method, after):
        # The step after a conditional block is where its jump lands: it must not join the block's gates.
        tail = Gate("x", (1,)) if after == "gate" else Reset((1,))
        program = Program(2, 2, [Gate("h", (0,)), Measure((0,), (0,)),
                                 Conditional(Condition((0,), 1), (Gate("x", (1,)),)), tail, Measure((1,), (1,))])
        memory = execute_shots(program, 200, method=method, seed=4)
        expected_bit1 = (1 - memory[:, 0]) if after == "gate" else np.zeros(200)
        np.testing.assert_array_equal(memory[:, 1], expected_bit1)

    @pytest.mark.parametrize("method", METHODS)
    def test_terminal_measurement_with_later_gates_elsewhere(self, ref, method):
        # Measuring qubit 0 before gates on qubit 1 is deferred to the end; the joint law must be unchanged.
        program = Program(2, 2, [Gate("h", (0,)), Measure((0,), (0,)), Gate("ry", (1,), (0.9,)),
                                 Gate("x", (1,), controls=(0,)), Measure((1,), (1,))])
        shots = 3000
        memory = execute_shots(program, shots, method=method, seed=5)
        ref.assert_counts_match(ref.rows_to_counts(memory), _exact_distribution(ref, program), shots)

    @pytest.mark.parametrize("method", METHODS)
    def test_repeated_measurement_overwrites(self, ref, method):
        program = Program(1, 1, [Gate("h", (0,)), Measure((0,), (0,)), Gate("x", (0,)), Measure((0,), (0,))])
        memory = execute_shots(program, 500, method=method, seed=2)
        # The second measurement reads the flipped first outcome: both values occur, each about half the time.
        ref.assert_counts_match(ref.rows_to_counts(memory), {(0,): 0.5, (1,): 0.5}, 500)

    @pytest.mark.parametrize("method", METHODS)
    def test_readout_error(self, ref, method):
        confusion = np.array([[0.9, 0.1], [0.25, 0.75]])
        program = Program(2, 2, [Gate("ry", (0,), (1.0,)), Measure((0, 1), (0, 1), (ReadoutError((0,), confusion),))])
        shots = 4000
        memory = execute_shots(program, shots, method=method, seed=9)
        p1 = math.sin(0.5) ** 2
        recorded1 = (1 - p1) * confusion[0, 1] + p1 * confusion[1, 1]
        ref.assert_counts_match(ref.rows_to_counts(memory), {(0, 0): 1 - recorded1, (1, 0): recorded1}, shots)

    def test_readout_error_feeds_conditionals(self, ref):
        # A flipped record of |0> still drives the conditional: qubit 1 follows the recorded bit.
        flip = np.array([[0.0, 1.0], [1.0, 0.0]])
        program = Program(2, 2, [Measure((0,), (0,), (ReadoutError((0,), flip),)),
                                 Conditional(Condition((0,), 1), (Gate("x", (1,)),)), Measure((1,), (1,))])
        memory = execute_shots(program, 50, seed=1)
        assert (memory == 1).all()

    @pytest.mark.parametrize("method", METHODS)
    def test_seed_reproducible(self, method):
        program = _teleport_like()
        a = execute_shots(program, 300, method=method, seed=77)
        b = execute_shots(program, 300, method=method, seed=77)
        c = execute_shots(program, 300, method=method, seed=78)
        np.testing.assert_array_equal(a, b)
        assert not np.array_equal(a, c)

    def test_final_state_of_a_trajectory_is_collapsed(self, ref):
        program = Program(2, 1, [Gate("h", (0,)), Gate("x", (1,), controls=(0,)), Measure((0,), (0,))])
        for seed in range(6):
            result = final_state(program, seed=seed)
            bit = int(result.clbits[0])
            expected = np.zeros(4)
            expected[3 * bit] = 1
            np.testing.assert_allclose(result.state, expected, atol=1e-12)

    def test_many_outcomes_many_branches(self, ref):
        # Eight qubits measured mid-circuit: up to 256 branches, each continued and measured again.
        n = 8
        program = Program(n, 2 * n, [Gate("h", (q,)) for q in range(n)] + [Measure(tuple(range(n)), tuple(range(n)))]
                          + [Gate("x", (q,)) for q in range(n)] + [Measure(tuple(range(n)), tuple(range(n, 2 * n)))])
        memory = execute_shots(program, 400, seed=3)
        np.testing.assert_array_equal(memory[:, :n], 1 - memory[:, n:])
        assert len(ref.rows_to_counts(memory[:, :n])) > 100


class TestRefusals:
    """Bad programs and options are refused with a message that names the problem."""

    @pytest.mark.parametrize(
        "instructions, message",
        [
            ([Gate("nope", (0,))], "unknown gate name"),
            ([Gate("h", (5,))], "qubit 5 is outside"),
            ([Gate("x", (0,), controls=(0,))], "repeated qubit"),
            ([Gate("rx", (0,))], "takes 1 parameter"),
            ([Gate("rx", (0,), (float("nan"),))], "finite"),
            ([Gate("unitary", (0,), matrix=np.ones((2, 2)))], "not unitary"),
            ([Gate("unitary", (0, 1), matrix=np.eye(2))], "does not match 2 target"),
            ([Gate("x", (0,), controls=(1,), control_states=(2,))], "control states must be 0 or 1"),
            ([Measure((0,), (3,))], "classical bit 3 is outside"),
            ([KrausChannel((0,), np.array([np.eye(2), np.eye(2)]))], "not trace preserving"),
            ([Conditional(Condition((0,), 2), ())], "does not fit"),
        ],
    )
    def test_bad_programs(self, instructions, message):
        program = Program(2, 1, instructions)
        with pytest.raises(ValueError, match=message):
            execute_shots(program, 10)

    def test_labels_name_the_instruction(self):
        program = Program(2, 0, [Gate("h", (4,), label="my_gate")])
        with pytest.raises(ValueError, match="my_gate"):
            final_state(program)

    def test_method_limits(self):
        big = Program(16, 0, [Gate("h", (0,))])
        with pytest.raises(ValueError, match="at most 15 qubits"):
            execute_shots(big, 1, method="density_matrix")
        seven = Program(7, 0, [Gate("unitary", tuple(range(7)), matrix=np.eye(128), label="wide")])
        with pytest.raises(ValueError, match="'wide'.*6-qubit limit"):
            final_state(seven, method="density_matrix")
        noisy = Program(1, 0, [KrausChannel((0,), np.array([np.eye(2)]), label="noise")])
        with pytest.raises(ValueError, match="'noise'.*density_matrix"):
            final_state(noisy, method="statevector")
        four = Program(4, 0, [KrausChannel((0, 1, 2, 3), np.array([np.eye(16)]))])
        with pytest.raises(ValueError, match="3-qubit limit"):
            final_state(four, method="density_matrix")

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"method": "mps"}, ValueError, "method must be"),
            ({"precision": "half"}, ValueError, "precision must be"),
            ({"fusion": "yes"}, TypeError, "fusion must be"),
            ({"seed": -1}, ValueError, "seed"),
            ({"seed": 1.5}, TypeError, "seed"),
        ],
    )
    def test_bad_options(self, kwargs, error, message):
        with pytest.raises(error, match=message):
            execute_shots(Program(1, 1, [Measure((0,), (0,))]), 5, **kwargs)

    def test_bad_shots_and_paulis(self):
        program = Program(2)
        with pytest.raises(ValueError, match="shots"):
            execute_shots(program, 0)
        with pytest.raises(ValueError, match="length 3"):
            expectation_values(program, ["ZZZ"])
        with pytest.raises(ValueError, match="outside 'IXYZ'"):
            expectation_values(program, ["zz"])
        with pytest.raises(ValueError, match="without measurement"):
            expectation_values(Program(1, 1, [Measure((0,), (0,))]), ["Z"])


def test_import_is_light():
    code = "import sys, velloran_gpu; print(sorted(m for m in ('qiskit', 'cirq', 'ketsim', 'rhosim') if m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.strip()
    assert out == "[]"


def test_front_end_without_its_toolkit_names_the_extra():
    code = (
        "import sys; sys.modules['qiskit'] = None\n"
        "try:\n    import velloran_gpu.qiskit\nexcept ImportError as exc:\n    print(exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert 'pip install "velloran-gpu[qiskit]"' in out
