#include "hostapi/VariantField.h"

#include <Poco/NumberFormatter.h>
#include <Poco/NumberParser.h>

namespace Orvana {
namespace Data {

namespace {

Poco::Int64 parseNumber(const std::string& text) {
    Poco::Int64 value = 0;
    if (Poco::NumberParser::tryParse64(text, value)) return value;
    return 0;
}

}  // namespace

VariantField::VariantField() : m_type(EMPTY), m_number(0) {}
VariantField::VariantField(const std::string& value) : m_type(STRING), m_text(value), m_number(0) {}
VariantField::VariantField(const char* value)
    : m_type(STRING), m_text(value ? value : ""), m_number(0) {}
VariantField::VariantField(int value) : m_type(INT), m_number(value) {}
VariantField::VariantField(Poco::Int64 value) : m_type(INT64), m_number(value) {}

VariantField& VariantField::operator=(const std::string& value) {
    return *this = VariantField(value);
}
VariantField& VariantField::operator=(const char* value) { return *this = VariantField(value); }
VariantField& VariantField::operator=(int value) { return *this = VariantField(value); }
VariantField& VariantField::operator=(Poco::Int64 value) { return *this = VariantField(value); }

std::string VariantField::getString() const {
    switch (m_type) {
        case STRING:
            return m_text;
        case INT:
        case INT64:
            return Poco::NumberFormatter::format(m_number);
        default:
            return std::string();
    }
}

int VariantField::getInt() const { return static_cast<int>(getInt64()); }

Poco::Int64 VariantField::getInt64() const {
    switch (m_type) {
        case STRING:
            return parseNumber(m_text);
        case INT:
        case INT64:
            return m_number;
        default:
            return 0;
    }
}

}  // namespace Data
}  // namespace Orvana
