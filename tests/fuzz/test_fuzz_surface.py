"""Property-based fuzz of every Python entry point of ketsim and rhosim.

Each example builds its inputs from a drawn description: valid gates and operations mixed with wild
ones (out-of-range and oversized integers, wrongly typed fields, NaN and infinite parameters,
matrices and Kraus sets of wrong shapes and dtypes) and hostile objects whose conversion hooks
empty, extend or replace the very list being parsed, raise, collect garbage, let other threads run
or call back into the module. The properties:

- a call returns or raises an ordinary exception (fuzz_support.ALLOWED, or the hostile object's
  own), and never takes the interpreter down;
- afterwards the state object still answers, with finite values where every input was finite;
- where a call promises to leave its input alone on failure (the NumPy array of run_circuit and
  measure, a device state a measurement refuses, a density matrix whose operations are refused),
  it is left byte for byte as it was.
"""

import os
import subprocess
import sys
import textwrap
import threading
import time
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis_optional import HealthCheck, given, settings, st

import fuzz_support as fz
import ketsim
import rhosim

# The state arrays include an np.matrix, whose construction NumPy discourages.
pytestmark = pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")

# Hypothesis' per-test settings beyond the profile's: examples build objects that run arbitrary
# code, so the data-too-large and filter checks do not apply.
FUZZ_SETTINGS = settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                                HealthCheck.filter_too_much])

KET_ONE_PARAMETER = {"rx", "crx", "ry", "rz", "phase", "p", "cp", "gp", "global_phase", "gphase"}
KET_THREE_PARAMETERS = {"u", "u1", "u2", "u3"}
KET_NO_TARGET = {"gp", "global_phase", "gphase"}
RHO_PARAMETER_COUNT = {"rx": 1, "ry": 1, "rz": 1, "crz": 1, "p": 1, "cp": 1, "gp": 1, "gphase": 1,
                       "global_phase": 1, "rxy": 2, "xyarb": 2, "u": 3}


def wrong_index():
    return st.sampled_from(range(len(fz.WRONG_TYPES)))


# ---- ketsim gate descriptions ----------------------------------------------------------------------

@st.composite
def valid_ket_gate(draw, n):
    """A gate every ketsim entry point accepts on an n-qubit state."""
    name = draw(st.sampled_from(fz.KET_NAMES))
    if name == "swap":
        m = 2 if n >= 2 else 0
        if m == 0:
            name = "x"
            m = 1
    elif name == "unitary":
        m = draw(st.integers(1, min(3, n)))
    elif name in KET_NO_TARGET:
        m = 0
    else:
        m = 1
    order = draw(st.permutations(range(n)))
    k = draw(st.integers(0, min(2, n - m)))
    parameters = 1 if name in KET_ONE_PARAMETER else 3 if name in KET_THREE_PARAMETERS else 0
    return {
        "kind": "valid",
        "id": name,
        "target": list(order[:m]),
        "control": list(order[m:m + k]),
        "control_state": draw(st.lists(st.integers(0, 1), min_size=k, max_size=k)),
        "parameter": draw(st.lists(st.floats(-7, 7), min_size=parameters, max_size=parameters)),
        "matrix": ("array", (2**m, 2**m), draw(st.sampled_from(("unitary", "random"))), "complex128", "c")
        if name == "unitary" else ("none",),
        "form": draw(st.sampled_from(("plain", "plain", "hostile", "alt"))),
        "action": draw(fz.action_st),
        "missing": None,
    }


def wild_ket_gate(n):
    """A gate with any field wrong, missing or hostile."""
    return st.fixed_dictionaries({
        "kind": st.just("wild"),
        "id": st.one_of(st.sampled_from(fz.KET_NAMES), st.sampled_from(fz.BAD_NAMES),
                        wrong_index().map(lambda i: ("wrong", i))),
        "target": fz.list_spec(fz.int_spec(-2, n + 1), 3),
        "control": fz.list_spec(fz.int_spec(-2, n + 1), 2),
        "control_state": fz.list_spec(fz.int_spec(-1, 2), 2),
        "parameter": st.one_of(fz.list_spec(fz.float_spec(), 3), st.just(("none",))),
        "matrix": fz.matrix_spec(8),
        "form": st.sampled_from(("plain", "hostile", "alt", "wrong")),
        "action": fz.action_st,
        "missing": st.sampled_from((None, None, None, "id", "target", "control", "control_state", "parameter",
                                    "matrix")),
    })


def ket_gate(n):
    return st.one_of(valid_ket_gate(n), valid_ket_gate(n), wild_ket_gate(n))


def build_fields(built, spec, rng):
    if spec["kind"] == "valid":
        fields = {key: spec[key] for key in ("id", "target", "control", "control_state", "parameter")}
        fields = {key: list(value) if isinstance(value, list) else value for key, value in fields.items()}
        matrix = built.matrix(spec["matrix"], rng)
    else:
        name = spec["id"]
        fields = {
            "id": built.wrong(name[1]) if isinstance(name, tuple) else name,
            "target": built.ints(spec["target"]),
            "control": built.ints(spec["control"]),
            "control_state": built.ints(spec["control_state"]),
            "parameter": None if spec["parameter"] == ("none",) else built.floats(spec["parameter"]),
        }
        matrix = built.matrix(spec["matrix"], rng)
    if matrix is not None or spec["kind"] == "wild":
        fields["matrix"] = matrix
    if spec["missing"] is not None:
        fields.pop(spec["missing"], None)
    return fields


def build_dict_gate(built, spec, rng):
    """The gate_ir form (run_circuit, run_circuit_device): a dict, a hostile dict subclass, a mapping
    or key-value pairs, or a value that is none of these."""
    fields = build_fields(built, spec, rng)
    form = spec["form"]
    if form == "plain":
        return fields
    if form == "hostile":
        return fz.HostileDict(built.ctx, fields, spec["action"])
    if form == "alt":
        if spec["action"] in ("none", "raise"):
            return list(fields.items())
        return fz.HostileMapping(built.ctx, fields, spec["action"])
    return fz.WRONG_TYPES[len(fields) % len(fz.WRONG_TYPES)]


def build_object_gate(built, spec, rng, record=None):
    """The attribute form (run_circuit_device_gates, prepare_fusion_chunk_gates); the fields are
    appended to `record` when one is given."""
    fields = build_fields(built, spec, rng)
    if record is not None:
        record.append(dict(fields))
    form = spec["form"]
    if form == "plain":
        obj = fz.GateObject()
        for key, value in fields.items():
            setattr(obj, key, value)
        return obj
    if form == "hostile":
        return fz.hostile_object(built.ctx, fields, spec["action"], ("target", "parameter", "matrix", "id"))
    if form == "alt":
        return SimpleNamespace(**fields)
    return fz.WRONG_TYPES[len(fields) % len(fz.WRONG_TYPES)]


class HostileList(list):
    """A list subclass whose iteration and length run actions (and whose length may lie)."""

    def __init__(self, items, ctx, action):
        super().__init__(items)
        self.ctx, self.action = ctx, action

    def __iter__(self):
        fz.run_action(self.ctx, self.action)
        return super().__iter__()

    def __len__(self):
        fz.run_action(self.ctx, self.action)
        return super().__len__() + 3


CONTAINERS = ("list", "list", "list", "hostile_list", "tuple", "generator", "none", "dict")


def build_container(built, items, kind, action):
    """The chunk around the gates; the list the hostile objects act on is the one the module gets."""
    if kind == "list":
        chunk = list(items)
    elif kind == "hostile_list":
        chunk = HostileList(items, built.ctx, action)
    elif kind == "tuple":
        chunk = tuple(items)
    elif kind == "generator":
        chunk = (g for g in items)
    elif kind == "dict":
        chunk = {i: g for i, g in enumerate(items) if isinstance(g, dict)}
    else:
        chunk = None
    built.ctx.victim = chunk if isinstance(chunk, list) else list(items)
    return chunk


