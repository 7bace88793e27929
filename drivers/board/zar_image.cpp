// Makes ZARKD a driver image the machine can load: the I/O manager calls
// DriverEntry for the service whose image is ZARKD.sys.

#include "platform/nt/machine.h"
#include "zar_init.h"

NT_REGISTER_DRIVER_IMAGE("ZARKD.sys", DriverEntry);
