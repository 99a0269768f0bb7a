#pragma once
// HostApplication: the backup-host program. Parses the options, logs the
// profile in, loads the plug-in, runs the timer and event services and the
// HTTP server, and on SIGINT/SIGTERM takes it all down in order. Everything
// here runs on the main thread; the parts it starts bring their own threads.

#include "host/HostSettings.h"

#include <Poco/Util/Application.h>

namespace Poco {
namespace Net {
class IPAddress;
class ServerSocket;
}  // namespace Net
}  // namespace Poco

namespace Orvana {
namespace Host {

class HostServices;
class PluginLoader;

class HostApplication : public Poco::Util::Application {
public:
    HostApplication();

protected:
    void defineOptions(Poco::Util::OptionSet& options) override;
    void handleOption(const std::string& name, const std::string& value) override;
    int main(const std::vector<std::string>& args) override;

private:
    void displayHelp();
    void resolveDefaults();
    void setupLogging();
    void logIn();
    // --url: the address of the host running on the profile; 1 when none runs.
    int printRunningUrl();
    // --device-id: this device's fingerprint, made at the first start.
    int printDeviceId();

    // The steps of a host's life once it holds its profile. Each returning
    // int gives EXIT_OK to go on, or the exit code to stop with.
    struct PeerSide;
    int runOnProfile();
    int listenForPage(const Poco::Net::IPAddress& address, Poco::Net::ServerSocket& socket);
    int openPeerSide(PeerSide& peers);
    // Serves the page until SIGINT/SIGTERM, then stops the server.
    void serve(Poco::Net::ServerSocket& socket, const Poco::Net::IPAddress& address,
               HostServices& services, PluginLoader& plugin, PeerSide& peers);

    HostSettings m_settings;
    bool m_helpRequested = false;
    bool m_urlRequested = false;
    bool m_deviceIdRequested = false;
};

}  // namespace Host
}  // namespace Orvana