def random_ket_state(n, dtype, rng):
    return ketsim.DeviceState.from_numpy(n, fz.state_values(2**n, rng).astype(dtype))


# ---- ketsim: gate chunks ------------------------------------------------------------------------------

KET_ENTRIES = ("run_circuit", "run_circuit_device", "run_circuit_device_gates", "fusion")


@FUZZ_SETTINGS
@given(data=st.data(), n=st.integers(1, fz.KET_MAX_QUBITS), dtype=st.sampled_from(fz.KET_DTYPES),
       entry=st.sampled_from(KET_ENTRIES), mode=st.sampled_from(fz.KET_MODES), seed=st.integers(0, 2**32 - 1),
       container=st.sampled_from(CONTAINERS), container_action=fz.action_st,
       endian=st.sampled_from(("little", "little", "big", "Little")), reenter_same=st.booleans(),
       pinned=fz.flag_spec())
def test_gate_chunks_never_break_the_state(data, n, dtype, entry, mode, seed, container, container_action, endian,
                                           reenter_same, pinned):
    """Chunks of valid, wild and hostile gates in any container, through the four ways of running
    one, in every kernel mode."""
    rng = np.random.default_rng(seed)
    specs = data.draw(st.lists(ket_gate(n), max_size=8), label="gates")
    ctx = fz.Context()
    built = fz.Built(ctx)
    build_gate = build_object_gate if entry in ("run_circuit_device_gates", "fusion") else build_dict_gate
    chunk = build_container(built, [build_gate(built, spec, rng) for spec in specs], container, container_action)
    finite = built.finite

    state = random_ket_state(n, dtype, rng)
    side = random_ket_state(n, dtype, rng)
    array = fz.state_values(2**n, rng).astype(dtype)
    before = array.copy()
    # A re-entrant call made while the chunk is parsed: on the state being run, or on another one.
    target = state if reenter_same and entry != "run_circuit" else side
    ctx.reenter = lambda: ketsim.run_circuit_device(target, [{"id": "h", "target": [0], "control": [],
                                                              "control_state": [], "parameter": []}])

    if entry == "run_circuit":
        ok, result = fz.attempt(ketsim.run_circuit, n, array, chunk, endian=endian, mode=mode,
                                use_pinned_host=built.flag(pinned))
        if ok:
            assert result is array
            if finite:
                assert np.isfinite(array).all()
        else:
            # The array is written only once every gate has run.
            assert fz.same_bytes(array, before), f"failed run_circuit changed the array: {result!r}"
    elif entry == "run_circuit_device":
        fz.attempt(ketsim.run_circuit_device, state, chunk, endian=endian, mode=mode)
    elif entry == "run_circuit_device_gates":
        fz.attempt(ketsim.run_circuit_device_gates, state, chunk, endian=endian, mode=mode)
    else:
        ok, prepared = fz.attempt(ketsim.prepare_fusion_chunk_gates, n, chunk)
        if ok:
            assert prepared.n == n and prepared.gate_count >= 0
            fz.attempt(ketsim.execute_prepared_fusion_chunk, state, prepared)
    fz.check_ket_state(state, n, dtype, finite)
    fz.check_ket_state(side, n, dtype, finite)


# ---- chunks whose own items change them while they are read ------------------------------------------

# Where the hostile code sits in one item of an otherwise valid chunk, and what it does.
HOOKS = ("target", "control", "control_state", "parameter", "item", "mapping", "matrix")
MUTATIONS = ("clear", "extend", "replace", "pop", "gc", "raise", "reenter")
MUTATED_ENTRIES = ("run_circuit", "run_circuit_device", "run_circuit_device_gates", "fusion", "density",
                   "measure_targets", "density_measure_targets")
ROTATIONS = ("x", "y", "h", "s", "sx", "rx", "ry", "rz", "p", "u")


def chunk_gate(rng, n, hook):
    """A valid ketsim gate dict on an n-qubit state, with a control when the hook needs one."""
    names = ("rx", "ry", "rz", "p", "u") if hook == "parameter" else ROTATIONS
    name = "unitary" if hook == "matrix" else names[rng.integers(len(names))]
    qubits = [int(q) for q in rng.permutation(n)]
    controls = qubits[1:2] if hook in ("control", "control_state") or rng.integers(2) else []
    count = 3 if name == "u" else 1 if name in ("rx", "ry", "rz", "p") else 0
    g = {"id": name, "target": qubits[:1], "control": controls, "control_state": [1] * len(controls),
         "parameter": [float(v) for v in rng.uniform(-3, 3, count)]}
    if name == "unitary":
        g["matrix"] = fz.matrix_values(2, "unitary", rng)
    return g


def hooked(ctx, g, hook, action, form):
    """The gate with hostile code placed at `hook`, in the form the entry point reads."""
    g = dict(g)
    if hook in ("target", "control", "control_state") and g[hook]:
        g[hook] = [fz.HostileIndex(ctx, g[hook][0], action)] + g[hook][1:]
    elif hook == "parameter" and g["parameter"]:
        g["parameter"] = [fz.HostileFloat(ctx, g["parameter"][0], action)] + g["parameter"][1:]
    elif hook == "matrix":
        g["matrix"] = fz.HostileArrayLike(ctx, g["matrix"], action)
    if form == "dict":
        if hook == "item":
            return fz.HostileDict(ctx, g, action)
        return fz.HostileMapping(ctx, g, action) if hook == "mapping" else g
    if form == "density":
        stored = "matrix" in g
        g = {"id": "u" if stored else g["id"], "target": g["target"], "control": g["control"],
             "control_state": g["control_state"], "parameter": [] if stored else g["parameter"],
             "has_stored_matrix": stored, "stored_matrix": g.get("matrix")}
        if g["id"] == "sx":
            g["id"] = "sqrtx"
    if hook in ("item", "mapping"):
        return fz.hostile_object(ctx, g, action, ("id", "target", "control", "parameter"))
    return SimpleNamespace(**g)


@FUZZ_SETTINGS
@given(entry=st.sampled_from(MUTATED_ENTRIES), hook=st.sampled_from(HOOKS), action=st.sampled_from(MUTATIONS),
       n=st.integers(2, 4), length=st.integers(1, 8), position=st.integers(0, 7), mode=st.sampled_from(fz.KET_MODES),
       seed=st.integers(0, 2**32 - 1))
