// The built module as a host sees it: exported identity texts, the manifest
// entry point, and a service created through Poco's class loader.

#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageRecorder.h"
#include "hostapi/Service.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"

#include <Poco/ClassLoader.h>
#include <Poco/Manifest.h>
#include <Poco/SharedLibrary.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using Orvana::System::Service;

class PluginModuleTest : public ::testing::Test {
protected:
    void SetUp() override { m_library.load(BACKUP_PLUGIN_MODULE); }
    void TearDown() override { m_library.unload(); }

    template <typename F>
    F symbol(const std::string& name) {
        return reinterpret_cast<F>(m_library.getSymbol(name));
    }

    Poco::SharedLibrary m_library;
};

TEST_F(PluginModuleTest, IdentityExportsAreStableTexts) {
    typedef const char* (*TextFn)();
    const struct {
        const char* symbolName;
        const char* expected;
    } exports[] = {
        {"GetPluginName", "backup"},
        {"GetPluginType", "ApplicationPlugin"},
        {"GetPluginDescription", "Orvana Plugin to backup files and folders"},
        {"GetPluginURL", "ui/backup/index.html"},
        {"GetPluginVersion", "4.80.0.26721"},
    };
    for (const auto& e : exports) {
        SCOPED_TRACE(e.symbolName);
        TextFn fn = symbol<TextFn>(e.symbolName);
        const char* first = fn();
        EXPECT_STREQ(e.expected, first);
        EXPECT_EQ(first, fn());  // the host may keep the pointer
    }
    ASSERT_TRUE(m_library.hasSymbol("pocoInitializeLibrary"));
    ASSERT_TRUE(m_library.hasSymbol("pocoUninitializeLibrary"));
    symbol<void (*)()>("pocoInitializeLibrary")();
    symbol<void (*)()>("pocoUninitializeLibrary")();
}

struct OtherBase {
    virtual ~OtherBase() {}
};

TEST_F(PluginModuleTest, ManifestOffersTheServiceOnlyToServiceManifests) {
    typedef bool (*BuildFn)(Poco::ManifestBase*);
    BuildFn build = symbol<BuildFn>("pocoBuildManifest");

    Poco::Manifest<OtherBase> other;
    EXPECT_FALSE(build(&other));
    EXPECT_EQ(0, other.size());

    {
        Poco::Manifest<Service> manifest;
        EXPECT_TRUE(build(&manifest));
        ASSERT_EQ(1, manifest.size());
        EXPECT_STREQ("Orvana::Backup::BackupPlugin", manifest.begin()->name());
    }  // the entries are the module's: drop them before it is unloaded
}

TEST(PluginClassLoaderTest, CreatesAWorkingServiceFromTheModule) {
    TestSupport::TestProfile profile;
    Poco::ClassLoader<Service> loader;
    loader.loadLibrary(BACKUP_PLUGIN_MODULE);
    {
        std::unique_ptr<Service> service(loader.create("Orvana::Backup::BackupPlugin"));
        ASSERT_TRUE(service);
        EXPECT_EQ("backup", service->name());
        EXPECT_TRUE(service->init("/nonexistent/"));

        Orvana::System::MessageDispatcher dispatcher;
        Orvana::HostKit::MessageRecorder recorder;
        dispatcher.setSink(
            [&](const boost::shared_ptr<Orvana::Data::Message>& m) { recorder.record(m); });
        ASSERT_TRUE(service->startup(&dispatcher));
        auto request = TestSupport::ServiceHarness::webRequest("getdefaultstorelocation");
        dispatcher.sendMessage(request);
        auto reply = recorder.waitForReply(TestSupport::ServiceHarness::tokenOf(request),
                                           TestSupport::ServiceHarness::kReplyTimeoutMs);
        ASSERT_TRUE(reply);
        EXPECT_EQ("<backup><defaultstorelocation>" + profile.userDataDir() +
                      "/backup</defaultstorelocation></backup>",
                  reply->getRawData());
        EXPECT_TRUE(service->shutdown());
    }
    loader.unloadLibrary(BACKUP_PLUGIN_MODULE);
}

}  // namespace
