#pragma once
// VariantRow: named fields, in insertion order. A field exists on first
// access through operator[]; has() tests without creating it.

#include "hostapi/VariantField.h"

#include <map>
#include <string>
#include <vector>

namespace Orvana {
namespace Data {

class VariantRow {
public:
    VariantField& operator[](const std::string& name);
    bool has(const std::string& name) const;
    const VariantField* find(const std::string& name) const;
    std::vector<std::string> names() const;  // insertion order
    size_t size() const { return m_fields.size(); }

private:
    std::vector<std::pair<std::string, VariantField>> m_fields;
    std::map<std::string, size_t> m_index;
};

}  // namespace Data
}  // namespace Orvana
