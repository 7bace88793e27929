// The exports of still capture, volume maintenance and the preview. Each
// holds the library's module state for the call, tests the caller's record
// at its exact size (ZAR_E_BAD_ARGUMENT, nothing written) and the board
// handle (ZAR_E_BAD_HANDLE), and calls the body; nothing thrown crosses.

#include <new>

#include "include/zardll.h"
#include "zar_app.h"
#include "zar_connection.h"
#include "zar_still_capture.h"
#include "zar_volume_maintenance.h"

namespace {

template <class Body>
int32_t Guarded(Body body)
{
    try {
        return body();
    } catch (...) {
        return ZAR_E_NO_MEMORY;
    }
}

template <class Record>
bool Accessible(Record* record)
{
    return record && !IsBadReadPtr(record, sizeof *record) && !IsBadWritePtr(record, sizeof *record);
}

// The export's frame around a body that takes the board's connection.
template <class Body>
int32_t OnBoard(ZAR_BOARD handle, Body body)
{
    if (!ZarApp()) return ZAR_E_DRIVER;
    CBoardConnection* connection = CBoardConnection::FromHandle(handle);
    if (!connection) return ZAR_E_BAD_HANDLE;
    return Guarded([&] { return body(*connection); });
}

}  // namespace

ZAR_API int32_t ZarHpsCaptureImage(ZAR_BOARD handle, ZAR_HPS_CAPTURE_IMAGE* request)
{
    if (!Accessible(request)) return ZAR_E_BAD_ARGUMENT;
    return OnBoard(handle, [&](CBoardConnection& c) { return zarapi::HpsCaptureImage(c, request, 0); });
}

ZAR_API int32_t ZarHpsCaptureQuery(ZAR_HPS_CAPTURE_IMAGE* request, uint32_t kind)
{
    if (!Accessible(request)) return ZAR_E_BAD_ARGUMENT;
    if (!ZarApp()) return ZAR_E_DRIVER;
    return zarapi::HpsCaptureQuery(*request, kind);
}

ZAR_API int32_t ZarHpsGetWaveformBitmap(ZAR_BOARD handle, ZAR_WAVEFORM_REQUEST* request)
{
    if (!Accessible(request)) return ZAR_E_BAD_ARGUMENT;
    return OnBoard(handle, [&](CBoardConnection& c) { return zarapi::HpsGetWaveformBitmap(c, request); });
}

ZAR_API int32_t ZarProcAmpWaveformDlg(ZAR_BOARD handle, ZAR_PROC_AMP_WAVEFORM_DLG* request)
{
    if (!Accessible(request)) return ZAR_E_BAD_ARGUMENT;
    return OnBoard(handle, [&](CBoardConnection& c) { return zarapi::ProcAmpWaveformDlg(c, request); });
}

ZAR_API int32_t ZarOptimizeVolume(ZAR_BOARD handle, ZAR_OPTIMIZE_VOLUME* request)
{
    if (!Accessible(request)) return ZAR_E_BAD_ARGUMENT;
    return OnBoard(handle, [&](CBoardConnection& c) { return zarapi::OptimizeVolume(c, *request); });
}

ZAR_API int32_t ZarQueryOptimizeProgress(ZAR_BOARD handle, ZAR_OPTIMIZE_PROGRESS* progress)
{
    if (!Accessible(progress)) return ZAR_E_BAD_ARGUMENT;
    return OnBoard(handle, [&](CBoardConnection&) { return zarapi::QueryOptimizeProgress(progress); });
}

ZAR_API int32_t ZarAbortOptimizeVolume(ZAR_BOARD handle)
{
    return OnBoard(handle, [&](CBoardConnection&) { return zarapi::AbortOptimizeVolume(); });
}

ZAR_API int32_t ZarScanMediaFiles(ZAR_BOARD handle, ZAR_SCAN_MEDIA_FILES* request)
{
    if (!Accessible(request)) return ZAR_E_BAD_ARGUMENT;
    return OnBoard(handle, [&](CBoardConnection&) { return zarapi::ScanMediaFiles(*request); });
}

ZAR_API int32_t ZarGetFileLocation(ZAR_BOARD handle, const char* path, ZAR_FILE_LOCATION* location)
{
    if (!Accessible(location) || !path || IsBadStringPtrA(path, MAX_PATH)) return ZAR_E_BAD_ARGUMENT;
    return OnBoard(handle, [&](CBoardConnection& c) { return zarapi::GetFileLocation(c, path, location); });
}

ZAR_API int32_t ZarGetVolumeSpaceInfoEx(ZAR_BOARD handle, ZAR_VOLUME_SPACE_INFO* space)
{
    if (!Accessible(space)) return ZAR_E_DRIVER;  // this export answers an unwritable record so
    return OnBoard(handle, [&](CBoardConnection& c) { return zarapi::GetVolumeSpaceInfoEx(c, space); });
}
