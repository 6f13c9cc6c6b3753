// test_status.cpp - Vistrel_Status end to end: bridge starts, the merged screen, states, limits.
//
// The harness (the monitor on its console, the stand-ins, the screens read back) is in
// status_harness.h.
#include "status_harness.h"

#include "other_user.h"
#include "vistrel_reader.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
#include <aclapi.h>
#endif

namespace {

TEST_F(StatusMonitor, StartsBothAbsentBridgesOnceShowsTheBlocksItMadeAndLeavesTheBridgesRunning) {
    ASSERT_TRUE(monitor.start());
    // No script yet: the stand-ins leave the blocks as the monitor made them, zero-filled.
    Screen s = wait_screen([](const Screen&) { return true; });
    ASSERT_EQ(6u, s.size()) << monitor.output();
    const std::string zero_time = ctime_text(0);
    EXPECT_EQ(" WifiRemote State1= Numtags1=   0 Time=" + zero_time + " Status1=  [never published]", s[0].substr(14));
    EXPECT_EQ("               MPExtended State2= Numtags2=   0 Time=" + zero_time + " Status2=  [never published]", s[1]);
    EXPECT_EQ(kHeader, s[2]);
    EXPECT_EQ(kRule, s[3]);
    EXPECT_EQ(row(0, 0, 0, 0, "", ""), s[4]);
    EXPECT_EQ("Total Numtags=1", s[5]);
    // The current time leads the first line.
    time_t now = time(nullptr);
    char hm[16];
    strftime(hm, sizeof hm, "/%m/", localtime(&now));
    EXPECT_EQ(hm, s[0].substr(8, 4));

    // Each bridge was started once, and only at start-up.
    ASSERT_TRUE(wait_until([&] { return started(kWifi).size() == 1 && started(kMpx).size() == 1; }, kWaitMs));
    ASSERT_TRUE(wait_screens(2));
    std::vector<long> wifi = started(kWifi), mpx = started(kMpx);
    EXPECT_EQ(1u, wifi.size());
    EXPECT_EQ(1u, mpx.size());

    // The bridges outlive the monitor and go on publishing.
    EXPECT_TRUE(monitor.end());
    script(kWifi, "state Numtags\\x00\nstatus after the monitor\ntag A 1 0 a\n");
    script(kMpx, "state Numtags\\x00\nstatus after the monitor\n");
    for (const char* bridge : {kWifi, kMpx}) {
        vp_shm handle;
        void* view = nullptr;
        ASSERT_EQ(0, vp_shm_open(block(bridge).c_str(), MP_BLOCK_SIZE, &handle));
        ASSERT_EQ(0, vp_shm_map(handle, MP_BLOCK_SIZE, 0, &view));
        EXPECT_TRUE(wait_until(
            [&] { return strcmp(static_cast<const MP_TagEntry*>(view)->string, "after the monitor") == 0; },
            kWaitMs))
            << bridge;
        vp_shm_unmap(view, MP_BLOCK_SIZE);
        vp_shm_close(handle);
    }
    EXPECT_TRUE(vp_proc_alive(static_cast<uint32_t>(wifi[0])));
    EXPECT_TRUE(vp_proc_alive(static_cast<uint32_t>(mpx[0])));
}

TEST_F(StatusMonitor, StartsNoRunningBridgeAndListsBothTablesMerged) {
    const int32_t t1 = 1449961234, t2 = 1700000000;
    script(kWifi, "state Numtags\\x00\nstatus OK\ntime " + std::to_string(t1) +
                      "\ntag Type 1 0 status\ntag Properties.Play.Current.Title.Of.A.Long.Name 1 1 "
                      "Some title\ntag Position 0 73 73\n");
    script(kMpx, "state Numtags\\x00\nstatus Connecting.....\ntime " + std::to_string(t2) +
                     "\ntag Recordings 1 0 None\ntag IRecordings 0 0 0\n");
    run_bridge(kWifi, std::string(kWifi) + VP_EXE);
    run_bridge(kMpx, std::string(kMpx) + VP_EXE);

    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 6); });
    ASSERT_EQ(11u, s.size()) << monitor.output();
    EXPECT_EQ(" WifiRemote State1=Numtags Numtags1=   3 Time=" + ctime_text(t1) + " Status1=OK",
              without_age(s[0].substr(14)));
    EXPECT_EQ("               MPExtended State2=Numtags Numtags2=   2 Time=" + ctime_text(t2) +
                  " Status2=Connecting.....",
              without_age(s[1]));
    // Times years back: both blocks are stale.
    EXPECT_EQ(0u, age_of(s[0]).find("[STALE, ")) << s[0];
    EXPECT_EQ(0u, age_of(s[1]).find("[STALE, ")) << s[1];
    EXPECT_EQ(kHeader, s[2]);
    EXPECT_EQ(kRule, s[3]);
    EXPECT_EQ(row(0, 0, 0, 3, "Numtags", "OK"), s[4]);
    EXPECT_EQ(row(1, 1, 0, 4, "Type", "status"), s[5]);
    EXPECT_EQ(row(2, 1, 1, 44, "Properties.Play.Current.Title.Of.A.Long.Name", "Some title"), s[6]);
    EXPECT_EQ(row(3, 0, 73, 8, "Position", "73"), s[7]);
    EXPECT_EQ(row(4, 1, 0, 10, "Recordings", "None"), s[8]);
    EXPECT_EQ(row(5, 0, 0, 11, "IRecordings", "0"), s[9]);

    ASSERT_TRUE(wait_screens(2));
    EXPECT_EQ(1u, started(kWifi).size());
    EXPECT_EQ(1u, started(kMpx).size());
}

