// The store: one HDF5 file of serialised tables with a table cache, the preprocessors that turn
// layer outputs into one row per input, and the two operations that add and search activations.
#include "py/numpy.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "db.hpp"
#include "journal.hpp"
#include "kernels/order.hpp"
#include "py/args.hpp"
#include "py/func.hpp"
#include "py/instance.hpp"
#include "py/ref.hpp"
#include "state.hpp"

namespace quorlin {
namespace {

using py::Ref;

/// h5py's low-level entry points and the creation properties its high-level API uses.
struct H5 {
    PyObject* File;
    PyObject* dataset_create;  // h5d.create
    PyObject* dataset_open;    // h5d.open
    PyObject* object_link;     // h5o.link
    PyObject* space_create;    // h5s.create_simple
    PyObject* space_all;       // h5s.ALL
    PyObject* uint8_type;      // h5t type of numpy.uint8
    PyObject* dcpl;            // no chunking, no filters, object timestamps off
    PyObject* lcpl_ascii;      // intermediate groups on, ASCII names
    PyObject* lcpl_utf8;       // the same for names outside ASCII
    PyObject* uint8;           // numpy.uint8
    PyObject* phil;            // h5py's lock around calls into HDF5
    // HDF5 calls h5py does not wrap; hid_t is int64_t and herr_t int.
    int (*incr_refcount)(std::int64_t);                      // H5Oincr_refcount
    int (*decr_refcount)(std::int64_t);                      // H5Odecr_refcount
};
H5 h5{};

/// A DB instance: the ordinary attribute dict, plus the keys whose last write to the file failed,
/// which stay marked changed even though their tables' flags say clean, and what it takes to undo
/// a failed write.
struct Store {
    py::Instance base;
    PyObject* unwritten;  // set of table keys
    PyObject* retired;    // list of replaced datasets (h5py ids) kept alive until the next write
    PyObject* journal;    // bytes: the absolute "<store>-journal", fixed at open; null: none is kept
    PyObject* reopen;     // (args, kwargs) for h5py.File that open the same file again, untruncated
    bool failed;          // a write failed and the file could not be restored: writes are refused
};

Store& store_of(PyObject* self) { return *reinterpret_cast<Store*>(self); }
PyObject* unwritten_of(PyObject* self) { return store_of(self).unwritten; }
PyObject* retired_of(PyObject* self) { return store_of(self).retired; }

Ref attr(PyObject* obj, PyObject* name) { return py::getattr(obj, name); }

/// Truth of `obj.<name>`, or -1.
int attr_true(PyObject* obj, PyObject* name) {
    Ref v = attr(obj, name);
    return v ? PyObject_IsTrue(v.get()) : -1;
}

/// Calls `obj.name(**{kw: value})`.
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kw, PyObject* value) {
    PyObject* argv[] = {obj, value};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, kw));
    return kwnames ? Ref::steal(PyObject_VectorcallMethod(name, argv, 1, kwnames.get())) : Ref{};
}

/// A dataset name as h5py encodes it, with the matching link creation properties.
int encode_name(PyObject* key, Ref& name, PyObject*& lcpl) {
    if (!PyUnicode_Check(key)) {
        Ref type = Ref::steal(PyObject_Repr(reinterpret_cast<PyObject*>(Py_TYPE(key))));
        if (type) PyErr_Format(PyExc_TypeError, "A name should be string or bytes, not %U", type.get());
        return -1;
    }
    bool ascii = PyUnicode_IS_ASCII(key);
    name = Ref::steal(PyUnicode_AsUTF8String(key));
    lcpl = ascii ? h5.lcpl_ascii : h5.lcpl_utf8;
    return name ? 0 : -1;
}

/// Reads the whole dataset `key` as a new uint8 array (KeyError when the file has none).
Ref read_dataset(PyObject* file, PyObject* key) {
    Ref name;
    PyObject* lcpl;
    if (encode_name(key, name, lcpl) < 0) return {};
    Ref fid = attr(file, G.names.id);
    Ref dsid = fid ? py::call(h5.dataset_open, fid.get(), name.get()) : Ref{};
    Ref space = dsid ? py::call_method(dsid.get(), G.names.get_space) : Ref{};
    Ref dims = space ? py::call_method(space.get(), G.names.get_simple_extent_dims) : Ref{};
    if (!dims) return {};
    if (!PyTuple_Check(dims.get())) {
        PyErr_Format(PyExc_ValueError, "the dataset %R has no shape (a null dataspace) and holds no table", key);
        return {};
    }
    npy_intp n = 1;
    for (Py_ssize_t d = 0; d < PyTuple_GET_SIZE(dims.get()); ++d) {
        Py_ssize_t extent = PyLong_AsSsize_t(PyTuple_GET_ITEM(dims.get(), d));
        if (extent == -1 && PyErr_Occurred()) return {};
        if (extent < 0 || __builtin_mul_overflow(n, extent, &n)) {
            PyErr_Format(PyExc_OverflowError, "the dataset %R is too large to hold a table", key);
            return {};
        }
    }
    Ref array = Ref::steal(PyArray_SimpleNew(1, &n, NPY_UINT8));
    if (!array) return {};
    if (n > 0 && !py::call_method(dsid.get(), G.names.read, h5.space_all, h5.space_all, array.get())) return {};
    return array;
}

/// Creates an anonymous one-dimensional uint8 dataset holding `bytes`, not yet linked into the file.
Ref create_dataset(PyObject* fid, PyObject* bytes) {
    Py_ssize_t n = PyBytes_GET_SIZE(bytes);
    Ref shape = Ref::steal(Py_BuildValue("(n)", n));
    Ref space = shape ? py::call(h5.space_create, shape.get()) : Ref{};
    if (!space) return {};
    PyObject* argv[] = {fid, Py_None, h5.uint8_type, space.get(), h5.dcpl};
    Ref dsid = Ref::steal(PyObject_Vectorcall(h5.dataset_create, argv, 5, nullptr));
    if (!dsid || n == 0) return dsid;
    npy_intp len = n;
    // A uint8 view of the bytes, without copying them.
    Ref view = Ref::steal(PyArray_New(&PyArray_Type, 1, &len, NPY_UINT8, nullptr, PyBytes_AS_STRING(bytes), 0, 0, nullptr));
    if (!view || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Py_NewRef(bytes)) < 0) return {};
    if (!py::call_method(dsid.get(), G.names.write, h5.space_all, h5.space_all, view.get())) return {};
    return dsid;
}

/// Opens the dataset `name` into `out`, left empty when the file has none.
int open_existing(PyObject* fid, PyObject* name, Ref& out) {
    out = py::call(h5.dataset_open, fid, name);
    if (out || !PyErr_ExceptionMatches(PyExc_KeyError)) return out ? 0 : -1;
    PyErr_Clear();
    return 0;
}

int link_dataset(PyObject* dsid, PyObject* fid, PyObject* name, PyObject* lcpl) {
    PyObject* argv[] = {dsid, fid, name, lcpl};
    return Ref::steal(PyObject_Vectorcall(h5.object_link, argv, 4, nullptr)) ? 0 : -1;
}

/// The HDF5 identifier of an h5py object.
int hdf5_id(PyObject* obj, std::int64_t& id) {
    Ref value = attr(obj, G.names.id);
    id = value ? PyLong_AsLongLong(value.get()) : -1;
    return id == -1 && PyErr_Occurred() ? -1 : 0;
}

/// Raises or lowers the count of names recorded in the header of the object `obj`, directly
/// through HDF5 under h5py's lock.
int adjust_link_count(PyObject* obj, int by) {
    std::int64_t id;
    if (hdf5_id(obj, id) < 0 || !py::call_method(h5.phil, G.names.acquire)) return -1;
    int status = by > 0 ? h5.incr_refcount(id) : h5.decr_refcount(id);
    if (!py::call_method(h5.phil, G.names.release)) return -1;
    if (status < 0) PyErr_SetString(PyExc_OSError, "Unable to adjust the link count of a table's dataset");
    return status < 0 ? -1 : 0;
}

/// Lets go of the datasets replaced by earlier writes: each loses the count that kept it alive
/// and is freed as it closes. This runs inside a journaled change, so that the space they give
/// back, which may shorten the file, is given back only under the journal.
int release_retired(PyObject* self) {
    PyObject* retired = retired_of(self);
    for (Py_ssize_t j = PyList_GET_SIZE(retired); j-- > 0;) {
        Ref dataset = Ref::borrow(PyList_GET_ITEM(retired, j));
        if (PyList_SetSlice(retired, j, j + 1, nullptr) < 0 || adjust_link_count(dataset.get(), -1) < 0) return -1;
    }
    return 0;
}

