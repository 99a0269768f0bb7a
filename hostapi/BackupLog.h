#pragma once
// BackupLog: the log stream the plug-in writes its lines with, on its logger
// "backup". Plain << lines go out at the level given (information unless
// said otherwise); trace(), error() and the like pick another level for what
// follows. Single lines can go straight to logger().
//
// Poco's loggers may be used from any thread; a stream belongs to the scope
// (and thread) that made it.

#include <Poco/LogStream.h>
#include <Poco/Logger.h>

namespace Orvana {
namespace Util {

class BackupLog : public Poco::LogStream {
public:
    explicit BackupLog(Poco::Message::Priority level = Poco::Message::PRIO_INFORMATION)
        : Poco::LogStream(logger(), level) {}

    static Poco::Logger& logger() { return Poco::Logger::get("backup"); }
};

}  // namespace Util
}  // namespace Orvana
