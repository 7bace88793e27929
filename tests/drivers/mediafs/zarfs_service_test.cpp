// The request channel to the file-system service, with the test playing the
// service: it registers, takes each request the driver hands it and answers
// it, while the driver's sender runs in a system thread. Chunked reads and
// writes, the preferences round, time-outs, disconnecting and registering
// again, pending service requests at tear-down and on cancel, frame files
// read and written through the service, RAM files handed to it as frames or
// going with their clip, and the port file whose commands reach the service.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "tests/drivers/mediafs/mediafs_control.h"

namespace {

// A driver-side sender on a system thread of its own.
class Sender {
public:
    explicit Sender(std::function<NTSTATUS()> send) : send_(std::move(send))
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        HANDLE thread = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Run, this),
                  STATUS_SUCCESS);
        ZwClose(thread);
    }
    NTSTATUS Wait()
    {
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
        return status_;
    }

private:
    static void Run(PVOID context)
    {
        auto* s = static_cast<Sender*>(context);
        s->status_ = s->send_();
        KeSetEvent(&s->done_, IO_NO_INCREMENT, FALSE);
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    std::function<NTSTATUS()> send_;
    KEVENT done_;
    NTSTATUS status_ = STATUS_PENDING;
};

// A user-mode caller on a thread of the test's process, for requests that
// take the caller's handles.
class UserSender {
public:
    explicit UserSender(std::function<NTSTATUS()> send) : send_(std::move(send))
    {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        EXPECT_NE(thread_, nullptr);
    }
    NTSTATUS Wait()
    {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        return status_;
    }

private:
    static DWORD WINAPI Run(LPVOID context)
    {
        auto* s = static_cast<UserSender*>(context);
        s->status_ = s->send_();
        return 0;
    }
    std::function<NTSTATUS()> send_;
    HANDLE thread_ = nullptr;
    NTSTATUS status_ = STATUS_PENDING;
};

class ServiceTest : public ControlDrive {
protected:
    void SetUp() override
    {
        ControlDrive::SetUp();
        if (HasFatalFailure()) return;
        service_ = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(service_, INVALID_HANDLE_VALUE);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        if (service_ != INVALID_HANDLE_VALUE) CloseHandle(service_);
        if (event_ != nullptr) CloseHandle(event_);
        ControlDrive::TearDown();
    }
    ZARFS_SERVICE_CHANNEL* Channel() { return &Card()->Service; }

    // Starts a request of the service; Finish waits for it.
    BOOL Start(ULONG code, const void* in, DWORD inLength, void* out, DWORD outLength)
    {
        std::memset(&ov_, 0, sizeof ov_);
        ResetEvent(event_);
        ov_.hEvent = event_;
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(service_, code, const_cast<void*>(in), inLength, out, outLength, &bytes, &ov_);
        return ok || GetLastError() == ERROR_IO_PENDING;
    }
    // The request's result; 'error' gets the Win32 error of a failure.
    bool Finish(DWORD* bytes = nullptr, DWORD* error = nullptr)
    {
        DWORD got = 0;
        BOOL ok = GetOverlappedResult(service_, &ov_, &got, TRUE);
        if (bytes) *bytes = got;
        if (error) *error = ok ? 0 : GetLastError();
        return ok;
    }

    void Register(std::vector<ZARFS_FILE_TYPE> types)
    {
        std::vector<UCHAR> in(4 + std::max<size_t>(types.size(), 1) * sizeof(ZARFS_FILE_TYPE));
        ULONG count = ULONG(types.size());
        std::memcpy(in.data(), &count, 4);
        if (!types.empty()) std::memcpy(in.data() + 4, types.data(), types.size() * sizeof(ZARFS_FILE_TYPE));
        ASSERT_EQ(Control(IOCTL_ZARFS_REGISTER_FILE_TYPES, in.data(), ULONG(in.size()), nullptr, 0), STATUS_SUCCESS);
    }
    static ZARFS_FILE_TYPE Type(const char16_t* extension, ULONG frameSize)
    {
        ZARFS_FILE_TYPE t{};
        std::memcpy(t.Extension, extension, 3 * sizeof(char16_t));
        t.FrameSize = frameSize;
        return t;
    }

    // The next request the driver hands the service.
    ZARFS_SERVICE_REQUEST Next()
    {
        ZARFS_SERVICE_REQUEST r{};
        EXPECT_TRUE(Start(IOCTL_ZARFS_SEND_SERVICE_REQUEST, nullptr, 0, &r, sizeof r));
        DWORD bytes = 0;
        EXPECT_TRUE(Finish(&bytes));
        EXPECT_EQ(bytes, sizeof r);
        return r;
    }
    // Answers; 'data' is the read chunk given or the room for a write chunk.
    bool Answer(ULONG kind, ULONG status, ULONG result, void* data = nullptr, DWORD dataLength = 0,
                const void* more = nullptr, DWORD moreLength = 0)
    {
        std::vector<UCHAR> in(sizeof(ZARFS_SERVICE_RESPONSE) + moreLength);
        ZARFS_SERVICE_RESPONSE head{kind, status, result, {}};
        std::memcpy(in.data(), &head, 12);
        if (moreLength) std::memcpy(in.data() + 12, more, moreLength);
        if (!Start(IOCTL_ZARFS_SEND_SERVICE_RESPONSE, in.data(), DWORD(in.size()), data, dataLength)) return false;
        return Finish();
    }
    static ULONG Word(const ZARFS_SERVICE_REQUEST& r, ULONG offset)
    {
        ULONG v;
        std::memcpy(&v, r.Payload + offset - 8, 4);
        return v;
    }

