// The library's exported surface: five identity texts and the class-loader
// entry points. Names stay undecorated so the host finds them with dlsym.

#include "hostapi/Service.h"
#include "service/BackupMain.h"

#include <Poco/Manifest.h>
#include <Poco/MetaObject.h>

#include <string>
#include <typeinfo>

#define BACKUP_EXPORT extern "C" __attribute__((visibility("default")))

BACKUP_EXPORT const char* GetPluginName() { return "backup"; }

BACKUP_EXPORT const char* GetPluginType() { return "ApplicationPlugin"; }

BACKUP_EXPORT const char* GetPluginDescription() {
    return "Orvana Plugin to backup files and folders";
}

BACKUP_EXPORT const char* GetPluginURL() { return "ui/backup/index.html"; }

BACKUP_EXPORT const char* GetPluginVersion() { return "4.80.0.26721"; }

BACKUP_EXPORT bool pocoBuildManifest(Poco::ManifestBase* manifest) {
    typedef Poco::Manifest<Orvana::System::Service> ServiceManifest;
    if (std::string(manifest->className()) != typeid(ServiceManifest).name()) return false;
    static_cast<ServiceManifest*>(manifest)->insert(
        new Poco::MetaObject<Orvana::Backup::BackupPlugin, Orvana::System::Service>(
            "Orvana::Backup::BackupPlugin"));
    return true;
}

BACKUP_EXPORT void pocoInitializeLibrary() {}

BACKUP_EXPORT void pocoUninitializeLibrary() {}
