// The address parser (inet_pton) that the box file and command line readers
// take from this BSD header lives in Winsock's headers on Windows.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
