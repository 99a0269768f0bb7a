#include "host/PluginLoader.h"

#include "hostapi/MessageDispatcher.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

namespace Orvana {
namespace Host {

const char* const PluginLoader::SERVICE_CLASS = "Orvana::Backup::BackupPlugin";

PluginLoader::PluginLoader() {}

PluginLoader::~PluginLoader() {
    try {
        stop();
    } catch (...) {
        // Nothing sensible to do at destruction.
    }
}

std::string PluginLoader::symbolText(const std::string& symbol) {
    if (!m_library.hasSymbol(symbol)) throw Poco::NotFoundException("plug-in export " + symbol);
    typedef const char* (*TextFunction)();
    TextFunction function = reinterpret_cast<TextFunction>(m_library.getSymbol(symbol));
    const char* text = function();
    return text ? text : "";
}

void PluginLoader::load(const std::string& libraryPath) {
    Poco::Path path(libraryPath);
    path.makeAbsolute();
    m_path = path.toString();
    m_folder = path.parent().toString();  // keeps its trailing separator

    m_classLoader.reset(new Poco::ClassLoader<Orvana::System::Service>);
    m_classLoader->loadLibrary(m_path);
    m_library.load(m_path);

    m_identity.name = symbolText("GetPluginName");
    m_identity.type = symbolText("GetPluginType");
    m_identity.description = symbolText("GetPluginDescription");
    m_identity.url = symbolText("GetPluginURL");
    m_identity.version = symbolText("GetPluginVersion");

    if (!m_classLoader->canCreate(SERVICE_CLASS)) {
        throw Poco::NotFoundException(std::string("plug-in class ") + SERVICE_CLASS);
    }
    m_service = m_classLoader->create(SERVICE_CLASS);
    Poco::Logger::get("host").information("Loaded plug-in " + m_identity.name + " " +
                                          m_identity.version + " from " + m_path);
}

bool PluginLoader::start(Orvana::System::MessageDispatcher& dispatcher) {
    if (!m_service) return false;
    m_service->init(m_folder);
    m_started = m_service->startup(&dispatcher);
    return m_started;
}

void PluginLoader::stop() {
    if (m_service) {
        if (m_started) {
            m_started = false;
            m_service->shutdown();
        }
        // The code of the object lives in the library: delete it first.
        delete m_service;
        m_service = nullptr;
    }
    // m_library keeps one reference, so the code stays mapped until the
    // process ends: the plug-in may keep state for the life of the process
    // (and threads that outlive a failed stop would run into unmapped code).
    if (m_classLoader) {
        if (m_classLoader->isLibraryLoaded(m_path)) m_classLoader->unloadLibrary(m_path);
        m_classLoader.reset();
    }
}

}  // namespace Host
}  // namespace Orvana
