#include "host/InstallLayout.h"

#include "host/HostSettings.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <climits>
#include <cstdlib>

namespace Orvana {
namespace Host {

namespace {

const char* const PLUGIN_FILE = "libbackup.so";

bool isFile(const std::string& path) {
    try {
        return Poco::File(path).isFile();
    } catch (...) {
        return false;  // missing or unreadable: not there for our purpose
    }
}

// <programDir>/../<relative>/ as a plain path.
std::string besideBin(const std::string& programDir, const std::string& relative) {
    Poco::Path dir(programDir);
    dir.makeDirectory();
    if (dir.depth() == 0) return "";
    dir.popDirectory();
    return dir.toString() + relative + "/";
}

}  // namespace

std::string InstallLayout::programDir(const std::string& fallback) {
    char resolved[PATH_MAX];
    if (!realpath("/proc/self/exe", resolved)) return fallback;
    return Poco::Path(resolved).parent().toString();
}

std::string InstallLayout::installedPluginDir(const std::string& programDir) {
    const std::string dir = besideBin(programDir, "lib/backup-host");
    return !dir.empty() && isFile(dir + PLUGIN_FILE) ? dir : "";
}

std::string InstallLayout::pluginPath(const std::string& programDir) {
    const std::string installed = installedPluginDir(programDir);
    if (!installed.empty()) return installed + PLUGIN_FILE;
    return Poco::Path(programDir).makeDirectory().toString() + PLUGIN_FILE;
}

std::string InstallLayout::uiDir(const std::string& given, const std::string& programDir) {
    if (!given.empty()) return given;
    if (!installedPluginDir(programDir).empty()) {
        return besideBin(programDir, "share/backup-host/ui");
    }
    return HostSettings::findUiDir(given, programDir);
}

}  // namespace Host
}  // namespace Orvana
