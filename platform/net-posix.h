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
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSAVERNOTSUPPORTED 10092
// Winsock's own; never given here, since WSAStartup is not needed first.
#define WSANOTINITIALISED 10093
// An errno value without a closer Winsock number.
#define WSASYSCALLFAILURE 10107

// Succeeds for any version from 1.0 on and reports 1.1 in `data`.
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
// Signals the event by hand. The signal is seen by the next wait; a wait
// already blocked in another thread does not wake for it.
BOOL SetEvent(HANDLE event);
// Waits on one event: WAIT_OBJECT_0 when it was signalled or its socket is
// readable (or has an error pending), WAIT_TIMEOUT when the time ran out,
// WAIT_FAILED on error (WSAGetLastError tells which).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD ms);
