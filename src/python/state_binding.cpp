// __reduce__ and __from_state of the module's classes, and the package's
// readers and writers of states in files. A record's state is written
// straight into a new bytes object (or streamed into a file) and read back in
// place from any bytes-like object (or a mapped file, whose bytes the record
// then borrows); the state unit checks everything it reads.
#include <array>
#include <span>
#include <utility>

#include "bindings.hpp"
#include "coastline/coastline.hpp"
#include "common/mapped_file.hpp"
#include "frame/binding.hpp"
#include "frame/bytes.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "grid/structured_grid.hpp"
#include "held_models.hpp"
#include "mapped_file_object.hpp"
#include "model_tree/model_tree.hpp"
#include "query_objects.hpp"
#include "state/file_sink.hpp"
#include "state/state.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

constexpr const char* kStateParams[] = {"state"};

// Calls `use(record)` with the native record that `self` holds, borrowed
// shared for the call. ValueError for a model holder whose model a tree has
// taken, TypeError for an object that holds no record with a binary state.
template <class Use>
PyObject* with_record(PyObject* self, Use&& use) {
    const auto plain = [&](auto kind) -> PyObject* {
        using Record = typename decltype(kind)::type;
        auto* inst = as_instance<Record>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return nullptr;
        return use(static_cast<const Record&>(inst->value));
    };
    const auto held = [&](auto kind) -> PyObject* {
        using Kind = typename decltype(kind)::type;
        BorrowGuard borrow;
        if (!borrow.shared(held_flag<Kind>(self))) return nullptr;
        const HeldSlot<Kind>& slot = held_slot<Kind>(self);
        if (!slot) {
            raise_value(consumed_message<Kind>());
            return nullptr;
        }
        return use(*slot);
    };
    PyTypeObject* type = Py_TYPE(self);
    if (type == model_tree_type().get()) return plain(std::type_identity<ModelTree>{});
    if (type == structured_grid_type().get()) return plain(std::type_identity<StructuredGrid>{});
    if (type == coastline_type().get()) return plain(std::type_identity<Coastline>{});
    if (const std::optional<std::size_t> kind = held_kind(self)) return visit_kind(*kind, held);
    PyErr_Format(PyExc_TypeError, "%s has no binary state", Py_TYPE(self)->tp_name);
    return nullptr;
}

// (type(self).__from_state, (state,)): pickle saves the bound class method as
// getattr(<class>, "__from_state"), the class by its qualified name.
PyObject* reduce_to_state(PyObject* self) {
    return with_record(self, [&](const auto& record) -> PyObject* {
        Ref state =
            Ref::steal(make_bytes(state::encoded_size(record),
                                  [&](std::span<std::byte> out) { state::encode(record, out); }));
        if (!state) return nullptr;
        Ref method = Ref::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__from_state"));
        if (!method) return nullptr;
        return Py_BuildValue("O(O)", method.get(), state.get());
    });
}

// Decoders of the classes that never borrow, in the form of those that may.
Result<StructuredGrid> decode_grid(std::span<const std::byte> in, state::Lender) {
    return state::decode_structured_grid(in);
}
Result<Coastline> decode_coastline(std::span<const std::byte> in, state::Lender) {
    return state::decode_coastline(in);
}

// Reads a state into a new instance of `type`, its record borrowing from
// `in` when there is a lender; the interpreter lock is released for the
// reading when `unlocked` (`in` is then no Python object's memory that
// another thread could change).
using StateReader = PyObject* (*)(PyTypeObject* type, std::span<const std::byte> in,
                                  state::Lender lender, bool unlocked);

template <class Record, Result<Record> (*Decode)(std::span<const std::byte>, state::Lender),
          class Slot = Record>
PyObject* read_record(PyTypeObject* type, std::span<const std::byte> in, state::Lender lender,
                      bool unlocked) {
    std::optional<Result<Record>> record;
    if (unlocked) {
        AllowThreads released;
        record.emplace(Decode(in, std::move(lender)));
    } else {
        record.emplace(Decode(in, std::move(lender)));
    }
    if (!*record) {
        raise_error(record->error());
        return nullptr;
    }
    return new_instance(type, Slot(std::move(*record).value()));
}

struct StateClass {
    HeapType& (*type)();
    StateReader read;
};

