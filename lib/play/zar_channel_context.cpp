// Channel contexts: which group, index, JPEG unit and buffers a channel
// number stands for, and where its group's state words lie in the status.

#include "zar_channel_context.h"

#include <cstring>
#include <new>

#include "include/zarkd_jpeg.h"
#include "zar_connection.h"

namespace {

constexpr uint32_t kAudioFxSelectOffset = 980;  // bit 0: the audio effect channels report in their own region

bool Send(CBoardConnection* connection, uint32_t code, void* block, uint32_t bytes)
{
    if (!connection) return false;
    DWORD returned = 0;
    return SendDeviceRequest(connection->m_hBoard, code, block, bytes, block, bytes, &returned, nullptr) != 0;
}

uint8_t* Allocate(uint32_t bytes)
{
    auto* p = new (std::nothrow) uint8_t[bytes];  // a failed allocation is not reported: the user finds no buffer
    if (p) std::memset(p, 0, bytes);
    return p;
}

}  // namespace

ZAR_CHANNEL_CONTEXT::ZAR_CHANNEL_CONTEXT(CBoardConnection* connection, uint32_t channel)
    : m_connection(connection), m_channel(channel)
{
    m_status.Channel = channel;
    switch (channel) {
    case 0:
    case 1:
        m_jpegUnit = channel;
        break;
    case 10:
        m_group = 10;
        m_ringBytes = 32;
        break;
    case 20:
    case 30:
        m_group = 20;
        m_index = channel == 30 ? 1 : 0;
        m_jpegUnit = m_index;
        m_ringBytes = 16;
        break;
    case 21:
    case 31:
        m_group = 21;
        break;
    case 100:
        m_workBytes = 32768;
        break;
    case 110:
        m_captureFlag = 1;
        m_captureMarker = 0xFFFFFFFF;
        m_workBytes = connection && connection->m_pShared ? connection->m_pShared->AudioPlayDmaSize : 0;
        break;
    case 200:
    case 201:
        m_group = channel;
        m_index = channel - 200;
        break;
    case 400:
        m_group = 401;
        break;
    default:
        if (channel >= 120 && channel <= 147 && channel % 10 <= 7) {
            m_group = channel / 10 * 10;
            m_index = channel % 10;
        } else if ((channel >= 301 && channel <= 304) || (channel >= 401 && channel <= 404) || channel == 500 ||
                   channel == 501) {
            m_group = channel;
        }
        break;
    }
    if (m_ringBytes) {
        m_ring.reset(Allocate(m_ringBytes));
        if (!m_ring) m_ringBytes = 0;
        m_ringRead = m_ringWrite = m_ring.get();
        m_ringActive = 1;
    }
    if (m_workBytes) {
        m_work.reset(Allocate(m_workBytes));
        if (!m_work) m_workBytes = 0;
    }
}

uint32_t ZAR_CHANNEL_CONTEXT::Word(uint32_t offset) const
{
    uint32_t value;
    std::memcpy(&value, reinterpret_cast<const uint8_t*>(&m_status) + offset, sizeof value);
    return value;
}

bool ZAR_CHANNEL_CONTEXT::StateOffsets(uint32_t* state, uint32_t* position) const
{
    const uint32_t c = m_channel;
    if (c == 0 || c == 1 || c == 10 || c == 20 || c == 30) {
        *state = 48, *position = 40;
    } else if (c == 21 || c == 31) {
        *state = 344, *position = 336;
    } else if (c == 100 || c == 110) {
        *state = 424, *position = 416;
    } else if (c >= 120 && c <= 147) {
        bool own = Word(kAudioFxSelectOffset) & 1;
        *state = own ? 948 : 424, *position = own ? 940 : 416;
    } else if (c == 200 || c == 201) {
        *state = 616, *position = 608;
    } else if (c >= 301 && c <= 304) {
        *state = 696, *position = 688;
    } else if (c >= 400 && c <= 404) {
        *state = 788, *position = 780;
    } else if (c == 500 || c == 501) {
        *state = 868, *position = 860;
    } else {
        return false;
    }
    return true;
}

bool ZAR_CHANNEL_CONTEXT::StateWord(uint32_t* state) const
{
    uint32_t stateOffset, positionOffset;
    if (!StateOffsets(&stateOffset, &positionOffset)) return false;
    *state = Word(stateOffset);
    return true;
}

