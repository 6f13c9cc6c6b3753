// test_security.cpp - Windows: the access rules that new blocks and logs get, read back
// with the system's own calls, and mappings that another program of the session made first
// (open to everyone, or of another owner) refused by the platform, a bridge's channel, the
// monitor and the readers' header.
#include "vistrel_reader.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "mp_log.h"
#include "mp_tags.h"
#include "scratch.h"
#include "status.h"
#include "vp.h"
#include "win32/security.h"

namespace {

std::string sid_text(PSID sid) {
    char* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidA(sid, &text)) return "none";
    std::string out = text;
    LocalFree(text);
    return out;
}

// This process's user and the owner that its new objects get.
std::string token_sid(TOKEN_INFORMATION_CLASS what) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
    alignas(DWORD) BYTE buf[512];
    DWORD n = 0;
    std::string out;
    if (GetTokenInformation(token, what, buf, sizeof buf, &n))
        out = sid_text(what == TokenUser ? reinterpret_cast<TOKEN_USER*>(buf)->User.Sid
                                         : reinterpret_cast<TOKEN_OWNER*>(buf)->Owner);
    CloseHandle(token);
    return out;
}

// An object's owner and the accounts that its access list admits.
struct Rules {
    bool read = false;
    bool has_list = false;
    std::string owner;
    std::vector<std::string> admitted;
};

Rules rules_from(DWORD err, PSID owner, PACL dacl, PSECURITY_DESCRIPTOR sd) {
    Rules r;
    if (err != ERROR_SUCCESS) return r;
    r.read = true;
    r.owner = sid_text(owner);
    r.has_list = dacl != nullptr;
    for (DWORD i = 0; dacl && i < dacl->AceCount; i++) {
        ACE_HEADER* ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->AceType == ACCESS_ALLOWED_ACE_TYPE)
            r.admitted.push_back(sid_text(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart));
    }
    LocalFree(sd);
    return r;
}

Rules rules_of(HANDLE h) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD err = GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, nullptr, &dacl, nullptr, &sd);
    return rules_from(err, owner, dacl, sd);
}

Rules rules_of(const char* path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD err = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &sd);
    return rules_from(err, owner, dacl, sd);
}

const char* const kSystem = "S-1-5-18";

TEST(Win32Security, ANewBlockAdmitsOnlyItsMaker) {
    std::string name = unique_block_name("VistrelWinNew");
    vp_shm h = VP_NO_SHM;
    ASSERT_EQ(0, vp_shm_open(name.c_str(), MP_BLOCK_SIZE, &h));
    Rules r = rules_of(reinterpret_cast<HANDLE>(h));
    ASSERT_TRUE(r.read);
    EXPECT_TRUE(r.owner == token_sid(TokenUser) || r.owner == token_sid(TokenOwner)) << r.owner;
    ASSERT_TRUE(r.has_list) << "no list at all would admit everyone";
    ASSERT_EQ(1u, r.admitted.size());
    EXPECT_EQ(token_sid(TokenUser), r.admitted[0]);
    EXPECT_EQ(0, vp_shm_others_access(h));
    vp_shm_close(h);
}

// A new log holds the credentials at debug level 3: nobody but its owner is admitted (the
// system, which wine's file rules always name, aside).
TEST(Win32Security, ANewLogAdmitsOnlyItsOwner) {
    ScratchDir dir;
    MP_log_reset();
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "private.log");
    MP_open_log();
    ASSERT_TRUE(MP_log_is_open());
    Rules r = rules_of(MP_Global_LogPath);
    ASSERT_TRUE(r.read);
    ASSERT_TRUE(r.has_list);
    bool user_admitted = false;
    for (const std::string& sid : r.admitted) {
        EXPECT_TRUE(sid == token_sid(TokenUser) || sid == kSystem) << "also admitted: " << sid;
        user_admitted = user_admitted || sid == token_sid(TokenUser);
    }
    EXPECT_TRUE(user_admitted);
    EXPECT_EQ(0, vp_file_others_access(MP_Global_LogPath));
    MP_log_reset();
}

// A mapping of the block's name made first with the rules given, holding "theirs"; null when
// the system does not let this process make it so.
HANDLE make_mapping(const std::string& name, SECURITY_DESCRIPTOR* sd) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, MP_BLOCK_SIZE, name.c_str());
    if (h == nullptr) return nullptr;
    void* view = MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, MP_BLOCK_SIZE);
    if (view == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    memcpy(view, "theirs", 7);
    UnmapViewOfFile(view);
    return h;
}

std::string first_bytes(HANDLE h) {
    const char* view = static_cast<const char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, MP_BLOCK_SIZE));
    if (view == nullptr) return "";
    std::string out(view, 7);
    UnmapViewOfFile(view);
    return out;
}

std::vector<std::string> lines_with(const std::string& path, const std::string& part) {
    std::vector<std::string> found;
    for (const std::string& line : read_lines(path))
        if (line.find(part) != std::string::npos) found.push_back(line);
    return found;
}

