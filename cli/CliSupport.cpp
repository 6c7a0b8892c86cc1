#include "cli/CliSupport.h"

#include <filesystem>
#include <iostream>
#include <new>

#include "core/common/Error.h"

namespace lumifold::cli {

int runGuarded(const Action& action) {
    try {
        return action();
    } catch (const std::bad_alloc&) {
        std::cerr << "lumifold: not enough memory to finish; nothing more was changed\n";
        return kExitFailure;
    } catch (const std::exception& error) {
        // Every failure, ours or a library's, ends the command with one readable line.
        std::cerr << "lumifold: " << error.what() << '\n';
        return kExitFailure;
    }
}

std::string absolutePath(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

}  // namespace lumifold::cli
