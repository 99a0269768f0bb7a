#include "hostapi/Message.h"

namespace Orvana {
namespace Data {

Message::Message(const std::string& service, const std::string& operation)
    : m_service(service), m_operation(operation) {}

VariantRow& Message::operator[](const std::string& row) { return m_rows[row]; }

bool Message::hasRow(const std::string& row) const { return m_rows.count(row) != 0; }

std::vector<std::string> Message::rowNames() const {
    std::vector<std::string> names;
    for (const auto& row : m_rows) names.push_back(row.first);
    return names;
}

void Message::setRawData(const char* data, Poco::UInt64 length) {
    if (data == nullptr || length == 0) {
        m_rawData.clear();
        return;
    }
    m_rawData.assign(data, static_cast<size_t>(length));
}

}  // namespace Data
}  // namespace Orvana
