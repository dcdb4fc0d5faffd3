#include "journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>

namespace quorlin::journal {
namespace {

constexpr char kMagic[8] = {'Q', 'R', 'L', 'N', 'J', 'R', 'N', '2'};
constexpr std::uint64_t kOffset = 8;  // the address and length size this reader handles
constexpr std::size_t kMaxBlocks = 1 << 20;
constexpr std::size_t kSamples = 4;        // object headers a journal records
constexpr std::uint64_t kMaxHeader = 1 << 16;  // bytes of each it checks

std::uint64_t le(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void put(std::vector<unsigned char>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::uint64_t fnv1a(const unsigned char* p, std::size_t n, std::uint64_t h = 14695981039346656037ull) {
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

/// Reads exactly `n` bytes at `addr`: 0, 1 when the file ends first, -1 with errno.
int read_at(int fd, std::uint64_t addr, void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        ssize_t got = pread(fd, p, n, static_cast<off_t>(addr));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) return 1;
        p += got, addr += static_cast<std::uint64_t>(got), n -= static_cast<std::size_t>(got);
    }
    return 0;
}

/// Writes exactly `n` bytes at `addr`: 0, or -1 with errno.
int write_at(int fd, const unsigned char* p, std::size_t n, std::uint64_t addr) {
    while (n > 0) {
        ssize_t put = pwrite(fd, p, n, static_cast<off_t>(addr));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return -1;
        p += put, addr += static_cast<std::uint64_t>(put), n -= static_cast<std::size_t>(put);
    }
    return 0;
}

/// Reads `n` bytes at `addr` into `out`, checked against the file's size (1 past its end).
int read_block(int fd, std::uint64_t file_size, std::uint64_t addr, std::uint64_t n, unsigned char* out) {
    if (addr > file_size || n > file_size - addr) return 1;
    return read_at(fd, addr, out, n);
}

/// Reads `n` bytes at `addr` into `buf`, checked against the file's size.
int read_block(int fd, std::uint64_t file_size, std::uint64_t addr, std::uint64_t n, std::vector<unsigned char>& buf) {
    if (addr > file_size || n > file_size - addr) return 1;
    buf.resize(n);
    return read_at(fd, addr, buf.data(), n);
}

/// Reads each of `blocks` into `out` + `at[i]`, checked against the file's size: 0, 1 when one lies past
/// its end, -1 with errno. Blocks less than a page apart are read together: the root group's symbol
/// nodes are many small blocks, most of them side by side.
int read_blocks(int fd, std::uint64_t file_size, const std::vector<Block>& blocks, unsigned char* out,
                const std::vector<std::size_t>& at) {
    constexpr std::uint64_t gap = 4096, most = 1 << 20;  // bytes a read may skip, and span
    std::vector<std::size_t> order(blocks.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return blocks[a].addr < blocks[b].addr; });
    std::vector<unsigned char> run;
    for (std::size_t first = 0, last; first < order.size(); first = last) {
        const std::uint64_t start = blocks[order[first]].addr;
        std::uint64_t end = start;
        for (last = first; last < order.size(); ++last) {
            const Block& b = blocks[order[last]];
            if (last > first && (b.addr > end + gap || b.addr + b.size - start > most)) break;
            if (b.addr > file_size || b.size > file_size - b.addr) return 1;
            end = std::max(end, b.addr + b.size);
        }
        run.resize(end - start);
        if (int r = read_at(fd, start, run.data(), run.size())) return r;
        for (std::size_t k = first; k < last; ++k) {
            const Block& b = blocks[order[k]];
            std::memcpy(out + at[order[k]], run.data() + (b.addr - start), b.size);
        }
    }
    return 0;
}

/// Checksum of the `size` bytes of an object header at `addr`, less its link count (bytes 4 to 8),
/// the one field a flush rewrites in the header of a dataset the store replaces.
int header_sum(int fd, std::uint64_t file_size, std::uint64_t addr, std::uint64_t size, std::uint64_t& sum) {
    std::vector<unsigned char> buf;
    if (size < 8) return 1;
    if (int r = read_block(fd, file_size, addr, size, buf)) return r;
    sum = fnv1a(buf.data() + 8, size - 8, fnv1a(buf.data(), 4));
    return 0;
}

/// The object header at `addr` (version 1): its chunks, and the symbol table message's B-tree
/// and heap addresses.
int root_header(int fd, std::uint64_t file_size, std::uint64_t addr, std::vector<Block>& blocks, std::uint64_t& btree,
                std::uint64_t& heap) {
    std::vector<unsigned char> buf;
    if (int r = read_block(fd, file_size, addr, 16, buf)) return r;
    if (buf[0] != 1) return 1;
    std::uint64_t messages = le(&buf[2], 2);
    std::deque<Block> chunks{{addr + 16, le(&buf[8], 4)}};
    blocks.push_back({addr, 16 + chunks.front().size});
    bool found = false;
    while (!chunks.empty() && messages > 0) {
        Block chunk = chunks.front();
        chunks.pop_front();
        if (int r = read_block(fd, file_size, chunk.addr, chunk.size, buf)) return r;
        for (std::size_t at = 0; at + 8 <= buf.size() && messages > 0; --messages) {
            std::uint64_t type = le(&buf[at], 2), size = le(&buf[at + 2], 2);
            const unsigned char* body = &buf[at + 8];
            if (size > buf.size() - at - 8) return 1;
            if (type == 0x10 && size >= 16) {  // continuation
                Block next{le(body, 8), le(body + 8, 8)};
                if (blocks.size() >= kMaxBlocks) return 1;
                blocks.push_back(next);
                chunks.push_back(next);
            } else if (type == 0x11 && size >= 16) {  // symbol table
                btree = le(body, 8), heap = le(body + 8, 8);
                found = true;
            }
            at += 8 + size;
        }
    }
    return found ? 0 : 1;
}

}  // namespace

int root_blocks(int fd, std::vector<Block>& blocks) {
    blocks.clear();
    struct stat st;
    if (fstat(fd, &st) < 0) return -1;
    auto file_size = static_cast<std::uint64_t>(st.st_size);
    std::vector<unsigned char> sb;
    if (int r = read_block(fd, file_size, 0, 96, sb)) return r;
    static constexpr unsigned char signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
    if (std::memcmp(sb.data(), signature, 8) != 0 || sb[8] != 0 || sb[13] != kOffset || sb[14] != kOffset) return 1;
    std::uint64_t leaf_k = le(&sb[16], 2), node_k = le(&sb[18], 2);
    // Then the base, free-space, end-of-file and driver-information addresses, and the root entry.
    constexpr std::size_t entry = 56;
    if (le(&sb[24], 8) != 0 || le(&sb[48], 8) != ~0ull) return 1;
    blocks.push_back({0, 96});
    std::uint64_t btree = 0, heap = 0;
    if (int r = root_header(fd, file_size, le(&sb[entry + 8], 8), blocks, btree, heap)) return r;

    std::vector<unsigned char> buf;
    if (int r = read_block(fd, file_size, heap, 32, buf)) return r;
    if (std::memcmp(buf.data(), "HEAP", 4) != 0) return 1;
    blocks.push_back({heap, 32});
    blocks.push_back({le(&buf[24], 8), le(&buf[8], 8)});

    const std::uint64_t node_size = 24 + (2 * node_k + 1) * kOffset + 2 * node_k * kOffset;
    const std::uint64_t symbol_node_size = 8 + 2 * leaf_k * 40;
    std::deque<std::uint64_t> nodes{btree};
    while (!nodes.empty()) {
        std::uint64_t addr = nodes.front();
        nodes.pop_front();
        if (int r = read_block(fd, file_size, addr, node_size, buf)) return r;
        if (std::memcmp(buf.data(), "TREE", 4) != 0 || buf[4] != 0) return 1;
        blocks.push_back({addr, node_size});
        unsigned level = buf[5];
        std::uint64_t used = le(&buf[6], 2);
        if (used > 2 * node_k || blocks.size() + used > kMaxBlocks) return 1;
        for (std::uint64_t i = 0; i < used; ++i) {
            std::uint64_t child = le(&buf[24 + i * 2 * kOffset + kOffset], 8);
            if (level > 0)
                nodes.push_back(child);
            else
                blocks.push_back({child, symbol_node_size});
        }
    }
    return 0;
}

int write(const std::string& path, int fd, const std::vector<Block>& blocks) {
    struct stat st;
    if (fstat(fd, &st) < 0) return -1;
    auto file_size = static_cast<std::uint64_t>(st.st_size);
    std::vector<unsigned char> out(kMagic, kMagic + 8);
    put(out, st.st_dev);
    put(out, st.st_ino);
    put(out, blocks.size());
    std::vector<std::size_t> at(blocks.size());  // where each block's bytes go in `out`
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        put(out, blocks[i].addr);
        put(out, blocks[i].size);
        at[i] = out.size();
        out.resize(at[i] + blocks[i].size);
    }
    if (int r = read_blocks(fd, file_size, blocks, out.data(), at)) {
        if (r > 0) errno = EIO;
        return -1;
    }
    std::vector<std::uint64_t> headers;  // the datasets' object headers, from the symbol nodes
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Block& b = blocks[i];
        const unsigned char* node = &out[at[i]];
        if (b.size < 8 || std::memcmp(node, "SNOD", 4) != 0) continue;
        for (std::uint64_t e = 0, n = le(node + 6, 2); e < n && 8 + (e + 1) * 40 <= b.size; ++e)
            headers.push_back(le(node + 8 + e * 40 + 8, 8));
    }
    // The newest datasets lie at the highest addresses: an older copy of the store lacks them.
    std::sort(headers.begin(), headers.end(), std::greater<>());
    headers.erase(std::unique(headers.begin(), headers.end()), headers.end());
    headers.resize(std::min(headers.size(), kSamples));
    put(out, headers.size());
    for (std::uint64_t addr : headers) {
        std::vector<unsigned char> prefix(16);
        if (int r = read_block(fd, file_size, addr, 16, prefix.data())) {
            if (r > 0) errno = EIO;
            return -1;
        }
        std::uint64_t size = std::min(16 + le(&prefix[8], 4), kMaxHeader), sum;
        if (int r = header_sum(fd, file_size, addr, size, sum)) {
            if (r > 0) errno = EIO;
            return -1;
        }
        put(out, addr);
        put(out, size);
        put(out, sum);
    }
    put(out, fnv1a(out.data(), out.size()));
    int jfd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (jfd < 0) return -1;
    int status = write_at(jfd, out.data(), out.size(), 0);
    int saved = errno;
    close(jfd);
    if (status < 0) unlink(path.c_str());
    errno = saved;
    return status;
}

