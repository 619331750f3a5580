#include "FuzzInput.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace kestrup_fuzz {

const std::string& ScratchFolder::path() {
    static const std::string folder = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrup-fuzz-XXXXXX";
        if (!::mkdtemp(&pattern[0])) throw std::runtime_error("cannot make a scratch folder");
        return pattern;
    }();
    return folder;
}

std::string ScratchFolder::write(const std::string& name, const std::string& bytes) {
    const std::string file = path() + "/" + name;
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return file;
}

}  // namespace kestrup_fuzz
