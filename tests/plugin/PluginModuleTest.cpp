// The built module as a host sees it: exported identity texts and the
// manifest entry point (the host run loads it for real).

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
    const std::pair<const char*, const char*> texts[] = {
        {"GetPluginName", "backup"},
        {"GetPluginType", "ApplicationPlugin"},
        {"GetPluginDescription", "Orvana Plugin to backup files and folders"},
        {"GetPluginURL", "ui/backup/index.html"},
        {"GetPluginVersion", "4.80.0.26721"}};
    for (const auto& t : texts) {
        auto fn = reinterpret_cast<const char* (*)()>(library.getSymbol(t.first));
        EXPECT_STREQ(t.second, fn()) << t.first;
        EXPECT_EQ(fn(), fn()) << t.first;  // the host may keep the pointer
    }
    EXPECT_TRUE(library.hasSymbol("pocoInitializeLibrary"));
    EXPECT_TRUE(library.hasSymbol("pocoUninitializeLibrary"));

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
