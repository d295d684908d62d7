// File identity: names that lead to one file are the same file, whatever their spelling; a
// link counts as itself or as its target as asked; a name that leads nowhere is nothing.
#include "platform/file_identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/pad_builder.h"

namespace {

TEST(FileIdentity, NamesOfOneFileAreTheSameFile) {
    const std::string dir = test::TempDir();
    ASSERT_TRUE(test::WriteFileBytes(dir + "/a", {1}));
    ASSERT_TRUE(test::WriteFileBytes(dir + "/b", {1}));
    ASSERT_EQ(link((dir + "/a").c_str(), (dir + "/hard").c_str()), 0);
    ASSERT_EQ(symlink("a", (dir + "/soft").c_str()), 0);
    ASSERT_EQ(symlink("missing", (dir + "/dangling").c_str()), 0);
    constexpr LinkRule F = LinkRule::Follow;
    constexpr LinkRule O = LinkRule::Own;
    struct {
        std::string first;
        LinkRule firstRule;
        std::string second;
        LinkRule secondRule;
        bool same;
    } const cases[] = {
        {"/a", F, "/a", O, true},
        {"/a", F, "/../" + dir.substr(dir.rfind('/') + 1) + "/a", F, true},
        {"/a", F, "/hard", O, true},
        {"/a", F, "/b", F, false},
        {"/a", F, "/soft", F, true},
        {"/a", F, "/soft", O, false},
        {"/soft", O, "/soft", O, true},
        {"/dangling", O, "/dangling", O, true},
        {"/dangling", F, "/dangling", F, false},
        {"/missing", F, "/missing", F, false},
    };
    for (const auto& c : cases) {
        const FileIdentity first = IdentifyFile((dir + c.first).c_str(), c.firstRule);
        const FileIdentity second = IdentifyFile((dir + c.second).c_str(), c.secondRule);
        EXPECT_EQ(SameFile(first, second), c.same) << c.first << " " << c.second;
    }
    EXPECT_EQ(IdentifyFile(nullptr, LinkRule::Follow).kind, FileIdentity::Kind::Unknown);
    EXPECT_EQ(IdentifyFile("", LinkRule::Own).kind, FileIdentity::Kind::Unknown);
}

}  // namespace
