// Random requests to the media file system from user mode: control codes
// with lengths around each code's least and random records whose handle
// field is sometimes a real file, folder or volume handle; creates of random
// names, dispositions and options; directory queries with random patterns.
// The driver must answer each without a fault, report no more bytes than
// the output holds, and the drive must still list and read its clip after.
// The seed is fixed, so a failure repeats; ZAR_FUZZ_SEED and
// ZAR_FUZZ_REQUESTS change the run.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "tests/drivers/mediafs/mediafs_control.h"

namespace {

using MediaFsFuzz = ControlDrive;

ULONG EnvOr(const char* name, ULONG fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? ULONG(std::strtoul(v, nullptr, 0)) : fallback;
}

TEST_F(MediaFsFuzz, RandomRequestsNeverFaultTheDriver)
{
    const ULONG seed = EnvOr("ZAR_FUZZ_SEED", 0x4D46);
    const ULONG requests = EnvOr("ZAR_FUZZ_REQUESTS", 300);
    std::mt19937 rng(seed);
    auto pick = [&](ULONG n) { return ULONG(rng() % n); };

    WriteClip(u"take.kiv", 2);
    HANDLE file, folder, volume;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &file), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips", FILE_OPEN, 0, &folder), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"", FILE_OPEN, 0, &volume), STATUS_SUCCESS);
    const HANDLE handles[] = {file, folder, volume, control_, nullptr, reinterpret_cast<HANDLE>(ULONG_PTR(0x7FFC))};

    // The two codes the service leaves pending are exercised by its own
    // tests; here everything must finish.
    struct Code {
        ULONG code, least;
    } const codes[] = {
        {IOCTL_ZARFS_DISMOUNT_VOLUME, 4},        {IOCTL_ZARFS_QUERY_VOLUME_INFO, 4},
        {IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, 620}, {IOCTL_ZARFS_UPDATE_VIDEO_FILE, 64},
        {IOCTL_ZARFS_GET_FILE_INFO, 664},        {IOCTL_ZARFS_REGISTER_FILE_TYPES, 48},
        {IOCTL_ZARFS_UNREGISTER_FILE_TYPES, 0},  {IOCTL_ZARFS_GET_PREFERENCES, 41},
        {IOCTL_ZARFS_GET_FILE_ENTRY, 1024},      {IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, 260},
        {IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, 36}, {IOCTL_ZARFS_REFERENCE_BODY_TABLE, 12},
        {IOCTL_ZARFS_DEREFERENCE_BODY_TABLE, 8}, {IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, 12},
        {IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE, 16}, {IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE, 16},
        {IOCTL_ZARFS_GET_FILE_LOCATION_INFO, 44}, {IOCTL_ZARFS_MOVE_FILE_SEGMENTS, 56},
        {IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND, 0}, {IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME, 0},
        {IOCTL_ZARFS_GET_SCSI_PREFS, 8},         {IOCTL_ZARFS_SET_SDTI_TYPE, 12},
        {IOCTL_ZARFS_REGISTER_SDTI_FLAGS, 4},    {IOCTL_ZARFS_LOCK_FILE_SYSTEM, 4},
        {IOCTL_ZARFS_UNLOCK_FILE_SYSTEM, 0},     {0x222078, 0},
        {0x22200E, 16},                          {0x222001, 4},
    };
    std::vector<UCHAR> in(2048), out(2048);
    const char alphabet[] = "aZ.\\*?<>:|\" ~KIVMediaClips";
    auto randomName = [&] {
        static const char* const starts[] = {"", "\\KIV", "\\KIV\\Media", "\\KIV\\Media\\Clips", "\\NOPE"};
        std::u16string name = u"";
        for (const char* c = starts[pick(5)]; *c; ++c) name += char16_t(*c);
        ULONG n = pick(4) == 0 ? 200 + pick(200) : pick(12);
        for (ULONG i = 0; i < n; ++i) name += char16_t(alphabet[pick(sizeof alphabet - 1)]);
        return name;
    };

    for (ULONG r = 0; r < requests; ++r) {
        SCOPED_TRACE("request " + std::to_string(r));
        switch (pick(4)) {
        case 0:
        case 1: {
            const Code& c = codes[pick(std::size(codes))];
            for (UCHAR& b : in) b = UCHAR(rng());
            if (pick(2)) {
                ULONG h = ULONG(reinterpret_cast<ULONG_PTR>(handles[pick(std::size(handles))]));
                std::memcpy(in.data(), &h, 4);
            }
            // The progress word of a move sometimes points somewhere real.
            if (c.code == IOCTL_ZARFS_MOVE_FILE_SEGMENTS && pick(2)) {
                ULONG target = ULONG(reinterpret_cast<ULONG_PTR>(out.data() + 1024));
                std::memcpy(in.data() + 24, &target, 4);
                std::memset(in.data() + 4, 0, 20);
            }
            auto around = [&](ULONG least) { return pick(3) ? least : least + pick(64) - (least ? pick(least + 1) % 8 : 0); };
            ULONG inLength = around(c.least), outLength = around(c.least);
            ULONG_PTR information = 0;
            Control(c.code, in.data(), std::min<ULONG>(inLength, ULONG(in.size())), out.data(),
                    std::min<ULONG>(outLength, 1024), &information);
            EXPECT_LE(information, std::min<ULONG>(outLength, 1024));
            break;
        }
        case 2: {
            std::u16string name = randomName();
            HANDLE h;
            ULONG disposition = pick(7);
            ULONG options = pick(2) ? ULONG(FILE_DIRECTORY_FILE) : (pick(2) ? ULONG(FILE_NON_DIRECTORY_FILE) : 0u);
            if (Open(name, disposition, options, &h, nullptr, GENERIC_READ | SYNCHRONIZE) == STATUS_SUCCESS) NtClose(h);
            break;
        }
        default: {
            std::string pattern = "P:";
            for (char16_t c : randomName()) pattern += char(c);
            if (pick(2)) pattern += "\\*";
            WIN32_FIND_DATAA data;
            HANDLE find = FindFirstFileA(pattern.c_str(), &data);
            if (find != INVALID_HANDLE_VALUE) {
                while (FindNextFileA(find, &data)) {
                }
                FindClose(find);
            }
            break;
        }
        }
    }
    Control(IOCTL_ZARFS_UNLOCK_FILE_SYSTEM, nullptr, 0, nullptr, 0);
    Control(IOCTL_ZARFS_UNREGISTER_FILE_TYPES, nullptr, 0, nullptr, 0);
    NtClose(file);
    NtClose(folder);
    NtClose(volume);

    // The drive still lists its clip and reads as many bytes as it lists
    // (random updates may have changed the clip itself).
    ZAR_FILE_SYSTEM_PREFS prefs;
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &prefs, sizeof prefs), STATUS_SUCCESS);
    std::string root = std::string(1, char(prefs.DriveLetter)) + ":\\KIV\\Media\\Clips\\";
    uint64_t listed = ~0ull;
    for (const Found& f : List((root + "*").c_str()))
        if (f.name == "take.kiv") listed = f.size;
    ASSERT_NE(listed, ~0ull);
    HANDLE h = CreateFileA((root + "take.kiv").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::vector<UCHAR> chunk(64 * 1024);
    uint64_t total = 0;
    DWORD got = 0;
    while (ReadFile(h, chunk.data(), DWORD(chunk.size()), &got, nullptr) && got > 0) total += got;
    CloseHandle(h);
    EXPECT_EQ(total, listed);
}

}  // namespace
