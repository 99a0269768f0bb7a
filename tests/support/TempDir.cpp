#include "support/TempDir.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestSupport {

TempDir::TempDir() {
    std::string tmpl = Poco::Path::temp() + "backup-test-XXXXXX";
    if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir() {
    try {
        Poco::File(m_path).remove(true);
    } catch (...) {
    }
}

std::string TempDir::join(const std::string& relative) const { return m_path + "/" + relative; }

void writeFile(const std::string& path, const std::string& content) {
    Poco::Path p(path);
    Poco::File(p.parent()).createDirectories();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace TestSupport
