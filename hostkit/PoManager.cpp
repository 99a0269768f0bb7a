#include "hostapi/PoManager.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/StreamCopier.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipStream.h>

#include <fstream>
#include <sstream>

namespace Orvana {
namespace Util {

namespace {

typedef std::map<std::string, std::string> Catalogue;

bool untranslatedLanguage(const std::string& language) {
    return language.empty() || language == "en";
}

// The text between the outer quotes of a .po string, C escapes resolved.
std::string unquote(const std::string& text) {
    size_t first = text.find('"');
    size_t last = text.rfind('"');
    if (first == std::string::npos || last <= first) return std::string();
    std::string out;
    for (size_t i = first + 1; i < last; ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= last) {
            out += c;
            continue;
        }
        char e = text[++i];
        switch (e) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                out += '\\';
                out += e;
        }
    }
    return out;
}

std::string trimLeft(const std::string& line) {
    size_t start = line.find_first_not_of(" \t\r");
    return start == std::string::npos ? std::string() : line.substr(start);
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

Catalogue parsePo(std::istream& in) {
    Catalogue catalogue;
    enum Field { NONE, ID, STR, OTHER } field = NONE;
    std::string msgid, msgstr;
    bool haveEntry = false, fuzzy = false, nextFuzzy = false;

    auto flush = [&]() {
        // The header has an empty msgid; untranslated and fuzzy entries are not used.
        if (haveEntry && !msgid.empty() && !msgstr.empty() && !fuzzy) catalogue[msgid] = msgstr;
        msgid.clear();
        msgstr.clear();
        haveEntry = false;
        field = NONE;
    };

    std::string raw;
    while (std::getline(in, raw)) {
        std::string line = trimLeft(raw);
        if (line.empty()) continue;
        if (line[0] == '#') {
            if (startsWith(line, "#,") && line.find("fuzzy") != std::string::npos) nextFuzzy = true;
            continue;
        }
        if (line[0] == '"') {
            if (field == ID)
                msgid += unquote(line);
            else if (field == STR)
                msgstr += unquote(line);
            continue;
        }
        if (startsWith(line, "msgid_plural")) {
            field = OTHER;
        } else if (startsWith(line, "msgid")) {
            flush();
            haveEntry = true;
            fuzzy = nextFuzzy;
            nextFuzzy = false;
            field = ID;
            msgid = unquote(line.substr(5));
        } else if (startsWith(line, "msgstr[0]")) {
            field = STR;
            msgstr = unquote(line.substr(9));
        } else if (startsWith(line, "msgstr[")) {
            field = OTHER;
        } else if (startsWith(line, "msgstr")) {
            field = STR;
            msgstr = unquote(line.substr(6));
        } else if (startsWith(line, "msgctxt")) {
            flush();
            field = OTHER;
        } else {
            field = OTHER;
        }
    }
    flush();
    return catalogue;
}

// A zip ends with its central directory's end record, at most 64 KiB of
// comment after it; the zip reader itself accepts any bytes as an empty zip.
bool looksLikeZip(std::istream& in) {
    const std::streamoff maxTail = 22 + 0xFFFF;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (!in || size < 22) return false;
    std::streamoff start = size > maxTail ? size - maxTail : 0;
    std::string tail(static_cast<size_t>(size - start), '\0');
    in.seekg(start);
    if (!in.read(&tail[0], static_cast<std::streamsize>(tail.size()))) return false;
    size_t end = tail.rfind(std::string("PK\x05\x06", 4));
    in.clear();
    in.seekg(0);
    return end != std::string::npos && end + 22 <= tail.size();
}

// Loads "<language>/<domain>.po" from the archive into catalogue. False when
// the archive is missing or not a zip; true (catalogue empty) when the
// language has no catalogue there.
bool loadCatalogue(const std::string& archive, const std::string& language,
                   const std::string& domain, Catalogue& catalogue) {
    std::ifstream in(archive.c_str(), std::ios::binary);
    if (!in) return false;
    try {
        if (!Poco::File(archive).isFile() || !looksLikeZip(in)) return false;
        Poco::Zip::ZipArchive zip(in);
        if (untranslatedLanguage(language)) return true;
        Poco::Zip::ZipArchive::FileHeaders::const_iterator it =
            zip.findHeader(language + "/" + domain + ".po");
        if (it == zip.headerEnd()) return true;
        in.clear();
        Poco::Zip::ZipInputStream entry(in, it->second);
        std::stringstream text;
        Poco::StreamCopier::copyStream(entry, text);
        catalogue = parsePo(text);
        return true;
    } catch (const Poco::Exception&) {
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool PoManager::addPoVfs(const std::string& archive, const std::string& domain) {
    std::string language = getLanguage();
    Catalogue catalogue;
    // Read the archive outside the lock: translators keep working meanwhile.
    if (!loadCatalogue(archive, language, domain, catalogue)) return false;
    CheckedWriteLock lock(m_lock);
    m_catalogues[archive].swap(catalogue);
    return true;
}

bool PoManager::removePoVfs(const std::string& archive) {
    CheckedWriteLock lock(m_lock);
    return m_catalogues.erase(archive) != 0;
}

std::string PoManager::getTranslation(const std::string& text) const {
    CheckedReadLock lock(m_lock);
    if (untranslatedLanguage(m_language)) return text;
    for (const auto& archive : m_catalogues) {
        auto it = archive.second.find(text);
        if (it != archive.second.end()) return it->second;
    }
    return text;
}

void PoManager::setLanguage(const std::string& language) {
    CheckedWriteLock lock(m_lock);
    m_language = language;
}

std::string PoManager::getLanguage() const {
    CheckedReadLock lock(m_lock);
    return m_language;
}

}  // namespace Util

Util::PoManager& PoManager() {
    static Util::PoManager* instance = [] {
        Util::PoManager* manager = new Util::PoManager;
        manager->setLanguage("en");
        return manager;
    }();
    return *instance;
}

}  // namespace Orvana
