#!/usr/bin/env python3
"""Checks the kernels of a cuda build for the two properties we hold them to: their resources (no
register spills, no stack frame, two blocks of their launch size resident per SM on every
architecture built) and one vector access per amplitude (no scalar f32/f64 global loads or
stores in the PTX). Reads what scripts/nvcc_capture.sh leaves beside each object:
<object>.ptxas.log (ptxas -v) and <object>.ptx/ (the PTX of every architecture).

Usage: kernel_resources.py BUILD_DIR [--table]   (--table prints every kernel's figures)
"""
import argparse
import pathlib
import re
import subprocess
import sys

# Threads per block each kernel is launched with (first matching pattern on the demangled name).
# A kernel that matches none fails the check, so a new kernel has to be listed here.
BLOCK_THREADS = [
    (r"\bdensity_sparsesharemem_kernel<", 128),  # kFusedBlock, rhosim/density_sparsesharemem.cu
    (r"\bsparsesharemem_kernel<", 128),  # kSparseShareMemBlock, ketsim/fusion/sparsesharemem.h
    # kGateBlock, kMeasureBlock, kTransposeBlock, kDensityBlock and the (kTileX, kTileY) tiles
    (r"^ketsim::|^velloran::rhosim::", 256),
]

# Dynamic shared memory the launchers may ask for, per kernel (bytes, the largest launch).
DYNAMIC_SHARED = [
    (r"\bdensity_sparsesharemem_kernel<", (16 << 10) + 128),  # a 2^5 x 2^5 tile of complex128, its offsets
    (r"\bsparsesharemem_kernel<", 16 << 10),  # 2^kSparseShareMemMaxQubits amplitudes of complex128
    # kTileEntries / kUnitaryTileEntries complex128 entries (padded) and their index tables
    (r"\bunitary_(left|right|merged)_tile_kernel<|\bkraus_tile_kernel<|\bcu_unitary_tile_kernel<", 18 << 10),
    (r"\bpauli_pass_kernel<", 256 * 8),  # one double per thread of kPauliBlock, ketsim/ketsim_pauli.h
]

# Kernels allowed a stack frame that does not come from spilling, and why.
STACK_ALLOWED = [
    # The slow path of double-precision sin/cos reduces large arguments in a small local array.
    (r"\bcu_global_phase_kernel<|\bcu_(rx|ry|rz|u|phase)_kernel_(all_state|pair)<", 64),
]

# Kernels allowed scalar f32/f64 global accesses of some kinds, and why. Everything that moves
# amplitudes has none: they are loaded and stored whole (velloran::load_amplitude and friends).
SCALAR_ALLOWED = [
    # Reads the real diagonal only.
    (r"\bdensity_measure_probs_kernel<", {"ld.global.f32", "ld.global.f64"}),
    # Read the group's records (real parameters and matrix parts) from device memory; the tile
    # copy's stores are still checked.
    (r"sparsesharemem_kernel<", {"ld.global.f32", "ld.global.f64"}),
    # Writes its per-block partial sums (doubles); the amplitudes it reads are checked.
    (r"\bpauli_pass_kernel<", {"st.global.f64"}),
]

# Per architecture: registers per SM, threads per SM, shared memory per SM and per block (bytes),
# shared memory the system reserves per block.
ARCH = {
    75: (65536, 1024, 65536, 65536, 0),
    80: (65536, 2048, 167936, 166912, 1024),
    86: (65536, 1536, 102400, 101376, 1024),
    89: (65536, 1536, 102400, 101376, 1024),
    90: (65536, 2048, 233472, 232448, 1024),
    120: (65536, 1536, 102400, 101376, 1024),
}
BLOCKS_PER_SM = 2

