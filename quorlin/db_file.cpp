// The store's file: reading tables through a read cache, writing them as journaled changes, recovery
// when a store is opened, and compaction. Each table is read and written with a handful of HDF5 calls
// (hdf5.hpp), under h5py's lock, without an h5py object per table.
#include "db_file.hpp"

#include "py/numpy.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "db.hpp"
#include "hdf5.hpp"
#include "journal.hpp"
#include "py/errors.hpp"
#include "read_cache.hpp"
#include "state.hpp"

namespace quorlin {
namespace {

using py::Ref;

/// h5py's objects the store uses, and the creation properties of h5py's high-level API.
struct H5 {
    PyObject* File;        // h5py.File
    PyObject* phil;        // h5py's lock around calls into HDF5
    PyObject* dcpl;        // no chunking, no filters, object timestamps off
    PyObject* lcpl_ascii;  // intermediate groups on, ASCII names
    PyObject* lcpl_utf8;   // the same for names outside ASCII
    hdf5::hid_t dcpl_id, lcpl_ascii_id, lcpl_utf8_id;
    PyObject* name_taken;  // the exception h5py raises for a dataset assigned to a name in use
};
H5 h5{};

Ref attr(PyObject* obj, PyObject* name) { return py::getattr(obj, name); }

/// A table key as the UTF-8 name HDF5 takes, with the matching link creation properties.
int encode_name(PyObject* key, const char*& name, hdf5::hid_t& lcpl) {
    if (!PyUnicode_Check(key)) {
        Ref type = Ref::steal(PyObject_Repr(reinterpret_cast<PyObject*>(Py_TYPE(key))));
        if (type) PyErr_Format(PyExc_TypeError, "A name should be string or bytes, not %U", type.get());
        return -1;
    }
    Py_ssize_t size;
    name = PyUnicode_AsUTF8AndSize(key, &size);
    if (!name) return -1;
    if (static_cast<std::size_t>(size) != std::strlen(name)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in a table key");
        return -1;
    }
    lcpl = PyUnicode_IS_ASCII(key) ? h5.lcpl_ascii_id : h5.lcpl_utf8_id;
    return 0;
}

/// The HDF5 identifier of the open file `file` (an h5py.File). h5py's `File.id` is a Python property
/// that returns `file._id`, and calling it was a large part of loading a cached table: a plain
/// h5py.File's `_id` is read directly.
hdf5::hid_t file_id(PyObject* file) {
    Ref fid = attr(file, Py_IS_TYPE(file, reinterpret_cast<PyTypeObject*>(h5.File)) ? G.names._id : G.names.id);
    return fid ? hdf5::id_of(fid.get()) : -1;
}

/// Keeps the columns (idxs, vals) decoded from the dataset at `token` in the read cache. They become
/// read-only, so that no table handed out changes what the next one gets; a flush replaces columns
/// and never writes into them.
void keep_columns(ReadCache& reads, const char* name, const hdf5::Token& token, Ref idxs, Ref vals) {
    if (!PyArray_CheckExact(idxs.get()) || !PyArray_CheckExact(vals.get())) return;
    auto* i = reinterpret_cast<PyArrayObject*>(idxs.get());
    auto* v = reinterpret_cast<PyArrayObject*>(vals.get());
    PyArray_CLEARFLAGS(i, NPY_ARRAY_WRITEABLE);
    PyArray_CLEARFLAGS(v, NPY_ARRAY_WRITEABLE);
    std::uint64_t bytes = static_cast<std::uint64_t>(PyArray_NBYTES(i) + PyArray_NBYTES(v)) + 256;
    reads.put(name, token, std::move(idxs), std::move(vals), bytes);
}

/// Keeps the columns of `table`, read from the dataset at `token`, in the read cache.
int keep_table_columns(ReadCache& reads, const char* name, const hdf5::Token& token, PyObject* table) {
    Ref idxs = attr(table, G.names.idxs);
    Ref vals = idxs ? attr(table, G.names.vals) : Ref{};
    if (!vals) return -1;
    keep_columns(reads, name, token, std::move(idxs), std::move(vals));
    return 0;
}

/// Lets go of the groups of datasets that earlier changes replaced: each loses the count that kept
/// it alive and is deleted as it closes, with its datasets. This runs inside a journaled change, so
/// that the space they give back, which may shorten the file, is given back only under the journal.
int release_retired(PyObject* self, hdf5::hid_t fid) {
    PyObject* retired = store_of(self).retired;
    for (Py_ssize_t j = PyList_GET_SIZE(retired); j-- > 0;) {
        hdf5::Token token;
        std::memcpy(token.bytes, PyBytes_AS_STRING(PyList_GET_ITEM(retired, j)), sizeof token.bytes);
        hdf5::Id group;
        if (hdf5::open_by_token(fid, token, group) < 0 || hdf5::adjust_link_count(group.get(), -1) < 0 ||
            group.close() < 0 || PyList_SetSlice(retired, j, j + 1, nullptr) < 0)
            return -1;
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

/// Raises OSError from errno for `path` and returns -1.
int os_error(const std::string& path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    return -1;
}

/// The byte of the file a DB locks for as long as it has the store open, far past any file's end:
/// shared while it reads, exclusive while it writes. The journal's lock covers everything below it.
constexpr off_t held_byte = off_t{1} << 62;

/// Takes (F_WRLCK, F_RDLCK) or drops (F_UNLCK) an open-file-description lock on `length` bytes of
/// the file open as `fd` from `start` (0: to any end). Such locks are independent of HDF5's, so they
/// hold also where HDF5's file locking is turned off.
int lock_range(int fd, short type, off_t start, off_t length) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return fcntl(fd, F_OFD_SETLK, &lock);
}

/// Takes or drops the store's own lock on the file open as `fd`. A writer holds it while its
/// journal may be needed, and recovery takes it (with the held byte) before touching a journal.
int own_lock(int fd, short type) { return lock_range(fd, type, 0, held_byte); }

/// Whether a failed lock or open means that someone else holds the store.
bool is_busy(int error) { return error == EWOULDBLOCK || error == EAGAIN || error == EACCES; }

/// Raises BlockingIOError, as h5py does for a store another process has locked, and returns -1.
int busy_error(const std::string& store, const char* why) {
    Ref path = Ref::steal(PyUnicode_DecodeFSDefault(store.c_str()));
    Ref error = path ? Ref::steal(PyObject_CallFunction(PyExc_BlockingIOError, "isO", EAGAIN, why, path.get())) : Ref{};
    if (error) PyErr_SetObject(PyExc_BlockingIOError, error.get());
    return -1;
}

// The stores this process has open through a DB, by file: how many DBs read and write each.
// Two DBs on one file in one process would share one HDF5 file underneath, whatever h5py makes of
// their modes, so that neither closing one (a failed write's recovery) nor renaming a new file in
// its place (compaction) would reach the other: a DB is therefore refused beside a writing DB of
// this process, and a writing DB beside any, as another process is refused by the locks.
struct Holders {
    int readers = 0, writers = 0;
};
std::map<std::pair<dev_t, ino_t>, Holders> open_stores;

/// Refuses to open `store` when a DB of this process holds it in a way that excludes `writing`.
int refuse_second_handle(const std::string& store, bool writing) {
    struct stat st;
    if (stat(store.c_str(), &st) < 0) return 0;  // no file yet, or h5py reports the problem
    auto it = open_stores.find({st.st_dev, st.st_ino});
    if (it == open_stores.end() || (!writing && it->second.writers == 0)) return 0;
    return busy_error(store, "Unable to open the store: another DB of this process has it open");
}

/// Lets go of the store's hold: the lock goes with the descriptor.
void release_hold(Store& s) {
    if (s.hold < 0) return;
    auto it = open_stores.find({s.held_dev, s.held_ino});
    if (it != open_stores.end()) {
        --(s.holds_writer ? it->second.writers : it->second.readers);
        if (it->second.readers == 0 && it->second.writers == 0) open_stores.erase(it);
    }
    close(std::exchange(s.hold, -1));
}

/// Makes the file open as `fd`, already locked, the store's hold, in place of any before.
int set_hold(Store& s, int fd, bool writing) {
    struct stat st;
    if (fstat(fd, &st) < 0) return -1;
    release_hold(s);
    s.hold = fd;
    s.holds_writer = writing;
    s.held_dev = st.st_dev;
    s.held_ino = st.st_ino;
    Holders& holders = open_stores[{st.st_dev, st.st_ino}];
    ++(writing ? holders.writers : holders.readers);
    return 0;
}

/// Locks the held byte of the file open as `fd`; BlockingIOError when another process holds it.
int lock_held_byte(int fd, bool writing, const std::string& store) {
    if (lock_range(fd, writing ? F_WRLCK : F_RDLCK, held_byte, 1) == 0) return 0;
    if (is_busy(errno)) return busy_error(store, "Unable to open the store: another process has it open");
    // A file system without such locks: a reader goes on without, a writer's journal needs them.
    if (!writing && (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP)) return 0;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, store.c_str());
    return -1;
}

/// Opens the store's file at `store` to hold it and locks it, before h5py opens it when it exists
/// already, so that a store another process holds is refused before HDF5 touches it. -1 without an
/// error set where the file cannot be opened (yet): h5py reports why, or makes it.
int open_locked(const std::string& store, bool writing) {
    int fd = open(store.c_str(), (writing ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd >= 0 && lock_held_byte(fd, writing, store) < 0) {
        close(fd);
        return -1;
    }
    return fd;
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

/// After the journal was written back, the file is opened again as it was opened before.
int reopen(PyObject* self) {
    const Store& s = store_of(self);
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
    s.reads->clear();  // what the failed change wrote is not trusted
    if (!journal.path.empty()) {
        journal.fd = -1;  // closed with the file, and its lock with it
        s.failed = restore_file(self, file, journal.path) < 0;
        if (s.failed) PyErr_Clear();  // the call's own error is the one to report
    }
    PyErr_Restore(type, value, tb);
    return -1;
}

/// Notes on the error of a failed write that the store is open read-only, where it is. -1 always.
int note_read_only(PyObject* self, PyObject* file) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref mode = attr(file, G.names.mode);
    bool read_only = mode && PyUnicode_Check(mode.get()) && PyUnicode_CompareWithASCIIString(mode.get(), "r") == 0;
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (!read_only) return -1;
    return py::add_note_format("the store %R is open read-only (mode \"r\"): open it with mode \"a\" to write to it",
                               store_of(self).path ? store_of(self).path : Py_None);
}

}  // namespace

int write_file(PyObject* self, PyObject* file, std::uint64_t payload, const std::function<int()>& change) {
    Store& s = store_of(self);
    if (s.failed) {
        PyErr_SetString(PyExc_OSError, failed_store_message);
        return note_read_only(self, file);
    }
    Ref fid = attr(file, G.names.id);
    MetadataHold hold;
    RootJournal journal;
    if (!fid || hold.hold(fid.get()) < 0 || journal.begin(self, file, payload) < 0)  // nothing changed yet
        return note_read_only(self, file);
    int status = change();
    hold.restore();
    if (status == 0 && PyErr_Occurred()) status = -1;  // restoring the metadata cache failed
    if (status == 0 && py::call_method(file, G.names.flush) && journal.commit() == 0) return 0;
    undo_failed_write(self, file, journal);
    return note_read_only(self, file);
}

namespace {

/// One table being written: its key and HDF5 name, its bytes, and the tokens of its old and new datasets.
struct PendingWrite {
    Ref key, bytes;
    const char* name = nullptr;
    hdf5::hid_t lcpl = -1;
    hdf5::Token token{};  // of the new dataset
};

/// Keeps in the read cache the table as a write left it in the file, under the new dataset's token.
/// Other cached tables keep theirs, since their datasets did not change.
int remember_written(ReadCache& reads, const PendingWrite& w, PyObject* table) {
    Ref idxs, vals;
    if (written_columns(table, w.bytes.get(), idxs, vals) < 0) return -1;
    keep_columns(reads, w.name, w.token, std::move(idxs), std::move(vals));
    return 0;
}

}  // namespace

/// The group that holds, for the length of a change, the datasets it replaces: a name that begins with
/// a control character, which no table key does.
constexpr char replaced_group[] = "\x7freplaced";

int write_tables(PyObject* self, PyObject* file, std::vector<std::pair<Ref, Ref>>& tables, bool replace) {
    PyObject* unwritten = unwritten_of(self);
    std::vector<PendingWrite> writes(tables.size());
    std::uint64_t payload = 0;
    for (std::size_t j = 0; j < tables.size(); ++j) {
        PendingWrite& w = writes[j];
        w.key = Ref::borrow(tables[j].first.get());
        if (encode_name(w.key.get(), w.name, w.lcpl) < 0 || PySet_Add(unwritten, w.key.get()) < 0 ||
            !(w.bytes = py::call_method(tables[j].second.get(), G.names.tobytes)))  // marks the table clean
            return -1;
        if (!PyBytes_Check(w.bytes.get())) {
            PyErr_SetString(PyExc_TypeError, "tobytes() must return bytes");
            return -1;
        }
        payload += static_cast<std::uint64_t>(PyBytes_GET_SIZE(w.bytes.get())) + reserve_per_table;
    }
    if (!replace) {
        // A taken name is refused before the change starts, so that it fails as a plain error.
        hdf5::hid_t fid = file_id(file);
        hdf5::Lock lock(h5.phil);
        if (fid < 0 || !lock.ok()) return -1;
        for (auto& w : writes) {
            hdf5::Token old;
            int absent = hdf5::link_token(fid, w.name, old);
            if (absent < 0) return -1;
            if (!absent) {
                PyErr_Format(h5.name_taken, "Unable to create the link '%s' (name already exists)", w.name);
                return -1;
            }
        }
    }
    // Every new dataset goes into free space, so a rolled-back change leaves nothing of it that a name
    // points to. A dataset being replaced gives its name to the new one and moves into a group of the
    // change's own. The group's name goes at the end of the change, but a raised link count keeps
    // it, and so its datasets, whole until the next change deletes it: until this change is in the
    // file, the journal may bring their names back, and their space must be neither reused nor cut
    // off the end of the file. A key stays in the unwritten set until its dataset is linked.
    // Each new dataset is made, linked and closed before the next one is made: every change of a link
    // visits each open dataset of the file, so datasets left open would make a change quadratic in
    // its tables.
    hdf5::Token retiring;
    bool retired_group = false;
    int status = write_file(self, file, payload, [&]() -> int {
        hdf5::hid_t fid = file_id(file);
        hdf5::Lock lock(h5.phil);
        if (fid < 0 || !lock.ok() || release_retired(self, fid) < 0) return -1;
        const ReadCache& reads = *store_of(self).reads;
        hdf5::Id replaced;
        std::size_t n_replaced = 0;
        auto move_aside = [&](const char* name) {
            if (!replaced && hdf5::create_group(fid, replaced_group, replaced) < 0) return -1;
            return hdf5::move(fid, name, replaced.get(), std::to_string(n_replaced++).c_str());
        };
        // Frees `name` for the new dataset. A name the read cache holds is moved aside at once: the
        // move finds the link itself. Only when it fails is the name looked up: a name that is gone
        // is free, any other failure stands.
        auto free_name = [&](const char* name) {
            if (replace && reads.holds(name) && move_aside(name) == 0) return 0;
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            hdf5::Token old;
            int absent = hdf5::link_token(fid, name, old);
            if (absent <= 0 && type) {
                if (absent < 0) PyErr_Clear();
                PyErr_Restore(type, value, tb);
                return -1;
            }
            Py_XDECREF(type), Py_XDECREF(value), Py_XDECREF(tb);
            if (absent) return absent < 0 ? -1 : 0;
            if (!replace) {
                PyErr_Format(h5.name_taken, "Unable to create the link '%s' (name already exists)", name);
                return -1;
            }
            return move_aside(name);
        };
        for (auto& w : writes) {
            hdf5::Id dataset;
            const char* data = PyBytes_AS_STRING(w.bytes.get());
            // Closing writes out the dataset's buffered bytes, and may fail.
            if (hdf5::create_bytes(fid, data, static_cast<std::size_t>(PyBytes_GET_SIZE(w.bytes.get())), h5.dcpl_id,
                                   dataset) < 0 ||
                free_name(w.name) < 0 || hdf5::link(dataset.get(), fid, w.name, w.lcpl) < 0 ||
                PySet_Discard(unwritten, w.key.get()) < 0 || hdf5::object_token(dataset.get(), w.token) < 0 ||
                dataset.close() < 0)
                return -1;
        }
        if (!replaced) return 0;
        if (hdf5::object_token(replaced.get(), retiring) < 0 || hdf5::adjust_link_count(replaced.get(), 1) < 0 ||
            replaced.close() < 0 || hdf5::unlink(fid, replaced_group) < 0)
            return -1;
        retired_group = true;
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
    if (retired_group) {
        Ref token = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(retiring.bytes), sizeof retiring.bytes));
        if (!token || PyList_Append(store_of(self).retired, token.get()) < 0) return -1;
    }
    // The change is in the file: a table that cannot be kept is only read again later.
    ReadCache& reads = *store_of(self).reads;
    for (std::size_t j = 0; j < writes.size(); ++j) {
        if (reads.budget() > 0 && remember_written(reads, writes[j], tables[j].second.get()) < 0) {
            PyErr_Clear();
            reads.clear();
            break;
        }
    }
    store_of(self).wrote = true;
    return 0;
}

int is_changed(PyObject* self, PyObject* key, PyObject* table) {
    Ref flushed = attr(table, G.names._flushed);
    int clean = flushed ? PyObject_IsTrue(flushed.get()) : -1;
    if (clean < 0) return -1;
    if (!clean) return 1;
    return PySet_Contains(unwritten_of(self), key);
}

namespace {

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
/// file open, its journal is left alone and h5py (or the held byte) then reports the lock. A file about to be
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
        // HDF5's lock, and this store's own over the whole file: the journal's and the held byte.
        if (flock(fd, LOCK_EX | LOCK_NB) < 0 || lock_range(fd, F_WRLCK, 0, 0) < 0) {
            bool busy = is_busy(errno);
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
int keep_journal(PyObject* self, PyObject* file, const std::string& journal, bool writing, PyObject* kw) {
    Store& s = store_of(self);
    Py_CLEAR(s.journal);
    Py_CLEAR(s.reopen);
    s.failed = false;
    Ref driver = attr(file, G.names.driver);
    Ref file_mode = driver ? attr(file, G.names.mode) : Ref{};
    if (!file_mode) return -1;
    if (journal.empty() || !writing || !PyUnicode_Check(driver.get()) ||
        PyUnicode_CompareWithASCIIString(driver.get(), "sec2") != 0 || !PyUnicode_Check(file_mode.get()) ||
        PyUnicode_CompareWithASCIIString(file_mode.get(), "r+") != 0)
        return 0;
    std::string store = store_of_journal(journal);
    Ref path = Ref::steal(PyUnicode_DecodeFSDefault(store.c_str()));
    Ref args = path ? Ref::steal(Py_BuildValue("(Os)", path.get(), "r+")) : Ref{};
    // Keywords that h5py takes only when it creates a file would make opening it again fail.
    Ref open_kw = args ? Ref::steal(PyDict_Copy(kw)) : Ref{};
    if (!open_kw) return -1;
    for (const char* creation_only : {"userblock_size", "track_order", "fs_strategy", "fs_persist", "fs_threshold",
                                      "fs_page_size"})
        if (PyDict_DelItemString(open_kw.get(), creation_only) < 0) PyErr_Clear();
    s.reopen = Py_BuildValue("(OO)", args.get(), open_kw.get());
    s.journal = s.reopen ? PyBytes_FromStringAndSize(journal.data(), static_cast<Py_ssize_t>(journal.size())) : nullptr;
    return s.journal ? 0 : -1;
}
/// The sizes of the file and of the tables it holds, in bytes, and how many tables.
struct Footprint {
    hdf5::hsize_t file = 0, tables = 0, count = 0;
};

/// Adds one dataset linked in the root group to the footprint.
hdf5::herr_t count_table(hdf5::hid_t group, const char* name, const void*, void* data) {
    auto& footprint = *static_cast<Footprint*>(data);
    hdf5::hsize_t size;
    if (hdf5::dataset_size(group, name, size) != 0) return 0;  // not a dataset: not a table
    footprint.tables += size;
    ++footprint.count;
    return 0;
}

/// A closed file is compacted when it takes more than this many times the bytes of its tables,
/// besides a fixed allowance for HDF5's own structures and for each table's header and name.
constexpr double compaction_ratio = 1.4;
constexpr hdf5::hsize_t file_allowance = 16 << 10;
constexpr hdf5::hsize_t table_allowance = 256;

int footprint_of(hdf5::hid_t fid, Footprint& footprint) {
    hdf5::Lock lock(h5.phil);
    if (!lock.ok() || hdf5::file_size(fid, footprint.file) < 0) return -1;
    return hdf5::visit_links(fid, count_table, &footprint);
}

/// Raises OSError from errno for a pair of paths and returns -1.
int os_error2(const std::string& from, const std::string& to) {
    Ref a = Ref::steal(PyUnicode_DecodeFSDefault(from.c_str()));
    Ref b = a ? Ref::steal(PyUnicode_DecodeFSDefault(to.c_str())) : Ref{};
    if (b) PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, a.get(), b.get());
    return -1;
}

/// Waits for the file or directory at `path` to reach the disk. 0, or -1 with errno set.
int sync_path(const std::string& path, int flags) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) return -1;
    int status = fsync(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return status;
}

/// Writes the attributes and every object of the open store `file` into the new, empty file at
/// `target`, open as `fd`, after reserving `reserve` bytes for it: a full disk fails the copy with
/// OSError before HDF5 writes a byte of it.
int copy_store(PyObject* file, const std::string& target, int fd, std::uint64_t reserve) {
    Ref path = Ref::steal(PyUnicode_DecodeFSDefault(target.c_str()));
    Ref copy = path ? Ref::steal(PyObject_CallFunction(h5.File, "Os", path.get(), "w")) : Ref{};
    if (!copy) return -1;
    auto fill = [&]() -> int {
        if (reserve_space(fd, reserve) < 0) return os_error(target);
        Ref attrs = attr(file, G.names.attrs);
        Ref items = attrs ? Ref::steal(PyMapping_Items(attrs.get())) : Ref{};
        Ref new_attrs = items ? attr(copy.get(), G.names.attrs) : Ref{};
        if (!new_attrs) return -1;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
            PyObject* item = PyList_GET_ITEM(items.get(), j);
            if (PyObject_SetItem(new_attrs.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) return -1;
        }
        Ref names = Ref::steal(PySequence_List(file));
        if (!names) return -1;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names.get()); ++j)
            if (!Ref::steal(PyObject_CallMethod(file, "copy", "OO", PyList_GET_ITEM(names.get(), j), copy.get())))
                return -1;
        return 0;
    };
    int status = fill();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    bool closed = static_cast<bool>(py::call_method(copy.get(), G.names.close));
    if (type) {
        PyErr_Restore(type, value, tb);
        if (!closed) PyErr_Clear();
    }
    return status == 0 && closed ? 0 : -1;
}

