// The audio data server: plays audio the library streams through up to
// eight rotating slots in its memory, at any speed forwards or backwards,
// with loops over a play-list range. Each time a half of the play DMA's
// bank buffer has played, the DPC fills it again from the slots through a
// polyphase interpolation filter, writes the request codes that tell the
// library which slots to load, and reports missing data and the end through
// a small exception queue with the library's semaphore.
//
// Positions count source sample frames; the speed is in the caller's units,
// the normal speed meaning one source frame per output frame.

#include <cmath>
#include <cstring>

#include "zar_audio.h"
#include "zar_bridge.h"
#include "zar_extension.h"

namespace {

constexpr ULONG kControlSlotPositions = 288;
constexpr ULONG kControlRequestCodes = 352;
constexpr ULONG kControlValid = 896;
constexpr ULONG kSamplesVariSpeed = 1024, kSamplesSmall = 2048, kSamplesNormal = 8192;
constexpr ULONG kRecoveryVariSpeed = 8, kRecoveryNormal = 2;
constexpr ULONG kPreRollTag = ZarCharTag(' ', 'k', 'd', 'D');
constexpr ULONG kBankTracks = 4;               // DMA tracks per bank

ZAR_DSRV_STATE_BLOCK& Server(PZAR_DEVICE_EXTENSION ext) { return ext->AudioDSrv; }
PVOID UserAddress(ULONG address) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)); }

// ---- the filter table ----

struct ZAR_DSRV_FILTERS_TABLE {
    LONG Coefficient[ZAR_DSRV_FILTERS][ZAR_DSRV_PHASES][ZAR_DSRV_TAPS];
    ZAR_DSRV_FILTERS_TABLE()
    {
        std::memset(Coefficient, 0, sizeof(Coefficient));
        for (ULONG f = 0; f < ZAR_DSRV_FILTERS; ++f) {
            const LONG taps = LONG(ZarAudDSrvTaps(f + 1));
            for (ULONG p = 1; p <= ZAR_DSRV_PHASES; ++p) {
                const double frac = double(p) / 64.0;
                double h[ZAR_DSRV_TAPS];
                double sum = 0;
                for (LONG k = 0; k < taps; ++k) {
                    // Distance of tap k's sample from the point interpolated,
                    // a sinc under a Hann window spanning the taps.
                    double d = double(k - taps / 2 + 1) - frac;
                    double sinc = std::fabs(d) < 1e-12 ? 1.0 : std::sin(M_PI * d) / (M_PI * d);
                    double window = 0.5 + 0.5 * std::cos(M_PI * d / (double(taps) / 2.0 + 1.0));
                    h[k] = sinc * window;
                    sum += h[k];
                }
                LONG total = 0, largest = 0;
                for (LONG k = 0; k < taps; ++k) {
                    Coefficient[f][p - 1][k] = LONG(std::lround(h[k] / sum * 32768.0));
                    total += Coefficient[f][p - 1][k];
                    if (std::labs(Coefficient[f][p - 1][k]) > std::labs(Coefficient[f][p - 1][largest])) largest = k;
                }
                // Rounding goes to the largest tap, so each phase passes DC exactly.
                Coefficient[f][p - 1][largest] += 32768 - total;
            }
        }
        // The short filter's half-way and first phases as the board's table holds them.
        const LONG half[4] = {-10124, 26508, 26508, -10124};
        const LONG first[4] = {-848, 32930, 861, -175};
        for (ULONG k = 0; k < 4; ++k) {
            Coefficient[0][31][k] = half[k];
            Coefficient[0][0][k] = first[k];
        }
        // A phase's sum over full-scale samples stays within 32 bits when
        // its coefficients' magnitudes add up to less than 65,536.
        LONGLONG largest = 0;
        for (const auto& filter : Coefficient)
            for (const auto& phase : filter) {
                LONGLONG magnitude = 0;
                for (LONG c : phase) magnitude += c < 0 ? -LONGLONG(c) : c;
                if (magnitude > largest) largest = magnitude;
            }
        SumFits32 = largest * 32768 <= 0x7FFFFFFFLL;
    }
    bool SumFits32 = false;
};

const ZAR_DSRV_FILTERS_TABLE& Filters()
{
    static const ZAR_DSRV_FILTERS_TABLE table;
    return table;
}

