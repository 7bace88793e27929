// The frame every export of the table runs in: the library's module state,
// the board handle looked up among the process's connections (-9), the
// caller's record tested for read and write access at its exact size (-2,
// nothing written), the item and stream checks of the insert, remove and
// reposition calls, and no exception leaving the export.
//
// A file that builds a group of the table defines ZAR_EXPAND_<group> as
// ZAR_DEFINE_EXPORT with its body prefix, includes zar_export_groups.h and
// expands ZAR_EXPORT_TABLE(ZAR_EXPORT_ROW_BY_GROUP). A body is
//   int32_t <prefix><ExportName>(const ExportCall& call, <the shape's arguments>)
// and finds the connection (for the board shapes) in 'call'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "include/zardll.h"
#include "include/zarply.h"
#include "zar_app.h"
#include "zar_connection.h"
#include "zar_export_table.h"

// Which handle an export takes and the frame tests.
enum class ExportHandle {
    kBoard,        // a board handle first: looked up among the process's connections
    kStreamItem,   // a board handle, then the {stream, item, position} block
    kObject,       // an item or stream handle first (the body tests its class)
    kRecordHandle, // an item or stream handle in the record's first word
    kNone,
};

struct ExportCall {
    const char* name;
    CZarDll& app;
    CBoardConnection* connection;  // the board shapes' connection, else null
    bool olderLayout;              // a ZarDcOpen handle and a row with an older record layout
    ExportHandle handle;
    uint32_t object;               // kObject: the handle passed
    const void* record;            // the record the frame tested (or null)
};

namespace zarframe {

// Readable and writable at 'bytes' (also for getters: the test asks both).
bool Accessible(const void* record, size_t bytes);
// True for a handle in the handle map (of any class).
bool HandleKnown(uint32_t handle);
// The body of an export whose work is not built yet: it tests what the
// frame left (the item or stream handle), writes one line naming the export
// to the debug output and gives ZAR_E_DRIVER.
int32_t NotBuilt(const ExportCall& call);
template <class... Args>
int32_t NotBuiltBody(const ExportCall& call, Args&&...)
{
    return NotBuilt(call);
}

// The frame's steps before the body; ZAR_OK to run it.
int32_t Check(ExportCall& call, ZAR_BOARD board, size_t size, size_t older);

template <class Body>
int32_t Enter(const char* name, ExportHandle kind, ZAR_BOARD board, uint32_t object, const void* record, size_t size,
              size_t older, Body&& body)
{
    CZarDll* app = ZarApp();
    if (!app) return ZAR_E_DRIVER;
    ExportCall call{name, *app, nullptr, false, kind, object, record};
    const int32_t checked = Check(call, board, size, older);
    if (checked != ZAR_OK) return checked;
    try {
        return body(call);
    } catch (const std::bad_alloc&) {
        return ZAR_E_NO_MEMORY;
    } catch (...) {
        return ZAR_E_DRIVER;
    }
}

}  // namespace zarframe

