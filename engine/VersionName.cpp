#include "engine/VersionName.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>

#include <cctype>

namespace Orvana {
namespace Backup {

const char* const VersionName::FOLDER = ".backup-versions";

std::string VersionName::of(const std::string& name, const Poco::Timestamp& when,
                            unsigned attempt) {
    // A leading dot marks a hidden name, not an extension: ".profile" has none.
    const std::string::size_type dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot != 0;
    std::string out = hasExtension ? name.substr(0, dot) : name;
    out += '~';
    out += Poco::DateTimeFormatter::format(when, "%Y%m%d-%H%M%S");
    if (attempt > 1) out += '-' + std::to_string(attempt);
    if (hasExtension) out += name.substr(dot);
    return out;
}

namespace {

bool digits(const std::string& text, std::string::size_type from, std::string::size_type count,
            int& value) {
    if (from + count > text.size()) return false;
    value = 0;
    for (std::string::size_type i = from; i < from + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// body is "<stem>~<stamp>[-<attempt>]"; the stem may hold '~' itself.
bool parseBody(const std::string& body, std::string& stem, Poco::Timestamp& when,
               unsigned& attempt) {
    const std::string::size_type tilde = body.rfind('~');
    if (tilde == std::string::npos) return false;
    const std::string::size_type at = tilde + 1;
    int year, month, day, hour, minute, second;
    if (!digits(body, at, 4, year) || !digits(body, at + 4, 2, month) ||
        !digits(body, at + 6, 2, day) || at + 8 >= body.size() || body[at + 8] != '-' ||
        !digits(body, at + 9, 2, hour) || !digits(body, at + 11, 2, minute) ||
        !digits(body, at + 13, 2, second)) {
        return false;
    }
    if (!Poco::DateTime::isValid(year, month, day, hour, minute, second)) return false;
    std::string::size_type end = at + 15;
    attempt = 1;
    if (end != body.size()) {
        // "-N" with N >= 2 and no leading zero, as of() writes it.
        if (body[end] != '-' || end + 1 >= body.size() || body[end + 1] == '0') return false;
        unsigned long n = 0;
        for (std::string::size_type i = end + 1; i < body.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(body[i])) || n > 100000000UL) {
                return false;
            }
            n = n * 10 + static_cast<unsigned long>(body[i] - '0');
        }
        if (n < 2) return false;
        attempt = static_cast<unsigned>(n);
    }
    stem = body.substr(0, tilde);
    when = Poco::DateTime(year, month, day, hour, minute, second).timestamp();
    return true;
}

}  // namespace

bool VersionName::parse(const std::string& keptName, std::string& name, Poco::Timestamp& when,
                        unsigned& attempt) {
    // The stamp holds no dot, so a dot after it starts the extension; the
    // stem then cannot have one at its start either.
    const std::string::size_type dot = keptName.rfind('.');
    std::string stem;
    if (dot != std::string::npos && dot != 0 &&
        parseBody(keptName.substr(0, dot), stem, when, attempt) && !stem.empty()) {
        name = stem + keptName.substr(dot);
        return true;
    }
    // A name without extension: its only dot, if any, leads it.
    if ((dot == std::string::npos || dot == 0) && parseBody(keptName, stem, when, attempt) &&
        !stem.empty() && stem != "." && stem != "..") {
        name = stem;
        return true;
    }
    return false;
}

}  // namespace Backup
}  // namespace Orvana