ENTRY = re.compile(r"ptxas info\s*: Compiling entry function '(\S+)' for 'sm_(\d+)a?'")
PROPS = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")
USED = re.compile(r"ptxas info\s*: Used (\d+) registers(?:.*?(\d+) bytes smem)?")
PTX_ENTRY = re.compile(r"^(?:\.(?:visible|weak)\s+)?\.entry\s+(\S+?)\s*\(", re.M)
# A global load or store of f32/f64 with its qualifiers; a vector one names .v2, .v4 or .v8 among them.
GLOBAL_ACCESS = re.compile(r"\b(ld|st)\.global((?:\.[a-zA-Z0-9_:]+)*?)\.(f32|f64)\b")
VECTOR = re.compile(r"\.v[248]\b")


def demangle(names):
    names = sorted(set(names))
    if not names:
        return {}
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True, check=True).stdout
    # Kernels return void; the names read better without it.
    return {m: d.removeprefix("void ") for m, d in zip(names, out.splitlines())}


def lookup(table, name, default=None):
    for pattern, value in table:
        if re.search(pattern, name):
            return value
    return default


def read_ptxas(log):
    """(mangled, arch) -> dict(stack, spill_st, spill_ld, regs, smem) for every entry in one log."""
    kernels, current = {}, None
    for line in log.read_text().splitlines():
        m = ENTRY.search(line)
        if m:
            current = (m.group(1), int(m.group(2)))
            kernels[current] = {}
            continue
        if "Function properties for" in line:
            name = line.split("Function properties for", 1)[1].strip()
            if current is None or name != current[0]:
                current = None  # a callee's properties, not the entry's
            continue
        if current is None:
            continue
        m = PROPS.search(line)
        if m:
            kernels[current].update(stack=int(m.group(1)), spill_st=int(m.group(2)), spill_ld=int(m.group(3)))
            continue
        m = USED.search(line)
        if m:
            kernels[current].update(regs=int(m.group(1)), smem=int(m.group(2) or 0))
            current = None
    return kernels