/// Gives an error of HDF5's in flight, which h5py raises as RuntimeError whichever system call
/// failed, as the OSError of the errno HDF5's message reports ("errno = <n>"), for `path`, the
/// error itself its cause. Other errors pass unchanged.
void as_os_error(const std::string& path) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_OSError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref text = Ref::steal(PyObject_Str(value));
    const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    const char* at = message ? std::strstr(message, "errno = ") : nullptr;
    long number = at ? std::strtol(at + 8, nullptr, 10) : 0;
    Ref name = number > 0 ? Ref::steal(PyUnicode_DecodeFSDefault(path.c_str())) : Ref{};
    Ref error = name ? Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", static_cast<int>(number), message,
                                                        name.get()))
                     : Ref{};
    if (!error) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyException_SetCause(error.get(), value);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

/// Why the store open as `file` at `store` (as `st`) cannot be compacted, raised; 0 when it can.
/// The new file takes the store's name alone: other names of the old one (hard links) would keep
/// its old contents, and other handles on it, in this process or another, would write on into it.
int check_compactable(PyObject* file, const std::string& store, const struct stat& st) {
    if (st.st_nlink > 1) {
        PyErr_Format(PyExc_ValueError, "the store %s has %lu hard links: a compacted copy would take only one name",
                     store.c_str(), static_cast<unsigned long>(st.st_nlink));
        return -1;
    }
    // The file's HDF5 identifiers in this process: h5py's handles beside this store's own.
    Ref h5f = Ref::steal(PyImport_ImportModule("h5py.h5f"));
    Ref count_fn = h5f ? attr(h5f.get(), G.names.get_obj_count) : Ref{};
    Ref kind = count_fn ? Ref::steal(PyObject_GetAttrString(h5f.get(), "OBJ_FILE")) : Ref{};
    Ref fid = kind ? attr(file, G.names.id) : Ref{};
    Ref count = fid ? py::call(count_fn.get(), fid.get(), kind.get()) : Ref{};
    long handles = count ? PyLong_AsLong(count.get()) : -1;
    if (handles < 0) return -1;
    if (handles > 1)
        return busy_error(store, "the store is open through another handle of this process and cannot be compacted");
    return 0;
}

