// The one place that includes Python.h, so that PY_SSIZE_T_CLEAN is always set first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
