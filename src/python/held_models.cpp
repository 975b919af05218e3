#include "held_models.hpp"

#include <string>

#include "mesh_model_object.hpp"

namespace orvik::py {

std::optional<std::size_t> held_kind(PyObject* o) {
    std::optional<std::size_t> kind;
    for (std::size_t k = 0; k < std::variant_size_v<Model> && !kind; ++k) {
        PyTypeObject* type =
            visit_kind(k, [](auto t) { return Holder<typename decltype(t)::type>::type().get(); });
        if (type == nullptr) {
            PyErr_Clear();
            continue;
        }
        if (Py_IS_TYPE(o, type)) kind = k;
    }
    return kind;
}

const char* record_name(std::size_t kind) {
    return visit_kind(kind, [](auto t) { return Holder<typename decltype(t)::type>::kRecord; });
}

const char* class_name(std::size_t kind) {
    return visit_kind(kind, [](auto t) { return Holder<typename decltype(t)::type>::kClass; });
}

BorrowFlag& held_flag(PyObject* o, std::size_t kind) {
    return *visit_kind(kind, [o](auto t) { return &held_flag<typename decltype(t)::type>(o); });
}

bool held_full(PyObject* o, std::size_t kind) {
    return visit_kind(kind,
                      [o](auto t) { return held_slot<typename decltype(t)::type>(o).has_value(); });
}

Model take_held(PyObject* o, std::size_t kind) {
    return visit_kind(kind, [o](auto t) {
        using Kind = typename decltype(t)::type;
        HeldSlot<Kind>& slot = held_slot<Kind>(o);
        Model model(std::in_place_type<Kind>, std::move(*slot));
        slot.reset();
        return model;
    });
}

void put_back(PyObject* o, Model&& model) {
    std::visit([o](auto& m) { held_slot<std::decay_t<decltype(m)>>(o).emplace(std::move(m)); },
               model);
}

PyObject* kind_view(const MeshModel& m) {
    return model_view_dict(m);
}

PyObject* model_view(const Model& model) {
    return std::visit([](const auto& m) { return kind_view(m); }, model);
}

}  // namespace orvik::py