/// Writes the store open as `file` into a new file and gives it the store's name; `file` still
/// holds the old one, to be closed. The new file keeps the old one's owner, group and mode, and
/// becomes the store's hold before it takes the name.
int compact_file(PyObject* self, PyObject* file) {
    Store& s = store_of(self);
    if (!s.journal) {
        PyErr_SetString(PyExc_ValueError, "only a store in one file opened for writing can be compacted");
        return -1;
    }
    // The file itself is replaced, where a symbolic link leads.
    std::string named = store_of_journal(PyBytes_AS_STRING(s.journal));
    char* real = realpath(named.c_str(), nullptr);
    if (!real) return os_error(named);
    std::string store = real;
    std::free(real);
    std::string target = store + "-compacting";
    struct stat old;
    if (stat(store.c_str(), &old) < 0) return os_error(store);
    if (check_compactable(file, store, old) < 0) return -1;
    Footprint footprint;
    hdf5::hid_t fid = file_id(file);
    if (fid < 0 || footprint_of(fid, footprint) < 0) return -1;
    // The copy takes its tables, their headers and names; never more than the old file.
    std::uint64_t copied = 2 * (footprint.tables + table_allowance * footprint.count) + file_allowance + reserve_margin;
    std::uint64_t reserve = std::min<std::uint64_t>(footprint.file, copied);
    if (unlink(target.c_str()) < 0 && errno != ENOENT) return os_error(target);  // left by a killed compaction
    // Readable by its owner only until it has the store's owner, group and mode; owner and group
    // first, since changing them clears the set-user-ID and set-group-ID bits.
    int fd = open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return os_error(target);
    auto discard = [&](int status) {
        int saved = errno;
        close(fd);
        unlink(target.c_str());
        errno = saved;
        return status;
    };
    struct stat made;
    if (fstat(fd, &made) < 0 || ((made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
                                 fchown(fd, old.st_uid, old.st_gid) < 0)) {
        if (errno != EPERM) return discard(os_error(target));
        PyErr_Format(PyExc_PermissionError,
                     "the store %s cannot be compacted: this process may not give a new file its owner and group "
                     "(uid %lu, gid %lu)",
                     store.c_str(), static_cast<unsigned long>(old.st_uid), static_cast<unsigned long>(old.st_gid));
        return discard(-1);
    }
    // The store stays open, and so locked, until the new file has its name, and the new file is
    // locked before: a second process opening the store meets either the old file, locked, or the
    // new one, complete and locked. The new file reaches the disk before it takes the name, since
    // the old one is gone with the rename.
    if (copy_store(file, target, fd, reserve) < 0) {
        as_os_error(target);
        return discard(-1);
    }
    if (fchmod(fd, old.st_mode & 07777) < 0 || fsync(fd) < 0) return discard(os_error(target));
    if (lock_held_byte(fd, true, target) < 0) return discard(-1);
    if (rename(target.c_str(), store.c_str()) < 0) return discard(os_error2(target, store));
    // From here the open file is no longer the store's: a failure leaves this handle refusing writes,
    // which would go into the replaced file.
    if (set_hold(s, fd, true) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        s.failed = true;
        return os_error(store);
    }
    std::string directory = store.substr(0, store.rfind('/') + 1);
    if (sync_path(directory, O_DIRECTORY) < 0) {
        s.failed = true;
        return os_error(directory);
    }
    return 0;
}

}  // namespace

