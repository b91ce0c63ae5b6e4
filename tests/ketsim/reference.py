"""A plain NumPy state-vector simulator for ketsim's gate lists, used as the tests' oracle.

It reads the same gate dictionaries as ``ketsim.run_circuit`` but shares nothing with the kernels:
a gate is applied by contracting its matrix with the state viewed as an n-axis tensor, and
controls select the result through a mask over basis indices. ``gate_operator`` builds the full
2^n x 2^n operator of a gate with explicit index loops, a second construction that the tests use
to check the first.
"""

import cmath
import math

import numpy as np

QUARTER_PI = 0.7853981633974483

# Every accepted name and the gate id it parses to; "t", "ct", "mct" and "t_dag" are rewritten to
# PHASE before lookup.
GATE_IDS = {
    "x": 0, "cx": 0, "mcx": 0,
    "y": 1, "cy": 1, "mcy": 1,
    "z": 2, "cz": 2, "mcz": 2,
    "h": 3, "ch": 3, "mch": 3,
    "s": 4, "cs": 4, "mcs": 4,
    "s_dag": 5,
    "sqrtx": 6, "sx": 6,
    "sqrtx_dag": 7, "sxdg": 7,
    "sqrty": 8,
    "sqrty_dag": 9,
    "swap": 10,
    "rx": 11, "crx": 11, "mcrx": 11,
    "ry": 12, "cry": 12, "mcry": 12,
    "rz": 13, "crz": 13, "mcrz": 13,
    "phase": 14, "p": 14, "cp": 14, "mcp": 14,
    "gp": 15, "global_phase": 15, "gphase": 15,
    "u": 16, "u1": 16, "u2": 16, "u3": 16,
    "unitary": 17,
}
T_NAMES = {"t": QUARTER_PI, "ct": QUARTER_PI, "mct": QUARTER_PI, "t_dag": -QUARTER_PI}
ALL_NAMES = sorted(GATE_IDS) + sorted(T_NAMES)

# The first accepted name of each id.
CANONICAL_NAMES = {}
for _name, _gid in GATE_IDS.items():
    CANONICAL_NAMES.setdefault(_gid, _name)

# Number of angles each parameterised id takes; every other id ignores its parameters.
PARAM_COUNTS = {11: 1, 12: 1, 13: 1, 14: 1, 15: 1, 16: 3}

SINGLE_TARGET_IDS = tuple(range(10)) + (11, 12, 13, 14, 16)


def resolve(name, params):
    """The gate id and parameter list after T rewriting."""
    if name in T_NAMES:
        return GATE_IDS["phase"], [T_NAMES[name]]
    return GATE_IDS[name], list(params)


def single_qubit_matrix(gid, params):
    """The 2x2 matrix of a single-target gate, rows acting on (|0>, |1>)."""
    r2 = 1 / math.sqrt(2)
    fixed = {
        0: [[0, 1], [1, 0]],
        1: [[0, -1j], [1j, 0]],
        2: [[1, 0], [0, -1]],
        3: [[r2, r2], [r2, -r2]],
        4: [[1, 0], [0, 1j]],
        5: [[1, 0], [0, -1j]],
        6: [[(1 + 1j) / 2, (1 - 1j) / 2], [(1 - 1j) / 2, (1 + 1j) / 2]],
        7: [[(1 - 1j) / 2, (1 + 1j) / 2], [(1 + 1j) / 2, (1 - 1j) / 2]],
        8: [[(1 + 1j) / 2, (-1 - 1j) / 2], [(1 + 1j) / 2, (1 + 1j) / 2]],
        9: [[(1 - 1j) / 2, (1 - 1j) / 2], [(-1 + 1j) / 2, (1 - 1j) / 2]],
    }
    if gid in fixed:
        return np.array(fixed[gid], dtype=np.complex128)
    if gid == 16:
        theta, phi, lam = params
        c, s = math.cos(theta / 2), math.sin(theta / 2)
        return np.array([[c, -cmath.exp(1j * lam) * s],
                         [cmath.exp(1j * phi) * s, cmath.exp(1j * (phi + lam)) * c]])
    (theta,) = params
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    if gid == 11:
        return np.array([[c, -1j * s], [-1j * s, c]])
    if gid == 12:
        return np.array([[c, -s], [s, c]], dtype=np.complex128)
    if gid == 13:
        return np.array([[cmath.exp(-0.5j * theta), 0], [0, cmath.exp(0.5j * theta)]])
    if gid == 14:
        return np.array([[1, 0], [0, cmath.exp(1j * theta)]])
    raise ValueError(f"gate id {gid} has no 2x2 matrix")