ULONG Gcd(ULONG a, ULONG b)
{
    while (b != 0) {
        ULONG t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// ---- exceptions ----

void ZarAudDSrvPost(PZAR_DEVICE_EXTENSION ext, ULONG code, ULONG argument, LONGLONG position)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    KIRQL old;
    KeAcquireSpinLock(&s.ExceptionLock, &old);
    bool posted = false;
    if (s.ExceptionCount == ZAR_DSRV_EXCEPTIONS) {
        ++s.ExceptionLost;
    } else {
        ZAR_DSRV_EXCEPTION& e = s.Exception[(s.ExceptionHead + s.ExceptionCount) % ZAR_DSRV_EXCEPTIONS];
        e = {code, argument, ULONG(ULONGLONG(position)), ULONG(ULONGLONG(position) >> 32)};
        ++s.ExceptionCount;
        posted = true;
    }
    KeReleaseSpinLock(&s.ExceptionLock, old);
    if (posted && s.Semaphore != nullptr) KeReleaseSemaphore(s.Semaphore, IO_NO_INCREMENT, 1, FALSE);
}

// ---- slots ----

LONGLONG SlotPosition(const ZAR_DSRV_STATE_BLOCK& s, ULONG slot)
{
    LONGLONG p;
    std::memcpy(&p, s.Control + kControlSlotPositions + 8 * slot, sizeof(p));
    return p;
}
bool SlotValid(const ZAR_DSRV_STATE_BLOCK& s, ULONG slot, ULONG source)
{
    ULONG v;
    std::memcpy(&v, s.Control + kControlValid + 32 * slot + 4 * source, sizeof(v));
    return v != 0;
}
bool SlotHolds(const ZAR_DSRV_STATE_BLOCK& s, ULONG slot, LONGLONG n)
{
    LONGLONG p = SlotPosition(s, slot);
    return n >= p && n < p + LONGLONG(s.SlotFrames);
}

// The slot that holds frame n, looked for from the current one outwards;
// the number of slots when none does.
ULONG ZarAudDSrvFindSlot(const ZAR_DSRV_STATE_BLOCK& s, LONGLONG n)
{
    const ULONG slots = s.Prep.Slots;
    for (ULONG d = 0; d < slots; ++d) {
        ULONG ahead = (s.CurrentSlot + d) % slots, behind = (s.CurrentSlot + slots - d) % slots;
        if (SlotHolds(s, ahead, n)) return ahead;
        if (SlotHolds(s, behind, n)) return behind;
    }
    return slots;
}

LONGLONG Wrap(const ZAR_DSRV_STATE_BLOCK& s, LONGLONG n)
{
    if (!s.Prep.Loop) return n;
    LONGLONG length = s.Prep.LoopEnd - s.Prep.LoopStart;
    if (length <= 0) return n;
    while (n >= s.Prep.LoopEnd) n -= length;
    while (n < s.Prep.LoopStart) n += length;
    return n;
}

// A source sample of track j of bank 'bank' (0: A, 1: B) of the slot data at
// frame n. A tap that falls outside every slot is taken from the nearest end
// of the slot now playing, so no tap ever reads outside locked memory.
SHORT Fetch(const ZAR_DSRV_STATE_BLOCK& s, LONGLONG n, ULONG bank, ULONG j)
{
    n = Wrap(s, n);
    ULONG slot = SlotHolds(s, s.CurrentSlot, n) ? s.CurrentSlot : ZarAudDSrvFindSlot(s, n);
    if (slot >= s.Prep.Slots) {
        slot = s.CurrentSlot;
        LONGLONG p = SlotPosition(s, slot);
        n = n < p ? p : p + LONGLONG(s.SlotFrames) - 1;
    }
    const ULONG offset = bank == 0 ? s.Prep.BankAOffset : s.Prep.BankBOffset;
    const ULONG tracks = bank == 0 ? s.Prep.BankATracks : s.Prep.BankBTracks;
    const auto* data = reinterpret_cast<const SHORT*>(s.Slot[slot]) + offset;
    return data[ULONG(n - SlotPosition(s, slot)) * tracks + j];
}

// The source frames [first, first + count) of bank 'bank' as one run in the
// slot now playing: the run's first frame, or null when the slot does not
// hold all of them or a loop's wrap falls between (the frame is then taken
// tap by tap through Fetch, which gives the same samples).
const SHORT* RunInCurrentSlot(const ZAR_DSRV_STATE_BLOCK& s, LONGLONG first, ULONG count, ULONG bank)
{
    const LONGLONG a = Wrap(s, first);
    if (count > 1 && Wrap(s, first + count - 1) != a + count - 1) return nullptr;
    const ULONG slot = s.CurrentSlot;
    if (slot >= s.Prep.Slots || !SlotHolds(s, slot, a) || !SlotHolds(s, slot, a + count - 1)) return nullptr;
    const ULONG offset = bank == 0 ? s.Prep.BankAOffset : s.Prep.BankBOffset;
    const ULONG tracks = bank == 0 ? s.Prep.BankATracks : s.Prep.BankBTracks;
    return reinterpret_cast<const SHORT*>(s.Slot[slot]) + offset + ULONG(a - SlotPosition(s, slot)) * tracks;
}

// A Q15 sum as a sample: shifted back and clamped to 16 bits.
template <typename Sum>
LONG ClampQ15(Sum sum)
{
    sum >>= 15;
    return LONG(sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum);
}

void ZarAudDSrvWriteRequests(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    bool backwards = s.Speed < 0;
    for (ULONG slot = 0; slot < s.Prep.Slots; ++slot) {
        ULONG code = ZarAudDSrvRequestCode(slot, s.CurrentSlot, s.Prep.Slots, s.Prep.VariSpeed != 0, backwards);
        std::memcpy(s.Control + kControlRequestCodes + 4 * slot, &code, sizeof(code));
    }
    for (ULONG k = 0; k < s.Prep.Sources; ++k)
        if (s.SourceEvent[k] != nullptr) KeSetEvent(s.SourceEvent[k], IO_NO_INCREMENT, FALSE);
}

// Each source: the slot to be played must hold the position and be marked valid.
void ZarAudDSrvCheckSources(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    if (s.Ended) return;  // silence to the stop: no data is wanted any more
    LONGLONG n = Wrap(s, s.Position);
    bool held = SlotHolds(s, s.CurrentSlot, n);
    for (ULONG k = 0; k < s.Prep.Sources; ++k) {
        bool valid = held && SlotValid(s, s.CurrentSlot, k);
        if (!valid) {
            if (!s.Missing[k]) ZarAudDSrvPost(ext, ZAR_DSRV_DATA_MISSING, k, n);
            s.Missing[k] = TRUE;
            s.Recovery[k] = s.Prep.VariSpeed ? kRecoveryVariSpeed : kRecoveryNormal;
            continue;
        }
        s.Missing[k] = FALSE;
        if (s.Recovery[k] != 0 && --s.Recovery[k] == 0) ZarAudDSrvPost(ext, ZAR_DSRV_DATA_BACK, k, n);
    }
}

// A track is silent while a source that feeds it is missing; each bank has
// its own routing words, a bit per track of the bank (0: the source feeds all).
bool TrackSilenced(const ZAR_DSRV_STATE_BLOCK& s, ULONG track)
{
    const ULONG bank = track / kBankTracks, bit = 1u << (track % kBankTracks);
    for (ULONG k = 0; k < s.Prep.Sources; ++k) {
        ULONG routing = s.Prep.Routing[bank][k];
        if ((routing == 0 || (routing & bit)) && s.Missing[k]) return true;
    }
    return false;
}

// Tracks of the slot data in a bank: 2 or 4, none for bank B when it
// carries no bytes or another count.
ULONG SlotTracks(const ZAR_DSRV_PREPARE& p, ULONG bank)
{
    if (bank == 0) return p.BankATracks;
    return (p.BankBTracks == 2 || p.BankBTracks == 4) && p.BankBBytes != 0 ? p.BankBTracks : 0;
}

void ZarAudDSrvSetRatio(ZAR_DSRV_STATE_BLOCK& s)
{
    // The position between two samples stays where it is: only the step changes.
    s.Ratio = ZarAudDSrvCarryRatio(s.Ratio, s.Remainder, ZarAudDSrvReduceRatio(s.Prep.NormalSpeed, s.Speed),
                                   &s.Remainder);
    s.Filter = LONG(s.Prep.NormalSpeed) == s.Speed ? 0 : ZarAudDSrvCalcFilterNum(s.Prep.BaseFilter, s.Speed, s.Prep.NormalSpeed);
}

struct ZAR_DSRV_STOP_AT {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Half, Offset;
    bool Pending;
};

// Where the interrupt routine is to stop the server: the half counter at
// which 'half' plays (the next half once the DMA runs; before it starts,
// half 0 plays first) and the byte offset in the buffer. Or no stop.
BOOLEAN ZarAudDSrvSetStopAt(PVOID context)
{
    auto* stop = static_cast<ZAR_DSRV_STOP_AT*>(context);
    PZAR_DEVICE_EXTENSION ext = stop->Ext;
    ext->AudioDSrvStopPending = stop->Pending;
    if (!stop->Pending) return TRUE;
    ext->AudioDSrvStopHalfCounter =
        ext->AudioPlayHalfCounter + (ext->AudioEngine.PlayDmaRunning ? 1 : stop->Half);
    ext->AudioDSrvStopOffset = stop->Offset;
    return TRUE;
}

// One fill of a half: the ramp's next speed, the sources, then the frames.
void ZarAudDSrvFillHalf(PZAR_DEVICE_EXTENSION ext, ULONG half)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    ZAR_AUDIO_ENGINE_STATE& a = ext->AudioEngine;
    if (s.RampStep < ZAR_DSRV_RAMP_FILLS) {
        ++s.RampStep;
        s.Speed = s.RampFrom + LONG(LONGLONG(s.RampTo - s.RampFrom) * s.RampStep / ZAR_DSRV_RAMP_FILLS);
        ZarAudDSrvSetRatio(s);
    }
    ZarAudDSrvCheckSources(ext);
    s.HalfPosition[half] = s.Position;
    SHORT* out[2] = {nullptr, nullptr};
    ULONG stride[2] = {0, 0};
    for (ULONG bank = 0; bank < 2; ++bank) {
        ZAR_AUDIO_PLAY_DCB& dcb = a.Play[bank];
        if (dcb.Slots == 0 || dcb.Va == nullptr) continue;
        out[bank] = static_cast<SHORT*>(dcb.Va) + dcb.HalfOffset[half] / sizeof(SHORT);
        stride[bank] = dcb.Slots;
    }
    const bool endedBefore = s.Ended != 0;
    ZarAudDSrvFill(ext, out, s.SamplesPerHalf, stride, a.Slot);
    if (s.Ended && !endedBefore) {
        const ZAR_AUDIO_PLAY_DCB& dcb = a.Play[0];
        ZAR_DSRV_STOP_AT stop{ext, half, dcb.HalfOffset[half] + s.EndFrame * dcb.Slots * ULONG(sizeof(SHORT)), true};
        ZarRunSynchronized(ext, ZarAudDSrvSetStopAt, &stop);
    }
}

