#include "frame/arrays.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <numeric>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/object.hpp"

namespace orvik::py {

// ---------------------------------------------------------------------------
// Extraction

bool is_array_of(PyObject* o, int type_num, int ndim) {
    if (!PyArray_Check(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != ndim) return false;
    PyArray_Descr* want = PyArray_DescrFromType(type_num);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(a), want);
    Py_DECREF(want);
    return same;
}

bool extract_array_checked(PyObject* o, int type_num, int ndim, const char* param) {
    if (is_array_of(o, type_num, ndim)) return true;
    return type_mismatch(o, "ndarray", param);
}

// ---------------------------------------------------------------------------
// The borrow registry. Each borrow records the byte span that the array can
// touch; two spans that overlap conflict unless one can show that the arrays
// interleave without sharing an element (same stride lattice, offset between
// elements), which keeps views like a[::2] and a[1::2] independent.

namespace {

struct Entry {
    std::uint64_t token;
    const char* lo;
    const char* hi;  // exclusive
    const char* data;
    std::ptrdiff_t gcd;  // gcd of the absolute strides of axes with extent > 1; 0 if none
    std::ptrdiff_t itemsize;
    Access access;
};

std::mutex g_registry_mutex;
std::vector<Entry> g_entries;
std::uint64_t g_next_token = 1;

Entry describe(PyArrayObject* a, Access access) {
    Entry e{};
    const char* data = static_cast<const char*>(PyArray_DATA(a));
    const std::ptrdiff_t item = PyArray_ITEMSIZE(a);
    std::ptrdiff_t lo = 0, hi = 0, g = 0;
    for (int k = 0; k < PyArray_NDIM(a); ++k) {
        const std::ptrdiff_t n = PyArray_DIM(a, k);
        const std::ptrdiff_t s = PyArray_STRIDE(a, k);
        if (n > 1) {
            if (s < 0)
                lo += (n - 1) * s;
            else
                hi += (n - 1) * s;
            g = std::gcd(g, s < 0 ? -s : s);
        }
    }
    e.lo = data + lo;
    e.hi = data + hi + item;
    e.data = data;
    e.gcd = g;
    e.itemsize = item;
    e.access = access;
    return e;
}

bool conflicts(const Entry& a, const Entry& b) {
    if (a.access == Access::Read && b.access == Access::Read) return false;
    if (a.hi <= b.lo || b.hi <= a.lo) return false;
    if (a.gcd != 0 && a.gcd == b.gcd) {
        const std::ptrdiff_t g = a.gcd;
        std::ptrdiff_t off = (a.data - b.data) % g;
        if (off < 0) off += g;
        // Elements of a start `off` bytes after elements of b on the same lattice.
        if (off >= b.itemsize && g - off >= a.itemsize) return false;
    }
    return true;
}

}  // namespace

bool ArrayBorrow::acquire(PyArrayObject* array, Access access) {
    release();
    if (access == Access::Write && !PyArray_ISWRITEABLE(array)) {
        raise_internal("The given array is not writeable");
        return false;
    }
    if (PyArray_SIZE(array) == 0) return true;  // touches no memory
    Entry e = describe(array, access);
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    for (const Entry& other : g_entries) {
        if (conflicts(e, other)) {
            raise_internal("The given array is already borrowed");
            return false;
        }
    }
    e.token = g_next_token++;
    g_entries.push_back(e);
    token_ = e.token;
    return true;
}

void ArrayBorrow::release() {
    if (token_ == 0) return;
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    auto it = std::find_if(g_entries.begin(), g_entries.end(),
                           [&](const Entry& e) { return e.token == token_; });
    if (it != g_entries.end()) {
        *it = g_entries.back();
        g_entries.pop_back();
    }
    token_ = 0;
}

// ---------------------------------------------------------------------------
// PySliceContainer: owner of one native buffer behind a returned array.

namespace {

struct SliceContainer {
    PyObject_HEAD void* ptr;
    std::size_t len;
    std::size_t cap;
    void* owner;
    void (*drop)(void*);
};

void slice_container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    if (c->drop && c->owner) c->drop(c->owner);
    c->owner = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_doc, const_cast<char*>("Owner of a native buffer that backs a NumPy array.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},  // sentinel
};

PyType_Spec slice_container_spec = {
    .name = "orvik.PySliceContainer",
    .basicsize = sizeof(SliceContainer),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slice_container_slots,
};

HeapType slice_container_type{slice_container_spec};

alignas(16) char g_empty_buffer[16];

}  // namespace

int init_slice_container_type() {
    return slice_container_type.get() ? 0 : -1;
}

PyObject* wrap_buffer(void* owner, void (*drop)(void*), void* data, std::size_t len,
                      std::size_t cap, int type_num, std::initializer_list<npy_intp> dims) {
    PyTypeObject* type = slice_container_type.get();
    auto* c = type ? PyObject_New(SliceContainer, type) : nullptr;
    if (!c) {
        drop(owner);
        raise_internal("Failed to create slice container");
        return nullptr;
    }
    c->ptr = data ? data : g_empty_buffer;  // never NULL, so NumPy does not allocate
    c->len = len;
    c->cap = cap;
    c->owner = owner;
    c->drop = drop;

    npy_intp shape[NPY_MAXDIMS];
    int nd = 0;
    for (npy_intp d : dims) shape[nd++] = d;
    PyObject* array = PyArray_New(&PyArray_Type, nd, shape, type_num, nullptr, c->ptr, 0,
                                  NPY_ARRAY_CARRAY, nullptr);
    if (!array) {
        Py_DECREF(c);
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array),
                              reinterpret_cast<PyObject*>(c)) < 0) {  // steals c
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

// ---------------------------------------------------------------------------
// Result buffers

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;  // smaller buffers stay in malloc's arenas
}  // namespace

ResultBuffer::ResultBuffer(std::size_t bytes) {
    if (bytes >= kHugeFrom) {
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        data_ = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Advice only: without transparent huge pages the buffer still works.
        if (data_) (void)madvise(data_, rounded, MADV_HUGEPAGE);
#endif
    } else {
        data_ = std::malloc(bytes > 0 ? bytes : 1);
    }
    if (!data_) throw std::bad_alloc();
}

ResultBuffer::~ResultBuffer() {
    std::free(data_);
}

PyObject* ResultBuffer::into_array(std::size_t count, int type_num,
                                   std::initializer_list<npy_intp> dims) {
    void* data = data_;
    data_ = nullptr;
    return wrap_buffer(
        data, [](void* p) { std::free(p); }, data, count, count, type_num, dims);
}

}  // namespace orvik::py
