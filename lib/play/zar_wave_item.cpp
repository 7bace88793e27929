// The wave record item: the WAVE header, the section image with its
// live-ring block, the sample conversion and the item's end.

#include "zar_wave_item.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "include/zarply.h"
#include "zar_connection.h"

namespace {

void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

bool WriteAll(HANDLE file, const void* data, uint32_t bytes)
{
    DWORD done = 0;
    return WriteFile(file, data, bytes, &done, nullptr) && done == bytes;
}

bool Seek(HANDLE file, uint64_t offset, DWORD method = FILE_BEGIN)
{
    LARGE_INTEGER to;
    to.QuadPart = LONGLONG(offset);
    return SetFilePointerEx(file, to, nullptr, method) != 0;
}

}  // namespace

CWaveItem::~CWaveItem()
{
    if (m_view && m_mode == ZAR_WAVE_MODE_SECTION && m_file != INVALID_HANDLE_VALUE && Seek(m_file, 0))
        WriteAll(m_file, m_view, kWaveSectionHeaderBytes + m_dataBytes);
    if (m_view) UnmapViewOfFile(m_view);
    if (m_section) CloseHandle(m_section);
    if (m_file != INVALID_HANDLE_VALUE) {
        // A fixed-length file of this item's own that got less than planned
        // is cut to what it holds.
        if (m_mode == ZAR_WAVE_MODE_FILE && m_createdFile && m_fixedLength && m_written < m_dataBytes &&
            Seek(m_file, kWaveFileHeaderBytes + m_written))
            SetEndOfFile(m_file);
        CloseHandle(m_file);
    }
    if (m_createdFile && m_mode == ZAR_WAVE_MODE_FILE && m_written == 0 && !(m_flags & ZAR_WAVE_KEEP_FILE))
        DeleteFileA(m_path.c_str());
}

double CWaveItem::FrameRate() const
{
    const ZAR_BOARD_SHARED* shared = m_connection ? m_connection->m_pShared : nullptr;
    if (shared && shared->Fps24Mode == 2) return 23.976023976023978;
    if (shared && shared->FrameRate > 0) return shared->FrameRate;
    return shared && shared->Standard == 625 ? 25.0 : 30000.0 / 1001.0;
}

void CWaveItem::WriteHeader(uint8_t* h, uint32_t dataBytes) const
{
    const bool section = m_mode == ZAR_WAVE_MODE_SECTION;
    const uint32_t header = section ? kWaveSectionHeaderBytes : kWaveFileHeaderBytes;
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, header + dataBytes - 8);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);
    Put16(h + 22, uint16_t(m_channels));
    Put32(h + 24, m_rate);
    Put32(h + 28, m_rate * m_blockAlign);
    Put16(h + 32, uint16_t(m_blockAlign));
    Put16(h + 34, uint16_t(m_bits));
    if (section) {
        std::memcpy(h + 36, "mrec", 4);
        Put32(h + 40, 32);
        std::memcpy(h + 76, "data", 4);
        Put32(h + 80, dataBytes);
    } else {
        std::memcpy(h + 36, "data", 4);
        Put32(h + 40, dataBytes);
    }
}

int32_t CWaveItem::Create(const ZAR_WAVE_CREATE& r)
{
    if (r.mode > ZAR_WAVE_MODE_SECTION || r.channelCode > ZAR_WAVE_MONO_RIGHT || r.rate == 0) return ZAR_E_BAD_ARGUMENT;
    m_mode = r.mode;
    m_flags = r.flags;
    m_rate = r.rate;
    m_channels = r.channelCode == ZAR_WAVE_STEREO ? 2 : 1;
    m_right = r.channelCode == ZAR_WAVE_MONO_RIGHT;
    m_bits = r.eightBit ? 8 : 16;
    m_blockAlign = m_channels * m_bits / 8;
    m_event = r.event;
    m_path = r.path;
    uint64_t samples = r.samples;
    if (samples == 0 && r.fields != 0) samples = uint64_t(double(r.rate) * r.fields / (2 * FrameRate()) + 0.5);
    const uint64_t data = samples * m_blockAlign;
    const uint32_t header = m_mode == ZAR_WAVE_MODE_SECTION ? kWaveSectionHeaderBytes : kWaveFileHeaderBytes;
    if (header + data > 0xFFFFFFFFull) return ZAR_E_DRIVER;
    m_samples = uint32_t(samples);
    m_dataBytes = uint32_t(data);
    m_fixedLength = samples != 0;
    return m_mode == ZAR_WAVE_MODE_FILE ? CreateFileImage(r) : CreateSection(r);
}

