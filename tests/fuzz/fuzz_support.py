"""Building blocks of the surface fuzz: hostile Python objects that run code while the modules read
them (mutating the container being parsed, raising, re-entering the module), hypothesis strategies
that describe inputs as plain data, builders that turn a description into objects, and the checks
every call must pass.

Inputs are drawn as descriptions (tuples of names and numbers) and only built inside the test, so
hypothesis shows and shrinks readable values and every hostile object acts on the containers of
the example that built it."""

import gc
import time

import numpy as np
from hypothesis_optional import st

import ketsim
import rhosim


class Boom(Exception):
    """Raised by hostile objects; must come back to the caller as itself or as a conversion error."""


# What a call may raise: the ordinary Python exceptions and the hostile objects' own.
ALLOWED = (ValueError, TypeError, RuntimeError, IndexError, KeyError, AttributeError, OverflowError, MemoryError,
           ZeroDivisionError, Boom)

KET_MAX_QUBITS = 8
RHO_MAX_QUBITS = 4

KET_MODES = tuple(ketsim.KernelMode)
KET_DTYPES = ("complex64", "complex128")

# Every name the gate readers accept, a few near misses and names of the other module.
KET_NAMES = ("x", "cx", "mcx", "y", "cy", "z", "cz", "h", "ch", "s", "cs", "s_dag", "t", "ct", "t_dag", "sqrtx",
             "sx", "sqrtx_dag", "sxdg", "sqrty", "sqrty_dag", "swap", "rx", "crx", "ry", "rz", "phase", "p", "cp",
             "gp", "global_phase", "gphase", "u", "u1", "u2", "u3", "unitary")
RHO_NAMES = ("x", "cx", "cnot", "y", "z", "-z", "h", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag", "sqrty",
             "sqrty_dag", "x2p", "x2m", "y2p", "y2m", "rx", "ry", "rz", "crz", "p", "cp", "gp", "gphase",
             "global_phase", "rxy", "xyarb", "u", "swap", "mcx")
BAD_NAMES = ("", "X", "T", "cnot ", "tdg", "u4", "kraus", "\x00", "é", "\ud800")
CHANNELS = ("bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping")
CHANNEL_COUNTS = {"bit_flip": 2, "phase_flip": 2, "depolarizing": 4, "amplitude_damping": 2, "phase_damping": 3}

DEVICES = ("cuda", "gpu", "cuda:0", "cuda:00", "cuda:1", "cuda:-1", "cuda:", "cuda:x", "cuda:99999999999", "tpu",
           "", "cuda:0\x00x", "cuda:\ud800")
ENDIANS = ("little", "big", "Little", "", "middle")
DTYPE_TEXTS = KET_DTYPES + ("float64", "complex", "complex128 ", "", "complex64\ud800")

# Integers the 64-bit converters must refuse or range checks must catch.
HUGE_INTS = (2**31, 2**32, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**70, -2**31, -2**63, -2**63 - 1, -2**70)
ODD_FLOATS = (float("nan"), float("inf"), float("-inf"), 1e308, -1e308, 1e39, 5e-324, -0.0)
WRONG_TYPES = ("0", b"1", 0.5, 1.0, 1j, None, [0], (), {}, object())


# ---- hostile objects ----------------------------------------------------------------------------

class Context:
    """What the hostile objects of one example act on: the list being parsed (`victim`), the call
    a re-entering object makes (`reenter`), and the count of actions run; after 64 the objects stop
    acting, so growing lists and re-entrant calls stay bounded."""

    def __init__(self):
        self.victim = None
        self.reenter = None
        self.actions = 0


ACTIONS = ("none", "clear", "extend", "replace", "pop", "raise", "gc", "yield", "reenter")


def run_action(ctx, action):
    ctx.actions += 1
    if ctx.actions > 64 or action == "none":
        return
    victim = ctx.victim
    if action == "raise":
        raise Boom(f"hostile action {ctx.actions}")
    if action == "gc":
        gc.collect(0)
    elif action == "yield":
        time.sleep(0)  # lets other threads run in the middle of a parse
    elif action == "reenter":
        if ctx.reenter is not None:
            ctx.reenter()
    elif isinstance(victim, list):
        if action == "clear":
            victim.clear()
        elif action == "extend":
            victim.extend(victim[:3] or [None])
        elif action == "replace":
            victim[:] = [object(), {"id": "x"}, 7]
        elif action == "pop" and victim:
            victim.pop(0)


