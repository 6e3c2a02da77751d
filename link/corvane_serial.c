/* Serial ports, the clock and the library's message boxes. */
#include "corvane.h"
