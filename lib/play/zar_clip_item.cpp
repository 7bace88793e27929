// The clip item: creation and opening over a clip file, the range rules,
// the output-to-source field mapping and the field operations.
//
// A looping item wraps in source fields: a position that runs past the
// range comes back by whole multiples of the range's own length, at any
// speed and in either direction, so a loop never reads outside [in, out)
// and always covers all of it.

#include "zar_clip_item.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "zar_clip_stream.h"
#include "zar_connection.h"
#include "zar_live_sink_file.h"
#include "zar_live_source_file.h"
#include "zar_local_file.h"
#include "zar_system_file.h"
#include "zar_virtual_black_file.h"

namespace {

// A clip on the board's media drive is a media-volume clip; any other an
// ordinary-volume clip.
CZarFile* MakeClipFile(CBoardConnection* connection, const std::u16string& path)
{
    const ZAR_BOARD_SHARED* shared = connection ? connection->m_pShared : nullptr;
    const char media = shared && shared->MediaDriveLetter ? shared->MediaDriveLetter : 'P';
    const bool onMedia = path.size() >= 2 && path[1] == u':' && (path[0] & ~0x20) == char16_t(media & ~0x20);
    if (onMedia) return new (std::nothrow) CZarLocalFile(path, connection);
    return new (std::nothrow) CZarSystemFile(path, connection);
}

CClipItem::FileMaker fileMaker = MakeClipFile;

// Zero frames or more fields than 32 bits count.
bool BadFrameCount(uint32_t frames) { return frames == 0 || frames > 0x7FFFFFFFu; }

int64_t FloorMod(int64_t a, int64_t m) { return ((a % m) + m) % m; }

uint8_t Clamp8(double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// One line of the board's 4:2:2 (Cb, Y0, Cr, Y1) into a host format.
void ConvertLine(const uint8_t* yuv, uint32_t format, uint8_t* out)
{
    if (format == ZAR_HOST_YUV422) {
        std::memcpy(out, yuv, kBoardLineBytes);
        return;
    }
    for (uint32_t x = 0; x < kBoardLineBytes / 2; ++x) {
        const uint8_t* group = yuv + (x / 2) * 4;
        const double cb = group[0], y = group[1 + (x & 1) * 2], cr = group[2];
        if (format == ZAR_HOST_CBYCRA) {
            out[x * 4] = uint8_t(cb);
            out[x * 4 + 1] = uint8_t(y);
            out[x * 4 + 2] = uint8_t(cr);
            out[x * 4 + 3] = 255;
            continue;
        }
        // Studio-range BT.601 to full-range RGB.
        const double l = 1.164 * (y - 16), u = cb - 128, v = cr - 128;
        const uint8_t r = Clamp8(l + 1.596 * v), g = Clamp8(l - 0.392 * u - 0.813 * v), b = Clamp8(l + 2.017 * u);
        const uint32_t step = format == ZAR_HOST_BGR ? 3 : 4;
        out[x * step] = b;
        out[x * step + 1] = g;
        out[x * step + 2] = r;
        if (step == 4) out[x * step + 3] = 255;
    }
}

uint32_t HostPixelBytes(uint32_t format)
{
    switch (format) {
    case ZAR_HOST_BGRA:
    case ZAR_HOST_CBYCRA: return 4;
    case ZAR_HOST_BGR: return 3;
    case ZAR_HOST_YUV422: return 2;
    default: return 0;
    }
}

}  // namespace

void CClipItem::SetFileMaker(FileMaker maker) { fileMaker = maker; }

CClipItem::CClipItem(CBoardConnection* connection) : m_connection(connection) {}

CClipItem::CClipItem(const CClipItem& other)
    : CPlayItem(other.m_length, other.m_name),
      m_connection(other.m_connection),
      m_file(other.m_file),
      m_keyChannel(other.m_keyChannel),
      m_in(other.m_in),
      m_out(other.m_out),
      m_speed(other.m_speed),
      m_phase(other.m_phase),
      m_repeat(other.m_repeat),
      m_repeatOffset(other.m_repeatOffset),
      m_loopOffset(other.m_loopOffset),
      m_flags(other.m_flags)
{
    if (m_file) m_file->AddRef();
}

CClipItem::~CClipItem()
{
    if (m_file) m_file->Release();
}

int32_t CClipItem::Attach(CZarFile* file)
{
    if (!file) return ZAR_E_NO_MEMORY;
    if (m_file) m_file->Release();
    m_file = file;
    return ZAR_OK;
}

void CClipItem::AttachToStream(CPlayStream* stream, uint32_t position)
{
    CPlayItem::AttachToStream(stream, position);
    m_clipStream = dynamic_cast<CClipStream*>(stream);
}

void CClipItem::DetachFromStream()
{
    CPlayItem::DetachFromStream();
    m_clipStream = nullptr;
}

// ---- creators ----

int32_t CClipItem::CreateFill(const std::u16string& path, uint32_t sectorsPerField, uint32_t frames,
                              uint32_t reserve, uint32_t fixedSize)
{
    int32_t result = Attach(fileMaker ? fileMaker(m_connection, path) : nullptr);
    if (result != ZAR_OK) return result;
    m_name = path;
    m_in = 0;
    m_out = m_length = 2 * frames;
    return m_file->CreateFill(sectorsPerField, frames, reserve, fixedSize);
}

int32_t CClipItem::CreateKey(CClipItem& fill, uint32_t sectorsPerField, uint32_t reserve, uint32_t fixedSize)
{
    if (!fill.m_file) return ZAR_E_BAD_ARGUMENT;
    fill.m_file->AddRef();
    Attach(fill.m_file);
    m_name = fill.m_name;
    m_length = fill.m_length;
    m_in = fill.m_in;
    m_out = fill.m_out;
    int32_t result = m_file->CreateKey(sectorsPerField, m_length / 2, reserve, fixedSize);
    if (result == ZAR_OK) m_keyChannel = 1;
    return result;
}

int32_t CClipItem::Open(const std::u16string& path, const ZAR_CLIP_ITEM_PARAMS& params, uint32_t access, bool key)
{
    CZarFile* file = nullptr;
    if (!CZarFile::FindOpenClipFile(path, &file)) file = fileMaker ? fileMaker(m_connection, path) : nullptr;
    if (!file) return ZAR_E_NO_MEMORY;
    m_name = path;
    return OpenFile(file, params, access, key);
}

int32_t CClipItem::OpenFile(CZarFile* file, const ZAR_CLIP_ITEM_PARAMS& params, uint32_t access, bool key)
{
    int32_t result = Attach(file);
    if (result != ZAR_OK) return result;
    result = m_file->OpenForAccess(access);
    if (result != ZAR_OK) return result;
    m_keyChannel = key ? 1 : 0;
    m_speed = 1.0;
    m_repeat = 1;
    m_flags = params.Flags;
    return SetRange(params);
}

void CClipItem::SetWholeRange(uint32_t frames)
{
    m_in = 0;
    m_out = m_length = 2 * frames;
}

int32_t CClipItem::CreateVirtual(uint32_t kind, uint32_t sectorsPerField, uint32_t frames)
{
    if (kind != 0 && kind != 2 && kind != 3) return ZAR_E_DRIVER;
    if (BadFrameCount(frames)) return ZAR_E_BAD_ARGUMENT;
    if (kind != 2) {
        const int32_t result = Attach(new (std::nothrow) CZarVirtualBlackFile(m_connection, frames, sectorsPerField,
                                                                              kind == 3));
        if (result != ZAR_OK) return result;
        m_name.clear();
        SetWholeRange(frames);
        return ZAR_OK;
    }
    // The shared record may hold a name without its terminator: never read
    // past the array.
    const ZAR_BOARD_SHARED* shared = m_connection ? m_connection->m_pShared : nullptr;
    if (!shared) return ZAR_E_BAD_ARGUMENT;
    const size_t capacity = sizeof shared->UserVirtualFrame / sizeof shared->UserVirtualFrame[0];
    std::u16string path;
    for (size_t k = 0; k < capacity && shared->UserVirtualFrame[k]; ++k) path += char16_t(shared->UserVirtualFrame[k]);
    if (path.empty()) return ZAR_E_BAD_ARGUMENT;
    CZarFile* file = nullptr;
    if (!CZarFile::FindOpenClipFile(path, &file)) file = fileMaker ? fileMaker(m_connection, path) : nullptr;
    int32_t result = Attach(file);
    if (result != ZAR_OK) return result;
    result = m_file->OpenForAccess(GENERIC_READ);
    if (result != ZAR_OK) return result;
    m_name = path;
    m_in = 0;
    m_out = 2;
    m_length = 2 * frames;
    m_flags |= ZAR_CLIP_ITEM_LOOP;
    return ZAR_OK;
}

int32_t CClipItem::CreateCallback(ZarClipFieldCallback callback, uint32_t context, uint32_t frames)
{
    if (!callback || BadFrameCount(frames)) return ZAR_E_BAD_ARGUMENT;
    const int32_t result = Attach(new (std::nothrow) CZarCallbackFile(m_connection, callback, context, frames));
    if (result != ZAR_OK) return result;
    m_name.clear();
    SetWholeRange(frames);
    return ZAR_OK;
}

int32_t CClipItem::CreateMemfile(const std::string& mappingName, const std::string& eventName,
                                 uint32_t sectorsPerField, uint32_t slots, uint32_t frames)
{
    if (BadFrameCount(frames)) return ZAR_E_BAD_ARGUMENT;
    auto* file = new (std::nothrow) CSysLiveSinkVideoFile(m_connection);
    int32_t result = Attach(file);
    if (result != ZAR_OK) return result;
    result = file->OpenRing(sectorsPerField, slots, mappingName, eventName);
    if (result != ZAR_OK) return result;
    m_name.clear();
    SetWholeRange(frames);
    return ZAR_OK;
}

int32_t CClipItem::CreateLiveSource(CSysLiveSourceSync* sync, CSysLiveSourceRecord* queue,
                                    const std::string& mappingName, uint32_t frames)
{
    if (BadFrameCount(frames)) return ZAR_E_BAD_ARGUMENT;
    auto* file = new (std::nothrow) CSysLiveSourceVideoFile(m_connection);
    int32_t result = Attach(file);
    if (result != ZAR_OK) return result;
    result = file->OpenRing(sync, queue, mappingName);
    if (result != ZAR_OK) return result;
    m_name.clear();
    SetWholeRange(frames);
    return ZAR_OK;
}

// ---- range ----

int32_t CClipItem::SetRange(const ZAR_CLIP_ITEM_PARAMS& params)
{
    return ApplyRange(params, false);
}

int32_t CClipItem::Modify(const ZAR_CLIP_ITEM_PARAMS& params)
{
    if (params.Set & ZAR_CLIP_SET_SPEED) m_speed = params.Speed;
    if (params.Set & ZAR_CLIP_SET_FLAGS) m_flags = params.Flags;
    int32_t result = ApplyRange(params, true);
    if (result != ZAR_OK) return result;
    if ((params.Set & ZAR_CLIP_SET_POSITION) && m_clipStream) m_clipStream->RepositionItem(this, params.Position);
    return ZAR_OK;
}

int32_t CClipItem::ApplyRange(const ZAR_CLIP_ITEM_PARAMS& params, bool modify)
{
    if (!m_file) return ZAR_E_BAD_ARGUMENT;
    const uint64_t frames = m_file->GetFrameCount();
    const uint64_t fields = 2 * frames;
    const uint32_t set = params.Set;
    double speed = m_speed;
    if (!modify && (set & ZAR_CLIP_SET_SPEED)) speed = params.Speed;
    const bool forward = speed >= 0;
    uint32_t in = m_in, out = m_out, length = m_length;
    double phase = m_phase;

    if (set & ZAR_CLIP_SET_RANGE) {
        if (params.Length < (modify ? 1u : 2u)) return ZAR_E_BAD_ARGUMENT;
        if (modify) {
            if (params.InFrame >= frames) return ZAR_E_BAD_ARGUMENT;
            if (!(set & ZAR_CLIP_SET_OUT)) {
                if (forward && params.InFrame >= m_out / 2) return ZAR_E_BAD_ARGUMENT;
                if (!forward && params.InFrame <= m_out / 2) return ZAR_E_BAD_ARGUMENT;
            }
            if (!forward && params.InFrame == 0) return ZAR_E_BAD_ARGUMENT;
        }
        length = params.Length;
        in = 2 * params.InFrame + ((params.Phase & 0x8000) ? 1 : 0);
        phase = (params.Phase & 0x7FFF) / 32768.0;
        if (forward) {
            if (set & ZAR_CLIP_SET_OUT) {
                if (!(in < params.OutField && params.OutField <= fields)) return ZAR_E_BAD_ARGUMENT;
                out = params.OutField;
            } else if (!modify) {
                const double end = std::trunc(double(length) * speed + in + 0.4999999);
                out = uint32_t(std::min<double>(double(fields), end));
                out = std::max(out, in + 2);
            }
        } else {
            if (set & ZAR_CLIP_SET_OUT) {
                if (!(params.OutField < in && params.OutField < fields)) return ZAR_E_BAD_ARGUMENT;
                out = params.OutField;
            } else if (!modify) {
                out = uint32_t(std::max(0.0, std::trunc(double(length) * speed + in + 0.4999999)));
            }
            if (in < 2) return ZAR_E_BAD_ARGUMENT;
        }
    } else if (!modify) {
        if (forward) {
            in = 0;
            out = uint32_t(fields);
            if (set & ZAR_CLIP_SET_OUT) {
                if (params.OutField > fields) return ZAR_E_BAD_ARGUMENT;
                out = params.OutField;
            }
            length = speed == 0 ? out : std::max(1u, uint32_t(std::trunc(out / speed + 0.4999999)));
        } else {
            in = uint32_t(fields);
            out = 0;
            if (set & ZAR_CLIP_SET_OUT) {
                if (params.OutField + 2 > fields) return ZAR_E_BAD_ARGUMENT;
                out = params.OutField;
            }
            // A reverse item counts its output fields: the range over the speed's size.
            length = std::max(2u, uint32_t(std::trunc((in - out) / -speed + 0.4999999)));
        }
        phase = 0;
    } else if (set & ZAR_CLIP_SET_OUT) {
        if (forward && !(params.OutField / 2 <= frames && params.OutField > in)) return ZAR_E_BAD_ARGUMENT;
        if (!forward && !(params.OutField < in && params.OutField / 2 < frames)) return ZAR_E_BAD_ARGUMENT;
        out = params.OutField;
    }
    m_speed = speed;
    m_in = in;
    m_out = out;
    m_length = length;
    m_phase = phase;
    if (set & ZAR_CLIP_SET_REPEAT) m_repeat = params.Repeat;
    return ZAR_OK;
}

uint32_t CClipItem::MapToSourceFrame(uint32_t n) const
{
    int64_t s = m_speed >= 0 ? MapForward(n) : MapReverse(n);
    return uint32_t(std::max<int64_t>(0, s));
}

int32_t CClipItem::MapForward(uint32_t output) const
{
    const bool loop = m_flags & ZAR_CLIP_ITEM_LOOP;
    int64_t n = output;
    if (loop) n += m_loopOffset;
    if (m_repeat > 1) {
        const int64_t d = m_repeat;
        n = (n & 1) ^ (2 * d * ((m_repeatOffset + n / 2) / d));
    }
    const int64_t in = m_in, out = m_out;
    auto raw = [&](int64_t k) { return int64_t(std::trunc(double(k) * m_speed + m_phase + double(in))); };
    int64_t s = raw(n);
    if (s >= out) s = loop && out > in ? in + FloorMod(s - in, out - in) : out - 1;

    if (m_flags & ZAR_CLIP_ITEM_FIXED_PARITY) return int32_t((s & ~1) | ((m_flags & ZAR_CLIP_ITEM_SECOND_FIELD) ? 1 : 0));
    if (m_flags & ZAR_CLIP_ITEM_OUTPUT_PARITY) return int32_t((s & ~1) | (n & 1));
    if ((m_flags & ZAR_CLIP_ITEM_NO_PARITY_FIX) || (s & 1) == (n & 1)) return int32_t(s);
    if (m_speed >= 1.0) return int32_t(s >= out - 2 ? s : s + 1);
    // Slower than real time: a source field shown over several outputs keeps
    // its place; the first of a new field is moved back to keep the pair.
    const int64_t rawS = raw(n);
    const int64_t p = raw(n - 1);
    if (p == rawS) return int32_t(s);
    const int64_t q = raw(n + 1);
    if (q == rawS && raw(n - 2) == p) return int32_t(s);
    return int32_t(std::max(in, s - 1));
}

int32_t CClipItem::MapReverse(uint32_t output) const
{
    const bool loop = m_flags & ZAR_CLIP_ITEM_LOOP;
    const bool toOut = m_flags & ZAR_CLIP_ITEM_REVERSE_TO_OUT;
    int64_t n = output;
    if (loop) n += m_loopOffset;
    if (m_repeat > 1) {
        const int64_t d = m_repeat;
        n = (n & 1) ^ (2 * d * ((m_repeatOffset + n / 2) / d));
    }
    const int64_t in = m_in, out = m_out;
    auto raw = [&](int64_t k) { return int64_t(std::ceil(double(k) * m_speed + double(in - 2) + m_phase)); };
    // The lowest field reverse play reaches, and the span [low, in) a loop repeats.
    const int64_t low = std::max<int64_t>(0, toOut ? out : out - 1);
    int64_t s = raw(n);
    if (s < low) {
        if (loop && in > low)
            s = in - 1 - FloorMod(low - 1 - s, in - low);
        else
            s = low;
    }

    if (m_flags & ZAR_CLIP_ITEM_FIXED_PARITY) return int32_t((s & ~1) | ((m_flags & ZAR_CLIP_ITEM_SECOND_FIELD) ? 1 : 0));
    if (m_flags & ZAR_CLIP_ITEM_OUTPUT_PARITY) return int32_t((s & ~1) | (n & 1));
    if ((m_flags & ZAR_CLIP_ITEM_NO_PARITY_FIX) || (s & 1) == (n & 1)) return int32_t(s);
    if (m_speed <= -1.0) return int32_t(s > out ? s - 1 : s);
    const int64_t rawS = raw(n);
    const int64_t p = raw(n - 1);
    if (p == rawS) return int32_t(s);
    const int64_t q = raw(n + 1);
    if (q == rawS && raw(n - 2) == p) return int32_t(s);
    return int32_t(s >= in - 2 ? s : s + 1);
}

bool CClipItem::LoopPeriodIsWhole(uint32_t* period) const
{
    const double span = m_speed >= 0 ? double(m_out) - m_in : double(m_in) - m_out;
    if (m_speed == 0 || span <= 0) return false;
    const double fields = span / std::fabs(m_speed);
    if (fields != std::floor(fields) || fields > 0xFFFFFFFFu) return false;
    *period = uint32_t(fields);
    return true;
}

int32_t CClipItem::BuildSubRange(ZAR_ITEM_RANGE range, CPlayItem** newItem)
{
    *newItem = nullptr;
    const uint32_t from = range.start, to = range.end;
    if (!(from < to) || to / 2 > m_length / 2) return ZAR_E_BAD_ARGUMENT;
    auto* copy = new (std::nothrow) CClipItem(*this);
    if (!copy) return ZAR_E_NO_MEMORY;
    const uint32_t d = m_repeat;
    if (d > 1) copy->m_repeatOffset = (from / 2 + m_repeatOffset) % d;
    if (m_flags & ZAR_CLIP_ITEM_LOOP) {
        // The copy starts where this item is at 'from'; the source-side wrap
        // makes any offset valid, so it is only reduced by a whole period.
        uint64_t offset = uint64_t(m_loopOffset) + from;
        uint32_t period = 0;
        if (LoopPeriodIsWhole(&period) && period > 0) offset %= period;
        copy->m_loopOffset = uint32_t(offset);
    } else {
        // The source position of 'from', frame-quantised the way the repeat maps it.
        const double start = d > 1 ? 2.0 * d * ((from / 2 + m_repeatOffset) / d) : double(from);
        if (m_speed >= 0) {
            const double x = start * m_speed + m_in + m_phase;
            copy->m_in = uint32_t(std::trunc(x));
            const double end = std::trunc(double(to) * m_speed + m_in + m_phase);
            copy->m_out = uint32_t(std::min<double>(m_out, std::max<double>(end, copy->m_in + 2.0)));
            copy->m_phase = x - copy->m_in;
        } else {
            double x = start * m_speed + m_in + m_phase;
            if (d <= 1)
                while (x < 2) x += 2;
            copy->m_in = uint32_t(std::trunc(x));
            copy->m_phase = x - copy->m_in;
            copy->m_out = uint32_t(std::max(0.0, std::trunc(double(to) * m_speed + m_in + m_phase)));
        }
    }
    copy->m_length = to - from;
    *newItem = copy;
    return ZAR_OK;
}

// ---- field operations ----

int32_t CClipItem::GetFieldNode(uint32_t n, ZAR_FIELD_LOCATION** node)
{
    if (!m_file || m_length == 0) return ZAR_E_DRIVER;
    // Past the end: the matching field of the last frame.
    if (n >= m_length) n = ((m_length - 1) & ~1u) | (n & 1);
    if (n >= m_length) n = m_length - 1;
    const uint32_t s = MapToSourceFrame(n);
    return m_keyChannel ? m_file->GetKeyNode(s, node) : m_file->GetFillNode(s, node);
}

int32_t CClipItem::GetFieldSize(uint32_t n)
{
    if (!m_file || n >= m_length) return ZAR_E_DRIVER;
    const uint32_t s = MapToSourceFrame(n);
    return int32_t(m_keyChannel ? m_file->GetKeyFieldSize(s) : m_file->GetFillFieldSize(s));
}

int32_t CClipItem::FieldToBoard(uint32_t n, uint32_t boardBlock, uint32_t keyWord)
{
    if (!m_file || n >= m_length) return ZAR_E_DRIVER;
    const uint32_t s = MapToSourceFrame(n);
    return m_keyChannel ? m_file->KeyFieldToBoard(s, boardBlock, keyWord)
                        : m_file->FillFieldToBoard(s, boardBlock, keyWord);
}

int32_t CClipItem::FieldToBoardSync(uint32_t n, uint32_t boardBlock, uint32_t value20, uint32_t value96)
{
    if (!m_file || n >= m_length) return ZAR_E_DRIVER;
    const uint32_t s = MapToSourceFrame(n);
    return m_keyChannel ? m_file->KeyFieldToBoardSync(s, boardBlock, value20, value96)
                        : m_file->FillFieldToBoardSync(s, boardBlock, value20, value96);
}

int32_t CClipItem::ReadField(uint32_t n, void* buffer, uint32_t bytes)
{
    if (!m_file || n >= m_length) return ZAR_E_DRIVER;
    const uint32_t s = MapToSourceFrame(n);
    return m_keyChannel ? m_file->ReadKeyField(s, buffer, bytes) : m_file->ReadFillField(s, buffer, bytes);
}

int32_t CClipItem::CheckFieldWrite(uint32_t field, uint32_t sectors)
{
    if (!m_file) return ZAR_E_DRIVER;
    return m_keyChannel ? m_file->CheckKeyFieldWrite(field, sectors) : m_file->CheckFieldWrite(field, sectors);
}

int32_t CClipItem::TransferField(ZAR_FIELD_TRANSFER transfer)
{
    if (!m_file) return ZAR_E_DRIVER;
    transfer.key = m_keyChannel;
    return m_file->TransferField(transfer);
}

int32_t CClipItem::CreateSideFile()
{
    return m_file ? m_file->CreateSideFile(m_keyChannel) : 0;
}

int32_t CClipItem::GetFieldPlacement(uint32_t n, uint32_t* target, uint32_t* block, uint32_t* sectors)
{
    if (!m_file || n >= m_length) return ZAR_E_DRIVER;
    return m_file->GetFieldPlacement(MapToSourceFrame(n), target, block, sectors);
}

uint32_t CClipItem::GetFieldParity(uint32_t n)
{
    if (!m_file || n >= m_length) return n & 1;
    return m_file->GetFieldParity(MapToSourceFrame(n));
}

uint32_t CClipItem::IsUncompressed()
{
    if (!m_file) return 0;
    return m_keyChannel ? m_file->IsKeyUncompressed() : m_file->IsFillUncompressed();
}

// ---- frame export ----

int32_t CClipItem::ExportFrame(uint32_t frame, uint32_t format, void* image, int32_t height)
{
    const uint32_t pixelBytes = HostPixelBytes(format);
    if (pixelBytes == 0 || !image || height == 0) return ZAR_E_BAD_ARGUMENT;
    if (!m_file || 2 * uint64_t(frame) + 1 >= m_length) return ZAR_E_DRIVER;
    const uint32_t lines = uint32_t(std::abs(height));
    const uint32_t hostLine = 720 * pixelBytes;
    std::unique_ptr<uint8_t[]> fields[2];
    for (auto& f : fields) {
        f.reset(new (std::nothrow) uint8_t[kExportFieldBytes]);
        if (!f) return ZAR_E_NO_MEMORY;
    }
    const uint32_t board = m_connection ? m_connection->m_board : 0;
    const bool locked = CZarFile::WaitFieldSyncMutex(board);
    if (!locked) return ZAR_E_DRIVER;
    const bool uncompressed = m_keyChannel ? m_file->IsKeyUncompressed() : m_file->IsFillUncompressed();
    int32_t result = ZAR_OK;
    for (uint32_t p = 0; p < 2 && result == ZAR_OK; ++p) {
        uint8_t* data = fields[p].get();
        const uint32_t n = 2 * frame + p;
        ZAR_FIELD_LOCATION* node = nullptr;
        const bool present = GetFieldNode(n, &node) == ZAR_OK && node && node->used != 0;
        const int32_t sectors = present ? GetFieldSize(n) : 0;
        if (!present || sectors <= 0 || uint64_t(sectors) * 512 > kExportFieldBytes ||
            ReadField(n, data, uint32_t(sectors) * 512) != ZAR_OK) {
            // A missing field shows as black.
            for (uint32_t k = 0; k < kExportFieldBytes / 4; ++k) std::memcpy(data + 4 * k, &kYuvBlack, 4);
            continue;
        }
        // Compressed fields need the board codec's decompressor, which this
        // build of the library does not carry.
        if (!uncompressed) result = ZAR_E_DRIVER;
    }
    CZarFile::ReleaseFieldSyncMutex(board);
    if (result != ZAR_OK) return result;
    auto* out = static_cast<uint8_t*>(image);
    for (uint32_t line = 0; line < lines; ++line) {
        const uint32_t fieldLine = line / 2;
        const uint8_t* source = fields[line & 1].get() + size_t(fieldLine) * kBoardLineBytes;
        if (size_t(fieldLine + 1) * kBoardLineBytes > kExportFieldBytes) source = fields[line & 1].get();
        const uint32_t row = height < 0 ? lines - 1 - line : line;
        ConvertLine(source, format, out + size_t(row) * hostLine);
    }
    return ZAR_OK;
}
