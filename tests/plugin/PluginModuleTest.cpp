// The built module as a host loads it: identity texts and the manifest.

#include <Poco/Manifest.h>
#include <Poco/SharedLibrary.h>
#include <gtest/gtest.h>

#include "hostapi/Service.h"

namespace {

using Orvana::System::Service;

struct OtherBase {
    virtual ~OtherBase() {}
};

TEST(PluginModuleTest, ExportsIdentityTextsAndAManifestForServicesOnly) {
    Poco::SharedLibrary library(BACKUP_PLUGIN_MODULE);
    // The host keeps the pointers, and routes messages by the name.
    for (const char* symbol : {"GetPluginName", "GetPluginType", "GetPluginDescription",
                               "GetPluginURL", "GetPluginVersion"}) {
        auto fn = reinterpret_cast<const char* (*)()>(library.getSymbol(symbol));
        EXPECT_STRNE("", fn()) << symbol;
        EXPECT_EQ(fn(), fn()) << symbol;
    }
    EXPECT_STREQ("backup",
                 reinterpret_cast<const char* (*)()>(library.getSymbol("GetPluginName"))());

    auto build =
        reinterpret_cast<bool (*)(Poco::ManifestBase*)>(library.getSymbol("pocoBuildManifest"));
    Poco::Manifest<OtherBase> other;
    EXPECT_FALSE(build(&other));
    EXPECT_EQ(0, other.size());
    {
        Poco::Manifest<Service> manifest;
        EXPECT_TRUE(build(&manifest));
        ASSERT_EQ(1, manifest.size());
        EXPECT_STREQ("Orvana::Backup::BackupPlugin", manifest.begin()->name());
    }  // its entries live in the module: drop them before unloading it
    library.unload();
}

}  // namespace
