// A private directory for one test or benchmark run.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds when
// it goes out of scope.
class TempDir {
  public:
    explicit TempDir(const std::string &prefix = "velmora-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    // The path of an entry in the directory.
    std::string file(const std::string &name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

} // namespace testsupport