/// Keeps HDF5's metadata cache from writing anything to the file until `restore`: a process killed
/// in the middle of a write then leaves the file as the last flush made it.
struct MetadataHold {
    Ref fid, saved;
    int hold(PyObject* file_id) {
        fid = Ref::borrow(file_id);
        saved = py::call_method(fid.get(), G.names.get_mdc_config);
        Ref config = saved ? py::call_method(fid.get(), G.names.get_mdc_config) : Ref{};
        if (!config) return -1;
        const auto& n = G.names;
        Ref off = Ref::steal(PyLong_FromLong(0));  // the "off" value of the three resize modes
        if (PyObject_SetAttr(config.get(), n.evictions_enabled, Py_False) < 0 ||
            PyObject_SetAttr(config.get(), n.incr_mode, off.get()) < 0 ||
            PyObject_SetAttr(config.get(), n.flash_incr_mode, off.get()) < 0 ||
            PyObject_SetAttr(config.get(), n.decr_mode, off.get()) < 0)
            return -1;
        return py::call_method(fid.get(), n.set_mdc_config, config.get()) ? 0 : -1;
    }
    /// Lets the cache evict again (memory stays bounded between calls); keeps any error in flight.
    void restore() {
        if (!saved) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (!py::call_method(fid.get(), G.names.set_mdc_config, saved.get())) {
            if (type) PyErr_Clear();
        }
        if (type) PyErr_Restore(type, value, tb);
        saved = Ref{};
    }
    ~MetadataHold() { restore(); }
};

/// Takes (F_WRLCK) or drops (F_UNLCK) the store's own lock on the whole file open as `fd`. A writer
/// holds it while its journal may be needed, and recovery takes it before touching a journal; it is
/// independent of HDF5's lock, so it holds also where HDF5's file locking is turned off.
int own_lock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &lock);
}

constexpr std::uint64_t reserve_margin = 64 << 10;  // for the metadata of a change, beyond its tables
constexpr std::uint64_t reserve_per_table = 1 << 10;  // a table takes about 400 bytes of it

/// Allocates `bytes` past the end of the file open as `fd` without changing its length, so that a
/// change that writes at most that much there cannot meet a full disk (or the process's file size
/// limit) halfway, inside HDF5, which does not recover from it. File systems that cannot reserve
/// space get no reservation.
int reserve_space(int fd, std::uint64_t bytes) {
    struct stat st;
    struct rlimit limit;
    if (fstat(fd, &st) < 0 || getrlimit(RLIMIT_FSIZE, &limit) < 0) return -1;
    if (limit.rlim_cur != RLIM_INFINITY && static_cast<std::uint64_t>(st.st_size) + bytes > limit.rlim_cur) {
        errno = EFBIG;
        return -1;
    }
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, static_cast<off_t>(bytes)) == 0) return 0;
    return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : -1;
}

/// Raises OSError from errno for `path` and returns -1.
int os_error(const std::string& path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    return -1;
}

/// The store file a journal path belongs to.
std::string store_of_journal(const std::string& journal) { return journal.substr(0, journal.size() - 8); }

/// The journal of one change: written by `begin` before the change, deleted by `commit` once the
/// change is flushed, and otherwise left in place for `undo_failed_write` or the next open. Only
/// stores in one POSIX file (h5py's "sec2" driver) opened for writing keep one.
struct RootJournal {
    std::string path;  // empty: no journal protects this change
    int fd = -1;       // HDF5's descriptor of the store, under the store's own lock

    int begin(PyObject* self, PyObject* file, std::uint64_t payload) {
        PyObject* target = store_of(self).journal;
        if (!target) return 0;
        Ref fid = attr(file, G.names.id);
        Ref handle = fid ? Ref::steal(PyObject_CallMethod(fid.get(), "get_vfd_handle", nullptr)) : Ref{};
        long descriptor = handle ? PyLong_AsLong(handle.get()) : -1;
        if (descriptor == -1 && PyErr_Occurred()) return -1;
        std::string journal = PyBytes_AS_STRING(target), store = store_of_journal(journal);
        if (descriptor < 0 || descriptor > INT_MAX || own_lock(static_cast<int>(descriptor), F_WRLCK) < 0) {
            if (descriptor < 0 || descriptor > INT_MAX) errno = EBADF;
            return os_error(store);
        }
        fd = static_cast<int>(descriptor);
        std::vector<journal::Block> blocks;
        int found = journal::root_blocks(fd, blocks);
        int status = found == 0 ? journal::write(journal, fd, blocks) : found;
        if (status < 0) return os_error(found < 0 ? store : journal);
        if (status > 0) return 0;  // a layout this journal cannot follow
        // Room for the new data, and for the root group's blocks to grow and move.
        std::uint64_t root = 0;
        for (const auto& b : blocks) root += b.size;
        if (reserve_space(fd, payload + 2 * root + reserve_margin) < 0) {
            int saved = errno;
            unlink(journal.c_str());  // nothing changed
            errno = saved;
            return os_error(store);
        }
        path = std::move(journal);
        return 0;
    }
    /// The change reached the file, so the journal goes. 0, or -1 with OSError.
    int commit() {
        if (path.empty() || unlink(path.c_str()) == 0 || errno == ENOENT) return path.clear(), 0;
        return os_error(path);
    }
    ~RootJournal() {
        if (fd >= 0) own_lock(fd, F_UNLCK);
    }
};

constexpr char failed_store_message[] =
    "a write to this store failed and its file could not be restored; open the store again";

/// After the journal `journal_path` was written back: HDF5's handle on the file is gone, so the
/// replaced datasets it kept alive go too, and the file is opened again as it was opened before.
int reopen(PyObject* self) {
    const Store& s = store_of(self);
    if (PyList_SetSlice(s.retired, 0, PyList_GET_SIZE(s.retired), nullptr) < 0) return -1;
    Ref file = Ref::steal(PyObject_Call(h5.File, PyTuple_GET_ITEM(s.reopen, 0), PyTuple_GET_ITEM(s.reopen, 1)));
    return file ? PyObject_SetAttr(self, G.names.file, file.get()) : -1;
}

/// Closes HDF5's handle on `file`, whose memory may hold part of a failed change (what HDF5 writes
/// as it closes lands under the journal), writes the journal back and opens the file again.
int restore_file(PyObject* self, PyObject* file, const std::string& journal_path) {
    if (!py::call_method(file, G.names.close)) return -1;  // HDF5 may still hold the file: the journal stays
    std::string store = store_of_journal(journal_path);
    int fd = open(store.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return os_error(store);
    journal::Outcome outcome;
    int status = journal::roll_back(journal_path, fd, outcome);
    int saved = errno;
    close(fd);
    errno = saved;
    if (status < 0) return os_error(journal_path);
    if (outcome != journal::Outcome::applied) {
        PyErr_SetString(PyExc_OSError, "the store's journal no longer matches its file");
        return -1;
    }
    return reopen(self);
}

/// A change or its flush failed, and HDF5's memory may hold part of it, which it would write out
/// later. With a journal the file is restored and opened again, so the store goes on from its
/// state before the call; without one, or when that fails, the store refuses further writes.
/// Returns -1 with the call's error in flight.
int undo_failed_write(PyObject* self, PyObject* file, RootJournal& journal) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Store& s = store_of(self);
    s.failed = true;
    if (!journal.path.empty()) {
        journal.fd = -1;  // closed with the file, and its lock with it
        s.failed = restore_file(self, file, journal.path) < 0;
        if (s.failed) PyErr_Clear();  // the call's own error is the one to report
    }
    PyErr_Restore(type, value, tb);
    return -1;
}

/// Makes a change to the file and writes it out so that the file is left as it was before or
/// after the change: by a process killed at any moment (the metadata cache holds the change back,
/// and the journal of the root group's blocks is written before it and outlives the flush), and by
/// a change or flush that fails (`undo_failed_write`).
template <class Change>
int write_file(PyObject* self, PyObject* file, std::uint64_t payload, Change change) {
    if (store_of(self).failed) {
        PyErr_SetString(PyExc_OSError, failed_store_message);
        return -1;
    }
    Ref fid = attr(file, G.names.id);
    MetadataHold hold;
    RootJournal journal;
    if (!fid || hold.hold(fid.get()) < 0 || journal.begin(self, file, payload) < 0) return -1;  // nothing changed yet
    int status = change();
    hold.restore();
    if (status == 0 && py::call_method(file, G.names.flush) && journal.commit() == 0) return 0;
    return undo_failed_write(self, file, journal);
}

