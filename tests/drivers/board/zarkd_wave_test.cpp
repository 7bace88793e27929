// The wave devices' board side, as the wave front reaches it: requests of
// caller kind 2 carrying their device word, writes played bit for bit
// through the play DMA, position, cancel of a queued write, the audio lock
// against the library, and the settings under ZARWAV\Parameters.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "include/zar_audio_hw.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

TEST(ZarkdWaveRules, WaveDataBecomesSlotsZeroAndOneOfFourSlotFrames)
{
    struct Row {
        const char* what;
        std::vector<UCHAR> source;
        ULONG channels, bytesPerSample;
        std::vector<SHORT> left, right;
    } rows[] = {
        {"16-bit stereo", {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0x00, 0x80}, 2, 2, {0x0201, -1}, {0x0403, -32768}},
        {"16-bit mono to both", {0x10, 0x00, 0x00, 0x80}, 1, 2, {16, -32768}, {16, -32768}},
        {"8-bit stereo", {128, 255, 0, 129}, 2, 1, {0, -32768}, {32512, 256}},
        {"8-bit mono to both", {0, 255}, 1, 1, {-32768, 32512}, {-32768, 32512}},
        {"a partial frame is left", {1, 0, 2}, 2, 1, {-32512}, {-32768}},
    };
    for (const Row& r : rows) {
        std::vector<SHORT> dma(4 * 8, 7);
        ULONG used = 0, frames = 0;
        ZarWaveDrvCopyIntoBuffer(r.source.data(), ULONG(r.source.size()), r.channels, r.bytesPerSample, dma.data(), 8,
                                 &used, &frames);
        ASSERT_EQ(frames, r.left.size()) << r.what;
        EXPECT_EQ(used, frames * r.channels * r.bytesPerSample) << r.what;
        for (ULONG i = 0; i < frames; ++i) {
            EXPECT_EQ(dma[4 * i], r.left[i]) << r.what << " frame " << i;
            EXPECT_EQ(dma[4 * i + 1], r.right[i]) << r.what << " frame " << i;
            EXPECT_EQ(dma[4 * i + 2], 7) << "slots 2 and 3 are not the wave's";
        }
    }
    // The destination's end stops the copy too.
    std::vector<UCHAR> many(64);
    SHORT dma[8];
    ULONG used = 0, frames = 0;
    ZarWaveDrvCopyIntoBuffer(many.data(), 64, 2, 2, dma, 2, &used, &frames);
    EXPECT_EQ(frames, 2u);
    EXPECT_EQ(used, 8u);
    struct Pos {
        ULONGLONG bytes;
        ULONG channels, bytesPerSample, frames;
    } positions[] = {{4000, 2, 2, 1000}, {4000, 1, 2, 2000}, {4001, 2, 1, 2000}, {0, 2, 2, 0}};
    for (const Pos& p : positions) {
        ULONG f = 0, b = 0;
        ZarWaveDrvPosition(p.bytes, p.channels, p.bytesPerSample, &f, &b);
        EXPECT_EQ(f, p.frames);
        EXPECT_EQ(b, ULONG(p.bytes));
    }
}