void ZarAudDSrvFreeAll(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    for (ULONG i = 0; i < ZAR_DSRV_SLOTS; ++i) {
        ZarAudUnlockUserBuffer(&s.SlotMdl[i]);
        s.Slot[i] = nullptr;
    }
    ZarAudUnlockUserBuffer(&s.ControlMdl);
    s.Control = nullptr;
    for (PKEVENT& e : s.SourceEvent) {
        if (e != nullptr) ObDereferenceObject(e);
        e = nullptr;
    }
    if (s.Semaphore != nullptr) ObDereferenceObject(s.Semaphore);
    s.Semaphore = nullptr;
    if (s.PreRollPool != nullptr) ExFreePoolWithTag(s.PreRollPool, kPreRollTag);
    s.PreRollPool = nullptr;
    s.State = ZAR_DSRV_IDLE;
    s.BuffersFilled = FALSE;
    ext->AudioPlayPrepared = FALSE;
}

}  // namespace

// ---- pure rules ----

const LONG (*ZarAudDSrvFilterTable())[ZAR_DSRV_PHASES][ZAR_DSRV_TAPS] { return Filters().Coefficient; }

ULONG ZarAudDSrvTaps(ULONG filter) { return filter == 1 ? 4 : filter == 2 ? 8 : filter == 3 ? 16 : 1; }

