// The option driver's codes with their record lengths, and its one request path.

#include "zar_option.h"

#include "include/zario.h"

namespace {

struct OptionCode {
    uint32_t code;
    DWORD in;
    DWORD out;
};

// The option's codes reuse the board driver's values; these lengths are
// the option's own.
constexpr OptionCode kOptionCodes[] = {
    {IOCTL_ZARIO_GET_BOARD_STATE, 0, 4},
    {IOCTL_ZARIO_FIRMWARE, 16, 16},
    {IOCTL_ZARIO_FIRMWARE_DONE, 0, 0},
    {IOCTL_ZARIO_GET_CAPABILITIES, 12, 12},
    {IOCTL_ZARIO_GET_24FPS_SUPPORT, 4, 4},
    {IOCTL_ZARIO_SET_24FPS_MODE, 4, 4},
    {IOCTL_ZARIO_SET_M2_ROUTING, 20, 20},
    {IOCTL_ZARIO_SET_VIDEO_INPUT_MODE, 20, 20},
    {IOCTL_ZARIO_GET_DV_VCR_STATUS, 20, 20},
    {IOCTL_ZARIO_QUERY_DV_VCR_TIMECODE, 8, 8},
    {IOCTL_ZARIO_DV_FCP_COMMAND, 33, 33},
    {IOCTL_ZARIO_SET_DV_CODEC, 12, 12},
    {IOCTL_ZARIO_GET_DV_CODEC, 12, 12},
    {IOCTL_ZARIO_DV_SET_AUDIO_MIX, 4, 0},
    {IOCTL_ZARIO_SDI_QUERY_EDH, 20, 20},
    {IOCTL_ZARIO_SET_CAPTURE_PROC_AMP, 10, 10},
    {IOCTL_ZARIO_GET_CAPTURE_PROC_AMP, 10, 10},
    {IOCTL_ZARIO_SET_FRAMESTORE, 8, 8},
    {IOCTL_ZARIO_GET_FRAMESTORE, 8, 8},
    {IOCTL_ZARIO_SET_SDI_OUTPUT, 8, 8},
    {IOCTL_ZARIO_SET_SDI_MODE, 4, 4},
    {IOCTL_ZARIO_GET_SDI_MODE, 4, 4},
    {IOCTL_ZARIO_SET_SDI_AUDIO_RECEIVE, 16, 16},
    {IOCTL_ZARIO_GET_SDI_AUDIO_RECEIVE, 16, 16},
    {IOCTL_ZARIO_SET_SDI_AUDIO_TRANSMIT, 16, 16},
    {IOCTL_ZARIO_GET_SDI_AUDIO_TRANSMIT, 16, 16},
    {IOCTL_ZARIO_SET_AES_TRANSMIT, 8, 8},
    {IOCTL_ZARIO_GET_AES_TRANSMIT, 8, 8},
    {IOCTL_ZARIO_GET_AES_RECEIVE_STATUS, 4, 4},
    {IOCTL_ZARIO_HPS_CAPTURE_IMAGE, 56, 56},
    {IOCTL_ZARIO_DV_CAPTURE_START, 44, 44},
    {IOCTL_ZARIO_DV_CAPTURE_STATUS, 136, 136},
    {IOCTL_ZARIO_DV_CAPTURE_FRAME, 1028, 1028},
    {IOCTL_ZARIO_DV_CAPTURE_STOP, 0, 0},
};

}  // namespace

bool OptionRequestLengths(uint32_t code, DWORD* inLength, DWORD* outLength)
{
    for (const OptionCode& c : kOptionCodes) {
        if (c.code != code) continue;
        *inLength = c.in;
        *outLength = c.out;
        return true;
    }
    return false;
}

bool SendOptionRequest(CBoardConnection& connection, uint32_t code, void* record, DWORD length)
{
    DWORD in = 0, out = 0;
    if (!OptionRequestLengths(code, &in, &out) || length != (in > out ? in : out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (connection.m_hIo == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD returned = 0;
    return SendDeviceRequest(connection.m_hIo, code, in ? record : nullptr, in, out ? record : nullptr, out,
                             &returned, nullptr) != FALSE;
}
