#include "runtime/os_random.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(__linux__)
#include <sys/random.h>
#endif

namespace korvane {
namespace {

Error source_failed(const char* what, int code) {
    return Error::internal(std::string("the operating system's random source failed: ") + what +
                           ": " + std::strerror(code));
}

Status read_urandom(std::span<std::byte> out) {
    std::FILE* file = std::fopen("/dev/urandom", "rb");
    if (file == nullptr) return source_failed("/dev/urandom", errno);
    const std::size_t got = std::fread(out.data(), 1, out.size(), file);
    const int code = errno;
    std::fclose(file);
    if (got != out.size()) return source_failed("/dev/urandom", code);
    return ok_status();
}

}  // namespace

Status os_random_bytes(std::span<std::byte> out) {
#if defined(__linux__)
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got < 0 && errno == ENOSYS) {
            return read_urandom(out);  // kernels before 3.17
        } else {
            return source_failed("getrandom", errno);
        }
    }
    return ok_status();
#else
    return read_urandom(out);
#endif
}

}  // namespace korvane