ULONG ZarAudDSrvCalcFilterNum(ULONG base, LONG speed, ULONG normal)
{
    ULONGLONG n = ULONGLONG(speed < 0 ? -LONGLONG(speed) : speed), N = normal;
    LONG f = LONG(base);
    if (n > N) f += 2;
    else if (2 * n > N) f += 1;
    else if (3 * n > N) f += 0;
    else if (5 * n > N) f -= 1;
    else f -= 2;
    return ULONG(f < 0 ? 0 : f > 3 ? 3 : f);
}

ZAR_DSRV_RATIO ZarAudDSrvReduceRatio(ULONG normal, LONG speed)
{
    ULONG magnitude = ULONG(speed < 0 ? -LONGLONG(speed) : speed);
    if (magnitude == 0 || normal == 0) return {0, 1};
    ULONG g = Gcd(normal, magnitude);
    ULONG n = normal / g, s = magnitude / g;
    if (s > ZAR_DSRV_MAX_SPEED_TERM) {
        // Re-approximated with a speed term of 2,000: the nearest normal term.
        ULONGLONG approx = (ULONGLONG(n) * ZAR_DSRV_MAX_SPEED_TERM + s / 2) / s;
        n = ULONG(approx == 0 ? 1 : approx);
        s = ZAR_DSRV_MAX_SPEED_TERM;
        g = Gcd(n, s);
        n /= g;
        s /= g;
    }
    return {speed < 0 ? -LONG(s) : LONG(s), n};
}

ZAR_DSRV_RATIO ZarAudDSrvCarryRatio(ZAR_DSRV_RATIO old, ULONG remainder, ZAR_DSRV_RATIO next, PULONG nextRemainder)
{
    // Terms up to 2^30 keep the remainder and a step summed in 32 bits.
    constexpr ULONGLONG kLimit = 1ULL << 30;
    *nextRemainder = 0;
    if (remainder == 0 || old.Normal == 0 || remainder >= old.Normal) return next;
    // The fraction in lowest terms, and the least factor of the new normal
    // term that holds it exactly.
    const ULONG g = Gcd(remainder, old.Normal);
    const ULONGLONG num = remainder / g, den = old.Normal / g;
    const ULONGLONG speed = ULONGLONG(next.Speed < 0 ? -LONGLONG(next.Speed) : next.Speed);
    const ULONGLONG larger = speed > next.Normal ? speed : next.Normal;
    ULONGLONG scale = den / Gcd(ULONG(den), next.Normal);
    if (larger * scale > kLimit) scale = kLimit / larger;
    if (scale == 0) scale = 1;
    const ULONGLONG normal = next.Normal * scale;
    ULONGLONG carried = (num * normal + den / 2) / den;
    if (carried >= normal) carried = normal - 1;
    // Back to lowest terms where all three allow it.
    const ULONG common = Gcd(Gcd(ULONG(normal), ULONG(speed * scale)), ULONG(carried));
    const ULONG divide = common == 0 ? 1 : common;
    *nextRemainder = ULONG(carried / divide);
    const LONG scaledSpeed = LONG(speed * scale / divide);
    return {next.Speed < 0 ? -scaledSpeed : scaledSpeed, ULONG(normal / divide)};
}

LONG ZarAudDSrvSnapSpeed(LONG speed, ULONG normal)
{
    LONGLONG m = speed < 0 ? -LONGLONG(speed) : speed;
    if (m * 100 >= LONGLONG(normal)) return speed;
    if (m * 200 < LONGLONG(normal)) return 0;
    LONG one = LONG(normal / 100);
    return speed < 0 ? -one : one;
}

ULONG ZarAudDSrvPhase(ULONG fraction16) { return ((fraction16 & 0xFFFF) + 512) >> 10; }

ULONG ZarAudDSrvRequestCode(ULONG slot, ULONG current, ULONG slots, bool variSpeed, bool backwards)
{
    if (slots == 0) return 0;
    ULONG d = backwards ? (current + slots - slot) % slots : (slot + slots - current) % slots;
    if (d == 0) return variSpeed ? 3 : 0;
    if (d == 1) return 6;
    if (d == 2) return 5;
    if (variSpeed && d == 3) return 4;
    if (variSpeed && d == slots - 1) return 2;
    if (variSpeed && d == slots - 2) return 1;
    return 0;
}

