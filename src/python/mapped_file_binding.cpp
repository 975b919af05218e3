// MappedFile and read_file: a model file read into memory of the process's
// own, which orvik.load reads records from without copying their arrays.
#include <cstdint>

#include "bindings.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "mapped_file_object.hpp"

namespace orvik::py {
namespace {

// --- MappedFile -----------------------------------------------------------------

// Read-only, one contiguous run of bytes; the export holds the object.
int mapped_file_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return guarded([&]() -> int {
        static const std::byte kEmpty{};
        const auto bytes = as_instance<std::shared_ptr<const MappedFile>>(self)->value->bytes();
        void* data = const_cast<std::byte*>(bytes.empty() ? &kEmpty : bytes.data());
        return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(bytes.size()), 1, flags);
    });
}

Py_ssize_t mapped_file_length(PyObject* self) {
    return static_cast<Py_ssize_t>(
        as_instance<std::shared_ptr<const MappedFile>>(self)->value->bytes().size());
}

PyType_Slot mapped_file_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("The bytes of a file, read into read-only memory of their own\n"
                       "(read_file makes one).\n\n"
                       "A bytes-like object: ``memoryview(mapping)`` reads the bytes in place.\n"
                       "Records read from it with read_state borrow their arrays from it, and\n"
                       "it stays until the last of them is gone. They are a copy: whatever\n"
                       "is done to the file afterwards does not reach them.")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(mapped_file_getbuffer)},
    {Py_mp_length, reinterpret_cast<void*>(mapped_file_length)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<std::shared_ptr<const MappedFile>>)},
    {0, nullptr},  // sentinel
};

PyType_Spec mapped_file_spec = {
    .name = "orvik._native.MappedFile",
    .basicsize = sizeof(MappedFileObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = mapped_file_slots,
};

HeapType mapped_file_class{mapped_file_spec};

// --- read_file ------------------------------------------------------------------

constexpr const char* kReadParams[] = {"fd", "length"};
constexpr Signature kReadSignature{"read_file", kReadParams, 2, 2};

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_fastcall(kReadSignature, args, nargs, kwnames, slots)) return nullptr;
        const int fd = PyObject_AsFileDescriptor(slots[0]);
        if (fd < 0) {
            add_argument_note("fd");
            return nullptr;
        }
        std::uint64_t length = 0;
        if (!to_u64(slots[1], "length", length)) return nullptr;
        if (length > SIZE_MAX) {
            PyErr_SetString(PyExc_OverflowError, "length is too large for this machine");
            return nullptr;
        }
        Result<std::shared_ptr<const MappedFile>> mapped = [&] {
            AllowThreads unlocked;  // reading may wait for the disk
            return MappedFile::read(fd, static_cast<std::size_t>(length));
        }();
        if (!mapped) {
            raise_error(mapped.error());
            return nullptr;
        }
        return new_instance(mapped_file_class, std::move(mapped).value());
    });
}

PyMethodDef read_file_def = {
    .ml_name = "read_file",
    .ml_meth = method_cast(read_file),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "read_file(fd, length)\n--\n\n"
        "Read the first *length* bytes of the open regular file *fd* (an int or\n"
        "an object with ``fileno()``; its position is left alone) into read-only\n"
        "memory of their own.\n\n"
        "Returns a `MappedFile`; *fd* may be closed afterwards. Raises `OSError`\n"
        "when the file cannot be read, `ValueError` when it ends before *length*\n"
        "bytes.",
};

}  // namespace

HeapType& mapped_file_type() {
    return mapped_file_class;
}

const std::shared_ptr<const MappedFile>* mapped_file_of(PyObject* o, const char* param) {
    PyTypeObject* type = mapped_file_class.get();
    if (!type) return nullptr;
    if (Py_TYPE(o) != type) {
        PyErr_Format(PyExc_TypeError, "%s must be an orvik._native.MappedFile; got %.200s", param,
                     Py_TYPE(o)->tp_name);
        return nullptr;
    }
    return &as_instance<std::shared_ptr<const MappedFile>>(o)->value;
}

PyObject* make_MappedFile(PyObject* module) {
    return mapped_file_class.new_reference(module);
}

PyObject* make_read_file(PyObject*) {
    return make_function(&read_file_def, kNativeModuleName);
}

}  // namespace orvik::py