class HostileIndex:
    """An integer-like (qubit, control state, n, shots, seed) whose __index__ runs an action and then
    returns `value`, which may be anything (a non-int makes __index__ itself fail)."""

    def __init__(self, ctx, value, action):
        self.ctx, self.value, self.action = ctx, value, action

    def __index__(self):
        run_action(self.ctx, self.action)
        return self.value

    def __repr__(self):
        return f"HostileIndex({self.value!r}, {self.action})"


class HostileFloat:
    """A float-like parameter whose __float__ runs an action and returns `value`."""

    def __init__(self, ctx, value, action):
        self.ctx, self.value, self.action = ctx, value, action

    def __float__(self):
        run_action(self.ctx, self.action)
        return self.value

    def __repr__(self):
        return f"HostileFloat({self.value!r}, {self.action})"


class HostileArrayLike:
    """A matrix that becomes an array only through __array__, running an action first."""

    def __init__(self, ctx, array, action):
        self.ctx, self.array, self.action = ctx, array, action

    def __array__(self, dtype=None, copy=None):
        run_action(self.ctx, self.action)
        return self.array if dtype is None else self.array.astype(dtype)


class HostileBool:
    """A flag (has_stored_matrix, use_pinned_host, collapse_last, fuse_swap) whose truth test runs an
    action."""

    def __init__(self, ctx, value, action):
        self.ctx, self.value, self.action = ctx, value, action

    def __bool__(self):
        run_action(self.ctx, self.action)
        return bool(self.value)

    def __repr__(self):
        return f"HostileBool({self.value!r}, {self.action})"


class HostileText:
    """A value read through str() (rhosim's operation_kind) whose __str__ runs an action."""

    def __init__(self, ctx, value, action):
        self.ctx, self.value, self.action = ctx, value, action

    def __str__(self):
        run_action(self.ctx, self.action)
        return self.value

    def __repr__(self):
        return f"HostileText({self.value!r}, {self.action})"


class HostileMatrix(np.ndarray):
    """An ndarray subclass: a conversion that makes a new array of it (a cast to complex128) runs
    __array_finalize__, and with it an action."""

    context = None
    action = "none"

    def __array_finalize__(self, obj):
        ctx = getattr(obj, "context", None)
        if ctx is not None:
            self.context, self.action = ctx, obj.action
            run_action(ctx, obj.action)


def hostile_matrix(ctx, array, action):
    m = np.asarray(array).view(HostileMatrix)
    m.context, m.action = ctx, action
    return m


class HostileDict(dict):
    """A real dict subclass whose item reads run an action."""

    def __init__(self, ctx, fields, action):
        super().__init__(fields)
        self.ctx, self.action = ctx, action

    def __getitem__(self, key):
        run_action(self.ctx, self.action)
        return super().__getitem__(key)


class HostileMapping:
    """Not a dict: the reader builds one from keys() and __getitem__, both running actions."""

    def __init__(self, ctx, fields, action):
        self.ctx, self.fields, self.action = ctx, dict(fields), action

    def keys(self):
        run_action(self.ctx, self.action)
        return list(self.fields)

    def __getitem__(self, key):
        run_action(self.ctx, self.action)
        return self.fields[key]


class HostileSequence:
    """A sequence whose __len__ lies and whose items run actions."""

    def __init__(self, ctx, items, action, claimed_length):
        self.ctx, self.items, self.action, self.claimed = ctx, list(items), action, claimed_length

    def __len__(self):
        run_action(self.ctx, self.action)
        return self.claimed

    def __getitem__(self, i):
        run_action(self.ctx, self.action)
        return self.items[i]


class GateObject:
    """The attribute form of a gate (ketsim's QuantumGate, rhosim's gate and Kraus operations)."""

    def __repr__(self):
        return f"GateObject({vars(self)!r})"


def hostile_object(ctx, fields, action, hostile_names):
    """An object whose listed attributes are properties that run an action before answering."""
    names = {name for name in hostile_names if name in fields}

    def make_property(name):
        def getter(_self):
            run_action(ctx, action)
            return fields[name]
        return property(getter)

    cls = type("HostileGate", (GateObject,), {name: make_property(name) for name in names})
    obj = cls()
    for key, value in fields.items():
        if key not in names:
            setattr(obj, key, value)
    return obj


# ---- strategies: descriptions of values ----------------------------------------------------------

action_st = st.sampled_from(ACTIONS)