void ZarAudDSrvFill(PZAR_DEVICE_EXTENSION ext, SHORT* const out[2], ULONG frames, const ULONG stride[2],
                    const LONG slot[ZAR_AUDIO_TRACKS])
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    // The DMA tracks this fill writes (a slot in a bank given a buffer), and
    // which of them play silence: beyond the slot data's tracks, or fed by
    // a missing source. A bank is read only when one of its tracks sounds.
    LONG at[ZAR_AUDIO_TRACKS];
    bool silentTrack[ZAR_AUDIO_TRACKS];
    bool bankSounds[2] = {false, false};
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) {
        const ULONG bank = t / kBankTracks;
        at[t] = out[bank] != nullptr ? slot[t] : -1;
        silentTrack[t] = t % kBankTracks >= SlotTracks(s.Prep, bank) || TrackSilenced(s, t);
        if (at[t] >= 0 && !silentTrack[t]) bankSounds[bank] = true;
    }
    const ULONG bankTracks[2] = {s.Prep.BankATracks, s.Prep.BankBTracks};
    const bool sum32 = Filters().SumFits32;
    const ULONG N = s.Ratio.Normal;
    const ULONG step = ULONG(s.Ratio.Speed < 0 ? -s.Ratio.Speed : s.Ratio.Speed);
    for (ULONG i = 0; i < frames; ++i) {
        SHORT* frame[2] = {out[0] ? out[0] + i * stride[0] : nullptr, out[1] ? out[1] + i * stride[1] : nullptr};
        if (s.Ended || s.Speed == 0) {
            for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t)
                if (at[t] >= 0) frame[t / kBankTracks][at[t]] = 0;
            continue;
        }
        // The phase of the remainder; a phase that rounds up to a whole
        // sample is that next sample.
        ULONG phase = ZarAudDSrvPhase(ULONG((ULONGLONG(s.Remainder) << 16) / N));
        LONGLONG n = s.Position;
        if (phase == 64) {
            ++n;
            phase = 0;
        }
        // The frame's taps and its run of source frames, resolved once for
        // every track: filter 0 and phase 0 copy the sample at n.
        const bool copy = s.Filter == 0 || phase == 0;
        const ULONG taps = copy ? 1 : ZarAudDSrvTaps(s.Filter);
        const LONG* c = copy ? nullptr : ZarAudDSrvFilterTable()[s.Filter - 1][phase - 1];
        const LONGLONG first = copy ? n : n - LONG(taps / 2) + 1;
        for (ULONG bank = 0; bank < 2; ++bank) {
            const ULONG t0 = bank * kBankTracks;
            const ULONG tracks = bankTracks[bank];
            const SHORT* run = bankSounds[bank] ? RunInCurrentSlot(s, first, taps, bank) : nullptr;
            LONG value[kBankTracks] = {};
            if (!bankSounds[bank]) {
                // Every track of the bank is silent or unplayed.
            } else if (run == nullptr) {
                // The run leaves the slot or wraps: each tap finds its own.
                for (ULONG j = 0; j < tracks && j < kBankTracks; ++j)
                    if (at[t0 + j] >= 0 && !silentTrack[t0 + j])
                        value[j] = ZarAudDSrvInterpolate(s.Filter, phase, n,
                                                         [&](LONGLONG m) { return Fetch(s, m, bank, j); });
            } else if (copy) {
                for (ULONG j = 0; j < tracks && j < kBankTracks; ++j) value[j] = run[j];
            } else if (sum32) {
                LONG sum[kBankTracks] = {};
                for (ULONG k = 0; k < taps; ++k, run += tracks)
                    for (ULONG j = 0; j < tracks && j < kBankTracks; ++j) sum[j] += c[k] * LONG(run[j]);
                for (ULONG j = 0; j < kBankTracks; ++j) value[j] = ClampQ15(sum[j]);
            } else {
                LONGLONG sum[kBankTracks] = {};
                for (ULONG k = 0; k < taps; ++k, run += tracks)
                    for (ULONG j = 0; j < tracks && j < kBankTracks; ++j) sum[j] += LONGLONG(c[k]) * run[j];
                for (ULONG j = 0; j < kBankTracks; ++j) value[j] = ClampQ15(sum[j]);
            }
            for (ULONG j = 0; j < kBankTracks; ++j)
                if (at[t0 + j] >= 0) frame[bank][at[t0 + j]] = silentTrack[t0 + j] ? 0 : SHORT(value[j]);
        }
        // Advance by speed/normal of a frame, exactly: no remainder is lost.
        if (s.Ratio.Speed >= 0) {
            s.Remainder += step;
            s.Position += s.Remainder / N;
            s.Remainder %= N;
        } else {
            LONG r = LONG(s.Remainder) - LONG(step);
            while (r < 0) {
                r += LONG(N);
                --s.Position;
            }
            s.Remainder = ULONG(r);
        }
        if (s.Prep.Loop) {
            s.Position = Wrap(s, s.Position);
        } else if (s.Position >= s.Prep.LoopEnd || s.Position < s.Prep.LoopStart) {
            // Held at the end; the stop comes when the DMA has played up to here.
            s.Ended = TRUE;
            s.EndFrame = i + 1;
            s.Position = s.Position >= s.Prep.LoopEnd ? s.Prep.LoopEnd : s.Prep.LoopStart;
            s.StopPosition = s.Position;
        }
        ULONG now = SlotHolds(s, s.CurrentSlot, s.Position) ? s.CurrentSlot : ZarAudDSrvFindSlot(s, s.Position);
        if (now < s.Prep.Slots && now != s.CurrentSlot) {
            s.CurrentSlot = now;
            ZarAudDSrvWriteRequests(ext);
        }
    }
}

