#pragma once
// Helpers shared by the fuzz targets: the input as text, and a scratch file for
// the readers that only take a path.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrup_fuzz {

inline std::string asText(const uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A private folder of this process under $TMPDIR, made once; the readers under test
// get their input written to a file in it.
class ScratchFolder {
public:
    static const std::string& path();
    // Writes `bytes` to `name` inside the folder (owner-only) and returns its path.
    static std::string write(const std::string& name, const std::string& bytes);
};

}  // namespace kestrup_fuzz
