// The demo's look at the media drive: board 0's drive letter listed with
// the ordinary Win32 calls, as any program of the system sees it.
#pragma once

// Prints the section; a volume without a folder gets one ("Clips"), made
// with CreateDirectory on the drive.
void ShowMediaDrive();
