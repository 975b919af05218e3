// orvik._native's model file functions: the frame of a file to write, and the
// checked frame of a file that was read or mapped (model_file/model_file.hpp).
// The package's orvik/files.py writes and reads the files with them.
#include <cstdint>
#include <vector>

#include "bindings.hpp"
#include "frame/binding.hpp"
#include "frame/bytes.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "frame/results.hpp"
#include "model_file/model_file.hpp"

namespace orvik::py {
namespace {

constexpr const char* kLayoutParams[] = {"metadata", "record_lengths"};
constexpr Signature kLayoutSignature{"model_file_layout", kLayoutParams, 2, 2};

// The items of a sequence of non-negative ints, with the note for `param`.
bool to_lengths(PyObject* o, const char* param, std::vector<std::uint64_t>& out) {
    Ref items = Ref::steal(PySequence_Fast(o, "record_lengths must be a sequence of ints"));
    if (!items) {
        add_argument_note(param);
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!to_u64(PySequence_Fast_GET_ITEM(items.get(), i), param,
                    out[static_cast<std::size_t>(i)]))
            return false;
    }
    return true;
}

PyObject* spans_tuple(const std::vector<model_file::RecordSpan>& spans) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spans.size())));
    if (!tuple) return nullptr;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(spans[k].offset),
                                       static_cast<unsigned long long>(spans[k].length));
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), pair);
    }
    return tuple.release();
}

PyObject* model_file_layout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_fastcall(kLayoutSignature, args, nargs, kwnames, slots)) return nullptr;
        BytesArg metadata;
        std::vector<std::uint64_t> lengths;
        if (!metadata.extract(slots[0], "metadata") ||
            !to_lengths(slots[1], "record_lengths", lengths)) {
            return nullptr;
        }
        const auto bytes = metadata.view();
        Result<model_file::Layout> layout = model_file::layout(
            {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, lengths);
        if (!layout) {
            raise_error(layout.error());
            return nullptr;
        }
        Ref prefix = Ref::steal(
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(layout->prefix.data()),
                                      static_cast<Py_ssize_t>(layout->prefix.size())));
        Ref spans = Ref::steal(spans_tuple(layout->records));
        if (!prefix || !spans) return nullptr;
        return Py_BuildValue("(OOK)", prefix.get(), spans.get(),
                             static_cast<unsigned long long>(layout->file_length));
    });
}

PyMethodDef model_file_layout_def = {
    .ml_name = "model_file_layout",
    .ml_meth = method_cast(model_file_layout),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "model_file_layout(metadata, record_lengths)\n--\n\n"
        "The frame of a model file that holds *metadata* (UTF-8 JSON text, an\n"
        "object) and records of the given byte lengths.\n\n"
        "Returns ``(prefix, records, file_length)``: the file's first bytes (header,\n"
        "record table, metadata and zero padding up to the first record), the\n"
        "``(offset, length)`` of each record, and the length of the whole file. The\n"
        "bytes between records are zero.\n\n"
        "Raises\n"
        "------\n"
        "ValueError\n"
        "    If the metadata is not a JSON object that `open_model_file` accepts,\n"
        "    or there are not 1 to 64 records.",
};

constexpr const char* kOpenParams[] = {"data", "file_size"};
constexpr Signature kOpenSignature{"open_model_file", kOpenParams, 2, 1};

PyObject* open_model_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_fastcall(kOpenSignature, args, nargs, kwnames, slots)) return nullptr;
        BytesArg data;
        if (!data.extract(slots[0], "data")) return nullptr;
        std::uint64_t file_size = data.view().size();
        if (slots[1] && slots[1] != Py_None && !to_u64(slots[1], "file_size", file_size)) {
            return nullptr;
        }
        if (file_size < data.view().size()) {
            raise_value("file_size must be at least len(data)");
            return nullptr;
        }
        Result<model_file::Contents> contents = model_file::open(data.view(), file_size);
        if (!contents) {
            raise_error(contents.error());
            return nullptr;
        }
        Ref metadata = Ref::steal(text(contents->metadata));
        Ref spans = Ref::steal(spans_tuple(contents->records));
        if (!metadata || !spans) return nullptr;
        return Py_BuildValue("(IOO)", static_cast<unsigned int>(contents->version), metadata.get(),
                             spans.get());
    });
}

PyMethodDef open_model_file_def = {
    .ml_name = "open_model_file",
    .ml_meth = method_cast(open_model_file),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "open_model_file(data, file_size=None)\n--\n\n"
        "Check the frame of a model file given as its bytes (any contiguous\n"
        "buffer: bytes, a memory map, ...), or as its first bytes (at least\n"
        "`model_frame_end` of them) and its size *file_size*; the zero bytes\n"
        "between records are then checked as far as *data* reaches.\n\n"
        "Returns ``(version, metadata, records)``: the file format version, the\n"
        "metadata as a str (a JSON object, checked strictly) and the ``(offset,\n"
        "length)`` of each record. Every byte but the records' own is checked;\n"
        "the records are binary states, checked by the class that reads them.\n\n"
        "Raises\n"
        "------\n"
        "ValueError\n"
        "    \"invalid orvik model file: ...\", saying what is wrong (truncated,\n"
        "    corrupted, foreign, a newer format version, ...).",
};

constexpr const char* kFrameEndParams[] = {"head"};
constexpr Signature kFrameEndSignature{"model_frame_end", kFrameEndParams, 1, 1};

PyObject* model_frame_end(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kFrameEndSignature, args, nargs, kwnames, slots)) return nullptr;
        BytesArg head;
        if (!head.extract(slots[0], "head")) return nullptr;
        return PyLong_FromUnsignedLongLong(model_file::frame_end(head.view()));
    });
}

PyMethodDef model_frame_end_def = {
    .ml_name = "model_frame_end",
    .ml_meth = method_cast(model_frame_end),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "model_frame_end(head)\n--\n\n"
        "How many first bytes of a model file `open_model_file` needs, as the\n"
        "header in *head* (the file's first bytes) announces them: header,\n"
        "record table and metadata, each capped at the format's limits.",
};

}  // namespace

PyObject* make_model_file_layout(PyObject*) {
    return make_function(&model_file_layout_def, kNativeModuleName);
}

PyObject* make_open_model_file(PyObject*) {
    return make_function(&open_model_file_def, kNativeModuleName);
}

PyObject* make_model_frame_end(PyObject*) {
    return make_function(&model_frame_end_def, kNativeModuleName);
}

}  // namespace orvik::py
