// ZARKD's request entry points on a machine with two simulated boards:
// open, read and write routing, close with the clean-up of what a handle
// owns, the digital-I/O option driver with and without the option, the
// DMA page-table builder and the SCSI control block's rules.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "outside/zariokd.h"
#include "tests/support/zarkd_machine.h"

namespace {

class ZarkdEntryPoints : public ZarkdMachineFixture {
protected:
    sim::PciLayout Topology() const override { return sim::BoardsLayout(2); }

    void SetUp() override
    {
        ZarkdMachineFixture::SetUp();
        if (HasFatalFailure()) return;
        LoadBoardDriver();
        boards_[0] = ZarkdBoard(0);
        boards_[1] = ZarkdBoard(1);
        ASSERT_NE(boards_[1], nullptr);
    }

    HANDLE Open(const std::u16string& name = u"\\Device\\Zar0")
    {
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, name.c_str());
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwCreateFile(&handle, FILE_ALL_ACCESS, &attributes, &iosb, nullptr, 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr, 0),
                  STATUS_SUCCESS);
        return handle;
    }

    static PFILE_OBJECT FileOf(HANDLE handle)
    {
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, IoFileObjectType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(object);  // the handle keeps it
        return static_cast<PFILE_OBJECT>(object);
    }

    PZAR_DEVICE_EXTENSION boards_[2] = {};
};

TEST_F(ZarkdEntryPoints, ReadAndWriteGoToTheWaveFrontOnlyWithAHighOffset)
{
    HANDLE handle = Open();
    UCHAR buffer[64];
    const struct {
        LONGLONG offset;
        bool waveFront;
    } cases[] = {{0, false}, {0x1234, false}, {LONGLONG(1) << 32, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        LARGE_INTEGER offset;
        offset.QuadPart = c.offset;
        IO_STATUS_BLOCK iosb{};
        iosb.Information = 99;
        NTSTATUS read = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, &offset, nullptr);
        NTSTATUS write = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, &offset, nullptr);
        if (c.waveFront) {
            // The word (high dword 1) names no wave device: the wave front refuses.
            EXPECT_EQ(read, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(write, STATUS_NOT_SUPPORTED);
        } else {
            EXPECT_EQ(read, STATUS_SUCCESS);
            EXPECT_EQ(write, STATUS_SUCCESS);
            EXPECT_EQ(iosb.Information, 0u);
        }
    }
    ZwClose(handle);
}

TEST_F(ZarkdEntryPoints, CloseOfAHandleThatOwnsNothingCompletesAtOnce)
{
    HANDLE handle = Open();
    uint64_t before = nt::ClockNow();
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(nt::ClockNow(), before);
}

TEST_F(ZarkdEntryPoints, CloseTakesBackOnlyWhatTheClosingHandleOwns)
{
    PZAR_DEVICE_EXTENSION ext = boards_[0];
    HANDLE mine = Open();
    HANDLE other = Open();
    PFILE_OBJECT mineFile = FileOf(mine);
    PFILE_OBJECT otherFile = FileOf(other);

    // The closing handle holds audio lock resource 0 with play and record
    // running, and vari-play channel 1; the other handle holds resource 1
    // and vari-play channel 0.
    ext->AudioLockOwner[0] = mineFile;
    KeClearEvent(&ext->AudioLockEvent[0]);
    ext->AudioLockOwner[1] = otherFile;
    KeClearEvent(&ext->AudioLockEvent[1]);
    ext->AudioPlaying = TRUE;
    ext->AudioRecording = TRUE;
    ext->VariPlayOwner[0] = otherFile;
    ext->VariPlayOwner[1] = mineFile;

    EXPECT_EQ(ZwClose(mine), STATUS_SUCCESS);
    EXPECT_EQ(ext->AudioLockOwner[0], nullptr);
    EXPECT_NE(KeReadStateEvent(&ext->AudioLockEvent[0]), 0);  // free for the other caller kind
    EXPECT_FALSE(ext->AudioPlaying);
    EXPECT_FALSE(ext->AudioRecording);
    EXPECT_EQ(ext->VariPlayOwner[1], nullptr);

    EXPECT_EQ(ext->AudioLockOwner[1], otherFile);
    EXPECT_EQ(KeReadStateEvent(&ext->AudioLockEvent[1]), 0);
    EXPECT_EQ(ext->VariPlayOwner[0], otherFile);

    ext->AudioLockOwner[1] = nullptr;
    ext->VariPlayOwner[0] = nullptr;
    ZwClose(other);
}

