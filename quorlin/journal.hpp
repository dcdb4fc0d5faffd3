// A rollback journal for the root group of an HDF5 file. HDF5 rewrites the root group's metadata
// (its object header, symbol-table B-tree nodes, symbol nodes and local heap) in place, one block
// at a time, so a process killed during a flush can leave names that point nowhere. Before a
// change the store copies those blocks, as they are on disk, into "<file>-journal"; once the change
// is flushed the journal is deleted. A journal found when the store is opened means a flush may have
// stopped halfway: writing the blocks back, and restoring the file's length if the flush had cut
// it, returns the file to its state before that change, since everything else the change wrote
// lies in space that state does not use.
//
// A journal names the file it was taken from (device and inode) and that state (checksums of the
// object headers of its newest datasets, which a flush never rewrites but for their link count),
// and is written back only into a file that still matches both.
//
// Layout, every integer a little-endian uint64: "QRLNJRN2", device, inode; the block count and per
// block (address, size, the bytes); the sample count and per sample (header address, length,
// checksum); an FNV-1a checksum of everything before it.
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

/// Copies `blocks` of `fd` into a new journal at `path`, created exclusively and never through a
/// symbolic link; a journal it could not complete is removed. 0, or -1 with errno set.
int write(const std::string& path, int fd, const std::vector<Block>& blocks);

/// What `roll_back` found.
enum class Outcome { none, applied, incomplete, foreign };

/// Writes the journal at `journal_path` back into the file open (read-write) as `store_fd` and
/// deletes it; an incomplete journal (its flush never began) is only deleted. A journal that was
/// taken from another file or state, reaches further past the file's end than its change could have
/// cut, is another version's, or is no regular file, is left untouched and reported as foreign, and
/// the file is not written. -1 with errno set on an I/O error.
int roll_back(const std::string& journal_path, int store_fd, Outcome& outcome);

/// Renames the journal at `path` to the first free "<path>.foreign-<n>", returned in `moved_to`.
/// 0, or -1 with errno set.
int set_aside(const std::string& path, std::string& moved_to);

}  // namespace quorlin::journal
