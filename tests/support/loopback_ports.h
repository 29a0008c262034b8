#ifndef TESTS_SUPPORT_LOOPBACK_PORTS_H_
#define TESTS_SUPPORT_LOOPBACK_PORTS_H_

#include <netinet/in.h>

// TCP ports on 127.0.0.1 for tests. Any thread.
namespace korvane_test {

// 127.0.0.1:|port| as a socket address.
sockaddr_in Loopback(int port);
// A port that nothing listens on right now, outside the range of outgoing connections' source
// ports and held by no other live test process (-1 when none could be had).
int FreePort();
// Whether something accepts connections on 127.0.0.1:|port|.
bool IsListening(int port);

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_LOOPBACK_PORTS_H_
