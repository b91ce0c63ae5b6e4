"""Independent NumPy reference for the density-matrix tests, and the operation objects they feed to
rhosim (gate form and Kraus form, read by attribute)."""

import numpy as np

DTYPES = ["complex64", "complex128"]


def tolerance(dtype):
    return 2e-5 if dtype == "complex64" else 1e-12


class Gate:
    """A gate-form density operation."""

    def __init__(self, id, target, control=(), control_state=None, parameter=None, matrix=None):
        self.id = id
        self.target = list(target)
        self.control = list(control)
        self.control_state = [1] * len(self.control) if control_state is None else list(control_state)
        self.parameter = parameter
        self.has_stored_matrix = matrix is not None
        self.stored_matrix = matrix

    def __repr__(self):
        return f"Gate({self.id!r}, {self.target}, {self.control}, {self.control_state}, {self.parameter})"


class Kraus:
    """A Kraus-form density operation; channel_name is only set when given."""

    operation_kind = "kraus"

    def __init__(self, target, matrices, channel_name=None):
        self.target = list(target)
        self.kraus_matrices = matrices
        if channel_name is not None:
            self.channel_name = channel_name

    def __repr__(self):
        return f"Kraus({self.target}, {getattr(self, 'channel_name', None)!r}, {len(self.kraus_matrices)})"


# ---- matrices written from their physical definitions ----------------------------------------

I2 = np.eye(2, dtype=complex)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]], dtype=complex)
Z = np.diag([1, -1]).astype(complex)


def rx(theta):
    return np.cos(theta / 2) * I2 - 1j * np.sin(theta / 2) * X


def ry(theta):
    return np.cos(theta / 2) * I2 - 1j * np.sin(theta / 2) * Y


def rz(theta):
    return np.cos(theta / 2) * I2 - 1j * np.sin(theta / 2) * Z


def phase(theta):
    return np.diag([1, np.exp(1j * theta)])


