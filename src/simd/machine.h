// Threads, cores and prefaulting live in machine/; this name stays for the
// sources that still include it here.
#pragma once

#include "machine/machine.h"
