// The pcsc-lite driver interface, for C++: ifdhandler.h declares the IFDH functions without an extern "C" guard,
// so every file of the driver includes it through here and the definitions get C linkage.
#pragma once

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}