TEST(ZarkdWaveRules, RecordedFramesBecomeWaveDataAtTheDevicesFormatAndRate)
{
    // Board frames (left, right): left 100 * n, right -100 * n.
    std::vector<SHORT> dma(2 * 8);
    for (int n = 0; n < 8; ++n) dma[2 * n] = SHORT(100 * n), dma[2 * n + 1] = SHORT(-100 * n);
    struct Row {
        const char* what;
        ULONG step, channels, bytesPerSample, outBytes;
        std::vector<SHORT> samples;  // 16-bit
        std::vector<UCHAR> bytes;    // 8-bit
        ULONG used, phaseAfter;
    } rows[] = {
        {"16-bit stereo", 1, 2, 2, 64, {0, 0, 100, -100, 200, -200, 300, -300, 400, -400, 500, -500, 600, -600, 700, -700}, {}, 8, 0},
        {"16-bit mono takes the left", 2, 1, 2, 64, {0, 200, 400, 600}, {}, 8, 0},
        {"every third frame, the skip carried on", 3, 1, 2, 64, {0, 300, 600}, {}, 8, 1},
        {"8-bit stereo", 4, 2, 1, 64, {}, {128, 128, 129, 126}, 8, 0},
        {"a full request stops the copy", 1, 2, 2, 8, {0, 0, 100, -100}, {}, 2, 0},
    };
    for (const Row& r : rows) {
        std::vector<UCHAR> out(64, 0xEE);
        ULONG phase = 0, used = 0, written = 0;
        ZarWaveDrvCopyFromBuffer(dma.data(), 8, r.step, &phase, r.channels, r.bytesPerSample, out.data(), r.outBytes,
                                 &used, &written);
        EXPECT_EQ(used, r.used) << r.what;
        EXPECT_EQ(phase, r.phaseAfter) << r.what;
        if (r.bytesPerSample == 2) {
            ASSERT_EQ(written, r.samples.size() * 2) << r.what;
            std::vector<SHORT> got(r.samples.size());
            std::memcpy(got.data(), out.data(), written);
            EXPECT_EQ(got, r.samples) << r.what;
        } else {
            ASSERT_EQ(written, r.bytes.size()) << r.what;
            EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + written), r.bytes) << r.what;
        }
    }
    struct Rate {
        ULONG mode, rate, decimation;
    } rates[] = {{1, 11025, 4}, {1, 22050, 2}, {3, 11025, 2}, {3, 22050, 1}, {1, 48000, 1}, {2, 11025, 1}};
    for (const Rate& r : rates) EXPECT_EQ(ZarWaveDrvDecimation(r.mode, r.rate), r.decimation) << r.mode << "/" << r.rate;
}

class ZarkdWave : public ZarkdIoctlMachine {
protected:
    static constexpr ULONG kOut0 = 0x200;

    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ULONG io[4] = {0, 0, 0, 0};
        ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof(io), io, sizeof(io)).status, STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        std::memset(&file_, 0, sizeof(file_));
    }
    sim::Board& Board() { return *built_.boards[0]; }
    void RunFields(uint64_t fields)
    {
        const uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }

    // A request of the wave front: the device word in the method-neither field.
    NTSTATUS Control(ULONG code, ULONG word, void* in, ULONG inLength, void* out, ULONG outLength, ULONG_PTR* bytes = nullptr)
    {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, ext_->DeviceObject, in, inLength, out, outLength, FALSE, &done, &iosb);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Parameters.DeviceIoControl.Type3InputBuffer = reinterpret_cast<PVOID>(ULONG_PTR(word));
        next->FileObject = &file_;
        NTSTATUS status = IoCallDriver(ext_->DeviceObject, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        if (bytes) *bytes = iosb.Information;
        return status == STATUS_PENDING ? iosb.Status : status;
    }
    struct Write {
        KEVENT done;
        IO_STATUS_BLOCK iosb;
        PIRP irp;
        NTSTATUS status;
    };
    Write& StartWrite(ULONG word, const void* data, ULONG length)
    {
        Write& w = writes_.emplace_back();
        KeInitializeEvent(&w.done, NotificationEvent, FALSE);
        LARGE_INTEGER offset;
        offset.LowPart = 0;
        offset.HighPart = LONG(word);
        w.irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, ext_->DeviceObject, const_cast<void*>(data), length, &offset,
                                             &w.done, &w.iosb);
        IoGetNextIrpStackLocation(w.irp)->FileObject = &file_;
        w.status = IoCallDriver(ext_->DeviceObject, w.irp);
        return w;
    }
    Write& StartRead(ULONG word, void* data, ULONG length)
    {
        Write& r = writes_.emplace_back();
        KeInitializeEvent(&r.done, NotificationEvent, FALSE);
        LARGE_INTEGER offset;
        offset.LowPart = 0;
        offset.HighPart = LONG(word);
        r.irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, ext_->DeviceObject, data, length, &offset, &r.done, &r.iosb);
        IoGetNextIrpStackLocation(r.irp)->FileObject = &file_;
        r.status = IoCallDriver(ext_->DeviceObject, r.irp);
        return r;
    }
    static bool Done(Write& w) { return KeReadStateEvent(&w.done) != 0; }
    void CloseWave(ULONG word)
    {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER offset;
        offset.LowPart = 0;
        offset.HighPart = LONG(word);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, ext_->DeviceObject, nullptr, 0, &offset, &done, &iosb);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_CLOSE;
        next->FileObject = &file_;
        EXPECT_EQ(IoCallDriver(ext_->DeviceObject, irp), STATUS_SUCCESS);
    }
    ULONG Open(ULONG word)
    {
        ULONG io[3] = {0, 1, 0};
        EXPECT_EQ(Control(IOCTL_ZAR_WAVE_OPEN_FOR_PLAY, word, io, 12, io, 12), STATUS_SUCCESS);
        return io[0];
    }

    FILE_OBJECT file_;
    std::deque<Write> writes_;
};