// The classes with a binary state: the plain records, then a holder per model
// kind.
template <std::size_t... I>
constexpr auto state_classes(std::index_sequence<I...>) {
    return std::array<StateClass, 3 + sizeof...(I)>{{
        {model_tree_type, read_record<ModelTree, state::decode_model_tree>},
        {structured_grid_type, read_record<StructuredGrid, decode_grid>},
        {coastline_type, read_record<Coastline, decode_coastline>},
        {Holder<std::variant_alternative_t<I, Model>>::type,
         read_record<std::variant_alternative_t<I, Model>,
                     Holder<std::variant_alternative_t<I, Model>>::decode,
                     HeldSlot<std::variant_alternative_t<I, Model>>>}...,
    }};
}
constexpr auto kStateClasses =
    state_classes(std::make_index_sequence<std::variant_size_v<Model>>{});

// The reader of the class `cls`, or nullptr with a TypeError naming `param`.
StateReader reader_of(PyObject* cls, const char* param) {
    for (const StateClass& c : kStateClasses) {
        if (cls == reinterpret_cast<PyObject*>(c.type().get())) return c.read;
    }
    PyErr_Format(PyExc_TypeError, "%s must be an orvik class with a binary state; got %R", param,
                 cls);
    return nullptr;
}

// __from_state: binds `state` and reads it. A bytes object (what an in-band
// pickle holds) is immutable: the record borrows its big arrays from it and
// keeps it alive. Any other buffer may be freed or changed once the call
// returns (an out-of-band pickle buffer, say), so it is read into a copy.
PyObject* from_state(const Signature& sig, PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(sig, args, nargs, kwnames, slots)) return nullptr;
    StateReader read = reader_of(cls, "cls");
    if (!read) return nullptr;
    BytesArg state;
    if (!state.extract(slots[0], "state")) return nullptr;
    return read(reinterpret_cast<PyTypeObject*>(cls), state.view(), state.lender(), false);
}

constexpr Signature kTreeFromState{"PyModelTree.__from_state", kStateParams, 1, 1};
constexpr Signature kGridFromState{"StructuredGrid.__from_state", kStateParams, 1, 1};
constexpr Signature kCoastlineFromState{"PyCoastline.__from_state", kStateParams, 1, 1};

}  // namespace

PyObject* state_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return reduce_to_state(self); });
}

PyObject* tree_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded(
        [&]() -> PyObject* { return from_state(kTreeFromState, cls, args, nargs, kwnames); });
}

PyObject* from_state_named(const char* name, PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const Signature sig{name, kStateParams, 1, 1};
        return from_state(sig, cls, args, nargs, kwnames);
    });
}

PyObject* grid_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded(
        [&]() -> PyObject* { return from_state(kGridFromState, cls, args, nargs, kwnames); });
}

PyObject* coastline_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded(
        [&]() -> PyObject* { return from_state(kCoastlineFromState, cls, args, nargs, kwnames); });
}

// --- states in files (orvik._native) --------------------------------------------

namespace {

constexpr const char* kReadParams[] = {"cls", "mapping", "offset", "length"};
constexpr Signature kReadSignature{"read_state", kReadParams, 4, 4};

PyObject* read_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        if (!bind_fastcall(kReadSignature, args, nargs, kwnames, slots)) return nullptr;
        StateReader read = reader_of(slots[0], "cls");
        if (!read) return nullptr;
        const std::shared_ptr<const MappedFile>* mapping = mapped_file_of(slots[1], "mapping");
        std::uint64_t offset = 0, length = 0;
        if (!mapping || !to_u64(slots[2], "offset", offset) ||
            !to_u64(slots[3], "length", length)) {
            return nullptr;
        }
        const std::span<const std::byte> bytes = (*mapping)->bytes();
        if (offset > bytes.size() || length > bytes.size() - offset) {
            raise_value("the state (" + std::to_string(length) + " bytes at byte " +
                        std::to_string(offset) + ") runs past the end of the " +
                        std::to_string(bytes.size()) + "-byte mapping");
            return nullptr;
        }
        // The mapping's memory is no Python object's: no other thread can
        // change it, so it is read with the lock released.
        return read(reinterpret_cast<PyTypeObject*>(slots[0]), bytes.subspan(offset, length),
                    *mapping, true);
    });
}

PyMethodDef read_state_def = {
    .ml_name = "read_state",
    .ml_meth = method_cast(read_state),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "read_state(cls, mapping, offset, length)\n--\n\n"
        "Read the binary state of *length* bytes at byte *offset* of the\n"
        "`MappedFile` *mapping* into a new instance of *cls* (PyModelTree,\n"
        "StructuredGrid, PyMeshModel, ...), as ``cls.__from_state`` does, with\n"
        "every check. The record's large arrays are not copied: it borrows them\n"
        "from the mapping, which it keeps mapped for as long as it lives. Raises\n"
        "`ValueError` saying what is wrong with the state.",
};

