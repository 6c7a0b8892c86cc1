#include "core/common/Error.h"

#include <utility>

namespace lumifold {

Error::Error(std::string domain, int code, std::string message)
    : std::runtime_error(std::move(message)), m_domain(std::move(domain)), m_code(code) {}

}  // namespace lumifold
