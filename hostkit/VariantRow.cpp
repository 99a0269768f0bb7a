#include "hostapi/VariantRow.h"

namespace Orvana {
namespace Data {

VariantField& VariantRow::operator[](const std::string& name) {
    auto it = m_index.find(name);
    if (it != m_index.end()) return m_fields[it->second].second;
    m_index.emplace(name, m_fields.size());
    m_fields.emplace_back(name, VariantField());
    return m_fields.back().second;
}

bool VariantRow::has(const std::string& name) const { return m_index.count(name) != 0; }

const VariantField* VariantRow::find(const std::string& name) const {
    auto it = m_index.find(name);
    return it == m_index.end() ? nullptr : &m_fields[it->second].second;
}

std::vector<std::string> VariantRow::names() const {
    std::vector<std::string> result;
    result.reserve(m_fields.size());
    for (const auto& field : m_fields) result.push_back(field.first);
    return result;
}

}  // namespace Data
}  // namespace Orvana