constexpr const char* kSizeParams[] = {"obj"};
constexpr Signature kSizeSignature{"state_size", kSizeParams, 1, 1};

PyObject* state_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kSizeSignature, args, nargs, kwnames, slots)) return nullptr;
        return with_record(slots[0], [](const auto& record) -> PyObject* {
            return PyLong_FromSize_t(state::encoded_size(record));
        });
    });
}

PyMethodDef state_size_def = {
    .ml_name = "state_size",
    .ml_meth = method_cast(state_size),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "state_size(obj)\n--\n\n"
        "The length in bytes of the binary state of *obj* (the bytes that\n"
        "pickling writes and `write_state` streams).",
};

constexpr const char* kWriteParams[] = {"obj", "fd", "offset"};
constexpr Signature kWriteSignature{"write_state", kWriteParams, 3, 3};

PyObject* write_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(kWriteSignature, args, nargs, kwnames, slots)) return nullptr;
        const int fd = PyObject_AsFileDescriptor(slots[1]);
        if (fd < 0) {
            add_argument_note("fd");
            return nullptr;
        }
        std::uint64_t offset = 0;
        if (!to_u64(slots[2], "offset", offset)) return nullptr;
        return with_record(slots[0], [&](const auto& record) -> PyObject* {
            state::FileSink sink(fd, offset);
            const Status written = [&] {
                AllowThreads unlocked;  // the record stays borrowed meanwhile
                return state::encode(record, sink);
            }();
            if (!written) {
                raise_error(written.error());
                return nullptr;
            }
            return PyLong_FromSize_t(state::encoded_size(record));
        });
    });
}

PyMethodDef write_state_def = {
    .ml_name = "write_state",
    .ml_meth = method_cast(write_state),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "write_state(obj, fd, offset)\n--\n\n"
        "Write the binary state of *obj* into the open file *fd* (an int or an\n"
        "object with ``fileno()``) from byte *offset* on, streamed through a\n"
        "small buffer: the state is never whole in memory. The file's own\n"
        "position is left alone. Returns the state's length in bytes; raises\n"
        "`OSError` when the file cannot be written.",
};

}  // namespace

PyObject* make_read_state(PyObject*) {
    return make_function(&read_state_def, kNativeModuleName);
}

PyObject* make_state_size(PyObject*) {
    return make_function(&state_size_def, kNativeModuleName);
}

PyObject* make_write_state(PyObject*) {
    return make_function(&write_state_def, kNativeModuleName);
}

PyObject* state_reduce_ex(PyObject* self, PyObject* protocol) {
    return guarded([&]() -> PyObject* {
        const int version = PyLong_AsInt(protocol);
        if (version == -1 && PyErr_Occurred()) return nullptr;
        Ref reduced = Ref::steal(PyObject_CallMethod(self, "__reduce__", nullptr));
        if (!reduced || version < 5) return reduced.release();
        // Protocol 5 lets the state travel out of band: a pickler with a
        // buffer callback hands the bytes over as they are, and the reader
        // takes the buffer it gets back without a copy. In band, the buffer
        // is written as the bytes it wraps.
        PyObject* method = nullptr;
        PyObject* state = nullptr;
        if (!PyArg_ParseTuple(reduced.get(), "O(O)", &method, &state)) return nullptr;
        Ref buffer = Ref::steal(PyPickleBuffer_FromObject(state));
        if (!buffer) return nullptr;
        return Py_BuildValue("O(O)", method, buffer.get());
    });
}

PyObject* query_params_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* inst = as_instance<QueryParamsValue>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return nullptr;
        return Py_BuildValue("O(BB)", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                             inst->value.priority_lo, inst->value.priority_hi);
    });
}

PyObject* query_coordinates_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* inst = as_instance<QueryCoordinatesValue>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return nullptr;
        const QueryCoordinatesValue& v = inst->value;
        // The arrays themselves: pickle copies them, copy.copy shares them.
        return Py_BuildValue("O(OOOOO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), v.x, v.y, v.z,
                             v.depth, v.mask ? v.mask : Py_None);
    });
}

PyObject* builder_reduce(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyErr_SetString(PyExc_TypeError,
                        "cannot pickle 'MeshModelBuilder' object: finish it with interpolated() or "
                        "depth_profile() and pickle the PyMeshModel that it returns");
        return nullptr;
    });
}

}  // namespace orvik::py