def test_chunks_changed_while_read_run_as_given(entry, hook, action, n, length, position, mode, seed):
    """A valid chunk, one item of which empties, grows, replaces or trims the very list being read
    (or raises, or calls back into the module): the call runs the chunk as it was when called, or
    fails with the hostile item's exception and leaves what it promises to leave."""
    rng = np.random.default_rng(seed)
    ctx = fz.Context()
    position %= length
    plain = [chunk_gate(rng, n, hook if i == position else "") for i in range(length)]
    if entry in ("measure_targets", "density_measure_targets"):
        chunk = list(range(min(length, n)))
        chunk[position % len(chunk)] = fz.HostileIndex(ctx, position % len(chunk), action)
        plain = None
    else:
        form = "dict" if entry in ("run_circuit", "run_circuit_device") else ("density" if entry == "density"
                                                                              else "object")
        chunk = [hooked(ctx, g, hook, action, form) if i == position else hooked(ctx, g, "", "none", form)
                 for i, g in enumerate(plain)]
    ctx.victim = chunk
    start = fz.state_values(2**n, rng)

    if entry.startswith("density"):
        rho = fz.rho_values(n, rng)
        state = rhosim.DeviceDensityState.from_numpy(n, rho.copy())
        side = state.copy()
        ctx.reenter = lambda: rhosim.measure_device(side, [0], seed=5)
        if entry == "density":
            ok, error = fz.attempt(rhosim.run_density_operations_device, state, n, chunk)
            expected = rhosim.DeviceDensityState.from_numpy(n, rho.copy())
            rhosim.run_density_operations_device(expected, n, [hooked(ctx, g, "", "none", "density") for g in plain])
            expected = expected.to_numpy()
        else:
            ok, error = fz.attempt(rhosim.measure_device, state, chunk, seed=11)
            expected = None
        after = fz.check_rho_state(state, n, "complex128")
        if not ok:
            assert fz.same_bytes(after, rho), f"failed call changed the density matrix: {error!r}"
        elif expected is not None:
            np.testing.assert_allclose(after, expected, rtol=0, atol=1e-12)
        if entry == "density":
            assert ok == (action != "raise"), error
        return

    state = ketsim.DeviceState.from_numpy(n, start)
    side = ketsim.DeviceState.from_numpy(n, start)
    ctx.reenter = lambda: ketsim.run_circuit_device(side, [chunk_gate(rng, n, "")])
    array = start.copy()
    if entry == "run_circuit":
        ok, error = fz.attempt(ketsim.run_circuit, n, array, chunk, mode=mode)
        result = array
        if not ok:
            assert fz.same_bytes(array, start), f"failed run_circuit changed the array: {error!r}"
    elif entry == "measure_targets":
        ok, error = fz.attempt(ketsim.measure_device, state, chunk, seed=3)
        result = None
    else:
        if entry == "run_circuit_device":
            ok, error = fz.attempt(ketsim.run_circuit_device, state, chunk, mode=mode)
        elif entry == "run_circuit_device_gates":
            ok, error = fz.attempt(ketsim.run_circuit_device_gates, state, chunk, mode=mode)
        else:
            ok, error = fz.attempt(lambda: ketsim.execute_prepared_fusion_chunk(
                state, ketsim.prepare_fusion_chunk_gates(n, chunk)))
        result = state.to_numpy()
    fz.check_ket_state(state, n, "complex128", True)
    fz.check_ket_state(side, n, "complex128", True)
    if plain is not None:
        # The item's exception, or the conversion error it turned into, fails the call; nothing
        # else the item does to the list changes what runs.
        assert ok == (action != "raise"), error
    if ok and plain is not None:
        expected = ketsim.DeviceState.from_numpy(n, start)
        ketsim.run_circuit_device(expected, plain, mode=mode)
        np.testing.assert_allclose(result, expected.to_numpy(), rtol=0, atol=1e-12)


# ---- ketsim: fusion planning options --------------------------------------------------------------------

def option_int():
    return st.one_of(st.integers(-3, 12), st.sampled_from((0, 31, 62, 63, 64, 2**31 - 1, -2**31)),
                     st.sampled_from(((2**31,), (-2**31 - 1,), ("wrong", 0), ("wrong", 4)))).map(
        lambda v: v if isinstance(v, int) else (v[0] if len(v) == 1 else fz.WRONG_TYPES[v[1]]))


@FUZZ_SETTINGS
@given(data=st.data(), n=st.integers(1, fz.KET_MAX_QUBITS), dtype=st.sampled_from(fz.KET_DTYPES),
       seed=st.integers(0, 2**32 - 1), prepare_n=st.one_of(st.none(), st.none(), fz.int_spec(-1, 64)),
       fuse_swap=fz.flag_spec(), sparse=option_int(), dense_min=option_int(),
       dense_max=option_int(),
       scale=st.one_of(st.floats(allow_nan=True), st.floats(-3, 3), st.sampled_from(("1", None))),
       max_gates=option_int(), pad=fz.flag_spec(), runs=st.integers(1, 3), copies=st.sampled_from((1, 1, 2, 9, 25)))
def test_fusion_options_and_prepared_chunks(data, n, dtype, seed, prepare_n, fuse_swap, sparse, dense_min, dense_max,
                                            scale, max_gates, pad, runs, copies):
    """Any planner options on chunks of up to a few hundred gates (past one 64-gate word of the
    planner's sets): planned chunks run on states of their own size only, and a chunk of valid gates
    gives the per-gate result, however it was grouped."""
    rng = np.random.default_rng(seed)
    specs = data.draw(st.lists(st.one_of(valid_ket_gate(n), valid_ket_gate(n), valid_ket_gate(n), wild_ket_gate(n)),
                               max_size=12), label="gates")
    ctx = fz.Context()
    built = fz.Built(ctx)
    fields = []
    gates = [build_object_gate(built, spec, rng, fields) for spec in specs] * copies
    ctx.victim = gates
    count = len(gates)
    # The arguments are converted before the chunk is read: their hostile code acts on a list of
    # its own here, so that the chunk read is the one built.
    arguments = fz.Built(fz.Context())
    arguments.ctx.victim = list(gates)
    chunk_n = n if prepare_n is None else arguments.int_value(prepare_n)
    start = fz.state_values(2**n, rng).astype(dtype)
    state = ketsim.DeviceState.from_numpy(n, start)
    ok, prepared = fz.attempt(ketsim.prepare_fusion_chunk_gates, chunk_n, gates,
                              fuse_swap=arguments.flag(fuse_swap), sparsesharemem_qubits=sparse,
                              densemm_min_qubits=dense_min, densemm_max_qubits=dense_max,
                              densemm_gate_threshold_scale=scale, max_gates_per_group=max_gates,
                              pad_sparsesharemem=arguments.flag(pad))
    executed = 0
    if ok:
        assert 1 <= prepared.n <= 62 and prepared.gate_count == count
        for _ in range(runs):
            done, error = fz.attempt(ketsim.execute_prepared_fusion_chunk, state, prepared)
            if prepared.n != n:
                assert not done and isinstance(error, ValueError)
            executed += done
    result = fz.check_ket_state(state, n, dtype, built.finite)
    if executed == runs and prepared.n == n and all(spec["kind"] == "valid" for spec in specs):
        expected = ketsim.DeviceState.from_numpy(n, start)
        ketsim.run_circuit_device(expected, fields * copies * runs, mode=ketsim.Pair)
        tolerance = 1e-10 if dtype == "complex128" else 5e-4
        np.testing.assert_allclose(result, expected.to_numpy(), rtol=0, atol=tolerance)


# ---- ketsim: measurement and sampling --------------------------------------------------------------------

def targets_spec(n):
    return st.one_of(fz.list_spec(fz.int_spec(-2, n + 1), 4),
                     st.sampled_from(("all", "63", "repeat")).map(lambda v: ("special", v)))


def build_targets(built, spec, n):
    if spec[0] != "special":
        targets = built.ints(spec)
    elif spec[1] == "all":
        targets = list(range(n))
    elif spec[1] == "63":
        targets = list(range(63))
    else:
        targets = [0] * 70
    built.ctx.victim = targets if isinstance(targets, list) else []
    return targets


SHOTS = (1, 2, 7, 100, 1000, 0, -1, 2**64, 2**70, "5", 5.0, None)


def plain_targets(targets):
    """The qubits of a target list that holds plain integers only, else None."""
    if isinstance(targets, (list, tuple)) and all(type(t) is int for t in targets):
        return list(targets)
    return None


def measured_targets(before, targets, outcome):
    """The plain target list a measurement read: the list as it was before the call, or as a hostile
    argument read later left it (a flag may change the list after the targets were parsed, or
    before); the outcome's length tells which. None when neither is a plain list of that length."""
    for candidate in (before, plain_targets(targets)):
        if candidate is not None and len(candidate) == len(outcome):
            return candidate
    return None


