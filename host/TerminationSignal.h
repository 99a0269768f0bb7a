#pragma once
// TerminationSignal: SIGINT and SIGTERM as an orderly stop. block() must run
// on the main thread before any other thread starts, so that every thread
// inherits the mask and the signals stay pending until wait() (main thread)
// takes one. SIGPIPE is ignored: a browser that hangs up is not a reason to die.

namespace Orvana {
namespace Host {

class TerminationSignal {
public:
    static void block();
    // Blocks until SIGINT or SIGTERM arrives; returns its number.
    static int wait();
};

}  // namespace Host
}  // namespace Orvana