TEST_F(ZarkdEntryPoints, DigitalIoWithoutTheOptionDriverIsUnsuccessful)
{
    ULONG in[3] = {1, 0, 0}, out[3] = {};
    EXPECT_EQ(ZarSendDigitalIoIoctl(boards_[0], IOCTL_ZARIO_SET_24FPS, in, sizeof in, out, sizeof out),
              STATUS_UNSUCCESSFUL);
}

TEST_F(ZarkdEntryPoints, DigitalIoReachesEachBoardsOptionDevice)
{
    ASSERT_EQ(ZarIoKdInstall(3), STATUS_SUCCESS);
    ASSERT_EQ(LoadDriver(u"ZARIOKD"), STATUS_SUCCESS);
    for (ULONG board = 0; board < 2; ++board) {
        SCOPED_TRACE(board);
        ULONG in[3] = {2, 0, 0};
        ZARIO_24FPS_REPLY out{};
        EXPECT_EQ(ZarSendDigitalIoIoctl(boards_[board], IOCTL_ZARIO_SET_24FPS, in, sizeof in, &out, sizeof out),
                  STATUS_SUCCESS);
        EXPECT_EQ(out.Revision, ZARIO_REVISION);
        EXPECT_EQ(out.Mode, 2u);
        EXPECT_EQ(out.Board, board);
        // The option driver's refusal comes back as it is.
        EXPECT_EQ(ZarSendDigitalIoIoctl(boards_[board], 0x222120, in, sizeof in, &out, sizeof out),
                  STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(ZarSendDigitalIoIoctl(boards_[board], IOCTL_ZARIO_SET_24FPS, in, 8, &out, sizeof out),
                  STATUS_INVALID_BUFFER_SIZE);
    }
    // User mode reaches the same devices through their links.
    ZwClose(Open(u"\\??\\ZARIO1"));
}

// ---- DMA page tables ----

constexpr ULONG kTestTag = 0x74736554;  // "Test" in a pool dump
PVOID gMapRegisterBase = nullptr;
IO_ALLOCATION_ACTION KeepRegisters(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID)
{
    gMapRegisterBase = mapRegisterBase;
    return DeallocateObjectKeepRegisters;
}

// A locked, non-paged buffer with an MDL over [offset, offset + length).
struct LockedBuffer {
    PUCHAR pool = nullptr;
    PMDL mdl = nullptr;
    PUCHAR va = nullptr;
    LockedBuffer(ULONG offset, ULONG length)
    {
        pool = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, offset + length + 2 * PAGE_SIZE, kTestTag));
        va = static_cast<PUCHAR>(PAGE_ALIGN(pool + PAGE_SIZE - 1)) + offset;
        mdl = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
    }
    ~LockedBuffer()
    {
        IoFreeMdl(mdl);
        ExFreePoolWithTag(pool, kTestTag);
    }
};