def u3(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


SWAP = np.eye(4, dtype=complex)[[0, 2, 1, 3]]
W = np.exp(1j * np.pi / 4)

# name -> (number of parameters, builder)
NAMED = {
    "x": (0, lambda: X),
    "y": (0, lambda: Y),
    "z": (0, lambda: Z),
    "-z": (0, lambda: -Z),
    "h": (0, lambda: (X + Z) / np.sqrt(2)),
    "s": (0, lambda: phase(np.pi / 2)),
    "s_dag": (0, lambda: phase(-np.pi / 2)),
    "t": (0, lambda: phase(np.pi / 4)),
    "t_dag": (0, lambda: phase(-np.pi / 4)),
    "sqrtx": (0, lambda: W * rx(np.pi / 2)),
    "sqrtx_dag": (0, lambda: (W * rx(np.pi / 2)).conj().T),
    "sqrty": (0, lambda: W * ry(np.pi / 2)),
    "sqrty_dag": (0, lambda: (W * ry(np.pi / 2)).conj().T),
    "x2p": (0, lambda: rx(np.pi / 2)),
    "x2m": (0, lambda: rx(-np.pi / 2)),
    "y2p": (0, lambda: ry(np.pi / 2)),
    "y2m": (0, lambda: ry(-np.pi / 2)),
    "rx": (1, rx),
    "ry": (1, ry),
    "rz": (1, rz),
    "p": (1, phase),
    "gp": (1, lambda t: np.exp(1j * t) * I2),
    "rxy": (2, lambda t, f: rz(t) @ rx(f) @ rz(-t)),
    "u": (3, u3),
    "swap": (0, lambda: SWAP),
}

ALIASES = {
    "cx": "x", "cnot": "x", "mcx": "x", "cy": "y", "mcy": "y", "cz": "z", "mcz": "z", "ch": "h",
    "mch": "h", "cs": "s", "mcs": "s", "cp": "p", "mcp": "p", "crx": "rx", "mcrx": "rx", "cry": "ry",
    "mcry": "ry", "crz": "rz", "mcrz": "rz", "gphase": "gp", "global_phase": "gp", "xyarb": "rxy",
}


def named_matrix(name, params=()):
    count, build = NAMED[ALIASES.get(name, name)]
    assert len(params) == count
    return np.asarray(build(*params), dtype=complex)


def channel_kraus(name, p):
    """The standard Kraus sets of the five built-in channels."""
    if name == "bit_flip":
        return np.array([np.sqrt(1 - p) * I2, np.sqrt(p) * X])
    if name == "phase_flip":
        return np.array([np.sqrt(1 - p) * I2, np.sqrt(p) * Z])
    if name == "depolarizing":
        return np.array([np.sqrt(1 - 3 * p / 4) * I2] + [np.sqrt(p / 4) * m for m in (X, Y, Z)])
    if name == "amplitude_damping":
        return np.array([[[1, 0], [0, np.sqrt(1 - p)]], [[0, np.sqrt(p)], [0, 0]]], dtype=complex)
    if name == "phase_damping":
        return np.array([np.sqrt(1 - p) * I2, np.sqrt(p) * np.diag([1, 0]), np.sqrt(p) * np.diag([0, 1])])
    raise KeyError(name)


CHANNELS = ["bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping"]


# ---- the reference itself ---------------------------------------------------------------------


def full_operator(n, matrix, targets, controls=(), control_state=()):
    """The 2^n x 2^n operator acting as `matrix` on `targets` where the controls hold their values
    (bit j of a local index = qubit targets[j]) and as the identity elsewhere; for a Kraus matrix
    without controls it is K on the targets tensored with the identity."""
    dim = 1 << n
    k = len(targets)
    matrix = np.asarray(matrix, dtype=complex)
    x = np.arange(dim)
    on = np.ones(dim, dtype=bool)
    for c, s in zip(controls, control_state):
        on &= ((x >> c) & 1) == s
    local_in = np.zeros(dim, dtype=np.int64)
    target_mask = 0
    for j, t in enumerate(targets):
        local_in |= ((x >> t) & 1) << j
        target_mask |= 1 << t
    base = x & ~target_mask
    op = np.zeros((dim, dim), dtype=complex)
    for a in range(1 << k):
        offset = sum(((a >> j) & 1) << t for j, t in enumerate(targets))
        op[(base | offset)[on], x[on]] += matrix[a, local_in[on]]
    op[x[~on], x[~on]] = 1
    return op


def apply_unitary(rho, n, matrix, targets, controls=(), control_state=()):
    c = full_operator(n, matrix, targets, controls, control_state)
    return c @ rho @ c.conj().T


def apply_kraus(rho, n, matrices, targets):
    out = np.zeros_like(rho, dtype=complex)
    for k in matrices:
        full = full_operator(n, k, targets)
        out += full @ rho @ full.conj().T
    return out


def apply_operation(rho, n, op):
    """Reference effect of one Gate or Kraus object."""
    if isinstance(op, Kraus):
        return apply_kraus(rho, n, np.asarray(op.kraus_matrices), op.target)
    if op.has_stored_matrix:
        matrix = op.stored_matrix
    else:
        matrix = named_matrix(op.id, op.parameter or ())
    return apply_unitary(rho, n, matrix, op.target, op.control, op.control_state)


def random_density(n, rng, rank=None):
    dim = 1 << n
    a = rng.normal(size=(dim, rank or dim)) + 1j * rng.normal(size=(dim, rank or dim))
    rho = a @ a.conj().T
    return rho / np.trace(rho)


def random_unitary(dim, rng):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


def random_kraus(k, count, rng):
    """`count` Kraus matrices on k qubits forming a trace-preserving channel (a random isometry)."""
    dim = 1 << k
    v = random_unitary(dim * count, rng)[:, :dim]
    return v.reshape(count, dim, dim)


def run(n, ops, rho=None, dtype="complex128", rng=None):
    """Runs `ops` through rhosim from `rho` (default |0><0|) and returns the resulting matrix."""
    import rhosim

    if rho is None:
        state = rhosim.DeviceDensityState.zero_state(n, dtype)
    else:
        state = rhosim.DeviceDensityState.from_numpy(n, np.ascontiguousarray(rho, dtype=dtype))
    rhosim.run_density_operations_device(state, n, ops)
    return state.to_numpy()
