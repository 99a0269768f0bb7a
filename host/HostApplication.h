#pragma once
// HostApplication: the backup-host program. Parses the options, logs the
// profile in, loads the plug-in, runs the timer and event services and the
// HTTP server, and on SIGINT/SIGTERM takes it all down in order. Everything
// here runs on the main thread; the parts it starts bring their own threads.

#include "host/HostSettings.h"

#include <Poco/Util/Application.h>

namespace Orvana {
namespace Host {

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

    HostSettings m_settings;
    bool m_helpRequested = false;
    bool m_urlRequested = false;
    bool m_deviceIdRequested = false;
};

}  // namespace Host
}  // namespace Orvana