TEST_F(ZarkdEntryPoints, PageTableHoldsOneEntryPerPagePieceAndRepeatsTheLast)
{
    PZAR_DEVICE_EXTENSION ext = boards_[0];
    PADAPTER_OBJECT adapter = ext->DmaAdapter[ZAR_SCSI_ADAPTER];
    const struct {
        ULONG offset, length, tableEntries;
        std::vector<ULONG> pieceStarts;  // offsets from the buffer start of each entry
    } cases[] = {
        {0x123, 3 * PAGE_SIZE, 1024, {0, PAGE_SIZE - 0x123, 2 * PAGE_SIZE - 0x123, 3 * PAGE_SIZE - 0x123,
                                      3 * PAGE_SIZE - 0x123}},
        {0x200, 0x100, 1024, {0, 0}},
        {0xFF0, 0x20, 1024, {0, 0x10, 0x10}},
        {0, 2 * PAGE_SIZE, 2, {0, PAGE_SIZE}},          // a full table gets no repeat
        {0, 4 * PAGE_SIZE, 3, {0, PAGE_SIZE, 2 * PAGE_SIZE}},  // the table runs out first
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        LockedBuffer buffer(c.offset, c.length);
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        gMapRegisterBase = nullptr;
        ASSERT_EQ(IoAllocateAdapterChannel(adapter, ext->DeviceObject, 8, KeepRegisters, nullptr), STATUS_SUCCESS);
        KeLowerIrql(irql);
        ASSERT_NE(gMapRegisterBase, nullptr);

        std::vector<ULONG> table(c.tableEntries + 1, 0xDEADBEEF);
        ULONG written = ZarBuildGenericPageTableForMdl(adapter, buffer.mdl, buffer.va, c.length, table.data(),
                                                       c.tableEntries, gMapRegisterBase, TRUE);
        ASSERT_EQ(written, c.pieceStarts.size());
        for (size_t i = 0; i < written; ++i)
            EXPECT_EQ(table[i], MmGetPhysicalAddress(buffer.va + c.pieceStarts[i]).LowPart) << i;
        EXPECT_EQ(table[written], 0xDEADBEEF);
        IoFreeMapRegisters(adapter, gMapRegisterBase, 8);
    }
}

TEST_F(ZarkdEntryPoints, ScsiControlBlockRules)
{
    PZAR_DEVICE_EXTENSION ext = boards_[0];
    const struct {
        const char* name;
        ULONG offset, length;   // length 0: no data buffer
        ULONG accessMode;
        ULONG operation;
        NTSTATUS status;
        ULONG passLength;
        BOOLEAN bounce;
    } cases[] = {
        {"no data", 0, 0, 1, ZAR_DISK_OP_TEST_UNIT_READY, STATUS_SUCCESS, 0, FALSE},
        {"aligned write", 0x400, 8192, 1, ZAR_DISK_OP_WRITE, STATUS_SUCCESS, 8192, FALSE},
        {"misaligned staged", 0x402, 4096, ZAR_DISK_ACCESS_STAGED, ZAR_DISK_OP_READ, STATUS_SUCCESS, 4096, TRUE},
        {"misaligned direct", 0x402, 4096, 1, ZAR_DISK_OP_READ, STATUS_DATATYPE_MISALIGNMENT, 0, FALSE},
        {"odd length", 0, 1026, 1, ZAR_DISK_OP_READ, STATUS_DATATYPE_MISALIGNMENT, 0, FALSE},
        {"over 1,024 pages", 0x200, 0x401000, 1, ZAR_DISK_OP_READ, STATUS_SUCCESS, (0x400000 - 0x200) & ~511u,
         FALSE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZAR_DISK_REQUEST request{};
        request.Operation = c.operation;
        request.AccessMode = c.accessMode;
        request.UserBufferLength = c.length;
        std::unique_ptr<LockedBuffer> buffer;
        ZAR_SCSI_ENTRY entry{};
        entry.SystemBuffer = &request;
        if (c.length != 0) {
            buffer = std::make_unique<LockedBuffer>(c.offset, c.length);
            entry.Mdl = buffer->mdl;
        }
        ext->ScsiDcb.CurrentEntry = &entry;
        ASSERT_EQ(ZarScsiInitDcb(ext), c.status);
        if (!NT_SUCCESS(c.status)) continue;
        EXPECT_EQ(ext->ScsiDcb.PassLength, c.passLength);
        EXPECT_EQ(ext->ScsiDcb.Remaining, c.length);
        EXPECT_EQ(ext->ScsiDcb.Bounce, c.bounce);
        EXPECT_EQ(ext->ScsiDcb.WriteToDevice, BOOLEAN((c.operation & 1) != 0));
        if (c.length != 0) {
            EXPECT_EQ(ext->ScsiDcb.PageCount, ADDRESS_AND_SIZE_TO_SPAN_PAGES(buffer->va, c.passLength));
        }
    }
    ext->ScsiDcb.CurrentEntry = nullptr;
}

}  // namespace
