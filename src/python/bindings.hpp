// The Python-facing functions and classes, one binding file each. Every
// make_* creates the object that the module registers under that name (a new
// reference, or NULL with an exception set); the registration table in
// module.cpp calls them in the order of the module's __all__.
#pragma once

#include "frame/python.hpp"

namespace orvik::py {

PyObject* make_QueryCoordinates(PyObject* module);
PyObject* make_QueryParams(PyObject* module);
PyObject* make_PyMeshModel(PyObject* module);
PyObject* make_PyModelTree(PyObject* module);
PyObject* make_MeshModelBuilder(PyObject* module);
PyObject* make_model_tree(PyObject* module);
PyObject* make_blend_many(PyObject* module);
PyObject* make_StructuredGrid(PyObject* module);
PyObject* make_structured_grid(PyObject* module);
PyObject* make_adaptive_tin(PyObject* module);
PyObject* make_PyCoastline(PyObject* module);
PyObject* make_coastline(PyObject* module);

// Class objects for argument checks across binding files (set by make_*).
PyTypeObject* mesh_model_type();
PyTypeObject* structured_grid_type();
PyTypeObject* query_coordinates_type();
PyTypeObject* query_params_type();

// A module-level function object for `def` (its __module__ is "orvik").
PyObject* make_function(PyObject* module, PyMethodDef* def);

}  // namespace orvik::py
