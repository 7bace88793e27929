// Levels into the board: the tables a level byte goes through, the audio
// codec's register words, the routing of a destination and the change
// announcements every mixer handle hears.
#include <cmath>
#include <cstring>

#include "zarwav.h"

namespace {

// The codec words as last built: bits a builder does not own are kept.
ZAR_AUDIO_CODEC codecWords;

ULONG Round(double v) { return ULONG(v + 0.5); }

constexpr ULONG kMaskOf[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x80, 0x20, 0x40};
constexpr ZARWAV_ANALOG kPathOf[5] = {kUnbalanced, kBalanced, kAuxiliary, kCd, kWave};
constexpr USHORT kMute = 0x8000;

bool On(const ZARWAV_LEVELS& l, BOOL record) { return (record ? l.Record : l.Play) != 0; }

USHORT FiveBitWord(USHORT old, const ZARWAV_SHARED_STATE* s, const ZARWAV_LEVELS& l, bool on)
{
    USHORT w = USHORT((old & 0x60E0) | (s->Atten5[l.Left] & 0x1F) << 8 | (s->Atten5[l.Right] & 0x1F));
    if (!on || (l.Left == 0 && l.Right == 0)) w |= kMute;
    return w;
}

}  // namespace

void ZarWavBuildTables(ZARWAV_SHARED_STATE* s)
{
    for (ULONG i = 0; i < 256; ++i) {
        ULONG v5 = i == 0 ? 0 : i <= 6 ? i - 1 : Round(31 * std::pow(i / 255.0, 0.43308));
        ULONG v6 = i <= 1 ? 12 : i == 2 ? 22 : Round(63 * std::pow(i / 255.0, 0.197033));
        s->Atten5[i] = UCHAR(31 - v5);
        s->Atten6[i] = UCHAR(63 - v6);
        s->Gain4[i] = UCHAR(Round(i / 17.0));
        s->Multiplier[i] = i * 512;
        // The codec attenuates in steps of 1.5 dB.
        s->Decibels[i] = i == 0 ? 0 : UCHAR(s->Atten5[i] * 3 / 2);
    }
}

void ZarWavDefaultSettings(ZARWAV_MIXER_SETTINGS* m)
{
    std::memset(m, 0, sizeof *m);
    m->Version = kZarWavLayoutVersion;
    for (ZARWAV_LEVELS& g : m->Group) g = {128, 128, 1, 0};
    m->Master = {128, 128, 1, 0};
    for (ZARWAV_LEVELS& a : m->Analog) a = {128, 128, 0, 0};
    m->Analog[kWave].Play = 1;
    m->Gain = {0, 0, 0, 1};
}

BOOL ZarWavRecordAvailable(HANDLE device)
{
    ULONG active[5] = {};
    return ZarWavRequest(device, IOCTL_ZAR_WAVE_GET_ACTIVE_DEVS, nullptr, 0, active, sizeof active) && active[4] != 0;
}

BOOL ZarWavDigitalActive(const ZARWAV_SHARED_STATE* s, BOOL record)
{
    for (ULONG d = record ? kDigitalWave : kSdi; d < kDigitalCount; ++d)
        if (On(s->Mixer.Digital[d], record)) return TRUE;
    return FALSE;
}

