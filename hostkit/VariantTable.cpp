#include "hostapi/VariantTable.h"

namespace Orvana {
namespace Data {

namespace {
// Cursor value before the first getFirstRow: getNextRow then starts at row 0.
const size_t NO_ROW = static_cast<size_t>(-1);
}  // namespace

VariantTable::VariantTable() : m_cursor(NO_ROW) {}

VariantTable::VariantTable(const VariantTable& other) : m_cursor(NO_ROW) { *this = other; }

VariantTable& VariantTable::operator=(const VariantTable& other) {
    if (this == &other) return *this;
    std::vector<std::pair<std::string, std::unique_ptr<VariantRow>>> rows;
    rows.reserve(other.m_rows.size());
    for (const auto& row : other.m_rows)
        rows.emplace_back(row.first, std::make_unique<VariantRow>(*row.second));
    m_rows.swap(rows);
    m_index = other.m_index;
    m_cursor = other.m_cursor;
    return *this;
}

VariantRow& VariantTable::operator[](const std::string& key) {
    auto it = m_index.find(key);
    if (it != m_index.end()) return *m_rows[it->second].second;
    m_index.emplace(key, m_rows.size());
    m_rows.emplace_back(key, std::make_unique<VariantRow>());
    return *m_rows.back().second;
}

bool VariantTable::has(const std::string& key) const { return m_index.count(key) != 0; }

void VariantTable::clear() {
    m_rows.clear();
    m_index.clear();
    m_cursor = NO_ROW;
}

VariantRow* VariantTable::getFirstRow() {
    m_cursor = 0;
    if (m_rows.empty()) return nullptr;
    return m_rows[0].second.get();
}

VariantRow* VariantTable::getNextRow() {
    m_cursor = (m_cursor == NO_ROW) ? 0 : m_cursor + 1;
    if (m_cursor >= m_rows.size()) {
        m_cursor = m_rows.size();  // stays at the end
        return nullptr;
    }
    return m_rows[m_cursor].second.get();
}

const std::string& VariantTable::currentKey() const {
    static const std::string none;
    if (m_cursor == NO_ROW || m_cursor >= m_rows.size()) return none;
    return m_rows[m_cursor].first;
}

}  // namespace Data
}  // namespace Orvana
