"""Helpers the benchmarks share: waiting for the device, and a plain pass over the same bytes to
quote bandwidth against (a device-to-device copy on the cuda backend; on the host backend an
in-place pass with the threads the kernels run on, as the kernels work)."""
import ctypes
import ctypes.util
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np


def load_cudart():
    """The CUDA runtime for synchronising and copying (the modules link their own copy in): from the
    loader's paths, the toolkit, or NVIDIA's runtime wheels."""
    import glob
    import os
    import site

    candidates = [ctypes.util.find_library("cudart")]
    for root in filter(None, [os.environ.get("CUDA_HOME"), os.environ.get("CUDA_PATH"), "/usr/local/cuda"]):
        candidates += sorted(glob.glob(os.path.join(root, "lib*", "libcudart.so*")))
    for packages in site.getsitepackages():
        candidates += sorted(glob.glob(os.path.join(packages, "nvidia", "*", "lib", "libcudart.so*")))
    errors = []
    for name in filter(None, candidates):
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            errors.append(str(error))
    raise OSError("no CUDA runtime library (libcudart) found: " + "; ".join(errors or ["nothing to try"]))


class Device:
    def __init__(self, backend):
        self.backend = backend
        self._cudart = None
        if backend == "cuda":
            self._cudart = load_cudart()

    def synchronize(self):
        if self._cudart is not None:
            self._cudart.cudaDeviceSynchronize()

    def copy_seconds(self, nbytes, repeats=5):
        """Best time of a plain pass that reads nbytes and writes nbytes."""
        if self._cudart is None:
            return host_pass_seconds(nbytes, repeats)
        rt = self._cudart
        src, dst = ctypes.c_void_p(), ctypes.c_void_p()
        assert rt.cudaMalloc(ctypes.byref(src), ctypes.c_size_t(nbytes)) == 0
        assert rt.cudaMalloc(ctypes.byref(dst), ctypes.c_size_t(nbytes)) == 0
        try:
            best = float("inf")
            for _ in range(repeats):
                rt.cudaDeviceSynchronize()
                start = time.perf_counter()
                rt.cudaMemcpy(dst, src, ctypes.c_size_t(nbytes), 3)  # device to device
                rt.cudaDeviceSynchronize()
                best = min(best, time.perf_counter() - start)
            return best
        finally:
            rt.cudaFree(src)
            rt.cudaFree(dst)


def host_threads():
    """The workers the host backend's kernels run on: VELLORAN_HOST_THREADS, else this process's CPUs."""
    try:
        value = int(os.environ.get("VELLORAN_HOST_THREADS", ""))
        if 1 <= value <= 1024:
            return value
    except ValueError:
        pass
    return len(os.sched_getaffinity(0))


def host_pass_seconds(nbytes, repeats):
    """Best time of reading and rewriting nbytes in place, split evenly over host_threads() threads
    (NumPy releases the interpreter lock inside the multiply). A one-thread copy into fresh memory
    would set the bar at about half of what the machine's cores reach."""
    data = np.ones(nbytes // 8, np.float64)
    threads = host_threads()
    parts = np.array_split(data, threads)
    best = float("inf")
    with ThreadPoolExecutor(threads) as pool:
        for _ in range(repeats + 1):  # the first pass also faults the pages in
            start = time.perf_counter()
            list(pool.map(lambda part: np.multiply(part, 1.0, out=part), parts))
            best = min(best, time.perf_counter() - start)
    return best


def timed_best(fn, sync, repeats):
    best = float("inf")
    for _ in range(repeats):
        sync()
        start = time.perf_counter()
        fn()
        sync()
        best = min(best, time.perf_counter() - start)
    return best