int compact_store(PyObject* self, PyObject* file) {
    Store& s = store_of(self);
    if (s.failed) {
        PyErr_SetString(PyExc_OSError, failed_store_message);
        return -1;
    }
    if (compact_file(self, file) < 0) return -1;
    // The replaced datasets stayed behind in the old file.
    if (PyList_SetSlice(s.retired, 0, PyList_GET_SIZE(s.retired), nullptr) < 0) return -1;
    s.reads->clear();
    s.wrote = false;
    if (reopen(self) < 0) {
        // The store's name now leads to the new file: writing on into the old one would lose it all.
        s.failed = true;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (!py::call_method(file, G.names.close)) PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return -1;
    }
    return py::call_method(file, G.names.close) ? 0 : -1;
}

Ref open_file(PyObject* self, PyObject* path, PyObject* mode, PyObject* kw) {
    // What a DB kept of a file it had open before (when __init__ runs again) belongs to that file.
    Store& s = store_of(self);
    s.reads->clear();
    s.wrote = false;
    if (PySet_Clear(s.unwritten) < 0 || PyList_SetSlice(s.retired, 0, PyList_GET_SIZE(s.retired), nullptr) < 0)
        return {};
    release_hold(s);
    std::string journal;
    bool truncating = PyUnicode_Check(mode) && PyUnicode_CompareWithASCIIString(mode, "w") == 0;
    bool writing = !PyUnicode_Check(mode) || PyUnicode_CompareWithASCIIString(mode, "r") != 0;
    if (path != Py_None &&
        (absolute_journal(path, journal) < 0 || refuse_second_handle(store_of_journal(journal), writing) < 0 ||
         recover(journal, truncating) < 0))
        return {};
    // The DB holds the store from before h5py opens it, or, for a file h5py makes, from after.
    std::string store = journal.empty() ? std::string() : store_of_journal(journal);
    int held = store.empty() ? -1 : open_locked(store, writing);
    if (held < 0 && PyErr_Occurred()) return {};
    Ref args = Ref::steal(PyTuple_Pack(2, path, mode));
    Ref file = args ? Ref::steal(PyObject_Call(h5.File, args.get(), kw)) : Ref{};
    if (!file) {
        if (held >= 0) close(held);
        return {};
    }
    if (!store.empty() && held < 0) {
        held = open_locked(store, writing);
        if (held < 0 && !PyErr_Occurred() && errno != ENOENT) os_error(store);  // ENOENT: HDF5 keeps it in memory only
    }
    if (held >= 0 && set_hold(s, held, writing) < 0) {
        os_error(store);
        close(held);
    }
    if (PyErr_Occurred() || keep_journal(self, file.get(), journal, writing, kw) < 0) {
        // Closed again untouched: another process writes it, or this DB cannot keep it.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        release_hold(s);
        if (!py::call_method(file.get(), G.names.close)) PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return {};
    }
    return file;
}

