// Fuzzes the translation catalogue loader: the input is the German catalogue
// inside an otherwise valid archive, as a translator's broken file would be.

#include "hostapi/PoManager.h"

#include <Poco/File.h>
#include <Poco/Process.h>
#include <Poco/Zip/Compress.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "catalogue fuzzer: %s\n", what);
    std::abort();
}

const std::string& archivePath() {
    static const std::string path =
        "/tmp/fuzz-po-manager-" + std::to_string(Poco::Process::id()) + ".zip";
    return path;
}

void writeArchive(const std::string& catalogue) {
    std::ofstream out(archivePath(), std::ios::binary | std::ios::trunc);
    Poco::Zip::Compress zip(out, true);
    std::istringstream entry(catalogue);
    zip.addFile(entry, Poco::DateTime(), "de/backup.po");
    zip.close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string catalogue(reinterpret_cast<const char*>(data), size);
    writeArchive(catalogue);
    Orvana::Util::PoManager manager;
    manager.setLanguage("de");
    check(manager.addPoVfs(archivePath(), "backup"), "a valid archive was refused");
    // Look up every line of the input, translated or not.
    std::istringstream lines(catalogue);
    for (std::string line; std::getline(lines, line);) manager.getTranslation(line);
    check(manager.removePoVfs(archivePath()), "the loaded archive could not be removed");
    check(manager.getTranslation(catalogue) == catalogue, "a removed catalogue still translates");
    // Gone after every input: a run may end after any of them.
    std::remove(archivePath().c_str());
    return 0;
}
