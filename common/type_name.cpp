#include "common/type_name.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace orlex::common {

std::string typeName(const std::type_info& type) {
    int status = 0;
    const std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    std::string name = status == 0 && demangled ? demangled.get() : type.name();
    constexpr std::string_view WRAPPER = "std::_Nested_exception<";
    if (name.starts_with(WRAPPER) && name.ends_with('>'))
        name = name.substr(WRAPPER.size(), name.size() - WRAPPER.size() - 1);
    return name;
}

}  // namespace orlex::common
