#pragma once
// TempDir: a fresh folder under the system's temp directory, removed with
// everything in it when the object goes.

#include <Poco/File.h>
#include <Poco/Path.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace TestSupport {

class TempDir {
public:
    TempDir() {
        std::string tmpl = Poco::Path::temp() + "backup-test-XXXXXX";
        if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
        m_path = tmpl;
    }
    ~TempDir() {
        try {
            Poco::File(m_path).remove(true);
        } catch (...) {
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string join(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

// Writes (creating parent folders) or reads a whole file.
inline void writeFile(const std::string& path, const std::string& content) {
    Poco::File(Poco::Path(path).parent()).createDirectories();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace TestSupport
