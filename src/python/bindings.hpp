// The Python-facing functions and classes, one binding file each. Every
// make_* returns the object that the module registers under that name (a new
// reference, or NULL with an exception set); the registration table in
// module.cpp calls them in the order of the module's __all__.
#pragma once

#include "frame/python.hpp"

#include "frame/object.hpp"

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

// The names of orvik._native, registered by native_module.cpp.
PyObject* make_model_file_layout(PyObject* module);
PyObject* make_open_model_file(PyObject* module);
PyObject* make_model_frame_end(PyObject* module);
PyObject* make_MappedFile(PyObject* module);
PyObject* make_read_file(PyObject* module);
PyObject* make_read_state(PyObject* module);
PyObject* make_state_size(PyObject* module);
PyObject* make_write_state(PyObject* module);
PyObject* make_parse_rows(PyObject* module);
PyObject* make_format_rows(PyObject* module);
// orvik._native (native_module.cpp): the model kinds beyond the mesh model.
PyObject* make_PyGridModel(PyObject* module);
PyObject* make_PyColumnsModel(PyObject* module);
PyObject* make_grid_model(PyObject* module);
PyObject* make_columns_model(PyObject* module);
// The names of the quality columns, in column order (blend_binding.cpp).
PyObject* make_QUALITIES(PyObject* module);

// The classes that other binding files check arguments against or make
// instances of.
HeapType& model_tree_type();
HeapType& coastline_type();
HeapType& mesh_model_type();
HeapType& grid_model_type();
HeapType& columns_model_type();
HeapType& structured_grid_type();
HeapType& query_coordinates_type();
HeapType& query_params_type();

}  // namespace orvik::py