namespace {

/// Raises ValueError "the dataset <key> holds no table: ..." with the error in flight as its cause.
void name_the_dataset(PyObject* key) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    Ref cause = Ref::steal(value);
    Ref message = Ref::steal(PyUnicode_FromFormat("the dataset %R holds no table: %S", key, cause.get()));
    Ref error = message ? py::call(PyExc_ValueError, message.get()) : Ref{};
    if (!error) return;
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_ValueError, error.get());
}

/// The table the bytes `array` of the dataset `key` hold. Bytes that decode to no table (a type
/// code the format lacks, an index section that runs past them or leaves values over) raise
/// ValueError naming the key.
Ref decode_table(PyObject* key, PyObject* array) {
    Ref table = py::call_method(G.table_type, G.names.frombytes, array);
    if (!table) {
        if (PyErr_ExceptionMatches(PyExc_IndexError) || PyErr_ExceptionMatches(PyExc_ValueError)) name_the_dataset(key);
        return {};
    }
    Ref idxs = attr(table.get(), G.names.idxs);
    Ref vals = idxs ? attr(table.get(), G.names.vals) : Ref{};
    Py_ssize_t n_idxs = vals ? PyObject_Length(idxs.get()) : -1;
    Py_ssize_t n_vals = n_idxs >= 0 ? PyObject_Length(vals.get()) : -1;
    if (n_vals < 0) return {};
    if (n_idxs == n_vals) return table;
    PyErr_Format(PyExc_ValueError, "the dataset %R holds no table: its index section holds %zd indices for %zd values",
                 key, n_idxs, n_vals);
    return {};
}

}  // namespace