/// One table being written: its key, encoded name, bytes, new dataset and the dataset it replaces.
struct PendingWrite {
    Ref key, name, bytes, dsid, old;
    PyObject* lcpl = nullptr;
    bool old_counted = false;  // the old dataset's link count was raised
};

/// Writes the given tables as one change of the file. Every new dataset goes into free space, so
/// a rolled-back flush leaves nothing of it that a name points to. Each replaced dataset's link
/// count is raised before its name moves, and it is kept open until the next write: its header on
/// disk never records fewer names than point to it (HDF5 refuses to unlink such an object), and
/// its space is not reused while the journal may still bring its name back. A failure while the
/// new datasets are written leaves the file unchanged. Keys stay in the store's unwritten set
/// until their dataset is linked, so a table whose swap failed is written again by the next
/// flush. Without `replace`, an existing key fails with h5py's error for a taken name.
int write_tables(PyObject* self, PyObject* file, std::vector<std::pair<Ref, Ref>>& tables, bool replace) {
    const auto& n = G.names;
    PyObject* unwritten = unwritten_of(self);
    Ref fid = attr(file, n.id);
    if (!fid) return -1;
    std::vector<PendingWrite> writes(tables.size());
    std::uint64_t payload = 0;
    int status = 0;
    for (std::size_t j = 0; j < tables.size() && status == 0; ++j) {
        PendingWrite& w = writes[j];
        w.key = Ref::borrow(tables[j].first.get());
        status = encode_name(w.key.get(), w.name, w.lcpl) < 0 || PySet_Add(unwritten, w.key.get()) < 0 ||
                         !(w.bytes = py::call_method(tables[j].second.get(), n.tobytes))  // marks the table clean
                     ? -1
                     : 0;
        if (status == 0 && !PyBytes_Check(w.bytes.get())) {
            PyErr_SetString(PyExc_TypeError, "tobytes() must return bytes");
            status = -1;
        }
        if (status == 0) payload += static_cast<std::uint64_t>(PyBytes_GET_SIZE(w.bytes.get())) + reserve_per_table;
    }
    if (status == 0) status = write_file(self, file, payload, [&]() -> int {
        if (release_retired(self) < 0) return -1;
        for (auto& w : writes) {
            if (!(w.dsid = create_dataset(fid.get(), w.bytes.get()))) return -1;
            w.bytes = Ref{};
        }
        for (auto& w : writes) {
            if (replace && open_existing(fid.get(), w.name.get(), w.old) < 0) return -1;
            if (w.old) {
                if (adjust_link_count(w.old.get(), 1) < 0) return -1;
                w.old_counted = true;
                // The name is free once unlinked, so the link that follows does not fail for want of it.
                if (!py::call_method(fid.get(), n.unlink, w.name.get())) return -1;
            }
            if (link_dataset(w.dsid.get(), fid.get(), w.name.get(), w.lcpl) < 0 || PySet_Discard(unwritten, w.key.get()) < 0)
                return -1;
            // Every unlink visits each open object of the file: keep that set from growing. Closing
            // writes out the dataset's buffered bytes, and may fail as any write.
            if (!py::call_method(w.dsid.get(), n.close)) return -1;
            w.dsid = Ref{};
        }
        return 0;
    });
    if (status < 0) {
        // The file is back where it was before the call: every table of it is unwritten again.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        for (auto& w : writes)
            if (w.key && PySet_Add(unwritten, w.key.get()) < 0) PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return -1;
    }
    for (auto& w : writes)
        if (w.old_counted && PyList_Append(retired_of(self), w.old.get()) < 0) return -1;
    return 0;
}

/// True when the cached table under `key` has changes the file lacks.
int is_changed(PyObject* self, PyObject* key, PyObject* table) {
    int clean = attr_true(table, G.names._flushed);
    if (clean < 0) return -1;
    if (!clean) return 1;
    return PySet_Contains(unwritten_of(self), key);
}

// ---------------------------------------------------------------------------------------------
// Construction, properties and the cache

constexpr char db_init_name[] = "cquorlin.DB.__init__";
QUORLIN_SIGNATURE(db_init_sig, "__init__", 1, true, true, "path", "mode", "preprocessor", "driver");

/// The absolute "<store>-journal" for the store path `path`, fixed when the store is opened.
int absolute_journal(PyObject* path, std::string& journal) {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) return -1;
    journal = PyBytes_AS_STRING(encoded.get());
    if (journal.empty() || journal[0] != '/') {
        std::vector<char> cwd(4096);
        while (!getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE) return os_error(".");
            cwd.resize(2 * cwd.size());
        }
        journal = std::string(cwd.data()) + "/" + journal;
    }
    journal += "-journal";
    return 0;
}

/// Before a store is opened: a journal left by a flush that may have stopped halfway is written
/// back, or dropped when the file is about to be truncated; one that does not match the file (or
/// that lies beside no file) is set aside with a warning. A journal is touched only under both locks
/// a live writer holds, HDF5's lock of the file and the store's own: while another process has the
/// file open, its journal is left alone and h5py then reports the lock. A file about to be
/// truncated is refused here, since HDF5 cuts it before it finds the lock taken.
int recover(const std::string& journal, bool truncating) {
    struct stat st;
    bool found = lstat(journal.c_str(), &st) == 0;
    if (!found && errno != ENOENT) return os_error(journal);
    if (!found && !truncating) return 0;
    std::string store = store_of_journal(journal);
    int fd = open(store.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno != ENOENT || !found)) return found ? os_error(store) : 0;
    journal::Outcome outcome = journal::Outcome::foreign;  // beside no file
    if (fd >= 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) < 0 || own_lock(fd, F_WRLCK) < 0) {
            bool busy = errno == EWOULDBLOCK || errno == EAGAIN || errno == EACCES;
            close(fd);
            if (!busy) return os_error(store);
            if (!truncating) return 0;
            // HDF5 would cut the file to nothing before it finds the lock taken.
            errno = EWOULDBLOCK;
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, store.c_str());
            return -1;
        }
        if (!found) {
            close(fd);
            return 0;
        }
        outcome = journal::Outcome::none;
        int status = truncating ? unlink(journal.c_str()) : journal::roll_back(journal, fd, outcome);
        int saved = errno;
        close(fd);  // and both locks with it
        errno = saved;
        if (status < 0 && errno != ENOENT) return os_error(journal);
    }
    if (outcome != journal::Outcome::foreign) return 0;
    std::string moved;
    if (journal::set_aside(journal, moved) < 0) return os_error(journal);
    Ref from = Ref::steal(PyUnicode_DecodeFSDefault(journal.c_str()));
    Ref to = from ? Ref::steal(PyUnicode_DecodeFSDefault(moved.c_str())) : Ref{};
    Ref of = to ? Ref::steal(PyUnicode_DecodeFSDefault(store.c_str())) : Ref{};
    if (!of) return -1;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "the journal %R does not belong to %R as it is now; set aside as %R",
                            from.get(), of.get(), to.get());
}

/// Keeps the journal path of a store in one POSIX file opened for writing, with the arguments that
/// open that file again, by its absolute path and without truncating it, after a failed write.
int keep_journal(PyObject* self, PyObject* file, const std::string& journal, PyObject* kw) {
    Store& s = store_of(self);
    Py_CLEAR(s.journal);
    Py_CLEAR(s.reopen);
    s.failed = false;
    Ref driver = attr(file, G.names.driver);
    Ref file_mode = driver ? attr(file, G.names.mode) : Ref{};
    if (!file_mode) return -1;
    if (journal.empty() || !PyUnicode_Check(driver.get()) || PyUnicode_CompareWithASCIIString(driver.get(), "sec2") != 0 ||
        !PyUnicode_Check(file_mode.get()) || PyUnicode_CompareWithASCIIString(file_mode.get(), "r+") != 0)
        return 0;
    std::string store = store_of_journal(journal);
    Ref path = Ref::steal(PyUnicode_DecodeFSDefault(store.c_str()));
    Ref args = path ? Ref::steal(Py_BuildValue("(Os)", path.get(), "r+")) : Ref{};
    s.reopen = args ? Py_BuildValue("(OO)", args.get(), kw) : nullptr;
    s.journal = s.reopen ? PyBytes_FromStringAndSize(journal.data(), static_cast<Py_ssize_t>(journal.size())) : nullptr;
    return s.journal ? 0 : -1;
}

