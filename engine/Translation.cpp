#include "engine/Translation.h"

#include "hostapi/PoManager.h"

namespace Orvana {
namespace Backup {

std::string tr(const std::string& text) { return Orvana::PoManager().getTranslation(text); }

}  // namespace Backup
}  // namespace Orvana
