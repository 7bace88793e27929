// KivSync against the time-code driver on a machine: its handle registry
// (empty paths, missing devices, handles never opened or closed twice),
// argument checks that send nothing, replies of the wrong size, and
// generated time code read back frame by frame through the library.

#include <gtest/gtest.h>

#include "include/kivsync.h"
#include "tests/drivers/tandrel/tandrel_machine.h"

namespace {

class KivSyncFrame : public TandrelMachine {};

TEST_F(KivSyncFrame, OpeningChecksItsArgumentsAndReportsTheSystemsError)
{
    KIV_HANDLE h = reinterpret_cast<KIV_HANDLE>(0x1234);
    EXPECT_FALSE(KivSync_Open("", &h));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(h, reinterpret_cast<KIV_HANDLE>(0x1234));  // untouched
    EXPECT_FALSE(KivSync_Open("\\\\.\\Zar0LTCGenerator", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(KivSync_Open("\\\\.\\Zar0NoSuchStream", &h));
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), DWORD(ERROR_SUCCESS));
}

TEST_F(KivSyncFrame, HandlesNeverOpenedOrClosedAreRefused)
{
    KIV_HANDLE h = nullptr;
    ASSERT_TRUE(KivSync_Open("\\\\.\\Zar0LTCGenerator", &h));
    TANDREL_SAMPLE s{};
    EXPECT_TRUE(KivSmpte12m_GetSample(h, &s));
    EXPECT_TRUE(KivSync_Close(h));
    EXPECT_FALSE(KivSync_Close(h));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(KivSmpte12m_GetSample(h, &s));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(KivSync_Start(reinterpret_cast<KIV_HANDLE>(0x4321)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(KivSyncFrame, ArgumentChecksSendNothingAndShortRepliesAreWrongData)
{
    KIV_HANDLE generator = nullptr, reader = nullptr, counter = nullptr;
    ASSERT_TRUE(KivSync_Open("\\\\.\\Zar0LTCGenerator", &generator));
    ASSERT_TRUE(KivSync_Open("\\\\.\\Zar0LTCReader", &reader));
    ASSERT_TRUE(KivSync_Monitor("\\\\.\\Zar0JpegStream1", &counter));
    struct Case {
        const char* what;
        KIV_BOOL result;
    } refused[] = {
        {"sample to nowhere", KivSmpte12m_GetSample(generator, nullptr)},
        {"sync start on itself", KivSync_SyncStart(generator, generator)},
        {"start on no event", KivSync_StartOnEvent(generator, nullptr)},
        {"gain -25", KivLtcGenerator_SetGain(generator, -25)},
        {"gain 10", KivLtcGenerator_SetGain(generator, 10)},
        {"jam and rejam over 1", KivSmpte12mInput_EnableJamAndRejam(reader, 1)},
        {"jam off over 0", KivSmpte12mInput_DisableJam(reader, 0)},
        {"deck command 0", KivDeckEm_SetEventOnCommand(counter, 0, nullptr, 0)},
        {"deck command 4", KivDeckEm_SetEventOnCommand(counter, 4, nullptr, 0)},
        {"no samples", KivSmpte12mOutput_WriteToStream(generator, nullptr, 1, nullptr)},
    };
    for (const Case& c : refused) {
        EXPECT_FALSE(c.result) << c.what;
    }
    TANDREL_SAMPLE one{};
    EXPECT_FALSE(KivSmpte12mOutput_WriteToStream(generator, &one, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // Accepted at the limits.
    EXPECT_TRUE(KivLtcGenerator_SetGain(generator, -24));
    EXPECT_TRUE(KivLtcGenerator_SetGain(generator, 9));
    EXPECT_TRUE(KivSmpte12mInput_EnableSpotJam(reader, 0));
    // A field counter answers at most 28 bytes: the 52-byte state is wrong data.
    TANDREL_INPUT_STATE state{};
    EXPECT_FALSE(KivSmpte12mInput_GetCurrentState(counter, &state));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    // A request with no output record succeeds whatever count comes back.
    EXPECT_TRUE(KivSync_Stop(reader));
    KIV_DEVICE_INFO info{};
    ASSERT_TRUE(KivSync_GetDeviceInfo(reader, &info));
    EXPECT_EQ(info.Rate, 29u);
    EXPECT_EQ(info.NominalRate, 30u);
    EXPECT_EQ(info.FieldAccurate, 0u);  // LTC
    KivSync_Close(generator);
    KivSync_Close(reader);
    KivSync_Close(counter);
}

TEST_F(KivSyncFrame, GeneratedCodeIsReadBackThroughTheLibraryFrameByFrame)
{
    KIV_HANDLE generator = nullptr, reader = nullptr;
    ASSERT_TRUE(KivSync_Open("\\\\.\\Zar0LTCGenerator", &generator));
    ASSERT_TRUE(KivSync_Open("\\\\.\\Zar0LTCReader", &reader));
    ASSERT_TRUE(KivLtcGenerator_SetGain(generator, -6));
    TANDREL_SAMPLE from{};
    from.Flags = 29;
    ASSERT_TRUE(KivSmpte12m_GetSampleFromString(nullptr, &from, "10:00:00;00"));
    ASSERT_TRUE(KivSmpte12mOutput_PrepareToGenerate(generator, &from));
    HANDLE captures = CreateSemaphoreA(nullptr, 0, 100000, nullptr);
    ASSERT_TRUE(KivSmpte12mInput_EnableCapture(reader, Handle(captures)));
    ASSERT_TRUE(KivSync_Start(reader));
    RunFields(12);
    ASSERT_TRUE(KivSync_Start(generator));
    std::vector<std::string> frames;
    for (int round = 0; round < 10 && frames.size() < 100; ++round) {
        RunFields(30);
        TANDREL_SAMPLE s{};
        while (KivSmpte12mInput_GetCapturedSample(reader, &s)) {
            char text[12];
            ASSERT_TRUE(KivSmpte12m_PutSampleToString(nullptr, &s, text));
            if ((s.Flags & TANDREL_FLAG_INVALID) || s.Frame < from.Frame) continue;
            if (frames.empty() || frames.back() != text) frames.push_back(text);
        }
    }
    ASSERT_GE(frames.size(), 100u);
    EXPECT_EQ(frames[0], "10:00:00;00");
    EXPECT_EQ(frames[1], "10:00:00;01");
    for (size_t i = 1; i < 100; ++i) {
        TANDREL_SAMPLE a{0, 0, 29}, b{0, 0, 29};
        ASSERT_TRUE(KivSmpte12m_GetSampleFromString(nullptr, &a, frames[i - 1].c_str()));
        ASSERT_TRUE(KivSmpte12m_GetSampleFromString(nullptr, &b, frames[i].c_str()));
        ASSERT_EQ(b.Frame, a.Frame + 1) << frames[i];
    }
    CloseHandle(captures);
    KivSync_Close(generator);
    KivSync_Close(reader);
}

}  // namespace