int db_init_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    PyObject* extra_raw = nullptr;
    int parsed = py::parse_tuple(db_init_sig, args, kwargs, a, &extra_raw);
    Ref extra = Ref::steal(extra_raw);
    if (parsed < 0 || py::check_str_or_none(a[0], "path") < 0) return -1;
    const auto& n = G.names;
    Ref mode = a[1] ? Ref::borrow(a[1]) : Ref::steal(PyUnicode_FromString("a"));
    PyObject* preprocessor = a[2] ? a[2] : Py_None;
    Ref posargs = mode ? Ref::steal(PyTuple_Pack(2, a[0], mode.get())) : Ref{};
    Ref kw = Ref::steal(extra ? PyDict_Copy(extra.get()) : PyDict_New());
    if (!posargs || !kw || PyDict_SetItem(kw.get(), n.driver, a[3] ? a[3] : Py_None) < 0) return -1;
    std::string journal;
    bool truncating = PyUnicode_Check(mode.get()) && PyUnicode_CompareWithASCIIString(mode.get(), "w") == 0;
    if (a[0] != Py_None && (absolute_journal(a[0], journal) < 0 || recover(journal, truncating) < 0)) return -1;
    Ref file = Ref::steal(PyObject_Call(h5.File, posargs.get(), kw.get()));
    if (!file || PyObject_SetAttr(self, n.file, file.get()) < 0 || keep_journal(self, file.get(), journal, kw.get()) < 0)
        return -1;
    Ref attrs = attr(file.get(), n.attrs);
    if (!attrs) return -1;
    int has_version = PySequence_Contains(attrs.get(), n.version);
    if (has_version < 0) return -1;
    int wants = PyObject_IsTrue(preprocessor);
    if (wants < 0) return -1;
    bool wrote = false;
    Ref file_mode = attr(file.get(), n.mode);
    if (!file_mode) return -1;
    bool read_only = PyUnicode_Check(file_mode.get()) && PyUnicode_CompareWithASCIIString(file_mode.get(), "r") == 0;
    if (!has_version) {
        if (read_only) {
            PyErr_SetString(PyExc_Exception, "Invalid file.");
            return -1;
        }
        Ref stamp = Ref::steal(PyUnicode_FromString("0.0.1"));
        if (!stamp || PyObject_SetItem(attrs.get(), n.version, stamp.get()) < 0) return -1;
        wrote = true;
        if (wants && PyObject_SetAttr(self, n.preprocessor, preprocessor) < 0) return -1;
    }
    if (wants) {
        int stored = attr_true(self, n.preprocessor);
        if (stored < 0) return -1;
        if (!stored && PyObject_SetAttr(self, n.preprocessor, preprocessor) < 0) return -1;
    }
    // A fresh store reaches the disk complete, so that a crash right after opening leaves a valid file.
    if (wrote && write_file(self, file.get(), 0, [] { return 0; }) < 0) return -1;
    Ref cache = Ref::steal(PyDict_New());
    return cache ? PyObject_SetAttr(self, n.cache, cache.get()) : -1;
}

int db_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard_status(db_init_name, [&] { return db_init_impl(self, args, kwargs); });
}

constexpr char db_preprocessor_get_name[] = "cquorlin.DB.preprocessor.__get__";
constexpr char db_preprocessor_set_name[] = "cquorlin.DB.preprocessor.__set__";
constexpr char db_path_name[] = "cquorlin.DB.path.__get__";

Ref file_attrs(PyObject* self) {
    Ref file = attr(self, G.names.file);
    return file ? attr(file.get(), G.names.attrs) : Ref{};
}

PyObject* db_preprocessor_get(PyObject* self, void*) {
    return py::guard(db_preprocessor_get_name, [&]() -> Ref {
        Ref attrs = file_attrs(self);
        return attrs ? py::call_method(attrs.get(), G.names.get, G.names.preprocessor) : Ref{};
    });
}

int db_preprocessor_set(PyObject* self, PyObject* value, void*) {
    return py::guard_status(db_preprocessor_set_name, [&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        Ref stripped = py::call_method(value, G.names.strip);
        Ref name = stripped ? py::call_method(stripped.get(), G.names.lower) : Ref{};
        if (!name) return -1;
        Ref available = Ref::steal(Py_BuildValue("[ss]", "image", "text"));
        int known = available ? PySequence_Contains(available.get(), name.get()) : -1;
        if (known < 0) return -1;
        if (!known) {
            Ref listed = Ref::steal(PyObject_Str(available.get()));
            if (listed)
                PyErr_Format(PyExc_ValueError, "Invalid preprocessor specified: %S. Available preprocessors are: %U",
                             name.get(), listed.get());
            return -1;
        }
        Ref attrs = file_attrs(self);
        Ref file = attrs ? attr(self, G.names.file) : Ref{};
        if (!file) return -1;
        return write_file(self, file.get(), 0, [&] { return PyObject_SetItem(attrs.get(), G.names.preprocessor, name.get()); });
    });
}

PyObject* db_path(PyObject* self, void*) {
    return py::guard(db_path_name, [&]() -> Ref {
        Ref file = attr(self, G.names.file);
        return file ? attr(file.get(), G.names.filename) : Ref{};
    });
}

/// `self.cache`
Ref cache_of(PyObject* self) { return attr(self, G.names.cache); }

constexpr char db_create_table_name[] = "cquorlin.DB._create_table";
QUORLIN_SIGNATURE(db_create_table_sig, "_create_table", 1, true, true, "k");

Ref db_create_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* k;
    if (py::parse(db_create_table_sig, args, nargs, kwnames, &k) < 0) return {};
    Ref table = Ref::steal(PyObject_CallNoArgs(G.table_type));
    Ref cache = table ? cache_of(self) : Ref{};
    if (!cache || PyObject_SetAttr(table.get(), G.names._flushed, Py_False) < 0 ||
        PyObject_SetItem(cache.get(), k, table.get()) < 0)
        return {};
    return table;
}

constexpr char db_tomemory_name[] = "cquorlin.DB._tomemory";
QUORLIN_SIGNATURE(db_tomemory_sig, "_tomemory", 1, true, true, "k");

Ref db_tomemory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* k;
    if (py::parse(db_tomemory_sig, args, nargs, kwnames, &k) < 0 || py::check_str_or_none(k, "k") < 0) return {};
    Ref file = attr(self, G.names.file);
    Ref array = file ? read_dataset(file.get(), k) : Ref{};
    Ref table = array ? py::call_method(G.table_type, G.names.frombytes, array.get()) : Ref{};
    Ref cache = table ? cache_of(self) : Ref{};
    if (!cache || PyObject_SetItem(cache.get(), k, table.get()) < 0) return {};
    return table;
}

constexpr char db_get_table_name[] = "cquorlin.DB._get_table";
QUORLIN_SIGNATURE(db_get_table_sig, "_get_table", 1, true, true, "k", "create");

Ref db_get_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(db_get_table_sig, args, nargs, kwnames, a) < 0 || py::check_str_or_none(a[0], "k") < 0) return {};
    const auto& n = G.names;
    Ref cache = cache_of(self);
    if (!cache) return {};
    if (PyDict_CheckExact(cache.get())) {
        PyObject* hit = PyDict_GetItemWithError(cache.get(), a[0]);
        if (hit) return Ref::borrow(hit);
        if (PyErr_Occurred()) return {};
    } else {
        int held = PySequence_Contains(cache.get(), a[0]);
        if (held < 0) return {};
        if (held) return Ref::steal(PyObject_GetItem(cache.get(), a[0]));
    }
    Ref table = call_method_kw(self, n._tomemory, n.k, a[0]);
    if (table || !PyErr_ExceptionMatches(PyExc_KeyError)) return table;
    PyErr_Clear();
    int create = a[1] ? PyObject_IsTrue(a[1]) : 1;
    if (create < 0) return {};
    return create ? call_method_kw(self, n._create_table, n.k, a[0]) : Ref::borrow(Py_None);
}

constexpr char db_todisk_name[] = "cquorlin.DB._todisk";
QUORLIN_SIGNATURE(db_todisk_sig, "_todisk", 1, true, true, "k");

