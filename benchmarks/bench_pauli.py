"""Speed of ketsim.pauli_expectations against copying the state out (state.to_numpy()) and
evaluating the same Pauli strings with NumPy, per register size, term count and precision, with
the largest difference between the two printed beside the times (the run fails if they disagree).
The strings are random over I, X, Y, Z, so nearly every one has its own flip mask; --shared gives
them all one flip mask (one pass per 16 terms).
Usage: python benchmarks/bench_pauli.py [--qubits 20 22 24] [--terms 1 10 100] [--dtypes complex64 complex128]"""
import argparse
import os
import sys
import time

import numpy as np

import ketsim

sys.path.insert(0, os.path.dirname(__file__))
from device_sync import Device, timed_best  # noqa: E402

# Agreement demanded of the two results: both sum in double over the same stored amplitudes.
TOLERANCE = 1e-9


def random_strings(n, count, shared, rng):
    if not shared:
        return ["".join(rng.choice(list("IXYZ"), size=n)) for _ in range(count)]
    flipped = rng.random(n) < 0.5
    return ["".join(rng.choice(["X", "Y"]) if f else rng.choice(["I", "Z"]) for f in flipped) for _ in range(count)]


def numpy_expectations(psi, strings):
    """<psi|P|psi> per string from the flip and phase masks: P|i> = i^y (-1)^|i & z| |i ^ f>."""
    index = np.arange(psi.size, dtype=np.uint64)
    psi = psi.astype(np.complex128, copy=False)
    out = np.empty(len(strings))
    for k, s in enumerate(strings):
        flip = sum(1 << q for q, c in enumerate(s) if c in "XY")
        phase = sum(1 << q for q, c in enumerate(s) if c in "YZ")
        y = sum(1 for c in s if c == "Y")
        signs = 1.0 - 2.0 * (np.bitwise_count(index & np.uint64(phase)) & 1)
        partner = psi[index ^ np.uint64(flip)] if flip else psi
        out[k] = ((1j ** y) * np.sum(np.conj(partner) * psi * signs)).real
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--qubits", type=int, nargs="+", default=[20, 22, 24])
    parser.add_argument("--terms", type=int, nargs="+", default=[1, 10, 100])
    parser.add_argument("--dtypes", nargs="+", default=["complex64", "complex128"],
                        choices=["complex64", "complex128"])
    parser.add_argument("--repeats", type=int, default=3, help="best of this many device calls")
    parser.add_argument("--shared", action="store_true", help="all strings share one flip mask")
    args = parser.parse_args()

    device = Device(ketsim.__backend__)
    rng = np.random.default_rng(1)
    print(f"ketsim {ketsim.__backend__} backend; pauli_expectations best of {args.repeats}, "
          f"to_numpy + NumPy once; {'one shared flip mask' if args.shared else 'random strings'}")
    print(f"{'n':>3s} {'dtype':<10s} {'terms':>5s} {'device ms':>10s} {'copy+NumPy ms':>14s} {'speed-up':>9s} "
          f"{'max |diff|':>11s}")
    worst = 0.0
    for n in args.qubits:
        for dtype in args.dtypes:
            v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
            state = ketsim.DeviceState.from_numpy(n, (v / np.linalg.norm(v)).astype(dtype))
            del v
            for terms in args.terms:
                strings = random_strings(n, terms, args.shared, rng)
                values = ketsim.pauli_expectations(state, strings)  # warm-up, and the values compared
                seconds = timed_best(lambda: ketsim.pauli_expectations(state, strings), device.synchronize,
                                     args.repeats)
                device.synchronize()
                start = time.perf_counter()
                reference = numpy_expectations(state.to_numpy(), strings)
                host_seconds = time.perf_counter() - start
                diff = float(np.max(np.abs(values - reference)))
                worst = max(worst, diff)
                print(f"{n:3d} {dtype:<10s} {terms:5d} {seconds * 1e3:10.2f} {host_seconds * 1e3:14.1f} "
                      f"{host_seconds / seconds:8.1f}x {diff:11.1e}")
            del state
    if worst > TOLERANCE:
        print(f"FAILED: results differ by {worst:.1e} (more than {TOLERANCE:.0e})")
        return 1
    print(f"all results agree to {worst:.1e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
