// SHA-256 and durable file replacement on the system's own calls (libcrypto here,
// CNG on Windows): the same digests and file outcomes on both.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "platform/DurableFile.h"
#include "platform/Sha256.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(Sha256Test, KnownDigestsWhateverThePiecesAndAfterEachFinish) {
    struct Case {
        std::string text;
        std::size_t piece;  // fed in pieces of this size
        const char* digest;
    };
    const Case cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), 4093, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    platform::Sha256 hasher;  // one hasher for all: finishing readies it for the next
    for (const Case& c : cases) {
        for (std::size_t at = 0; at < c.text.size(); at += c.piece)
            hasher.update(c.text.data() + at, std::min(c.piece, c.text.size() - at));
        EXPECT_EQ(hasher.finishHex(), c.digest) << c.text.substr(0, 20);
    }
    hasher.update("discarded", 9);
    hasher.reset();
    hasher.update("abc", 3);
    EXPECT_EQ(hasher.finishHex(), cases[1].digest);
}

TEST(DurableFileTest, ReplacesWholeFilesAndRefusesWhatItCannotDo) {
    testsupport::TempDir dir;
    const std::string file = dir.file("registry.xml");
    std::string content = "untouched";
    EXPECT_FALSE(platform::readWholeFile(file, content));  // missing
    EXPECT_FALSE(platform::readWholeFile(dir.path(), content));  // a folder
    EXPECT_EQ(content, "untouched");

    const std::string binary("first\0\r\n\xff", 9);
    for (const std::string& text : {binary, std::string("second, longer than the first one"), std::string()}) {
        ASSERT_TRUE(platform::replaceFileDurably(file, text));
        ASSERT_TRUE(platform::readWholeFile(file, content));
        EXPECT_EQ(content, text);
    }
#if !defined(_WIN32)
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0644));
#endif
    EXPECT_FALSE(platform::replaceFileDurably(dir.file("no-folder/registry.xml"), "x"));
    EXPECT_FALSE(platform::replaceFileDurably(dir.path(), "x"));  // a folder is not replaced
    EXPECT_TRUE(fs::is_directory(dir.path()));
    // Nothing but the file itself is left behind, failures included.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
