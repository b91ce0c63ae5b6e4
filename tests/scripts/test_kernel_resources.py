"""The kernel budget check of the cuda compile check (scripts/kernel_resources.py) on a made-up
build folder: a clean kernel passes; spills, a stack frame, too many registers or too much shared
memory for two blocks per SM, scalar amplitude accesses and an unreported object each fail."""

import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "kernel_resources.py"
OBJECT = "CMakeFiles/ketsim.dir/ketsim/gates/ketsim_h.cu.o"
KERNEL = "_ZN6ketsim10h_autopair10no_controlIfEEvmP9CuComplexIT_EmNS_6NoArgsE"


def ptxas(regs=32, stack=0, spill_st=0, spill_ld=0, smem=0, arch=90):
    return (f"ptxas info    : Compiling entry function '{KERNEL}' for 'sm_{arch}'\n"
            f"ptxas info    : Function properties for {KERNEL}\n"
            f"    {stack} bytes stack frame, {spill_st} bytes spill stores, {spill_ld} bytes spill loads\n"
            f"ptxas info    : Used {regs} registers, used 0 barriers, {smem} bytes smem, 380 bytes cmem[0]\n")


def ptx(body):
    return f".version 9.0\n.target sm_90\n.address_size 64\n\n.visible .entry {KERNEL}(\n\t.param .u64 p\n)\n{{\n{body}\n}}\n"


VECTOR_BODY = "\tld.global.v2.f32 \t{%f1, %f2}, [%rd1];\n\tst.global.v2.f32 \t[%rd1], {%f3, %f4};"
SCALAR_BODY = "\tld.global.f32 \t%f1, [%rd1];\n\tld.global.f32 \t%f2, [%rd1+4];\n\tst.global.v2.f32 \t[%rd1], {%f1, %f2};"


def run_check(tmp_path, log, body=VECTOR_BODY, with_log=True, ptx_name="ketsim_h.compute_90.ptx"):
    (tmp_path / "build.ninja").write_text(f"build {OBJECT}: CUDA_COMPILER x.cu\n")
    obj = tmp_path / OBJECT
    obj.parent.mkdir(parents=True, exist_ok=True)
    if with_log:
        pathlib.Path(str(obj) + ".ptxas.log").write_text(log)
    kept = pathlib.Path(str(obj) + ".ptx")
    kept.mkdir(exist_ok=True)
    (kept / ptx_name).write_text(ptx(body))
    return subprocess.run([sys.executable, str(SCRIPT), str(tmp_path)], capture_output=True, text=True)


@pytest.mark.parametrize("ptx_name", ["ketsim_h.compute_90.ptx", "ketsim_h.ptx"], ids=["several_archs", "one_arch"])
def test_clean_kernel_passes(tmp_path, ptx_name):
    # nvcc names the kept PTX after the architecture only when it builds several.
    result = run_check(tmp_path, ptxas(regs=128), ptx_name=ptx_name)
    assert result.returncode == 0, result.stderr
    assert "no spills" in result.stdout


@pytest.mark.parametrize("log, message", [
    (ptxas(regs=255, stack=2896, spill_st=1876, spill_ld=1892), "spills"),
    (ptxas(stack=40), "stack frame"),
    (ptxas(regs=129), "fewer than 2 blocks per SM"),
    (ptxas(smem=40 << 10, arch=75), "shared memory"),
    (ptxas(arch=70), "no limits known"),
], ids=["spill", "stack", "registers", "shared", "unknown_arch"])
def test_budget_violations_fail(tmp_path, log, message):
    result = run_check(tmp_path, log)
    assert result.returncode == 1
    assert message in result.stderr


def test_scalar_amplitude_accesses_fail(tmp_path):
    result = run_check(tmp_path, ptxas(), SCALAR_BODY)
    assert result.returncode == 1
    assert "2 ld.global.f32" in result.stderr


def test_object_without_report_fails(tmp_path):
    result = run_check(tmp_path, ptxas(), with_log=False)
    assert result.returncode == 2
    assert "no ptxas reports" in result.stderr