TEST_F(ZarkdWave, AWaveOutDevicePlaysAFilesSamplesBitExactAndReportsItsPosition)
{
    // The wave user's tracks 0 and 1 at unity: the mix then carries the
    // samples unchanged, left on track 0 and right on track 1.
    for (ULONG t = 0; t < 2; ++t) {
        ZAR_AUDIO_TRACK_CONTROL c{};
        c.Level = ZAR_AUDIO_LEVEL_UNITY;
        ULONG in[3] = {t, ULONG(reinterpret_cast<ULONG_PTR>(&c)), ZAR_TRACK_LEVEL};
        ASSERT_EQ(ZarAudIoUserSetTrackControl(ext_, in, ZAR_CALLER_WAVE_DEVICE), STATUS_SUCCESS);
    }
    ASSERT_EQ(Open(kOut0), 1u);
    EXPECT_EQ(ext_->Setup.AudioOwner, ZAR_CALLER_WAVE_DEVICE);
    RunFields(10);  // the DSPs take the wave user's levels
    UCHAR format[16] = {1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0x77, 1, 0, 4, 0, 16, 0};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SET_FORMAT, kOut0, format, 16, nullptr, 0), STATUS_SUCCESS);
    UCHAR threeChannels[16] = {1, 0, 3, 0};
    EXPECT_EQ(Control(IOCTL_ZAR_WAVE_SET_FORMAT, kOut0, threeChannels, 16, nullptr, 0), STATUS_INVALID_PARAMETER);

    // Three writes of a stereo file's data: 4,000 frames each, a sweep of values.
    std::vector<std::vector<int16_t>> data(3, std::vector<int16_t>(8000));
    for (ULONG b = 0; b < 3; ++b)
        for (ULONG i = 0; i < 8000; ++i) data[b][i] = int16_t((b * 8000 + i) * 7 - 30000);
    Board().Audio().KeepMix(true);
    for (auto& d : data) EXPECT_EQ(StartWrite(kOut0, d.data(), 16000).status, STATUS_PENDING);
    for (int i = 0; i < 60 && !Done(writes_.back()); ++i) RunFields(1);
    RunFields(3);
    Board().Audio().KeepMix(false);
    for (Write& w : writes_) {
        ASSERT_TRUE(Done(w));
        EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(w.iosb.Information, 16000u);
    }
    ULONG position[2] = {};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_GET_POSITION, kOut0, nullptr, 0, position, 8), STATUS_SUCCESS);
    EXPECT_EQ(position[0], 12000u);
    EXPECT_EQ(position[1], 48000u);

    const std::vector<int16_t>& mix = Board().Audio().Mix();
    size_t start = 0;
    while (start + 1 < mix.size() && !(mix[start] == data[0][0] && mix[start + 1] == data[0][1])) start += 2;
    ASSERT_LT(start + 24000, mix.size()) << "the first frame never came out";
    size_t mismatches = 0;
    for (ULONG b = 0; b < 3; ++b)
        for (ULONG i = 0; i < 8000; ++i)
            if (mix[start + b * 8000 + i] != data[b][i]) ++mismatches;
    EXPECT_EQ(mismatches, 0u);
    // After the last write the last pair is held, not silence.
    EXPECT_EQ(mix[start + 24000], data[2][7998]);
    EXPECT_EQ(mix[start + 24001], data[2][7999]);
    CloseWave(kOut0);
    EXPECT_EQ(ext_->Wave.Out[0].Open, 0u);
}

