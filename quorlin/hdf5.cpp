// HDF5 through the library h5py has loaded: the store's per-table calls, without an h5py object per
// call. Every function here runs under h5py's lock (`Lock`), as h5py's own calls do.
#include "hdf5.hpp"

#include "py/numpy.hpp"

#include <dlfcn.h>

#include <type_traits>

#include "state.hpp"

namespace quorlin::hdf5 {

using py::Ref;

namespace {

constexpr hid_t all = 0;           // H5S_ALL
constexpr hid_t defaults = 0;      // H5P_DEFAULT
constexpr hid_t error_stack = 0;   // H5E_DEFAULT
constexpr int null_space = 2;      // H5S_NULL
constexpr int hard_link = 0;       // H5L_TYPE_HARD
constexpr int integer_class = 0;   // H5T_INTEGER
constexpr int unsigned_sign = 0;   // H5T_SGN_NONE

/// A link's description, laid out as HDF5's H5L_info2_t.
struct LinkInfo {
    int type;
    bool corder_valid;
    std::int64_t corder;
    int cset;
    alignas(8) Token token;  // for a hard link; in a union with the value size (a size_t) of other links
};
static_assert(offsetof(LinkInfo, token) == 24 && sizeof(LinkInfo) == 40);

/// An object's description, laid out as HDF5's H5O_info2_t.
struct ObjectInfo {
    unsigned long fileno;
    Token token;
    int type;
    unsigned rc;
    std::int64_t atime, mtime, ctime, btime;  // time_t
    std::uint64_t num_attrs;
};
static_assert(offsetof(ObjectInfo, token) == 8 && offsetof(ObjectInfo, num_attrs) == 64 && sizeof(ObjectInfo) == 72);

/// The calls, resolved from the library.
struct Api {
    herr_t (*open)();
    hid_t* native_uint8;  // H5T_NATIVE_UINT8_g, valid once `open` ran
    hid_t (*dataset_open)(hid_t, const char*, hid_t);
    hid_t (*dataset_space)(hid_t);
    hid_t (*dataset_type)(hid_t);
    herr_t (*dataset_read)(hid_t, hid_t, hid_t, hid_t, hid_t, void*);
    herr_t (*dataset_write)(hid_t, hid_t, hid_t, hid_t, hid_t, const void*);
    hid_t (*dataset_create_anon)(hid_t, hid_t, hid_t, hid_t, hid_t);
    herr_t (*dataset_close)(hid_t);
    hid_t (*space_create)(int, const hsize_t*, const hsize_t*);
    int (*space_class)(hid_t);
    int (*space_dims)(hid_t, hsize_t*, hsize_t*);
    int (*space_rank)(hid_t);
    herr_t (*space_select_hyperslab)(hid_t, int, const hsize_t*, const hsize_t*, const hsize_t*, const hsize_t*);
    herr_t (*space_close)(hid_t);
    herr_t (*link_info)(hid_t, const char*, LinkInfo*, hid_t);
    herr_t (*link_delete)(hid_t, const char*, hid_t);
    herr_t (*link_move)(hid_t, const char*, hid_t, const char*, hid_t, hid_t);
    herr_t (*object_info)(hid_t, ObjectInfo*, unsigned);
    hid_t (*object_open_by_token)(hid_t, Token);
    herr_t (*object_close)(hid_t);
    int (*incr_refcount)(hid_t);
    int (*decr_refcount)(hid_t);
    hid_t (*group_create)(hid_t, const char*, hid_t, hid_t, hid_t);
    herr_t (*group_close)(hid_t);
    herr_t (*object_link)(hid_t, hid_t, const char*, hid_t, hid_t);
    herr_t (*file_size)(hid_t, hsize_t*);
    herr_t (*link_visit)(hid_t, int, int, LinkVisitor, void*);
    herr_t (*link_iterate)(hid_t, int, int, hsize_t*, LinkVisitor, void*);
    herr_t (*clear_errors)(hid_t);
    int (*attribute_exists)(hid_t, const char*);
    hid_t (*attribute_open)(hid_t, const char*, hid_t);
    hid_t (*attribute_type)(hid_t);
    hid_t (*attribute_space)(hid_t);
    herr_t (*attribute_read)(hid_t, hid_t, void*);
    herr_t (*attribute_close)(hid_t);
    int (*type_class)(hid_t);
    int (*type_is_variable_string)(hid_t);
    int (*type_cset)(hid_t);
    hid_t* c_string;  // H5T_C_S1_g
    hid_t (*type_copy)(hid_t);
    herr_t (*type_set_size)(hid_t, std::size_t);
    herr_t (*type_set_cset)(hid_t, int);
    herr_t (*type_close)(hid_t);
    std::size_t (*type_size)(hid_t);
    int (*type_sign)(hid_t);
    herr_t (*free_memory)(void*);
};
Api api{};

/// Raises OSError for a failed HDF5 call, after clearing HDF5's error stack; returns -1.
int fail(const char* what, const char* name = nullptr) {
    api.clear_errors(error_stack);
    if (name)
        PyErr_Format(PyExc_OSError, "Unable to %s '%s' (HDF5 reported an error)", what, name);
    else
        PyErr_Format(PyExc_OSError, "Unable to %s (HDF5 reported an error)", what);
    return -1;
}

}  // namespace

int load(const char* h5py_defs_path) {
    void* lib = dlopen(h5py_defs_path, RTLD_LAZY | RTLD_NOLOAD);
    bool ok = lib != nullptr;
    auto find = [&](auto& fn, const char* symbol) {
        void* found = ok ? dlsym(lib, symbol) : nullptr;
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(found);
        if (ok && !found) PyErr_Format(PyExc_ImportError, "h5py's HDF5 library lacks %s", symbol);
        ok = ok && found;
    };
    find(api.open, "H5open");
    find(api.native_uint8, "H5T_NATIVE_UINT8_g");
    find(api.dataset_open, "H5Dopen2");
    find(api.dataset_space, "H5Dget_space");
    find(api.dataset_type, "H5Dget_type");
    find(api.dataset_read, "H5Dread");
    find(api.dataset_write, "H5Dwrite");
    find(api.dataset_create_anon, "H5Dcreate_anon");
    find(api.dataset_close, "H5Dclose");
    find(api.space_create, "H5Screate_simple");
    find(api.space_class, "H5Sget_simple_extent_type");
    find(api.space_dims, "H5Sget_simple_extent_dims");
    find(api.space_rank, "H5Sget_simple_extent_ndims");
    find(api.space_select_hyperslab, "H5Sselect_hyperslab");
    find(api.space_close, "H5Sclose");
    find(api.link_info, "H5Lget_info2");
    find(api.link_delete, "H5Ldelete");
    find(api.link_move, "H5Lmove");
    find(api.object_info, "H5Oget_info3");
    find(api.object_open_by_token, "H5Oopen_by_token");
    find(api.object_close, "H5Oclose");
    find(api.incr_refcount, "H5Oincr_refcount");
    find(api.decr_refcount, "H5Odecr_refcount");
    find(api.group_create, "H5Gcreate2");
    find(api.group_close, "H5Gclose");
    find(api.object_link, "H5Olink");
    find(api.file_size, "H5Fget_filesize");
    find(api.link_visit, "H5Lvisit2");
    find(api.link_iterate, "H5Literate2");
    find(api.clear_errors, "H5Eclear2");
    find(api.attribute_exists, "H5Aexists");
    find(api.attribute_open, "H5Aopen");
    find(api.attribute_type, "H5Aget_type");
    find(api.attribute_space, "H5Aget_space");
    find(api.attribute_read, "H5Aread");
    find(api.attribute_close, "H5Aclose");
    find(api.type_class, "H5Tget_class");
    find(api.type_is_variable_string, "H5Tis_variable_str");
    find(api.type_cset, "H5Tget_cset");
    find(api.c_string, "H5T_C_S1_g");
    find(api.type_copy, "H5Tcopy");
    find(api.type_set_size, "H5Tset_size");
    find(api.type_set_cset, "H5Tset_cset");
    find(api.type_close, "H5Tclose");
    find(api.type_size, "H5Tget_size");
    find(api.type_sign, "H5Tget_sign");
    find(api.free_memory, "H5free_memory");
    if (!lib && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot find h5py's library %s", h5py_defs_path);
    if (!ok) return -1;
    if (api.open() < 0) {
        PyErr_SetString(PyExc_ImportError, "HDF5 failed to initialise");
        return -1;
    }
    return 0;
}

void Id::reset() {
    if (id_ >= 0 && close_(id_) < 0) api.clear_errors(error_stack);
    id_ = -1;
}

int Id::close() {
    hid_t id = std::exchange(id_, -1);
    return id >= 0 && close_(id) < 0 ? fail("close a dataset") : 0;
}

Lock::Lock(PyObject* phil) {
    if (py::call_method(phil, G.names.acquire)) phil_ = Ref::borrow(phil);
}

Lock::~Lock() {
    if (!phil_) return;
    // Keeps any error in flight: releasing must not lose it.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!py::call_method(phil_.get(), G.names.release)) PyErr_WriteUnraisable(phil_.get());
    PyErr_Restore(type, value, tb);
}

hid_t id_of(PyObject* h5py_object) {
    Ref value = Ref::steal(PyObject_GetAttr(h5py_object, G.names.id));
    long long id = value ? PyLong_AsLongLong(value.get()) : -1;
    if (id < 0 && !PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "an h5py object without a valid identifier");
    return id;
}

int link_token(hid_t file, const char* name, Token& token) {
    LinkInfo info;
    if (api.link_info(file, name, &info, defaults) < 0) {
        api.clear_errors(error_stack);
        return 1;  // HDF5 does not tell a missing name from other failures here; readers find out
    }
    if (info.type != hard_link) return 1;
    token = info.token;
    return 0;
}

int object_token(hid_t object, Token& token) {
    constexpr unsigned basic = 1;  // H5O_INFO_BASIC
    ObjectInfo info;
    if (api.object_info(object, &info, basic) < 0) return fail("read the token of a new object");
    token = info.token;
    return 0;
}

int open_dataset(hid_t file, const char* name, Id& out) {
    hid_t id = api.dataset_open(file, name, defaults);
    if (id < 0) return fail("open the dataset", name);
    out = Id(id, api.dataset_close);
    return 0;
}

Ref read_bytes(hid_t dataset, PyObject* key) {
    Id space(api.dataset_space(dataset), api.space_close);
    if (!space) {
        fail("read the dataspace of", PyUnicode_AsUTF8(key));
        return {};
    }
    int kind = api.space_class(space.get());
    if (kind == null_space) {
        PyErr_Format(PyExc_ValueError, "the dataset %R has no shape (a null dataspace) and holds no table", key);
        return {};
    }
    int rank = api.space_rank(space.get());
    hsize_t dims[32];
    if (kind < 0 || rank < 0 || rank > 32 || api.space_dims(space.get(), dims, nullptr) < 0) {
        fail("read the dataspace of", PyUnicode_AsUTF8(key));
        return {};
    }
    npy_intp n = 1;
    for (int d = 0; d < rank; ++d) {
        if (dims[d] > static_cast<hsize_t>(NPY_MAX_INTP) || __builtin_mul_overflow(n, static_cast<npy_intp>(dims[d]), &n)) {
            PyErr_Format(PyExc_OverflowError, "the dataset %R is too large to hold a table", key);
            return {};
        }
    }
    // A table is a one-dimensional array of bytes: HDF5 would convert any other shape or type.
    Id type(api.dataset_type(dataset), api.type_close);
    std::size_t width = type ? api.type_size(type.get()) : 0;
    if (!type || width == 0) {
        fail("read the type of", PyUnicode_AsUTF8(key));
        return {};
    }
    if (rank != 1 || width != 1 || api.type_class(type.get()) != integer_class ||
        api.type_sign(type.get()) != unsigned_sign) {
        PyErr_Format(PyExc_ValueError, "the dataset %R holds no table: not a one-dimensional array of bytes", key);
        return {};
    }
    Ref array = Ref::steal(PyArray_SimpleNew(1, &n, NPY_UINT8));
    if (!array) return {};
    void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
    if (n > 0 && api.dataset_read(dataset, *api.native_uint8, all, all, defaults, data) < 0) {
        fail("read the dataset", PyUnicode_AsUTF8(key));
        return {};
    }
    return array;
}

int create_bytes(hid_t file, const void* data, std::size_t size, hid_t dcpl, Id& out) {
    hsize_t dims[] = {size};
    Id space(api.space_create(1, dims, nullptr), api.space_close);
    if (!space) return fail("create a dataspace");
    hid_t id = api.dataset_create_anon(file, *api.native_uint8, space.get(), dcpl, defaults);
    if (id < 0) return fail("create a dataset");
    out = Id(id, api.dataset_close);
    if (size > 0 && api.dataset_write(id, *api.native_uint8, all, all, defaults, data) < 0) return fail("write a dataset");
    return 0;
}

int link(hid_t object, hid_t file, const char* name, hid_t lcpl) {
    return api.object_link(object, file, name, lcpl, defaults) < 0 ? fail("create the link", name) : 0;
}

int unlink(hid_t file, const char* name) {
    return api.link_delete(file, name, defaults) < 0 ? fail("remove the link", name) : 0;
}

int create_group(hid_t file, const char* name, Id& out) {
    hid_t id = api.group_create(file, name, defaults, defaults, defaults);
    if (id < 0) return fail("create the group", name);
    out = Id(id, api.group_close);
    return 0;
}

int move(hid_t file, const char* name, hid_t group, const char* to) {
    return api.link_move(file, name, group, to, defaults, defaults) < 0 ? fail("move the link", name) : 0;
}

int adjust_link_count(hid_t object, int by) {
    int status = by > 0 ? api.incr_refcount(object) : api.decr_refcount(object);
    return status < 0 ? fail("adjust the link count of replaced datasets' group") : 0;
}

int open_by_token(hid_t file, const Token& token, Id& out) {
    hid_t id = api.object_open_by_token(file, token);
    if (id < 0) return fail("open replaced datasets' group");
    out = Id(id, api.object_close);
    return 0;
}

int dataset_size(hid_t location, const char* name, hsize_t& size) {
    Id dataset(api.dataset_open(location, name, defaults), api.dataset_close);
    Id space(dataset ? api.dataset_space(dataset.get()) : -1, api.space_close);
    hsize_t dims[32];
    int rank = space ? api.space_rank(space.get()) : -1;
    if (rank < 0 || rank > 32 || api.space_dims(space.get(), dims, nullptr) < 0) {
        api.clear_errors(error_stack);
        return 1;
    }
    size = 1;
    for (int d = 0; d < rank; ++d) size *= dims[d];
    return 0;
}

int visit_links(hid_t group, LinkVisitor visit, void* data) {
    constexpr int by_name = 0, native_order = 2;  // H5_INDEX_NAME, H5_ITER_NATIVE
    return api.link_visit(group, by_name, native_order, visit, data) < 0 ? fail("list the tables") : 0;
}

int iterate_links(hid_t group, LinkVisitor visit, void* data) {
    constexpr int by_name = 0, native_order = 2;  // H5_INDEX_NAME, H5_ITER_NATIVE
    herr_t status = api.link_iterate(group, by_name, native_order, nullptr, visit, data);
    return status < 0 ? fail("list the tables") : status;
}

int read_text_attribute(hid_t location, const char* name, Ref& out) {
    constexpr int scalar = 0, string_class = 3, utf8 = 1;  // H5S_SCALAR, H5T_STRING, H5T_CSET_UTF8
    constexpr std::size_t variable = static_cast<std::size_t>(-1);  // H5T_VARIABLE
    out = Ref{};
    Id attribute(api.attribute_open(location, name, defaults), api.attribute_close);
    if (!attribute) {  // asked only now: the attribute is nearly always there
        api.clear_errors(error_stack);
        int exists = api.attribute_exists(location, name);
        if (exists < 0) api.clear_errors(error_stack);
        return exists == 0 ? 0 : 1;
    }
    Id type(attribute ? api.attribute_type(attribute.get()) : -1, api.type_close);
    Id space(attribute ? api.attribute_space(attribute.get()) : -1, api.space_close);
    if (!type || !space || api.space_class(space.get()) != scalar || api.type_class(type.get()) != string_class ||
        api.type_is_variable_string(type.get()) <= 0 || api.type_cset(type.get()) != utf8) {
        api.clear_errors(error_stack);
        return 1;
    }
    // A variable-length UTF-8 text in memory, made once and kept for the process.
    static const hid_t memory = [] {
        hid_t text_type = api.type_copy(*api.c_string);
        if (text_type >= 0 && (api.type_set_size(text_type, variable) < 0 || api.type_set_cset(text_type, utf8) < 0)) {
            api.type_close(text_type);
            return hid_t{-1};
        }
        return text_type;
    }();
    char* text = nullptr;
    if (memory < 0 || api.attribute_read(attribute.get(), memory, &text) < 0) {
        api.clear_errors(error_stack);
        return 1;
    }
    out = Ref::steal(PyUnicode_FromString(text ? text : ""));
    if (text) api.free_memory(text);
    return out ? 0 : -1;
}

int byte_count(hid_t dataset, hsize_t& size) {
    Id space(api.dataset_space(dataset), api.space_close);
    hsize_t dims[32];
    int rank = space ? api.space_rank(space.get()) : -1;
    if (rank < 0 || rank > 32 || api.space_dims(space.get(), dims, nullptr) < 0) return fail("read the dataspace of a dataset");
    if (rank != 1) {
        PyErr_Format(PyExc_ValueError, "a dataset of rank %d holds no table", rank);
        return -1;
    }
    size = dims[0];
    return 0;
}

int read_part(hid_t dataset, hsize_t offset, hsize_t count, void* out) {
    constexpr int select_set = 0;  // H5S_SELECT_SET
    if (count == 0) return 0;
    Id space(api.dataset_space(dataset), api.space_close);
    Id memory(api.space_create(1, &count, nullptr), api.space_close);
    if (!space || !memory || api.space_select_hyperslab(space.get(), select_set, &offset, nullptr, &count, nullptr) < 0 ||
        api.dataset_read(dataset, *api.native_uint8, memory.get(), space.get(), defaults, out) < 0)
        return fail("read part of a dataset");
    return 0;
}

int file_size(hid_t file, hsize_t& size) { return api.file_size(file, &size) < 0 ? fail("read the file size") : 0; }

}  // namespace quorlin::hdf5
