#include "tests/support/temp_dir.h"

#include "common/uuid.h"

namespace orlex::test {

TempDir::TempDir() : path_(std::filesystem::temp_directory_path() / ("orlex-test-" + common::randomUuid())) {
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace orlex::test
