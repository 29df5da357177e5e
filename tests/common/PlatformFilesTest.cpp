// The platform layer for writing a file under a temporary name and publishing it:
// where the temporary file goes, that publishing never replaces what has the name,
// and the system's reason when it fails.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "common/PlatformFiles.h"
#include "support/TempDir.h"

using namespace talwen::common;
namespace fs = std::filesystem;

namespace {

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(PlatformFiles, TheTemporaryFileIsNewEmptyAndHiddenBesideThePath) {
    wcrtest::TempDir dir("platform-temp");
    const std::string path = dir.file("store.sqlite");
    std::set<std::string> names;
    for (int i = 0; i < 3; ++i) {
        std::string failure;
        const std::string temporary = createTemporaryFileNextTo(path, ".partial-", &failure);
        ASSERT_FALSE(temporary.empty()) << failure;
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(temporary).parent_path());
        const std::string name = fs::path(temporary).filename().string();
        EXPECT_EQ(0u, name.rfind(".store.sqlite.partial-", 0)) << name;
        EXPECT_EQ(std::string(".store.sqlite.partial-").size() + 6, name.size()) << name;
        EXPECT_TRUE(fs::is_regular_file(temporary));
        EXPECT_EQ(0u, fs::file_size(temporary));
        names.insert(temporary);
    }
    EXPECT_EQ(3u, names.size()) << "each call makes a file of its own";
    EXPECT_FALSE(fs::exists(path));

    std::string failure;
    EXPECT_EQ("", createTemporaryFileNextTo(dir.file("missing/store.sqlite"), ".partial-", &failure));
    EXPECT_EQ("No such file or directory", failure);
}

TEST(PlatformFiles, PublishingGivesTheNameOnlyWhenNothingHasIt) {
    wcrtest::TempDir dir("platform-publish");
    struct Case {
        const char* name;
        void (*prepare)(const std::string& path);  // what has the name before
        PublishResult expected;
        const char* failure;      // the system's text for Failed
        bool temporaryRemains;    // the temporary file is still there afterwards
    } const cases[] = {
        {"a free name", [](const std::string&) {}, PublishResult::Published, "", false},
        {"an existing file", [](const std::string& path) { write(path, "someone else's"); },
         PublishResult::AlreadyExists, "", true},
        {"a link to nothing", [](const std::string& path) { fs::create_symlink(path + ".target", path); },
         PublishResult::AlreadyExists, "", true},
        {"a directory", [](const std::string& path) { fs::create_directory(path); }, PublishResult::AlreadyExists, "",
         true},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("kept" + std::to_string(++number) + ".sqlite");
        c.prepare(path);
        const bool wasThere = fs::exists(fs::symlink_status(path));
        const std::string before = wasThere && fs::is_regular_file(path) ? read(path) : "";
        std::string failure;
        const std::string temporary = createTemporaryFileNextTo(path, ".partial-", &failure);
        ASSERT_FALSE(temporary.empty()) << failure;
        write(temporary, "complete store");

        EXPECT_EQ(c.expected, publishFile(temporary, path, &failure));
        EXPECT_EQ(c.temporaryRemains, fs::exists(temporary));
        if (c.expected == PublishResult::Published) {
            EXPECT_EQ("complete store", read(path));
        } else if (fs::is_regular_file(fs::symlink_status(path))) {
            EXPECT_EQ(before, read(path)) << "never replaced";
        }
        EXPECT_FALSE(fs::exists(path + ".target")) << "a link's target is never written";
        EXPECT_TRUE(removeFileIfPresent(temporary));
    }

    // Failures carry the system's reason and change nothing.
    std::string failure;
    EXPECT_EQ(PublishResult::Failed, publishFile(dir.file("no-such-temporary"), dir.file("named"), &failure));
    EXPECT_EQ("No such file or directory", failure);
    EXPECT_FALSE(fs::exists(dir.file("named")));
    const std::string temporary = createTemporaryFileNextTo(dir.file("x"), ".partial-", &failure);
    failure.clear();
    EXPECT_EQ(PublishResult::Failed, publishFile(temporary, dir.file("missing/named"), &failure));
    EXPECT_EQ("No such file or directory", failure);
    EXPECT_TRUE(fs::exists(temporary));
}

TEST(PlatformFiles, RemovingAFileThatIsGoneIsNoFailure) {
    wcrtest::TempDir dir("platform-remove");
    const std::string file = dir.file("f");
    write(file, "x");
    EXPECT_TRUE(removeFileIfPresent(file));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(removeFileIfPresent(file));

    fs::create_directory(dir.file("d"));
    std::string failure;
    EXPECT_FALSE(removeFileIfPresent(dir.file("d"), &failure));
    EXPECT_EQ("Is a directory", failure);
    EXPECT_TRUE(fs::is_directory(dir.file("d")));
}
