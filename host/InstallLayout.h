#pragma once
// InstallLayout: where backup-host finds its plug-in and page. An installed
// program lives in <prefix>/bin and finds them in <prefix>/lib/backup-host and
// <prefix>/share/backup-host/ui (cmake/Install.cmake lays them out so); a
// program run from a build folder finds them there. Stateless functions,
// called on the main thread while the settings are resolved.

#include <string>

namespace Orvana {
namespace Host {

struct InstallLayout {
    // The folder of the running executable with links resolved, trailing
    // separator included; `fallback` when /proc/self/exe cannot be read. A
    // link such as /usr/local/bin/backup-host -> /opt/x/bin/backup-host must
    // find the files of /opt/x, not of /usr/local.
    static std::string programDir(const std::string& fallback);
    // <programDir>/../lib/backup-host/ when it holds libbackup.so, else "".
    static std::string installedPluginDir(const std::string& programDir);
    // The plug-in library: from the installed tree when the program is
    // installed, else libbackup.so beside the program.
    static std::string pluginPath(const std::string& programDir);
    // The page folder: `given` if set, the installed one when installed,
    // else what HostSettings::findUiDir finds from a build folder.
    static std::string uiDir(const std::string& given, const std::string& programDir);
};

}  // namespace Host
}  // namespace Orvana
