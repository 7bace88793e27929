// Everything a driver of the machine is written against.
#pragma once

#include "nt_types.h"
#include "nt_ke.h"
#include "nt_ob.h"
#include "nt_io.h"
#include "nt_ex.h"
#include "nt_mm.h"
#include "nt_hal.h"
#include "nt_zw.h"
#include "nt_fsrtl.h"
