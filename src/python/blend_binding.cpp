// blend_many: the row-by-row "over" blend of two (N, 6) quality arrays; and
// the names of the quality columns, for the package.
#include <string>

#include "bindings.hpp"
#include "frame/arrays.hpp"
#include "frame/binding.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "quality/blend_rows.hpp"

namespace orvik::py {
namespace {

constexpr const char* kParams[] = {"lhs", "rhs"};
constexpr Signature kSignature{"blend_many", kParams, 2, 2};

PyObject* blend_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
        ArrayArg<float, 2> lhs, rhs;
        if (!lhs.extract(slots[0], "lhs") || !rhs.extract(slots[1], "rhs")) return nullptr;

        const npy_intp n = lhs.size(0);
        if (rhs.size(0) != n) {
            raise_value("lhs and rhs must have the same number of rows; got lhs=" +
                        std::to_string(n) + ", rhs=" + std::to_string(rhs.size(0)));
            return nullptr;
        }
        constexpr npy_intp kColumns = kQualityColumns;
        if (lhs.size(1) != kColumns || rhs.size(1) != kColumns) {
            raise_value("lhs and rhs must each have exactly " + std::to_string(kColumns) +
                        " columns " + quality_names_text());
            return nullptr;
        }
        // Every value is written by the loop, so the buffer is not zeroed.
        const std::size_t count = static_cast<std::size_t>(n) * kQualityColumns;
        ResultBuffer out(count * sizeof(float));
        bool done = false;
        {
            AllowThreads unlocked;
            done = blend_rows(lhs.view(), rhs.view(), out.as<float>(), unlocked.interrupt());
        }
        if (!done) return nullptr;  // a signal handler raised; its exception is set
        return out.into_array(count, NPY_FLOAT32, {n, kColumns});
    });
}

PyMethodDef blend_many_def = {
    .ml_name = "blend_many",
    .ml_meth = method_cast(blend_many),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "blend_many(lhs, rhs)\n--\n\n"
        "Vectorised Porter-Duff \"over\" blend of two ``(N, 6)`` quality arrays.\n\n"
        "Each row of *lhs* (the foreground) is composited over the corresponding row\n"
        "of *rhs* (the background) with the same ``Quality::blend`` formula that the\n"
        "model tree's query loop uses. Columns are ordered rho, vp, vs, qp, qs, alpha.\n\n"
        "The package calls this from ``orvik.qualities.blend`` via xarray's\n"
        "``apply_ufunc``, so that Python and xarray orchestrate the spatial\n"
        "dimensions while the hot loop runs natively with the interpreter lock\n"
        "released.",
};

}  // namespace

PyObject* make_blend_many(PyObject*) {
    return make_function(&blend_many_def);
}

PyObject* make_QUALITIES(PyObject*) {
    Ref names = Ref::steal(PyTuple_New(kQualityColumns));
    if (!names) return nullptr;
    for (std::size_t k = 0; k < kQualityColumns; ++k) {
        PyObject* name = PyUnicode_InternFromString(kQualityNames[k]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
    }
    return names.release();
}

}  // namespace orvik::py