def assert_collapsed(amplitudes, n, targets, outcome, endian):
    """Every amplitude left is on a basis state whose target qubits read `outcome`, and the state
    is normalised."""
    indices = np.flatnonzero(amplitudes)
    for j, t in enumerate(targets):
        position = t if endian == "little" else n - 1 - t
        assert ((indices >> position) & 1 == int(outcome[j])).all(), (targets, outcome)
    assert abs(np.linalg.norm(amplitudes) - 1) < 1e-3


@FUZZ_SETTINGS
@given(data=st.data(), n=st.integers(1, fz.KET_MAX_QUBITS), dtype=st.sampled_from(fz.KET_DTYPES),
       entry=st.sampled_from(("measure", "measure_device", "sample_measure_device")), seed=st.integers(0, 2**32 - 1),
       endian=st.sampled_from(("little", "big", "middle")), shots=st.one_of(st.sampled_from(SHOTS), fz.int_spec(1, 50)),
       rng_seed=st.one_of(st.none(), fz.int_spec(0, 2**64 - 1)), collapse=fz.flag_spec(),
       state_kind=st.sampled_from(("random", "random", "basis", "zero")), pinned=fz.flag_spec())
def test_measurements_keep_the_state_on_failure(data, n, dtype, entry, seed, endian, shots, rng_seed, collapse,
                                                 state_kind, pinned):
    """measure, measure_device and sample_measure_device with any targets, shot counts, seeds and
    flags: a refused measurement changes nothing, an accepted one leaves the state on its outcome."""
    rng = np.random.default_rng(seed)
    ctx = fz.Context()
    built = fz.Built(ctx)
    targets = build_targets(built, data.draw(targets_spec(n), label="targets"), n)
    values = fz.state_values(2**n, rng).astype(dtype)
    if state_kind == "basis":
        values[:] = 0
        values[rng.integers(2**n)] = 1
    elif state_kind == "zero":
        values[:] = 0
    state = ketsim.DeviceState.from_numpy(n, values)
    side = ketsim.DeviceState.from_numpy(n, values)
    ctx.reenter = lambda: ketsim.measure_device(side, [0], seed=1)
    # Valid but slow shot counts are kept out; the count a call draws is known from the description.
    shots = fz.clamp_spec(shots if isinstance(shots, tuple) else ("int", shots), 10**5, 2**64 - 1, 10**5)
    expected_shots = fz.spec_int(shots)
    shots_value = shots[1] if shots[0] == "int" else built.int_value(shots)
    seed_value = None if rng_seed is None else built.int_value(rng_seed)

    before = plain_targets(targets)
    if entry == "measure":
        array = values.copy()
        ok, result = fz.attempt(ketsim.measure, n, array, targets, endian=endian, use_pinned_host=built.flag(pinned))
        if not ok:
            assert fz.same_bytes(array, values), f"failed measure changed the array: {result!r}"
        else:
            assert isinstance(result, str) and set(result) <= {"0", "1"}
            measured = measured_targets(before, targets, result)
            if measured is not None:
                assert_collapsed(array, n, measured, result, endian)
    else:
        if entry == "measure_device":
            ok, result = fz.attempt(ketsim.measure_device, state, targets, endian=endian, seed=seed_value)
        else:
            ok, result = fz.attempt(ketsim.sample_measure_device, state, targets, shots_value, endian=endian,
                                    seed=seed_value, collapse_last=built.flag(collapse))
        after = fz.check_ket_state(state, n, dtype, True)
        if not ok:
            assert fz.same_bytes(after, values), f"failed measurement changed the state: {result!r}"
        elif entry == "measure_device":
            assert isinstance(result, str) and set(result) <= {"0", "1"} and 1 <= len(result) <= n
            measured = measured_targets(before, targets, result)
            if measured is not None:
                assert_collapsed(after, n, measured, result, endian)
        else:
            counts, last = result
            assert sum(counts.values()) == expected_shots
            assert last in counts and all(len(k) == len(last) and set(k) <= {"0", "1"} for k in counts)
            if collapse[0] == "value" and not collapse[1]:
                assert fz.same_bytes(after, values)
            elif collapse[0] == "value" and measured_targets(before, targets, last) is not None:
                assert_collapsed(after, n, measured_targets(before, targets, last), last, endian)
    fz.check_ket_state(side, n, dtype, True)


# ---- ketsim: DeviceState and NumPy arrays --------------------------------------------------------------------

@FUZZ_SETTINGS
@given(n=st.integers(1, fz.KET_MAX_QUBITS), dtype=st.sampled_from(fz.KET_DTYPES), seed=st.integers(0, 2**32 - 1),
       array_n=st.one_of(st.none(), fz.int_spec(-1, 64)), kind=st.sampled_from(fz.ARRAY_KINDS),
       copy_kind=st.sampled_from(fz.ARRAY_KINDS), other_dtype=st.booleans(),
       pinned=st.sampled_from((False, True, None)),
       device=st.sampled_from(fz.DEVICES), zero_n=st.one_of(st.integers(1, fz.KET_MAX_QUBITS), fz.int_spec(-1, 64),
                                                           st.sampled_from((40, 59, 60, 61, 62))),
       zero_dtype=st.sampled_from(fz.DTYPE_TEXTS + (None, 64)))
def test_device_state_construction_and_copies(n, dtype, seed, array_n, kind, copy_kind, other_dtype, pinned, device,
                                              zero_n, zero_dtype):
    """from_numpy, zero_state, copy_to_numpy and to_numpy with arrays wrong in one way, any sizes,
    dtype texts and device texts: copies are exact, refused copies write nothing."""
    rng = np.random.default_rng(seed)
    built = fz.Built(fz.Context())
    array = fz.ket_array(kind, n, dtype, rng)
    snapshot = np.array(array, copy=True) if isinstance(array, np.ndarray) else None
    size_n = n if array_n is None else built.int_value(array_n)
    ok, state = fz.attempt(ketsim.DeviceState.from_numpy, size_n, array, device, use_pinned_host=pinned)
    if ok:
        assert isinstance(array, np.ndarray)
        np.testing.assert_array_equal(state.to_numpy(), array)
        assert fz.same_bytes(np.asarray(array), snapshot)
    if not ok or kind != "good":
        state = random_ket_state(n, dtype, rng)

    zero_spec = fz.clamp_spec(("int", zero_n) if isinstance(zero_n, int) else zero_n, fz.KET_MAX_QUBITS + 1, 39, 40)
    zero_n_value = built.int_value(zero_spec)
    ok, zero = fz.attempt(ketsim.DeviceState.zero_state, zero_n_value, zero_dtype, device)
    if ok:
        assert zero.n <= fz.KET_MAX_QUBITS
        out = fz.check_ket_state(zero, zero.n, zero.dtype, True)
        assert out[0] == 1 and not out[1:].any()
    elif isinstance(zero_n_value, int) and 40 <= zero_n_value <= 62 and zero_dtype in fz.KET_DTYPES \
            and device in ("cuda", "gpu", "cuda:0", "cuda:00"):
        assert str(zero) == "CUDA error: out of memory"

    copy_dtype = ("complex64" if dtype == "complex128" else "complex128") if other_dtype else dtype
    target = fz.ket_array(copy_kind, n, copy_dtype, rng)
    target_before = np.array(target, copy=True) if isinstance(target, np.ndarray) else None
    ok, result = fz.attempt(state.copy_to_numpy, target, use_pinned_host=pinned)
    current = fz.check_ket_state(state, n, dtype, True)
    if ok:
        assert result is None
        np.testing.assert_array_equal(target, current)
    elif isinstance(target, np.ndarray):
        assert fz.same_bytes(np.asarray(target), target_before), f"failed copy_to_numpy wrote: {result!r}"
    ok, out = fz.attempt(state.to_numpy, pinned)
    if ok:
        assert fz.same_bytes(out, current)


