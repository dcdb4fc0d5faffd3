// HDF5 through the library h5py has loaded: the calls the store makes for each table, resolved once
// from that library (never a second copy of HDF5 in the process), with identifiers owned by a small
// RAII type and h5py's lock held around every sequence of calls.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "py/ref.hpp"

namespace quorlin::hdf5 {

using hid_t = std::int64_t;
using herr_t = int;
using hsize_t = std::uint64_t;

/// Where an object lives in its file; a dataset keeps it for its life, and a new dataset gets a new one
/// unless it reuses freed space.
struct Token {
    unsigned char bytes[16];
    bool operator==(const Token& other) const { return std::memcmp(bytes, other.bytes, sizeof bytes) == 0; }
};

/// Resolves the calls from the HDF5 library that h5py's extension `h5py_defs_path` links. 0, or -1 with ImportError.
int load(const char* h5py_defs_path);

/// One open HDF5 identifier, closed with its own kind's close call on every path.
class Id {
public:
    Id() = default;
    Id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    Id(Id&& other) noexcept : id_(std::exchange(other.id_, -1)), close_(other.close_) {}
    Id& operator=(Id&& other) noexcept {
        reset();
        id_ = std::exchange(other.id_, -1);
        close_ = other.close_;
        return *this;
    }
    ~Id() { reset(); }
    hid_t get() const { return id_; }
    explicit operator bool() const { return id_ >= 0; }
    /// Closes the identifier now: 0, or -1 with OSError (closing a dataset writes what it buffered).
    int close();

private:
    void reset();
    hid_t id_ = -1;
    herr_t (*close_)(hid_t) = nullptr;
};

/// h5py's lock around calls into HDF5, held from construction to destruction. Check `ok()`.
class Lock {
public:
    explicit Lock(PyObject* phil);
    ~Lock();
    bool ok() const { return static_cast<bool>(phil_); }

private:
    py::Ref phil_;
};

/// The HDF5 identifier of an h5py object (`obj.id`), or -1 with an error set.
hid_t id_of(PyObject* h5py_object);

/// The token of the object the name `name` links to: 0, 1 when there is no such link, -1 with an error.
int link_token(hid_t file, const char* name, Token& token);

/// The token of the open object `object`.
int object_token(hid_t object, Token& token);

/// Opens the dataset `name`.
int open_dataset(hid_t file, const char* name, Id& out);

/// The whole content of the open dataset `dataset`, flattened, as a new uint8 array. The extent is
/// checked: a null dataspace, or more bytes than an array can hold, raise ValueError or OverflowError
/// naming `key`.
py::Ref read_bytes(hid_t dataset, PyObject* key);

/// A new anonymous one-dimensional uint8 dataset holding `size` bytes from `data`, not yet linked.
int create_bytes(hid_t file, const void* data, std::size_t size, hid_t dcpl, Id& out);

/// Links the open object `object` under `name`, with the link creation properties `lcpl`.
int link(hid_t object, hid_t file, const char* name, hid_t lcpl);

/// Removes the link `name`.
int unlink(hid_t file, const char* name);

/// A new group `name`. When its last name goes and it closes, it is deleted, and every object only
/// its links lead to.
int create_group(hid_t file, const char* name, Id& out);

/// Moves the link `name` of `file` into `group`, as `to`.
int move(hid_t file, const char* name, hid_t group, const char* to);

/// Raises or lowers the count of names recorded in the header of the open object `object`.
int adjust_link_count(hid_t object, int by);

/// Opens the object at `token`.
int open_by_token(hid_t file, const Token& token, Id& out);

/// The number of elements of the dataset `name` in `location`: 0, or 1 when `name` is no dataset
/// (no error is set).
int dataset_size(hid_t location, const char* name, hsize_t& size);

/// A callback of `visit_links`: (group, path, link info, data); nonzero stops the visit.
using LinkVisitor = herr_t (*)(hid_t, const char*, const void*, void*);

/// Calls `visit` for every link under the group `group`, in its subgroups too.
int visit_links(hid_t group, LinkVisitor visit, void* data);

/// Calls `visit` for every link of the group `group` itself, opening no object: 0, or the positive
/// value with which a callback stopped, or -1 with an error.
int iterate_links(hid_t group, LinkVisitor visit, void* data);

/// The attribute `name` of `location` when it is one text, as h5py writes a `str`: 0 with `out` set
/// (left empty when there is no such attribute), 1 for any other kind of attribute (no error set:
/// read it through h5py), -1 with an error.
int read_text_attribute(hid_t location, const char* name, py::Ref& out);

/// The number of bytes of the open one-dimensional dataset `dataset` (ValueError for another rank).
int byte_count(hid_t dataset, hsize_t& size);

/// Reads `count` bytes of the open one-dimensional dataset `dataset`, from byte `offset` on, into `out`.
int read_part(hid_t dataset, hsize_t offset, hsize_t count, void* out);

/// The size of the file in bytes, as HDF5 sees it.
int file_size(hid_t file, hsize_t& size);

}  // namespace quorlin::hdf5
