// The socket and event calls the connection uses. On Windows they are the
// real Winsock and Windows event calls from the system headers (ws2_32), with
// nothing of ours to add; elsewhere a small layer of our own
// (net-posix.*) gives the same names the meaning the connection relies on.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include "platform/net-posix.h"
#endif
