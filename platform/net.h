// The socket and event calls the connection uses. On Windows they are the
// real Winsock and Windows event calls; elsewhere a small layer of our own
// gives the same names the meaning the connection relies on.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include "platform/net-posix.h"
#endif