Ref load_table(PyObject* self, PyObject* file, PyObject* key) {
    const char* name;
    hdf5::hid_t lcpl;
    hdf5::hid_t fid = file_id(file);
    if (fid < 0 || encode_name(key, name, lcpl) < 0) return {};
    ReadCache& reads = *store_of(self).reads;
    Ref array, columns;
    hdf5::Token token;
    {
        hdf5::Lock lock(h5.phil);
        if (!lock.ok()) return {};
        int absent = hdf5::link_token(fid, name, token);
        if (absent < 0) return {};
        if (absent) {
            Ref message = Ref::steal(PyUnicode_FromFormat("Unable to open object (object '%s' doesn't exist)", name));
            if (message) PyErr_SetObject(PyExc_KeyError, message.get());
            return {};
        }
        if (const auto* kept = reads.find(name, token)) {
            columns = Ref::steal(PyTuple_Pack(2, kept->first.get(), kept->second.get()));
            if (!columns) return {};
        } else {
            hdf5::Id dataset;
            if (hdf5::open_dataset(fid, name, dataset) < 0 || !(array = hdf5::read_bytes(dataset.get(), key))) return {};
        }
    }
    // Tables are made outside h5py's lock: making one may run arbitrary code (a collection).
    if (columns) return Ref::steal(PyObject_Call(G.table_type, columns.get(), nullptr));
    Ref table = decode_table(key, array.get());
    if (!table || reads.budget() == 0) return table;
    return keep_table_columns(reads, name, token, table.get()) < 0 ? Ref{} : std::move(table);
}

