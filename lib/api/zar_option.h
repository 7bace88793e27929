// The digital-I/O option driver (ZARIOKD, outside the system) as the
// library reaches it: only through the third handle of a board connection.
// Every request passes one record in and out, of the length its code
// carries; a machine without the option has no such device, so every
// request fails and the callers give their answers for an absent option.
#pragma once

#include <cstdint>

#include "zar_connection.h"

// Bytes in and out of an option code; false for a code the option does
// not answer.
bool OptionRequestLengths(uint32_t code, DWORD* inLength, DWORD* outLength);

// One request on the connection's I/O device with 'record' (of the code's
// length; null for a code without data). False when the device is not
// open, the request fails, or the length is not the code's.
bool SendOptionRequest(CBoardConnection& connection, uint32_t code, void* record, DWORD length);
