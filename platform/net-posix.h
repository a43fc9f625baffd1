// Winsock and Windows event names over BSD sockets and poll().
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>

typedef int SOCKET;
typedef void* HANDLE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int BOOL;

#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};

#define FD_READ 0x01L

#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_ABANDONED_0 0x00000080UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL
#define INFINITE 0xFFFFFFFFUL

// Winsock error numbers for the errno values a datagram socket can give.
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEPROTONOSUPPORT 10043
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065

int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();
// The Winsock number of the error of the latest failed call.
int WSAGetLastError();
int closesocket(SOCKET s);

// Makes the socket non-blocking and ties it to the event: a later wait on the
// event returns once the socket has a datagram (or an error) to read.
int WSAEventSelect(SOCKET s, HANDLE event, long mask);
BOOL WSACloseEvent(HANDLE event);

HANDLE CreateEventA(void* security, BOOL manual_reset, BOOL initial_state, const char* name);
// Waits on one event: WAIT_OBJECT_0 when its socket is readable,
// WAIT_TIMEOUT when the time ran out, WAIT_FAILED on error.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD ms);