void ZarWavBuildCodec(const ZARWAV_SHARED_STATE* s, BOOL record, ZAR_AUDIO_CODEC* codec, ULONG words)
{
    const ZARWAV_MIXER_SETTINGS& m = s->Mixer;
    ZAR_AUDIO_CODEC& c = codecWords;
    c.Mask = 0;
    if (words & 0x01) {
        USHORT w = USHORT((c.Word[kWordMaster] & 0x4040) | (s->Atten6[m.Master.Left] & 0x3F) << 8 | (s->Atten6[m.Master.Right] & 0x3F));
        c.Word[kWordMaster] = m.Master.Play ? w : USHORT(w | kMute);
    }
    if (words & 0x02) {
        USHORT w = USHORT((c.Word[kWordGain] & 0x70F0) | (s->Gain4[m.Gain.Left] & 0x0F) << 8 | (s->Gain4[m.Gain.Right] & 0x0F));
        c.Word[kWordGain] = m.Gain.Record ? w : USHORT(w | kMute);
    }
    const bool digital = ZarWavDigitalActive(s, record);
    for (ULONG path = 0; path < 5; ++path) {
        ULONG word = kWordUnbalanced + path;
        if (!(words & kMaskOf[word])) continue;
        const ZARWAV_LEVELS& l = m.Analog[kPathOf[path]];
        bool on = On(l, record);
        if (kPathOf[path] == kWave) {
            if (record && m.Digital[kDigitalWave].Record) on = true;
            if (digital) {
                c.Word[word] = USHORT((c.Word[word] & 0x60E0) | 8 << 8 | 8);
                continue;
            }
        }
        c.Word[word] = FiveBitWord(c.Word[word], s, l, on);
    }
    for (ULONG word = 0; word < 7; ++word)
        if (words & kMaskOf[word]) c.Mask |= kMaskOf[word];
    *codec = c;
}

void ZarWavSendCodec(HANDLE device, BOOL record, ULONG words)
{
    ZAR_AUDIO_CODEC codec;
    ZarWavBuildCodec(ZarWav.Shared, record, &codec, words);
    ZarWavRequest(device, IOCTL_ZAR_AUD_SET_CODEC, &codec, sizeof codec, nullptr, 0);
}

void ZarWavSendRouting(HANDLE device, BOOL record)
{
    const ZARWAV_MIXER_SETTINGS& m = ZarWav.Shared->Mixer;
    if (!record) {
        ULONG zero = 0;
        ZarWavRequest(device, IOCTL_ZAR_AUD_SET_PASSIVE_EE, &zero, sizeof zero, nullptr, 0);
    }
    // Source numbers of the board: SDI 1, DV 2, AES 3, S/PDIF 4, the
    // digital wave (the play mix looped back) 5.
    ULONG source = 0;
    if (record && m.Digital[kDigitalWave].Record) source = 5;
    for (ULONG d = kSdi; d < kDigitalCount && source == 0; ++d)
        if (On(m.Digital[d], record)) source = d;
    ZarWavRequest(device, IOCTL_ZAR_AUD_SET_SOURCE, &source, sizeof source, nullptr, 0);
    for (ULONG track = 0; track < 8; ++track) {
        UCHAR block[84] = {};
        block[0] = (track & 1) ? 255 : 0;
        block[1] = 192;
        ULONG control[3] = {track, ULONG(reinterpret_cast<ULONG_PTR>(block)), 3};
        ZarWavRequest(device, IOCTL_ZAR_AUD_SET_TRACK_CONTROL, control, sizeof control, nullptr, 0);
    }
    ZarWavSendCodec(device, record, 0x7F);
}

void ZarWavLevelsChanged(HANDLE device)
{
    const BOOL record = ZarWavRecordAvailable(device);
    if (ZarWavDigitalActive(ZarWav.Shared, record)) ZarWavSendRouting(device, record);
    else ZarWavSendCodec(device, record, 0x7F);
}

void ZarWavAnnounce(HANDLE device, ULONG control)
{
    ULONG change[4] = {MM_MIXM_CONTROL_CHANGE, control, 0, 0};
    ZarWavRequest(device, IOCTL_ZAR_WAVE_CTRL_CHANGE, change, sizeof change, nullptr, 0);
}

void ZarWavClearForbiddenDigital(ZARWAV_SHARED_STATE* s)
{
    for (ULONG d = kSdi; d < kDigitalCount; ++d)
        if (!(s->DigitalMask & kDigitalBit[d])) s->Mixer.Digital[d].Play = s->Mixer.Digital[d].Record = 0;
}