// A process is the monitor's bridge only when its program file has exactly the bridge's name,
// it runs as the monitor's user and it serves this run's blocks. Each impostor below serves a
// block, so that only the rule it breaks sets it apart; the monitor starts its own bridges.
TEST_F(StatusMonitor, StartsItsOwnBridgesBesideProcessesThatAreNotThem) {
    script(kWifi, "state Numtags\\x00\nstatus impostor\n");
    script(kMpx, "state Numtags\\x00\nstatus impostor\n");
    // A longer file name with the same ending, serving this run's block.
    run_bridge(kMpx, std::string("Not") + kMpx + VP_EXE);
    // The exact name, serving the blocks of another run.
    const std::string suffix = block("");
    set_env(VR_SUFFIX_VARIABLE, (suffix + "-other").c_str());
    run_bridge(kWifi, std::string(kWifi) + VP_EXE);
    set_env(VR_SUFFIX_VARIABLE, suffix.c_str());
    std::vector<long> impostors = {started(kMpx)[0], started(kWifi)[0]};
    vp_image_query_load();
    EXPECT_TRUE(vp_proc_serves(static_cast<uint32_t>(impostors[0]), block(kMpx).c_str()));
    EXPECT_FALSE(vp_proc_serves(static_cast<uint32_t>(impostors[1]), block(kWifi).c_str()));
    EXPECT_TRUE(vp_proc_serves(static_cast<uint32_t>(impostors[1]), (block(kWifi) + "-other").c_str()));

    ASSERT_TRUE(monitor.start());
    ASSERT_TRUE(wait_until([&] { return started(kWifi).size() == 2 && started(kMpx).size() == 2; }, kWaitMs))
        << monitor.output();
    for (const char* bridge : {kWifi, kMpx}) EXPECT_NE(impostors[0], started(bridge)[1]);
    vp_shm_unlink((block(kWifi) + "-other").c_str());
}

