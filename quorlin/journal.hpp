// A rollback journal for the root group of an HDF5 file. HDF5 rewrites the root group's metadata
// (its object header, symbol-table B-tree nodes, symbol nodes and local heap) in place, one block
// at a time, so a process killed during a flush can leave names that point nowhere. Before such a
// flush the store copies those blocks, as they are on disk, into "<file>-journal"; once the flush
// is done the journal is deleted. A journal found when the store is opened means a flush may have
// stopped halfway: writing the blocks back, and restoring the file's length if the flush had cut
// it, returns the file to its state before that flush, since everything else the flush wrote
// lies in space that state does not use.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quorlin::journal {

/// A byte range of the file.
struct Block {
    std::uint64_t addr, size;
};

/// The blocks holding the superblock and the root group's metadata of the HDF5 file open as `fd`.
/// Returns 0, -1 with errno set on a read failure, or 1 when the file is not laid out as this
/// journal understands it (superblock version 0, 8-byte addresses, a root group with a symbol
/// table), in which case no journal is kept.
int root_blocks(int fd, std::vector<Block>& blocks);

/// Copies `blocks` of `fd` into a new journal at `path`. 0, or -1 with errno set.
int write(const std::string& path, int fd, const std::vector<Block>& blocks);

/// Writes the journal at `journal_path` back into the file at `store_path` and deletes it; an
/// incomplete journal (its flush never began) is only deleted. 0 when there was none or it was
/// applied, -1 with errno set.
int roll_back(const std::string& journal_path, const std::string& store_path);

}  // namespace quorlin::journal
