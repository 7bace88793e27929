// Makes ZARFSKD a driver image the machine can load: the I/O manager calls
// ZarFsDriverEntry for the service whose image is ZARFSKD.sys.

#include "platform/nt/machine.h"
#include "zarfs_driver.h"

NT_REGISTER_DRIVER_IMAGE("ZARFSKD.sys", ZarFsDriverEntry);
