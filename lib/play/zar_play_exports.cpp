// The exports of play items and streams built so far: their rows of the
// export table, run in the library's frame.

#include "lib/api/zar_export_frame.h"
#include "zar_play_item.h"

namespace {

int32_t DoZarPlyItemQuery(const ExportCall&, ZAR_ITEM_QUERY* query) { return PlyItemQuery(query); }
int32_t DoZarPlyStreamQuery(const ExportCall&, ZAR_STREAM_QUERY* query) { return PlyStreamQuery(query, false); }
int32_t DoZarPlyStreamQueryByIndex(const ExportCall&, ZAR_STREAM_QUERY* query) { return PlyStreamQuery(query, true); }
int32_t DoZarPlyIsStreamEmpty(const ExportCall&, uint32_t stream) { return PlyIsStreamEmpty(stream); }
int32_t DoZarPlyGetStreamModeFlags(const ExportCall&, uint32_t stream, uint32_t* flags)
{
    return PlyGetStreamModeFlags(stream, flags);
}
int32_t DoZarPlySetStreamModeFlags(const ExportCall&, uint32_t stream, uint32_t flags)
{
    return PlySetStreamModeFlags(stream, flags);
}
int32_t DoZarPlySetStreamProperties(const ExportCall&, void* record) { return PlySetStreamProperties(record); }

}  // namespace

#define ZAR_EXPAND_PLAY ZAR_DEFINE_EXPORT
#include "lib/api/zar_export_groups.h"

ZAR_EXPORT_TABLE(ZAR_EXPORT_ROW_BY_GROUP)