#ifndef _WIN32
// A bridge of another user, by name and block name the monitor's own, is not its bridge: it
// neither keeps the monitor from starting its own nor is ended by it.
TEST_F(StatusMonitor, StartsItsOwnBridgeBesideOneOfAnotherUser) {
    if (!can_act_as_other_user()) GTEST_SKIP() << "skipped (needs root)";
    // The other user's program file: a sleeping child under the bridge's exact name, in a
    // folder that user may enter.
    std::string folder = fs::temp_directory_path().string() + "/vistrel-other-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder.data()));
    struct Cleanup {
        std::string path;
        ~Cleanup() { fs::remove_all(path); }
    } cleanup{folder};
    chmod(folder.c_str(), 0755);
    std::string program = folder + "/" + kMpx;
    fs::copy_file(VISTREL_VISTREL_CHILD, program);
    chmod(program.c_str(), 0755);
    long other = -1;
    int report[2];
    ASSERT_EQ(0, pipe(report));
    ASSERT_TRUE(as_other_user([&] {
        long pid = vp_spawn_detached(program.c_str(), "sleep 20000");
        return pid > 0 && write(report[1], &pid, sizeof pid) == static_cast<ssize_t>(sizeof pid);
    }));
    ASSERT_EQ(static_cast<ssize_t>(sizeof other), read(report[0], &other, sizeof other));
    close(report[0]);
    close(report[1]);
    char image[1024];
    ASSERT_TRUE(wait_until([&] { return vp_proc_image(static_cast<uint32_t>(other), image, sizeof image) == 0 &&
                                        program == image; }, kWaitMs));
    vp_image_query_load();
    EXPECT_FALSE(vp_proc_ours(static_cast<uint32_t>(other)));
    ASSERT_TRUE(monitor.start());
    ASSERT_TRUE(wait_until([&] { return started(kMpx).size() == 1; }, kWaitMs)) << monitor.output();
    EXPECT_TRUE(vp_proc_alive(static_cast<uint32_t>(other)));
    vp_proc_kill(static_cast<uint32_t>(other));
}
#endif

TEST_F(StatusMonitor, CopiesOnlyPublishedTablesAndListsANewTagWithItsCount) {
    script(kWifi, "state Numtags\\x00\nstatus OK\ntag W.One 1 0 first\ntag W.Two 1 0 second\n");
    script(kMpx, "state Numtags\\x00\nstatus OK\ntag M.One 1 0 one\n");
    ASSERT_TRUE(monitor.start());
    ASSERT_FALSE(wait_screen([](const Screen& sc) { return has_total(sc, 4); }).empty()) << monitor.output();

    // Stopped and unpublished blocks: their headers show, their rows keep what was copied.
    script(kWifi, "state Shutdown\ncount 2\nstatus Stopped\ntag W.One 1 0 changed\ntag W.Two 1 0 changed\n");
    script(kMpx, "state Invalid\\x20\ncount 1\nstatus Reopened\ntag M.One 1 0 changed\n");
    Screen s = wait_screen([](const Screen& sc) { return sc[0].find("Status1=Stopped") != std::string::npos &&
                                                         sc[1].find("Status2=Reopened") != std::string::npos; });
    ASSERT_EQ(9u, s.size()) << monitor.output();
    EXPECT_NE(std::string::npos, s[0].find(" WifiRemote State1=Shutdown Numtags1=   2 Time="));
    EXPECT_EQ(0u, s[1].find("               MPExtended State2=Invalid  Numtags2=   1 Time="));
    EXPECT_EQ(row(0, 0, 0, 2, "Numtags", "OK"), s[4]);
    EXPECT_EQ(row(1, 1, 0, 5, "W.One", "first"), s[5]);
    EXPECT_EQ(row(2, 1, 0, 5, "W.Two", "second"), s[6]);
    EXPECT_EQ(row(3, 1, 0, 5, "M.One", "one"), s[7]);
    EXPECT_EQ("Total Numtags=4", s[8]);

    // Published again with one more tag: every screen that shows the new count lists the tag.
    script(kMpx, "state Numtags\\x00\nstatus OK\ntag M.One 1 0 one\ntag M.Added 0 7 7\n");
    ASSERT_FALSE(wait_screen([](const Screen& sc) { return sc[1].find("Numtags2=   2") != std::string::npos; }).empty());
    ASSERT_TRUE(wait_screens(1));
    int with_new_count = 0;
    for (const Screen& sc : screens_of(monitor.output())) {
        if (sc[1].find("Numtags2=   2") == std::string::npos) continue;
        with_new_count++;
        ASSERT_EQ(10u, sc.size());
        EXPECT_EQ(row(4, 0, 7, 7, "M.Added", "7"), sc[8]);
        EXPECT_EQ("Total Numtags=5", sc[9]);
    }
    EXPECT_GE(with_new_count, 2);
}

