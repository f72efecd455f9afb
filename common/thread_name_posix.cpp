#include <pthread.h>

#include "common/thread_name.h"

namespace orlex::common {

void nameCurrentThread(const std::string& name) {
    constexpr std::size_t LIMIT = 15;  // the kernel keeps 16 bytes with the terminator
    ::pthread_setname_np(::pthread_self(), name.substr(0, LIMIT).c_str());
}

}  // namespace orlex::common