int32_t CWaveItem::CreateFileImage(const ZAR_WAVE_CREATE& r)
{
    if (r.path.empty()) return ZAR_E_BAD_ARGUMENT;
    const bool existing = r.flags & ZAR_WAVE_OPEN_EXISTING;
    const DWORD disposition = existing ? OPEN_EXISTING : (r.flags & ZAR_WAVE_CREATE_ALWAYS) ? CREATE_ALWAYS : CREATE_NEW;
    m_file = CreateFileA(r.path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
    m_createdFile = !existing;
    if (existing) {
        LARGE_INTEGER size{};
        GetFileSizeEx(m_file, &size);
        m_existingData = uint64_t(size.QuadPart) > kWaveFileHeaderBytes ? uint64_t(size.QuadPart) - kWaveFileHeaderBytes : 0;
        return ZAR_OK;
    }
    if (m_fixedLength && (!Seek(m_file, uint64_t(kWaveFileHeaderBytes) + m_dataBytes) || !SetEndOfFile(m_file)))
        return ZAR_E_FILE_WRITE;
    uint8_t header[kWaveFileHeaderBytes];
    WriteHeader(header, m_dataBytes);
    if (!Seek(m_file, 0) || !WriteAll(m_file, header, sizeof header)) return ZAR_E_FILE_WRITE;
    return ZAR_OK;
}

int32_t CWaveItem::CreateSection(const ZAR_WAVE_CREATE& r)
{
    if (!m_fixedLength) return ZAR_E_BAD_ARGUMENT;
    const bool existing = r.flags & ZAR_WAVE_OPEN_EXISTING;
    HANDLE backing = INVALID_HANDLE_VALUE;
    if (!r.path.empty()) {
        const DWORD disposition =
            existing ? OPEN_EXISTING : (r.flags & ZAR_WAVE_CREATE_ALWAYS) ? CREATE_ALWAYS : CREATE_NEW;
        m_file = CreateFileA(r.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_file == INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
        m_createdFile = !existing;
        backing = m_file;
    }
    const uint32_t total = kWaveSectionHeaderBytes + m_dataBytes;
    // The Win32 layer's sections live in the page file: a backing file is
    // read into the section at the start and holds its image at the end.
    (void)backing;
    m_section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, total, r.sectionName.c_str());
    const bool nameTaken = m_section && GetLastError() == ERROR_ALREADY_EXISTS;
    if (!m_section || nameTaken) {
        // The section that holds the name is someone else's: leave it be,
        // and take back only a backing file this item made.
        if (m_section) CloseHandle(m_section);
        m_section = nullptr;
        if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
        if (m_createdFile) DeleteFileA(r.path.c_str());
        m_createdFile = false;
        return nameTaken ? int32_t(ZAR_E_CLIP_EXISTS) : int32_t(ZAR_E_DRIVER);
    }
    m_view = static_cast<uint8_t*>(MapViewOfFile(m_section, FILE_MAP_ALL_ACCESS, 0, 0, total));
    if (!m_view) return ZAR_E_DRIVER;
    if (existing && m_file != INVALID_HANDLE_VALUE) {
        DWORD got = 0;
        if (!ReadFile(m_file, m_view, total, &got, nullptr)) return ZAR_E_DRIVER;
    } else if (!existing) {
        WriteHeader(m_view, m_dataBytes);
        std::memset(m_view + kWaveLiveBlockOffset, 0, 32);
    }
    return ZAR_OK;
}

int32_t CWaveItem::PrepareForRecord(uint32_t boardRate, uint64_t in, uint64_t out, uint64_t preroll)
{
    if (m_rate == 0 || boardRate == 0 || boardRate % m_rate != 0) return ZAR_E_SAMPLE_RATE;
    m_ratio = boardRate / m_rate;
    if (m_mode == ZAR_WAVE_MODE_SECTION) {
        if (in > m_samples || out > m_samples || preroll > m_samples) return ZAR_E_DRIVER;
    } else if (m_flags & ZAR_WAVE_OPEN_EXISTING) {
        if (!Seek(m_file, 0, FILE_END)) return ZAR_E_DRIVER;
    }
    return ZAR_OK;
}

uint32_t CWaveItem::Convert(const uint8_t* in, uint32_t frames)
{
    // Every ratio-th board frame; the buffer holds the whole call's output.
    const uint32_t kept = (frames + m_ratio - 1) / m_ratio;
    if (m_conversion.size() < size_t(kept) * m_blockAlign) m_conversion.resize(size_t(kept) * m_blockAlign);
    uint8_t* out = m_conversion.data();
    for (uint32_t k = 0; k < kept; ++k) {
        const uint8_t* frame = in + size_t(k) * m_ratio * kBoardFrameBytes;
        const uint8_t* first = m_right && m_channels == 1 ? frame + 2 : frame;
        for (uint32_t c = 0; c < m_channels; ++c) {
            const uint8_t* sample = first + 2 * c;
            if (m_bits == 8) {
                *out++ = uint8_t(sample[1] + 128);  // the high byte, made unsigned
            } else {
                *out++ = sample[0];
                *out++ = sample[1];
            }
        }
    }
    return kept * m_blockAlign;
}

int32_t CWaveItem::Write(const void* samples, uint32_t bytes)
{
    if (!samples || bytes == 0 || IsBadReadPtr(samples, bytes)) return ZAR_OK;
    const uint32_t frames = bytes / kBoardFrameBytes;
    const uint32_t length = Convert(static_cast<const uint8_t*>(samples), frames);
    if (m_mode == ZAR_WAVE_MODE_FILE) {
        if (!WriteAll(m_file, m_conversion.data(), length)) return ZAR_E_DRIVER;
    } else {
        // Into the ring after the header, wrapping at its end.
        const uint32_t ring = m_dataBytes;
        uint32_t at = uint32_t((m_ringPosition * m_blockAlign) % ring), done = 0;
        while (done < length) {
            const uint32_t part = std::min(length - done, ring - at);
            std::memcpy(m_view + kWaveSectionHeaderBytes + at, m_conversion.data() + done, part);
            done += part;
            at = (at + part) % ring;
        }
        m_ringPosition += length / m_blockAlign;
        const int64_t position = int64_t(m_ringPosition);
        std::memcpy(m_view + kWaveLivePositionOffset, &position, sizeof position);
    }
    m_written += length;
    if (m_event) SetEvent(m_event);
    return ZAR_OK;
}

int32_t CWaveItem::Finish()
{
    if (m_flags & ZAR_WAVE_KEEP_FILE) return ZAR_OK;
    if (m_mode == ZAR_WAVE_MODE_SECTION) return ZAR_OK;  // the ring's size is its data size
    if (m_file == INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
    const uint64_t data = m_existingData + m_written;
    if (data + kWaveFileHeaderBytes > 0xFFFFFFFFull) return ZAR_E_DRIVER;
    uint8_t header[kWaveFileHeaderBytes];
    WriteHeader(header, uint32_t(data));
    LARGE_INTEGER here{}, zero{};
    if (!SetFilePointerEx(m_file, zero, &here, FILE_CURRENT)) return ZAR_E_DRIVER;
    const bool ok = Seek(m_file, 0) && WriteAll(m_file, header, sizeof header);
    Seek(m_file, uint64_t(here.QuadPart));
    // A fixed-length file now holds exactly what was written.
    if (ok && m_createdFile && m_fixedLength && m_written < m_dataBytes) {
        Seek(m_file, kWaveFileHeaderBytes + m_written);
        SetEndOfFile(m_file);
        m_fixedLength = false;
    }
    return ok ? int32_t(ZAR_OK) : int32_t(ZAR_E_FILE_WRITE);
}
