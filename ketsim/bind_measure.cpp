// PLACEHOLDER: replaced by the measurement bindings.
#include "bindings.h"
namespace ketsim {
void bind_measure_device(pybind11::module_&) {}
void bind_measure(pybind11::module_&) {}
}
