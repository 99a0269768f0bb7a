#pragma once
// VariantField: one named value inside a message row or a table row. Holds a
// text, an int or a 64-bit int and converts between them on read (a text that
// is not a number reads as 0). A value type; not thread-safe on its own.

#include <Poco/Types.h>

#include <string>

namespace Orvana {
namespace Data {

class VariantField {
public:
    enum Type { EMPTY, STRING, INT, INT64 };

    VariantField();
    VariantField(const std::string& value);
    VariantField(const char* value);
    VariantField(int value);
    VariantField(Poco::Int64 value);

    VariantField& operator=(const std::string& value);
    VariantField& operator=(const char* value);
    VariantField& operator=(int value);
    VariantField& operator=(Poco::Int64 value);

    Type type() const { return m_type; }
    bool isEmpty() const { return m_type == EMPTY; }
    std::string getString() const;
    int getInt() const;
    Poco::Int64 getInt64() const;

private:
    Type m_type;
    std::string m_text;
    Poco::Int64 m_number;
};

}  // namespace Data
}  // namespace Orvana
