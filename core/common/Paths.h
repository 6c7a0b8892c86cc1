#pragma once

#include <string>
#include <string_view>

namespace lumifold {

// Helpers over absolute POSIX path strings. They never touch the file system.

// "/a/b/c" gives "c"; "/a/b/" gives "b"; "/" gives "/".
std::string lastPathComponent(std::string_view path);
// The same, as a view into `path`.
std::string_view lastPathComponentIn(std::string_view path);
// "/a/b/c" gives "/a/b"; "/a" gives "/"; "/" gives "/".
std::string deletingLastPathComponent(std::string_view path);
// Joins with exactly one "/" between the parts.
std::string appending(std::string_view path, std::string_view component);

// Shell-style matching of the whole `text`: "*" any run of bytes ("/" included, so "*/build"
// matches a path), "?" one byte, "[abc]", "[a-z]" and "[!abc]" one byte of a set, and "\\"
// takes the next byte literally. A malformed set ("[" without "]") is an ordinary "[".
bool matchesGlob(std::string_view pattern, std::string_view text);

}  // namespace lumifold
