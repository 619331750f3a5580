// The installer of version 2 of the demo application, as a Windows program (the
// offline demo on Linux uses install-demo-app-2.sh, which does the same).
// Installing it means recording version 2 in the host's registry:
//   install-demo-app-2.exe REGISTRY_FILE APPLICATION_ID
// The registry is rewritten into a temporary file and moved into place, so a
// reader never sees it half-written.
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: install-demo-app-2 REGISTRY_FILE APPLICATION_ID\n";
        return 2;
    }
    const std::string registry = argv[1];
    const std::string application = argv[2];
    const char* const newVersion = "2";

    std::stringstream text;
    text << std::ifstream(registry, std::ios::binary).rdbuf();
    // Keeps every other entry; changes the version of this application's entry only.
    const std::regex entry("(id=\"" + application + "\" version=\")[0-9]*\"");
    const std::string updated = std::regex_replace(text.str(), entry, std::string("$1") + newVersion + "\"");
    if (updated.find("id=\"" + application + "\" version=\"" + newVersion + "\"") == std::string::npos) {
        std::cerr << "install-demo-app-2: application " << application << " is not in " << registry << "\n";
        return 1;
    }
    const std::string temporary = registry + ".install.tmp";
    if (!(std::ofstream(temporary, std::ios::binary | std::ios::trunc) << updated)) return 1;
    std::error_code error;
    std::filesystem::rename(temporary, registry, error);
    if (error) {
        std::cerr << "install-demo-app-2: cannot replace " << registry << ": " << error.message() << "\n";
        return 1;
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::ofstream(registry + ".install.log", std::ios::app)
        << stamp << " installed version " << newVersion << " of " << application << "\n";
    return 0;
}
