#pragma once
// The host's translation of a user-facing text: the current language's
// msgstr, or the text itself. Stateless; any thread (PoManager locks).

#include <string>

namespace Orvana {
namespace Backup {

std::string tr(const std::string& text);

}  // namespace Backup
}  // namespace Orvana
