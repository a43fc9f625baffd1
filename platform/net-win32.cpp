// On Windows the connection calls Winsock (ws2_32) and the Windows event calls
// themselves, through the system headers that platform/net.h includes; this
// side of the layer has nothing to add. platform/net-posix.cpp supplies the
// same names elsewhere.
#include "platform/net.h"
