// test_terminal_text.cpp - the programs that print tag text keep control bytes off the terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mp_tags.h"
#include "other_user.h"
#include "scratch.h"
#include "vp.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// A block as another process could fill it: a published table whose status line, tag name and
// text carry control bytes below 32, DEL, C1 controls raw (0x9B is CSI on an 8-bit terminal)
// and in their UTF-8 form (C2 9B, C2 9D is OSC), beside a letter outside ASCII (C2 A0).
class HostileBlock : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = unique_block_name("VistrelTerminal");
        vp_shm_unlink(name_.c_str());
        ASSERT_EQ(0, vp_shm_open(name_.c_str(), MP_BLOCK_SIZE, &shm_));
        ASSERT_EQ(0, vp_shm_map(shm_, MP_BLOCK_SIZE, 1, &view_));
        MP_TagEntry table[2] = {};
        memcpy(table[0].name, "Numtags", 8);
        table[0].len = 1;
        set(table[0].string, "OK\x1b[2J\x9b" "1m\xc2\x9d" "0;t\x07");
        set(table[1].name, "Ti\x1b[5mtle\x85");
        table[1].len = static_cast<int32_t>(strlen(table[1].name));
        table[1].type = MP_TYPE_TEXT;
        set(table[1].string, "a\x1b]0;x\x07" "b\x9b" "31mc\xc2\x9b" "2Jd\xc2\xa0" "e\x7f" "f\xc2\x80" "g\r\nh");
        memcpy(view_, table, sizeof table);
    }
    void TearDown() override {
        if (view_) vp_shm_unmap(view_, MP_BLOCK_SIZE);
        vp_shm_close(shm_);
        vp_shm_unlink(name_.c_str());
    }
    static void set(char* field, const char* text) { memcpy(field, text, strlen(text) + 1); }

    // The program's output for the block, with every byte that a terminal would act on counted.
    std::string run(const char* program) {
        const char* args[] = {program, name_.c_str(), nullptr};
        EXPECT_EQ(0, vp_run_to_file(program, args, "out.txt"));
        std::string out = read_file("out.txt");
        int unsafe = 0;
        for (char c : out) {
            unsigned char u = static_cast<unsigned char>(c);
            unsafe += c != '\n' && c != '\r' && (u < 0x20 || u == 0x7f || (u >= 0x80 && u <= 0x9f));
        }
        EXPECT_EQ(0, unsafe) << out;
        // Line ends as the platform writes them.
        for (size_t at = out.find("\r\n"); at != std::string::npos; at = out.find("\r\n", at))
            out.erase(at, 1);
        return out;
    }

    ScratchDir dir_;
    std::string name_;
    vp_shm shm_ = VP_NO_SHM;
    void* view_ = nullptr;
};

// Each control shows as one '?': a C1 control in UTF-8 takes one, not two. The letter outside
// ASCII stays as it is.
const char kShownText[] = "a?]0;x?b?31mc?2Jd\xc2\xa0" "e?f?g??h";
const char kShownName[] = "Ti?[5mtle?";
const char kShownStatus[] = "OK?[2J?1m?0;t?";

TEST_F(HostileBlock, PeekShowsControlsAsQuestionMarks) {
    std::string out = run(VISTREL_VISTREL_PEEK);
    EXPECT_NE(std::string::npos, out.find(std::string("Status=") + kShownStatus + "\n")) << out;
    EXPECT_NE(std::string::npos, out.find(kShownName)) << out;
    EXPECT_NE(std::string::npos, out.find(std::string(" ") + kShownText + "\n")) << out;
}

TEST_F(HostileBlock, ExampleReaderShowsControlsAsQuestionMarks) {
    std::string out = run(VISTREL_READ_BLOCK);
    EXPECT_NE(std::string::npos, out.find(std::string("Status: ") + kShownStatus + "\n")) << out;
    EXPECT_NE(std::string::npos, out.find(kShownName)) << out;
    EXPECT_NE(std::string::npos, out.find(std::string(" ") + kShownText + "\n")) << out;
}

// The viewer shows a block's letters as its encoding stores them: its marker names it, else the
// settings file of the folder; an option names it for any block.
TEST_F(HostileBlock, PeekShowsLettersAsTheBlocksEncodingStoresThem) {
    MP_TagEntry tag = {};
    memcpy(tag.name, "Title", 6);
    tag.len = 5;
    tag.type = MP_TYPE_TEXT;
    set(tag.string, "Br\xfc" "cke \x80\x81\x1b");
    memcpy(static_cast<char*>(view_) + sizeof(MP_TagEntry), &tag, sizeof tag);
    char* marker = static_cast<char*>(view_) + MP_BLOCK_SIZE - 64;
    memcpy(marker, "VistrelText=Windows-1252", 25);
    auto peek = [&](std::vector<const char*> args) {
        args.insert(args.begin(), VISTREL_VISTREL_PEEK);
        args.push_back(name_.c_str());
        args.push_back(nullptr);
        EXPECT_EQ(0, vp_run_to_file(VISTREL_VISTREL_PEEK, args.data(), "out.txt"));
        return read_file("out.txt");
    };
    std::string out = peek({});
    EXPECT_NE(std::string::npos, out.find(" Text=Windows-1252 Status=")) << out;
    EXPECT_NE(std::string::npos, out.find(" Br\xc3\xbc" "cke \xe2\x82\xac??")) << out;
    out = peek({"--encoding", "ascii"});
    EXPECT_NE(std::string::npos, out.find(" Br?cke ???")) << out;
    // Without a marker the settings file of the folder says.
    memset(marker, 0, 64);
    set(tag.string, "Ni\xc3\xb1o\xc2\x9b");
    memcpy(static_cast<char*>(view_) + sizeof(MP_TagEntry), &tag, sizeof tag);
    write_file(VP_PLUGINS "MP.cfg", "Text_Encoding=UTF-8\n");
    out = peek({});
    EXPECT_NE(std::string::npos, out.find(" Text=UTF-8 Status=")) << out;
    EXPECT_NE(std::string::npos, out.find(" Ni\xc3\xb1o?")) << out;
    const char* bad[] = {VISTREL_VISTREL_PEEK, "--encoding", "Latin-1", name_.c_str(), nullptr};
    EXPECT_EQ(2, vp_run_to_file(VISTREL_VISTREL_PEEK, bad, "out.txt"));
}

#ifndef _WIN32
// The block's owner cuts it down while the viewer watches it: the viewer says so and ends with
// an error instead of a bus error from its next look into the mapped view.
TEST_F(HostileBlock, PeekWatchingABlockThatIsCutDownEndsWithoutAFault) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int out = open("peek.out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open("peek.err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) _exit(126);
        dup2(out, 1);
        dup2(err, 2);
        execl(VISTREL_VISTREL_PEEK, "vistrel_peek", "-w", name_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    bool shown = wait_until([] { return read_file("peek.out").find(std::string("Status=") + kShownStatus) != std::string::npos; }, 20000);
    bool cut = raw_block_resize(name_, 0);
    int status = 0;
    bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(shown) << read_file("peek.out");
    ASSERT_TRUE(cut);
    ASSERT_TRUE(ended) << "the viewer went on watching";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_EQ("vistrel_peek: shared-memory object /dev/shm/" + name_ + " has been cut down below 1048576 bytes; nothing to show\n",
              read_file("peek.err"));
}
#endif

}  // namespace
