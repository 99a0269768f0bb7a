// backup-host: runs the backup plug-in on this machine and serves its page.

#include "host/HostApplication.h"
#include "host/OpenFileLimit.h"
#include "host/TerminationSignal.h"

#include <Poco/Exception.h>
#include <Poco/Util/Application.h>

#include <iostream>

int main(int argc, char** argv) {
    // Before any thread exists, so every thread inherits the mask.
    Orvana::Host::TerminationSignal::block();
    Orvana::Host::raiseOpenFileLimit();
    Orvana::Host::HostApplication app;
    try {
        app.init(argc, argv);
    } catch (Poco::Exception& e) {
        std::cerr << "backup-host: " << e.displayText() << " (see --help)" << std::endl;
        return Poco::Util::Application::EXIT_USAGE;
    }
    return app.run();
}
