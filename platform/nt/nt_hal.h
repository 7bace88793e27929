// HAL: PCI configuration space and slot resources, interrupt vectors, mapped
// device registers, DMA adapters with map registers and common buffers. The
// hardware behind it is the machine's hw::PciTopology (platform/hw/hw.h).
#pragma once

#include "nt_mm.h"

// PCI slot number: device in bits 0-4, function in bits 5-7.
union PCI_SLOT_NUMBER {
    struct {
        ULONG DeviceNumber : 5;
        ULONG FunctionNumber : 3;
        ULONG Reserved : 24;
    } bits;
    ULONG AsULONG;
};
enum : USHORT { PCI_INVALID_VENDORID = 0xFFFF };

struct PCI_COMMON_CONFIG {
    USHORT VendorID;
    USHORT DeviceID;
    USHORT Command;
    USHORT Status;
    UCHAR RevisionID;
    UCHAR ProgIf;
    UCHAR SubClass;
    UCHAR BaseClass;
    UCHAR CacheLineSize;
    UCHAR LatencyTimer;
    UCHAR HeaderType;
    UCHAR BIST;
    ULONG BaseAddresses[6];
    ULONG CIS;
    USHORT SubVendorID;
    USHORT SubSystemID;
    ULONG ROMBaseAddress;
    UCHAR CapabilitiesPtr;
    UCHAR Reserved1[3];
    ULONG Reserved2;
    UCHAR InterruptLine;
    UCHAR InterruptPin;
    UCHAR MinimumGrant;
    UCHAR MaximumLatency;
    UCHAR DeviceSpecific[192];
};
static_assert(sizeof(PCI_COMMON_CONFIG) == 256);

// Bytes read: 0 when the bus does not exist; 2 with vendor 0xFFFF when the
// slot is empty; otherwise up to 'length'.
ULONG HalGetBusData(BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG length);
ULONG HalGetBusDataByOffset(BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length);
ULONG HalSetBusData(BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG length);
ULONG HalSetBusDataByOffset(BUS_DATA_TYPE type, ULONG bus, ULONG slot, PVOID buffer, ULONG offset, ULONG length);

// ---- Resource lists ----

enum : UCHAR {
    CmResourceTypeNull = 0,
    CmResourceTypePort = 1,
    CmResourceTypeInterrupt = 2,
    CmResourceTypeMemory = 3,
    CmResourceTypeDma = 4,
};
enum : UCHAR { CmResourceShareUndetermined = 0, CmResourceShareDeviceExclusive = 1, CmResourceShareDriverExclusive = 2, CmResourceShareShared = 3 };
enum : USHORT {
    CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE = 0,
    CM_RESOURCE_INTERRUPT_LATCHED = 1,
    CM_RESOURCE_MEMORY_READ_WRITE = 0,
    CM_RESOURCE_MEMORY_READ_ONLY = 1,
    CM_RESOURCE_MEMORY_WRITE_ONLY = 2,
};

#pragma pack(push, 4)
struct CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            ULONG Level;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            ULONG Data[3];
        } DeviceSpecificData;
    } u;
};
struct CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
};
struct CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
};
struct CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[1];
};
#pragma pack(pop)
using PCM_RESOURCE_LIST = CM_RESOURCE_LIST*;
using PCM_PARTIAL_RESOURCE_DESCRIPTOR = CM_PARTIAL_RESOURCE_DESCRIPTOR*;
using PCM_FULL_RESOURCE_DESCRIPTOR = CM_FULL_RESOURCE_DESCRIPTOR*;

// Assigns the slot's memory apertures and interrupt (writing the BARs and
// the interrupt line) and returns them as a pool-allocated list the caller
// frees with ExFreePool. STATUS_NO_SUCH_DEVICE for an empty slot.
NTSTATUS HalAssignSlotResources(PUNICODE_STRING registryPath, PUNICODE_STRING driverClassName,
                                PDRIVER_OBJECT driver, PDEVICE_OBJECT device, INTERFACE_TYPE busType,
                                ULONG busNumber, ULONG slotNumber, PCM_RESOURCE_LIST* allocatedResources);
// Interrupts: bus-relative level L (0..23, what the slot's interrupt-line
// register holds) is system vector 0x30 + L at DIRQL 26 - L, on the one
// processor (affinity 1). Any other level gives vector 0.
ULONG HalGetInterruptVector(INTERFACE_TYPE interfaceType, ULONG busNumber, ULONG busInterruptLevel,
                            ULONG busInterruptVector, PKIRQL irql, PKAFFINITY affinity);
BOOLEAN HalTranslateBusAddress(INTERFACE_TYPE interfaceType, ULONG busNumber, PHYSICAL_ADDRESS busAddress,
                               PULONG addressSpace, PPHYSICAL_ADDRESS translatedAddress);

// ---- Mapped registers ----