SWAP_MATRIX = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]], dtype=np.complex128)


def gate_action(gate, precision=np.complex128):
    """(matrix, targets) of a gate dictionary, or (phase, None) for GLOBAL_PHASE.

    Angles and matrix entries are first rounded to the state's precision, as ketsim hands them to
    complex64 states; matrix bit j belongs to targets[j].
    """
    gid, params = resolve(gate["id"], gate.get("parameter") or [])
    real = np.float32 if precision == np.complex64 else np.float64
    params = [float(real(p)) for p in params]
    if gid == 15:
        return cmath.exp(1j * params[0]), None
    if gid == 10:
        return SWAP_MATRIX, list(gate["target"][:2])
    if gid == 17:
        matrix = np.asarray(gate["matrix"], dtype=np.complex128).astype(precision).astype(np.complex128)
        return matrix, list(gate["target"])
    return single_qubit_matrix(gid, params), [gate["target"][0]]


def control_mask(n, gate):
    """Boolean array over basis indices: True where every control holds its required state."""
    idx = np.arange(2**n)
    ok = np.ones(2**n, dtype=bool)
    for c, s in zip(gate.get("control", []), gate.get("control_state", [])):
        ok &= ((idx >> c) & 1) == s
    return ok


def apply_matrix(state, n, matrix, targets):
    """Applies `matrix` to `targets` (first target = least significant matrix bit) by contraction."""
    m = len(targets)
    psi = state.reshape((2,) * n)  # axis a holds qubit n - 1 - a
    op = matrix.reshape((2,) * (2 * m))  # row axes, then column axes; axis a holds matrix bit m - 1 - a
    state_axes = [n - 1 - targets[m - 1 - a] for a in range(m)]
    out = np.tensordot(op, psi, axes=(list(range(m, 2 * m)), state_axes))
    return np.moveaxis(out, list(range(m)), state_axes).reshape(-1)


def apply_gate(state, n, gate, precision=np.complex128):
    """The state after one gate dictionary, in complex128."""
    state = np.asarray(state, dtype=np.complex128)
    action, targets = gate_action(gate, precision)
    mask = control_mask(n, gate)
    if targets is None:
        return np.where(mask, state * action, state)
    return np.where(mask, apply_matrix(state, n, action, targets), state)


def simulate(state, n, gates, precision=np.complex128):
    """The state after a whole gate list, in complex128."""
    out = np.asarray(state, dtype=np.complex128).copy()
    for gate in gates:
        out = apply_gate(out, n, gate, precision)
    return out


def gate_operator(n, gate, precision=np.complex128):
    """The full 2^n x 2^n operator of a gate, built entry by entry from basis indices."""
    action, targets = gate_action(gate, precision)
    controls = list(zip(gate.get("control", []), gate.get("control_state", [])))
    dim = 2**n
    op = np.zeros((dim, dim), dtype=np.complex128)
    for col in range(dim):
        if not all(((col >> c) & 1) == s for c, s in controls):
            op[col, col] = 1
            continue
        if targets is None:
            op[col, col] = action
            continue
        # Matrix column of this basis state, and the basis state with the target bits cleared.
        mcol = sum(((col >> t) & 1) << j for j, t in enumerate(targets))
        base = col
        for t in targets:
            base &= ~(1 << t)
        for mrow in range(2 ** len(targets)):
            row = base
            for j, t in enumerate(targets):
                if (mrow >> j) & 1:
                    row |= 1 << t
            op[row, col] += action[mrow, mcol]
    return op


def random_unitary(dim, rng):
    """A Haar-random unitary (QR of a complex Gaussian matrix with the phases fixed)."""
    z = (rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))) / math.sqrt(2)
    q, r = np.linalg.qr(z)
    d = np.diag(r)
    return q * (d / np.abs(d))


def random_state(n, dtype, rng):
    """A normalised random state of 2^n amplitudes in `dtype`."""
    v = rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)
    return (v / np.linalg.norm(v)).astype(dtype)