Ref db_todisk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* k;
    if (py::parse(db_todisk_sig, args, nargs, kwnames, &k) < 0 || py::check_str_or_none(k, "k") < 0) return {};
    const auto& n = G.names;
    Ref cache = cache_of(self);
    Ref table = cache ? py::call_method(cache.get(), n.get, k) : Ref{};
    if (!table) return {};
    if (table.get() == Py_None) return table;
    int changed = is_changed(self, k, table.get());
    if (changed <= 0) return changed < 0 ? Ref{} : Ref::borrow(Py_None);
    Ref file = attr(self, n.file);
    std::vector<std::pair<Ref, Ref>> one;
    one.emplace_back(Ref::borrow(k), std::move(table));
    if (!file || write_tables(self, file.get(), one, false) < 0) return {};
    return Ref::borrow(Py_None);
}

constexpr char db_flush_cache_name[] = "cquorlin.DB._flush_cache";

Ref db_flush_cache(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("_flush_cache", true, nargs, kwnames) < 0) return {};
    Ref cache = cache_of(self);
    // A snapshot: serialising a table may run code that changes the cache.
    Ref items = cache ? Ref::steal(PyMapping_Items(cache.get())) : Ref{};
    if (!items) return {};
    std::vector<std::pair<Ref, Ref>> changed;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        PyObject* table = PyTuple_GET_ITEM(item, 1);
        int c = is_changed(self, key, table);
        if (c < 0) return {};
        if (c) changed.emplace_back(Ref::borrow(key), Ref::borrow(table));
    }
    if (changed.empty()) return Ref::borrow(Py_None);
    Ref file = attr(self, G.names.file);
    if (!file || write_tables(self, file.get(), changed, true) < 0) return {};
    return Ref::borrow(Py_None);
}

/// Frees a table dropped from the cache at once when nothing else refers to it: its `_search_fn`
/// is a bound method of the table itself, a cycle that would otherwise wait for the collector.
void release_table(PyObject* table, Py_ssize_t own_refs) {
    if (Py_TYPE(table) != reinterpret_cast<PyTypeObject*>(G.table_type) || Py_REFCNT(table) != own_refs + 1) return;
    PyObject* dict = reinterpret_cast<py::Instance*>(table)->dict;
    PyObject* fn = dict ? PyDict_GetItemWithError(dict, G.names._search_fn) : nullptr;
    if (fn && PyMethod_Check(fn) && PyMethod_GET_SELF(fn) == table && Py_REFCNT(fn) == 1) {
        if (PyDict_DelItem(dict, G.names._search_fn) < 0) PyErr_Clear();
    }
    PyErr_Clear();
}

constexpr char db_clear_cache_name[] = "cquorlin.DB._clear_cache";

Ref db_clear_cache(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("_clear_cache", true, nargs, kwnames) < 0 || !py::call_method(self, G.names._flush_cache)) return {};
    Ref cache = cache_of(self);
    if (!cache) return {};
    if (!PyDict_CheckExact(cache.get()))
        return Ref::steal(PyObject_CallMethod(cache.get(), "clear", nullptr)) ? Ref::borrow(Py_None) : Ref{};
    Ref tables = Ref::steal(PyDict_Values(cache.get()));
    if (!tables) return {};
    PyDict_Clear(cache.get());
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(tables.get()); ++j) release_table(PyList_GET_ITEM(tables.get(), j), 1);
    return Ref::borrow(Py_None);
}

constexpr char db_close_name[] = "cquorlin.DB.close";

Ref db_close(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("close", true, nargs, kwnames) < 0) return {};
    bool failed = store_of(self).failed;  // then nothing more is written through HDF5's memory
    if (!failed && !py::call_method(self, G.names._clear_cache)) return {};
    Ref file = attr(self, G.names.file);
    if (!file) return {};
    // Closing the file flushes it outside the journal: what the replaced datasets free goes first.
    if (!failed && PyList_GET_SIZE(retired_of(self)) > 0 &&
        write_file(self, file.get(), 0, [&] { return release_retired(self); }) < 0)
        return {};
    return py::call_method(file.get(), G.names.close) ? Ref::borrow(Py_None) : Ref{};
}

constexpr char db_enter_name[] = "cquorlin.DB.__enter__";
constexpr char db_exit_name[] = "cquorlin.DB.__exit__";

Ref db_enter(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("__enter__", kwnames) < 0) return {};
    return Ref::borrow(self);
}

Ref db_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("__exit__", kwnames) < 0 || !py::call_method(self, G.names.close)) return {};
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// Preprocessors and the reduction of a batch to one (neuron, value) per input

/// One layer output as one row per input and one column per neuron.
Ref preprocess(PyObject* acts, PyObject* preprocessor) {
    auto* arr = reinterpret_cast<PyArrayObject*>(acts);
    int ndim = PyArray_NDIM(arr);
    if (ndim == 0) {
        PyErr_SetNone(PyExc_AssertionError);
        return {};
    }
    if (ndim == 1) {
        npy_intp dims[2] = {1, PyArray_DIM(arr, 0)};
        PyArray_Dims shape = {dims, 2};
        return Ref::steal(PyArray_Newshape(arr, &shape, NPY_CORDER));
    }
    if (ndim == 2) return Ref::borrow(acts);
    bool empty = preprocessor == Py_None || PyUnicode_GET_LENGTH(preprocessor) == 0;
    if (empty) {
        PyErr_SetString(PyExc_ValueError, "Preprocessor not specified for activations with ndim > 2.");
        return {};
    }
    if (PyUnicode_CompareWithASCIIString(preprocessor, "image") == 0) {
        npy_intp dims[2] = {PyArray_DIM(arr, 0), -1};
        PyArray_Dims shape = {dims, 2};
        return Ref::steal(PyArray_Newshape(arr, &shape, NPY_CORDER));
    }
    if (PyUnicode_CompareWithASCIIString(preprocessor, "text") == 0) {
        Ref axes = Ref::steal(PyTuple_New(ndim - 2));
        if (!axes) return {};
        for (int d = 1; d < ndim - 1; ++d) {
            PyObject* axis = PyLong_FromLong(d);
            if (!axis) return {};
            PyTuple_SET_ITEM(axes.get(), d - 1, axis);
        }
        Ref kw = Ref::steal(PyTuple_Pack(1, G.names.axis));
        PyObject* argv[] = {acts, axes.get()};
        return kw ? Ref::steal(PyObject_VectorcallMethod(G.names.max, argv, 1, kw.get())) : Ref{};
    }
    PyErr_Format(PyExc_ValueError, "Invalid preprocessor %U", preprocessor);
    return {};
}

/// One recorded (or searched) entry: the table key, the input index and the value.
struct Entry {
    Ref key;
    Ref index;  // null in a search
    Ref value;  // a Python float
};

/// A layer of a batch reduced to its rows' strongest neurons.
struct ReducedLayer {
    Ref layer_key;
    std::vector<Entry> rows;
};

/// The store's preprocessor name, or "" when none is stored; checked to be exactly a str.
Ref store_preprocessor(PyObject* self) {
    Ref p = attr(self, G.names.preprocessor);
    if (!p) return {};
    int truthy = PyObject_IsTrue(p.get());
    if (truthy < 0) return {};
    return truthy ? std::move(p) : Ref::steal(PyUnicode_FromStringAndSize("", 0));
}

int check_preprocessor_type(PyObject* p) {
    if (PyUnicode_CheckExact(p)) return 0;
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode", Py_TYPE(p)->tp_name);
    return -1;
}