Ref read_preprocessor(PyObject* file) {
    hdf5::hid_t fid = file_id(file);
    if (fid < 0) return {};
    Ref value;
    int status;
    {
        hdf5::Lock lock(h5.phil);
        if (!lock.ok()) return {};
        status = hdf5::read_text_attribute(fid, "preprocessor", value);
    }
    if (status < 0) return {};
    if (status == 0) return value ? std::move(value) : Ref::borrow(Py_None);
    Ref attrs = attr(file, G.names.attrs);
    return attrs ? py::call_method(attrs.get(), G.names.get, G.names.preprocessor) : Ref{};
}

std::uint64_t read_cache_budget(PyObject* self) { return store_of(self).reads->budget(); }

void set_read_cache_budget(PyObject* self, std::uint64_t bytes) { store_of(self).reads->set_budget(bytes); }

int close_file(PyObject* self, PyObject* file) {
    Store& s = store_of(self);
    s.reads->clear();
    if (!s.failed && PyList_GET_SIZE(s.retired) > 0) {
        // Closing the file flushes it outside the journal: what the replaced datasets free goes first.
        if (write_file(self, file, 0, [&] {
                hdf5::hid_t fid = file_id(file);
                hdf5::Lock lock(h5.phil);
                return fid < 0 || !lock.ok() ? -1 : release_retired(self, fid);
            }) < 0)
            return -1;
    }
    int open = PyObject_IsTrue(file);  // an h5py.File is true while open
    if (open < 0) return -1;
    if (open && !s.failed && s.journal && s.wrote) {
        // Space freed in a session is reused only while the file stays open: a store opened and
        // closed many times grows without bound unless it is rewritten now and then.
        Footprint footprint;
        hdf5::hid_t fid = file_id(file);
        if (fid < 0 || footprint_of(fid, footprint) < 0) return -1;
        double bound = compaction_ratio * static_cast<double>(footprint.tables + table_allowance * footprint.count) +
                       static_cast<double>(file_allowance);
        if (static_cast<double>(footprint.file) > bound && compact_file(self, file) < 0) {
            // Every table is in the file already: the store only stays larger than it needs to be.
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            Py_XDECREF(type);
            Py_XDECREF(tb);
            Ref error = Ref::steal(value);
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "the store could not be compacted: %S", error.get()) < 0) {
                // The warning, made an error, is what this raises; the file is closed all the same.
                PyObject *wtype, *wvalue, *wtb;
                PyErr_Fetch(&wtype, &wvalue, &wtb);
                py::call_method(file, G.names.close);
                if (PyObject_IsTrue(file) == 0) release_hold(s);
                PyErr_Clear();
                PyErr_Restore(wtype, wvalue, wtb);
                return -1;
            }
        }
    }
    s.wrote = false;
    if (!py::call_method(file, G.names.close)) {
        // The hold goes with the file: kept while the file is still open, released once it is not.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (PyObject_IsTrue(file) == 0) release_hold(s);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return -1;
    }
    release_hold(s);
    return 0;
}