// ---- The shapes: the C argument list, what the frame tests, what the body gets ----
// clang-format off
#define ZAR_PARAMS_B(T)     ZAR_BOARD board
#define ZAR_ENTER_B         ExportHandle::kBoard, board, 0, nullptr
#define ZAR_ARGS_B
#define ZAR_PARAMS_BR(T)    ZAR_BOARD board, T* record
#define ZAR_ENTER_BR        ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BR         , record
#define ZAR_PARAMS_BV(T)    ZAR_BOARD board, uint32_t value
#define ZAR_ENTER_BV        ExportHandle::kBoard, board, 0, nullptr
#define ZAR_ARGS_BV         , value
#define ZAR_PARAMS_BRR(T)   ZAR_BOARD board, T* record, void* second
#define ZAR_ENTER_BRR       ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BRR        , record, second
#define ZAR_PARAMS_BVR(T)   ZAR_BOARD board, uint32_t value, T* record
#define ZAR_ENTER_BVR       ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BVR        , value, record
#define ZAR_PARAMS_BRV(T)   ZAR_BOARD board, T* record, uint32_t value
#define ZAR_ENTER_BRV       ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BRV        , record, value
#define ZAR_PARAMS_BRRV(T)  ZAR_BOARD board, T* record, void* second, uint32_t value
#define ZAR_ENTER_BRRV      ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BRRV       , record, second, value
#define ZAR_PARAMS_BRVV(T)  ZAR_BOARD board, T* record, uint32_t value, uint32_t value2
#define ZAR_ENTER_BRVV      ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BRVV       , record, value, value2
#define ZAR_PARAMS_BRRR(T)  ZAR_BOARD board, T* record, void* second, void* third
#define ZAR_ENTER_BRRR      ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BRRR       , record, second, third
#define ZAR_PARAMS_BVRV(T)  ZAR_BOARD board, uint32_t value, T* record, uint32_t value2
#define ZAR_ENTER_BVRV      ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BVRV       , value, record, value2
#define ZAR_PARAMS_BRVR(T)  ZAR_BOARD board, T* record, uint32_t value, void* second
#define ZAR_ENTER_BRVR      ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BRVR       , record, value, second
#define ZAR_PARAMS_BRVRV(T) ZAR_BOARD board, T* record, uint32_t value, void* second, uint32_t value2
#define ZAR_ENTER_BRVRV     ExportHandle::kBoard, board, 0, record
#define ZAR_ARGS_BRVRV      , record, value, second, value2
#define ZAR_PARAMS_BSI(T)   ZAR_BOARD board, ZAR_STREAM_ITEM* entry
#define ZAR_ENTER_BSI       ExportHandle::kStreamItem, board, 0, entry
#define ZAR_ARGS_BSI        , entry
#define ZAR_PARAMS_BDV(T)   ZAR_BOARD board, double speed, uint32_t value
#define ZAR_ENTER_BDV       ExportHandle::kBoard, board, 0, nullptr
#define ZAR_ARGS_BDV        , speed, value
#define ZAR_PARAMS_BID(T)   ZAR_BOARD board, int32_t track, double factor
#define ZAR_ENTER_BID       ExportHandle::kBoard, board, 0, nullptr
#define ZAR_ARGS_BID        , track, factor
#define ZAR_PARAMS_DB(T)    uint32_t kind, uint32_t value, double* dB, double* gain
#define ZAR_ENTER_DB        ExportHandle::kNone, nullptr, 0, nullptr
#define ZAR_ARGS_DB         , kind, value, dB, gain
#define ZAR_PARAMS_R(T)     T* record
#define ZAR_ENTER_R         ExportHandle::kRecordHandle, nullptr, 0, record
#define ZAR_ARGS_R          , record
#define ZAR_PARAMS_V(T)     uint32_t handle
#define ZAR_ENTER_V         ExportHandle::kObject, nullptr, handle, nullptr
#define ZAR_ARGS_V          , handle
#define ZAR_PARAMS_VV(T)    uint32_t handle, uint32_t value
#define ZAR_ENTER_VV        ExportHandle::kObject, nullptr, handle, nullptr
#define ZAR_ARGS_VV         , handle, value
#define ZAR_PARAMS_VVV(T)   uint32_t handle, uint32_t value, uint32_t value2
#define ZAR_ENTER_VVV       ExportHandle::kObject, nullptr, handle, nullptr
#define ZAR_ARGS_VVV        , handle, value, value2
#define ZAR_PARAMS_VVVV(T)  uint32_t handle, uint32_t value, uint32_t value2, uint32_t value3
#define ZAR_ENTER_VVVV      ExportHandle::kObject, nullptr, handle, nullptr
#define ZAR_ARGS_VVVV       , handle, value, value2, value3
#define ZAR_PARAMS_VR(T)    uint32_t handle, T* record
#define ZAR_ENTER_VR        ExportHandle::kObject, nullptr, handle, record
#define ZAR_ARGS_VR         , handle, record
#define ZAR_PARAMS_YUV(T)   uint32_t width, uint32_t lines, const void* source, void* destination
#define ZAR_ENTER_YUV       ExportHandle::kNone, nullptr, 0, nullptr
#define ZAR_ARGS_YUV        , width, lines, source, destination
// clang-format on

// One export: its C definition running 'body' in the frame.
#define ZAR_DEFINE_EXPORT_WITH(body, name, shape, type, size, older)                                                 \
    ZAR_API int32_t name(ZAR_PARAMS_##shape(type))                                                                   \
    {                                                                                                                \
        return zarframe::Enter(#name, ZAR_ENTER_##shape, size, older,                                               \
                               [&](const ExportCall& call) { return body(call ZAR_ARGS_##shape); });                 \
    }
// One export whose body is Do<name>.
#define ZAR_DEFINE_EXPORT(name, shape, type, size, older) ZAR_DEFINE_EXPORT_WITH(Do##name, name, shape, type, size, older)
// One export that tests its arguments and fails with -1.
#define ZAR_DEFINE_NOT_BUILT(name, shape, type, size, older) \
    ZAR_DEFINE_EXPORT_WITH(zarframe::NotBuiltBody, name, shape, type, size, older)
