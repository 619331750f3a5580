#pragma once
#include <string>

// The per-user data folder of the host product ("%USER_DATA%/Corvane/Brenmark/"),
// created on first use. Not thread-safe on its first call.
class UserDataFolder {
public:
    static std::string get();
    // Forgets the cached path, so the next get() resolves it again (tests, and hosts
    // that change the user data location at start-up).
    static void resetForTesting();

private:
    static std::string s_cachedPath;
};
