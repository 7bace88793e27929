// Board set-up after the FPGA load: EEPROM, calibration, routing, genlock, resets.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

// Will read EEPROM bytes 2 and 3 and accept the board's signature; until
// the I2C engine exists no EEPROM is readable, so none is accepted.
BOOLEAN ZarDcIsValidEeprom(PZAR_DEVICE_EXTENSION) { return FALSE; }
// Will read one EEPROM byte (device 0xA0) through ZarI2cCommand.
NTSTATUS ZarDcReadEepromByte(PZAR_DEVICE_EXTENSION, ULONG, PULONG value)
{
    *value = 0;
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS ZarDcIoSynchronizeExecution(PZAR_DEVICE_EXTENSION, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcPostFpgaInit(PZAR_DEVICE_EXTENSION, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetGenlockPosition(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetEncoder(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetCalibration(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetM2Routing(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoReset(PZAR_DEVICE_EXTENSION, UCHAR, ULONG) { return STATUS_NOT_IMPLEMENTED; }