TEST_F(ZarkdWave, AQueuedWriteCanBeCancelledAndCloseEndsTheRest)
{
    ASSERT_EQ(Open(kOut0), 1u);
    std::vector<int16_t> data(64000);
    Write& first = StartWrite(kOut0, data.data(), 128000);  // about 0.7 s
    Write& second = StartWrite(kOut0, data.data(), 128000);
    Write& third = StartWrite(kOut0, data.data(), 128000);
    RunFields(2);
    EXPECT_FALSE(Done(second));
    IoCancelIrp(second.irp);
    ASSERT_TRUE(Done(second));
    EXPECT_EQ(second.iosb.Status, STATUS_CANCELLED);
    EXPECT_FALSE(Done(first));
    CloseWave(kOut0);
    ASSERT_TRUE(Done(first));
    ASSERT_TRUE(Done(third));
    EXPECT_EQ(first.iosb.Status, STATUS_SUCCESS);
    EXPECT_LT(first.iosb.Information, 128000u) << "ended with what it had played";
    EXPECT_EQ(third.iosb.Status, STATUS_CANCELLED);
    EXPECT_FALSE(ext_->AudioEngine.PlayDmaRunning);
}

// Writes move in whole frames: one that is not a whole number of frames is
// refused, and a write left with a part frame by a change of format is
// done with it rather than copied for ever.
TEST_F(ZarkdWave, AWriteOfPartFramesIsRefusedAndAPartFrameLeftByAFormatChangeEndsItsWrite)
{
    ASSERT_EQ(Open(kOut0), 1u);
    std::vector<UCHAR> data(8192, 0x11);
    EXPECT_EQ(StartWrite(kOut0, data.data(), 4001).status, STATUS_INVALID_PARAMETER) << "16-bit stereo: 4 bytes a frame";
    EXPECT_FALSE(ext_->Wave.Running);

    UCHAR mono[16] = {1, 0, 1, 0, 0x80, 0xBB, 0, 0, 0, 0x77, 1, 0, 2, 0, 16, 0};
    UCHAR stereo[16] = {1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0x77, 1, 0, 4, 0, 16, 0};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SET_FORMAT, kOut0, mono, 16, nullptr, 0), STATUS_SUCCESS);
    Write& w = StartWrite(kOut0, data.data(), 4002);  // 2,001 mono frames; 1,024 go into the first two halves
    ASSERT_EQ(w.status, STATUS_PENDING);
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SET_FORMAT, kOut0, stereo, 16, nullptr, 0), STATUS_SUCCESS);
    for (int i = 0; i < 30 && !Done(w); ++i) RunFields(1);
    ASSERT_TRUE(Done(w));
    EXPECT_EQ(w.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.iosb.Information, 4002u);
    CloseWave(kOut0);
}

// Substitution overwrites the tail of what is queued and not yet played:
// the last write, then the one before it, and what is played shows it.
TEST_F(ZarkdWave, SubstitutedDataReplacesTheTailOfTheQueuedWritesAsPlayed)
{
    for (ULONG t = 0; t < 2; ++t) {
        ZAR_AUDIO_TRACK_CONTROL c{};
        c.Level = ZAR_AUDIO_LEVEL_UNITY;
        ULONG in[3] = {t, ULONG(reinterpret_cast<ULONG_PTR>(&c)), ZAR_TRACK_LEVEL};
        ASSERT_EQ(ZarAudIoUserSetTrackControl(ext_, in, ZAR_CALLER_WAVE_DEVICE), STATUS_SUCCESS);
    }
    ASSERT_EQ(Open(kOut0), 1u);
    RunFields(10);
    // A long first write being played, then two short ones waiting.
    std::vector<int16_t> first(2 * 6000, 1000), second(2 * 1000, 2000), third(2 * 1000, 3000);
    Board().Audio().KeepMix(true);
    ASSERT_EQ(StartWrite(kOut0, first.data(), 24000).status, STATUS_PENDING);
    ASSERT_EQ(StartWrite(kOut0, second.data(), 4000).status, STATUS_PENDING);
    ASSERT_EQ(StartWrite(kOut0, third.data(), 4000).status, STATUS_PENDING);
    // 5,000 bytes: the last 4,000 fill the third write, the first 1,000 the second's tail.
    std::vector<int16_t> substitute(2500, 7);
    std::fill(substitute.begin() + 500, substitute.end(), int16_t(9));
    ULONG substituted = 0;
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SUBSTITUTE_DATA, kOut0, substitute.data(), 5000, &substituted, 4), STATUS_SUCCESS);
    EXPECT_EQ(substituted, 5000u);
    for (int i = 0; i < 60 && !Done(writes_.back()); ++i) RunFields(1);
    ASSERT_TRUE(Done(writes_.back()));
    RunFields(2);
    Board().Audio().KeepMix(false);
    const std::vector<int16_t>& mix = Board().Audio().Mix();
    size_t start = 0;
    while (start < mix.size() && mix[start] != 1000) ++start;
    ASSERT_LT(start + 2 * 8000, mix.size());
    auto run = [&](size_t from, size_t samples, int16_t value) {
        return size_t(std::count(mix.begin() + from, mix.begin() + from + samples, value)) == samples;
    };
    EXPECT_TRUE(run(start, 12000, 1000)) << "the write being played is not touched";
    EXPECT_TRUE(run(start + 12000, 1500, 2000)) << "the second write's head";
    EXPECT_TRUE(run(start + 13500, 500, 7)) << "the second write's tail";
    EXPECT_TRUE(run(start + 14000, 2000, 9)) << "the third write";
    CloseWave(kOut0);
}