namespace {

/// `iterate_links` callback: stops at the first link whose name begins with the prefix in `data`.
hdf5::herr_t starts_with(hdf5::hid_t, const char* name, const void*, void* data) {
    const std::string& prefix = *static_cast<const std::string*>(data);
    return std::strncmp(name, prefix.c_str(), prefix.size()) == 0 ? 1 : 0;
}

}  // namespace

int holds_prefix(PyObject* file, PyObject* prefix) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(prefix, &size);
    hdf5::hid_t fid = text ? file_id(file) : -1;
    if (fid < 0) return -1;
    // A table key with a "/" names a dataset inside a group: the group's name is what the root holds.
    std::string wanted(text, static_cast<std::size_t>(size));
    wanted = wanted.substr(0, wanted.find('/'));
    hdf5::Lock lock(h5.phil);
    if (!lock.ok()) return -1;
    return hdf5::iterate_links(fid, starts_with, &wanted);
}

int file_state_init(PyObject* self) {
    Store& s = store_of(self);
    s.hold = -1;
    if (!(s.unwritten = PySet_New(nullptr)) || !(s.retired = PyList_New(0))) return -1;
    s.neurons = 1;
    s.reads = new (std::nothrow) ReadCache();
    if (!s.reads) PyErr_NoMemory();
    return s.reads ? 0 : -1;
}

int file_state_traverse(PyObject* self, visitproc visit, void* arg) {
    Store& s = store_of(self);
    Py_VISIT(s.unwritten);
    Py_VISIT(s.retired);
    Py_VISIT(s.reopen);
    return s.reads ? s.reads->traverse(visit, arg) : 0;
}

void file_state_clear(PyObject* self) {
    Store& s = store_of(self);
    Py_CLEAR(s.unwritten);
    Py_CLEAR(s.retired);  // still counted: their space stays allocated
    Py_CLEAR(s.journal);
    Py_CLEAR(s.reopen);
    Py_CLEAR(s.path);
    delete std::exchange(s.reads, nullptr);
    release_hold(s);
}

namespace {

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

/// Keeps an h5py property list for the life of the process, with its HDF5 identifier.
int keep_property_list(Ref plist, PyObject*& kept, hdf5::hid_t& id) {
    if (!plist || (id = hdf5::id_of(plist.get())) < 0) return -1;
    kept = plist.release();
    return 0;
}

/// The exception type h5py raises when a dataset is assigned to a name in use, asked of h5py by doing
/// it once in a file in memory: HDF5's error maps to another Python type from one h5py version to
/// the next.
PyObject* name_taken_error() {
    Ref kw = Ref::steal(Py_BuildValue("{s:s,s:O}", "driver", "core", "backing_store", Py_False));
    Ref args = kw ? Ref::steal(Py_BuildValue("(ss)", "cquorlin-probe", "w")) : Ref{};
    Ref file = args ? Ref::steal(PyObject_Call(h5.File, args.get(), kw.get())) : Ref{};
    Ref data = file ? Ref::steal(PyByteArray_FromStringAndSize("", 0)) : Ref{};
    Ref name = data ? Ref::steal(PyUnicode_FromString("taken")) : Ref{};
    if (!name || PyObject_SetItem(file.get(), name.get(), data.get()) < 0) return nullptr;
    PyObject* type = nullptr;
    if (PyObject_SetItem(file.get(), name.get(), data.get()) < 0) {
        PyObject *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    } else {
        type = Py_NewRef(PyExc_ValueError);
    }
    if (!py::call_method(file.get(), G.names.close)) {
        Py_XDECREF(type);
        return nullptr;
    }
    return type;
}

}  // namespace

int file_exec() {
    if (!(h5.File = h5_attr("h5py", "File")) || !(h5.phil = h5_attr("h5py._objects", "phil"))) return -1;
    // The dataset creation properties of h5py's high-level API: defaults, object timestamps off.
    Ref dcpl = property_list("DATASET_CREATE");
    if (!dcpl || !Ref::steal(PyObject_CallMethod(dcpl.get(), "set_obj_track_times", "O", Py_False))) return -1;
    if (keep_property_list(std::move(dcpl), h5.dcpl, h5.dcpl_id) < 0 ||
        keep_property_list(link_properties("CSET_ASCII"), h5.lcpl_ascii, h5.lcpl_ascii_id) < 0 ||
        keep_property_list(link_properties("CSET_UTF8"), h5.lcpl_utf8, h5.lcpl_utf8_id) < 0 ||
        !(h5.name_taken = name_taken_error()))
        return -1;
    // HDF5 itself, through h5py's own extension, which links it.
    Ref defs = Ref::steal(PyImport_ImportModule("h5py.defs"));
    Ref path = defs ? attr(defs.get(), G.names.__file__) : Ref{};
    const char* file = path ? PyUnicode_AsUTF8(path.get()) : nullptr;
    return file ? hdf5::load(file) : -1;
}

}  // namespace quorlin
