// The rhosim extension module: the DeviceDensityState class and the operation and measurement
// functions, registered in the module's documented order.
#include <pybind11/pybind11.h>

#include "../common/backend.h"
#include "../common/python_guards.h"
#include "bindings.h"

PYBIND11_MODULE(rhosim, m) {
    m.doc() = "CUDA dense density-matrix backend for velloran";
    m.attr("__backend__") = VELLORAN_BACKEND_NAME;
    velloran::python::remember_main_thread();
    velloran::rhosim::bind_density_state(m);
    velloran::rhosim::bind_run_density(m);
    velloran::rhosim::bind_measure_density(m);
}