TEST_F(ZarkdWave, TheLibrarysLockKeepsTheWaveDevicesOutAndTheFrontChecksItsRequests)
{
    ULONG lock[3] = {0, 0, 0};
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_ACQUIRE_AUDIO_LOCK, lock, 12, lock, 12).status, STATUS_SUCCESS);
    ASSERT_EQ(lock[2], 1u);
    EXPECT_EQ(Open(kOut0), 0u) << "the library holds play";
    ULONG devs[5] = {9, 9, 9, 9, 9};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_GET_ACTIVE_DEVS, kOut0, nullptr, 0, devs, 20), STATUS_SUCCESS);
    for (ULONG d : devs) EXPECT_EQ(d, 0u);
    ULONG release[2] = {0, 0};
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_RELEASE_AUDIO_LOCK, release, 8, release, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(Open(kOut0), 1u);
    ULONG detach = 0;
    EXPECT_EQ(Control(IOCTL_ZAR_WAVE_DETACH, kOut0, &detach, 0, nullptr, 0), STATUS_UNSUCCESSFUL) << "a device is open";
    ULONG io[3] = {0, 1, 0};
    EXPECT_EQ(Control(IOCTL_ZAR_WAVE_OPEN_FOR_PLAY, 0x300, io, 12, io, 12), STATUS_NOT_SUPPORTED) << "no kind 3";
    EXPECT_EQ(Control(IOCTL_ZAR_WAVE_OPEN_FOR_PLAY, kOut0, io, 8, io, 12), STATUS_INVALID_BUFFER_SIZE);
    CloseWave(kOut0);
    EXPECT_NE(KeReadStateEvent(&ext_->AudioLockEvent[0]), 0) << "the last close gives the lock back";

    // Mixer block: at most 512 bytes, loaded back as saved.
    std::vector<UCHAR> mixer(100, 0x5A), big(513), back(512);
    EXPECT_EQ(Control(IOCTL_ZAR_WAVE_SAVE_MIXER_SETTINGS, kOut0, big.data(), 513, nullptr, 0), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SAVE_MIXER_SETTINGS, kOut0, mixer.data(), 100, nullptr, 0), STATUS_SUCCESS);
    ULONG_PTR bytes = 0;
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_LOAD_MIXER_SETTINGS, kOut0, nullptr, 0, back.data(), 512, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 100u);
    EXPECT_EQ(back[99], 0x5A);
    EXPECT_EQ(Control(IOCTL_ZAR_WAVE_LOAD_MIXER_SETTINGS, kOut0, nullptr, 0, back.data(), 50), STATUS_UNSUCCESSFUL);
    ULONG prefs[5] = {20, 1, 0, 44100, 3}, loaded[5] = {0, 7, 7, 7, 7};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SAVE_USER_PREFS, kOut0, prefs, 20, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_LOAD_USER_PREFS, kOut0, loaded, 20, loaded, 20), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(prefs, loaded, 20), 0);
}

}  // namespace

#include "outside/zarwav.h"

