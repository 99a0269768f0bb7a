#include "host/TerminationSignal.h"

#include <pthread.h>
#include <signal.h>

namespace Orvana {
namespace Host {

namespace {

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void TerminationSignal::block() {
    const sigset_t set = terminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int TerminationSignal::wait() {
    const sigset_t set = terminationSet();
    int number = 0;
    while (sigwait(&set, &number) != 0) {
    }
    return number;
}

}  // namespace Host
}  // namespace Orvana
