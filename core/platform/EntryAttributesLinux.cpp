#include "core/platform/EntryAttributesLinux.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "core/platform/Descriptor.h"

namespace lumifold::platform::entry_attributes {
namespace {

// The kernel's attribute calls relative to a folder (6.13 and later); older kernels open the
// entry without following a link and use the descriptor's calls.
#if defined(__x86_64__) || defined(__aarch64__)
constexpr long kSetxattrat = 463;
constexpr long kGetxattrat = 464;
constexpr long kRemovexattrat = 466;
#else
constexpr long kSetxattrat = -1;
constexpr long kGetxattrat = -1;
constexpr long kRemovexattrat = -1;
#endif
struct XattrArgs {
    std::uint64_t value;
    std::uint32_t size;
    std::uint32_t flags;
};
std::atomic<bool> g_xattratMissing = kSetxattrat < 0;

// Calls `relative` when the kernel has the *xattrat calls, else `viaDescriptor` with the entry
// opened without following a link (a link fails as the kernel fails a link's user attributes).
template <typename Relative, typename ViaDescriptor>
ssize_t atEntry(const Item& item, const Relative& relative, const ViaDescriptor& viaDescriptor) {
    if (!g_xattratMissing.load(std::memory_order_relaxed)) {
        const ssize_t result = relative();
        if (result >= 0 || errno != ENOSYS) return result;
        g_xattratMissing = true;
    }
    Descriptor fd(
        ::openat(item.folder, item.name->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ELOOP) errno = EPERM;
        return -1;
    }
    return viaDescriptor(fd.get());
}

}  // namespace

ssize_t getAttribute(const Item& item, const char* key, void* value, std::size_t size) {
    if (item.folder < 0) return ::lgetxattr(item.path.c_str(), key, value, size);
    return atEntry(
        item,
        [&] {
            XattrArgs args{reinterpret_cast<std::uintptr_t>(value),
                           static_cast<std::uint32_t>(size), 0};
            return static_cast<ssize_t>(::syscall(kGetxattrat, item.folder, item.name->c_str(),
                                                  AT_SYMLINK_NOFOLLOW, key, &args, sizeof args));
        },
        [&](int fd) { return ::fgetxattr(fd, key, value, size); });
}

int setAttribute(const Item& item, const char* key, const void* value, std::size_t size,
                 int flags) {
    if (item.folder < 0) return ::lsetxattr(item.path.c_str(), key, value, size, flags);
    return static_cast<int>(atEntry(
        item,
        [&] {
            XattrArgs args{reinterpret_cast<std::uintptr_t>(value),
                           static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(flags)};
            return static_cast<ssize_t>(::syscall(kSetxattrat, item.folder, item.name->c_str(),
                                                  AT_SYMLINK_NOFOLLOW, key, &args, sizeof args));
        },
        [&](int fd) { return static_cast<ssize_t>(::fsetxattr(fd, key, value, size, flags)); }));
}

int removeAttribute(const Item& item, const char* key) {
    if (item.folder < 0) return ::lremovexattr(item.path.c_str(), key);
    return static_cast<int>(atEntry(
        item,
        [&] {
            return static_cast<ssize_t>(::syscall(kRemovexattrat, item.folder, item.name->c_str(),
                                                  AT_SYMLINK_NOFOLLOW, key));
        },
        [&](int fd) { return static_cast<ssize_t>(::fremovexattr(fd, key)); }));
}

}  // namespace lumifold::platform::entry_attributes