namespace {

/// Reads the little-endian fields of a journal in order; `ok` turns false at the first field
/// that would run past its end.
struct Cursor {
    const unsigned char* data;
    std::size_t at, end;
    bool ok = true;
    std::uint64_t u64() {
        const unsigned char* p = bytes(8);
        return p ? le(p, 8) : 0;
    }
    const unsigned char* bytes(std::uint64_t n) {
        if (!ok || n > end - at) return ok = false, nullptr;
        at += n;
        return data + at - n;
    }
};

/// Whether the journal in `in` was taken from the file open as `fd`, in the state the file still
/// holds; its blocks are collected into `blocks` (address, offset into `in`).
int matches(const std::vector<unsigned char>& in, int fd, std::vector<std::pair<Block, std::size_t>>& blocks, bool& match) {
    struct stat st;
    if (fstat(fd, &st) < 0) return -1;
    auto file_size = static_cast<std::uint64_t>(st.st_size);
    Cursor c{in.data(), 8, in.size() - 8};
    std::uint64_t dev = c.u64(), ino = c.u64(), count = c.u64();
    match = c.ok && dev == static_cast<std::uint64_t>(st.st_dev) && ino == static_cast<std::uint64_t>(st.st_ino);
    for (std::uint64_t i = 0; i < count && match && c.ok; ++i) {
        std::uint64_t addr = c.u64(), size = c.u64();
        const unsigned char* bytes = c.bytes(size);
        if (bytes) blocks.push_back({{addr, size}, static_cast<std::size_t>(bytes - in.data())});
    }
    std::uint64_t samples = c.u64();
    for (std::uint64_t i = 0; i < samples && match && c.ok; ++i) {
        std::uint64_t addr = c.u64(), size = c.u64(), sum = c.u64(), now = 0;
        int r = c.ok && size <= kMaxHeader ? header_sum(fd, file_size, addr, size, now) : 1;
        if (r < 0) return -1;
        match = r == 0 && now == sum;
    }
    match = match && c.ok && c.at == c.end;
    return 0;
}

/// Whether the journal's blocks, and the end of the file its superblock records (`file_end`), lie
/// where the change it was taken before could have left them for a file now `file_size` long. A
/// change only frees the datasets that the change before it replaced, each no larger than the
/// version of its table the file still holds, so a flush that cut the file cut less than the
/// file's size, besides the room the root group's own blocks and HDF5's allocators take. A journal
/// reaching further would grow the file, sparse, as far as it names: it is not this file's.
bool within_reach(const std::vector<unsigned char>& in, const std::vector<std::pair<Block, std::size_t>>& blocks,
                  std::uint64_t file_size, std::uint64_t& file_end) {
    constexpr std::uint64_t slack = 1 << 20;
    std::uint64_t root = 0;
    for (const auto& entry : blocks) root += entry.first.size;
    const std::uint64_t reach = 2 * file_size + 2 * root + slack;
    file_end = 0;
    for (const auto& [b, at] : blocks) {
        if (b.addr > reach || b.size > reach - b.addr) return false;
        if (b.addr == 0 && b.size >= 48) file_end = le(&in[at + 40], 8);  // the superblock's end-of-file address
    }
    return file_end <= reach;
}

}  // namespace