# ---- rhosim: operations -------------------------------------------------------------------------------------

@st.composite
def valid_rho_op(draw, n):
    if draw(st.booleans()):
        name = draw(st.sampled_from(fz.RHO_NAMES))
        m = 2 if name == "swap" and n >= 2 else 1
        if name == "swap" and m == 1:
            name = "x"
        count = RHO_PARAMETER_COUNT.get(name, 0)
        stored = draw(st.integers(0, 3)) == 0
        if stored:
            m = draw(st.integers(1, min(3, n)))
        order = draw(st.permutations(range(n)))
        k = draw(st.integers(0, min(2, n - m)))
        return {
            "kind": "gate", "id": name, "target": list(order[:m]), "control": list(order[m:m + k]),
            "control_state": draw(st.lists(st.integers(0, 1), min_size=k, max_size=k)),
            "parameter": draw(st.lists(st.floats(-7, 7), min_size=count, max_size=count)),
            "matrix": ("array", (2**m, 2**m), "unitary", "complex128", "c") if stored else None,
            "action": draw(fz.action_st), "hostile": draw(st.booleans()),
        }
    channel = draw(st.sampled_from(fz.CHANNELS + (None, "general")))
    m = 1 if channel in fz.CHANNELS else draw(st.integers(1, min(3, n)))
    order = draw(st.permutations(range(n)))
    return {
        "kind": "kraus", "target": list(order[:m]), "channel": channel,
        "p": draw(st.floats(0, 1)), "count": draw(st.integers(1, 4)),
        "action": draw(fz.action_st), "hostile": draw(st.booleans()),
    }


def kraus_shape_spec():
    return st.one_of(st.tuples(st.integers(0, 5), st.sampled_from((1, 2, 4, 8, 16)), st.sampled_from((1, 2, 4, 8, 16))),
                     st.sampled_from(((2, 2), (2,), (), (1, 2, 2, 1), (0, 2, 2), (1, 0, 0))))


def wild_rho_op(n):
    return st.fixed_dictionaries({
        "kind": st.just("wild"),
        "form": st.sampled_from(("gate", "kraus", "unknown_kind", "wrong")),
        "id": st.one_of(st.sampled_from(fz.RHO_NAMES), st.sampled_from(fz.BAD_NAMES),
                        wrong_index().map(lambda i: ("wrong", i))),
        "target": fz.list_spec(fz.int_spec(-2, n + 1), 4),
        "control": fz.list_spec(fz.int_spec(-2, n + 1), 2),
        "control_state": fz.list_spec(fz.int_spec(-1, 2), 2),
        "parameter": st.one_of(fz.list_spec(fz.float_spec(), 3), st.just(("none",))),
        "has_stored_matrix": st.one_of(fz.flag_spec(), st.just(("missing",))),
        "kind_text": st.sampled_from((None, None, "kraus", "unitary")),
        "matrix": fz.matrix_spec(16),
        "channel": st.one_of(st.none(), st.sampled_from(fz.CHANNELS + ("", "Bit_Flip", "x")),
                             wrong_index().map(lambda i: ("wrong", i)), st.just(("missing",))),
        "kraus_shape": kraus_shape_spec(),
        "kraus_fill": st.sampled_from(("unitary", "random", "nan", "inf", "big")),
        "kraus_dtype": st.sampled_from(fz.MATRIX_DTYPES),
        "kraus_layout": st.sampled_from(("c", "f", "strided", "readonly", "list", "hostile")),
        "action": fz.action_st,
        "hostile": st.booleans(),
    })


def channel_set(name, p):
    """The standard Kraus matrices of a built-in channel."""
    i2, x, z = np.eye(2), np.array([[0, 1], [1, 0]]), np.diag([1, -1])
    y = np.array([[0, -1j], [1j, 0]])
    if name == "bit_flip":
        return np.array([np.sqrt(1 - p) * i2, np.sqrt(p) * x], dtype=complex)
    if name == "phase_flip":
        return np.array([np.sqrt(1 - p) * i2, np.sqrt(p) * z], dtype=complex)
    if name == "depolarizing":
        return np.array([np.sqrt(1 - 3 * p / 4) * i2, np.sqrt(p / 4) * x, np.sqrt(p / 4) * y, np.sqrt(p / 4) * z],
                        dtype=complex)
    if name == "amplitude_damping":
        return np.array([[[1, 0], [0, np.sqrt(1 - p)]], [[0, np.sqrt(p)], [0, 0]]], dtype=complex)
    return np.array([[[1, 0], [0, np.sqrt(1 - p)]], [[0, 0], [0, np.sqrt(p)]], [[0, 0], [0, 0]]], dtype=complex)


def general_kraus(d, count, rng):
    """count matrices K_j with sum K_j^dagger K_j = I: slices of a random isometry."""
    q, _ = np.linalg.qr(rng.standard_normal((count * d, d)) + 1j * rng.standard_normal((count * d, d)))
    return q.reshape(count, d, d)


def build_rho_op(built, spec, rng):
    ctx = built.ctx
    if spec["kind"] == "gate":
        matrix = spec["matrix"]
        fields = {"id": spec["id"], "target": list(spec["target"]), "control": list(spec["control"]),
                  "control_state": list(spec["control_state"]), "parameter": list(spec["parameter"]),
                  "has_stored_matrix": matrix is not None}
        if matrix is not None:
            fields["stored_matrix"] = built.matrix(matrix, rng)
    elif spec["kind"] == "kraus":
        name = spec["channel"]
        d = 2**len(spec["target"])
        matrices = channel_set(name, spec["p"]) if name in fz.CHANNELS else general_kraus(d, spec["count"], rng)
        fields = {"operation_kind": "kraus", "target": list(spec["target"]), "kraus_matrices": matrices}
        if name in fz.CHANNELS:
            fields["channel_name"] = name
        elif name is None:
            fields["channel_name"] = None
    else:
        fields = build_wild_rho_fields(built, spec, rng)
        if fields is None:
            return fz.WRONG_TYPES[int(rng.integers(len(fz.WRONG_TYPES)))]
    if spec["hostile"]:
        return fz.hostile_object(ctx, fields, spec["action"], ("target", "kraus_matrices", "parameter",
                                                               "operation_kind", "stored_matrix"))
    return SimpleNamespace(**fields)


def build_wild_rho_fields(built, spec, rng):
    form = spec["form"]
    if form == "wrong":
        return None
    name = spec["id"]
    if form == "gate":
        fields = {
            "id": built.wrong(name[1]) if isinstance(name, tuple) else name,
            "target": built.ints(spec["target"]),
            "control": built.ints(spec["control"]),
            "control_state": built.ints(spec["control_state"]),
            "parameter": None if spec["parameter"] == ("none",) else built.floats(spec["parameter"]),
        }
        if spec["has_stored_matrix"] != ("missing",):
            fields["has_stored_matrix"] = built.flag(spec["has_stored_matrix"])
        matrix = built.matrix(spec["matrix"], rng)
        if matrix is not None:
            fields["stored_matrix"] = matrix
        return fields
    kind = "kraus" if form == "kraus" else ("unitary" if name == "u" else 3)
    if spec["kind_text"] is not None:
        kind = fz.HostileText(built.ctx, spec["kind_text"], spec["action"])
    fields = {"operation_kind": kind, "target": built.ints(spec["target"])}
    channel = spec["channel"]
    if channel != ("missing",):
        fields["channel_name"] = built.wrong(channel[1]) if isinstance(channel, tuple) else channel
    shape = spec["kraus_shape"]
    if spec["kraus_fill"] in ("nan", "inf", "big"):
        built.finite = False
    if len(shape) == 3 and shape[1] == shape[2] and shape[1] > 0 and shape[0] > 0:
        with np.errstate(all="ignore"):
            values = np.array([fz.matrix_values(shape[1], spec["kraus_fill"], rng) / np.sqrt(shape[0])
                               for _ in range(shape[0])])
    else:
        values = rng.uniform(-0.5, 0.5, int(np.prod(shape)) if shape else 1).reshape(shape).astype(complex)
    layout = spec["kraus_layout"]
    if layout == "list":
        fields["kraus_matrices"] = values.tolist()
    elif layout == "hostile":
        fields["kraus_matrices"] = fz.HostileArrayLike(built.ctx, values, spec["action"])
    else:
        fields["kraus_matrices"] = fz.shaped_array(values, spec["kraus_dtype"], layout)
    return fields


