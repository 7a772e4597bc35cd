#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace tarnis::fuzz {

const std::string& WorkDirectory() {
    static const std::string dir = [] {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/tarnis-fuzz-XXXXXX"
                                                            : "/tmp/tarnis-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return pattern;
    }();
    return dir;
}

void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void SplitInput(const uint8_t* data, size_t size, std::string_view* parts, size_t count) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (size_t i = 0; i + 1 < count; ++i) {
        size_t length = 0;
        if (rest.size() >= 2) {
            length = std::min<size_t>(static_cast<uint8_t>(rest[0]) |
                                          (static_cast<uint8_t>(rest[1]) << 8),
                                      rest.size() - 2);
            rest.remove_prefix(2);
        }
        parts[i] = rest.substr(0, length);
        rest.remove_prefix(length);
    }
    parts[count - 1] = rest;
}

} // namespace tarnis::fuzz
