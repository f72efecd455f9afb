#pragma once

#include <string>
#include <typeinfo>

namespace orlex::common {

// A failure type's readable C++ name ("orlex::common::IoFailure"), as reports and notices name failure
// kinds. The wrapper that std::throw_with_nested adds around a failure is looked through.
std::string typeName(const std::type_info& type);

}  // namespace orlex::common