bool ZAR_CHANNEL_CONTEXT::SecondPositionWord(uint32_t* position) const
{
    uint32_t stateOffset, positionOffset;
    if (!StateOffsets(&stateOffset, &positionOffset)) return false;
    *position = Word(positionOffset);
    return true;
}

bool ZAR_CHANNEL_CONTEXT::QueryStatus()
{
    m_status.Channel = m_channel;
    return Send(m_connection, IOCTL_ZAR_JPEG_PLAYLIST_QUERY, &m_status, sizeof m_status);
}

bool ZAR_CHANNEL_CONTEXT::ResetChannel()
{
    m_status.Channel = m_channel;
    return Send(m_connection, IOCTL_ZAR_PLY_RESET_PLAYLIST, &m_status, sizeof m_status);
}

bool ZAR_CHANNEL_CONTEXT::IsBusy()
{
    uint32_t state = 0;
    return QueryStatus() && StateWord(&state) && state == 32;
}

bool ZAR_CHANNEL_CONTEXT::IssueJpegCommand(uint32_t op)
{
    ZAR_JPEG_COMMAND command{};
    command.Command = op;
    command.Channel = m_jpegUnit;
    return Send(m_connection, IOCTL_ZAR_JPEG_COMMAND, &command, sizeof command);
}

int ZAR_CHANNEL_CONTEXT::IssueJpegPlay(uint32_t fieldMode, uint32_t sectorsA, uint32_t sectorsB, uint32_t position,
                                       uint32_t immediate)
{
    ZAR_JPEG_COMMAND load{};
    load.Command = immediate ? 18 : 19;
    load.Channel = m_jpegUnit;
    load.FieldMode = fieldMode;
    load.FirstFieldSize = sectorsA;
    load.SecondFieldSize = sectorsB;
    load.FramePosition = position;
    Send(m_connection, IOCTL_ZAR_JPEG_COMMAND, &load, sizeof load);

    uint32_t state = 0;
    if (StateWord(&state) && state != 0 && state != 32) return state == 17 ? 1 : 0;
    IssueJpegCommand(17);
    return 1;
}

bool ZAR_CHANNEL_CONTEXT::IssueJpegCapture(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    ZAR_JPEG_COMMAND command{};
    command.Command = 64;
    command.Channel = m_jpegUnit;
    command.End = a;                                   // +40
    auto* words = reinterpret_cast<uint32_t*>(&command);
    words[12] = b;                                     // +48
    words[13] = c;                                     // +52
    words[14] = d;                                     // +56
    words[15] = d;                                     // +60
    return Send(m_connection, IOCTL_ZAR_JPEG_COMMAND, &command, sizeof command);
}

bool ZAR_CHANNEL_CONTEXT::AdvanceSdlHead(uint32_t value)
{
    uint32_t block[7] = {m_jpegUnit, 0, value, 0, 0, 0, 0};
    return Send(m_connection, IOCTL_ZAR_JPEG_ADVANCE_SDL_HEAD_ADDR, block, sizeof block);
}

bool ZAR_CHANNEL_CONTEXT::PostFieldEntry(const void* entry)
{
    if (!m_connection || m_ringBytes < ZAR_NODE_FIELD_ENTRY_SIZE) return false;
    std::memcpy(m_ring.get(), entry, ZAR_NODE_FIELD_ENTRY_SIZE);
    ZAR_NODE_COMMAND command{m_group, m_index, uint32_t(reinterpret_cast<uintptr_t>(m_ring.get()))};
    ZAR_NODE_COMMAND answer{};
    DWORD returned = 0;
    return SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_POST_NODE_COMMAND, &command, sizeof command, &answer,
                             sizeof answer, &returned, nullptr) != 0;
}

bool ZAR_CHANNEL_CONTEXT::GetNextEntry(void* descriptor)
{
    if (!m_connection || m_ringBytes < sizeof(ZAR_JPEG_FIELD_DESCRIPTOR)) return false;
    ZAR_NODE_COMMAND command{m_group, m_index, uint32_t(reinterpret_cast<uintptr_t>(m_ring.get()))};
    ZAR_NODE_COMMAND answer{};
    DWORD returned = 0;
    if (!SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, &command, sizeof command, &answer,
                           sizeof answer, &returned, nullptr))
        return false;
    std::memcpy(descriptor, m_ring.get(), sizeof(ZAR_JPEG_FIELD_DESCRIPTOR));
    return true;
}
