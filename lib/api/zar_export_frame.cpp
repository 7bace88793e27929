// The frame's checks, shared by every export of the table.

#include "zar_export_frame.h"

#include <string>

#include "zar_handles.h"
#include "zar_play_item.h"

namespace zarframe {

bool Accessible(const void* record, size_t bytes)
{
    return record && !IsBadReadPtr(record, bytes) && !IsBadWritePtr(const_cast<void*>(record), bytes);
}

bool HandleKnown(uint32_t handle)
{
    CHandleObject* object = nullptr;
    if (!CHandleObject::LookupHandle(handle, &object)) return false;
    object->EndLookup();
    return true;
}

namespace {

// The block {stream, item, position}: both handles known, the stream a
// stream and the item an item; a swapped pair is refused here. The
// stream's own class test (its kind of item) is the body's.
int32_t CheckStreamItem(const ZAR_STREAM_ITEM& entry)
{
    CHandleRef<CPlayStream> stream(entry.Stream);
    CHandleRef<CPlayItem> item(entry.Item);
    return stream && item ? ZAR_OK : ZAR_E_BAD_HANDLE;
}

}  // namespace

int32_t Check(ExportCall& call, ZAR_BOARD board, size_t size, size_t older)
{
    if (call.handle == ExportHandle::kBoard || call.handle == ExportHandle::kStreamItem) {
        call.connection = CBoardConnection::FromHandle(board);
        if (!call.connection) return ZAR_E_BAD_HANDLE;
        call.olderLayout = older != 0 && !call.connection->m_openedByExtendedCall;
        if (call.olderLayout) size = older;
    }
    if (size != 0 && !Accessible(call.record, size)) return ZAR_E_BAD_ARGUMENT;
    if (call.handle == ExportHandle::kStreamItem) return CheckStreamItem(*static_cast<const ZAR_STREAM_ITEM*>(call.record));
    return ZAR_OK;
}

int32_t NotBuilt(const ExportCall& call)
{
    if (call.handle == ExportHandle::kObject && !HandleKnown(call.object)) return ZAR_E_BAD_HANDLE;
    if (call.handle == ExportHandle::kRecordHandle && call.record &&
        !HandleKnown(*static_cast<const uint32_t*>(call.record)))
        return ZAR_E_BAD_HANDLE;
    OutputDebugStringA((std::string(call.name) + ": not available in this version of the library\n").c_str());
    return ZAR_E_DRIVER;
}

}  // namespace zarframe