// ---- the DPC ----

void ZarAudDSrvDpcFunc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    KeAcquireSpinLockAtDpcLevel(&s.Lock);
    if (s.State == ZAR_DSRV_WAITING && ext->AudioEngine.PlayDmaRunning) s.State = ZAR_DSRV_RUNNING;
    // The DMA has played up to the end: the play stops there instead of
    // filling silence for ever.
    bool stop = ext->AudioDSrvStopReached && s.State == ZAR_DSRV_RUNNING && s.Ended;
    ext->AudioDSrvStopReached = FALSE;
    if (stop) {
        ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
        ZarAudDSrvPost(ext, ZAR_DSRV_STOPPED, 0, s.StopPosition);
    } else if (s.State == ZAR_DSRV_RUNNING && ext->AudioEngine.PlayDmaRunning && !s.StopRequested) {
        ZarAudDSrvFillHalf(ext, ext->AudioPlayHalf ^ 1);
    }
    KeReleaseSpinLockFromDpcLevel(&s.Lock);
}

void ZarAudDSrvUnderflow(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    if (s.State != ZAR_DSRV_RUNNING) return;
    struct Call {
        PZAR_DEVICE_EXTENSION Ext;
        ZAR_DSRV_STATUS Status;
    } call{ext, {}};
    KeAcquireSpinLockAtDpcLevel(&s.Lock);
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<Call*>(context);
        ZarAudDSrvSnapshot(c->Ext, &c->Status);
        return TRUE;
    }, &call);
    LONGLONG position = LONGLONG((ULONGLONG(call.Status.PositionHigh) << 32) | call.Status.PositionLow);
    if (s.State == ZAR_DSRV_RUNNING) ZarAudDSrvPost(ext, ZAR_DSRV_UNDERFLOW, 0, position);
    KeReleaseSpinLockFromDpcLevel(&s.Lock);
}

void ZarAudDSrvFreePlayMemoryAndObjects(PZAR_DEVICE_EXTENSION ext) { ZarAudDSrvFreeAll(ext); }

// ---- control codes ----

NTSTATUS ZarAudDSrvPrepPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    if (s.State != ZAR_DSRV_IDLE) return STATUS_UNSUCCESSFUL;
    ZAR_DSRV_PREPARE p;
    std::memcpy(&p, buffer, sizeof(p));
    // Counts index fixed arrays; a normal speed of 0 would divide by zero,
    // and one above 2^30 would overflow the 32-bit remainder of a step.
    if (p.Sources > ZAR_DSRV_SOURCES || p.Slots == 0 || p.Slots > ZAR_DSRV_SLOTS || p.NormalSpeed == 0 ||
        p.NormalSpeed > (1u << 30) ||
        p.BaseFilter > 3 || (p.BankATracks != 2 && p.BankATracks != 4) || p.BankABytes == 0)
        return STATUS_INVALID_PARAMETER;
    // Both banks' data must lie inside what is locked of each slot: bank B
    // holds at least the frames of bank A, and neither end runs past 2 GB.
    const ULONG frames = p.BankABytes / (2 * p.BankATracks);
    const ULONG tracksB = SlotTracks(p, 1);
    const ULONGLONG endA = 2ULL * p.BankAOffset + p.BankABytes;
    const ULONGLONG endB = tracksB != 0 ? 2ULL * p.BankBOffset + p.BankBBytes : 0;
    if (frames == 0 || (tracksB != 0 && p.BankBBytes / (2 * tracksB) < frames) || endA > 0x7FFFFFFF ||
        endB > 0x7FFFFFFF)
        return STATUS_INVALID_PARAMETER;
    KeInitializeSpinLock(&s.Lock);
    KeInitializeSpinLock(&s.ExceptionLock);
    s.Prep = p;
    s.ExceptionHead = s.ExceptionCount = s.ExceptionLost = 0;
    PVOID system = nullptr;
    s.ControlMdl = ZarAudLockUserBuffer(p.ControlBlock, ZAR_DSRV_CONTROL_BYTES, IoModifyAccess, UserMode, &system);
    s.Control = static_cast<PUCHAR>(system);
    NTSTATUS status = s.ControlMdl != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    const ULONG slotBytes = ULONG(endA > endB ? endA : endB);
    for (ULONG i = 0; i < p.Slots && NT_SUCCESS(status); ++i) {
        s.SlotMdl[i] = ZarAudLockUserBuffer(p.SlotBuffer[i], slotBytes, IoReadAccess, UserMode, &system);
        s.Slot[i] = static_cast<PUCHAR>(system);
        if (s.SlotMdl[i] == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG k = 0; k < p.Sources && NT_SUCCESS(status); ++k) {
        ULONG handle;
        std::memcpy(&handle, s.Control + 4 * k, sizeof(handle));
        if (handle == 0) continue;
        PVOID object = nullptr;
        status = ObReferenceObjectByHandle(UserAddress(handle), EVENT_MODIFY_STATE, ExEventObjectType, UserMode,
                                           &object, nullptr);
        s.SourceEvent[k] = static_cast<PKEVENT>(object);
    }
    if (NT_SUCCESS(status) && p.Semaphore != 0) {
        PVOID object = nullptr;
        status = ObReferenceObjectByHandle(UserAddress(p.Semaphore), SEMAPHORE_MODIFY_STATE, ExSemaphoreObjectType,
                                           UserMode, &object, nullptr);
        s.Semaphore = static_cast<PKSEMAPHORE>(object);
    }
    s.SamplesPerHalf = p.VariSpeed ? kSamplesVariSpeed : p.SmallBuffers ? kSamplesSmall : kSamplesNormal;
    if (NT_SUCCESS(status) && p.PreRoll != 0) {
        ULONG buffers = (s.SamplesPerHalf / 2 + p.PreRoll) / s.SamplesPerHalf;
        if (buffers != 0) {
            s.PreRollPool = ExAllocatePoolWithTag(NonPagedPool, buffers * s.SamplesPerHalf * 2 * ZAR_AUDIO_TRACKS, kPreRollTag);
            if (s.PreRollPool == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(status)) {
        ZarAudDSrvFreeAll(ext);
        return status;
    }
    s.SlotFrames = frames;
    ULONG mask = p.TrackMask | (p.AddBankA ? 0x0F : p.AddBankB ? 0xF0 : 0);
    ULONG maskIn[4] = {mask, 0, 0, 0};
    // The server's sample count first: the mask's banks are sized by it.
    ext->AudioEngine.SamplesPerBuffer = 2 * s.SamplesPerHalf;
    ZarAudSetActiveTrackMask(ext, maskIn);
    ZarAudCalcPlayDmaSizes(ext);
    s.Position = p.Start;
    s.Remainder = 0;
    s.Speed = LONG(p.NormalSpeed);
    s.RampStep = ZAR_DSRV_RAMP_FILLS;
    ZarAudDSrvSetRatio(s);
    s.CurrentSlot = 0;
    for (ULONG i = 0; i < p.Slots; ++i)
        if (SlotHolds(s, i, p.Start)) s.CurrentSlot = i;
    for (ULONG k = 0; k < ZAR_DSRV_SOURCES; ++k) {
        s.Missing[k] = FALSE;
        s.Recovery[k] = 0;
    }
    s.Ended = s.StopRequested = s.BuffersFilled = FALSE;
    s.State = ZAR_DSRV_PREPARED;
    ext->AudioPlayPrepared = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudDSrvUnprepPlay(PZAR_DEVICE_EXTENSION ext, PVOID)
{
    if (Server(ext).State != ZAR_DSRV_PREPARED) return STATUS_UNSUCCESSFUL;
    ZarAudDSrvFreeAll(ext);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudDSrvInitBuffers(PZAR_DEVICE_EXTENSION ext, PVOID)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    if (s.State != ZAR_DSRV_PREPARED) return STATUS_UNSUCCESSFUL;
    KIRQL old;
    KeAcquireSpinLock(&s.Lock, &old);
    ZarAudDSrvWriteRequests(ext);
    ZarAudDSrvFillHalf(ext, 0);
    ZarAudDSrvFillHalf(ext, 1);
    s.BuffersFilled = TRUE;
    KeReleaseSpinLock(&s.Lock, old);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudDSrvStartPlay(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    if (s.State != ZAR_DSRV_PREPARED || !s.BuffersFilled) return STATUS_UNSUCCESSFUL;
    ZAR_AUDIO_PLAY_COMMAND command;
    std::memcpy(&command, buffer, sizeof(command));
    command.State = ZAR_AUDIO_PLAYING;
    struct Call {
        PZAR_DEVICE_EXTENSION Ext;
    } call{ext};
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        static_cast<Call*>(context)->Ext->AudioPlayMode = ZAR_AUDIO_PLAY_DATA_SERVER;
        return TRUE;
    }, &call);
    s.State = command.FixedSpeed ? ZAR_DSRV_RUNNING : ZAR_DSRV_WAITING;
    NTSTATUS status = ZarAudPlayCommand(ext, &command);
    if (!NT_SUCCESS(status)) s.State = ZAR_DSRV_PREPARED;
    return status;
}

NTSTATUS ZarAudDSrvStopPlay(PZAR_DEVICE_EXTENSION ext, PVOID)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    // Running also once the play stopped by itself at its end: what it holds is freed.
    if (s.State != ZAR_DSRV_WAITING && !(s.State == ZAR_DSRV_RUNNING && (ext->AudioEngine.PlayDmaRunning || s.Ended)))
        return STATUS_UNSUCCESSFUL;
    KIRQL old;
    KeAcquireSpinLock(&s.Lock, &old);
    s.StopRequested = TRUE;
    if (!s.Ended) s.StopPosition = s.Position;
    KeReleaseSpinLock(&s.Lock, old);
    ZAR_AUDIO_PLAY_COMMAND stop{};
    ZarAudPlayCommand(ext, &stop);
    ZAR_DSRV_STOP_AT noStop{ext, 0, 0, false};
    ZarRunSynchronized(ext, ZarAudDSrvSetStopAt, &noStop);
    ext->AudioDSrvStopReached = FALSE;
    ext->AudioPlayMode = ZAR_AUDIO_PLAY_DOUBLE_BUFFERED;
    ZarAudDSrvPost(ext, ZAR_DSRV_STOPPED, 0, s.StopPosition);
    ZarAudDSrvFreeAll(ext);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudDSrvGetException(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    KIRQL old;
    KeAcquireSpinLock(&s.ExceptionLock, &old);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (s.ExceptionCount != 0) {
        std::memcpy(buffer, &s.Exception[s.ExceptionHead], sizeof(ZAR_DSRV_EXCEPTION));
        s.ExceptionHead = (s.ExceptionHead + 1) % ZAR_DSRV_EXCEPTIONS;
        --s.ExceptionCount;
        status = STATUS_SUCCESS;
        // The freed entry tells of the ones that found the queue full.
        if (s.ExceptionLost != 0) {
            ZAR_DSRV_EXCEPTION& e = s.Exception[(s.ExceptionHead + s.ExceptionCount) % ZAR_DSRV_EXCEPTIONS];
            e = {ZAR_DSRV_LOST, s.ExceptionLost, 0, 0};
            ++s.ExceptionCount;
            s.ExceptionLost = 0;
        }
    }
    KeReleaseSpinLock(&s.ExceptionLock, old);
    return status;
}

void ZarAudDSrvSnapshot(PZAR_DEVICE_EXTENSION ext, ZAR_DSRV_STATUS* status)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    bool running = s.State == ZAR_DSRV_RUNNING && ext->AudioEngine.PlayDmaRunning;
    LONGLONG position = s.StopPosition;
    LONG speed = 0;
    if (running) {
        ULONG half = ext->AudioPlayHalf & 1;
        const ZAR_AUDIO_PLAY_DCB& dcb = ext->AudioEngine.Play[0];
        ULONG offset = ZarBridgeRead(ext, ZAR_BRIDGE_AUDIO_PLAY_A) - ext->AudioPlayBufferStart - dcb.HalfOffset[half];
        ULONG frames = dcb.Slots ? offset / (2 * dcb.Slots) : 0;
        position = s.HalfPosition[half] + LONGLONG(frames) * s.Speed / LONG(s.Prep.NormalSpeed);
        if (s.Prep.Loop) position = Wrap(s, position);
        else if (position >= s.Prep.LoopEnd) position = s.Prep.LoopEnd;
        else if (position < s.Prep.LoopStart) position = s.Prep.LoopStart;
        speed = s.Speed;
    }
    status->Running = running;
    status->PositionLow = ULONG(ULONGLONG(position));
    status->PositionHigh = ULONG(ULONGLONG(position) >> 32);
    status->Speed = speed;
}

NTSTATUS ZarAudDSrvGetCurrentStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    struct Call {
        PZAR_DEVICE_EXTENSION Ext;
        ZAR_DSRV_STATUS Status;
    } call{ext, {}};
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<Call*>(context);
        ZarAudDSrvSnapshot(c->Ext, &c->Status);
        return TRUE;
    }, &call);
    std::memcpy(buffer, &call.Status, sizeof(call.Status));
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudDSrvSetSpeed(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_DSRV_STATE_BLOCK& s = Server(ext);
    auto* in = static_cast<const LONG*>(buffer);
    LONG speed = in[0];
    ULONG mode = ULONG(in[1]);
    if (s.State == ZAR_DSRV_IDLE || !s.Prep.VariSpeed || mode < 1 || mode > 3) return STATUS_UNSUCCESSFUL;
    speed = ZarAudDSrvSnapSpeed(speed, s.Prep.NormalSpeed);
    KIRQL old;
    KeAcquireSpinLock(&s.Lock, &old);
    NTSTATUS status = STATUS_SUCCESS;
    if (mode == 1) {
        if (s.RampStep < ZAR_DSRV_RAMP_FILLS) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            s.Speed = speed;
            ZarAudDSrvSetRatio(s);
            if (s.State == ZAR_DSRV_PREPARED && s.BuffersFilled) {
                s.Position = s.HalfPosition[0];
                s.Remainder = 0;
                ZarAudDSrvFillHalf(ext, 0);
                ZarAudDSrvFillHalf(ext, 1);
            }
        }
    } else {
        if (s.Ended && ((speed < 0 && s.Position <= s.Prep.LoopStart) || (speed > 0 && s.Position >= s.Prep.LoopEnd)))
            s.Speed = 0;
        if (s.Ended) {
            // Playing on from the end: the stop waiting there is off.
            ZAR_DSRV_STOP_AT noStop{ext, 0, 0, false};
            ZarRunSynchronized(ext, ZarAudDSrvSetStopAt, &noStop);
        }
        s.Ended = FALSE;
        s.RampFrom = s.Speed;
        s.RampTo = speed;
        s.RampStep = 0;
    }
    KeReleaseSpinLock(&s.Lock, old);
    return status;
}
