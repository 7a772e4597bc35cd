#include "support/test_data.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tarnis::test {

std::string DataFile(const std::string& relative) {
    return std::string(TARNIS_TEST_DATA) + "/" + relative;
}

std::string CopyDataFile(const std::string& relative, const std::string& dir) {
    const std::filesystem::path source = DataFile(relative);
    const std::filesystem::path target = std::filesystem::path(dir) / source.filename();
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(target, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    return target.string();
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace tarnis::test
