#pragma once
// VariantTable: rows keyed by text, kept in insertion order. A row exists on
// first access through operator[]. getFirstRow/getNextRow walk the rows in
// insertion order and return null at the end; the walk position belongs to
// the table, so one walker at a time.

#include "hostapi/VariantRow.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Orvana {
namespace Data {

class VariantTable {
public:
    VariantTable();
    VariantTable(const VariantTable& other);
    VariantTable& operator=(const VariantTable& other);

    VariantRow& operator[](const std::string& key);
    bool has(const std::string& key) const;
    size_t size() const { return m_rows.size(); }
    bool empty() const { return m_rows.empty(); }
    void clear();

    VariantRow* getFirstRow();
    VariantRow* getNextRow();
    // Key of the row last returned by getFirstRow/getNextRow.
    const std::string& currentKey() const;

private:
    std::vector<std::pair<std::string, std::unique_ptr<VariantRow>>> m_rows;
    std::map<std::string, size_t> m_index;
    size_t m_cursor;
};

}  // namespace Data
}  // namespace Orvana
