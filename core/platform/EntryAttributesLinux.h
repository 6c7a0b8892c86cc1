#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// The extended-attribute calls of FileMetadataLinux.cpp on one item, never following a link:
// by path, or relative to a folder held open. Linux only; not a public header.
namespace lumifold::platform::entry_attributes {

// The item whose attributes are read or written: a path, never following a link at its end,
// or the entry `name` of an open folder.
struct Item {
    const std::string& path;
    int folder = -1;
    const std::string* name = nullptr;
};

// The l*xattr calls by path; the *xattrat calls relative to `folder` where the kernel has them,
// else the entry opened without following a link (a link fails as the kernel fails a link's
// user attributes). errno as those calls set it.
ssize_t getAttribute(const Item& item, const char* key, void* value, std::size_t size);
int setAttribute(const Item& item, const char* key, const void* value, std::size_t size, int flags);
int removeAttribute(const Item& item, const char* key);

}  // namespace lumifold::platform::entry_attributes