namespace {

// The wave devices as the user-mode wave driver opens them, through the
// wave service's stand-in.
TEST_F(ZarkdWave, TheWaveServicesDevicesReachTheBoardFromUserMode)
{
    ASSERT_EQ(ZarWavInstall(3), STATUS_SUCCESS);
    ASSERT_EQ(LoadDriver(u"ZARWAV"), STATUS_SUCCESS);
    HANDLE out = CreateFileA("\\\\.\\ZarWaveOut1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE mixer = CreateFileA("\\\\.\\ZarWaveMixer0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(mixer, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto control = [&](HANDLE h, ULONG code, void* in, DWORD inLength, void* outBuffer, DWORD outLength) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        DWORD bytes = 0;
        if (!DeviceIoControl(h, code, in, inLength, outBuffer, outLength, &bytes, &ov) && GetLastError() == ERROR_IO_PENDING)
            WaitForSingleObject(event, INFINITE);
        return NTSTATUS(ov.Internal);
    };
    ULONG io[3] = {0, 1, 0};
    ASSERT_EQ(control(out, IOCTL_ZAR_WAVE_OPEN_FOR_PLAY, io, 12, io, 12), STATUS_SUCCESS);
    EXPECT_EQ(io[0], 1u);
    ULONG devs[5] = {};
    ASSERT_EQ(control(mixer, IOCTL_ZAR_WAVE_GET_ACTIVE_DEVS, nullptr, 0, devs, 20), STATUS_SUCCESS);
    EXPECT_EQ(devs[1], 1u) << "wave-out 1 is open";
    EXPECT_EQ(devs[0], 0u);

    std::vector<int16_t> data(4000, 1000);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(WriteFile(out, data.data(), 8000, nullptr, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING)) << "a write stays pending until it has played";
    for (int i = 0; i < 30 && WaitForSingleObject(ov.hEvent, 0) != WAIT_OBJECT_0; ++i) RunFields(1);
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_SUCCESS);
    EXPECT_EQ(ov.InternalHigh, 8000u);
    ULONG position[2] = {};
    ASSERT_EQ(control(out, IOCTL_ZAR_WAVE_GET_POSITION, nullptr, 0, position, 8), STATUS_SUCCESS);
    EXPECT_EQ(position[0], 2000u);
    CloseHandle(out);
    EXPECT_EQ(ext_->Wave.Out[1].Open, 0u) << "the handle's close reached the board";
    EXPECT_NE(KeReadStateEvent(&ext_->AudioLockEvent[0]), 0);
    CloseHandle(ov.hEvent);
    CloseHandle(event);
    CloseHandle(mixer);
}

TEST_F(ZarkdWave, TheWaveInDeviceCapturesTheRecordInputIntoItsReadsWithoutAGap)
{
    constexpr ULONG kIn0 = 0x100;
    // The analogue input: left counts frames up by 3, right down by 5.
    Board().Audio().SetAnalogueInput(
        [](uint64_t frame, int side) { return int16_t(side == 0 ? frame * 3 % 30000 : -int(frame * 5 % 30000)); });
    ULONG io[3] = {0, 1, 0};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_OPEN_FOR_RECORD, kIn0, io, 12, io, 12), STATUS_SUCCESS);
    ASSERT_EQ(io[0], 1u) << "the wave-in device is granted";
    UCHAR format[16] = {1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0x77, 1, 0, 4, 0, 16, 0};  // 48 kHz, 16-bit stereo
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SET_FORMAT, kIn0, format, 16, nullptr, 0), STATUS_SUCCESS);

    // Three reads of 1,500 frames each, then one left partly filled by a stop.
    std::vector<std::vector<int16_t>> reads(4, std::vector<int16_t>(3000, 0x5555));
    for (auto& r : reads) EXPECT_EQ(StartRead(kIn0, r.data(), 6000).status, STATUS_PENDING);
    for (int i = 0; i < 60 && !Done(writes_[2]); ++i) RunFields(1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Done(writes_[i])) << "read " << i;
        EXPECT_EQ(writes_[i].iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(writes_[i].iosb.Information, 6000u);
    }
    std::vector<int16_t> all;
    for (int i = 0; i < 3; ++i) all.insert(all.end(), reads[i].begin(), reads[i].end());
    size_t breaks = 0;
    for (size_t n = 2; n < all.size(); n += 2) {
        if ((all[n - 2] + 3) % 30000 != all[n]) ++breaks;
        if ((-all[n - 1] + 5) % 30000 != -all[n + 1]) ++breaks;
    }
    EXPECT_EQ(breaks, 0u) << "frames lost or repeated between the halves and the reads";
    ULONG stop = 1;
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SET_STATE, kIn0, &stop, 4, nullptr, 0), STATUS_SUCCESS);
    ASSERT_TRUE(Done(writes_[3]));
    EXPECT_EQ(writes_[3].iosb.Status, STATUS_SUCCESS);
    EXPECT_LT(writes_[3].iosb.Information, 6000u);
    EXPECT_FALSE(ext_->Wave.Capturing);
    EXPECT_FALSE(ext_->AudioRecording);
    ULONG position[2] = {};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_GET_POSITION, kIn0, nullptr, 0, position, 8), STATUS_SUCCESS);
    EXPECT_EQ(position[1], 18000u + writes_[3].iosb.Information);

    // A read queued at close is cancelled, and the lock goes with the last device.
    std::vector<int16_t> late(100);
    EXPECT_EQ(StartRead(kIn0, late.data(), 200).status, STATUS_PENDING);
    CloseWave(kIn0);
    ASSERT_TRUE(Done(writes_.back()));
    EXPECT_EQ(writes_.back().iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(ext_->Wave.In.Open, 0u);
}

