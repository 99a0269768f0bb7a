#pragma once
// ServerCapacity: how many connections the HTTP server serves at once, how
// many it keeps waiting, and how long a silent client may hold a thread.
// Every open connection holds one server thread until its request head is
// read, so the thread count must cover idle clients plus the page's own
// requests; the receive timeout bounds how long an idle one keeps it.
//
// Plain values and factories; used on the main thread before the server
// starts.

#include <Poco/Net/HTTPServerParams.h>

namespace Orvana {
namespace Host {

struct ServerCapacity {
    static constexpr int THREADS = 256;        // connections served at once
    static constexpr int QUEUED = 1024;        // accepted connections waiting for a thread
    static constexpr int BACKLOG = 1024;       // the kernel's queue before accept
    static constexpr int HEAD_TIMEOUT_S = 10;  // silence while reading a request
    static constexpr int KEEP_ALIVE_S = 5;     // an idle kept-alive connection

    static Poco::Net::HTTPServerParams::Ptr params();
    // The pool runs the server's connections; a little above THREADS so that
    // a start never fails for want of a thread.
    static int poolCapacity() { return THREADS + 8; }
};

}  // namespace Host
}  // namespace Orvana
