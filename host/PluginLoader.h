#pragma once
// PluginLoader: loads a plug-in library the way the host does. The library's
// identity texts are read through its exported functions; its service object
// is made through its class-loader manifest, then init, startup, and at the
// end shutdown and delete. The library itself stays loaded until the process
// ends. The loader owns the service; used from the program's main thread only.

#include "hostapi/Service.h"

#include <Poco/ClassLoader.h>
#include <Poco/SharedLibrary.h>

#include <memory>
#include <string>

namespace Orvana {
namespace System {
class MessageDispatcher;
}
namespace Host {

struct PluginIdentity {
    std::string name;
    std::string type;
    std::string description;
    std::string url;
    std::string version;
};

class PluginLoader {
public:
    static const char* const SERVICE_CLASS;  // "Orvana::Backup::BackupPlugin"

    PluginLoader();
    ~PluginLoader();  // stop()

    // Loads the library and creates its service. Throws Poco::Exception.
    void load(const std::string& libraryPath);
    // init(folder of the library + "/") and startup; false when the service refused.
    bool start(Orvana::System::MessageDispatcher& dispatcher);
    // shutdown (if started), delete the service, release the class loader.
    void stop();

    const PluginIdentity& identity() const { return m_identity; }
    const std::string& folder() const { return m_folder; }
    Orvana::System::Service* service() const { return m_service; }
    bool started() const { return m_started; }

private:
    std::string symbolText(const std::string& symbol);

    std::unique_ptr<Poco::ClassLoader<Orvana::System::Service>> m_classLoader;
    Poco::SharedLibrary m_library;  // the same library, for the identity exports
    std::string m_path;
    std::string m_folder;
    PluginIdentity m_identity;
    Orvana::System::Service* m_service = nullptr;  // owned
    bool m_started = false;
};

}  // namespace Host
}  // namespace Orvana