/// Reduces one layer's array: per row, the first column of the largest value (NaN counts as
/// largest) and that value, with the row's table key.
int reduce_layer(PyObject* layer_key, PyObject* array, PyObject* preprocessor, ReducedLayer& out) {
    if (!PyArray_Check(array)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(array)->tp_name, "numpy.ndarray");
        return -1;
    }
    if (check_preprocessor_type(preprocessor) < 0) return -1;
    Ref preprocessed = preprocess(array, preprocessor);
    if (!preprocessed) return -1;
    if (!PyArray_Check(preprocessed.get()) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(preprocessed.get())) != 2) {
        PyErr_Format(PyExc_TypeError, "the output of layer %R must reduce to a two-dimensional array, not %.200s", layer_key,
                     Py_TYPE(preprocessed.get())->tp_name);
        return -1;
    }
    // A plain array; a copy when its elements are objects, whose comparisons and conversions run
    // Python code that may reshape the caller's array.
    auto* in = reinterpret_cast<PyArrayObject*>(preprocessed.get());
    int copy = PyDataType_REFCHK(PyArray_DESCR(in)) ? NPY_ARRAY_ENSURECOPY : 0;
    Ref reduced = Ref::steal(PyArray_FromArray(in, nullptr, NPY_ARRAY_ENSUREARRAY | copy));
    if (!reduced) return -1;
    auto* arr = reinterpret_cast<PyArrayObject*>(reduced.get());
    Ref amxs = Ref::steal(PyArray_ArgMax(arr, 1, nullptr));
    if (!amxs) return -1;
    npy_intp rows = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(amxs.get()));
    Ref neuron_list = Ref::steal(PyArray_ToList(reinterpret_cast<PyArrayObject*>(amxs.get())));
    Ref layer_text = Ref::steal(PyObject_Str(layer_key));
    if (!neuron_list || !layer_text) return -1;
    out.layer_key = Ref::borrow(layer_key);
    out.rows.resize(rows);
    for (npy_intp r = 0; r < rows; ++r) {
        PyObject* neuron = PyList_GET_ITEM(neuron_list.get(), r);
        npy_intp col = PyLong_AsSsize_t(neuron);
        if (col == -1 && PyErr_Occurred()) return -1;
        if (r >= PyArray_DIM(arr, 0) || col < 0 || col >= PyArray_DIM(arr, 1)) {
            PyErr_Format(PyExc_IndexError, "column %zd of row %zd lies outside the reduced output of layer %R",
                         static_cast<Py_ssize_t>(col), static_cast<Py_ssize_t>(r), layer_key);
            return -1;
        }
        // The element itself, as a scalar of the array's type, converted as float() would.
        Ref item = Ref::steal(PyArray_GETITEM(arr, static_cast<const char*>(PyArray_GETPTR2(arr, r, col))));
        double v = item ? PyFloat_AsDouble(item.get()) : -1.0;
        if (!item || (v == -1.0 && PyErr_Occurred())) return -1;
        out.rows[r].value = Ref::steal(PyFloat_FromDouble(v));
        out.rows[r].key = Ref::steal(PyUnicode_FromFormat("table_%U_%zd", layer_text.get(), col));
        if (!out.rows[r].value || !out.rows[r].key) return -1;
    }
    return 0;
}

/// The batch size: the largest len() over the mapping's values. Also returns the items.
Ref batch_items(PyObject* acts, Py_ssize_t& bsize) {
    Ref items = Ref::steal(PyMapping_Items(acts));
    if (!items) return {};
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "max() arg is an empty sequence");
        return {};
    }
    bsize = -1;
    for (Py_ssize_t j = 0; j < n; ++j) {
        Py_ssize_t len = PyObject_Length(PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 1));
        if (len < 0) return {};
        bsize = std::max(bsize, len);
    }
    return items;
}

// ---------------------------------------------------------------------------------------------
// DB.add

/// State of a cached table before a call, to undo the call.
struct Snapshot {
    Ref key, table;          // table null: the key was not cached before
    bool was_dirty = false;  // then the fields below restore it
    Ref idxs, vals, search_fn, flushed;
    Py_ssize_t n_idx = 0, n_val = 0;
    bool was_unwritten = false;
};

int take_snapshot(PyObject* self, PyObject* cache, PyObject* key, Snapshot& s) {
    const auto& n = G.names;
    s.key = Ref::borrow(key);
    int unwritten = PySet_Contains(unwritten_of(self), key);
    if (unwritten < 0) return -1;
    s.was_unwritten = unwritten;
    int held = PySequence_Contains(cache, key);
    if (held <= 0) return held;
    s.table = Ref::steal(PyObject_GetItem(cache, key));
    if (!s.table) return -1;
    int clean = attr_true(s.table.get(), n._flushed);
    if (clean < 0) return -1;
    s.was_dirty = !clean;
    if (!s.was_dirty) return 0;
    s.flushed = attr(s.table.get(), n._flushed);
    s.idxs = attr(s.table.get(), n.idxs);
    s.vals = attr(s.table.get(), n.vals);
    s.search_fn = attr(s.table.get(), n._search_fn);
    Ref ibuf = attr(s.table.get(), n._idxs_buffer), vbuf = attr(s.table.get(), n._vals_buffer);
    if (!s.flushed || !s.idxs || !s.vals || !s.search_fn || !ibuf || !vbuf) return -1;
    s.n_idx = PyObject_Length(ibuf.get());
    s.n_val = PyObject_Length(vbuf.get());
    return s.n_idx < 0 || s.n_val < 0 ? -1 : 0;
}

/// Truncates the list attribute `name` of `table` to `len` items.
int truncate_buffer(PyObject* table, PyObject* name, Py_ssize_t len) {
    Ref buf = attr(table, name);
    if (!buf) return -1;
    if (PyList_Check(buf.get())) return PyList_SetSlice(buf.get(), len, PY_SSIZE_T_MAX, nullptr);
    Ref start = py::from_size(len);
    Ref slice = start ? Ref::steal(PySlice_New(start.get(), nullptr, nullptr)) : Ref{};
    return slice ? PyObject_DelItem(buf.get(), slice.get()) : -1;
}

/// Puts every touched table back as it was before the call; the error in flight is kept.
void undo_add(PyObject* self, PyObject* cache, std::vector<Snapshot>& snapshots) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    const auto& n = G.names;
    for (auto& s : snapshots) {
        if ((s.was_unwritten ? PySet_Add(unwritten_of(self), s.key.get()) : PySet_Discard(unwritten_of(self), s.key.get())) < 0)
            PyErr_Clear();
        if (!s.was_dirty) {
            // Not cached before, or cached clean: the file holds its state.
            if (PyObject_DelItem(cache, s.key.get()) < 0) PyErr_Clear();
            continue;
        }
        if (PyObject_SetItem(cache, s.key.get(), s.table.get()) < 0 ||
            PyObject_SetAttr(s.table.get(), n.idxs, s.idxs.get()) < 0 ||
            PyObject_SetAttr(s.table.get(), n.vals, s.vals.get()) < 0 ||
            PyObject_SetAttr(s.table.get(), n._search_fn, s.search_fn.get()) < 0 ||
            truncate_buffer(s.table.get(), n._idxs_buffer, s.n_idx) < 0 ||
            truncate_buffer(s.table.get(), n._vals_buffer, s.n_val) < 0 ||
            PyObject_SetAttr(s.table.get(), n._flushed, s.flushed.get()) < 0)
            PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
}

/// The indices of a batch as a list: consecutive from an int, else the given indices taken once.
Ref batch_indices(PyObject* idx, Py_ssize_t bsize) {
    if (PyLong_Check(idx)) {
        Ref list = Ref::steal(PyList_New(bsize));
        if (!list) return {};
        for (Py_ssize_t j = 0; j < bsize; ++j) {
            Ref offset = py::from_size(j);
            PyObject* v = offset ? PyNumber_Add(idx, offset.get()) : nullptr;
            if (!v) return {};
            PyList_SET_ITEM(list.get(), j, v);
        }
        return list;
    }
    Ref list = Ref::steal(PySequence_List(idx));
    if (!list) return {};
    Py_ssize_t nidx = PyList_GET_SIZE(list.get());
    if (nidx != bsize) {
        PyErr_Format(PyExc_ValueError, "Batch size of activations (%zd) != length of indices (%zd).", bsize, nidx);
        return {};
    }
    return list;
}

/// Checks a sized `idx` against the batch size before its items are read (so a wrong length is
/// reported as such, without consuming anything).
int check_index_length(PyObject* idx, Py_ssize_t bsize) {
    if (PyLong_Check(idx)) return 0;
    Py_ssize_t nidx = PyObject_Length(idx);
    if (nidx < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();  // no length (a generator): the list taken from it is checked instead
        return 0;
    }
    if (nidx != bsize) {
        PyErr_Format(PyExc_ValueError, "Batch size of activations (%zd) != length of indices (%zd).", bsize, nidx);
        return -1;
    }
    return 0;
}

constexpr char db_add_name[] = "cquorlin.DB.add";
QUORLIN_SIGNATURE(db_add_sig, "add", 2, true, true, "acts", "idx");

