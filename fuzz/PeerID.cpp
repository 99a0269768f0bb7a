// Fuzzes PeerID parsing against the invariants the rest of the system relies
// on: records and workers are keyed by peer ids, and ids are stored and read
// back as their text form.

#include "hostapi/PeerID.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Orvana::Data::PeerID;

void check(bool holds, const char* what, const std::string& text) {
    if (holds) return;
    std::fprintf(stderr, "peer id fuzzer: %s for \"%s\"\n", what, text.c_str());
    std::abort();
}

std::string asciiUpper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const PeerID id(text);
    if (!id.isValid()) {
        check(id.toString().empty(), "an invalid id has a text form", text);
        return 0;
    }
    const std::string form = id.toString();
    check(form == id.getUser() + "@" + id.getHostName(), "text form is not user@host", text);
    check(id.getUser().compare(0, id.getName().size(), id.getName()) == 0,
          "the name is not the start of the user part", text);
    check(id.getHostWithPort().compare(0, id.getHostName().size(), id.getHostName()) == 0 &&
              id.getHostWithPort().find(':') != std::string::npos,
          "the host with port does not hold the host and a port", text);

    // The stored text form reads back as the same peer.
    const PeerID again(form);
    check(again.isValid(), "the text form does not parse", text);
    check(again == id && !(again < id) && !(id < again), "the text form parses to another id",
          text);
    check(again.toString() == form, "the text form changes when read back", text);

    // Letter case does not make another peer, and ordering agrees with equality.
    const PeerID upper(asciiUpper(text));
    check(upper.isValid(), "the upper-case text does not parse", text);
    check(upper == id && !(upper < id) && !(id < upper), "letter case makes another peer", text);
    return 0;
}
