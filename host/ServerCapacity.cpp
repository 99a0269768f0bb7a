#include "host/ServerCapacity.h"

#include <Poco/Timespan.h>

namespace Orvana {
namespace Host {

Poco::Net::HTTPServerParams::Ptr ServerCapacity::params() {
    Poco::Net::HTTPServerParams::Ptr params(new Poco::Net::HTTPServerParams);
    params->setMaxThreads(THREADS);
    // Past this the dispatcher closes new connections unanswered.
    params->setMaxQueued(QUEUED);
    // The receive timeout of every read of a request, the head included: a
    // client that stops sending loses its thread after this.
    params->setTimeout(Poco::Timespan(HEAD_TIMEOUT_S, 0));
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(Poco::Timespan(KEEP_ALIVE_S, 0));
    return params;
}

}  // namespace Host
}  // namespace Orvana
