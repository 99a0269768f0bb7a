#pragma once
// ActivityText: the user-visible activity log's line format, local date and
// time of the event, then " : ", then the (already translated) text.
// Stateless; any thread.

#include <Poco/LocalDateTime.h>

#include <exception>
#include <string>

namespace Orvana {
namespace Backup {

namespace ActivityText {

// The local date and time of an activity entry and of a stored file.
constexpr const char* TIME_FORMAT = "%e-%b-%y %h:%M:%S %A";

// TIME_FORMAT + " : " + text
std::string at(const Poco::LocalDateTime& moment, const std::string& text);
// The same for the engine clock's present moment.
std::string now(const std::string& text);
// An exception in the user's terms: Poco's what() names only the kind of
// error, its message holds the path and the system's words.
std::string describe(const std::exception& e);

}  // namespace ActivityText

}  // namespace Backup
}  // namespace Orvana