// The library's passive monitoring gives the record side to a wave capture
// and has it back, at its own DMA size, when the capture stops.
TEST_F(ZarkdWave, PassiveMonitoringComesBackWhenAWaveCaptureEnds)
{
    constexpr ULONG kIn0 = 0x100;
    auto monitoring = [&] {
        return ext_->AudioRecording && ext_->AudioEngine.RecordMode == ZAR_AUDIO_REC_PASSIVE &&
               (ext_->Setup.AudioControl & zar_audio_hw::kAudioControlPlayPath) != 0 &&
               ext_->AudioEngine.PlayPathUsers == 1 && ext_->Audio.RecDmaSize == 4 * ZAR_AUDIO_REC_BLOCK_COUNT;
    };
    ULONG on = 1;
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_SET_PASSIVE_EE, &on, 4, nullptr, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(monitoring());

    ULONG io[3] = {0, 1, 0};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_OPEN_FOR_RECORD, kIn0, io, 12, io, 12), STATUS_SUCCESS);
    ASSERT_EQ(io[0], 1u);
    UCHAR format[16] = {1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0x77, 1, 0, 4, 0, 16, 0};
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SET_FORMAT, kIn0, format, 16, nullptr, 0), STATUS_SUCCESS);
    std::vector<int16_t> read(2000);
    EXPECT_EQ(StartRead(kIn0, read.data(), 4000).status, STATUS_PENDING);
    EXPECT_TRUE(ext_->Wave.Capturing) << "the capture has the record side";
    EXPECT_EQ(ext_->AudioEngine.RecordMode, ULONG(ZAR_AUDIO_REC_EVENTS));
    EXPECT_LT(ext_->Audio.RecDmaSize, 4 * ZAR_AUDIO_REC_BLOCK_COUNT);
    EXPECT_EQ(ext_->AudioEngine.PlayPathUsers, 0u);
    RunFields(3);
    ASSERT_TRUE(Done(writes_[0]));

    ULONG stop = 1;
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SET_STATE, kIn0, &stop, 4, nullptr, 0), STATUS_SUCCESS);
    EXPECT_FALSE(ext_->Wave.Capturing);
    EXPECT_TRUE(monitoring()) << "monitoring back, once, at the library's DMA size";
    RunFields(2);
    EXPECT_TRUE(monitoring());
    // A second capture and the device's close leave it on as well.
    EXPECT_EQ(StartRead(kIn0, read.data(), 4000).status, STATUS_PENDING);
    EXPECT_TRUE(ext_->Wave.Capturing);
    CloseWave(kIn0);
    EXPECT_TRUE(monitoring());
    // Monitoring the library turns off stays off after a capture.
    ULONG off = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_SET_PASSIVE_EE, &off, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_FALSE(ext_->AudioRecording);
    io[0] = 0;
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_OPEN_FOR_RECORD, kIn0, io, 12, io, 12), STATUS_SUCCESS);
    EXPECT_EQ(StartRead(kIn0, read.data(), 4000).status, STATUS_PENDING);
    ASSERT_EQ(Control(IOCTL_ZAR_WAVE_SET_STATE, kIn0, &stop, 4, nullptr, 0), STATUS_SUCCESS);
    EXPECT_FALSE(ext_->AudioRecording);
    EXPECT_EQ(ext_->AudioEngine.PlayPathUsers, 0u);
    CloseWave(kIn0);
}

}  // namespace