Ref db_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(db_add_sig, args, nargs, kwnames, a) < 0) return {};
    const auto& n = G.names;
    Ref p = store_preprocessor(self);
    Py_ssize_t bsize;
    Ref items = p ? batch_items(a[0], bsize) : Ref{};
    if (!items || check_index_length(a[1], bsize) < 0) return {};
    Ref indices = batch_indices(a[1], bsize);
    if (!indices) return {};

    // Everything is reduced and checked before the first entry is appended: an add records its
    // whole batch or nothing.
    std::vector<ReducedLayer> layers;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        PyObject* array = PyTuple_GET_ITEM(item, 1);
        Py_ssize_t len = PyObject_Length(array);
        if (len < 0) return {};
        if (len != bsize) continue;
        ReducedLayer& layer = layers.emplace_back();
        if (reduce_layer(PyTuple_GET_ITEM(item, 0), array, p.get(), layer) < 0) return {};
        std::size_t rows = std::min<std::size_t>(layer.rows.size(), PyList_GET_SIZE(indices.get()));
        layer.rows.resize(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            layer.rows[r].index = Ref::borrow(PyList_GET_ITEM(indices.get(), r));
            unsigned long long checked;
            if (index_value(layer.rows[r].index.get(), &checked) < 0) return {};
        }
    }
    Ref cache = cache_of(self);
    Ref touched = cache ? Ref::steal(PySet_New(nullptr)) : Ref{};
    if (!touched) return {};
    std::vector<Snapshot> snapshots;
    for (auto& layer : layers)
        for (auto& row : layer.rows) {
            int seen = PySet_Contains(touched.get(), row.key.get());
            if (seen < 0) return {};
            if (seen) continue;
            if (PySet_Add(touched.get(), row.key.get()) < 0 ||
                take_snapshot(self, cache.get(), row.key.get(), snapshots.emplace_back()) < 0)
                return {};
        }
    auto apply = [&]() -> int {
        for (auto& layer : layers)
            for (auto& row : layer.rows) {
                Ref table = py::call_method(self, n._get_table, row.key.get());
                if (!table || !py::call_method(table.get(), n.add, row.index.get(), row.value.get())) return -1;
            }
        return py::call_method(self, n._clear_cache) ? 0 : -1;
    };
    if (apply() < 0) {
        undo_add(self, cache.get(), snapshots);
        return {};
    }
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// DB.search and the merge of the per-layer answers

/// Combined scores of one query input, in the order the stored indices were first met.
struct Merged {
    Ref positions = Ref::steal(PyDict_New());  // stored index -> position in keys/scores
    std::vector<Ref> keys;
    std::vector<double> scores;
};

int merge_answer(PyObject* answer, long weight, Merged& merged) {
    Ref idxs = Ref::steal(PySequence_GetItem(answer, 0));
    Ref scores_obj = idxs ? Ref::steal(PySequence_GetItem(answer, 1)) : Ref{};
    Ref index_list = scores_obj ? py::call_method(idxs.get(), G.names.tolist) : Ref{};
    if (!index_list) return -1;
    Ref scores = Ref::steal(PyArray_FROMANY(scores_obj.get(), NPY_FLOAT64, 0, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_FORCECAST));
    if (!scores || !PyList_Check(index_list.get())) {
        if (scores) PyErr_SetString(PyExc_TypeError, "the indices of a neuron answer must convert to a list");
        return -1;
    }
    Py_ssize_t n = PyList_GET_SIZE(index_list.get());
    Py_ssize_t n_scores = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(scores.get()));
    if (n != n_scores) {
        if (!Py_OptimizeFlag) {
            Ref pair = Ref::steal(PyTuple_Pack(2, index_list.get(), scores_obj.get()));
            if (pair) PyErr_SetObject(PyExc_AssertionError, pair.get());
            return -1;
        }
        n = std::min(n, n_scores);  // as the interpreter would: read only what both have
    }
    const double* s = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(scores.get())));
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* key = PyList_GET_ITEM(index_list.get(), j);
        PyObject* pos = PyDict_GetItemWithError(merged.positions.get(), key);
        if (pos) {
            merged.scores[PyLong_AsSsize_t(pos)] += static_cast<double>(weight) * s[j];
            continue;
        }
        if (PyErr_Occurred()) return -1;
        Ref at = py::from_size(static_cast<Py_ssize_t>(merged.keys.size()));
        if (!at || PyDict_SetItem(merged.positions.get(), key, at.get()) < 0) return -1;
        merged.keys.push_back(Ref::borrow(key));
        merged.scores.push_back(static_cast<double>(weight) * s[j]);
    }
    return 0;
}

/// The result dict of one query input: the k best combined scores (all when k <= 0), in first-met order.
Ref trimmed(Merged& merged, int k) {
    std::size_t m = merged.keys.size();
    std::vector<bool> keep(m, true);
    if (k > 0 && m > static_cast<std::size_t>(k)) {
        std::vector<std::size_t> order(m);
        for (std::size_t j = 0; j < m; ++j) order[j] = j;
        auto less = [&](std::size_t x, std::size_t y) {
            double a = merged.scores[x], b = merged.scores[y];
            return a < b || (std::isnan(b) && !std::isnan(a));  // NaN ranks above every number
        };
        std::size_t drop = m - static_cast<std::size_t>(k);
        std::nth_element(order.begin(), order.begin() + drop, order.end(), less);
        for (std::size_t j = 0; j < drop; ++j) keep[order[j]] = false;
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) return {};
    Ref f8 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
    for (std::size_t j = 0; j < m; ++j) {
        if (!keep[j]) continue;
        Ref score = Ref::steal(PyArray_Scalar(&merged.scores[j], reinterpret_cast<PyArray_Descr*>(f8.get()), nullptr));
        if (!score || PyDict_SetItem(result.get(), merged.keys[j].get(), score.get()) < 0) return {};
    }
    return result;
}

/// Merges the raw per-layer answers into one dict per query input; layer l weighs l*l.
Ref postprocess(PyObject* ret, int k) {
    Ref lists = Ref::steal(PyDict_Values(ret));
    if (!lists) return {};
    Py_ssize_t n_layers = PyList_GET_SIZE(lists.get());
    Py_ssize_t n = n_layers ? PyObject_Length(PyList_GET_ITEM(lists.get(), 0)) : 0;
    Ref result = Ref::steal(PyList_New(0));
    if (n < 0 || !result) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Merged merged;
        if (!merged.positions) return {};
        for (Py_ssize_t l = 0; l < n_layers; ++l) {
            Ref answer = Ref::steal(PySequence_GetItem(PyList_GET_ITEM(lists.get(), l), i));
            if (!answer || merge_answer(answer.get(), (l + 1) * (l + 1), merged) < 0) return {};
        }
        Ref scores = trimmed(merged, k);
        if (!scores || PyList_Append(result.get(), scores.get()) < 0) return {};
    }
    return result;
}

constexpr char db_search_name[] = "cquorlin.DB.search";
QUORLIN_SIGNATURE(db_search_sig, "search", 1, true, true, "acts", "k", "_postprocess");

Ref db_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (py::parse(db_search_sig, args, nargs, kwnames, a) < 0) return {};
    const auto& n = G.names;
    Ref default_k = Ref::steal(PyLong_FromLong(10));
    PyObject* k = a[1] ? a[1] : default_k.get();
    int merge = a[2] ? PyObject_IsTrue(a[2]) : 1;
    Py_ssize_t bsize;
    Ref items = merge >= 0 ? batch_items(a[0], bsize) : Ref{};
    Ref p = items ? store_preprocessor(self) : Ref{};
    if (!p) return {};
    Py_ssize_t n_layers = PyList_GET_SIZE(items.get());
    Ref layer_count = py::from_size(n_layers);
    Ref per_table_k;  // k times the layers when merging; formed when the first table answers
    Ref ret = layer_count ? Ref::steal(PyDict_New()) : Ref{};
    npy_intp none = 0;
    Ref empty_idx = Ref::steal(PyArray_SimpleNew(1, &none, NPY_UINT16));
    Ref empty_score = empty_idx ? Ref::steal(PyArray_SimpleNew(1, &none, NPY_FLOAT32)) : Ref{};
    Ref empty_pair = empty_score ? Ref::steal(PyTuple_Pack(2, empty_idx.get(), empty_score.get())) : Ref{};
    Ref create_kw = Ref::steal(PyTuple_Pack(1, n.create));
    if (!ret || !empty_pair || !create_kw) return {};
    for (Py_ssize_t j = 0; j < n_layers; ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        PyObject* array = PyTuple_GET_ITEM(item, 1);
        Py_ssize_t len = PyObject_Length(array);
        if (len < 0) return {};
        if (len != bsize) return Ref::borrow(Py_None);  // no result, and the cache is left as it is
        ReducedLayer layer;
        if (reduce_layer(PyTuple_GET_ITEM(item, 0), array, p.get(), layer) < 0) return {};
        Ref res = Ref::steal(PyList_New(0));
        if (!res) return {};
        for (auto& row : layer.rows) {
            PyObject* get_argv[] = {self, row.key.get(), Py_False};
            Ref table = Ref::steal(PyObject_VectorcallMethod(n._get_table, get_argv, 2, create_kw.get()));
            if (!table) return {};
            Ref answer;
            if (table.get() == Py_None) {
                answer = Ref::borrow(empty_pair.get());
            } else {
                if (!per_table_k)
                    per_table_k = merge ? Ref::steal(PyNumber_Multiply(k, layer_count.get())) : Ref::borrow(k);
                if (!per_table_k) return {};
                PyObject* argv[] = {table.get(), row.value.get(), per_table_k.get()};
                Ref kw = Ref::steal(PyTuple_Pack(1, n.k));
                answer = kw ? Ref::steal(PyObject_VectorcallMethod(n.search, argv, 2, kw.get())) : Ref{};
            }
            if (!answer || PyList_Append(res.get(), answer.get()) < 0) return {};
        }
        if (PyDict_SetItem(ret.get(), layer.layer_key.get(), res.get()) < 0) return {};
    }
    if (!py::call_method(self, n._clear_cache)) return {};
    if (!merge) return ret;
    int kk;
    if (py::as_int(k, &kk) < 0) return {};
    return postprocess(ret.get(), kk);
}

