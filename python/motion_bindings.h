// vorc.MotionDetector and the types of its settings and results, for the
// extension vorc._vorc.
#ifndef VORC_PYTHON_MOTION_BINDINGS_H
#define VORC_PYTHON_MOTION_BINDINGS_H

#include <pybind11/pybind11.h>

void defineMotion(pybind11::module_& m);

#endif
