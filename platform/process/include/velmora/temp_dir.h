// A private directory for one run of a tool, test or benchmark.
#pragma once

#include <filesystem>
#include <string>

namespace velmora::proc {

// A fresh directory $TMPDIR/PREFIX.XXXXXX (/tmp without TMPDIR), removed with
// all it holds when it goes out of scope.
class TempDir {
public:
    // Throws std::system_error, with mkdtemp's errno, when none can be made.
    explicit TempDir(const std::string& prefix = "velmora-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return x_path; }
    // The path of an entry in the directory.
    std::string file(const std::string& name) const { return (x_path / name).string(); }

private:
    std::filesystem::path x_path;
};

}  // namespace velmora::proc
