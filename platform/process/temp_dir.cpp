#include "velmora/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace velmora::proc {

TempDir::TempDir(const std::string& prefix) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    x_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(x_path, ignored);
}

}  // namespace velmora::proc
