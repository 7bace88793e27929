// The clip file base: the registry of open files shared by their openers,
// the field-sync mutex across threads, and AllowDataOverruns per board.
#include "lib/play/zar_file.h"
#include "tests/platform/win32/w32_machine.h"

namespace {

int destroyed = 0;

// A file with no storage: the base's services are what is tested.
class TestFile : public CZarFile {
public:
    explicit TestFile(std::u16string path) : CZarFile(std::move(path)) {}
    ~TestFile() override { ++destroyed; }
    uint32_t GetFrameCount() override { return 0; }
    int32_t CreateFill(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
    int32_t CreateKey(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
    int32_t OpenForAccess(uint32_t) override { return 0; }
    int32_t CheckFieldWrite(uint32_t, uint32_t) override { return 0; }
    int32_t TransferField(const ZAR_FIELD_TRANSFER&) override { return 0; }
    int32_t GetFillNode(uint32_t, ZAR_FIELD_LOCATION**) override { return ZAR_E_FIELD_RANGE; }
    int32_t CheckKeyFieldWrite(uint32_t, uint32_t) override { return 0; }
    int32_t GetKeyNode(uint32_t, ZAR_FIELD_LOCATION**) override { return ZAR_E_FIELD_RANGE; }
    int32_t FillFieldToBoard(uint32_t, uint32_t, uint32_t) override { return 0; }
    int32_t FillFieldToBoardSync(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
    int32_t KeyFieldToBoard(uint32_t, uint32_t, uint32_t) override { return 0; }
    int32_t KeyFieldToBoardSync(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
    int32_t ReadFillField(uint32_t, void*, uint32_t) override { return 0; }
    int32_t ReadKeyField(uint32_t, void*, uint32_t) override { return 0; }
    uint32_t GetFillFieldSize(uint32_t) override { return EmptyFieldSize(); }
    uint32_t GetKeyFieldSize(uint32_t) override { return EmptyFieldSize(); }
    uint32_t IsFillUncompressed() override { return 0; }
    uint32_t IsKeyUncompressed() override { return 0; }
    int32_t GetFieldPlacement(uint32_t, uint32_t*, uint32_t*, uint32_t*) override { return 0; }
    void SetStandard(uint32_t standard) { m_standard = standard; }
};

}  // namespace

TEST(ClipFileBase, OpenersOfOnePathShareOneFileAndTheLastReleaseErasesOnlyItsOwnEntry)
{
    destroyed = 0;
    const size_t before = CZarFile::OpenClipFiles();
    auto* file = new TestFile(u"C:\\clips\\a.kiv");
    CZarFile* found = nullptr;
    ASSERT_TRUE(CZarFile::FindOpenClipFile(u"C:\\clips\\a.kiv", &found));
    EXPECT_EQ(found, file);
    EXPECT_EQ(file->References(), 2);
    EXPECT_FALSE(CZarFile::FindOpenClipFile(u"C:\\clips\\b.kiv", &found));
    file->Release();
    EXPECT_EQ(CZarFile::OpenClipFiles(), before + 1);
    file->Release();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(CZarFile::OpenClipFiles(), before);

    // An empty path is never registered.
    auto* unnamed = new TestFile(u"");
    EXPECT_EQ(CZarFile::OpenClipFiles(), before);
    unnamed->Release();

    // A newer file of the same path keeps its entry when the older one goes.
    auto* older = new TestFile(u"P:\\clip");
    auto* newer = new TestFile(u"P:\\clip");
    older->Release();
    ASSERT_TRUE(CZarFile::FindOpenClipFile(u"P:\\clip", &found));
    EXPECT_EQ(found, newer);
    found->Release();
    newer->Release();
    EXPECT_FALSE(CZarFile::FindOpenClipFile(u"P:\\clip", &found));
}

TEST(ClipFileBase, AnEmptyFieldReportsTheBlackFieldCodeOfItsStandard)
{
    TestFile file(u"");
    EXPECT_EQ(file.GetFillFieldSize(0), 9u);
    file.SetStandard(625);
    EXPECT_EQ(file.GetKeyFieldSize(0), 10u);
    EXPECT_EQ(file.GetFieldParity(7), 1u);
    EXPECT_EQ(file.IsOnMediaVolume(), 0u);
}

TEST(ClipFileBase, TheFieldSyncMutexHoldsOffAnotherThreadAndGivesUpAfterTwentySeconds)
{
    ASSERT_TRUE(CZarFile::CreateFieldSyncMutex(2));
    ASSERT_TRUE(CZarFile::WaitFieldSyncMutex(2));
    struct Result {
        bool got;
        DWORD waited;
    } result{true, 0};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* r = static_cast<Result*>(p);
            DWORD start = GetTickCount();
            r->got = CZarFile::WaitFieldSyncMutex(2);
            r->waited = GetTickCount() - start;
            if (r->got) CZarFile::ReleaseFieldSyncMutex(2);
            return 0;
        },
        &result, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_FALSE(result.got);
    EXPECT_GE(result.waited, 20000u);
    // The mutex is the board's named one, which another process opens by its name.
    HANDLE named = OpenMutexA(SYNCHRONIZE, FALSE, "ZAR_FIELD_SYNC_MUTEX2");
    EXPECT_NE(named, nullptr);
    if (named) CloseHandle(named);
    CZarFile::ReleaseFieldSyncMutex(2);
    CZarFile::CloseFieldSyncMutex(2);
}

TEST(ClipFileBase, AllowDataOverrunsIsReadFromTheBoardsOwnParametersKey)
{
    EXPECT_EQ(CZarFile::ParametersKeyPath(0), "System\\CurrentControlSet\\Services\\ZARKD\\Parameters");
    EXPECT_EQ(CZarFile::ParametersKeyPath(3), "System\\CurrentControlSet\\Services\\ZARKD\\Parameters3");
    EXPECT_FALSE(CZarFile::ReadAllowDataOverruns(3)) << "no key";
    auto set = [](uint32_t board, DWORD value) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, CZarFile::ParametersKeyPath(board).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, "AllowDataOverruns", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    };
    set(3, 0);
    EXPECT_FALSE(CZarFile::ReadAllowDataOverruns(3));
    set(3, 1);
    EXPECT_TRUE(CZarFile::ReadAllowDataOverruns(3));
    EXPECT_FALSE(CZarFile::ReadAllowDataOverruns(0)) << "board 0 reads its own key";
    set(0, 5);
    EXPECT_TRUE(CZarFile::ReadAllowDataOverruns(0));
}
