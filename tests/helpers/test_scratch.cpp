// test_scratch.cpp - the test support's scratch folders: made fresh by the test, where no other
// user of the machine can have prepared them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "other_user.h"
#include "scratch.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
// Another user who knows where the tests work makes a folder there first, open to them, before
// a test makes its scratch folder. The scratch folder must still be one that this test made and
// that only it may change, and no folder between the temporary folder and it may be another
// user's, who could otherwise swap it for one of theirs (with a link where a bridge writes its
// log, or settings of theirs).
TEST(Scratch, AFolderPreparedByAnotherUserIsNotUsed) {
    if (!can_act_as_other_user()) GTEST_SKIP() << "needs root to act as another user";
    std::string temp = (fs::temp_directory_path() / "vistrel-scratch-check-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(temp.data()));
    ASSERT_EQ(0, chmod(temp.c_str(), 01777));  // a temporary folder, as /tmp is
    const char* old_tmpdir = getenv("TMPDIR");
    std::string saved = old_tmpdir ? old_tmpdir : "";
    setenv("TMPDIR", temp.c_str(), 1);
    ASSERT_TRUE(as_other_user([&] { return mkdir((temp + "/vistrel-tests").c_str(), 0777) == 0; }));
    std::string made;
    {
        ScratchDir dir;
        made = dir.path();
        struct stat st;
        ASSERT_EQ(0, lstat(made.c_str(), &st));
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(geteuid(), st.st_uid);
        EXPECT_EQ(0700u, st.st_mode & 0777u) << made;
        for (fs::path p = fs::path(made).parent_path(); p.string().size() > temp.size(); p = p.parent_path()) {
            ASSERT_EQ(0, lstat(p.c_str(), &st));
            EXPECT_EQ(geteuid(), st.st_uid) << p << " belongs to another user";
        }
        EXPECT_EQ(fs::path(temp), fs::path(made).parent_path()) << made;
    }
    EXPECT_FALSE(fs::exists(made));
    if (old_tmpdir)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    fs::remove_all(temp);
}
#endif

}  // namespace