def split_ptx_entries(text):
    """Mangled entry name -> its body, for one PTX file."""
    starts = [(m.start(), m.group(1)) for m in PTX_ENTRY.finditer(text)]
    bodies = {}
    for k, (pos, name) in enumerate(starts):
        end = starts[k + 1][0] if k + 1 < len(starts) else len(text)
        bodies[name] = text[pos:end]
    return bodies


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build_dir", type=pathlib.Path)
    ap.add_argument("--table", action="store_true", help="print every kernel's figures")
    args = ap.parse_args()

    # The CUDA objects of the modules that this build makes (stale files of removed sources do
    # not count); each must have its report.
    ninja = args.build_dir / "build.ninja"
    objects = sorted(set(re.findall(r"^build (CMakeFiles/(?:ketsim|rhosim)\.dir/\S+\.cu\.o):", ninja.read_text(), re.M))
                     if ninja.exists() else [])
    logs = [args.build_dir / (o + ".ptxas.log") for o in objects]
    missing = [str(p) for p in logs if not p.exists()]
    if not objects or missing:
        print(f"kernel_resources: no ptxas reports for {', '.join(missing) or args.build_dir} (build with "
              "scripts/nvcc_capture.sh as CMAKE_CUDA_COMPILER_LAUNCHER)", file=sys.stderr)
        return 2
    resources = {}
    for log in logs:
        for key, value in read_ptxas(log).items():
            resources[key] = (value, log)
    scalars = {}  # (mangled, arch) -> [(op, count)]
    ptx_files = 0
    for log in logs:
        for ptx in sorted(pathlib.Path(str(log)[: -len(".ptxas.log")] + ".ptx").glob("*.ptx")):
            ptx_files += 1
            text = ptx.read_text()
            # The PTX names its target; the file name carries it only when several are built.
            arch = int(re.search(r"^\.target\s+sm_(\d+)", text, re.MULTILINE).group(1))
            for name, body in split_ptx_entries(text).items():
                found = {}
                for m in GLOBAL_ACCESS.finditer(body):
                    if VECTOR.search(m.group(2)):
                        continue
                    op = f"{m.group(1)}.global.{m.group(3)}"
                    found[op] = found.get(op, 0) + 1
                scalars[(name, arch)] = sorted(found.items())
    names = demangle([k[0] for k in resources] + [k[0] for k in scalars])

    failures = []
    rows = []
    for (mangled, arch), (r, log) in sorted(resources.items(), key=lambda kv: (names[kv[0][0]], kv[0][1])):
        name = names[mangled]
        where = f"{name} [sm_{arch}]"
        if "regs" not in r or "stack" not in r:
            failures.append(f"{where}: ptxas report incomplete in {log}")
            continue
        threads = lookup(BLOCK_THREADS, name)
        dynamic = lookup(DYNAMIC_SHARED, name, 0)
        rows.append((name, arch, r["regs"], r["stack"], r["spill_st"], r["spill_ld"], r["smem"], threads))
        if r["spill_st"] or r["spill_ld"]:
            failures.append(f"{where}: spills ({r['spill_st']} bytes stores, {r['spill_ld']} bytes loads, "
                            f"{r['stack']} bytes stack, {r['regs']} registers)")
        elif r["stack"] > lookup(STACK_ALLOWED, name, 0):
            failures.append(f"{where}: {r['stack']} bytes stack frame (local arrays or calls)")
        if threads is None:
            failures.append(f"{where}: launch block size unknown; add the kernel to BLOCK_THREADS in {__file__}")
            continue
        if arch not in ARCH:
            failures.append(f"{where}: no limits known for sm_{arch}; add them to ARCH in {__file__}")
            continue
        regs_sm, threads_sm, smem_sm, smem_block, reserved = ARCH[arch]
        regs = -(-r["regs"] // 8) * 8  # registers are allocated per warp in units of 256
        if regs * threads * BLOCKS_PER_SM > regs_sm:
            failures.append(f"{where}: {r['regs']} registers x {threads} threads: fewer than "
                            f"{BLOCKS_PER_SM} blocks per SM")
        if threads * BLOCKS_PER_SM > threads_sm:
            failures.append(f"{where}: {threads}-thread blocks: fewer than {BLOCKS_PER_SM} blocks per SM")
        shared = r["smem"] + dynamic
        if shared > smem_block or (shared + reserved) * BLOCKS_PER_SM > smem_sm:
            failures.append(f"{where}: {shared} bytes shared memory: fewer than {BLOCKS_PER_SM} blocks per SM")

    for (mangled, arch), ops in sorted(scalars.items(), key=lambda kv: (names[kv[0][0]], kv[0][1])):
        if not ops:
            continue
        name = names[mangled]
        allowed = lookup(SCALAR_ALLOWED, name, set())
        ops = [(op, count) for op, count in ops if op not in allowed]
        if ops:
            listed = ", ".join(f"{count} {op}" for op, count in ops)
            failures.append(f"{name} [compute_{arch}]: scalar global accesses ({listed}); amplitudes "
                            "must move as one vector access each")

    if args.table:
        print(f"{'regs':>5} {'stack':>6} {'spill st/ld':>12} {'smem':>6} {'block':>5}  arch  kernel")
        for name, arch, regs, stack, st, ld, smem, threads in rows:
            print(f"{regs:5d} {stack:6d} {st:6d}/{ld:<5d} {smem:6d} {threads or 0:5d}  {arch:4d}  {name}")
    kernels = len({k[0] for k in resources})
    archs = sorted({k[1] for k in resources})
    if failures:
        print(f"kernel_resources: {len(failures)} problems in {kernels} kernels:", file=sys.stderr)
        for f in failures:
            print("  " + f, file=sys.stderr)
        return 1
    print(f"kernel_resources: {kernels} kernels on sm_{', sm_'.join(map(str, archs))}: no spills, two blocks per SM; "
          f"{ptx_files} PTX files: amplitudes move as vector accesses")
    return 0


if __name__ == "__main__":
    sys.exit(main())
