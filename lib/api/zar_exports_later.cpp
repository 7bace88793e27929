// The exports whose work belongs to the play engine and the effects code and
// is not built yet: each tests its arguments in the frame, then fails with
// -1 and one line on the debug output naming itself.

#include "zar_export_frame.h"

#define ZAR_EXPAND_LATER ZAR_DEFINE_NOT_BUILT
#include "zar_export_groups.h"

ZAR_EXPORT_TABLE(ZAR_EXPORT_ROW_BY_GROUP)
