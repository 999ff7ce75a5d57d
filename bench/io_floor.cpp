// The least reading and writing a compaction that checks its output does, with none of
// its work, for bench/compact-bench: the source read once through a buffer, as many bytes
// as the compacted file holds written from it to a new file, and that file read back while
// it is flushed to the disk (the compaction's check reads its output as it goes there).
//   io_floor SOURCE COPY BYTES    COPY must not exist; it is left for the caller to remove
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
constexpr std::size_t Chunk = std::size_t{1} << 20;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

class Fd {
public:
    Fd(const char* path, int flags, const char* what) : fd_(::open(path, flags, 0644)) {
        if (fd_ < 0) Fail(std::string("cannot open ") + what + " " + path);
    }
    ~Fd() { ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void Write_All(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) Fail("cannot write the copy");
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// A buffer of Chunk bytes on a page boundary: the kernel copies into one 16 bytes past a
// 32-byte boundary (where a plain vector of this size starts) at half the speed.
class Buffer {
public:
    Buffer() : bytes_(Chunk + Page) {
        void* at = bytes_.data();
        std::size_t room = bytes_.size();
        data_ = static_cast<std::uint8_t*>(std::align(Page, Chunk, at, room));
    }
    std::uint8_t* data() { return data_; }
    std::size_t size() const { return Chunk; }

private:
    static constexpr std::size_t Page = 4096;
    std::vector<std::uint8_t> bytes_;
    std::uint8_t* data_;
};

void Floor(const char* source, const char* copy, std::uint64_t bytes) {
    Buffer buffer;
    {
        const Fd in(source, O_RDONLY, "the source");
        const Fd out(copy, O_WRONLY | O_CREAT | O_EXCL, "the copy");
        std::uint64_t written = 0;
        for (;;) {
            const ssize_t r = ::read(in.get(), buffer.data(), buffer.size());
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) Fail("cannot read the source");
            if (r == 0) break;
            const std::uint64_t take = std::min<std::uint64_t>(static_cast<std::uint64_t>(r), bytes - written);
            Write_All(out.get(), buffer.data(), static_cast<std::size_t>(take));
            written += take;
        }
    }
    const Fd back(copy, O_RDONLY, "the copy");
    int flush_error = 0, read_error = 0;
    std::thread flush([&] { flush_error = ::fsync(back.get()) == 0 ? 0 : errno; });
    for (std::uint64_t at = 0;;) {
        const ssize_t r = ::pread(back.get(), buffer.data(), buffer.size(), static_cast<off_t>(at));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) read_error = errno;
        if (r <= 0) break;
        at += static_cast<std::uint64_t>(r);
    }
    flush.join();
    for (const auto& [error, what] : {std::pair{read_error, "cannot read the copy back"},
                                      std::pair{flush_error, "cannot flush the copy"}})
        if (error != 0) {
            errno = error;
            Fail(what);
        }
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: io_floor SOURCE COPY BYTES\n");
        return 2;
    }
    try {
#ifdef _WIN32
        throw std::runtime_error("not built for this system");
#else
        Floor(argv[1], argv[2], std::stoull(argv[3]));
#endif
    } catch (const std::exception& e) {
        std::fprintf(stderr, "io_floor: %s\n", e.what());
        return 2;
    }
    return 0;
}
