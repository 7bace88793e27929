// KivSync against the time-code driver on a machine: its handle registry
// (empty paths, missing devices, handles never opened or closed twice),
// argument checks that send nothing, replies of the wrong size, and
// generated time code read back frame by frame through the library.

#include <gtest/gtest.h>

#include <functional>

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

TEST_F(KivSyncFrame, EveryExportRefusesAHandleItDidNotOpen)
{
    KIV_HANDLE bad = reinterpret_cast<KIV_HANDLE>(0x5678);
    TANDREL_SAMPLE s{};
    TANDREL_REFERENCED_SAMPLE rs{};
    TANDREL_TIMESTAMPED_SAMPLE ts{};
    TANDREL_INPUT_STATE in{};
    TANDREL_OUTPUT_STATE out{};
    TANDREL_CONFIGURATION c{};
    TANDREL_OVERRIDE o{};
    TANDREL_HINT hint{};
    TANDREL_COMMAND_SAMPLE cs{};
    KIV_DEVICE_INFO info{};
    uint32_t word = 0;
    uint8_t burnIn[128] = {};
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const std::vector<std::pair<const char*, std::function<KIV_BOOL()>>> calls = {
        {"GetDeviceInfo", [&] { return KivSync_GetDeviceInfo(bad, &info); }},
        {"Start", [&] { return KivSync_Start(bad); }},
        {"StartOnEvent", [&] { return KivSync_StartOnEvent(bad, event); }},
        {"Stop", [&] { return KivSync_Stop(bad); }},
        {"StopOnEvent", [&] { return KivSync_StopOnEvent(bad, event); }},
        {"SyncStart", [&] { return KivSync_SyncStart(bad, nullptr); }},
        {"SyncStartOnFrame", [&] { return KivSync_SyncStartOnFrame(bad, nullptr, 1); }},
        {"SyncStop", [&] { return KivSync_SyncStop(bad, nullptr); }},
        {"SyncStopOnFrame", [&] { return KivSync_SyncStopOnFrame(bad, nullptr, 1); }},
        {"CancelPendingStart", [&] { return KivSync_CancelPendingStart(bad); }},
        {"CancelPendingStop", [&] { return KivSync_CancelPendingStop(bad); }},
        {"SetEventOnStart", [&] { return KivSync_SetEventOnStart(bad, event, 0); }},
        {"SetEventOnStop", [&] { return KivSync_SetEventOnStop(bad, event, 0); }},
        {"SetEventOnFrame", [&] { return KivSync_SetEventOnFrame(bad, event, 0, 0); }},
        {"CancelStartEvent", [&] { return KivSync_CancelStartEvent(bad, event); }},
        {"CancelStopEvent", [&] { return KivSync_CancelStopEvent(bad, event); }},
        {"CancelFrameEvent", [&] { return KivSync_CancelFrameEvent(bad, event); }},
        {"EnablePeriodicEvent", [&] { return KivSync_EnablePeriodicEvent(bad, event, 2, 0); }},
        {"DisablePeriodicEvent", [&] { return KivSync_DisablePeriodicEvent(bad, event); }},
        {"EnablePollTrigger", [&] { return KivSync_EnablePollTrigger(bad, 1, 1); }},
        {"DisablePollTrigger", [&] { return KivSync_DisablePollTrigger(bad, 1); }},
        {"EnableNotifications", [&] { return KivSync_EnableNotifications(bad, event); }},
        {"DisableNotifications", [&] { return KivSync_DisableNotifications(bad); }},
        {"GetConfiguration", [&] { return KivSmpte12m_GetConfiguration(bad, &c); }},
        {"SetConfiguration", [&] { return KivSmpte12m_SetConfiguration(bad, &c); }},
        {"GetBase", [&] { return KivSmpte12m_GetBase(bad, &s); }},
        {"SetBase", [&] { return KivSmpte12m_SetBase(bad, &s); }},
        {"GetSample", [&] { return KivSmpte12m_GetSample(bad, &s); }},
        {"GetReferencedSample", [&] { return KivSmpte12m_GetReferencedSample(bad, &rs); }},
        {"GetTimestampedSample", [&] { return KivSmpte12m_GetTimestampedSample(bad, &ts); }},
        {"SetOverride", [&] { return KivSmpte12m_SetOverride(bad, &o); }},
        {"GetSampleFromString", [&] { return KivSmpte12m_GetSampleFromString(bad, &s, "00:00:00:00"); }},
        {"Input_GetCurrentMode", [&] { return KivSmpte12mInput_GetCurrentMode(bad, &word); }},
        {"Input_GetCurrentState", [&] { return KivSmpte12mInput_GetCurrentState(bad, &in); }},
        {"Input_GetQueuedNotice", [&] { return KivSmpte12mInput_GetQueuedNotice(bad, &in); }},
        {"Input_EnableJamAndRejam", [&] { return KivSmpte12mInput_EnableJamAndRejam(bad, 2); }},
        {"Input_EnableSpotJam", [&] { return KivSmpte12mInput_EnableSpotJam(bad, 0); }},
        {"Input_DisableJam", [&] { return KivSmpte12mInput_DisableJam(bad, 2); }},
        {"Input_EnableCapture", [&] { return KivSmpte12mInput_EnableCapture(bad, 1); }},
        {"Input_DisableCapture", [&] { return KivSmpte12mInput_DisableCapture(bad); }},
        {"Input_GetCapturedSample", [&] { return KivSmpte12mInput_GetCapturedSample(bad, &s); }},
        {"Input_GetCapturedReferencedSample", [&] { return KivSmpte12mInput_GetCapturedReferencedSample(bad, &rs); }},
        {"Input_GetCapturedTimestampedSample", [&] { return KivSmpte12mInput_GetCapturedTimestampedSample(bad, &ts); }},
        {"Input_GetCapturedState", [&] { return KivSmpte12mInput_GetCapturedState(bad, &in); }},
        {"Output_SetFreezeMode", [&] { return KivSmpte12mOutput_SetFreezeMode(bad, 1); }},
        {"Output_GetFreezeMode", [&] { return KivSmpte12mOutput_GetFreezeMode(bad, &word); }},
        {"Output_GetCurrentState", [&] { return KivSmpte12mOutput_GetCurrentState(bad, &out); }},
        {"Output_GetQueuedNotice", [&] { return KivSmpte12mOutput_GetQueuedNotice(bad, &out); }},
        {"Output_PrepareToGenerate", [&] { return KivSmpte12mOutput_PrepareToGenerate(bad, &s); }},
        {"Output_PrepareToTrack", [&] { return KivSmpte12mOutput_PrepareToTrack(bad, 1, 0); }},
        {"Output_PrepareToStream", [&] { return KivSmpte12mOutput_PrepareToStream(bad, &s); }},
        {"Output_WriteToStream", [&] { return KivSmpte12mOutput_WriteToStream(bad, &s, 1, nullptr); }},
        {"Proxy_SetHintedSample", [&] { return KivSmpte12mProxy_SetHintedSample(bad, &hint); }},
        {"Proxy_AcquirePumpAccess", [&] { return KivSmpte12mProxy_AcquirePumpAccess(bad); }},
        {"Burnin_Show", [&] { return KivBurninGenerator_Show(bad); }},
        {"Burnin_Hide", [&] { return KivBurninGenerator_Hide(bad); }},
        {"Burnin_GetConfiguration", [&] { return KivBurninGenerator_GetConfiguration(bad, burnIn); }},
        {"Burnin_SetConfiguration", [&] { return KivBurninGenerator_SetConfiguration(bad, burnIn); }},
        {"Ltc_SetGain", [&] { return KivLtcGenerator_SetGain(bad, 0); }},
        {"Ltc_Disable", [&] { return KivLtcGenerator_Disable(bad); }},
        {"VitcReader_SetMonitoredLines", [&] { return KivVitcReader_SetMonitoredLines(bad, 14, 16); }},
        {"VitcGenerator_SetInsertionLines", [&] { return KivVitcGenerator_SetInsertionLines(bad, 14, 16); }},
        {"VitcReader_Autoscan", [&] { return KivVitcReader_Autoscan(bad); }},
        {"DeckEm_Map", [&] { return KivDeckEm_MapBetaSlaveDevice(bad, 1); }},
        {"DeckEm_Unmap", [&] { return KivDeckEm_UnmapBetaSlaveDevice(bad, 1); }},
        {"DeckEm_SetEventOnCommand", [&] { return KivDeckEm_SetEventOnCommand(bad, 1, event, 0); }},
        {"DeckEm_CancelCommandEvent", [&] { return KivDeckEm_CancelCommandEvent(bad, 1, event); }},
        {"DeckEm_GetCommandReferencedSample", [&] { return KivDeckEm_GetCommandReferencedSample(bad, 1, &cs); }},
        {"Close", [&] { return KivSync_Close(bad); }},
    };
    // Every export but Open, Monitor and PutSampleToString takes a handle.
    EXPECT_EQ(calls.size(), 69u);
    for (const auto& [name, call] : calls) {
        SetLastError(0);
        EXPECT_FALSE(call()) << name;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << name;
    }
    EXPECT_EQ(info.Rate, 0u);  // the caller's records are left as they were
    EXPECT_EQ(s.Flags, 0u);
    CloseHandle(event);
}

}  // namespace