TEST_F(StatusMonitor, ListsTwoFullTablesWholeAndABadCountSafely) {
    // A header that claims more tags than a table holds is listed as a full table.
    script(kWifi, "state Numtags\\x00\ncount 5000\nstatus OK\nfill 2048\n");
    script(kMpx, "state Numtags\\x00\nstatus OK\nfill 2048\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 4097); });
    ASSERT_EQ(4097u + 5u, s.size()) << monitor.output().substr(0, 2000);
    EXPECT_NE(std::string::npos, s[0].find("Numtags1=5000"));
    EXPECT_NE(std::string::npos, s[1].find("Numtags2=2048"));
    EXPECT_EQ(row(0, 0, 0, 5000, "Numtags", "OK"), s[4]);
    EXPECT_EQ(row(2048, 0, 2048, 9, "Fill.2048", "Value 2048"), s[4 + 2048]);
    EXPECT_EQ(row(2049, 0, 1, 9, "Fill.0001", "Value 1"), s[4 + 2049]);
    EXPECT_EQ(row(4096, 0, 2048, 9, "Fill.2048", "Value 2048"), s[4 + 4096]);

    // A negative count lists no tags of that block.
    script(kWifi, "state Numtags\\x00\ncount -7\nstatus Negative\n");
    s = wait_screen([](const Screen& sc) { return sc[0].find("Status1=Negative") != std::string::npos; });
    ASSERT_FALSE(s.empty());
    EXPECT_NE(std::string::npos, s[0].find("Numtags1=  -7"));
    EXPECT_EQ("Total Numtags=2049", s.back());
    EXPECT_EQ(row(1, 0, 1, 9, "Fill.0001", "Value 1"), s[5]);
}

TEST_F(StatusMonitor, ShowsNoControlBytesFromTheBlocks) {
    script(kWifi, "state Numtags\\x00\nstatus Line\\x0dBreak\ntag Bell\\x07Name 1 0 \\x1b[2JCleared\\x7f\n");
    script(kMpx, "state \\x01\\x02\\xff\ncount 0\nstatus \\x1b]0;title\\x07\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 2) && sc[1].find("title") != std::string::npos; });
    ASSERT_EQ(7u, s.size()) << monitor.output();
    EXPECT_NE(std::string::npos, s[0].find(" WifiRemote State1=Numtags Numtags1=   1 Time="));
    EXPECT_NE(std::string::npos, s[0].find(" Status1=Line?Break"));
    // Zero bytes of the state word show as nothing, other bytes that are no text as '?'.
    EXPECT_EQ(0u, s[1].find("               MPExtended State2=??? Numtags2=   0 Time="));
    EXPECT_NE(std::string::npos, s[1].find(" Status2=?]0;title?"));
    EXPECT_EQ(row(1, 1, 0, 9, "Bell?Name", "?[2JCleared?"), s[5]);

    std::string raw = last_raw_screen(monitor.output());
    ASSERT_FALSE(raw.empty());
    for (char c : raw) {
        unsigned char b = static_cast<unsigned char>(c);
        EXPECT_TRUE(b >= 32 || b == '\n' || b == '\r') << "control byte " << static_cast<int>(b);
    }
}

#ifndef _WIN32
TEST_F(StatusMonitor, ABlockThatCannotBeOpenedShowsAsEmptyWithTheReason) {
    // A folder in the place of the block: the block cannot be made or opened.
    const std::string in_the_way = std::string("/dev/shm/") + block(kMpx);
    ASSERT_TRUE(fs::create_directory(in_the_way));
    script(kWifi, "state Numtags\\x00\nstatus OK\ntag W.One 1 0 first\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 2); });
    fs::remove(in_the_way);
    ASSERT_EQ(7u, s.size()) << monitor.output();
    EXPECT_EQ("               MPExtended State2= Numtags2=   0 Time=" + ctime_text(0) + " Status2=  [never published]", s[1]);
    EXPECT_EQ(row(1, 1, 0, 5, "W.One", "first"), s[5]);
    std::string out = monitor.output();
    EXPECT_NE(std::string::npos,
              out.find("Total Numtags=2\r\n" + block(kMpx) + ": Could not open file mapping object ("))
        << out;
    EXPECT_TRUE(monitor.running());
}
#endif

// A bridge's program file that someone else could have put in the monitor's folder, or changed,
// is not started: the monitor, which may run as root, would run their program. It says why on
// its screen, shows the block all the same, and starts the other bridge, whose file is sound.
// A fault of the folder concerns both bridges; a fault of one file only its bridge.
struct UnsafeProgram {
    const char* name;
    bool needs_root;
    bool folder;
    bool (*make)();
    const char* why;
};
void PrintTo(const UnsafeProgram& p, std::ostream* os) { *os << p.name; }

class StatusMonitorUnsafe : public StatusMonitor, public ::testing::WithParamInterface<UnsafeProgram> {};

TEST_P(StatusMonitorUnsafe, StartsNoProgramFileThatOthersCouldHavePutThereOrChanged) {
    const UnsafeProgram& c = GetParam();
    if (c.needs_root && !can_act_as_other_user()) GTEST_SKIP() << "needs root: " << c.name;
    const std::string folder = fs::current_path().string();
    ASSERT_TRUE(c.make()) << c.name;
    ASSERT_TRUE(monitor.start());
    if (c.folder)
        ASSERT_TRUE(wait_screens(3)) << monitor.output();
    else
        ASSERT_TRUE(wait_until([&] { return started(kWifi).size() == 1; }, kWaitMs)) << monitor.output();
    ASSERT_TRUE(wait_screens(2));
    std::vector<const char*> refused = {kMpx};
    if (c.folder) refused.push_back(kWifi);
    for (const char* bridge : refused) {
        EXPECT_TRUE(started(bridge).empty()) << "the monitor started " << bridge;
        const std::string line = block(bridge) + ": Not starting " + bridge + VP_EXE + " in " + folder +
                                 ": " + c.why + ".";
        // The whole line, up to its line end (CR LF on a terminal, LF in a file).
        const std::string out = monitor.output();
        size_t at = out.find(line);
        EXPECT_TRUE(at != std::string::npos && (out[at + line.size()] == '\r' || out[at + line.size()] == '\n'))
            << line << "\n" << out;
    }
    EXPECT_TRUE(monitor.running());
}

#ifndef _WIN32
const UnsafeProgram kUnsafePrograms[] = {
    {"GroupMayChangeTheFile", false, false, [] { return chmod(kMpx, 0775) == 0; },
     "other users may change it (mode 0775; chmod go-w Vistrel_MPExtended)"},
    {"OthersMayChangeTheFolder", false, true, [] { return chmod(".", 0777) == 0; },
     "other users may change its folder (mode 0777; chmod go-w on the folder)"},
    {"ALinkToTheProgram", false, false,
     [] { return rename(kMpx, "elsewhere") == 0 && symlink("elsewhere", kMpx) == 0; },
     "it is a symbolic link, not a regular file"},
    {"AnotherUsersFile", true, false, [] { return chown(kMpx, kOtherUid, kOtherUid) == 0; },
     "it belongs to another user (owner uid 65534)"},
    {"AnotherUsersFolder", true, true, [] { return chown(".", kOtherUid, kOtherUid) == 0; },
     "its folder belongs to another user (owner uid 65534)"},
};
#else
// Lets everyone use the rights on a file or folder, by an entry added to its access list.
bool grant_everyone(const char* path, DWORD rights) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &sd) != ERROR_SUCCESS)
        return false;
    alignas(DWORD) BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
    EXPLICIT_ACCESS_A ea = {};
    ea.grfAccessPermissions = rights;
    ea.grfAccessMode = GRANT_ACCESS;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    ea.Trustee.ptstrName = reinterpret_cast<LPSTR>(everyone);
    PACL wider = nullptr;
    bool ok = SetEntriesInAclA(1, &ea, dacl, &wider) == ERROR_SUCCESS &&
              SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, wider, nullptr) == ERROR_SUCCESS;
    LocalFree(wider);
    LocalFree(sd);
    return ok;
}

const UnsafeProgram kUnsafePrograms[] = {
    {"EveryoneMayChangeTheFile", false, false, [] { return grant_everyone("Vistrel_MPExtended.exe", FILE_GENERIC_WRITE); },
     "other users may change it"},
    {"EveryoneMayAddFilesToTheFolder", false, true, [] { return grant_everyone(".", FILE_ADD_FILE); },
     "other users may change its folder"},
};
#endif
INSTANTIATE_TEST_SUITE_P(Cases, StatusMonitorUnsafe, ::testing::ValuesIn(kUnsafePrograms),
                         [](const ::testing::TestParamInfo<UnsafeProgram>& p) { return p.param.name; });

}  // namespace