int roll_back(const std::string& journal_path, int store_fd, Outcome& outcome) {
    outcome = Outcome::none;
    // O_NONBLOCK: a FIFO planted at the journal's path does not stall the opener.
    int jfd = open(journal_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (jfd < 0) {
        if (errno == ELOOP) outcome = Outcome::foreign;
        return errno == ENOENT || errno == ELOOP ? 0 : -1;
    }
    struct stat st;
    std::vector<unsigned char> in;
    int status = fstat(jfd, &st);
    bool regular = status == 0 && S_ISREG(st.st_mode);
    if (regular) {
        in.resize(static_cast<std::size_t>(st.st_size));
        status = read_at(jfd, 0, in.data(), in.size()) < 0 ? -1 : 0;
    }
    int saved = errno;
    close(jfd);
    errno = saved;
    if (status < 0) return -1;
    if (!regular) {
        outcome = Outcome::foreign;
        return 0;
    }

    // Another version's journal is kept for whoever can read it.
    if (in.size() >= 8 && std::memcmp(in.data(), kMagic, 7) == 0 && in[7] != kMagic[7]) {
        outcome = Outcome::foreign;
        return 0;
    }
    // A journal is complete when its checksum matches; the blocks are parsed within its bounds.
    bool complete = in.size() >= 16 && std::memcmp(in.data(), kMagic, 8) == 0 &&
                    fnv1a(in.data(), in.size() - 8) == le(&in[in.size() - 8], 8);
    outcome = Outcome::incomplete;
    if (complete) {
        std::vector<std::pair<Block, std::size_t>> blocks;
        bool match;
        if (matches(in, store_fd, blocks, match) < 0) return -1;
        if (!match) {
            outcome = Outcome::foreign;
            return 0;
        }
        struct stat now;
        if (fstat(store_fd, &now) < 0) return -1;
        std::uint64_t file_end = 0;
        if (!within_reach(in, blocks, static_cast<std::uint64_t>(now.st_size), file_end)) {
            outcome = Outcome::foreign;
            return 0;
        }
        outcome = Outcome::applied;
        for (auto& [b, at] : blocks)
            if (write_at(store_fd, &in[at], b.size, b.addr) < 0) return -1;
        // The interrupted flush may have cut the file to a shorter end than the restored
        // superblock records; what lay past it was free space then.
        if (static_cast<std::uint64_t>(now.st_size) < file_end && ftruncate(store_fd, static_cast<off_t>(file_end)) < 0)
            return -1;
    }
    return unlink(journal_path.c_str()) < 0 && errno != ENOENT ? -1 : 0;
}

int set_aside(const std::string& path, std::string& moved_to) {
    for (int n = 1; n <= 1000; ++n) {
        moved_to = path + ".foreign-" + std::to_string(n);
        if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, moved_to.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno != EEXIST) return -1;
    }
    return -1;
}

}  // namespace quorlin::journal
