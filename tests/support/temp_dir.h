// A fresh directory under the system's temporary directory for one test; removed
// with everything in it when the object goes.
#pragma once

#include <string>

namespace tarnis::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path of a file inside the directory.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace tarnis::test
