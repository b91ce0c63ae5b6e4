// Sine and cosine in the precision of the amplitudes, callable from kernels and host code alike.
#pragma once

#include <math.h>

#include "backend.h"

VELLORAN_HD float device_sin(float x) { return sinf(x); }
VELLORAN_HD double device_sin(double x) { return sin(x); }
VELLORAN_HD float device_cos(float x) { return cosf(x); }
VELLORAN_HD double device_cos(double x) { return cos(x); }
VELLORAN_HD void device_sincos(float x, float* s, float* c) { sincosf(x, s, c); }
VELLORAN_HD void device_sincos(double x, double* s, double* c) { sincos(x, s, c); }