    HANDLE service_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    OVERLAPPED ov_{};
};

TEST_F(ServiceTest, ReadsAndWritesGoInChunks)
{
    Register({Type(u"TGA", 1000)});
    std::vector<UCHAR> buffer(100, 0);
    ULONG done = 0;
    Sender read([&] { return ZarFsSReqRead(Channel(), 77, 5, 0x100000200ull, 100, 9, buffer.data(), &done); });
    ZARFS_SERVICE_REQUEST r = Next();
    EXPECT_EQ(r.Kind, ZARFS_SREQ_READ);
    EXPECT_EQ(Word(r, 8), 77u);
    EXPECT_EQ(Word(r, 12), 5u);
    EXPECT_EQ(Word(r, 16), 0x200u);
    EXPECT_EQ(Word(r, 20), 1u);
    EXPECT_EQ(Word(r, 24), 100u);
    EXPECT_EQ(Word(r, 28), 9u);
    // Three chunks; the last offers more than is still wanted.
    std::vector<UCHAR> chunk(60);
    for (int i = 0; i < 3; ++i) {
        std::fill(chunk.begin(), chunk.end(), UCHAR(0xA0 + i));
        ULONG offered = i < 2 ? 30 : 60;
        ASSERT_TRUE(Answer(ZARFS_SREQ_READ, 0, offered, chunk.data(), offered));
    }
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(done, 100u);
    EXPECT_EQ(buffer[0], 0xA0);
    EXPECT_EQ(buffer[30], 0xA1);
    EXPECT_EQ(buffer[99], 0xA2);

    // A chunk of 0 bytes: the service has no more.
    Sender shortRead([&] { return ZarFsSReqRead(Channel(), 77, 5, 0, 100, 0, buffer.data(), &done); });
    Next();
    ASSERT_TRUE(Answer(ZARFS_SREQ_READ, 0, 30, chunk.data(), 30));
    ASSERT_TRUE(Answer(ZARFS_SREQ_READ, 0, 0));
    EXPECT_EQ(shortRead.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(done, 30u);

    std::vector<UCHAR> data(70);
    for (size_t i = 0; i < data.size(); ++i) data[i] = UCHAR(i);
    Sender write([&] { return ZarFsSReqWrite(Channel(), 77, 5, 0, 70, 0, data.data(), &done); });
    EXPECT_EQ(Next().Kind, ZARFS_SREQ_WRITE);
    std::vector<UCHAR> got(80, 0xFF), room(40, 0xFF);
    ASSERT_TRUE(Answer(ZARFS_SREQ_WRITE, 0, 40, room.data(), 40));
    std::copy(room.begin(), room.end(), got.begin());
    std::fill(room.begin(), room.end(), 0xFF);
    ASSERT_TRUE(Answer(ZARFS_SREQ_WRITE, 0, 40, room.data(), 40));
    std::copy(room.begin(), room.end(), got.begin() + 40);
    EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(done, 70u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    EXPECT_EQ(got[70], 0xFF) << "only what the caller had";

    // A failing chunk stops the transfer; an answer to another kind is refused.
    Sender failing([&] { return ZarFsSReqRead(Channel(), 77, 5, 0, 100, 0, buffer.data(), &done); });
    Next();
    ASSERT_TRUE(Answer(ZARFS_SREQ_READ, 1, 30, chunk.data(), 30));
    EXPECT_EQ(failing.Wait(), STATUS_UNSUCCESSFUL);
    Sender mismatched([&] { return ZarFsSReqClose(Channel(), 77); });
    Next();
    EXPECT_FALSE(Answer(ZARFS_SREQ_READ, 0, 0));
    EXPECT_EQ(mismatched.Wait(), STATUS_UNSUCCESSFUL);
    // A read answer whose data does not fit its own buffer is refused at once.
    ZARFS_SERVICE_RESPONSE big{ZARFS_SREQ_READ, 0, 64, {}};
    EXPECT_EQ(Control(IOCTL_ZARFS_SEND_SERVICE_RESPONSE, &big, sizeof big, chunk.data(), 32), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ServiceTest, OpenNamesTheFileByItsNativeFolder)
{
    Register({Type(u"TGA", 1000)});
    const std::u16string name = u"\\TGA\\Media\\Clips\\take";
    UNICODE_STRING full{USHORT(name.size() * 2), USHORT(name.size() * 2), const_cast<char16_t*>(name.data())};
    ULONG context = 5;
    Sender open([&] { return ZarFsSReqOpen(Channel(), u'P', &full, &context); });
    ZARFS_SERVICE_REQUEST r = Next();
    EXPECT_EQ(r.Kind, ZARFS_SREQ_OPEN);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(r.Payload)), u"P:\\KIV\\Media\\Clips\\take");
    ASSERT_TRUE(Answer(ZARFS_SREQ_OPEN, 0, 0x1234));
    EXPECT_EQ(open.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(context, 0x1234u);

    // A name the request cannot hold is refused before anything is sent.
    std::u16string longName(800, u'x');
    longName[0] = u'\\';
    UNICODE_STRING tooLong{USHORT(longName.size() * 2), USHORT(longName.size() * 2), longName.data()};
    EXPECT_EQ(ZarFsSReqOpen(Channel(), u'P', &tooLong, &context), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(context, 0u);
}

TEST_F(ServiceTest, PreferencesGoToTheServiceFirst)
{
    Register({Type(u"TGA", 1000), Type(u"BMP", 2000)});
    ZAR_FILE_SYSTEM_PREFS prefs;
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &prefs, sizeof prefs), STATUS_SUCCESS);
    prefs.BaseFrameNumber = 7;

    // The service refuses: nothing changes.
    UserSender refused([&] { return Control(IOCTL_ZARFS_SET_PREFERENCES, &prefs, sizeof prefs, nullptr, 0); });
    ZARFS_SERVICE_REQUEST r = Next();
    EXPECT_EQ(r.Kind, ZARFS_SREQ_UPDATE_PREFERENCES);
    EXPECT_EQ(std::memcmp(r.Payload, &prefs, sizeof prefs), 0);
    ASSERT_TRUE(Answer(ZARFS_SREQ_UPDATE_PREFERENCES, 1, 0));
    EXPECT_EQ(refused.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Card()->Prefs.BaseFrameNumber, 0u);

    // It agrees and sends new sizes for its types; a count beyond the list
    // changes only the entries that exist.
    UserSender agreed([&] { return Control(IOCTL_ZARFS_SET_PREFERENCES, &prefs, sizeof prefs, nullptr, 0); });
    Next();
    ZARFS_FILE_TYPE types[3] = {Type(u"TGA", 1111), Type(u"BMP", 2222), Type(u"XXX", 3333)};
    ASSERT_TRUE(Answer(ZARFS_SREQ_UPDATE_PREFERENCES, 0, 9, nullptr, 0, types, sizeof types));
    EXPECT_EQ(agreed.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Card()->Prefs.BaseFrameNumber, 7u);
    ASSERT_EQ(ZarFsGlobFileTypeCount(), 3u);
    EXPECT_EQ(ZarFsGlobFileType(1)->FrameSize, 1111u);
    EXPECT_EQ(ZarFsGlobFileType(2)->FrameSize, 2222u);
    EXPECT_EQ(std::u16string(ZarFsGlobFileType(0)->Extension), u"KIV");
}

TEST_F(ServiceTest, SilenceDisconnectsUntilTheServiceRegistersAgain)
{
    Register({});
    UCHAR buffer[16];
    ULONG done = 0;
    // No request buffer handed in for 60 s.
    Sender noBuffer([&] { return ZarFsSReqClose(Channel(), 77); });
    EXPECT_EQ(noBuffer.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Channel()->Connected);
    EXPECT_EQ(FsEvents(ZARFS_MSG_SERVICE_TIMEOUT).size(), 1u);
    EXPECT_EQ(ZarFsSReqRead(Channel(), 77, 0, 0, 16, 0, buffer, &done), STATUS_UNSUCCESSFUL) << "fails at once";

    // Registered again: the request is taken but never answered.
    Register({});
    Sender noAnswer([&] { return ZarFsSReqRead(Channel(), 77, 0, 0, 16, 0, buffer, &done); });
    EXPECT_EQ(Next().Kind, ZARFS_SREQ_READ);
    EXPECT_EQ(noAnswer.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Channel()->Connected);
    EXPECT_EQ(FsEvents(ZARFS_MSG_SERVICE_TIMEOUT).size(), 2u);

    // Without a service, preference updates go through and file requests fail.
    ASSERT_EQ(Control(IOCTL_ZARFS_UNREGISTER_FILE_TYPES, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(ZarFsGlobFileTypeCount(), 1u) << "the native type stays";
    ZAR_FILE_SYSTEM_PREFS prefs;
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &prefs, sizeof prefs), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_ZARFS_SET_PREFERENCES, &prefs, sizeof prefs, nullptr, 0), STATUS_SUCCESS);
    ULONG context = 0;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\KIV\\x");
    EXPECT_EQ(ZarFsSReqOpen(Channel(), u'P', &name, &context), STATUS_UNSUCCESSFUL);
}