def int_spec(low, high):
    """An integer slot: mostly in [low, high], sometimes huge, wrongly typed or hostile."""
    plain = st.integers(low, high)
    return st.one_of(
        plain.map(lambda v: ("int", v)),
        plain.map(lambda v: ("int", v)),
        st.sampled_from(HUGE_INTS).map(lambda v: ("int", v)),
        st.sampled_from(range(len(WRONG_TYPES))).map(lambda i: ("wrong", i)),
        plain.map(lambda v: ("numpy", v)),
        st.tuples(st.one_of(plain, st.sampled_from(HUGE_INTS), st.just("0"), st.just(1.5)), action_st).map(
            lambda t: ("hostile", t[0], t[1])),
    )


def float_spec():
    plain = st.floats(-7.0, 7.0, allow_nan=False)
    return st.one_of(
        plain.map(lambda v: ("float", v)),
        plain.map(lambda v: ("float", v)),
        st.sampled_from(ODD_FLOATS).map(lambda v: ("float", v)),
        st.integers(-3, 3).map(lambda v: ("float", v)),
        st.sampled_from((2**1100, -2**1100)).map(lambda v: ("float", v)),
        st.sampled_from(range(len(WRONG_TYPES))).map(lambda i: ("wrong", i)),
        st.tuples(st.one_of(plain, st.sampled_from(ODD_FLOATS), st.just("x")), action_st).map(
            lambda t: ("hostile", t[0], t[1])),
    )


def list_spec(item, max_size):
    """A list slot: a list of items, or a container of another kind, or something that is not one."""
    items = st.lists(item, max_size=max_size)
    return st.one_of(
        items.map(lambda v: ("list", v)),
        items.map(lambda v: ("list", v)),
        items.map(lambda v: ("tuple", v)),
        items.map(lambda v: ("gen", v)),
        st.tuples(items, action_st, st.integers(-1, 8)).map(lambda t: ("seq", t[0], t[1], t[2])),
        item.map(lambda v: ("bare", v)),
        st.sampled_from(range(len(WRONG_TYPES))).map(lambda i: ("wrong", i)),
    )


def flag_spec():
    """A bool slot: a bool, something else with a truth value, or a hostile flag."""
    return st.one_of(st.booleans().map(lambda v: ("value", v)), st.booleans().map(lambda v: ("value", v)),
                     st.sampled_from((None, 0, 1, 2, "yes", 0.5, np.bool_(True))).map(lambda v: ("value", v)),
                     st.tuples(st.booleans(), action_st).map(lambda t: ("hostile", t[0], t[1])))


MATRIX_DTYPES = ("complex128", "complex64", "float64", "int64", "bool", "object", ">c16", "<c16")


def matrix_spec(max_dim):
    dims = st.sampled_from([d for d in (1, 2, 4, 8, 16) if d <= max_dim])
    square = dims.map(lambda d: (d, d))
    odd = st.sampled_from(((2, 3), (2,), (4,), (2, 2, 2), (0, 0), (1, 0), (0,), ()))
    return st.one_of(
        st.tuples(st.just("array"), square, st.sampled_from(("unitary", "random", "zero")), st.just("complex128"),
                  st.just("c")),
        st.tuples(st.just("array"), st.one_of(square, odd), st.sampled_from(("unitary", "random", "nan", "inf", "big")),
                  st.sampled_from(MATRIX_DTYPES), st.sampled_from(("c", "f", "strided", "readonly"))),
        st.tuples(st.just("nested"), square),
        st.tuples(st.just("hostile"), square, action_st),
        st.tuples(st.just("subclass"), square, action_st, st.sampled_from(("complex64", "complex128"))),
        st.sampled_from(range(len(WRONG_TYPES))).map(lambda i: ("wrong", i)),
        st.just(("none",)),
    )


def clamp_spec(spec, low, high, replacement):
    """The integer description with a value in [low, high] replaced: valid but too costly values
    (huge shot counts, states of gigabytes) stay out of the fuzz."""
    if spec[0] in ("int", "numpy", "hostile") and isinstance(spec[1], int) and low <= spec[1] <= high:
        return (spec[0], replacement) + tuple(spec[2:])
    return spec


def spec_int(spec):
    """The integer a description converts to, when it is one."""
    if spec[0] in ("int", "numpy", "hostile") and isinstance(spec[1], int):
        return spec[1]
    return None


# ---- builders ---------------------------------------------------------------------------------------

