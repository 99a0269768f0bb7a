// End-to-end: the page's token is kept in the profile, so an address keeps
// working over restarts; --token overrides it for one run, --new-token or
// removing the file replaces it.

#include <Poco/File.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/HostProcess.h"
#include "support/TempDir.h"

using TestSupport::HostProcess;
using TestSupport::readFile;
using TestSupport::TempDir;

namespace {

// The token of a host started with `extra`, after checking that it answers
// with it; "" when it did not start.
std::string tokenOfAStart(const std::string& profile, const std::vector<std::string>& extra,
                          const std::string& given = "") {
    HostProcess host(profile, extra, {}, given);
    EXPECT_GT(host.port(), 0) << host.banner();
    if (host.port() <= 0) return "";
    EXPECT_EQ(host.get("/api/host/plugin").status, 200) << host.token();
    EXPECT_EQ(host.get("/api/host/plugin", false).status, 403);
    EXPECT_EQ(host.terminate(), 0);
    return host.token();
}

TEST(HostToken, IsKeptOverRestartsUntilRenewed) {
    TempDir dir;
    const std::string profile = dir.join("profile");
    const std::string file = profile + "/token";

    const std::string first = tokenOfAStart(profile, {});
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(readFile(file), first + "\n");
    struct stat info;
    ASSERT_EQ(0, ::stat(file.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    // The same address after a restart; a given token is for its run only.
    EXPECT_EQ(first, tokenOfAStart(profile, {}));
    EXPECT_EQ("given-one", tokenOfAStart(profile, {}, "given-one"));
    EXPECT_EQ(first, tokenOfAStart(profile, {}));

    const std::string renewed = tokenOfAStart(profile, {"--new-token"});
    EXPECT_NE(first, renewed);
    // A file others may read is made private again; the token stays.
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(renewed, tokenOfAStart(profile, {}));
    ASSERT_EQ(0, ::stat(file.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    // A removed file, or one that holds no usable token, makes a new one.
    Poco::File(file).remove();
    const std::string afterRemoval = tokenOfAStart(profile, {});
    EXPECT_NE(renewed, afterRemoval);
    TestSupport::writeFile(file, "a b<script>\n");
    const std::string afterGarbage = tokenOfAStart(profile, {});
    EXPECT_NE(afterRemoval, afterGarbage);
    EXPECT_EQ(readFile(file), afterGarbage + "\n");
}

}  // namespace