TEST_F(ServiceTest, PendingServiceRequestsEndCancelled)
{
    Register({});
    ZARFS_SERVICE_REQUEST r;
    DWORD error = 0;
    // The service gives up its own request.
    ASSERT_TRUE(Start(IOCTL_ZARFS_SEND_SERVICE_REQUEST, nullptr, 0, &r, sizeof r));
    ASSERT_TRUE(CancelIo(service_));
    EXPECT_FALSE(Finish(nullptr, &error));
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Channel()->RequestSlot, nullptr);

    // Tear-down ends whatever still waits in the slots.
    ASSERT_TRUE(Start(IOCTL_ZARFS_SEND_SERVICE_REQUEST, nullptr, 0, &r, sizeof r));
    nt::ClockRunUntilIdle();
    ASSERT_NE(Channel()->RequestSlot, nullptr);
    ZarFsSReqCleanup(Channel());
    EXPECT_FALSE(Finish(nullptr, &error));
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
}

TEST_F(ServiceTest, AClipIsADirectoryOfFrameFilesThenRamFiles)
{
    ZARFS_FILE_TYPE tga = Type(u"TGA", 1000);
    tga.Value = 42;
    tga.DotBeforeNumber = 1;
    tga.Presentation = 2;
    Register({tga});
    WriteClip(u"take.kiv", 3);
    HANDLE empty;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\empty", FILE_CREATE, 0, &empty), STATUS_SUCCESS);
    NtClose(empty);

    EXPECT_EQ(List("P:\\*"), (std::vector<Found>{{"KIV", 0, true}, {"TGA", 0, true}}));
    // Through the type the media files are directories, and the folder lists no frame file.
    std::vector<Found> folder = List("P:\\TGA\\Media\\Clips\\*");
    ASSERT_EQ(folder.size(), 2u);
    EXPECT_EQ(folder[0].name, "take.kiv");
    EXPECT_TRUE(folder[0].directory);
    EXPECT_EQ(folder[1].name, "empty");
    EXPECT_TRUE(folder[1].directory);

    // A clip lists one frame file a frame, then its RAM files; a file without frames only its RAM files.
    const std::string clip = "P:\\TGA\\Media\\Clips\\take.kiv\\";
    HANDLE ram = CreateFileA((clip + "Note").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(ram, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(ram);
    EXPECT_EQ(List((clip + "*").c_str()),
              (std::vector<Found>{{"take.0000.TGA", 1000, false}, {"take.0001.TGA", 1000, false},
                                  {"take.0002.TGA", 1000, false}, {"Note", 0, false}}));
    EXPECT_EQ(List((clip + "*1.tga").c_str()), (std::vector<Found>{{"take.0001.TGA", 1000, false}}));
    EXPECT_TRUE(List("P:\\TGA\\Media\\Clips\\empty\\*").empty());
    EXPECT_EQ(CreateFileA((clip + "take.0003.TGA").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE) << "no frame past the clip's last";

    // Frame 1 read whole: opened at the service under its native folder,
    // read with the type's value and the frame, and closed there.
    std::vector<UCHAR> frame(1000);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = UCHAR(i * 3 + 1);
    std::vector<UCHAR> got(1200, 0);
    DWORD gotBytes = 0, size = 0, pastEnd = 1;
    UserSender reader([&]() -> NTSTATUS {
        HANDLE h = CreateFileA((clip + "take.0001.tga").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return STATUS_OBJECT_NAME_NOT_FOUND;
        size = GetFileSize(h, nullptr);
        BOOL ok = ReadFile(h, got.data(), DWORD(got.size()), &gotBytes, nullptr);
        // At the end: nothing, and no word to the service.
        ReadFile(h, got.data() + 1100, 100, &pastEnd, nullptr);
        CloseHandle(h);
        return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    });
    ZARFS_SERVICE_REQUEST r = Next();
    ASSERT_EQ(r.Kind, ZARFS_SREQ_OPEN);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(r.Payload)),
              u"P:\\KIV\\Media\\Clips\\take.kiv\\take.0001.TGA");
    ASSERT_TRUE(Answer(ZARFS_SREQ_OPEN, 0, 0x77));
    r = Next();
    ASSERT_EQ(r.Kind, ZARFS_SREQ_READ);
    EXPECT_EQ(Word(r, 8), 0x77u);
    EXPECT_EQ(Word(r, 12), 42u);
    EXPECT_EQ(Word(r, 16), 0u);
    EXPECT_EQ(Word(r, 24), 1000u) << "cut to the frame file's size";
    EXPECT_EQ(Word(r, 28), 1u);
    ASSERT_TRUE(Answer(ZARFS_SREQ_READ, 0, 1000, frame.data(), 1000));
    r = Next();
    ASSERT_EQ(r.Kind, ZARFS_SREQ_CLEANUP);
    EXPECT_EQ(Word(r, 8), 0x77u);
    EXPECT_EQ(Word(r, 12), 42u);
    EXPECT_EQ(Word(r, 16), 1u);
    ASSERT_TRUE(Answer(ZARFS_SREQ_CLEANUP, 0, 0));
    r = Next();
    EXPECT_EQ(r.Kind, ZARFS_SREQ_CLOSE);
    EXPECT_EQ(Word(r, 8), 0x77u);
    ASSERT_TRUE(Answer(ZARFS_SREQ_CLOSE, 0, 0));
    EXPECT_EQ(reader.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(gotBytes, 1000u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), got.begin()));
    EXPECT_EQ(pastEnd, 0u);

    // A frame file is a view: it is neither deleted nor renamed, and the clip stays;
    // the RAM file beside it goes.
    EXPECT_FALSE(DeleteFileA((clip + "take.0001.TGA").c_str()));
    EXPECT_FALSE(MoveFileA((clip + "take.0001.TGA").c_str(), (clip + "other.0001.TGA").c_str()));
    EXPECT_TRUE(DeleteFileA((clip + "Note").c_str()));
    EXPECT_EQ(List((clip + "*").c_str()).size(), 3u);
    EXPECT_EQ(List("P:\\KIV\\Media\\Clips\\take.kiv").size(), 1u);
}

std::u16string PayloadText(const ZARFS_SERVICE_REQUEST& r)
{
    return std::u16string(reinterpret_cast<const char16_t*>(r.Payload));
}

// A clip "take.kiv" of 3 frames seen through "TGA" (type value 42), whose
// frame files and RAM files the service tests below use.
class FrameFileTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        if (HasFatalFailure()) return;
        ZARFS_FILE_TYPE tga = Type(u"TGA", 1000);
        tga.Value = 42;
        tga.DotBeforeNumber = 1;
        tga.Presentation = 2;
        Register({tga});
        WriteClip(u"take.kiv", 3);
    }
    static constexpr const char* kClip = "P:\\TGA\\Media\\Clips\\take.kiv\\";
    static std::string In(const char* name) { return std::string(kClip) + name; }
    // A RAM file of the clip holding 'data'.
    static void MakeRamFile(const char* name, const std::vector<UCHAR>& data)
    {
        HANDLE h = CreateFileA(In(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD done = 0;
        if (!data.empty()) {
            EXPECT_TRUE(WriteFile(h, data.data(), DWORD(data.size()), &done, nullptr));
        }
        CloseHandle(h);
    }
    static bool Listed(const char* name)
    {
        for (const Found& f : List(In("*").c_str()))
            if (f.name == name) return true;
        return false;
    }
    // Takes the service's cleanup and close of 'context' for 'frame', in that order.
    void ExpectCleanupAndClose(ULONG context, ULONG frame)
    {
        ZARFS_SERVICE_REQUEST r = Next();
        ASSERT_EQ(r.Kind, ZARFS_SREQ_CLEANUP);
        EXPECT_EQ(Word(r, 8), context);
        EXPECT_EQ(Word(r, 12), 42u);
        EXPECT_EQ(Word(r, 16), frame);
        ASSERT_TRUE(Answer(ZARFS_SREQ_CLEANUP, 0, 0));
        r = Next();
        ASSERT_EQ(r.Kind, ZARFS_SREQ_CLOSE);
        EXPECT_EQ(Word(r, 8), context);
        ASSERT_TRUE(Answer(ZARFS_SREQ_CLOSE, 0, 0));
    }
};

TEST_F(FrameFileTest, AFrameFileIsWrittenThroughTheServiceAndEndedThereOnce)
{
    std::vector<UCHAR> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = UCHAR(i * 5 + 3);
    DWORD wrote = 0, wroteNothing = 7, position = 0;
    BOOL failedWrite = TRUE;
    UserSender writer([&]() -> NTSTATUS {
        const std::string name = In("take.0002.TGA");
        HANDLE w = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        HANDLE r = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (w == INVALID_HANDLE_VALUE || r == INVALID_HANDLE_VALUE) return STATUS_OBJECT_NAME_NOT_FOUND;
        BOOL ok = WriteFile(w, data.data(), DWORD(data.size()), &wrote, nullptr);
        // Nothing to write: done at once, without a word to the service.
        WriteFile(w, data.data(), 0, &wroteNothing, nullptr);
        position = SetFilePointer(w, 0, nullptr, FILE_CURRENT);
        failedWrite = WriteFile(w, data.data(), 10, &wrote, nullptr);
        // Two handles: the service hears of the end once, after the last.
        CloseHandle(w);
        CloseHandle(r);
        return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    });
    ZARFS_SERVICE_REQUEST r = Next();
    ASSERT_EQ(r.Kind, ZARFS_SREQ_OPEN);
    EXPECT_EQ(PayloadText(r), u"P:\\KIV\\Media\\Clips\\take.kiv\\take.0002.TGA");
    ASSERT_TRUE(Answer(ZARFS_SREQ_OPEN, 0, 0x66));
    r = Next();
    ASSERT_EQ(r.Kind, ZARFS_SREQ_WRITE);
    EXPECT_EQ(Word(r, 8), 0x66u);
    EXPECT_EQ(Word(r, 12), 42u);
    EXPECT_EQ(Word(r, 16), 0u);
    EXPECT_EQ(Word(r, 20), 0u);
    EXPECT_EQ(Word(r, 24), 100u);
    EXPECT_EQ(Word(r, 28), 2u);
    // The service asks for the bytes in three pieces.
    std::vector<UCHAR> got;
    for (ULONG piece : {40u, 40u, 20u}) {
        std::vector<UCHAR> room(piece, 0xFF);
        ASSERT_TRUE(Answer(ZARFS_SREQ_WRITE, 0, piece, room.data(), piece));
        got.insert(got.end(), room.begin(), room.end());
    }
    EXPECT_EQ(got, data);
    // The next write goes on at the file pointer, and the service refuses it.
    r = Next();
    ASSERT_EQ(r.Kind, ZARFS_SREQ_WRITE) << "the write of nothing reached the service";
    EXPECT_EQ(Word(r, 8), 0x66u) << "opened once";
    EXPECT_EQ(Word(r, 16), 100u);
    EXPECT_EQ(Word(r, 24), 10u);
    UCHAR room[10];
    ASSERT_TRUE(Answer(ZARFS_SREQ_WRITE, 1, 10, room, 10));
    ExpectCleanupAndClose(0x66, 2);
    EXPECT_EQ(writer.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(wroteNothing, 0u);
    EXPECT_EQ(position, 100u);
    EXPECT_FALSE(failedWrite);
    EXPECT_EQ(wrote, 0u);
}

TEST_F(FrameFileTest, ARamFileRenamedOntoAFrameIsHandedToTheService)
{
    std::vector<UCHAR> image(300);
    for (size_t i = 0; i < image.size(); ++i) image[i] = UCHAR(i * 7);
    MakeRamFile("Pic", image);
    ASSERT_EQ(MediaVolume()->RamFiles.Count, 1u);
    UserSender mover([&] {
        return MoveFileA(In("Pic").c_str(), In("take.0001.tga").c_str()) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    });
    ZARFS_SERVICE_REQUEST r = Next();
    ASSERT_EQ(r.Kind, ZARFS_SREQ_OPEN);
    EXPECT_EQ(PayloadText(r), u"P:\\KIV\\Media\\Clips\\take.kiv\\take.0001.TGA");
    ASSERT_TRUE(Answer(ZARFS_SREQ_OPEN, 0, 0x99));
    r = Next();
    ASSERT_EQ(r.Kind, ZARFS_SREQ_WRITE);
    EXPECT_EQ(Word(r, 8), 0x99u);
    EXPECT_EQ(Word(r, 12), 42u);
    EXPECT_EQ(Word(r, 16), 0u);
    EXPECT_EQ(Word(r, 24), 300u) << "the whole contents";
    EXPECT_EQ(Word(r, 28), 1u);
    std::vector<UCHAR> got(300);
    ASSERT_TRUE(Answer(ZARFS_SREQ_WRITE, 0, 200, got.data(), 200));
    ASSERT_TRUE(Answer(ZARFS_SREQ_WRITE, 0, 100, got.data() + 200, 100));
    EXPECT_EQ(got, image);
    ExpectCleanupAndClose(0x99, 1);
    EXPECT_EQ(mover.Wait(), STATUS_SUCCESS);
    // The RAM file went at its last cleanup; the frame stays.
    EXPECT_FALSE(Listed("Pic"));
    EXPECT_TRUE(Listed("take.0001.TGA"));
    EXPECT_EQ(MediaVolume()->RamFiles.Count, 0u);
}

TEST_F(FrameFileTest, ARamFileThatCannotBecomeAFrameStays)
{
    MakeRamFile("Pic", std::vector<UCHAR>(50, 0x5A));
    MakeRamFile("Other", std::vector<UCHAR>(10, 1));
    MakeRamFile("Empty", {});
    // Refused before the service hears of it.
    struct Case {
        const char* from;
        const char* to;
    } refused[] = {
        {"Pic", "nothing.TGA"},                      // no such name in the clip
        {"Pic", "take.0003.TGA"},                    // past the clip's last frame
        {"Pic", "Other"},                            // another RAM file
        {"Pic", "Pic"},                              // itself
        {"Empty", "take.0000.TGA"},                  // no image to hand over
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.to);
        EXPECT_FALSE(MoveFileA(In(c.from).c_str(), In(c.to).c_str()));
    }
    EXPECT_FALSE(MoveFileA(In("Pic").c_str(), "P:\\TGA\\Media\\Clips\\elsewhere")) << "out of its clip";

    // The service fails the open, then the write: the RAM file is kept
    // whole, and a file the service opened is still ended there.
    for (int failing = 0; failing < 2; ++failing) {
        SCOPED_TRACE(failing);
        UserSender mover([&] {
            return MoveFileA(In("Pic").c_str(), In("take.0000.TGA").c_str()) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        });
        ASSERT_EQ(Next().Kind, ZARFS_SREQ_OPEN);
        if (failing == 0) {
            ASSERT_TRUE(Answer(ZARFS_SREQ_OPEN, 1, 0));
        } else {
            ASSERT_TRUE(Answer(ZARFS_SREQ_OPEN, 0, 0x31));
            ASSERT_EQ(Next().Kind, ZARFS_SREQ_WRITE);
            UCHAR room[50];
            ASSERT_TRUE(Answer(ZARFS_SREQ_WRITE, 1, 50, room, 50));
            ExpectCleanupAndClose(0x31, 0);
        }
        EXPECT_EQ(mover.Wait(), STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(List(In("*").c_str()),
              (std::vector<Found>{{"take.0000.TGA", 1000, false}, {"take.0001.TGA", 1000, false},
                                  {"take.0002.TGA", 1000, false}, {"Empty", 0, false}, {"Other", 10, false},
                                  {"Pic", 50, false}}));
    std::vector<UCHAR> back(60, 0);
    HANDLE h = CreateFileA(In("Pic").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    EXPECT_TRUE(ReadFile(h, back.data(), DWORD(back.size()), &done, nullptr));
    CloseHandle(h);
    EXPECT_EQ(done, 50u);
    EXPECT_EQ(back[49], 0x5A);
}

TEST_F(FrameFileTest, ADeletedClipTakesItsRamFilesWithIt)
{
    HANDLE other;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\other", FILE_CREATE, 0, &other), STATUS_SUCCESS);
    NtClose(other);
    MakeRamFile("Note", std::vector<UCHAR>(64, 0x11));
    MakeRamFile("Spare", std::vector<UCHAR>(8, 0x22));
    HANDLE keep = CreateFileA("P:\\TGA\\Media\\Clips\\other\\Keep", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                              nullptr);
    ASSERT_NE(keep, INVALID_HANDLE_VALUE);
    CloseHandle(keep);
    ASSERT_EQ(MediaVolume()->RamFiles.Count, 3u);
    // A handle stays open on one of the clip's RAM files across the delete.
    HANDLE note = CreateFileA(In("Note").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(note, INVALID_HANDLE_VALUE);

    ASSERT_TRUE(DeleteFileA("P:\\KIV\\Media\\Clips\\take.kiv")) << GetLastError();
    EXPECT_EQ(MediaVolume()->RamFiles.Count, 1u) << "only the other clip's RAM file is left";
    EXPECT_EQ(List("P:\\TGA\\Media\\Clips\\other\\*"), (std::vector<Found>{{"Keep", 0, false}}));

    // The open handle fails cleanly and ends without touching anything.
    UCHAR buffer[16] = {};
    DWORD done = 5;
    EXPECT_FALSE(ReadFile(note, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(WriteFile(note, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(GetFileSize(note, nullptr), 0u);
    EXPECT_FALSE(SetEndOfFile(note));
    EXPECT_TRUE(List(In("*").c_str()).empty()) << "the clip is gone through every type folder";

    // A new clip of that name, while the old handle is still open, starts
    // without RAM files, and the count has room again.
    WriteClip(u"take.kiv", 2);
    EXPECT_EQ(List(In("*").c_str()), (std::vector<Found>{{"take.0000.TGA", 1000, false},
                                                         {"take.0001.TGA", 1000, false}}));
    MakeRamFile("Note", std::vector<UCHAR>(4, 0x33));
    EXPECT_EQ(MediaVolume()->RamFiles.Count, 2u);
    CloseHandle(note);
    EXPECT_EQ(List(In("*").c_str()).size(), 3u) << "the old handle's end leaves the new clip as it is";
}

TEST_F(ServiceTest, ADamagedFrameCountListsOnlyTheFramesTheBodyTableIndexes)
{
    ZARFS_FILE_TYPE tga = Type(u"TGA", 1000);
    tga.Presentation = 2;
    Register({tga});
    ZAR_FILE_INFO entry{};
    std::memcpy(entry.Magic, "FIL0", 4);
    entry.CreationTime = 0x01D0000000000000ull;
    entry.MediaKind = ZARFS_MEDIA_FRAMES;
    entry.FrameCount = 0xFFFFFFFF;
    entry.VideoBodyTableBlocks = 1;  // room for 64 frames' index entries
    ZarFsHwStoreName(entry.Name, u"wild", 4);
    ULONG block = 0;
    ASSERT_EQ(ZarFsHwCreateFileEntry(Hw(), MediaVolume(), 0, &entry, &block), STATUS_SUCCESS);

    const std::string clip = "P:\\TGA\\Media\\Clips\\wild\\";
    std::vector<Found> found = List((clip + "*").c_str());
    ASSERT_EQ(found.size(), 64u);
    EXPECT_EQ(found[63].name, "wild0063.TGA");
    // A RAM file comes after them, and a name that is none of them is looked up in bounded time.
    HANDLE ram = CreateFileA((clip + "Note").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(ram, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(ram);
    found = List((clip + "*").c_str());
    ASSERT_EQ(found.size(), 65u);
    EXPECT_EQ(found[64].name, "Note");
}

// A port command: total length, code, then a UTF-16 name and 'extra' bytes.
std::vector<UCHAR> PortCommand(ULONG code, const std::u16string& name, ULONG extra = 0, ULONG total = 0)
{
    std::vector<UCHAR> c(8 + (name.size() + 1) * 2 + extra, 0);
    if (total == 0) total = ULONG(c.size());
    std::memcpy(c.data(), &total, 4);
    std::memcpy(c.data() + 4, &code, 4);
    std::memcpy(c.data() + 8, name.data(), name.size() * 2);
    for (ULONG i = 0; i < extra; ++i) c[c.size() - extra + i] = UCHAR(0xE0 + i);
    return c;
}

std::vector<ULONG> ReadPort(HANDLE port, ULONG offset = 0)
{
    std::vector<ULONG> words(16, 0xEEEEEEEE);
    DWORD done = 0;
    EXPECT_EQ(SetFilePointer(port, LONG(offset), nullptr, FILE_BEGIN), offset);
    EXPECT_TRUE(ReadFile(port, words.data(), 64, &done, nullptr));
    words.resize(done / 4);
    return words;
}

TEST_F(ServiceTest, PortFileCommandsReachTheServiceOnceWhole)
{
    Register({Type(u"TGA", 1000)});
    ULONG sdti = 0x15;
    ASSERT_EQ(Control(IOCTL_ZARFS_REGISTER_SDTI_FLAGS, &sdti, 4, nullptr, 0), STATUS_SUCCESS);
    // Opens with any disposition that may create, in any folder, shared whatever was asked.
    HANDLE port = CreateFileA("P:\\KIV\\Media\\Clips\\___port0___", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE second = CreateFileA("P:\\KIV\\Media\\Clips\\___Port0___", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(second, INVALID_HANDLE_VALUE) << GetLastError();
    ULONG kivf;
    std::memcpy(&kivf, "KIVF", 4);
    EXPECT_EQ(ReadPort(port), (std::vector<ULONG>{16, kivf, 1, 0x15}));
    EXPECT_EQ(ReadPort(port, 16), std::vector<ULONG>{});
    // Its size is the command buffer's, whatever the reply.
    EXPECT_EQ(GetFileSize(port, nullptr), 2048u);
    EXPECT_EQ(CreateFileA("P:\\KIV\\Media\\Clips\\___Port1___", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);

    // A new media file, the command written in two pieces: the first goes nowhere.
    std::vector<UCHAR> create = PortCommand(ZARFS_PORT_CMD_CREATE_MEDIA_FILE, u"Take 2", 24);
    DWORD done = 0;
    ASSERT_EQ(SetFilePointer(port, 0, nullptr, FILE_BEGIN), 0u);
    ASSERT_TRUE(WriteFile(port, create.data(), 6, &done, nullptr));
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(ReadPort(port), (std::vector<ULONG>{16, ULONG(-3), 1, 0x15}));
    ASSERT_EQ(SetFilePointer(port, 6, nullptr, FILE_BEGIN), 6u);
    UserSender rest([&] {
        DWORD wrote = 0;
        return WriteFile(port, create.data() + 6, DWORD(create.size() - 6), &wrote, nullptr) &&
                       wrote == create.size() - 6
                   ? STATUS_SUCCESS
                   : STATUS_UNSUCCESSFUL;
    });
    ZARFS_SERVICE_REQUEST r = Next();
    EXPECT_EQ(r.Kind, ZARFS_SREQ_CREATE_MEDIA_FILE);
    EXPECT_EQ(PayloadText(r), u"P:\\KIV\\Media\\Clips\\Take 2");
    EXPECT_EQ(r.Payload[(25 + 1) * 2], 0xE0);  // the rest of the arguments moved right with the name
    EXPECT_EQ(r.Payload[(25 + 1) * 2 + 23], 0xF7);
    ASSERT_TRUE(Answer(ZARFS_SREQ_CREATE_MEDIA_FILE, 0, 0));
    EXPECT_EQ(rest.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(ReadPort(port), (std::vector<ULONG>{8, 0}));
    // The other handle has its own reply.
    EXPECT_EQ(ReadPort(second).size(), 4u);

    // Free space of the port file's volume, in one piece.
    std::vector<UCHAR> space = PortCommand(ZARFS_PORT_CMD_GET_AVAILABLE_SPACE, u"");
    ASSERT_EQ(SetFilePointer(port, 0, nullptr, FILE_BEGIN), 0u);
    UserSender ask([&] {
        DWORD wrote = 0;
        return WriteFile(port, space.data(), DWORD(space.size()), &wrote, nullptr) ? STATUS_SUCCESS
                                                                                 : STATUS_UNSUCCESSFUL;
    });
    r = Next();
    EXPECT_EQ(r.Kind, ZARFS_SREQ_GET_AVAILABLE_SPACE);
    EXPECT_EQ(PayloadText(r), u"P:\\KIV\\Media");
    ULONG figures[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(Answer(ZARFS_SREQ_GET_AVAILABLE_SPACE, 0, figures[0], nullptr, 0, figures + 1, 20));
    EXPECT_EQ(ask.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(ReadPort(port), (std::vector<ULONG>{32, 0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(GetFileSize(port, nullptr), 2048u);
    EXPECT_EQ(ReadPort(port, 2048), std::vector<ULONG>{});

    // Lengths outside 8 .. 8 + the argument, and unknown codes: reply {8, -2},
    // nothing sent; a bad length fails the write.
    struct BadCase {
        ULONG code;
        ULONG total;
        bool writeFails;
    } bad[] = {
        {ZARFS_PORT_CMD_CREATE_MEDIA_FILE, 4, true},
        {ZARFS_PORT_CMD_CREATE_MEDIA_FILE, 8 + 1048 + 2, true},
        {ZARFS_PORT_CMD_GET_AVAILABLE_SPACE, 8 + 1032 + 2, true},
        {9, 0, false},
    };
    for (const BadCase& c : bad) {
        SCOPED_TRACE(c.total);
        std::vector<UCHAR> command = PortCommand(c.code, u"x", 0, c.total);
        if (c.total > command.size()) command.resize(c.total);
        ASSERT_EQ(SetFilePointer(port, 0, nullptr, FILE_BEGIN), 0u);
        EXPECT_EQ(WriteFile(port, command.data(), DWORD(command.size()), &done, nullptr), !c.writeFails);
        EXPECT_EQ(ReadPort(port), (std::vector<ULONG>{8, ULONG(-2)}));
    }
    // Writes at or past the command buffer's end are refused and change nothing.
    for (LONG at : {2048, 2049, 4096}) {
        ASSERT_EQ(SetFilePointer(port, at, nullptr, FILE_BEGIN), DWORD(at));
        done = 99;
        EXPECT_FALSE(WriteFile(port, create.data(), 8, &done, nullptr)) << at;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(done, 0u);
        EXPECT_EQ(ReadPort(port), (std::vector<ULONG>{8, ULONG(-2)}));
    }
    // The port file is no file to delete.
    EXPECT_FALSE(DeleteFileA("P:\\KIV\\Media\\Clips\\___Port0___"));
    CloseHandle(second);
    CloseHandle(port);
}

}  // namespace