class Built:
    """Built inputs and what they imply: whether every number in them is finite and modest (so a
    successful run must leave a finite state)."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.finite = True

    def wrong(self, i):
        value = WRONG_TYPES[i]
        return [0] if isinstance(value, list) else ({} if isinstance(value, dict) else value)

    def int_value(self, spec):
        kind = spec[0]
        if kind == "int":
            return spec[1]
        if kind == "numpy":
            value = spec[1]
            return np.int64(value) if -2**63 <= value < 2**63 else np.uint64(value) if 0 <= value < 2**64 else value
        if kind == "wrong":
            return self.wrong(spec[1])
        return HostileIndex(self.ctx, spec[1], spec[2])

    def flag(self, spec):
        return spec[1] if spec[0] == "value" else HostileBool(self.ctx, spec[1], spec[2])

    def float_value(self, spec):
        kind = spec[0]
        if kind == "float":
            if not (isinstance(spec[1], int) or (np.isfinite(spec[1]) and abs(spec[1]) < 1e30)):
                self.finite = False
            return spec[1]
        if kind == "wrong":
            return self.wrong(spec[1])
        value = spec[1]
        if isinstance(value, float) and not (np.isfinite(value) and abs(value) < 1e30):
            self.finite = False
        return HostileFloat(self.ctx, value, spec[2])

    def sequence(self, spec, build_item):
        kind = spec[0]
        if kind == "wrong":
            return self.wrong(spec[1])
        if kind == "bare":
            return build_item(spec[1])
        items = [build_item(v) for v in spec[1]]
        if kind == "list":
            return items
        if kind == "tuple":
            return tuple(items)
        if kind == "gen":
            return (v for v in items)
        return HostileSequence(self.ctx, items, spec[2], spec[3])

    def ints(self, spec):
        return self.sequence(spec, self.int_value)

    def floats(self, spec):
        return self.sequence(spec, self.float_value)

    def matrix(self, spec, rng):
        kind = spec[0]
        if kind == "none":
            return None
        if kind == "wrong":
            return self.wrong(spec[1])
        if kind == "nested":
            d = spec[1][0]
            return (matrix_values(d, "unitary", rng)).tolist()
        if kind == "hostile":
            d = spec[1][0]
            return HostileArrayLike(self.ctx, matrix_values(d, "unitary", rng), spec[2])
        if kind == "subclass":
            d = spec[1][0]
            return hostile_matrix(self.ctx, matrix_values(d, "unitary", rng).astype(spec[3]), spec[2])
        _, shape, fill, dtype, layout = spec
        size = int(np.prod(shape)) if shape else 1
        if fill in ("nan", "inf", "big"):
            self.finite = False
        if len(shape) == 2 and shape[0] == shape[1] and shape[0] > 0:
            values = matrix_values(shape[0], fill, rng)
        else:
            values = rng.uniform(-0.5, 0.5, size).reshape(shape).astype(complex)
        return shaped_array(values, dtype, layout)


def matrix_values(d, fill, rng):
    """A d x d complex matrix of operator norm at most 1 (unitary, random contraction or zero), or
    one holding a NaN, an infinity or a value too large for float32."""
    if fill == "unitary":
        q, r = np.linalg.qr(rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d)))
        return q * (np.diagonal(r) / np.abs(np.diagonal(r)))
    if fill == "zero":
        return np.zeros((d, d), dtype=complex)
    m = rng.uniform(-1, 1, (d, d)) + 1j * rng.uniform(-1, 1, (d, d))
    m /= 2 * d
    if fill == "nan":
        m[0, -1] = complex(np.nan, 0)
    elif fill == "inf":
        m[-1, 0] = complex(0, np.inf)
    elif fill == "big":
        m[0, 0] = 1e300
    return m


def shaped_array(values, dtype, layout):
    """`values` as an array of `dtype` in the given memory layout."""
    with np.errstate(all="ignore"):
        if dtype == "object":
            a = np.empty(values.shape, dtype=object)
            a[...] = values
        elif dtype in ("float64", "int64", "bool"):
            a = np.real(values).astype(dtype)
        else:
            a = values.astype(dtype)
    if layout == "f" and a.ndim == 2:
        a = np.asfortranarray(a)
    elif layout == "strided" and a.ndim >= 1:
        doubled = np.zeros((2 * a.shape[0],) + a.shape[1:], dtype=a.dtype)
        doubled[::2] = a
        a = doubled[::2]
    elif layout == "readonly":
        a = a.copy()
        a.flags.writeable = False
    return a


# ---- state arrays --------------------------------------------------------------------------------

ARRAY_KINDS = ("good", "good", "good", "strided", "reversed", "readonly", "big_endian", "float64", "complex256",
               "int64", "object", "2d", "0d", "short", "long", "unaligned", "fortran2d", "broadcast", "list",
               "matrix", "empty")


def state_values(size, rng):
    v = rng.standard_normal(size) + 1j * rng.standard_normal(size)
    return v / np.linalg.norm(v)


def ket_array(kind, n, dtype, rng):
    """A NumPy state for an n-qubit register: correct, or wrong in one way. Every array returned
    owns or views memory that stays alive as long as the array does."""
    size = 2**n
    good = state_values(size, rng).astype(dtype)
    if kind == "good":
        return good
    if kind == "strided":
        buffer = np.zeros(2 * size, dtype=dtype)
        buffer[::2] = good
        return buffer[::2]
    if kind == "reversed":
        return good[::-1]
    if kind == "readonly":
        good.flags.writeable = False
        return good
    if kind == "big_endian":
        return good.astype(np.dtype(dtype).newbyteorder(">"))
    if kind == "float64":
        return good.real.copy()
    if kind == "complex256":
        return good.astype(np.clongdouble)
    if kind == "int64":
        return np.zeros(size, dtype=np.int64)
    if kind == "object":
        return good.astype(object)
    if kind == "2d":
        return good.reshape(2, -1) if size > 1 else good.reshape(1, 1)
    if kind == "0d":
        return np.array(good[0])
    if kind == "short":
        return good[:-1].copy()
    if kind == "long":
        return np.concatenate([good, good[:1]])
    if kind == "unaligned":
        raw = bytearray(good.nbytes + 1)
        a = np.frombuffer(raw, dtype=dtype, offset=1, count=size)
        a[:] = good
        return a
    if kind == "fortran2d":
        return np.asfortranarray(good.reshape(2, -1))
    if kind == "broadcast":
        return np.broadcast_to(good[:1], (size,))
    if kind == "list":
        return good.tolist()
    if kind == "matrix":
        return np.asmatrix(good)
    return np.zeros(0, dtype=dtype)


def rho_values(n, rng):
    d = 2**n
    a = rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
    rho = a @ a.conj().T
    return rho / np.trace(rho).real


def rho_array(kind, n, dtype, rng):
    d = 2**n
    good = rho_values(n, rng).astype(dtype)
    if kind == "good":
        return good
    if kind == "strided":
        buffer = np.zeros((d, 2 * d), dtype=dtype)
        buffer[:, ::2] = good
        return buffer[:, ::2]
    if kind == "reversed":
        return good[::-1]
    if kind == "readonly":
        good.flags.writeable = False
        return good
    if kind == "big_endian":
        return good.astype(np.dtype(dtype).newbyteorder(">"))
    if kind == "float64":
        return good.real.copy()
    if kind == "complex256":
        return good.astype(np.clongdouble)
    if kind == "int64":
        return np.zeros((d, d), dtype=np.int64)
    if kind == "object":
        return good.astype(object)
    if kind == "2d":
        return good.reshape(-1)
    if kind == "0d":
        return np.array(good[0, 0])
    if kind == "short":
        return good[:-1].copy()
    if kind == "long":
        return np.concatenate([good, good[:1]])
    if kind == "unaligned":
        raw = bytearray(good.nbytes + 1)
        a = np.frombuffer(raw, dtype=dtype, offset=1, count=d * d).reshape(d, d)
        a[...] = good
        return a
    if kind == "fortran2d":
        return np.asfortranarray(good)
    if kind == "broadcast":
        return np.broadcast_to(good[:1], (d, d))
    if kind == "list":
        return good.tolist()
    if kind == "matrix":
        return np.asmatrix(good)
    return np.zeros((0, 0), dtype=dtype)


# ---- checks --------------------------------------------------------------------------------------

def attempt(fn, *args, **kwargs):
    """Runs one call: (True, result) or (False, the allowed exception it raised). Any other
    exception propagates and fails the test."""
    try:
        return True, fn(*args, **kwargs)
    except ALLOWED as e:
        return False, e


def same_bytes(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def check_ket_state(state, n, dtype, finite):
    """The state still answers: properties as made, a full-size download, finite when every input
    that touched it was."""
    assert (state.n, state.num_state, state.dtype, state.device_id) == (n, 2**n, dtype, 0)
    a = state.to_numpy()
    assert a.shape == (2**n,) and a.dtype == np.dtype(dtype)
    if finite:
        assert np.isfinite(a).all(), "finite inputs left a non-finite state"
    return a


def check_rho_state(state, n, dtype):
    assert (state.num_qubits, state.dimension, state.dtype, state.device_id) == (n, 2**n, dtype, 0)
    a = state.to_numpy()
    assert a.shape == (2**n, 2**n) and a.dtype == np.dtype(dtype)
    assert np.isfinite(a).all(), "density matrix has non-finite entries"
    return a
