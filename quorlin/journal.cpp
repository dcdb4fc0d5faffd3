#include "journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

namespace quorlin::journal {
namespace {

constexpr char kMagic[8] = {'Q', 'R', 'L', 'N', 'J', 'R', 'N', '1'};
constexpr std::uint64_t kOffset = 8;  // the address and length size this reader handles
constexpr std::size_t kMaxBlocks = 1 << 20;

std::uint64_t le(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void put(std::vector<unsigned char>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::uint64_t fnv1a(const unsigned char* p, std::size_t n) {
    std::uint64_t h = 14695981039346656037ull;
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

/// Reads `n` bytes at `addr` into `buf`, checked against the file's size.
int read_block(int fd, std::uint64_t file_size, std::uint64_t addr, std::uint64_t n, std::vector<unsigned char>& buf) {
    if (addr > file_size || n > file_size - addr) return 1;
    buf.resize(n);
    return read_at(fd, addr, buf.data(), n);
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
    std::vector<unsigned char> out(kMagic, kMagic + 8);
    put(out, blocks.size());
    for (const Block& b : blocks) {
        put(out, b.addr);
        put(out, b.size);
        std::size_t at = out.size();
        out.resize(at + b.size);
        int r = read_at(fd, b.addr, &out[at], b.size);
        if (r) {
            if (r > 0) errno = EIO;
            return -1;
        }
    }
    put(out, fnv1a(out.data(), out.size()));
    int jfd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (jfd < 0) return -1;
    int status = write_at(jfd, out.data(), out.size(), 0);
    int saved = errno;
    close(jfd);
    errno = saved;
    return status;
}

int roll_back(const std::string& journal_path, const std::string& store_path) {
    int jfd = open(journal_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (jfd < 0) return errno == ENOENT ? 0 : -1;
    struct stat st;
    std::vector<unsigned char> in;
    int status = fstat(jfd, &st);
    if (status == 0) {
        in.resize(static_cast<std::size_t>(st.st_size));
        status = read_at(jfd, 0, in.data(), in.size()) < 0 ? -1 : 0;
    }
    int saved = errno;
    close(jfd);
    errno = saved;
    if (status < 0) return -1;

    // A journal is complete when its checksum matches; the blocks are parsed within its bounds.
    bool complete = in.size() >= 24 && std::memcmp(in.data(), kMagic, 8) == 0 &&
                    fnv1a(in.data(), in.size() - 8) == le(&in[in.size() - 8], 8);
    if (complete) {
        std::uint64_t count = le(&in[8], 8);
        int sfd = open(store_path.c_str(), O_WRONLY | O_CLOEXEC);
        if (sfd < 0 && errno != ENOENT) return -1;  // a missing store leaves nothing to bring back
        std::size_t at = 16, end = in.size() - 8;
        std::uint64_t file_end = 0;
        for (std::uint64_t i = 0; i < count && sfd >= 0 && status == 0; ++i) {
            if (end - at < 16) break;
            std::uint64_t addr = le(&in[at], 8), size = le(&in[at + 8], 8);
            at += 16;
            if (size > end - at) break;
            if (addr == 0 && size >= 48) file_end = le(&in[at + 40], 8);  // the superblock's end-of-file address
            status = write_at(sfd, &in[at], size, addr);
            at += size;
        }
        // The interrupted flush may have cut the file to a shorter end than the restored
        // superblock records; what lay past it was free space then.
        struct stat now;
        if (sfd >= 0 && status == 0 && (status = fstat(sfd, &now)) == 0 && static_cast<std::uint64_t>(now.st_size) < file_end)
            status = ftruncate(sfd, static_cast<off_t>(file_end));
        saved = errno;
        if (sfd >= 0) close(sfd);
        errno = saved;
        if (status < 0) return -1;
    }
    return unlink(journal_path.c_str()) < 0 && errno != ENOENT ? -1 : 0;
}

}  // namespace quorlin::journal
