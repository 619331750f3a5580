// Stands in for an installer in the tests: writes the arguments it was started
// with, one a line (no arguments: one empty line), to the file named in
// "<this program>.marker", through a temporary file so that the file appears whole.
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string ownPath() {
#ifdef _WIN32
    char buffer[MAX_PATH * 4];
    const DWORD length = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, length);
#else
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).string();
#endif
}

}  // namespace

int main(int argc, char** argv) {
    std::string marker;
    std::getline(std::ifstream(ownPath() + ".marker"), marker);
    if (marker.empty()) return 2;
    {
        std::ofstream out(marker + ".tmp", std::ios::trunc | std::ios::binary);  // the same bytes on every platform
        for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
        if (argc == 1) out << '\n';  // an empty line tells "started without arguments" from "not started"
        if (!out.flush()) return 3;
    }
    std::error_code error;
    std::filesystem::rename(marker + ".tmp", marker, error);
    return error ? 3 : 0;
}