def rho_ops(n, max_size=6):
    return st.lists(st.one_of(valid_rho_op(n), valid_rho_op(n), wild_rho_op(n)), max_size=max_size)


def run_rho_example(n, dtype, seed, specs, container, container_action, num_qubits_spec, fusion, monkeypatch):
    rng = np.random.default_rng(seed)
    monkeypatch.setenv("VELLORAN_DENSITY_FUSION", "1" if fusion else "0")
    ctx = fz.Context()
    built = fz.Built(ctx)
    chunk = build_container(built, [build_rho_op(built, spec, rng) for spec in specs], container, container_action)
    rho = fz.rho_values(n, rng).astype(dtype)
    state = rhosim.DeviceDensityState.from_numpy(n, rho.copy())
    side = state.copy()
    ctx.reenter = lambda: rhosim.run_density_operations_device(side, n, [SimpleNamespace(
        id="h", target=[0], control=[], control_state=[], parameter=None, has_stored_matrix=False)])
    num_qubits = n if num_qubits_spec is None else built.int_value(num_qubits_spec)
    ok, error = fz.attempt(rhosim.run_density_operations_device, state, num_qubits, chunk)
    after = state.to_numpy()
    assert after.shape == (2**n, 2**n) and after.dtype == np.dtype(dtype)
    if not ok:
        # Every operation is read and checked before the first kernel runs.
        assert fz.same_bytes(after, rho), f"refused operations changed the density matrix: {error!r}"
    elif built.finite:
        assert np.isfinite(after).all()
    assert np.isfinite(side.to_numpy()).all()


@FUZZ_SETTINGS
@given(data=st.data(), n=st.integers(1, fz.RHO_MAX_QUBITS), dtype=st.sampled_from(fz.KET_DTYPES),
       seed=st.integers(0, 2**32 - 1), container=st.sampled_from(CONTAINERS), container_action=fz.action_st,
       num_qubits=st.one_of(st.none(), st.none(), fz.int_spec(-1, 6)), fusion=st.booleans())
def test_density_operations_are_all_or_nothing(data, n, dtype, seed, container, container_action, num_qubits, fusion):
    """Lists of valid, wild and hostile density operations: a refused list leaves the matrix as it
    was, with fusion on or off."""
    specs = data.draw(rho_ops(n), label="operations")
    with pytest.MonkeyPatch.context() as monkeypatch:
        run_rho_example(n, dtype, seed, specs, container, container_action, num_qubits, fusion, monkeypatch)


@FUZZ_SETTINGS
@given(data=st.data(), n=st.integers(5, 6), dtype=st.sampled_from(fz.KET_DTYPES), seed=st.integers(0, 2**32 - 1))
def test_fused_density_groups(data, n, dtype, seed):
    """Five and six qubits: the smallest registers whose operations the density fusion groups."""
    specs = data.draw(st.lists(st.one_of(valid_rho_op(n), valid_rho_op(n), valid_rho_op(n), wild_rho_op(n)),
                               min_size=4, max_size=12), label="operations")
    with pytest.MonkeyPatch.context() as monkeypatch:
        run_rho_example(n, dtype, seed, specs, "list", "none", None, True, monkeypatch)


@FUZZ_SETTINGS
@given(n=st.integers(1, 5), dtype=st.sampled_from(fz.KET_DTYPES), seed=st.integers(0, 2**32 - 1),
       channel=st.sampled_from(fz.CHANNELS), p=st.floats(0, 1), matrices=st.sampled_from(("own", "general", "nudged",
                                                                                          "scaled", "other")),
       fusion=st.booleans(), neighbours=st.integers(0, 4))
def test_channel_names_never_change_the_result(n, dtype, seed, channel, p, matrices, fusion, neighbours):
    """A Kraus set labelled with a built-in channel's name gives the result of the same set without
    the label: the label may select the channel's closed form only where the matrices are that
    channel's own."""
    rng = np.random.default_rng(seed)
    count = fz.CHANNEL_COUNTS[channel]
    if matrices == "own":
        kraus = channel_set(channel, p)
    elif matrices == "general":
        kraus = general_kraus(2, count, rng)
    elif matrices == "nudged":
        kraus = channel_set(channel, p)
        kraus[-1, 0, 0] += 1e-6
    elif matrices == "scaled":
        kraus = channel_set(channel, p) * np.exp(0.3j)
    else:
        other = [c for c in fz.CHANNELS if c != channel and fz.CHANNEL_COUNTS[c] == count] or [channel]
        kraus = channel_set(other[int(rng.integers(len(other)))], 1 - p)
    target = int(rng.integers(n))
    # A few gates around the channel, so that fusion (from five qubits) groups it with others.
    around = [SimpleNamespace(id="h", target=[int(q)], control=[], control_state=[], parameter=None,
                              has_stored_matrix=False) for q in rng.integers(0, n, neighbours)]
    rho = fz.rho_values(n, rng).astype(dtype)
    results = []
    for label in (channel, None):
        op = SimpleNamespace(operation_kind="kraus", target=[target], kraus_matrices=kraus, channel_name=label)
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setenv("VELLORAN_DENSITY_FUSION", "1" if fusion else "0")
            state = rhosim.DeviceDensityState.from_numpy(n, rho.copy())
            rhosim.run_density_operations_device(state, n, around + [op] + around[::-1])
        results.append(state.to_numpy())
    tolerance = 1e-12 if dtype == "complex128" else 2e-6
    np.testing.assert_allclose(results[0], results[1], rtol=0, atol=tolerance)


# ---- rhosim: DeviceDensityState, measurement -------------------------------------------------------------------

@FUZZ_SETTINGS
@given(data=st.data(), n=st.integers(0, fz.RHO_MAX_QUBITS), dtype=st.sampled_from(fz.KET_DTYPES),
       seed=st.integers(0, 2**32 - 1), array_n=st.one_of(st.none(), fz.int_spec(-1, 20)),
       kind=st.sampled_from(fz.ARRAY_KINDS), device=st.sampled_from(fz.DEVICES),
       zero_n=st.one_of(st.integers(0, fz.RHO_MAX_QUBITS), fz.int_spec(-1, 20)),
       zero_dtype=st.sampled_from(fz.DTYPE_TEXTS + (None,)), endian=st.sampled_from(("little", "big", "x")),
       rng_seed=st.one_of(st.none(), fz.int_spec(0, 2**64 - 1)))