// Maps a device aperture: the returned address is only good for the
// READ_/WRITE_REGISTER_ calls, which reach the device's register handlers.
PVOID MmMapIoSpace(PHYSICAL_ADDRESS physicalAddress, SIZE_T bytes, MEMORY_CACHING_TYPE cache);
void MmUnmapIoSpace(PVOID base, SIZE_T bytes);
UCHAR READ_REGISTER_UCHAR(volatile UCHAR* reg);
USHORT READ_REGISTER_USHORT(volatile USHORT* reg);
ULONG READ_REGISTER_ULONG(volatile ULONG* reg);
void WRITE_REGISTER_UCHAR(volatile UCHAR* reg, UCHAR value);
void WRITE_REGISTER_USHORT(volatile USHORT* reg, USHORT value);
void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value);

// ---- DMA ----

struct DEVICE_DESCRIPTION {
    ULONG Version;
    BOOLEAN Master;
    BOOLEAN ScatterGather;
    BOOLEAN DemandMode;
    BOOLEAN AutoInitialize;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN IgnoreCount;
    BOOLEAN Reserved1;
    BOOLEAN Dma64BitAddresses;
    ULONG BusNumber;
    ULONG DmaChannel;
    INTERFACE_TYPE InterfaceType;
    ULONG DmaWidth;
    ULONG DmaSpeed;
    ULONG MaximumLength;
    ULONG DmaPort;
};
using PDEVICE_DESCRIPTION = DEVICE_DESCRIPTION*;
enum : ULONG { DEVICE_DESCRIPTION_VERSION = 0, DEVICE_DESCRIPTION_VERSION1 = 1, Width8Bits = 0, Width16Bits = 1, Width32Bits = 2 };

struct ADAPTER_OBJECT;
using PADAPTER_OBJECT = ADAPTER_OBJECT*;
enum IO_ALLOCATION_ACTION { KeepObject = 1, DeallocateObject = 2, DeallocateObjectKeepRegisters = 3 };
using PDRIVER_CONTROL = IO_ALLOCATION_ACTION (*)(PDEVICE_OBJECT device, PIRP irp, PVOID mapRegisterBase,
                                                 PVOID context);

// Map registers granted: MaximumLength / PAGE_SIZE + 1, at most
// HAL_MAXIMUM_MAP_REGISTERS (16 MB of transfer) per adapter.
enum : ULONG { HAL_MAXIMUM_MAP_REGISTERS = 4096 };
PADAPTER_OBJECT HalGetAdapter(PDEVICE_DESCRIPTION description, PULONG numberOfMapRegisters);
// Calls 'execution' (at DISPATCH_LEVEL) when the adapter and the map
// registers are free: at once, or when the current holder releases them.
NTSTATUS IoAllocateAdapterChannel(PADAPTER_OBJECT adapter, PDEVICE_OBJECT device, ULONG numberOfMapRegisters,
                                  PDRIVER_CONTROL execution, PVOID context);
void IoFreeAdapterChannel(PADAPTER_OBJECT adapter);
void IoFreeMapRegisters(PADAPTER_OBJECT adapter, PVOID mapRegisterBase, ULONG numberOfMapRegisters);
// Maps the next piece of the MDL at 'currentVa' (at most to the page end for
// scatter/gather) and returns its 32-bit bus address; *length is shortened
// to what was mapped.
PHYSICAL_ADDRESS IoMapTransfer(PADAPTER_OBJECT adapter, PMDL mdl, PVOID mapRegisterBase, PVOID currentVa,
                               PULONG length, BOOLEAN writeToDevice);
BOOLEAN IoFlushAdapterBuffers(PADAPTER_OBJECT adapter, PMDL mdl, PVOID mapRegisterBase, PVOID currentVa,
                              ULONG length, BOOLEAN writeToDevice);
// Stop code for a driver that breaks the DMA rules (maps a piece outside
// its MDL, frees an adapter it does not hold, passes foreign map registers).
enum : ULONG { DRIVER_VERIFIER_DMA_VIOLATION = 0xE6 };
// Test seam: while set, a common-buffer request for which the hook returns
// true fails as if memory were short. nullptr removes it.
using HalCommonBufferFailureHook = bool (*)(ULONG length);
void HalSetCommonBufferFailureHook(HalCommonBufferFailureHook hook);
// The common buffers an adapter has handed out and not had back (a leak check).
ULONG HalCommonBufferCount(PADAPTER_OBJECT adapter);
// Common buffers are whole zeroed pages (page-aligned from PAGE_SIZE up).
PVOID HalAllocateCommonBuffer(PADAPTER_OBJECT adapter, ULONG length, PPHYSICAL_ADDRESS logicalAddress,
                              BOOLEAN cacheEnabled);
void HalFreeCommonBuffer(PADAPTER_OBJECT adapter, ULONG length, PHYSICAL_ADDRESS logicalAddress,
                         PVOID virtualAddress, BOOLEAN cacheEnabled);
