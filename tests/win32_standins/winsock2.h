// Stand-in for <winsock2.h>: just what the library's platform layer names,
// so that its Windows code compiles on Linux and runs against recording
// stand-ins (standins.cpp). The socket structures are the BSD ones Winsock
// copies; SOCKET is a type of its own, as UINT_PTR is on Windows, so the
// Winsock-shaped overloads below are the ones chosen for it.
#ifndef VELTO_STANDIN_WINSOCK2_H
#define VELTO_STANDIN_WINSOCK2_H

#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

typedef unsigned long SOCKET;

#define WSAEWOULDBLOCK 10035
#ifndef FIONBIO
#define FIONBIO 0x8004667E
#endif

int closesocket(SOCKET s);
int ioctlsocket(SOCKET s, long command, u_long *argument);
int WSAGetLastError(void);
int recv(SOCKET s, char *buffer, int length, int flags);
int send(SOCKET s, const char *buffer, int length, int flags);
// The length is socklen_t, not Winsock's int: a sizeof then converts to
// both overloads alike on every target, and SOCKET decides.
int setsockopt(SOCKET s, int level, int name, const char *value, socklen_t length);
int getsockopt(SOCKET s, int level, int name, char *value, int *length);

#endif