def test_density_states_and_measurement(data, n, dtype, seed, array_n, kind, device, zero_n, zero_dtype, endian,
                                        rng_seed):
    """DeviceDensityState's factories, copy and download with arrays wrong in one way, then a
    measurement with any targets: refused, it changes nothing; accepted, it empties the rows and
    columns of the other outcomes."""
    rng = np.random.default_rng(seed)
    ctx = fz.Context()
    built = fz.Built(ctx)
    array = fz.rho_array(kind, n, dtype, rng)
    snapshot = np.array(array, copy=True) if isinstance(array, np.ndarray) else None
    size_n = n if array_n is None else built.int_value(array_n)
    ok, state = fz.attempt(rhosim.DeviceDensityState.from_numpy, size_n, array, device)
    if ok:
        np.testing.assert_array_equal(state.to_numpy(), array)
        assert fz.same_bytes(np.asarray(array), snapshot)
    if not ok or kind != "good":
        state = rhosim.DeviceDensityState.from_numpy(n, fz.rho_values(n, rng).astype(dtype))

    # Sizes up to the module's limit of 15 qubits hold 4**n entries: past 8 only refused ones are drawn.
    zero_n_value = built.int_value(fz.clamp_spec(("int", zero_n) if isinstance(zero_n, int) else zero_n, 9, 15, 20))
    ok, zero = fz.attempt(rhosim.DeviceDensityState.zero_state, zero_n_value, zero_dtype, device)
    if ok:
        z = fz.check_rho_state(zero, zero.num_qubits, zero.dtype)
        assert z[0, 0] == 1 and np.count_nonzero(z) == 1
        twin = zero.copy()
        assert twin is not zero and fz.same_bytes(twin.to_numpy(), z)

    targets = build_targets(built, data.draw(targets_spec(n), label="targets"), n)
    before = fz.check_rho_state(state, n, dtype)
    side = state.copy()
    ctx.reenter = lambda: rhosim.measure_device(side, [0], seed=3)
    seed_value = None if rng_seed is None else built.int_value(rng_seed)
    listed = plain_targets(targets)
    ok, outcome = fz.attempt(rhosim.measure_device, state, targets, endian=endian, seed=seed_value)
    after = fz.check_rho_state(state, n, dtype)
    if ok:
        assert isinstance(outcome, str) and set(outcome) <= {"0", "1"} and 1 <= len(outcome) <= n
        assert abs(np.trace(after).real - 1) < 1e-3
        measured = measured_targets(listed, targets, outcome)
        if measured is not None:
            # Rows and columns of other outcomes are emptied.
            rows, columns = np.nonzero(after)
            for j, t in enumerate(measured):
                position = t if endian == "little" else n - 1 - t
                for index in (rows, columns):
                    assert ((index >> position) & 1 == int(outcome[j])).all(), (targets, outcome)
    else:
        assert fz.same_bytes(after, before), f"failed measurement changed the density matrix: {outcome!r}"
    fz.check_rho_state(side, n, dtype)


# ---- objects of the wrong kind where a state or chunk is expected -------------------------------------------------

def wrong_states():
    return [None, 0, "state", np.zeros(4, dtype=complex), ketsim.DeviceState, rhosim.DeviceDensityState.zero_state(2),
            ketsim.DeviceState.zero_state(2), ketsim.prepare_fusion_chunk_gates(2, [])]


KET_STATE_TAKERS = {
    "run_circuit_device": lambda s: ketsim.run_circuit_device(s, [{"id": "x", "target": [0], "control": [],
                                                                   "control_state": [], "parameter": []}]),
    "run_circuit_device_gates": lambda s: ketsim.run_circuit_device_gates(s, []),
    "execute_prepared_fusion_chunk": lambda s: ketsim.execute_prepared_fusion_chunk(
        s, ketsim.prepare_fusion_chunk_gates(2, [])),
    "measure_device": lambda s: ketsim.measure_device(s, [0]),
    "sample_measure_device": lambda s: ketsim.sample_measure_device(s, [0], 3),
    "to_numpy": lambda s: ketsim.DeviceState.to_numpy(s),
    "copy_to_numpy": lambda s: ketsim.DeviceState.copy_to_numpy(s, np.zeros(4, dtype=complex)),
    "chunk_as_state": lambda s: ketsim.execute_prepared_fusion_chunk(ketsim.DeviceState.zero_state(2), s),
    "rho_run": lambda s: rhosim.run_density_operations_device(s, 2, [SimpleNamespace(
        id="h", target=[0], control=[], control_state=[], parameter=None, has_stored_matrix=False)]),
    "rho_measure": lambda s: rhosim.measure_device(s, [0]),
    "rho_to_numpy": lambda s: rhosim.DeviceDensityState.to_numpy(s),
    "rho_copy": lambda s: rhosim.DeviceDensityState.copy(s),
}


@pytest.mark.parametrize("taker", KET_STATE_TAKERS)
def test_wrong_objects_as_states(taker):
    """States of the other module, classes, chunks and plain values where a state is expected."""
    for obj in wrong_states():
        ok, error = fz.attempt(KET_STATE_TAKERS[taker], obj)
        assert ok or isinstance(error, (TypeError, ValueError)), (obj, error)


# Every method, property and function that takes an instance made by __new__ without a factory (its
# C++ object was never constructed); each must refuse it with TypeError. Run in a child process so
# that a missing check fails this test rather than ending the session.
UNCONSTRUCTED_CALLS = {
    "DeviceState": ("ketsim.DeviceState", [
        "lambda s: s.n", "lambda s: s.num_state", "lambda s: s.device_id", "lambda s: s.dtype",
        "lambda s: s.to_numpy()", "lambda s: s.copy_to_numpy(np.zeros(4, dtype=complex))",
        "lambda s: ketsim.run_circuit_device(s, [])",
        "lambda s: ketsim.run_circuit_device(s, [dict(id='x', target=[0], control=[], control_state=[], "
        "parameter=[])])",
        "lambda s: ketsim.run_circuit_device_gates(s, [])",
        "lambda s: ketsim.execute_prepared_fusion_chunk(s, ketsim.prepare_fusion_chunk_gates(2, []))",
        "lambda s: ketsim.measure_device(s, [0])", "lambda s: ketsim.sample_measure_device(s, [0], 5)",
    ]),
    "PreparedFusionChunk": ("ketsim.PreparedFusionChunk", [
        "lambda c: c.n", "lambda c: c.gate_count",
        "lambda c: ketsim.execute_prepared_fusion_chunk(ketsim.DeviceState.zero_state(2), c)",
    ]),
    "DeviceDensityState": ("rhosim.DeviceDensityState", [
        "lambda s: s.num_qubits", "lambda s: s.dimension", "lambda s: s.dtype", "lambda s: s.device_id",
        "lambda s: s.to_numpy()", "lambda s: s.copy()", "lambda s: rhosim.measure_device(s, [0])",
        "lambda s: rhosim.run_density_operations_device(s, 1, [])",
        "lambda s: rhosim.run_density_operations_device(s, 1, [types.SimpleNamespace(id='x', target=[0], "
        "control=[], control_state=[], parameter=None, has_stored_matrix=False)])",
    ]),
}

UNCONSTRUCTED_CHILD = textwrap.dedent("""
    import sys, types
    import numpy as np
    import ketsim, rhosim
    cls = eval(sys.argv[1])
    for text in sys.argv[2:]:
        call = eval(text)
        try:
            call(cls.__new__(cls))
        except TypeError:
            continue
        except BaseException as e:
            print("WRONG", text, type(e).__name__, e, flush=True)
            continue
        print("ACCEPTED", text, flush=True)
    print("DONE", flush=True)
""")


@pytest.mark.parametrize("name", UNCONSTRUCTED_CALLS)
def test_unconstructed_instances_are_refused(name):
    cls, calls = UNCONSTRUCTED_CALLS[name]
    child = subprocess.run([sys.executable, "-c", UNCONSTRUCTED_CHILD, cls, *calls], capture_output=True, text=True,
                           timeout=120, env=os.environ.copy())
    assert child.returncode == 0, f"child died with {child.returncode}:\n{child.stdout}\n{child.stderr[-3000:]}"
    lines = child.stdout.splitlines()
    assert lines[-1:] == ["DONE"] and lines[:-1] == [], child.stdout


# ---- threads sharing a chunk ------------------------------------------------------------------------------------

