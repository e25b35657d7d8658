// The platform layer on Windows: the C runtime's _write on its descriptors,
// the handle's file type, and the system's preferred random generator.
#include "platform.hpp"

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs for its types.
#include <bcrypt.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace vaskel::platform {

WriteResult write_some(int fd, const char* p, std::size_t n) noexcept {
    // _write takes an unsigned int count: a longer text goes out in several
    // calls, as a partial write would.
    const unsigned int count = n > static_cast<std::size_t>(INT_MAX) ? static_cast<unsigned int>(INT_MAX)
                                                                        : static_cast<unsigned int>(n);
    const int written = ::_write(fd, p, count);
    if (written >= 0) return {WriteResult::Status::written, static_cast<std::size_t>(written), 0};
    // The C runtime has no signals that interrupt a write: no EINTR here.
    return {WriteResult::Status::failed, 0, errno};
}

std::string error_text(int error) { return std::strerror(error); }

bool write_may_block(int fd) noexcept {
    const intptr_t handle = ::_get_osfhandle(fd);
    if (handle == -1 || handle == -2) return true;
    // A disk file takes the bytes on its own; a pipe, a console and the
    // character devices (the null device among them: it cannot be told
    // apart from a console by its type alone) may wait.
    return ::GetFileType(reinterpret_cast<HANDLE>(handle)) != FILE_TYPE_DISK;
}

bool random_bytes(void* out, std::size_t n) noexcept {
    const int saved_errno = errno;
    auto* p = static_cast<unsigned char*>(out);
    bool ok = true;
    while (ok && n > 0) {
        const ULONG chunk = n > 0x10000000u ? 0x10000000u : static_cast<ULONG>(n);
        ok = BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG));
        p += chunk;
        n -= chunk;
    }
    errno = saved_errno;
    return ok;
}

}  // namespace vaskel::platform
