#pragma once
// PoManager: translations. addPoVfs opens a zip archive and loads the
// catalogue "<language>/<domain>.po" of the current language from it;
// getTranslation returns the msgstr of a msgid, or the text itself when no
// loaded catalogue has it (and always for language "en" or none). Thread-safe:
// workers translate while the service loads or removes archives.
// Orvana::PoManager() returns the process-wide instance.

#include <map>
#include <string>

#include "hostapi/CheckedSharedMutex.h"

namespace Orvana {
namespace Util {

class PoManager {
public:
    bool addPoVfs(const std::string& archive, const std::string& domain);
    bool removePoVfs(const std::string& archive);
    std::string getTranslation(const std::string& text) const;

    void setLanguage(const std::string& language);
    std::string getLanguage() const;

private:
    mutable CheckedSharedMutex m_lock;
    std::string m_language GUARDED_BY(m_lock);
    // archive path -> (msgid -> msgstr)
    std::map<std::string, std::map<std::string, std::string>> m_catalogues GUARDED_BY(m_lock);
};

}  // namespace Util

Util::PoManager& PoManager();

}  // namespace Orvana