// A mapping that everyone may open: the platform refuses it, the bridge publishes nothing into
// it and says so, the monitor does not show it and the reader does not open it.
TEST(Win32Security, AMappingOpenToEveryoneIsNotUsed) {
    ScratchDir dir;
    MP_log_reset();
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "comms.log");
    // Above level 0, so that no later error line writes the earlier ones out once more.
    MP_Global_Debug = 3;
    MP_open_log();
    std::string name = unique_block_name("VistrelWinEveryone");
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));  // no list: everyone
    HANDLE theirs = make_mapping(name, &sd);
    ASSERT_NE(nullptr, theirs);

    vp_shm h = VP_NO_SHM;
    EXPECT_EQ(VP_SHARED, vp_shm_open(name.c_str(), MP_BLOCK_SIZE, &h));
    EXPECT_EQ(VP_NO_SHM, h);

    CommsStart(0, 1, name.c_str(), MP_BLOCK_SIZE);
    EXPECT_EQ(nullptr, CommsView(0));
    CommsPacket(0, "OK");
    EXPECT_EQ(std::string("theirs\0", 7), first_bytes(theirs));
    EXPECT_EQ(1u, lines_with(MP_Global_LogPath, "**Error**CommsStart Not using file mapping " + name +
                                                    " for channel 0: other users may open it").size());

    testing::internal::CaptureStdout();
    MP_status_open_block(0, name.c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ("Not reading file mapping " + name + ": other users may open it (its access list admits writers).",
              std::string(MP_status_channel_problem(0)));

    vr_block block{};
    EXPECT_EQ(VR_SHARED, vr_open(&block, name.c_str()));
    EXPECT_EQ(nullptr, block.view);
    CloseHandle(theirs);
    MP_log_reset();
    MP_Global_Debug = 0;
}

// A mapping whose owner is another account (here the system; a process that may not give its
// objects another owner skips this).
TEST(Win32Security, AMappingOfAnotherOwnerIsNotUsed) {
    std::string name = unique_block_name("VistrelWinForeign");
    alignas(DWORD) BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof system;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, system, FALSE));
    HANDLE theirs = make_mapping(name, &sd);
    if (theirs == nullptr) GTEST_SKIP() << "this process may not make an object of another owner";
    ASSERT_EQ(kSystem, rules_of(theirs).owner);

    vp_shm h = VP_NO_SHM;
    int rc = vp_shm_open(name.c_str(), MP_BLOCK_SIZE, &h);
    EXPECT_EQ(VP_FOREIGN, rc);
    char text[256];
    vp_open_error_text(rc, text, sizeof text);
    EXPECT_EQ(std::string("it belongs to another user (owner ") + kSystem + ")", text);
    vr_block block{};
    EXPECT_EQ(VR_FOREIGN, vr_open(&block, name.c_str()));
    EXPECT_EQ(std::string("theirs\0", 7), first_bytes(theirs));
    CloseHandle(theirs);
}

// An access list that admits everyone by an allow entry of another kind than the plain one: a
// callback entry, an object entry or a callback object entry, all of which the system applies
// as it applies a plain one. The platform's check, and a mapping with such a list, are refused
// by the platform and the readers' header as a plain entry for everyone is. An entry that only
// passes on to objects made inside counts for nothing.
struct OtherEntry {
    const char* name;
    BYTE type;
    BYTE flags;
    bool admits;
};

// Appends an allow entry of the kind given, for the SID, with the rights given: header, mask,
// for the object kinds flags and one object GUID, the SID.
bool add_entry(PACL acl, const OtherEntry& e, PSID sid, DWORD rights) {
    alignas(DWORD) BYTE ace[128] = {};
    bool object = e.type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || e.type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
    size_t at = sizeof(ACE_HEADER) + sizeof(DWORD);
    memcpy(ace + sizeof(ACE_HEADER), &rights, sizeof rights);
    if (object) {
        DWORD flags = ACE_OBJECT_TYPE_PRESENT;
        memcpy(ace + at, &flags, sizeof flags);
        at += sizeof flags;
        memset(ace + at, 0x5a, sizeof(GUID));
        at += sizeof(GUID);
    }
    DWORD len = GetLengthSid(sid);
    memcpy(ace + at, sid, len);
    auto* header = reinterpret_cast<ACE_HEADER*>(ace);
    header->AceType = e.type;
    header->AceFlags = e.flags;
    header->AceSize = static_cast<WORD>((at + len + 3) & ~size_t{3});
    return AddAce(acl, ACL_REVISION_DS, MAXDWORD, ace, header->AceSize) != 0;
}

TEST(Win32Security, EveryKindOfAllowEntryForOthersCounts) {
    const OtherEntry entries[] = {
        {"callback", ACCESS_ALLOWED_CALLBACK_ACE_TYPE, 0, true},
        {"object", ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, true},
        {"callback object", ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE, 0, true},
        {"plain, passed on only", ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, false},
    };
    alignas(DWORD) BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
    for (const OtherEntry& e : entries) {
        SCOPED_TRACE(e.name);
        alignas(DWORD) BYTE list[512];
        PACL acl = reinterpret_cast<PACL>(list);
        ASSERT_TRUE(InitializeAcl(acl, sizeof list, ACL_REVISION_DS));
        ASSERT_TRUE(add_entry(acl, e, everyone, GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(e.admits ? (VP_OTHERS_READ | VP_OTHERS_WRITE) : 0, vp_others_in(nullptr, acl, FILE_READ_DATA, FILE_WRITE_DATA));

        // The same list on a mapping made first by another program of the session.
        std::string name = unique_block_name("VistrelWinEntry");
        SECURITY_DESCRIPTOR sd;
        ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
        HANDLE theirs = make_mapping(name, &sd);
        if (theirs == nullptr) {
            std::printf("the system takes no mapping with a %s entry; the list alone was checked\n", e.name);
            continue;
        }
        if (e.admits) {
            vp_shm h = VP_NO_SHM;
            EXPECT_EQ(VP_SHARED, vp_shm_open(name.c_str(), MP_BLOCK_SIZE, &h));
            vr_block block{};
            EXPECT_EQ(VR_SHARED, vr_open(&block, name.c_str()));
            EXPECT_EQ(std::string("theirs\0", 7), first_bytes(theirs));
        }
        CloseHandle(theirs);
    }
}

}  // namespace