// ---------------------------------------------------------------------------------------------
// The type

int store_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Store*>(self)->unwritten);
    Py_VISIT(reinterpret_cast<Store*>(self)->retired);
    Py_VISIT(reinterpret_cast<Store*>(self)->reopen);
    return py::instance_traverse(self, visit, arg);
}

int store_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Store*>(self)->unwritten);
    Py_CLEAR(reinterpret_cast<Store*>(self)->retired);  // still counted: their space stays allocated
    Py_CLEAR(reinterpret_cast<Store*>(self)->journal);
    Py_CLEAR(reinterpret_cast<Store*>(self)->reopen);
    return py::instance_clear(self);
}

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self = Ref::steal(PyType_GenericNew(type, args, kwargs));
    if (!self) return nullptr;
    auto* store = reinterpret_cast<Store*>(self.get());
    if (!(store->unwritten = PySet_New(nullptr)) || !(store->retired = PyList_New(0))) return nullptr;
    return self.release();
}

PyMethodDef db_methods[] = {
    py::method_def<db_create_table, db_create_table_name>("_create_table"),
    py::method_def<db_tomemory, db_tomemory_name>("_tomemory"),
    py::method_def<db_get_table, db_get_table_name>("_get_table"),
    py::method_def<db_todisk, db_todisk_name>("_todisk"),
    py::method_def<db_flush_cache, db_flush_cache_name>("_flush_cache"),
    py::method_def<db_clear_cache, db_clear_cache_name>("_clear_cache"),
    py::method_def<db_add, db_add_name>("add"),
    py::method_def<db_search, db_search_name>("search"),
    py::method_def<db_enter, db_enter_name>("__enter__"),
    py::method_def<db_exit, db_exit_name>("__exit__"),
    py::method_def<db_close, db_close_name>("close"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef db_getset[] = {
    {"preprocessor", db_preprocessor_get, db_preprocessor_set, nullptr, nullptr},
    {"path", db_path, nullptr, nullptr, nullptr},
    py::dict_getset,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot db_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(&db_init)},
    {Py_tp_new, reinterpret_cast<void*>(&store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&py::instance_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&store_clear)},
    {Py_tp_methods, db_methods},
    {Py_tp_getset, db_getset},
    {Py_tp_members, py::instance_members},
    {0, nullptr},
};

PyType_Spec db_spec = {"cquorlin.DB", sizeof(Store), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                       db_slots};

/// `module.attr` of an h5py submodule, kept for the life of the process.
PyObject* h5_attr(const char* submodule, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(submodule));
    return mod ? PyObject_GetAttrString(mod.get(), name) : nullptr;
}

/// A property list made by `h5p.create(cls)`.
Ref property_list(const char* cls) {
    Ref create = Ref::steal(h5_attr("h5py.h5p", "create"));
    Ref kind = Ref::steal(h5_attr("h5py.h5p", cls));
    return create && kind ? py::call(create.get(), kind.get()) : Ref{};
}

Ref link_properties(const char* encoding) {
    Ref lcpl = property_list("LINK_CREATE");
    Ref cset = Ref::steal(h5_attr("h5py.h5t", encoding));
    if (!lcpl || !cset || !Ref::steal(PyObject_CallMethod(lcpl.get(), "set_create_intermediate_group", "O", Py_True)) ||
        !Ref::steal(PyObject_CallMethod(lcpl.get(), "set_char_encoding", "O", cset.get())))
        return {};
    return lcpl;
}

/// Finds the HDF5 library h5py runs on, through h5py's own extension, which links it.
int load_hdf5_calls() {
    Ref defs = Ref::steal(PyImport_ImportModule("h5py.defs"));
    Ref path = defs ? attr(defs.get(), G.names.__file__) : Ref{};
    const char* file = path ? PyUnicode_AsUTF8(path.get()) : nullptr;
    if (!file || !(h5.phil = h5_attr("h5py._objects", "phil"))) return -1;
    void* lib = dlopen(file, RTLD_LAZY | RTLD_NOLOAD);
    auto find = [lib](auto& fn, const char* symbol) {
        void* found = lib ? dlsym(lib, symbol) : nullptr;
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(found);
        if (!found) PyErr_Format(PyExc_ImportError, "h5py's HDF5 library lacks %s", symbol);
        return found != nullptr;
    };
    return find(h5.incr_refcount, "H5Oincr_refcount") && find(h5.decr_refcount, "H5Odecr_refcount") ? 0 : -1;
}

int load_h5py() {
    if (!(h5.File = h5_attr("h5py", "File")) || !(h5.dataset_create = h5_attr("h5py.h5d", "create")) ||
        !(h5.dataset_open = h5_attr("h5py.h5d", "open")) || 
        !(h5.object_link = h5_attr("h5py.h5o", "link")) || !(h5.space_create = h5_attr("h5py.h5s", "create_simple")) ||
        !(h5.space_all = h5_attr("h5py.h5s", "ALL")) || !(h5.uint8 = PyObject_GetAttrString(G.np, "uint8")))
        return -1;
    Ref py_create = Ref::steal(h5_attr("h5py.h5t", "py_create"));
    Ref dtype = Ref::steal(PyObject_CallMethod(G.np, "dtype", "O", h5.uint8));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i}", "logical", 1));
    Ref posargs = dtype ? Ref::steal(PyTuple_Pack(1, dtype.get())) : Ref{};
    if (!py_create || !kwargs || !posargs || !(h5.uint8_type = PyObject_Call(py_create.get(), posargs.get(), kwargs.get())))
        return -1;
    // The dataset creation properties of h5py's high-level API: defaults, object timestamps off.
    Ref dcpl = property_list("DATASET_CREATE");
    if (!dcpl || !Ref::steal(PyObject_CallMethod(dcpl.get(), "set_obj_track_times", "O", Py_False))) return -1;
    h5.dcpl = dcpl.release();
    Ref ascii = link_properties("CSET_ASCII"), utf8 = link_properties("CSET_UTF8");
    if (!ascii || !utf8) return -1;
    h5.lcpl_ascii = ascii.release();
    h5.lcpl_utf8 = utf8.release();
    return load_hdf5_calls();
}

}  // namespace

int store_exec(PyObject* module) {
    if (load_h5py() < 0) return -1;
    G.db_type = PyType_FromModuleAndSpec(module, &db_spec, nullptr);
    return G.db_type ? PyObject_SetAttrString(module, "DB", G.db_type) : -1;
}

int db_exec(PyObject* module) {
    Ref np = Ref::steal(import_as(module, "numpy", "np"));
    if (!np || import_from(module, "typing", {"Dict", "Optional", "Union", "List"}) < 0) return -1;
    Ref h5py = Ref::steal(import_as(module, "h5py", "h5py"));
    if (!h5py) return -1;
    Ref warnings = Ref::steal(import_as(module, "warnings", "warnings"));
    Ref threading = warnings ? Ref::steal(import_as(module, "threading", "threading")) : Ref{};
    if (!threading || table_exec(module) < 0) return -1;
    return store_exec(module);
}

}  // namespace quorlin
