// A stand-in installer for the launcher tests, built for every platform the tests
// run on. It writes "recorded.txt" in its working folder: its process id on the
// first line, then each argument on a line of its own (control characters as
// \xHH). While a file "hold" exists in that folder it keeps running; then it
// exits with code 3, so that an exit code is never mistaken for success.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string escaped(const std::string& argument) {
    std::string text;
    for (unsigned char c : argument) {
        if (c < 0x20 || c == 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            text += code;
        } else {
            text.push_back(static_cast<char>(c));
        }
    }
    return text;
}

int record(unsigned long processId, const std::vector<std::string>& arguments) {
    {
        std::ofstream out("recorded.tmp", std::ios::binary | std::ios::trunc);
        out << processId << '\n';
        for (const std::string& argument : arguments) out << escaped(argument) << '\n';
        if (!out) return 1;
    }
    std::error_code error;
    std::filesystem::rename("recorded.tmp", "recorded.txt", error);  // complete once it exists
    if (error) return 1;
    while (std::filesystem::exists("hold")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 3;
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &text[0], size, nullptr, nullptr);
        text.resize(text.size() - 1);
        arguments.push_back(text);
    }
    return record(GetCurrentProcessId(), arguments);
}
#else
int main(int argc, char** argv) {
    return record(static_cast<unsigned long>(::getpid()), std::vector<std::string>(argv + 1, argv + argc));
}
#endif
