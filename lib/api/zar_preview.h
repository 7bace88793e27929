// The board's preview: the scaler captures the live picture continuously
// into a DirectDraw surface or a DrawDib bitmap, and a worker thread draws
// it into one or two of the application's windows once a field. One
// process on the machine previews a board at a time: a new one asks the
// current one, through named objects, to stop and waits until it has.
#pragma once

#include <cstdint>

#include "include/zardll.h"

// Failure codes of a preview pass, reported in an exception packet of kind 13.
enum : int32_t {
    ZAR_PREVIEW_E_FORMAT = -61,    // the surface's pixel format is not one the scaler writes
    ZAR_PREVIEW_E_DRAWING = -64,   // the drawing object could not be made
    ZAR_PREVIEW_E_SCALER = -65,    // the scaler did not start
};
inline constexpr uint32_t ZAR_PREVIEW_PACKET_KIND = 13;

namespace zarapi {

// The preview format code of a surface's RGB layout, or -1 for one the
// scaler cannot write (palette surfaces, other masks).
int32_t PreviewFormatOf(uint32_t bits, uint32_t red, uint32_t green, uint32_t blue);

// The board's preview object of this process: made at the board's first
// open (false when it could not be), destroyed as the library unloads.
bool CreateBoardPreview(uint32_t board);
void DestroyBoardPreview(uint32_t board);
// Capture commands 1 and 2 (the request checked): the settings copied and
// the preview taken over from whichever process has it. 0, or -1 when the
// board has no preview or the exchange block's mutex was not had in 2 s.
int32_t StartBoardPreview(uint32_t board, const ZAR_HPS_CAPTURE_IMAGE& settings);
// Capture command 3: this process's preview stopped; a preview of another
// process is left alone.
int32_t StopBoardPreview(uint32_t board);

}  // namespace zarapi
