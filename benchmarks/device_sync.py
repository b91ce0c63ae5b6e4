"""Helpers the benchmarks share: waiting for the device, and a plain copy of the same bytes to
quote bandwidth against (device-to-device on the cuda backend, a host memory copy on the host
backend)."""
import ctypes
import ctypes.util
import time

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
        """Best time of a plain copy of nbytes (read nbytes, write nbytes)."""
        if self._cudart is None:
            src = np.ones(nbytes // 8, np.float64)
            dst = np.empty_like(src)
            best = float("inf")
            for _ in range(repeats):
                start = time.perf_counter()
                np.copyto(dst, src)
                best = min(best, time.perf_counter() - start)
            return best
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


def timed_best(fn, sync, repeats):
    best = float("inf")
    for _ in range(repeats):
        sync()
        start = time.perf_counter()
        fn()
        sync()
        best = min(best, time.perf_counter() - start)
    return best