SHARED_ROUNDS = 40
SHARED_YIELDS = 4


def hostile_yield_gate(ctx, qubit):
    """An X gate whose target yields the interpreter lock while it is read."""
    return {"id": "x", "target": [fz.HostileIndex(ctx, qubit, "yield")], "control": [], "control_state": [],
            "parameter": []}


def plain_gate(qubit):
    return {"id": "h", "target": [qubit], "control": [], "control_state": [], "parameter": []}


def as_object(g):
    return SimpleNamespace(**g)


SHARED_RUNNERS = {
    "run_circuit": lambda n, state, array, gates: ketsim.run_circuit(n, array, gates),
    "run_circuit_device": lambda n, state, array, gates: ketsim.run_circuit_device(state, gates),
    "run_circuit_device_gates": lambda n, state, array, gates: ketsim.run_circuit_device_gates(
        state, [as_object(g) for g in list(gates)]),
    "run_circuit_device_gates_live": lambda n, state, array, gates: ketsim.run_circuit_device_gates(state, gates),
    "prepare_and_execute": lambda n, state, array, gates: ketsim.execute_prepared_fusion_chunk(
        state, ketsim.prepare_fusion_chunk_gates(n, gates)),
    "fusion_mode": lambda n, state, array, gates: ketsim.run_circuit_device(state, gates,
                                                                            mode=ketsim.PairAutoFusion),
    "measure_targets": lambda n, state, array, gates: ketsim.measure_device(state, gates),
}


@pytest.mark.parametrize("runner", SHARED_RUNNERS)
def test_a_chunk_changed_by_another_thread(runner):
    """One thread runs a shared list over and over while another appends, trims and replaces its
    items; the items themselves yield the lock mid-parse so the two really interleave."""
    n = 4
    ctx = fz.Context()
    shared = []
    ctx.victim = shared
    state = ketsim.DeviceState.zero_state(n)
    array = fz.state_values(2**n, np.random.default_rng(1))
    errors = []
    stop = threading.Event()

    def make_item(i):
        if runner == "measure_targets":
            return fz.HostileIndex(ctx, i % n, "yield") if i % 2 else i % n
        if runner == "run_circuit_device_gates_live" or runner == "prepare_and_execute":
            return as_object(hostile_yield_gate(ctx, i % n) if i % 2 else plain_gate(i % n))
        return hostile_yield_gate(ctx, i % n) if i % 2 else plain_gate(i % n)

    shared.extend(make_item(i) for i in range(8))
    start = threading.Barrier(2)
    mutations = []

    def run():
        try:
            start.wait()
            # Under load the other thread may keep the list free of yielding items for a while:
            # go on past SHARED_ROUNDS until the items have yielded mid-parse a few times.
            for round_ in range(SHARED_ROUNDS * 50):
                if round_ >= SHARED_ROUNDS and ctx.actions >= -10**9 + SHARED_YIELDS:
                    break
                fz.attempt(SHARED_RUNNERS[runner], n, state, array, shared)
        except BaseException as e:  # reported below
            errors.append(e)
        finally:
            stop.set()

    def mutate():
        rng = np.random.default_rng(2)
        i = 0
        start.wait()
        while not stop.is_set():
            mutations.append(len(shared))
            i += 1
            choice = rng.integers(4)
            if choice == 0 or len(shared) < 2:
                shared.extend(make_item(i + j) for j in range(3))
            elif choice == 1:
                del shared[: rng.integers(1, len(shared) + 1)]
            elif choice == 2:
                shared[:] = [make_item(i + j) for j in range(rng.integers(0, 6))]
            else:
                shared.reverse()
            if len(shared) > 12:
                del shared[12:]
            time.sleep(0)

    ctx.actions = -10**9  # run_action stops acting after 64 actions; here the yields go on
    threads = [threading.Thread(target=run), threading.Thread(target=mutate)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    if errors:
        raise errors[0]
    fz.check_ket_state(state, n, "complex128", True)
    # The two threads did overlap: the list changed while items were being read.
    assert len(mutations) > 1 and ctx.actions >= -10**9 + SHARED_YIELDS


def test_threads_on_one_density_state():
    """Operations and measurements on one density state from two threads, with a shared list of
    operations that a third thread keeps changing. Nothing orders the two threads' work on the one
    matrix (a measurement may collapse onto an outcome the other thread has just emptied), so only
    the state's survival is checked, not its trace."""
    n = 3
    state = rhosim.DeviceDensityState.zero_state(n)
    ops = []
    stop = threading.Event()
    errors = []

    def op(i):
        if i % 3 == 0:
            return SimpleNamespace(operation_kind="kraus", target=[i % n], channel_name="bit_flip",
                                   kraus_matrices=channel_set("bit_flip", 0.2))
        return SimpleNamespace(id="h", target=[i % n], control=[], control_state=[], parameter=None,
                               has_stored_matrix=False)

    def guarded(body):
        def wrapper():
            try:
                body()
            except BaseException as e:  # reported below
                errors.append(e)
        return wrapper

    def runner():
        for _ in range(SHARED_ROUNDS):
            fz.attempt(rhosim.run_density_operations_device, state, n, ops)

    def measurer():
        for i in range(SHARED_ROUNDS):
            fz.attempt(rhosim.measure_device, state, [i % n], seed=i)

    def mutator():
        i = 0
        while not stop.is_set():
            i += 1
            ops.append(op(i))
            if len(ops) > 8:
                del ops[: len(ops) // 2]
            time.sleep(0)

    ops.extend(op(i) for i in range(6))
    workers = [threading.Thread(target=guarded(f)) for f in (runner, measurer)]
    changer = threading.Thread(target=guarded(mutator))
    for t in workers + [changer]:
        t.start()
    for t in workers:
        t.join(timeout=120)
    stop.set()
    changer.join(timeout=120)
    if errors:
        raise errors[0]
    fz.check_rho_state(state, n, "complex128")


# The first calls of a fresh process, made by many threads at once with the interpreter switching
# between them as often as it can: whatever a module sets up on first use must not wait for another
# thread while holding the interpreter lock.
FIRST_CALLS_CHILD = textwrap.dedent("""
    import sys, threading
    from types import SimpleNamespace
    sys.setswitchinterval(1e-6)
    import ketsim, rhosim
    if sys.argv[1] == "ketsim":
        states = [ketsim.DeviceState.zero_state(2) for _ in range(8)]
        chunk = [{"id": "x", "target": [0], "control": [], "control_state": [], "parameter": []}]
        call = lambda s: (ketsim.run_circuit_device(s, chunk), ketsim.sample_measure_device(s, [0], 2))
    else:
        states = [rhosim.DeviceDensityState.zero_state(1) for _ in range(8)]
        ops = [SimpleNamespace(id="h", target=[0], control=[], control_state=[], parameter=None,
                               has_stored_matrix=False)]
        call = lambda s: rhosim.run_density_operations_device(s, 1, ops)
    start = threading.Barrier(len(states))
    def work(s):
        start.wait()
        for _ in range(20):
            call(s)
    threads = [threading.Thread(target=work, args=(s,)) for s in states]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("done")
""")


@pytest.mark.parametrize("module", ["ketsim", "rhosim"])
def test_first_calls_from_many_threads_at_once(module):
    # A hang shows in roughly every other child; six children miss it rarely.
    for attempt in range(6):
        try:
            child = subprocess.run([sys.executable, "-c", FIRST_CALLS_CHILD, module], capture_output=True, text=True,
                                   timeout=20, env=os.environ.copy())
        except subprocess.TimeoutExpired:
            pytest.fail(f"the threads' first calls hung (child {attempt})")
        assert child.returncode == 0 and child.stdout.strip() == "done", child.stderr[-3000:]
