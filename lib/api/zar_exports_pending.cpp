// Still capture, volume maintenance, preview and export: these exports test
// their arguments in the frame, then fail with -1 and one line on the debug
// output naming themselves, until their bodies take this file's place.

#include "zar_export_frame.h"

#define ZAR_EXPAND_PENDING ZAR_DEFINE_NOT_BUILT
#include "zar_export_groups.h"

ZAR_EXPORT_TABLE(ZAR_EXPORT_ROW_BY_GROUP)
