#pragma once
// TempDir: a fresh folder under the system's temp directory, removed with
// everything in it when the object goes.

#include <string>

namespace TestSupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + relative
    std::string join(const std::string& relative) const;

private:
    std::string m_path;
};

// Writes (creating parent folders) or reads a whole file.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

}  // namespace TestSupport
